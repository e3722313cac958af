// Builders and a driver shared by the fusion tests.
#pragma once

#include "odometry_fusion/fusion_core.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace velk_slam::odometry_fusion::test {

constexpr int64_t kMs = 1'000'000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
const Eigen::Vector3d kStill(0, 0, 9.8);  // the specific force of a level IMU at rest

// An IMU entry that passes check_config; init_samples 1 unless given.
inline ImuConfig make_imu(std::string frame_id, int64_t init_samples = 1) {
  return {std::move(frame_id), 1e-3, 1e-5, 1e-2, 1e-4, init_samples};
}

inline SourceConfig make_source(std::string parent, std::string child, double pose_variance, double twist_variance) {
  SourceConfig source;
  source.parent_frame_id = std::move(parent);
  source.child_frame_id = std::move(child);
  source.pose_variances.fill(pose_variance);
  source.twist_variances.fill(twist_variance);
  return source;
}

inline OdometryEstimate make_estimate(std::string parent, std::string child, int64_t t_ns, const Isometry& pose,
                                      const Eigen::Vector3d& linear = Eigen::Vector3d::Zero(),
                                      const Eigen::Vector3d& angular = Eigen::Vector3d::Zero()) {
  return {t_ns, std::move(parent), std::move(child), pose, Matrix6::Zero(), linear, angular};
}

inline Isometry planar_pose(double x, double y, double yaw) {
  return {Eigen::Quaterniond(Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ())), Eigen::Vector3d(x, y, 0.0)};
}

// Bitwise equality of two matrices (NaN payloads and signed zeros included).
inline bool same_bits(const Eigen::MatrixXd& a, const Eigen::MatrixXd& b) {
  return a.rows() == b.rows() && a.cols() == b.cols() &&
         std::memcmp(a.data(), b.data(), sizeof(double) * static_cast<std::size_t>(a.size())) == 0;
}

inline bool same_state(const FilterState& a, const FilterState& b) {
  bool same = a.biases.size() == b.biases.size();
  for (std::size_t k = 0; same && k < a.biases.size(); ++k) {
    same = same_bits(a.biases[k].gyro, b.biases[k].gyro) && same_bits(a.biases[k].accel, b.biases[k].accel);
  }
  return same && same_bits(a.position, b.position) && same_bits(a.velocity, b.velocity) &&
         same_bits(a.orientation.coeffs(), b.orientation.coeffs()) && same_bits(a.covariance, b.covariance);
}

using ImuReading = std::pair<Eigen::Vector3d, Eigen::Vector3d>;  // base-frame rate and specific force

// IMU "imu" every `period_ns` from t = 1 s, reading `imu(step)`, and on every `source_every`-th step an
// odom → wheel estimate of that time which `source` fills in. `source` returns its delay in steps: 0 delivers
// it at once, k after step i + k's own estimate, −1 never.
inline void drive(FusionCore& core, int steps, int64_t period_ns, int source_every,
                  const std::function<ImuReading(int)>& imu, const std::function<int(int, OdometryEstimate&)>& source) {
  std::multimap<int, OdometryEstimate> due;  // held back, by delivery step, in the order they were made
  for (int i = 0; i < steps; ++i) {
    const int64_t t = 1000 * kMs + i * period_ns;
    const auto [gyro, force] = imu(i);
    ASSERT_FALSE(core.handle_imu(ImuSample{"imu", t, gyro, force}, Isometry()));
    OdometryEstimate e = make_estimate("odom", "wheel", t, Isometry());
    const int delay = i % source_every == 0 ? source(i, e) : -1;
    if (delay == 0) {
      ASSERT_FALSE(core.handle_source(e));
    } else if (delay > 0) {
      due.emplace(i + delay, e);
    }
    for (auto it = due.begin(); it != due.end() && it->first <= i; it = due.erase(it)) {
      ASSERT_FALSE(core.handle_source(it->second));
    }
  }
}

}  // namespace velk_slam::odometry_fusion::test
