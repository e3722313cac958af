#include "velk_track/corners.hpp"

#include <algorithm>
#include <cmath>

namespace velk_track {

void corner_response(const GreyImage& image, int border, CornerResponse* out) {
  const int w = image.width, h = image.height;
  border = std::max(border, 3);
  out->width = w;
  out->height = h;
  out->border = border;
  if (w <= 2 * border || h <= 2 * border) return;
  // Gradient products on the rows and columns that a 5 x 5 window around a candidate can reach,
  // kept per thread between calls: allocating them anew faulted in fresh pages each time, which
  // cost more than the arithmetic.
  thread_local std::vector<float> planes[3];
  const size_t size = static_cast<size_t>(w) * h;
  for (auto& plane : planes) plane.assign(size, 0.f);
  std::vector<float>& xx = planes[0];
  std::vector<float>& xy = planes[1];
  std::vector<float>& yy = planes[2];
  for (int y = border - 2; y < h - border + 2; ++y) {
    for (int x = border - 2; x < w - border + 2; ++x) {
      const float gx = 0.5f * (image.at(x + 1, y) - image.at(x - 1, y));
      const float gy = 0.5f * (image.at(x, y + 1) - image.at(x, y - 1));
      const size_t k = static_cast<size_t>(y) * w + x;
      xx[k] = gx * gx;
      xy[k] = gx * gy;
      yy[k] = gy * gy;
    }
  }
  // Separable 5-wide box sums: rows here, columns at each candidate.
  std::vector<float>& sxx = out->sxx;
  std::vector<float>& sxy = out->sxy;
  std::vector<float>& syy = out->syy;
  sxx.assign(size, 0.f);
  sxy.assign(size, 0.f);
  syy.assign(size, 0.f);
  for (int y = border - 2; y < h - border + 2; ++y) {
    for (int x = border; x < w - border; ++x) {
      const size_t k = static_cast<size_t>(y) * w + x;
      float a = 0.f, b = 0.f, c = 0.f;
      for (int d = -2; d <= 2; ++d) {
        a += xx[k + d];
        b += xy[k + d];
        c += yy[k + d];
      }
      sxx[k] = a;
      sxy[k] = b;
      syy[k] = c;
    }
  }
}

void detect_corners(const GreyImage& image, const std::vector<Eigen::Vector2f>& existing,
                    const CornerParams& params, int max_new, std::vector<Eigen::Vector2f>* out) {
  CornerResponse response;
  corner_response(image, params.border, &response);
  detect_corners(response, existing, params, max_new, out);
}

void detect_corners(const CornerResponse& response, const std::vector<Eigen::Vector2f>& existing,
                    const CornerParams& params, int max_new, std::vector<Eigen::Vector2f>* out) {
  const int w = response.width, h = response.height;
  const int border = response.border;
  if (max_new <= 0 || w <= 2 * border || h <= 2 * border) return;
  const int cell = std::max(params.cell, 4);
  const int gw = (w + cell - 1) / cell, gh = (h + cell - 1) / cell;
  std::vector<unsigned char> occupied(static_cast<size_t>(gw) * gh, 0);
  for (const auto& p : existing) {
    const int cx = static_cast<int>(p.x()) / cell, cy = static_cast<int>(p.y()) / cell;
    if (cx >= 0 && cy >= 0 && cx < gw && cy < gh) occupied[static_cast<size_t>(cy) * gw + cx] = 1;
  }
  if (std::find(occupied.begin(), occupied.end(), 0) == occupied.end()) return;
  const std::vector<float>& sxx = response.sxx;
  const std::vector<float>& sxy = response.sxy;
  const std::vector<float>& syy = response.syy;
  struct Candidate {
    float response;
    Eigen::Vector2f pixel;
  };
  std::vector<Candidate> candidates;
  const float threshold = params.min_response * 25.f;
  for (int cy = 0; cy < gh; ++cy) {
    for (int cx = 0; cx < gw; ++cx) {
      if (occupied[static_cast<size_t>(cy) * gw + cx]) continue;
      Candidate best{threshold, Eigen::Vector2f::Zero()};
      bool found = false;
      const int y_end = std::min((cy + 1) * cell, h - border), x_end = std::min((cx + 1) * cell, w - border);
      for (int y = std::max(cy * cell, border); y < y_end; ++y) {
        for (int x = std::max(cx * cell, border); x < x_end; ++x) {
          float a = 0.f, b = 0.f, c = 0.f;
          for (int d = -2; d <= 2; ++d) {
            const size_t k = static_cast<size_t>(y + d) * w + x;
            a += sxx[k];
            b += sxy[k];
            c += syy[k];
          }
          const float min_eig = 0.5f * (a + c) - std::sqrt(0.25f * (a - c) * (a - c) + b * b);
          if (min_eig > best.response) {
            best = {min_eig, Eigen::Vector2f(static_cast<float>(x), static_cast<float>(y))};
            found = true;
          }
        }
      }
      if (found) candidates.push_back(best);
    }
  }
  std::sort(candidates.begin(), candidates.end(),
            [](const Candidate& a, const Candidate& b) { return a.response > b.response; });
  const float min_d2 = params.min_distance * params.min_distance;
  const size_t first_new = out->size();
  for (const auto& c : candidates) {
    if (static_cast<int>(out->size() - first_new) >= max_new) break;
    bool crowded = false;
    for (const auto& p : existing)
      if ((p - c.pixel).squaredNorm() < min_d2) crowded = true;
    for (size_t i = first_new; i < out->size() && !crowded; ++i)
      if (((*out)[i] - c.pixel).squaredNorm() < min_d2) crowded = true;
    if (!crowded) out->push_back(c.pixel);
  }
}

}  // namespace velk_track
