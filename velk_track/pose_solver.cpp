#include "velk_track/pose_solver.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <complex>
#include <limits>

namespace velk_track {

namespace {

using Poly = std::vector<double>;  // coefficients, lowest degree first

Poly poly_mul(const Poly& a, const Poly& b) {
  Poly r(a.size() + b.size() - 1, 0.0);
  for (size_t i = 0; i < a.size(); ++i)
    for (size_t j = 0; j < b.size(); ++j) r[i + j] += a[i] * b[j];
  return r;
}

Poly poly_add(const Poly& a, const Poly& b, double sb = 1.0) {
  Poly r(std::max(a.size(), b.size()), 0.0);
  for (size_t i = 0; i < a.size(); ++i) r[i] += a[i];
  for (size_t i = 0; i < b.size(); ++i) r[i] += sb * b[i];
  return r;
}

double poly_eval(const Poly& p, double x) {
  double v = 0.0;
  for (size_t i = p.size(); i-- > 0;) v = v * x + p[i];
  return v;
}

// Rotation and translation with x_camera = R p_world + t from three point pairs (Kabsch).
bool align_points(const Eigen::Vector3d cam[3], const Eigen::Vector3d world[3], Rigid* camera_from_world) {
  const Eigen::Vector3d cc = (cam[0] + cam[1] + cam[2]) / 3.0;
  const Eigen::Vector3d cw = (world[0] + world[1] + world[2]) / 3.0;
  Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
  for (int i = 0; i < 3; ++i) h += (world[i] - cw) * (cam[i] - cc).transpose();
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(h, Eigen::ComputeFullU | Eigen::ComputeFullV);
  if (!(svd.singularValues()(1) > 1e-12 * std::max(1.0, svd.singularValues()(0)))) return false;
  Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
  if ((svd.matrixV() * svd.matrixU().transpose()).determinant() < 0.0) d(2, 2) = -1.0;
  camera_from_world->R = svd.matrixV() * d * svd.matrixU().transpose();
  camera_from_world->t = cc - camera_from_world->R * cw;
  return camera_from_world->R.allFinite() && camera_from_world->t.allFinite();
}

// All n complex roots of c[0] + ... + c[n] x^n (c[n] != 0, n >= 1) by simultaneous Weierstrass
// (Durand-Kerner) iteration: quadratic convergence for simple roots, linear for multiple ones. For
// the degrees here it gives what the eigenvalues of the companion matrix give, without compiling a
// general eigenvalue solver.
std::vector<std::complex<double>> complex_roots(const Poly& c) {
  using C = std::complex<double>;
  const size_t n = c.size() - 1;
  std::vector<C> monic(n + 1);
  for (size_t i = 0; i <= n; ++i) monic[i] = c[i] / c[n];
  // Every root lies within Fujiwara's bound 2 max(|a_(n-1)|, |a_(n-2)|^(1/2), ..., |a_0 / 2|^(1/n)),
  // much tighter than Cauchy's for badly scaled coefficients: a start near the roots saves iterations.
  double bound = 0.0;
  for (size_t k = 1; k <= n; ++k) {
    const double a = std::abs(monic[n - k]) * (k == n ? 0.5 : 1.0);
    bound = std::max(bound, std::pow(a, 1.0 / static_cast<double>(k)));
  }
  bound = std::min(std::max(2.0 * bound, 1e-150), 1e150);
  const auto eval = [&](C x) {
    C v = 1.0;
    for (size_t i = n; i-- > 0;) v = v * x + monic[i];
    return v;
  };
  std::vector<C> z(n);
  const C seed(0.4, 0.9);
  C power = 1.0;
  for (size_t k = 0; k < n; ++k) z[k] = (power *= seed) * (0.5 * bound);
  double previous = std::numeric_limits<double>::infinity();
  for (int it = 0; it < 200; ++it) {
    double change = 0.0;
    for (size_t k = 0; k < n; ++k) {
      C denominator = 1.0;
      for (size_t j = 0; j < n; ++j)
        if (j != k) denominator *= z[k] - z[j];
      // Two estimates that met (at a multiple root) give no direction this round; the others move on.
      if (!(std::abs(denominator) > 1e-200)) continue;
      const C step = eval(z[k]) / denominator;
      if (!std::isfinite(step.real()) || !std::isfinite(step.imag())) continue;
      z[k] -= step;
      change = std::max(change, std::abs(step) / (1.0 + std::abs(z[k])));
    }
    // Converged, or stalled at the rounding level of close roots: the caller's Newton steps polish the rest.
    if (change < 1e-13 || (change < 1e-7 && change > 0.5 * previous)) break;
    previous = change;
  }
  return z;
}

}  // namespace

std::vector<double> real_polynomial_roots(const std::vector<double>& coefficients) {
  Poly c = coefficients;
  double scale = 0.0;
  for (double v : c) scale = std::max(scale, std::abs(v));
  if (!(scale > 0.0) || !std::isfinite(scale)) return {};
  while (c.size() > 1 && std::abs(c.back()) <= 1e-12 * scale) c.pop_back();
  const int n = static_cast<int>(c.size()) - 1;
  std::vector<double> roots;
  if (n <= 0) return roots;
  if (n == 1) {
    roots.push_back(-c[0] / c[1]);
  } else {
    for (const std::complex<double>& z : complex_roots(c)) {
      if (std::abs(z.imag()) <= 1e-6 * (1.0 + std::abs(z.real()))) roots.push_back(z.real());
    }
  }
  Poly d(c.size() > 1 ? c.size() - 1 : 1, 0.0);
  for (size_t i = 1; i < c.size(); ++i) d[i - 1] = static_cast<double>(i) * c[i];
  for (double& r : roots) {
    for (int it = 0; it < 3; ++it) {
      const double slope = poly_eval(d, r);
      if (std::abs(slope) < 1e-300) break;
      const double value = poly_eval(c, r);
      const double step = value / slope;
      // Near a double root the slope vanishes and a step can fly off: keep only steps that help.
      if (!std::isfinite(step) || !(std::abs(poly_eval(c, r - step)) < std::abs(value))) break;
      r -= step;
    }
  }
  return roots;
}

std::vector<Rigid> solve_p3p(const Eigen::Vector3d bearings[3], const Eigen::Vector3d points[3]) {
  // Depths s1, s2 = u s1, s3 = v s1 along the bearings satisfy the law of cosines for the three
  // world distances a = |P2 - P3|, b = |P1 - P3|, c = |P1 - P2|:
  //   a^2 = s1^2 (u^2 + v^2 - 2 u v cos_alpha), b^2 = s1^2 (1 + v^2 - 2 v cos_beta),
  //   c^2 = s1^2 (1 + u^2 - 2 u cos_gamma).
  // Dividing by the b equation and subtracting gives u = N(v) / D(v) with
  //   N = (a^2 - c^2) Q - b^2 (v^2 - 1), D = 2 b^2 (cos_gamma - v cos_alpha), Q = 1 - 2 cos_beta v + v^2,
  // and the c equation then becomes the quartic c^2 Q D^2 - b^2 (D^2 + N^2 - 2 cos_gamma N D) = 0.
  const double a2 = (points[1] - points[2]).squaredNorm();
  const double b2 = (points[0] - points[2]).squaredNorm();
  const double c2 = (points[0] - points[1]).squaredNorm();
  std::vector<Rigid> out;
  if (!(a2 > 0.0) || !(b2 > 0.0) || !(c2 > 0.0)) return out;
  const Eigen::Vector3d f1 = bearings[0].normalized(), f2 = bearings[1].normalized(), f3 = bearings[2].normalized();
  const double cos_a = f2.dot(f3), cos_b = f1.dot(f3), cos_g = f1.dot(f2);
  const Poly q = {1.0, -2.0 * cos_b, 1.0};
  const Poly n = poly_add(poly_mul({a2 - c2}, q), {b2, 0.0, -b2});
  const Poly d = {2.0 * b2 * cos_g, -2.0 * b2 * cos_a};
  const Poly d2 = poly_mul(d, d);
  const Poly lhs = poly_mul(poly_mul({c2}, q), d2);
  const Poly rhs = poly_mul({b2}, poly_add(poly_add(d2, poly_mul(n, n)), poly_mul(n, d), -2.0 * cos_g));
  const Poly quartic = poly_add(lhs, rhs, -1.0);
  for (double v : real_polynomial_roots(quartic)) {
    if (!(v > 0.0)) continue;
    const double dv = poly_eval(d, v);
    if (std::abs(dv) < 1e-12 * b2) continue;
    const double u = poly_eval(n, v) / dv;
    const double qv = poly_eval(q, v);
    if (!(u > 0.0) || !(qv > 0.0)) continue;
    const double s1 = std::sqrt(b2 / qv);
    const Eigen::Vector3d cam[3] = {s1 * f1, u * s1 * f2, v * s1 * f3};
    Rigid pose;
    if (align_points(cam, points, &pose)) out.push_back(pose);
  }
  return out;
}

double reprojection_error2(const PoseObservation& obs, const std::vector<PoseCamera>& cameras,
                           const Rigid& rig_from_world) {
  const PoseCamera& cam = cameras[static_cast<size_t>(obs.camera)];
  const Eigen::Vector3d pc = cam.camera_from_rig * (rig_from_world * obs.point_world);
  if (!(pc.z() > 1e-9)) return std::numeric_limits<double>::infinity();
  const double ex = cam.fx * (pc.x() / pc.z() - obs.normalized.x());
  const double ey = cam.fy * (pc.y() / pc.z() - obs.normalized.y());
  return ex * ex + ey * ey;
}

namespace {

// The three observations of one RANSAC hypothesis, all in one camera; none when the first pick's
// camera sees fewer than three.
struct MinimalSample {
  bool valid = false;
  int idx[3] = {0, 0, 0};
};

MinimalSample draw_sample(const std::vector<PoseObservation>& obs, const std::vector<std::vector<int>>& by_camera,
                          std::mt19937& rng) {
  MinimalSample s;
  std::uniform_int_distribution<size_t> pick_any(0, obs.size() - 1);
  const PoseObservation& first = obs[pick_any(rng)];
  const std::vector<int>& pool = by_camera[static_cast<size_t>(first.camera)];
  if (pool.size() < 3) return s;
  std::uniform_int_distribution<size_t> pick(0, pool.size() - 1);
  s.idx[0] = pool[pick(rng)];
  do s.idx[1] = pool[pick(rng)]; while (s.idx[1] == s.idx[0]);
  do s.idx[2] = pool[pick(rng)]; while (s.idx[2] == s.idx[0] || s.idx[2] == s.idx[1]);
  s.valid = true;
  return s;
}

struct Scored {
  Rigid world_from_rig;
  double cost = 0.0;  // MSAC cost; a lower bound (at least `bound`) when scoring stopped early
  int inliers = 0;
  bool complete = false;
};

// MSAC cost: inliers pay their squared error, outliers the threshold. Scoring stops once the cost
// reaches `bound`: the sum only grows, so such a pose can no longer beat the best one.
Scored score_pose(const std::vector<PoseObservation>& obs, const std::vector<PoseCamera>& cameras,
                  const Rigid& world_from_rig, double th2, double bound) {
  Scored out;
  out.world_from_rig = world_from_rig;
  const Rigid rig_from_world = world_from_rig.inverse();
  for (const PoseObservation& o : obs) {
    const double e2 = reprojection_error2(o, cameras, rig_from_world);
    out.inliers += e2 < th2;
    out.cost += std::min(e2, th2);
    if (out.cost >= bound) return out;
  }
  out.complete = true;
  return out;
}

// Hypotheses formed and scored together, as many as the pool has threads (twice, to even out the
// uneven P3P root counts).
constexpr int kHypothesesPerThread = 2;

}  // namespace

int ransac_pose(const std::vector<PoseObservation>& obs, const std::vector<PoseCamera>& cameras,
                const Rigid* prior, const RansacParams& params, std::mt19937& rng, Rigid* world_from_rig,
                std::vector<uint8_t>* inliers, ThreadPool* pool) {
  const size_t count = obs.size();
  inliers->assign(count, 0);
  if (count < 3) return 0;
  std::vector<std::vector<int>> by_camera(cameras.size());
  for (size_t i = 0; i < count; ++i) by_camera[static_cast<size_t>(obs[i].camera)].push_back(static_cast<int>(i));
  const double th2 = params.threshold_px * params.threshold_px;
  const double inf = std::numeric_limits<double>::infinity();

  // The hypotheses are drawn, solved and scored in batches on the pool, then taken in the order
  // they were drawn exactly as a plain loop takes them: the same samples, the same best pose and
  // the same stopping point (the generator advances only by the samples used) for any pool size.
  int best_count = 0;
  double best_cost = inf;
  bool has_best = false;
  const auto take = [&](const Scored& h) {
    if (!h.complete || !(h.cost < best_cost)) return false;
    const int before = best_count;
    best_cost = h.cost;
    best_count = h.inliers;
    *world_from_rig = h.world_from_rig;
    has_best = true;
    return best_count > before;
  };
  if (prior) take(score_pose(obs, cameras, *prior, th2, inf));

  // One at a time on one thread: each hypothesis then meets the tightest bound.
  const int batch_size = pool && pool->size() > 1 ? kHypothesesPerThread * pool->size() : 1;
  std::vector<MinimalSample> samples;
  std::vector<std::vector<Scored>> scored;
  int needed = params.max_iterations;
  int it = 0;
  while (it < needed && it < params.max_iterations) {
    const int batch = std::min(batch_size, std::min(needed, params.max_iterations) - it);
    std::mt19937 ahead = rng;
    samples.resize(static_cast<size_t>(batch));
    for (auto& sample : samples) sample = draw_sample(obs, by_camera, ahead);
    scored.assign(static_cast<size_t>(batch), {});
    const double bound = best_cost;
    const auto solve = [&](size_t j) {
      const MinimalSample& sample = samples[j];
      if (!sample.valid) return;
      Eigen::Vector3d bearings[3], points[3];
      for (int k = 0; k < 3; ++k) {
        const PoseObservation& o = obs[static_cast<size_t>(sample.idx[k])];
        bearings[k] = Eigen::Vector3d(o.normalized.x(), o.normalized.y(), 1.0);
        points[k] = o.point_world;
      }
      const int camera = obs[static_cast<size_t>(sample.idx[0])].camera;
      const Rigid& camera_from_rig = cameras[static_cast<size_t>(camera)].camera_from_rig;
      for (const Rigid& camera_from_world : solve_p3p(bearings, points))
        scored[j].push_back(score_pose(obs, cameras, camera_from_world.inverse() * camera_from_rig, th2, bound));
    };
    if (pool) {
      pool->parallel_for(samples.size(), solve);
    } else {
      solve(0);
    }
    for (size_t j = 0; j < samples.size() && it < needed; ++j, ++it) {
      draw_sample(obs, by_camera, rng);
      for (const Scored& h : scored[j]) {
        if (!take(h)) continue;
        // Iterations for the wanted confidence at the current inlier ratio w: log(1 - p) / log(1 - w^3).
        const double w = static_cast<double>(best_count) / static_cast<double>(count);
        const double miss = 1.0 - w * w * w;
        if (miss <= 1e-9) {
          needed = 0;
        } else {
          const double n = std::log(1.0 - params.confidence) / std::log(miss);
          needed = static_cast<int>(std::min<double>(params.max_iterations, std::ceil(n)));
        }
      }
    }
  }
  if (has_best) {
    const Rigid rig_from_world = world_from_rig->inverse();
    for (size_t i = 0; i < count; ++i) (*inliers)[i] = reprojection_error2(obs[i], cameras, rig_from_world) < th2;
  }
  return best_count;
}

bool refine_pose(const std::vector<PoseObservation>& obs, const std::vector<PoseCamera>& cameras,
                 const std::vector<uint8_t>& mask, double huber_px, int iterations, Rigid* world_from_rig,
                 Matrix6d* covariance, double min_sigma_px, const RotationPrior* prior) {
  Rigid pose = *world_from_rig;
  Matrix6d h;
  double weighted_sum = 0.0;
  int used = 0;
  for (int it = 0; it <= iterations; ++it) {
    h.setZero();
    Eigen::Matrix<double, 6, 1> g = Eigen::Matrix<double, 6, 1>::Zero();
    weighted_sum = 0.0;
    used = 0;
    const Eigen::Matrix3d rt = pose.R.transpose();
    for (size_t i = 0; i < obs.size(); ++i) {
      if (!mask[i]) continue;
      const PoseCamera& cam = cameras[static_cast<size_t>(obs[i].camera)];
      const Eigen::Vector3d pr = rt * (obs[i].point_world - pose.t);
      const Eigen::Vector3d pc = cam.camera_from_rig * pr;
      if (!(pc.z() > 1e-9)) continue;
      const double iz = 1.0 / pc.z();
      const Eigen::Vector2d r(cam.fx * (pc.x() * iz - obs[i].normalized.x()),
                              cam.fy * (pc.y() * iz - obs[i].normalized.y()));
      // d r / d p_camera, then p_camera = R_cr (R^T (P - t)) + t_cr with
      //   d p_camera / d dt = -R_cr R^T and d p_camera / d dtheta = R_cr [p_rig]x.
      Eigen::Matrix<double, 2, 3> dr_dpc;
      dr_dpc << cam.fx * iz, 0.0, -cam.fx * pc.x() * iz * iz, 0.0, cam.fy * iz, -cam.fy * pc.y() * iz * iz;
      const Eigen::Matrix<double, 2, 3> dr_dpr = dr_dpc * cam.camera_from_rig.R;
      Eigen::Matrix<double, 2, 6> jac;
      jac.leftCols<3>() = -dr_dpr * rt;
      jac.rightCols<3>() = dr_dpr * skew(pr);
      const double e = r.norm();
      const double w = e <= huber_px ? 1.0 : huber_px / e;
      h.noalias() += w * jac.transpose() * jac;
      g.noalias() += w * jac.transpose() * r;
      weighted_sum += w * e * e;
      ++used;
    }
    if (used < 3) return false;
    if (prior && prior->weight > 0.0) {
      h.bottomRightCorner<3, 3>().diagonal().array() += prior->weight;
      g.tail<3>() += prior->weight * log_rotation_matrix(prior->R.transpose() * pose.R);
    }
    if (it == iterations) break;
    const Eigen::LDLT<Matrix6d> ldlt(h);
    if (ldlt.info() != Eigen::Success) return false;
    const Eigen::Matrix<double, 6, 1> delta = -ldlt.solve(g);
    if (!delta.allFinite()) return false;
    pose.t += delta.head<3>();
    pose.R = orthonormalize(pose.R * exp_rotation_matrix(delta.tail<3>()));
    if (delta.squaredNorm() < 1e-18) {
      iterations = it + 1;  // one more pass to rebuild H at the final pose
    }
  }
  if (!pose.R.allFinite() || !pose.t.allFinite()) return false;
  if (covariance) {
    const int dof = std::max(1, 2 * used - 6);
    const double sigma2 = std::max(weighted_sum / dof, min_sigma_px * min_sigma_px);
    const Eigen::FullPivLU<Matrix6d> lu(h);
    if (!lu.isInvertible()) return false;
    *covariance = sigma2 * lu.inverse();
    if (!covariance->allFinite()) return false;
  }
  *world_from_rig = pose;
  return true;
}

}  // namespace velk_track
