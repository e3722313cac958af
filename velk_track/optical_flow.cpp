#include "velk_track/optical_flow.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

namespace velk_track {

namespace {

// A window of side n centred at c, sampled with the 4-tap cubic below, reads pixels from
// c - n/2 - 1 to c + n/2 + 2; `extra` widens that on every side (gradients need one more).
bool window_inside(const GreyImage& img, float cx, float cy, int half, int extra) {
  const float r = static_cast<float>(half + extra + 1);
  return img.can_sample(cx - r, cy - r) && img.can_sample(cx + r, cy + r);
}

// Catmull-Rom weights of the taps at -1, 0, 1, 2 for a fractional offset t in [0, 1). Bilinear
// interpolation would bias tracked positions by several hundredths of a pixel (more than the
// image noise does); the cubic leaves a tenth of that.
void cubic_weights(float t, float w[4]) {
  const float t2 = t * t, t3 = t2 * t;
  w[0] = 0.5f * (-t3 + 2.f * t2 - t);
  w[1] = 0.5f * (3.f * t3 - 5.f * t2 + 2.f);
  w[2] = 0.5f * (-3.f * t3 + 4.f * t2 + t);
  w[3] = 0.5f * (t3 - t2);
}

// Samples the n x n window centred at (cx, cy) into out. All samples share one fractional offset,
// so the cubic runs separably: rows first, then columns. The caller has checked window_inside().
// kSide > 0 fixes the side at compile time (the loops then unroll and vectorise); the arithmetic
// is the same for every kSide.
template <int kSide>
void sample_window_of(const GreyImage& img, float cx, float cy, int runtime_side, float* out) {
  const int side = kSide > 0 ? kSide : runtime_side;
  const int half = side / 2;
  const float x0f = cx - static_cast<float>(half);
  const float y0f = cy - static_cast<float>(half);
  const int x0 = static_cast<int>(std::floor(x0f));
  const int y0 = static_cast<int>(std::floor(y0f));
  float wx[4], wy[4];
  cubic_weights(x0f - static_cast<float>(x0), wx);
  cubic_weights(y0f - static_cast<float>(y0), wy);
  const size_t stride = static_cast<size_t>(img.width);
  std::array<float, (kMaxFlowSide + 5) * (kMaxFlowSide + 5)> rows;
  for (int r = 0; r < side + 3; ++r) {
    const float* src = img.pixels.data() + static_cast<size_t>(y0 - 1 + r) * stride + (x0 - 1);
    float* dst = rows.data() + static_cast<size_t>(r) * side;
    for (int i = 0; i < side; ++i)
      dst[i] = wx[0] * src[i] + wx[1] * src[i + 1] + wx[2] * src[i + 2] + wx[3] * src[i + 3];
  }
  for (int j = 0; j < side; ++j) {
    const float* r0 = rows.data() + static_cast<size_t>(j) * side;
    for (int i = 0; i < side; ++i)
      out[j * side + i] = wy[0] * r0[i] + wy[1] * r0[i + side] + wy[2] * r0[i + 2 * side] + wy[3] * r0[i + 3 * side];
  }
}

// The default window (9) and its template cut (11) get their own unrolled copies.
void sample_window(const GreyImage& img, float cx, float cy, int side, float* out) {
  switch (side) {
    case 9:
      return sample_window_of<9>(img, cx, cy, side, out);
    case 11:
      return sample_window_of<11>(img, cx, cy, side, out);
    default:
      return sample_window_of<0>(img, cx, cy, side, out);
  }
}

// The window sampled at `spacing` pixels between taps (a patch the view has magnified or shrunk),
// tap by tap. The caller has checked window_inside() for the spread window.
void sample_spread_window(const GreyImage& img, float cx, float cy, int side, float spacing, float* out) {
  const int half = side / 2;
  std::array<int, kMaxFlowSide> xi, yi;
  std::array<float, 4 * kMaxFlowSide> wx, wy;
  for (int i = 0; i < side; ++i) {
    const float x = cx + spacing * static_cast<float>(i - half), y = cy + spacing * static_cast<float>(i - half);
    xi[static_cast<size_t>(i)] = static_cast<int>(std::floor(x));
    yi[static_cast<size_t>(i)] = static_cast<int>(std::floor(y));
    cubic_weights(x - static_cast<float>(xi[static_cast<size_t>(i)]), wx.data() + 4 * i);
    cubic_weights(y - static_cast<float>(yi[static_cast<size_t>(i)]), wy.data() + 4 * i);
  }
  const size_t stride = static_cast<size_t>(img.width);
  for (int j = 0; j < side; ++j)
    for (int i = 0; i < side; ++i) {
      float v = 0.f;
      for (int b = 0; b < 4; ++b) {
        const float* src = img.pixels.data() + static_cast<size_t>(yi[static_cast<size_t>(j)] - 1 + b) * stride +
                           (xi[static_cast<size_t>(i)] - 1);
        const float* w = wx.data() + 4 * i;
        v += wy[static_cast<size_t>(4 * j + b)] * (w[0] * src[0] + w[1] * src[1] + w[2] * src[2] + w[3] * src[3]);
      }
      out[j * side + i] = v;
    }
}

}  // namespace

bool make_flow_template(const Pyramid& reference, const Eigen::Vector2f& pixel, int side, FlowTemplate* out) {
  const int n = side;
  const int half = n / 2;
  const int levels = reference.size();
  out->side = n;
  out->levels = levels;
  out->data.assign(static_cast<size_t>(levels) * 3 * n * n, 0.f);
  out->inverse_hessian.assign(static_cast<size_t>(levels), Eigen::Matrix3f::Zero());
  out->usable.assign(static_cast<size_t>(levels), 0);
  std::array<float, (kMaxFlowSide + 2) * (kMaxFlowSide + 2)> wide;
  for (int l = 0; l < levels; ++l) {
    const GreyImage& img = reference.levels[static_cast<size_t>(l)];
    const float scale = 1.f / static_cast<float>(1 << l);
    const float cx = pixel.x() * scale, cy = pixel.y() * scale;
    if (!window_inside(img, cx, cy, half, 1)) continue;
    // One sample wider on every side, so central differences cover the whole window.
    sample_window(img, cx, cy, n + 2, wide.data());
    float* t = out->data.data() + static_cast<size_t>(l) * 3 * n * n;
    float* gx = t + n * n;
    float* gy = gx + n * n;
    Eigen::Matrix3f h = Eigen::Matrix3f::Zero();
    for (int j = 0; j < n; ++j) {
      for (int i = 0; i < n; ++i) {
        const int w = (j + 1) * (n + 2) + (i + 1);
        const int k = j * n + i;
        t[k] = wide[static_cast<size_t>(w)];
        gx[k] = 0.5f * (wide[static_cast<size_t>(w + 1)] - wide[static_cast<size_t>(w - 1)]);
        gy[k] = 0.5f * (wide[static_cast<size_t>(w + n + 2)] - wide[static_cast<size_t>(w - n - 2)]);
        const Eigen::Vector3f jac(gx[k], gy[k], 1.f);
        h += jac * jac.transpose();
      }
    }
    // The translation block must be well conditioned: its smaller eigenvalue per pixel stays
    // above a gradient of about 1 grey level per pixel, or the patch is a flat or a straight edge.
    const float a = h(0, 0), b = h(0, 1), c = h(1, 1);
    const float min_eig = 0.5f * (a + c) - std::sqrt(0.25f * (a - c) * (a - c) + b * b);
    if (!(min_eig > 1.f * static_cast<float>(n * n))) continue;
    out->inverse_hessian[static_cast<size_t>(l)] = h.inverse();
    out->usable[static_cast<size_t>(l)] = 1;
    if (l == 0) {
      double sum = 0.0, sum2 = 0.0;
      for (int k = 0; k < n * n; ++k) {
        sum += t[k];
        sum2 += static_cast<double>(t[k]) * t[k];
      }
      const double m = sum / (n * n);
      out->contrast = static_cast<float>(std::sqrt(std::max(0.0, sum2 / (n * n) - m * m)));
    }
  }
  return out->usable[0] != 0;
}

bool window_contrast(const GreyImage& image, const Eigen::Vector2f& pixel, int side, float* contrast) {
  if (side > kMaxFlowSide || !window_inside(image, pixel.x(), pixel.y(), side / 2, 0)) return false;
  std::array<float, kMaxFlowSide * kMaxFlowSide> window;
  sample_window(image, pixel.x(), pixel.y(), side, window.data());
  const int n = side * side;
  double sum = 0.0, sum2 = 0.0;
  for (int k = 0; k < n; ++k) {
    sum += window[static_cast<size_t>(k)];
    sum2 += static_cast<double>(window[static_cast<size_t>(k)]) * window[static_cast<size_t>(k)];
  }
  const double m = sum / n;
  *contrast = static_cast<float>(std::sqrt(std::max(0.0, sum2 / n - m * m)));
  return true;
}

namespace {

// Scales the window's values about their mean so that their mean and contrast match the
// template's (the contrast by at most 2 times either way).
void match_contrast(float* patch, const float* t, int n) {
  double sp = 0.0, sp2 = 0.0, st = 0.0, st2 = 0.0;
  for (int k = 0; k < n; ++k) {
    sp += patch[k];
    sp2 += static_cast<double>(patch[k]) * patch[k];
    st += t[k];
    st2 += static_cast<double>(t[k]) * t[k];
  }
  const double mp = sp / n, mt = st / n;
  const double vp = sp2 / n - mp * mp, vt = st2 / n - mt * mt;
  if (!(vp > 1e-6) || !(vt > 1e-6)) return;
  const double ratio = std::clamp(std::sqrt(vt / vp), 0.5, 2.0);
  for (int k = 0; k < n; ++k) patch[k] = static_cast<float>((patch[k] - mp) * ratio + mt);
}

}  // namespace

bool track_flow(const FlowTemplate& tmpl, const Pyramid& current, const Eigen::Vector2f& guess,
                const FlowParams& params, Eigen::Vector2f* out, float* rms, float magnification) {
  const int n = tmpl.side;
  const bool spread = magnification != 1.f;
  if (!(magnification >= kMinMagnification && magnification <= kMaxMagnification)) return false;
  // The window sampled at the magnification's spacing, and its reach.
  const int half = spread ? static_cast<int>(std::ceil(static_cast<float>(n / 2) * magnification)) : n / 2;
  const auto sample = [&](const GreyImage& img, const Eigen::Vector2f& at, float* patch) {
    if (spread)
      sample_spread_window(img, at.x(), at.y(), n, magnification, patch);
    else
      sample_window(img, at.x(), at.y(), n, patch);
  };
  const int nn = n * n;
  std::array<float, kMaxFlowSide * kMaxFlowSide> patch;
  const int top = std::min({tmpl.levels - 1, current.size() - 1, params.top_level});
  if (top < 0) return false;
  Eigen::Vector2f p0 = guess;
  float bias = 0.f;
  const float inv_gain = params.match_contrast ? 1.f : 1.f / params.gain;
  for (int l = top; l >= 0; --l) {
    if (!tmpl.usable[static_cast<size_t>(l)]) continue;
    const GreyImage& img = current.levels[static_cast<size_t>(l)];
    const float scale = static_cast<float>(1 << l);
    Eigen::Vector2f p = p0 / scale;
    const float* t = tmpl.data.data() + static_cast<size_t>(l) * 3 * nn;
    const float* gx = t + nn;
    const float* gy = gx + nn;
    const Eigen::Matrix3f& hinv = tmpl.inverse_hessian[static_cast<size_t>(l)];
    bool inside = true;
    for (int it = 0; it < params.max_iterations; ++it) {
      if (!window_inside(img, p.x(), p.y(), half, 0)) {
        inside = false;
        break;
      }
      sample(img, p, patch.data());
      if (params.match_contrast) match_contrast(patch.data(), t, nn);
      // Inverse compositional step: delta = H^-1 sum J^T e with e = I(p + m x) - T(x) - bias and
      // J = [Tx, Ty, 1]; then p -= m delta_xy, bias += delta_bias (m the magnification).
      float bx = 0.f, by = 0.f, bb = 0.f;
      for (int k = 0; k < nn; ++k) {
        const float e = inv_gain * patch[static_cast<size_t>(k)] - t[k] - bias;
        bx += gx[k] * e;
        by += gy[k] * e;
        bb += e;
      }
      const Eigen::Vector3f delta = hinv * Eigen::Vector3f(bx, by, bb);
      if (!delta.allFinite()) return false;
      p.x() -= magnification * delta.x();
      p.y() -= magnification * delta.y();
      bias += delta.z();
      if (delta.x() * delta.x() + delta.y() * delta.y() < params.converged_px * params.converged_px) break;
    }
    if (!inside) {
      // A coarse level may not hold the whole window near the border; the finer levels still can.
      if (l == 0) return false;
      continue;
    }
    p0 = p * scale;
  }
  if (!tmpl.usable[0]) return false;
  const GreyImage& img = current.levels[0];
  if (!window_inside(img, p0.x(), p0.y(), half, 0)) return false;
  sample(img, p0, patch.data());
  const float* t = tmpl.data.data();
  if (params.match_contrast) match_contrast(patch.data(), t, nn);
  double sum2 = 0.0;
  for (int k = 0; k < nn; ++k) {
    const float e = inv_gain * patch[static_cast<size_t>(k)] - t[k] - bias;
    sum2 += static_cast<double>(e) * e;
  }
  const float r = static_cast<float>(std::sqrt(sum2 / nn));
  if (rms) *rms = r;
  if (!(r <= params.max_rms) || !(r <= params.max_rms_of_contrast * tmpl.contrast)) return false;
  *out = p0;
  return true;
}

bool global_image_shift(const Pyramid& last, const Pyramid& now, Eigen::Vector2f* shift) {
  const int level = std::min(last.size(), now.size()) - 1;
  if (level < 0) return false;
  const GreyImage& a = last.levels[static_cast<size_t>(level)];
  const GreyImage& b = now.levels[static_cast<size_t>(level)];
  if (a.width != b.width || a.height != b.height || a.width < 8 || a.height < 8) return false;
  const int rx = a.width / 4, ry = a.height / 4;
  const int w = 2 * rx + 1;
  std::vector<double> score(static_cast<size_t>(w) * static_cast<size_t>(2 * ry + 1), -2.0);
  const auto at = [&](int dx, int dy) -> double& {
    return score[static_cast<size_t>(dy + ry) * static_cast<size_t>(w) + static_cast<size_t>(dx + rx)];
  };
  for (int dy = -ry; dy <= ry; ++dy)
    for (int dx = -rx; dx <= rx; ++dx) {
      // Overlap: pixel (x, y) of `a` against (x + dx, y + dy) of `b`.
      const int x0 = std::max(0, -dx), x1 = std::min(a.width, a.width - dx);
      const int y0 = std::max(0, -dy), y1 = std::min(a.height, a.height - dy);
      double sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
      for (int y = y0; y < y1; ++y) {
        const float* ra = a.pixels.data() + static_cast<size_t>(y) * static_cast<size_t>(a.width);
        const float* rb = b.pixels.data() + static_cast<size_t>(y + dy) * static_cast<size_t>(b.width) + dx;
        for (int x = x0; x < x1; ++x) {
          const double va = ra[x], vb = rb[x];
          sa += va;
          sb += vb;
          saa += va * va;
          sbb += vb * vb;
          sab += va * vb;
        }
      }
      const double n = static_cast<double>(x1 - x0) * static_cast<double>(y1 - y0);
      const double va = saa - sa * sa / n, vb = sbb - sb * sb / n;
      if (va > 1e-9 * n && vb > 1e-9 * n) at(dx, dy) = (sab - sa * sb / n) / std::sqrt(va * vb);
    }
  int bx = 0, by = 0;
  for (int dy = -ry; dy <= ry; ++dy)
    for (int dx = -rx; dx <= rx; ++dx)
      if (at(dx, dy) > at(bx, by)) bx = dx, by = dy;
  // A clear peak: well correlated, and away from the search's edge (where the true shift may lie
  // beyond it).
  if (!(at(bx, by) > 0.5) || std::abs(bx) == rx || std::abs(by) == ry) return false;
  // Sub-sample peak along each axis.
  const auto vertex = [](double m, double c, double p) {
    const double d = m - 2.0 * c + p;
    return d < 0.0 ? 0.5 * (m - p) / d : 0.0;
  };
  const double fx = bx + vertex(at(bx - 1, by), at(bx, by), at(bx + 1, by));
  const double fy = by + vertex(at(bx, by - 1), at(bx, by), at(bx, by + 1));
  const float scale = static_cast<float>(1 << level);
  *shift = Eigen::Vector2f(static_cast<float>(fx) * scale, static_cast<float>(fy) * scale);
  return true;
}

bool track_flow_horizontal(const FlowTemplate& tmpl, const GreyImage& image, const FlowParams& params,
                           Eigen::Vector2f* pos) {
  const int n = tmpl.side;
  const int half = n / 2;
  const int nn = n * n;
  if (!tmpl.usable[0]) return false;
  const float* t = tmpl.data.data();
  const float* gx = t + nn;
  Eigen::Matrix2f h = Eigen::Matrix2f::Zero();
  for (int k = 0; k < nn; ++k) {
    const Eigen::Vector2f jac(gx[k], 1.f);
    h += jac * jac.transpose();
  }
  if (!(h.determinant() > 1e-3f * h(0, 0) * h(1, 1))) return false;
  const Eigen::Matrix2f hinv = h.inverse();
  std::array<float, kMaxFlowSide * kMaxFlowSide> patch;
  Eigen::Vector2f p = *pos;
  float bias = 0.f;
  const float inv_gain = 1.f / params.gain;
  for (int it = 0; it < params.max_iterations; ++it) {
    if (!window_inside(image, p.x(), p.y(), half, 0)) return false;
    sample_window(image, p.x(), p.y(), n, patch.data());
    float bx = 0.f, bb = 0.f;
    for (int k = 0; k < nn; ++k) {
      const float e = inv_gain * patch[static_cast<size_t>(k)] - t[k] - bias;
      bx += gx[k] * e;
      bb += e;
    }
    const Eigen::Vector2f delta = hinv * Eigen::Vector2f(bx, bb);
    if (!delta.allFinite()) return false;
    p.x() -= delta.x();
    bias += delta.y();
    if (std::abs(delta.x()) < params.converged_px) break;
  }
  if (!window_inside(image, p.x(), p.y(), half, 0)) return false;
  sample_window(image, p.x(), p.y(), n, patch.data());
  double sum2 = 0.0;
  for (int k = 0; k < nn; ++k) {
    const float e = inv_gain * patch[static_cast<size_t>(k)] - t[k] - bias;
    sum2 += static_cast<double>(e) * e;
  }
  const float r = static_cast<float>(std::sqrt(sum2 / nn));
  if (!(r <= params.max_rms) || !(r <= params.max_rms_of_contrast * tmpl.contrast)) return false;
  *pos = p;
  return true;
}

}  // namespace velk_track
