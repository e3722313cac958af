#include "velk_track/two_view.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>
#include <limits>

#include "velk_track/stereo_match.hpp"

namespace velk_track {

double sampson_error2(const Eigen::Matrix3d& e, const Eigen::Vector2d& x1, const Eigen::Vector2d& x2) {
  const Eigen::Vector3d p1(x1.x(), x1.y(), 1.0), p2(x2.x(), x2.y(), 1.0);
  const Eigen::Vector3d ep1 = e * p1;
  const Eigen::Vector3d etp2 = e.transpose() * p2;
  const double num = p2.dot(ep1);
  const double den = ep1.x() * ep1.x() + ep1.y() * ep1.y() + etp2.x() * etp2.x() + etp2.y() * etp2.y();
  if (!(den > 0.0)) return std::numeric_limits<double>::infinity();
  return num * num / den;
}

bool essential_from_points(const std::vector<Eigen::Vector2d>& x1, const std::vector<Eigen::Vector2d>& x2,
                           const std::vector<int>& idx, Eigen::Matrix3d* e) {
  const int n = static_cast<int>(idx.size());
  if (n < 8) return false;
  // Hartley conditioning: centre each point set and scale its mean distance to sqrt(2).
  const auto conditioner = [&](const std::vector<Eigen::Vector2d>& x) {
    Eigen::Vector2d c = Eigen::Vector2d::Zero();
    for (int i : idx) c += x[static_cast<size_t>(i)];
    c /= n;
    double d = 0.0;
    for (int i : idx) d += (x[static_cast<size_t>(i)] - c).norm();
    const double s = d > 0.0 ? std::sqrt(2.0) * n / d : 1.0;
    Eigen::Matrix3d t;
    t << s, 0.0, -s * c.x(), 0.0, s, -s * c.y(), 0.0, 0.0, 1.0;
    return t;
  };
  const Eigen::Matrix3d t1 = conditioner(x1), t2 = conditioner(x2);
  // At least nine rows: an eight-point system gets a zero row, which leaves its null space as it is.
  Eigen::Matrix<double, Eigen::Dynamic, 9> a = Eigen::Matrix<double, Eigen::Dynamic, 9>::Zero(std::max(n, 9), 9);
  for (int r = 0; r < n; ++r) {
    const Eigen::Vector3d p1 = t1 * Eigen::Vector3d(x1[static_cast<size_t>(idx[r])].x(), x1[static_cast<size_t>(idx[r])].y(), 1.0);
    const Eigen::Vector3d p2 = t2 * Eigen::Vector3d(x2[static_cast<size_t>(idx[r])].x(), x2[static_cast<size_t>(idx[r])].y(), 1.0);
    // p2^T E p1 = 0, E row-major in the unknown vector.
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) a(r, 3 * i + j) = p2(i) * p1(j);
  }
  // The null vector is the right singular vector of the smallest singular value; a QR step first
  // reduces the tall system to its 9 x 9 triangular factor, which has the same right singular vectors.
  const Eigen::HouseholderQR<Eigen::Matrix<double, Eigen::Dynamic, 9>> qr(a);
  const Eigen::Matrix<double, 9, 9> r = qr.matrixQR().topRows<9>().triangularView<Eigen::Upper>();
  const Eigen::JacobiSVD<Eigen::Matrix<double, 9, 9>, Eigen::NoQRPreconditioner> svd(r, Eigen::ComputeFullV);
  const Eigen::Matrix<double, 9, 1> v = svd.matrixV().col(8);
  Eigen::Matrix3d en;
  en << v(0), v(1), v(2), v(3), v(4), v(5), v(6), v(7), v(8);
  Eigen::Matrix3d full = t2.transpose() * en * t1;
  const Eigen::JacobiSVD<Eigen::Matrix3d> s3(full, Eigen::ComputeFullU | Eigen::ComputeFullV);
  const double sigma = 0.5 * (s3.singularValues()(0) + s3.singularValues()(1));
  if (!(sigma > 0.0)) return false;
  *e = s3.matrixU() * Eigen::Vector3d(1.0, 1.0, 0.0).asDiagonal() * s3.matrixV().transpose();
  return e->allFinite();
}

Eigen::Matrix3d best_rotation(const std::vector<Eigen::Vector3d>& a, const std::vector<Eigen::Vector3d>& b) {
  // Kabsch: R = U diag(1, 1, det(U V^T)) V^T from the SVD of sum a b^T.
  const auto fit = [&](const std::vector<uint8_t>& use) {
    Eigen::Matrix3d m = Eigen::Matrix3d::Zero();
    for (size_t i = 0; i < a.size(); ++i)
      if (use[i]) m += a[i] * b[i].transpose();
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Vector3d d(1.0, 1.0, (svd.matrixU() * svd.matrixV().transpose()).determinant() < 0.0 ? -1.0 : 1.0);
    return Eigen::Matrix3d(svd.matrixU() * d.asDiagonal() * svd.matrixV().transpose());
  };
  std::vector<uint8_t> use(a.size(), 1);
  Eigen::Matrix3d r = fit(use);
  if (a.size() < 6) return r;
  std::vector<double> residual(a.size()), sorted;
  // Each round keeps the half of the pairs the last fit explains best; the third changes little.
  for (int round = 0; round < 3; ++round) {
    for (size_t i = 0; i < a.size(); ++i) residual[i] = (a[i] - r * b[i]).squaredNorm();
    sorted = residual;
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(sorted.size() / 2), sorted.end());
    for (size_t i = 0; i < a.size(); ++i) use[i] = residual[i] <= sorted[sorted.size() / 2];
    r = fit(use);
  }
  return r;
}

namespace {

// Of the four (R, t) factorisations of E, the one with the most points in front of both views.
int choose_decomposition(const Eigen::Matrix3d& e, const std::vector<Eigen::Vector2d>& x1,
                         const std::vector<Eigen::Vector2d>& x2, const std::vector<uint8_t>& mask, Rigid* best) {
  const Eigen::JacobiSVD<Eigen::Matrix3d> svd(e, Eigen::ComputeFullU | Eigen::ComputeFullV);
  Eigen::Matrix3d u = svd.matrixU(), v = svd.matrixV();
  if (u.determinant() < 0.0) u = -u;
  if (v.determinant() < 0.0) v = -v;
  Eigen::Matrix3d w;
  w << 0.0, -1.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0, 1.0;
  const Eigen::Matrix3d rots[2] = {u * w * v.transpose(), u * w.transpose() * v.transpose()};
  const Eigen::Vector3d t = u.col(2);
  int best_count = -1;
  for (const auto& r : rots) {
    for (double sign : {1.0, -1.0}) {
      const Rigid second_from_first(r, sign * t);
      const Rigid first_from_second = second_from_first.inverse();
      int front = 0;
      for (size_t i = 0; i < x1.size(); ++i) {
        if (!mask[i]) continue;
        Eigen::Vector3d p;
        if (!triangulate_midpoint(Eigen::Vector3d::Zero(), Eigen::Vector3d(x1[i].x(), x1[i].y(), 1.0),
                                  first_from_second.t,
                                  first_from_second.R * Eigen::Vector3d(x2[i].x(), x2[i].y(), 1.0), &p))
          continue;
        if (p.z() > 0.0 && (second_from_first * p).z() > 0.0) ++front;
      }
      if (front > best_count) {
        best_count = front;
        *best = second_from_first;
      }
    }
  }
  return best_count;
}

}  // namespace

bool estimate_two_view(const std::vector<Eigen::Vector2d>& x1, const std::vector<Eigen::Vector2d>& x2,
                       double threshold, int iterations, std::mt19937& rng, TwoViewResult* out) {
  const size_t n = x1.size();
  if (n < 8 || x2.size() != n) return false;
  const double th2 = threshold * threshold;
  std::uniform_int_distribution<size_t> pick(0, n - 1);
  Eigen::Matrix3d best_e;
  double best_cost = std::numeric_limits<double>::infinity();
  std::vector<int> sample(8);
  for (int it = 0; it < iterations; ++it) {
    for (size_t k = 0; k < 8; ++k) {
      bool repeat;
      do {
        sample[k] = static_cast<int>(pick(rng));
        repeat = std::find(sample.begin(), sample.begin() + static_cast<long>(k), sample[k]) !=
                 sample.begin() + static_cast<long>(k);
      } while (repeat);
    }
    Eigen::Matrix3d e;
    if (!essential_from_points(x1, x2, sample, &e)) continue;
    double cost = 0.0;
    for (size_t i = 0; i < n; ++i) cost += std::min(sampson_error2(e, x1[i], x2[i]), th2);
    if (cost < best_cost) {
      best_cost = cost;
      best_e = e;
    }
  }
  if (!std::isfinite(best_cost)) return false;
  // Re-fit on all inliers of the best hypothesis, twice, then decompose.
  std::vector<int> inl;
  for (int pass = 0; pass < 2; ++pass) {
    inl.clear();
    for (size_t i = 0; i < n; ++i)
      if (sampson_error2(best_e, x1[i], x2[i]) < th2) inl.push_back(static_cast<int>(i));
    Eigen::Matrix3d e;
    if (essential_from_points(x1, x2, inl, &e)) best_e = e;
  }
  out->inliers.assign(n, 0);
  out->inlier_count = 0;
  for (size_t i = 0; i < n; ++i)
    if (sampson_error2(best_e, x1[i], x2[i]) < th2) {
      out->inliers[i] = 1;
      ++out->inlier_count;
    }
  if (out->inlier_count < 8) return false;
  return choose_decomposition(best_e, x1, x2, out->inliers, &out->second_from_first) > 0;
}

}  // namespace velk_track
