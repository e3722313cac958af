// FusionCore's output: the estimate of the newest event, once per publish period of data time.

#include "geometry.hpp"
#include "log.hpp"
#include "odometry_fusion/fusion_core.hpp"
#include "odometry_fusion/fusion_detail.hpp"
#include "odometry_fusion/state_layout.hpp"
#include "stamps.hpp"

namespace velk_slam::odometry_fusion {

using detail::kTenSecondsNs;
using Eigen::Index;
using Eigen::Matrix3d;
using Eigen::Vector3d;
using layout::kAttitude;
using layout::kPosition;
using layout::kVelocity;

std::optional<OdometryEstimate> FusionCore::maybe_publish() {
  if (buffer_.empty() || !publication_due(buffer_.back().timestamp_ns)) {
    return std::nullopt;
  }
  const Event& newest = buffer_.back();
  if (!publishable(newest.snapshot.filter)) {
    return std::nullopt;
  }
  return estimate_of(newest);
}

bool FusionCore::publication_due(int64_t t_ns) {
  // Written so that NaN acts as 1 Hz too.
  const double rate = config_.publish_rate >= 1.0 ? config_.publish_rate : 1.0;
  // At most 1e9 for rate ≥ 1, and 0 for any rate above 1e9 Hz: the conversion cannot overflow, and a
  // period below a nanosecond publishes at every call.
  const auto period_ns = static_cast<int64_t>(1e9 / rate);
  if (difference_ns(t_ns, last_publish_ns_) < period_ns) {
    return false;
  }
  // The next period starts here whether or not the state is fit to publish, so that a refused
  // publication also waits a full period.
  last_publish_ns_ = t_ns;
  return true;
}

bool FusionCore::publishable(const FilterState& x) const {
  const double distance = x.position.norm();
  const bool publishable = x.position.allFinite() && x.velocity.allFinite() &&
                           x.orientation.coeffs().allFinite() &&
                           (!(config_.max_position_m > 0.0) || distance <= config_.max_position_m);
  if (!publishable) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "filter state is not publishable; holding the last pose. The filter diverged: check "
                       "max_position_m and each source's pose_variances / twist_variances.",
                       {"distance", distance}, {"max_position_m", config_.max_position_m});
  }
  return publishable;
}

OdometryEstimate FusionCore::estimate_of(const Event& event) const {
  const FilterState& x = event.snapshot.filter;
  const CoreState& core = event.snapshot.core;
  const Eigen::MatrixXd& p = x.covariance;
  const Matrix3d r = rotation_matrix(x.orientation);
  const std::size_t k = core.last_imu_index;
  const bool has_bias = k < x.biases.size();

  OdometryEstimate out;
  out.frame_id = config_.odom_frame_id;
  out.child_frame_id = config_.output_frame_id;
  out.timestamp_ns = event.timestamp_ns;
  out.pose.rotation = x.orientation;
  out.pose.translation = x.position;
  // Pose covariance: position and attitude-error blocks with their cross terms.
  constexpr std::array<Index, 6> kPoseIndex{kPosition, kPosition + 1, kPosition + 2,
                                            kAttitude, kAttitude + 1, kAttitude + 2};
  for (Index i = 0; i < 6; ++i) {
    for (Index j = 0; j < 6; ++j) {
      out.pose_covariance(i, j) = p(kPoseIndex[i], kPoseIndex[j]);
    }
  }
  out.twist_linear = r.transpose() * x.velocity;
  out.twist_angular = has_bias ? Vector3d(core.last_omega - x.biases[k].gyro) : core.last_omega;
  out.twist_covariance.topLeftCorner<3, 3>() = r.transpose() * p.block<3, 3>(kVelocity, kVelocity) * r;
  if (has_bias) {
    out.twist_covariance.bottomRightCorner<3, 3>() = p.block<3, 3>(layout::gyro_bias(k), layout::gyro_bias(k));
  }
  return out;
}

}  // namespace velk_slam::odometry_fusion
