// Error-state layout of the fusion filter, one place for every index into its covariance.
//
//   rows 0-2    δp      position error, odometry frame (m)
//   rows 3-5    δv      velocity error, odometry frame (m/s)
//   rows 6-8    δθ      attitude error, body frame: true attitude = orientation ⊗ Exp(δθ) (rad)
//   then for every IMU k = 0 … N−1, one bias block of six rows:
//     gyro_bias(k)  … +2   δb_g,k  gyro-bias error of IMU k, base-frame axes (rad/s)
//     accel_bias(k) … +2   δb_a,k  accelerometer-bias error of IMU k, base-frame axes (m/s²)
//
// The state size is 9 + 6N: 9 without IMUs, 15 with one, 21 with two.
#pragma once

#include <cstddef>

namespace velk_slam::odometry_fusion::layout {

// Same type as Eigen::Index, without pulling Eigen into this header.
using Index = std::ptrdiff_t;

inline constexpr Index kPosition = 0;
inline constexpr Index kVelocity = 3;
inline constexpr Index kAttitude = 6;
// Rows shared by every configuration: position, velocity, attitude.
inline constexpr Index kCoreSize = 9;
// Rows per IMU: gyro bias then accelerometer bias.
inline constexpr Index kBiasBlockSize = 6;

constexpr Index gyro_bias(std::size_t imu) { return kCoreSize + kBiasBlockSize * static_cast<Index>(imu); }
constexpr Index accel_bias(std::size_t imu) { return gyro_bias(imu) + 3; }
constexpr Index state_size(std::size_t imu_count) { return gyro_bias(imu_count); }

}  // namespace velk_slam::odometry_fusion::layout
