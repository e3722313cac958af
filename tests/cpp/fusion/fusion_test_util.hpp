// Builders and a log capture shared by the fusion tests.
#pragma once

#include "log.hpp"
#include "odometry_fusion/fusion_core.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace velk_slam::odometry_fusion::test {

// An IMU entry that passes check_config; init_samples 1 unless given.
inline ImuConfig make_imu(std::string frame_id, int64_t init_samples = 1) {
  ImuConfig imu;
  imu.frame_id = std::move(frame_id);
  imu.gyro_noise_density = 1e-3;
  imu.gyro_random_walk = 1e-5;
  imu.accel_noise_density = 1e-2;
  imu.accel_random_walk = 1e-4;
  imu.init_samples = init_samples;
  return imu;
}

inline SourceConfig make_source(std::string parent, std::string child, double pose_variance, double twist_variance) {
  SourceConfig source;
  source.parent_frame_id = std::move(parent);
  source.child_frame_id = std::move(child);
  source.pose_variances.fill(pose_variance);
  source.twist_variances.fill(twist_variance);
  return source;
}

inline ImuSample make_sample(std::string frame_id, int64_t t_ns, const Eigen::Vector3d& gyro,
                             const Eigen::Vector3d& accel) {
  ImuSample sample;
  sample.frame_id = std::move(frame_id);
  sample.timestamp_ns = t_ns;
  sample.angular_velocity = gyro;
  sample.linear_acceleration = accel;
  return sample;
}

inline OdometryEstimate make_estimate(std::string parent, std::string child, int64_t t_ns, const Isometry& pose,
                                      const Eigen::Vector3d& linear = Eigen::Vector3d::Zero(),
                                      const Eigen::Vector3d& angular = Eigen::Vector3d::Zero()) {
  OdometryEstimate estimate;
  estimate.frame_id = std::move(parent);
  estimate.child_frame_id = std::move(child);
  estimate.timestamp_ns = t_ns;
  estimate.pose = pose;
  estimate.twist_linear = linear;
  estimate.twist_angular = angular;
  return estimate;
}

inline Isometry planar_pose(double x, double y, double yaw) {
  Isometry pose;
  pose.translation = Eigen::Vector3d(x, y, 0.0);
  pose.rotation = Eigen::Quaterniond(Eigen::AngleAxisd(yaw, Eigen::Vector3d::UnitZ()));
  return pose;
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

// Collects the lines of every enabled event from its construction on. The subscriber stays installed
// afterwards (it cannot be removed without leaking it), writing into a buffer it shares.
class LogCapture {
 public:
  explicit LogCapture(std::string_view filter_text = "info") : lines_(std::make_shared<std::vector<std::string>>()) {
    log::reset_for_tests();
    std::string reason;
    auto filter = log::parse_filter(filter_text, &reason);
    std::string error;
    EXPECT_TRUE(filter && log::install(*filter, false,
                                       [lines = lines_](std::string_view line) { lines->emplace_back(line); }, &error))
        << reason << error;
  }

  std::vector<std::string> containing(std::string_view needle) const {
    std::vector<std::string> found;
    std::copy_if(lines_->begin(), lines_->end(), std::back_inserter(found),
                 [needle](const std::string& line) { return line.find(needle) != std::string::npos; });
    return found;
  }

 private:
  std::shared_ptr<std::vector<std::string>> lines_;
};

}  // namespace velk_slam::odometry_fusion::test
