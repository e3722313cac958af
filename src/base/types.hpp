// Message records, rigid transforms, 6x6 covariances and the frame-lookup interface shared by both
// engines. Conventions, fixed once here:
//   - rotations follow geometry.hpp: (x, y, z, w) order, Hamilton products;
//   - an Isometry named target_from_source maps source coordinates into the target frame;
//   - a ∘ b applies b first: translation t_a + R(q_a) t_b, rotation q_a ⊗ q_b;
//   - stamps are int64_t nanoseconds of the data clock, named ..._ns (arithmetic in stamps.hpp).
#pragma once

#include "geometry.hpp"

#include <Eigen/Core>
#include <Eigen/Geometry>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace velk_slam {

// Pose or twist covariance, order x, y, z, roll, pitch, yaw (or vx, vy, vz, wx, wy, wz).
using Matrix6 = Eigen::Matrix<double, 6, 6>;

// The 36 values read row by row: element (r, c) is value 6 r + c.
inline Matrix6 matrix_from_row_major(std::span<const double, 36> values) {
  Matrix6 m;
  for (int r = 0; r < 6; ++r) {
    for (int c = 0; c < 6; ++c) {
      m(r, c) = values[static_cast<size_t>(6 * r + c)];
    }
  }
  return m;
}

// Rigid transform of 64-bit floats. Invariant: `rotation` is a unit quaternion when built through
// from_parts from a quaternion with a direction; otherwise it is all NaN (see normalized_quaternion).
struct Isometry {
  Eigen::Quaterniond rotation = Eigen::Quaterniond::Identity();
  Eigen::Vector3d translation = Eigen::Vector3d::Zero();

  static Isometry identity() { return {}; }

  // The quaternion (x, y, z, w) is normalised by normalized_quaternion.
  static Isometry from_parts(const Eigen::Vector3d& translation, const Eigen::Quaterniond& rotation) {
    Isometry iso;
    iso.rotation = normalized_quaternion(rotation);
    iso.translation = translation;
    return iso;
  }

  // Finite translation and a finite unit rotation (within rounding): what an engine may use as a mount.
  bool usable() const {
    return translation.allFinite() && rotation.coeffs().allFinite() &&
           std::abs(rotation.coeffs().squaredNorm() - 1.0) < 1e-6;
  }

  // rotation conj(q); translation −R(conj(q)) t.
  Isometry inverse() const {
    Isometry inv;
    inv.rotation = rotation.conjugate();
    inv.translation = -rotate_vector(inv.rotation, translation);
    return inv;
  }

  Eigen::Vector3d transform_point(const Eigen::Vector3d& p) const { return rotate_vector(rotation, p) + translation; }
  Eigen::Vector3d rotate(const Eigen::Vector3d& v) const { return rotate_vector(rotation, v); }
};

// a ∘ b: first b, then a.
inline Isometry operator*(const Isometry& a, const Isometry& b) {
  Isometry c;
  c.rotation = hamilton(a.rotation, b.rotation);
  c.translation = a.translation + rotate_vector(a.rotation, b.translation);
  return c;
}

// The pose of child_frame_id in frame_id, the twist expressed in child_frame_id.
struct OdometryEstimate {
  int64_t timestamp_ns = 0;
  std::string frame_id;
  std::string child_frame_id;
  Isometry pose;
  Matrix6 pose_covariance = Matrix6::Zero();
  Eigen::Vector3d twist_linear = Eigen::Vector3d::Zero();   // m/s
  Eigen::Vector3d twist_angular = Eigen::Vector3d::Zero();  // rad/s
  Matrix6 twist_covariance = Matrix6::Zero();
};

// Range-gated depth points (metres) in the depth sensor's own frame. Stored as one contiguous block of
// x, y, z floats.
struct PointCloud {
  int64_t timestamp_ns = 0;
  std::string frame_id;
  std::vector<std::array<float, 3>> points;
};

// A camera or depth image. No invariant between width, height, step and data.size() is enforced here:
// whoever reads the pixels checks what it needs.
struct ImageFrame {
  int64_t timestamp_ns = 0;
  std::string frame_id;
  int32_t width = 0;
  int32_t height = 0;
  std::string encoding;  // middleware names: "mono8", "rgb8", "16UC1", "32FC1", ...
  int32_t step = 0;      // bytes per row, padding included
  std::vector<uint8_t> data;
};

// Pinhole intrinsics plus plumb_bob distortion (k1, k2, p1, p2, k3; any length may arrive).
struct CameraModel {
  int64_t timestamp_ns = 0;
  std::string frame_id;
  int32_t width = 0;
  int32_t height = 0;
  std::vector<double> distortion;
  std::array<double, 9> intrinsics{};  // row-major fx, 0, cx, 0, fy, cy, 0, 0, 1
};

struct ImuSample {
  std::string frame_id;
  int64_t timestamp_ns = 0;
  Eigen::Vector3d angular_velocity = Eigen::Vector3d::Zero();     // rad/s, IMU frame
  Eigen::Vector3d linear_acceleration = Eigen::Vector3d::Zero();  // m/s², as the sensor reports it
};

struct ImuNoiseModel {
  std::string frame_id;
  double gyro_noise_density = 0.0;
  double gyro_random_walk = 0.0;
  double accel_noise_density = 0.0;
  double accel_random_walk = 0.0;
  double frequency = 0.0;  // Hz
};

// The engines' only way to learn transforms between frames they do not own. Handed to an engine call
// for its duration only; never stored.
class TfLookup {
 public:
  virtual ~TfLookup() = default;
  // The most recent transform target_from_source, or nullopt when the host knows none (not an error).
  virtual std::optional<Isometry> latest(std::string_view target_frame, std::string_view source_frame) = 0;
};

// A lookup that knows no transform.
class NoTf final : public TfLookup {
 public:
  std::optional<Isometry> latest(std::string_view, std::string_view) override { return std::nullopt; }
};

}  // namespace velk_slam
