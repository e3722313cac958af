// Pieces that several of FusionCore's source files share: log throttle periods, the variances that make
// measurement rows, and the frame of an absolute source.
#pragma once

#include "geometry.hpp"
#include "types.hpp"

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace velk_slam::odometry_fusion::detail {

inline constexpr uint64_t kFiveSecondsNs = 5'000'000'000;
inline constexpr uint64_t kTenSecondsNs = 10'000'000'000;

// A gap of this length or more between IMU events restarts the IMU clock instead of propagating.
inline constexpr double kMaxPropagationSeconds = 1.0;

// A variance that can weigh a measurement: a normal positive number. A subnormal one (1e-320) would make
// its inverse, the weight, infinite.
inline bool usable_variance(double variance) { return std::isnormal(variance) && variance > 0.0; }

// A variance that makes a row.
inline bool row_variance(double variance) { return usable_variance(variance); }

// The configured variance, or the estimate's own diagonal element for a negative configured value;
// anything that is then not a usable variance becomes 0 (not fused).
inline double effective_variance(double configured, double diagonal) {
  const double v = configured < 0.0 ? diagonal : configured;
  return usable_variance(v) ? v : 0.0;
}

// odom_from_parent of an absolute source whose pose in its parent frame is `parent_pose` while the fused
// pose is `fused`: a turn about z by the heading difference and the translation that make
// odom_from_parent ∘ parent_pose coincide with `fused` in position and heading. Parent frames of absolute
// references (map, ENU, world) are gravity aligned like the odometry frame, so roll and pitch stay the
// source's own.
inline Isometry yaw_aligned(const Isometry& fused, const Isometry& parent_pose) {
  const double yaw = yaw_of(fused.rotation) - yaw_of(parent_pose.rotation);
  Isometry odom_from_parent;
  odom_from_parent.rotation = yaw_rotation(yaw);
  odom_from_parent.translation = fused.translation - odom_from_parent.rotate(parent_pose.translation);
  return odom_from_parent;
}

// "[a, b, c]", each number in the form of a single float field.
std::string format_list(const std::vector<double>& values);

}  // namespace velk_slam::odometry_fusion::detail
