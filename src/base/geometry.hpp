// Rotation helpers shared by both engines. Conventions, fixed once here:
//   - quaternions are ordered (x, y, z, w) wherever they cross a boundary; products are Hamilton products;
//   - increments go on the right: q ⊗ Exp(φ) turns by the rotation vector φ (rad) in the body frame of q;
//   - q and −q are the same rotation; every function below accepts either and gives the same rotation.
// Everything here works on any finite input: no division by a norm that can be zero, no squared norm of
// components that can overflow.
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <cmath>
#include <limits>

namespace velk_slam {

// Square of the 64-bit machine epsilon: below it a half-angle or an axis is treated as zero, since its
// direction can no longer be told from rounding noise.
inline constexpr double kSmallSquared = 4.930380657631324e-32;

// Rotate v by the unit quaternion q: v + 2w (u × v) + 2 u × (u × v), u the vector part.
inline Eigen::Vector3d rotate_vector(const Eigen::Quaterniond& q, const Eigen::Vector3d& v) {
  const Eigen::Vector3d u = q.vec();
  const Eigen::Vector3d uv = u.cross(v);
  return v + 2.0 * q.w() * uv + 2.0 * u.cross(uv);
}

// Hamilton product a ⊗ b in component form, not renormalised.
inline Eigen::Quaterniond hamilton(const Eigen::Quaterniond& a, const Eigen::Quaterniond& b) {
  return Eigen::Quaterniond(a.w() * b.w() - a.x() * b.x() - a.y() * b.y() - a.z() * b.z(),
                            a.w() * b.x() + a.x() * b.w() + a.y() * b.z() - a.z() * b.y(),
                            a.w() * b.y() - a.x() * b.z() + a.y() * b.w() + a.z() * b.x(),
                            a.w() * b.z() + a.x() * b.y() - a.y() * b.x() + a.z() * b.w());
}

// q divided by its Euclidean norm. The components are first scaled by the largest magnitude, so that the
// norm neither overflows ((1e200, 0, 0, 1e200)) nor underflows ((0, 0, 0, 1e-320)). A quaternion without
// a direction (all zero, or any component non-finite) comes out all NaN, so that every later check for
// finite numbers refuses it instead of taking a zero or rounded-off rotation for a real one. The sign is
// kept: (0, 0, 0, −1) stays the identity written with w = −1.
inline Eigen::Quaterniond normalized_quaternion(const Eigen::Quaterniond& q) {
  const double largest = q.coeffs().cwiseAbs().maxCoeff();  // NaN components are caught below
  if (!(largest > 0.0) || !q.coeffs().allFinite()) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    return Eigen::Quaterniond(nan, nan, nan, nan);
  }
  const Eigen::Vector4d scaled = q.coeffs() / largest;
  return Eigen::Quaterniond(Eigen::Vector4d(scaled / scaled.norm()));
}

// Rotation matrix of (x, y, z, w) in the form with the squares of all four components, so a quaternion
// that drifted off unit norm is used as it is.
inline Eigen::Matrix3d rotation_matrix(const Eigen::Quaterniond& q) {
  const double x = q.x(), y = q.y(), z = q.z(), w = q.w();
  Eigen::Matrix3d r;
  r << w * w + x * x - y * y - z * z, 2.0 * (x * y - w * z), 2.0 * (x * z + w * y),  //
      2.0 * (x * y + w * z), w * w - x * x + y * y - z * z, 2.0 * (y * z - w * x),    //
      2.0 * (x * z - w * y), 2.0 * (y * z + w * x), w * w - x * x - y * y + z * z;
  return r;
}

// [u]×: skew(u) · w = u × w.
inline Eigen::Matrix3d skew(const Eigen::Vector3d& u) {
  Eigen::Matrix3d s;
  s << 0.0, -u.z(), u.y(),  //
      u.z(), 0.0, -u.x(),   //
      -u.y(), u.x(), 0.0;
  return s;
}

// Exp of a rotation vector φ (rad) as a unit quaternion: (cos |φ|/2, sin(|φ|/2) φ/|φ|). Any angle works,
// 2π and beyond included.
inline Eigen::Quaterniond exp_rotation(const Eigen::Vector3d& phi) {
  const Eigen::Vector3d h = 0.5 * phi;
  const double h2 = h.squaredNorm();
  // Below rounding noise the increment is the identity: composed onto any attitude it would vanish in the
  // rounding of that attitude's components, and sin(a)/a would divide noise by noise.
  if (h2 <= kSmallSquared) {
    return Eigen::Quaterniond::Identity();
  }
  const double a = std::sqrt(h2);
  const Eigen::Vector3d v = h * (std::sin(a) / a);
  return Eigen::Quaterniond(std::cos(a), v.x(), v.y(), v.z());
}

// q scaled by a power of two, which is exact and leaves the rotation alone, so that its largest component lies
// in [1, 2), where it lies outside [2^-500, 2^500]: there the squared norm of q would overflow or underflow.
// Inside that range (every unit quaternion), and without a finite largest component, q as it is.
inline Eigen::Quaterniond in_norm_range(const Eigen::Quaterniond& q) {
  const double largest = q.coeffs().cwiseAbs().maxCoeff();
  if (!(largest > 0.0) || !std::isfinite(largest) || (largest >= 0x1p-500 && largest <= 0x1p500)) {
    return q;
  }
  const int exponent = -std::ilogb(largest);
  return Eigen::Quaterniond(Eigen::Vector4d(q.coeffs().unaryExpr([exponent](double c) { return std::scalbn(c, exponent); })));
}

// Angle of the rotation q in [0, π] (rad), unit or not. atan2 of the vector part's norm against |w| stays
// exact at both ends, where acos(w) would lose half the digits near 0 and asin(|u|) near π.
inline double rotation_angle(const Eigen::Quaterniond& q) {
  const Eigen::Quaterniond s = in_norm_range(q);
  return 2.0 * std::atan2(s.vec().norm(), std::abs(s.w()));
}

// Log of q: the rotation vector r (rad, |r| ≤ π) with Exp(r) the rotation of q, the shorter way round.
// q and −q give the same r; so does a non-unit q. A q without a vector part (w = ±1) gives zero.
inline Eigen::Vector3d log_rotation(const Eigen::Quaterniond& q) {
  const Eigen::Quaterniond s = in_norm_range(q);
  // q and −q are the same rotation: take the representative with w ≥ 0, i.e. the angle within ±π.
  const Eigen::Vector3d v = s.w() < 0.0 ? Eigen::Vector3d(-s.vec()) : Eigen::Vector3d(s.vec());
  const double v2 = v.squaredNorm();
  if (!(v2 > 0.0)) {
    return Eigen::Vector3d::Zero();
  }
  return v * (rotation_angle(s) / std::sqrt(v2));
}

// Exp and Log for code that keeps its rotations as 3x3 matrices (the tracker's solver), through the
// quaternion forms above. A matrix goes to its quaternion by Eigen's conversion, which divides by w only
// where the trace is positive (w > 1/2) and otherwise by the largest axis component, so that it stays well
// conditioned at every angle, half turns included.
inline Eigen::Matrix3d exp_rotation_matrix(const Eigen::Vector3d& phi) { return rotation_matrix(exp_rotation(phi)); }
inline Eigen::Vector3d log_rotation_matrix(const Eigen::Matrix3d& r) { return log_rotation(Eigen::Quaterniond(r)); }

// Rotation vector r (body frame of q) with q ⊗ Exp(r) = q_to, the shorter way round.
inline Eigen::Vector3d rotation_error(const Eigen::Quaterniond& q, const Eigen::Quaterniond& q_to) {
  return log_rotation(hamilton(q.conjugate(), q_to));
}

// Heading of q: the angle about z (rad, within ±π) of the z-y-x Euler decomposition.
inline double yaw_of(const Eigen::Quaterniond& q) {
  return std::atan2(2.0 * (q.w() * q.z() + q.x() * q.y()), 1.0 - 2.0 * (q.y() * q.y() + q.z() * q.z()));
}

// A turn by `yaw` (rad) about z.
inline Eigen::Quaterniond yaw_rotation(double yaw) {
  return Eigen::Quaterniond(std::cos(yaw / 2.0), 0.0, 0.0, std::sin(yaw / 2.0));
}

}  // namespace velk_slam
