#include "velk_track/camera_model.hpp"

#include <Eigen/LU>

#include <cmath>

namespace velk_track {

CameraModel::CameraModel(const Camera& camera)
    : width_(camera.size[0]),
      height_(camera.size[1]),
      fx_(camera.focal[0]),
      fy_(camera.focal[1]),
      cx_(camera.principal[0]),
      cy_(camera.principal[1]) {
  if (camera.distortion.model == Distortion::Model::Brown && camera.distortion.parameters.size() >= 5) {
    const auto& k = camera.distortion.parameters;
    k1_ = k[0];
    k2_ = k[1];
    k3_ = k[2];
    p1_ = k[3];
    p2_ = k[4];
    distorted_ = k1_ != 0.0 || k2_ != 0.0 || k3_ != 0.0 || p1_ != 0.0 || p2_ != 0.0;
  }
  if (distorted_) {
    // The radial map r -> r (1 + k1 r^2 + k2 r^4 + k3 r^6) folds back where its derivative
    // 1 + 3 k1 r^2 + 5 k2 r^4 + 7 k3 r^6 reaches zero; points beyond that radius would project to
    // a second, wrong place inside the image, so the valid region stops short of it.
    constexpr double kMaxRadius = 10.0;  // about 84 degrees off axis
    constexpr int kSteps = 4000;
    for (int i = 1; i <= kSteps; ++i) {
      const double r = kMaxRadius * i / kSteps;
      const double r2 = r * r;
      const double slope = 1.0 + r2 * (3.0 * k1_ + r2 * (5.0 * k2_ + r2 * 7.0 * k3_));
      if (slope <= 0.05) {
        max_radius2_ = 0.9 * 0.9 * r2;
        break;
      }
    }
  }
}

Eigen::Vector2d CameraModel::distort(const Eigen::Vector2d& xn, Eigen::Matrix2d* jac) const {
  if (!distorted_) {
    if (jac) jac->setIdentity();
    return xn;
  }
  const double x = xn.x(), y = xn.y();
  const double r2 = x * x + y * y;
  const double radial = 1.0 + r2 * (k1_ + r2 * (k2_ + r2 * k3_));
  const Eigen::Vector2d out(x * radial + 2.0 * p1_ * x * y + p2_ * (r2 + 2.0 * x * x),
                            y * radial + p1_ * (r2 + 2.0 * y * y) + 2.0 * p2_ * x * y);
  if (jac) {
    // d radial / d r2, then the chain rule through r2 = x^2 + y^2.
    const double dradial = k1_ + r2 * (2.0 * k2_ + r2 * 3.0 * k3_);
    (*jac)(0, 0) = radial + 2.0 * x * x * dradial + 2.0 * p1_ * y + 6.0 * p2_ * x;
    (*jac)(0, 1) = 2.0 * x * y * dradial + 2.0 * p1_ * x + 2.0 * p2_ * y;
    (*jac)(1, 0) = 2.0 * x * y * dradial + 2.0 * p1_ * x + 2.0 * p2_ * y;
    (*jac)(1, 1) = radial + 2.0 * y * y * dradial + 6.0 * p1_ * y + 2.0 * p2_ * x;
  }
  return out;
}

bool CameraModel::project_normalized(const Eigen::Vector2d& xn, Eigen::Vector2d* pixel) const {
  if (!xn.allFinite()) return false;
  if (max_radius2_ > 0.0 && xn.squaredNorm() > max_radius2_) return false;
  const Eigen::Vector2d xd = distort(xn);
  *pixel = Eigen::Vector2d(fx_ * xd.x() + cx_, fy_ * xd.y() + cy_);
  return true;
}

bool CameraModel::project(const Eigen::Vector3d& p_camera, Eigen::Vector2d* pixel) const {
  if (!(p_camera.z() > 1e-9)) return false;
  return project_normalized(Eigen::Vector2d(p_camera.x() / p_camera.z(), p_camera.y() / p_camera.z()), pixel);
}

bool CameraModel::unproject(const Eigen::Vector2d& pixel, Eigen::Vector2d* xn) const {
  const Eigen::Vector2d xd((pixel.x() - cx_) / fx_, (pixel.y() - cy_) / fy_);
  if (!xd.allFinite()) return false;
  if (!distorted_) {
    *xn = xd;
    return true;
  }
  // Newton on distort(x) = xd, started from the distorted point itself.
  Eigen::Vector2d x = xd;
  for (int it = 0; it < 20; ++it) {
    Eigen::Matrix2d jac;
    const Eigen::Vector2d err = distort(x, &jac) - xd;
    if (err.squaredNorm() < 1e-24) break;
    const double det = jac.determinant();
    if (!(std::abs(det) > 1e-12)) return false;
    x -= jac.inverse() * err;
    if (!x.allFinite()) return false;
  }
  if ((distort(x) - xd).squaredNorm() > 1e-16) return false;
  if (max_radius2_ > 0.0 && x.squaredNorm() > max_radius2_) return false;
  *xn = x;
  return true;
}

}  // namespace velk_track
