#include "velk_track/stereo_match.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <vector>

namespace velk_track {

namespace {

struct Patch {
  std::vector<float> v;
  float mean = 0.f;
  float norm = 0.f;  // sqrt of the sum of squared deviations
};

bool sample_patch(const GreyImage& img, double cx, double cy, int side, Patch* p) {
  const int half = side / 2;
  const float x0 = static_cast<float>(cx) - half, y0 = static_cast<float>(cy) - half;
  if (!img.can_sample(x0, y0) || !img.can_sample(x0 + side - 1, y0 + side - 1)) return false;
  p->v.resize(static_cast<size_t>(side) * side);
  double sum = 0.0;
  for (int j = 0; j < side; ++j)
    for (int i = 0; i < side; ++i) {
      const float s = img.sample(x0 + i, y0 + j);
      p->v[static_cast<size_t>(j * side + i)] = s;
      sum += s;
    }
  p->mean = static_cast<float>(sum / (side * side));
  double ss = 0.0;
  for (float& s : p->v) {
    s -= p->mean;
    ss += static_cast<double>(s) * s;
  }
  p->norm = static_cast<float>(std::sqrt(ss));
  return true;
}

float zncc(const Patch& a, const Patch& b) {
  if (a.norm <= 1e-3f || b.norm <= 1e-3f) return -1.f;
  float dot = 0.f;
  for (size_t k = 0; k < a.v.size(); ++k) dot += a.v[k] * b.v[k];
  return dot / (a.norm * b.norm);
}

}  // namespace

bool triangulate_midpoint(const Eigen::Vector3d& o1, const Eigen::Vector3d& d1, const Eigen::Vector3d& o2,
                          const Eigen::Vector3d& d2, Eigen::Vector3d* point) {
  // Minimise |o1 + s d1 - o2 - u d2|^2: [d1.d1, -d1.d2; d1.d2, -d2.d2] [s; u] = [d1.(o2-o1); d2.(o2-o1)].
  const Eigen::Vector3d w = o2 - o1;
  const double a = d1.dot(d1), b = d1.dot(d2), c = d2.dot(d2);
  const double det = a * c - b * b;
  if (!(det > 1e-12 * a * c)) return false;
  const double s = (c * d1.dot(w) - b * d2.dot(w)) / det;
  const double u = (b * d1.dot(w) - a * d2.dot(w)) / det;
  if (!(s > 0.0) || !(u > 0.0)) return false;
  *point = 0.5 * (o1 + s * d1 + o2 + u * d2);
  return point->allFinite();
}

namespace {

// Candidate positions in b of the pixel of a with ray ray_a, ordered by inverse depth, about one pixel
// apart: along the row when the pair is row-aligned, else along the epipolar curve between the depth
// limits. False when neither depth limit projects into b (or, for a row search, either does not).
bool stereo_candidates(const StereoPair& pair, const CameraModel& cam_b, const Eigen::Vector3d& ray_a,
                       const Eigen::Vector2d& pixel_a, const StereoParams& params,
                       std::vector<Eigen::Vector2d>* candidates) {
  const double rho_near = 1.0 / params.min_depth, rho_far = 1.0 / params.max_depth;
  const Eigen::Vector3d rotated = pair.b_from_a.R * ray_a;
  const auto project_at = [&](double rho, Eigen::Vector2d* px) {
    // b's view of the point ray_a / rho, scaled by rho (projection is scale-free).
    return cam_b.project(rotated + rho * pair.b_from_a.t, px);
  };
  Eigen::Vector2d near_px, far_px;
  const bool near_ok = project_at(rho_near, &near_px);
  const bool far_ok = project_at(rho_far, &far_px);
  if (!far_ok && !near_ok) return false;
  // Bounds and step counts are clamped in floating point before any conversion to int: an odd
  // calibration can project far outside the image.
  const double width_b = cam_b.width();
  if (pair.row_search) {
    if (!near_ok || !far_ok) return false;
    const double lo = std::clamp(std::floor(std::min(near_px.x(), far_px.x())), -1.0, width_b);
    const double hi = std::clamp(std::ceil(std::max(near_px.x(), far_px.x())), -1.0, width_b);
    const double frac = pixel_a.x() - std::floor(pixel_a.x());
    for (int x = static_cast<int>(lo); x <= static_cast<int>(hi); ++x) candidates->emplace_back(x + frac, pixel_a.y());
  } else {
    const double most = 4.0 * (cam_b.width() + cam_b.height());
    const double length = near_ok && far_ok ? (near_px - far_px).norm() : most;
    const int steps = static_cast<int>(std::clamp(std::ceil(length), 1.0, most));
    for (int i = 0; i <= steps; ++i) {
      const double rho = rho_far + (rho_near - rho_far) * i / steps;
      Eigen::Vector2d px;
      if (project_at(rho, &px) && std::abs(px.x()) < 4.0 * width_b && std::abs(px.y()) < 4.0 * cam_b.height())
        candidates->push_back(px);
    }
  }
  return true;
}

// Index of the candidate whose patch in image_b matches pa best, or -1 when it is ambiguous: a
// candidate more than 3 px from it scores within min_margin (repeated texture).
int best_candidate(const std::vector<Eigen::Vector2d>& candidates, const GreyImage& image_b, const Patch& pa,
                   int side, const StereoParams& params) {
  float best = -2.f;
  int best_i = -1;
  std::vector<float> scores(candidates.size(), -2.f);
  Patch pb;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if (!sample_patch(image_b, candidates[i].x(), candidates[i].y(), side, &pb)) continue;
    scores[i] = zncc(pa, pb);
    if (scores[i] > best) {
      best = scores[i];
      best_i = static_cast<int>(i);
    }
  }
  if (best_i < 0) return -1;
  for (size_t i = 0; i < candidates.size(); ++i) {
    if ((candidates[i] - candidates[static_cast<size_t>(best_i)]).squaredNorm() < 9.0) continue;
    if (scores[i] > best - params.min_margin) return -1;  // ambiguous: repeated texture
  }
  return best_i;
}

// The candidate refined by a's template on b's finest level (along the row for a row-aligned pair);
// false when the flow fails or moves it more than 2 px.
bool refine_candidate(const StereoPair& pair, const FlowTemplate& tmpl_a, const Pyramid& pyramid_b,
                      const StereoParams& params, const Eigen::Vector2d& candidate, Eigen::Vector2f* refined) {
  *refined = candidate.cast<float>();
  FlowParams flow = params.flow;
  flow.top_level = 0;
  // Only the position is taken from the flow (at the pair's gain, params.flow.gain): the correlation
  // at the refined position accepts the match.
  flow.max_rms = std::numeric_limits<float>::infinity();
  flow.max_rms_of_contrast = std::numeric_limits<float>::infinity();
  if (pair.row_search) {
    if (!track_flow_horizontal(tmpl_a, pyramid_b.levels[0], flow, refined)) return false;
  } else {
    if (!track_flow(tmpl_a, pyramid_b, *refined, flow, refined)) return false;
  }
  return !((refined->cast<double>() - candidate).norm() > 2.0);
}

}  // namespace

bool triangulate_match(const StereoPair& pair, const CameraModel& cam_a, const CameraModel& cam_b,
                       const Eigen::Vector2d& pixel_a, const Eigen::Vector3d& ray_a, const Eigen::Vector2d& pixel_b,
                       const StereoParams& params, Eigen::Vector3d* point) {
  Eigen::Vector2d xn_b;
  if (!cam_b.unproject(pixel_b, &xn_b)) return false;
  const Rigid a_from_b = pair.b_from_a.inverse();
  if (!triangulate_midpoint(Eigen::Vector3d::Zero(), ray_a, a_from_b.t, a_from_b.R * Eigen::Vector3d(xn_b.x(), xn_b.y(), 1.0),
                            point))
    return false;
  if (point->z() < params.min_depth || point->z() > params.max_depth) return false;
  Eigen::Vector2d reproj_a, reproj_b;
  if (!cam_a.project(*point, &reproj_a) || !cam_b.project(pair.b_from_a * *point, &reproj_b)) return false;
  return !((reproj_a - pixel_a).norm() > params.max_epipolar_px || (reproj_b - pixel_b).norm() > params.max_epipolar_px);
}

bool match_stereo(const StereoPair& pair, const CameraModel& cam_a, const CameraModel& cam_b,
                  const GreyImage& image_a, const Pyramid& pyramid_b, const FlowTemplate& tmpl_a,
                  const Eigen::Vector2d& pixel_a, const StereoParams& params, StereoMatch* out) {
  const int side = tmpl_a.side;
  Patch pa;
  if (!sample_patch(image_a, pixel_a.x(), pixel_a.y(), side, &pa)) return false;
  Eigen::Vector2d xn_a;
  if (!cam_a.unproject(pixel_a, &xn_a)) return false;
  const Eigen::Vector3d ray_a(xn_a.x(), xn_a.y(), 1.0);
  std::vector<Eigen::Vector2d> candidates;
  if (!stereo_candidates(pair, cam_b, ray_a, pixel_a, params, &candidates)) return false;
  const int best_i = best_candidate(candidates, pyramid_b.levels[0], pa, side, params);
  if (best_i < 0) return false;
  Eigen::Vector2f refined;
  if (!refine_candidate(pair, tmpl_a, pyramid_b, params, candidates[static_cast<size_t>(best_i)], &refined))
    return false;
  // The candidates lie on whole-pixel steps, up to half a pixel off the match, where fine texture
  // already decorrelates: the score that accepts it is taken at the refined position.
  Patch pb;
  if (!sample_patch(pyramid_b.levels[0], refined.x(), refined.y(), side, &pb) ||
      zncc(pa, pb) < params.min_score)
    return false;
  Eigen::Vector3d point;
  if (!triangulate_match(pair, cam_a, cam_b, pixel_a, ray_a, refined.cast<double>(), params, &point)) return false;
  out->pixel_b = refined.cast<double>();
  out->point_a = point;
  // The contrasts are taken as the refinement samples (bilinear samples of b's patch, at another
  // subpixel phase than a's, would read fine texture a percent or two weaker).
  float contrast_b;
  out->contrast_ratio = window_contrast(pyramid_b.levels[0], refined, tmpl_a.side, &contrast_b) && tmpl_a.contrast > 0.f
                            ? contrast_b / tmpl_a.contrast
                            : std::numeric_limits<double>::quiet_NaN();
  return true;
}

namespace {

constexpr size_t kMinOffsetTracks = 12;

// The offset problem: points seen by both cameras in an earlier and a later frame set, camera a's
// rotation between them, the rig and the disparity noise. x = (offset, rotation correction on the
// left, translation), in the later frame of a. A constant offset e makes inverse depth affine in
// disparity (1 / z = (d - e) / b): under one motion a change of e moves every point's predicted
// disparity change and image motion by a part that grows with its depth, which neither a rotation
// nor a translation mimics. The rotation is solved too, not taken as given: a small error in it
// moves all points by one image shift, which a fixed rotation would leave to the translation and so
// to the depths (at full position weight, rendered rigs with an exact calibration read +0.13 px so).
class OffsetProblem {
 public:
  // Offset, slope, rotation correction (3), translation (3).
  using Vector8d = Eigen::Matrix<double, 8, 1>;
  using Matrix8d = Eigen::Matrix<double, 8, 8>;

  OffsetProblem(const std::vector<StereoTrack>& tracks, const Eigen::Matrix3d& now_from_before, const Rigid& a_from_b,
                double sigma)
      : tracks_(tracks), now_from_before_(now_from_before), a_from_b_(a_from_b), baseline_(a_from_b.t.norm()),
        sigma_(sigma) {}

  bool well_posed() const { return tracks_.size() >= kMinOffsetTracks && baseline_ > 0.0 && sigma_ > 0.0; }

  // Start: no offset, slope nor rotation correction, the translation of the nearer points (whose depths
  // are the surest).
  bool initial(Vector8d* x) const {
    *x = Vector8d::Zero();
    double total = 0.0;
    for (const StereoTrack& k : tracks_) {
      const double d0 = disparity(k.a0, k.b0), d1 = disparity(k.a1, k.b1);
      if (!(d0 > 0.0) || !(d1 > 0.0)) continue;
      const Eigen::Vector3d p0 = (baseline_ / d0) * (now_from_before_ * Eigen::Vector3d(k.a0.x(), k.a0.y(), 1.0));
      const Eigen::Vector3d p1 = (baseline_ / d1) * Eigen::Vector3d(k.a1.x(), k.a1.y(), 1.0);
      const double w = d0 * d0 * d1 * d1;
      x->tail<3>() += w * (p1 - p0);
      total += w;
    }
    if (!(total > 0.0)) return false;
    x->tail<3>() /= total;
    return true;
  }

  // Gauss-Newton steps on the points whose weighted misfit stays within `gate`; `h` is the last
  // normal matrix. False when too few points remain or a step cannot be solved.
  bool solve(double gate, Vector8d* x, Matrix8d* h) const {
    for (int it = 0; it < 10; ++it) {
      h->setZero();
      Vector8d g = Vector8d::Zero();
      size_t used = 0;
      const Eigen::Matrix3d rotation = exp_rotation_matrix(x->segment<3>(2)) * now_from_before_;
      for (const StereoTrack& k : tracks_) {
        Eigen::Vector3d r;
        Eigen::Matrix<double, 3, 8> jac;
        if (!residual(k, *x, rotation, &r) || !jacobian(k, *x, r, &jac)) continue;
        const Eigen::Vector3d inv_var = weights(k, *x);
        // Points far off the common motion (mismatched partners, moving objects) leave the second pass.
        if (r.cwiseProduct(r).dot(inv_var) > gate) continue;
        h->noalias() += jac.transpose() * inv_var.asDiagonal() * jac;
        g.noalias() += jac.transpose() * inv_var.asDiagonal() * r;
        ++used;
      }
      if (used < kMinOffsetTracks) return false;
      const Eigen::LDLT<Matrix8d> ldlt(*h);
      if (ldlt.info() != Eigen::Success) return false;
      const Vector8d step = -ldlt.solve(g);
      if (!step.allFinite()) return false;
      *x += step;
      if (step.head<2>().cwiseAbs().maxCoeff() < 1e-9 && step.tail<6>().norm() < 1e-6) break;
    }
    return true;
  }

  // The misfits' median sets the noise actually seen (the nominal sigma may be far off either way):
  // the squared scale of the weights it implies.
  bool noise_scale2(const Vector8d& x, double* scale2) const {
    std::vector<double> misfit;
    const Eigen::Matrix3d rotation = exp_rotation_matrix(x.segment<3>(2)) * now_from_before_;
    for (const StereoTrack& k : tracks_) {
      Eigen::Vector3d r;
      if (!residual(k, x, rotation, &r)) continue;
      misfit.push_back(r.cwiseProduct(r).dot(weights(k, x)));
    }
    if (misfit.size() < kMinOffsetTracks) return false;
    std::nth_element(misfit.begin(), misfit.begin() + static_cast<long>(misfit.size() / 2), misfit.end());
    // The misfit is about a chi-square of three degrees of freedom, whose median is 2.37.
    *scale2 = std::max(misfit[misfit.size() / 2] / 2.37, 1e-4);
    return true;
  }

 private:
  // b's x, its ray turned into a's orientation (normalised units).
  double x_in_a(const Eigen::Vector2d& xb) const {
    const Eigen::Vector3d rb = a_from_b_.R * Eigen::Vector3d(xb.x(), xb.y(), 1.0);
    return rb.x() / rb.z();
  }

  // Disparity along a's x axis.
  double disparity(const Eigen::Vector2d& xa, const Eigen::Vector2d& xb) const { return xa.x() - x_in_a(xb); }

  // ... less the offset and the slope of x: b's x reads (1 + slope) times too small where its focal
  // length is that much too long.
  double corrected(const Eigen::Vector2d& xa, const Eigen::Vector2d& xb, const Vector8d& x) const {
    return xa.x() - x_in_a(xb) * (1.0 + x(1)) - x(0);
  }

  // Residuals in the later frame set, whose noise is the trackers' own (constant in disparity, not
  // in depth): its disparity and a's image position, predicted from the earlier sighting moved by
  // (rotation, t); false where a depth is not positive.
  bool residual(const StereoTrack& k, const Vector8d& x, const Eigen::Matrix3d& rotation, Eigen::Vector3d* r) const {
    const double d0 = corrected(k.a0, k.b0, x);
    if (!(d0 > 0.0)) return false;
    const Eigen::Vector3d p1 = (baseline_ / d0) * (rotation * Eigen::Vector3d(k.a0.x(), k.a0.y(), 1.0)) + x.tail<3>();
    if (!(p1.z() > 0.0)) return false;
    *r << corrected(k.a1, k.b1, x) - baseline_ / p1.z(), k.a1.x() - p1.x() / p1.z(), k.a1.y() - p1.y() / p1.z();
    return r->allFinite();
  }

  // Forward differences of the residuals at x.
  bool jacobian(const StereoTrack& k, const Vector8d& x, const Eigen::Vector3d& r, Eigen::Matrix<double, 3, 8>* jac) const {
    for (int j = 0; j < 8; ++j) {
      Vector8d xj = x;
      const double step = j < 5 ? 1e-7 : 1e-6;
      xj(j) += step;
      Eigen::Vector3d rj;
      if (!residual(k, xj, exp_rotation_matrix(xj.segment<3>(2)) * now_from_before_, &rj)) return false;
      jac->col(j) = (rj - r) / step;
    }
    return true;
  }

  // Inverse variances of the residuals: the disparity carries the noise of two trackers, and the
  // earlier one's too, magnified by the ratio of the disparities. A position carries more than its
  // tracker's noise: templates that the motion deforms bias it by amounts that vary with depth (no
  // rotation nor scale of the parallax absorbs them), which the disparity of two such templates
  // cancels. At a's tracker's noise, rendered rigs with an exact calibration read -0.1 to -0.25 px
  // of offset (256 px focal length); at this variance, within their own uncertainty.
  Eigen::Vector3d weights(const StereoTrack& k, const Vector8d& x) const {
    const double ratio = corrected(k.a1, k.b1, x) / corrected(k.a0, k.b0, x);
    const double position = 1.0 / (kPositionVarianceFactor * sigma_ * sigma_);
    return Eigen::Vector3d(1.0 / (2.0 * sigma_ * sigma_ * (1.0 + std::pow(ratio, 4))), position, position);
  }
  static constexpr double kPositionVarianceFactor = 10.0;

  const std::vector<StereoTrack>& tracks_;
  const Eigen::Matrix3d& now_from_before_;
  const Rigid& a_from_b_;
  double baseline_;
  double sigma_;
};

}  // namespace

bool estimate_disparity_offset(const std::vector<StereoTrack>& tracks, const Eigen::Matrix3d& now_from_before,
                               const Rigid& a_from_b, double sigma, Eigen::Vector2d* offset,
                               Eigen::Matrix2d* information) {
  const OffsetProblem problem(tracks, now_from_before, a_from_b, sigma);
  OffsetProblem::Vector8d x;
  if (!problem.well_posed() || !problem.initial(&x)) return false;
  // A first pass on every point, then one on the points within 3 times the noise it finds, weighed at
  // that noise.
  OffsetProblem::Matrix8d h;
  double scale2 = 1.0;
  if (!problem.solve(std::numeric_limits<double>::infinity(), &x, &h) || !problem.noise_scale2(x, &scale2) ||
      !problem.solve(9.0 * scale2, &x, &h))
    return false;
  h /= scale2;
  const Eigen::FullPivLU<OffsetProblem::Matrix8d> lu(h);
  if (!lu.isInvertible()) return false;
  const Eigen::Matrix2d covariance = lu.inverse().topLeftCorner<2, 2>();
  if (!(covariance.determinant() > 0.0) || !(covariance(0, 0) > 0.0) || !x.head<2>().allFinite()) return false;
  *offset = x.head<2>();
  *information = covariance.inverse();
  return true;
}

}  // namespace velk_track
