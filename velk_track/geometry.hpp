// Rigid-body helpers of the CPU tracker. Convention, written once: a Rigid named a_from_b maps b
// coordinates into frame a (x_a = R x_b + t); a_from_b * b_from_c = a_from_c; rotation increments are
// applied on the right (R Exp(dtheta)), quaternions cross the interface as (x, y, z, w).
#pragma once

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <array>
#include <cmath>
#include <limits>

#include <geometry.hpp>  // the base layer's rotations (angle brackets: not this file)

#include "cuvslam/cuvslam.h"

namespace velk_track {

using cuvslam::Pose;

// Exp, Log and skew are the base layer's, in their matrix forms where the solver works with matrices. The
// conversions below normalise first and then use Eigen's unit-quaternion matrix; the base's rotation_matrix
// is the form for a quaternion carried off unit norm, which these never pass on.
using velk_slam::exp_rotation_matrix;
using velk_slam::log_rotation_matrix;
using velk_slam::skew;

struct Rigid {
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  Eigen::Vector3d t = Eigen::Vector3d::Zero();

  Rigid() = default;
  Rigid(const Eigen::Matrix3d& rot, const Eigen::Vector3d& trans) : R(rot), t(trans) {}

  Eigen::Vector3d operator*(const Eigen::Vector3d& x) const { return R * x + t; }
  Rigid operator*(const Rigid& o) const { return {R * o.R, R * o.t + t}; }
  Rigid inverse() const {
    const Eigen::Matrix3d rt = R.transpose();
    return {rt, -(rt * t)};
  }
};

// Interface pose (float quaternion x, y, z, w and translation) to a Rigid; the quaternion is
// normalised, callers have already refused a zero or non-finite one.
inline Rigid rigid_from_pose(const Pose& p) {
  Eigen::Quaterniond q(p.rotation[3], p.rotation[0], p.rotation[1], p.rotation[2]);
  q.normalize();
  return {q.toRotationMatrix(), Eigen::Vector3d(p.translation[0], p.translation[1], p.translation[2])};
}

// Narrows to float, saturating at the float range (a plain cast of a larger double is undefined).
inline float to_float(double v) {
  constexpr double kMax = 3.4028234663852886e38;
  if (v > kMax) return std::numeric_limits<float>::infinity();
  if (v < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(v);
}

inline Pose pose_from_rigid(const Rigid& r) {
  Eigen::Quaterniond q(r.R);
  q.normalize();
  if (q.w() < 0.0) q.coeffs() = -q.coeffs();
  Pose p;
  p.rotation = {static_cast<float>(q.x()), static_cast<float>(q.y()), static_cast<float>(q.z()),
                static_cast<float>(q.w())};
  p.translation = {to_float(r.t.x()), to_float(r.t.y()), to_float(r.t.z())};
  return p;
}

// Re-orthonormalises a rotation that accumulated rounding over many products.
inline Eigen::Matrix3d orthonormalize(const Eigen::Matrix3d& r) {
  Eigen::Quaterniond q(r);
  q.normalize();
  return q.toRotationMatrix();
}

}  // namespace velk_track
