// FusionCore's measurement model on the filter path: an odometry estimate reduced to what the filter
// uses, the anchors its poses are compared from, and the pose and twist rows of its gated update.

#include "geometry.hpp"
#include "log.hpp"
#include "odometry_fusion/fusion_core.hpp"
#include "odometry_fusion/fusion_detail.hpp"
#include "odometry_fusion/state_layout.hpp"
#include "stamps.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velk_slam::odometry_fusion {

using detail::effective_variance;
using detail::kTenSecondsNs;
using detail::row_variance;
using Eigen::Index;
using Eigen::Matrix3d;
using Eigen::Quaterniond;
using Eigen::Vector3d;
using layout::kAttitude;
using layout::kPosition;
using layout::kVelocity;

namespace {

// Data time over which the first poses of an absolute source are averaged into its odom_from_parent; its
// pose rows wait meanwhile (the gyro holds the heading well over so short a span).
constexpr int64_t kAnchorSpanNs = 1'000'000'000;

// Rows of one measurement: six pose and six twist rows at most.
constexpr Index kMaxRows = 12;

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// An estimate reduced to a measurement

MeasurementInput FusionCore::measurement_from(std::size_t s, const OdometryEstimate& estimate) {
  const SourceConfig& source = config_.odom_sources[s];
  MeasurementInput m;
  m.source = s;
  for (Index i = 0; i < 6; ++i) {
    m.pose_variances[i] = effective_variance(source.pose_variances[i], estimate.pose_covariance(i, i));
    m.twist_variances[i] = effective_variance(source.twist_variances[i], estimate.twist_covariance(i, i));
  }
  m.linear = estimate.twist_linear;
  m.angular = estimate.twist_angular;
  take_pose(m, source, estimate);
  return m;
}

void FusionCore::take_pose(MeasurementInput& m, const SourceConfig& source, const OdometryEstimate& estimate) {
  const Isometry& pose = estimate.pose;
  const bool usable = pose.rotation.coeffs().allFinite() && pose.translation.allFinite() &&
                      *std::max_element(m.pose_variances.begin(), m.pose_variances.end()) > 0.0;
  std::optional<SourcePose>& previous = last_source_pose_[m.source];
  if (usable && !source.differential) {
    // An absolute pose holds at its own stamp whatever the order of arrival.
    if (pose.rotation.norm() > 0.0) {
      m.absolute = Isometry::from_parts(pose.translation, pose.rotation);
    }
  } else if (usable && previous && estimate.timestamp_ns < previous->t_ns) {
    // An estimate older than the source's newest one: a delta against the newer pose would run backwards
    // in time, and the next estimate's delta would jump over it. Its pose is left out; its twist is used.
    ++counters_.stale_poses;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "odometry pose older than the source's newest pose left out; its twist is still used. "
                       "Deliver each source's estimates in stamp order.",
                       {"frame_id", estimate.frame_id}, {"child_frame_id", estimate.child_frame_id},
                       {"timestamp_ns", estimate.timestamp_ns}, {"newest_ns", previous->t_ns});
  } else if (usable) {
    if (previous) {
      // previous⁻¹ ∘ pose, in the previous child frame.
      Isometry delta;
      const Quaterniond back = previous->pose.rotation.conjugate();
      delta.rotation = hamilton(back, pose.rotation);
      delta.translation = rotate_vector(back, pose.translation - previous->pose.translation);
      m.delta = delta;
    }
    previous = SourcePose{pose, estimate.timestamp_ns};
  }
}

// ---------------------------------------------------------------------------------------------------------
// One measurement on the filter

void FusionCore::apply_filter_measurement(MeasurementInput& m, int64_t t_ns) {
  clear_rows();
  std::optional<Isometry>& anchor = core_.anchors.at(m.source);
  if (!m.absolute && m.delta && !anchor) {
    // The first step of a differential source only anchors it: its next step is compared with the fused
    // motion from here.
    anchor = fused_pose();
    return;
  }
  const std::optional<Isometry> measured = measured_pose(m, t_ns);
  if (measured) {
    add_pose_rows(*measured, m.pose_variances);
  }
  add_twist_rows(m.linear, m.angular, m.twist_variances);
  if (rows_.count > 0) {
    const bool accepted = update_rows(&config_.odom_sources[m.source]);
    track_refusals(m, measured, accepted, t_ns);
  }
  if (m.delta) {
    // Accepted or not, the source's next step is compared with the fused motion over that same step. Kept
    // at a rejected step, the anchor would leave every later prediction short of all motion since then,
    // and the source would be refused for good once the robot moves.
    anchor = fused_pose();
  }
  apply_zero_motion();
}

std::optional<Isometry> FusionCore::measured_pose(const MeasurementInput& m, int64_t t_ns) {
  // For a differential source the anchor moved by the source's step, T̂ = A ∘ delta; for an absolute one
  // its pose carried into the odometry frame.
  if (m.absolute) {
    std::optional<Isometry>& odom_from_parent = core_.odom_from_parent.at(m.source);
    if (!odom_from_parent) {
      odom_from_parent = averaged_anchor(core_.anchor_averages.at(m.source), *m.absolute, t_ns);
    }
    if (odom_from_parent) {
      return *odom_from_parent * *m.absolute;
    }
  } else if (m.delta) {
    return *core_.anchors.at(m.source) * *m.delta;
  }
  return std::nullopt;
}

std::optional<Isometry> FusionCore::averaged_anchor(AnchorAverage& average, const Isometry& absolute,
                                                    int64_t t_ns) const {
  const Isometry one = detail::yaw_aligned(fused_pose(), absolute);
  if (average.count == 0) {
    average.first_ns = t_ns;
  }
  const double yaw = yaw_of(one.rotation);
  average.sin_sum += std::sin(yaw);
  average.cos_sum += std::cos(yaw);
  average.translation_sum += one.translation;
  ++average.count;
  if (difference_ns(t_ns, average.first_ns) < kAnchorSpanNs) {
    return std::nullopt;
  }
  const double mean_yaw = std::atan2(average.sin_sum, average.cos_sum);
  Isometry mean;
  mean.rotation = yaw_rotation(mean_yaw);
  mean.translation = average.translation_sum / static_cast<double>(average.count);
  return mean;
}

void FusionCore::apply_zero_motion() {
  rows_.count = 0;
  add_twist_rows(Vector3d::Zero(), Vector3d::Zero(), config_.per_dimension_error_variance);
  update_rows(nullptr);
}

// ---------------------------------------------------------------------------------------------------------
// Rows

void FusionCore::clear_rows() {
  const Index n = filter_.state.covariance.rows();
  if (rows_.jacobian.rows() != kMaxRows || rows_.jacobian.cols() != n) {
    rows_.jacobian.resize(kMaxRows, n);
    rows_.residual.resize(kMaxRows);
    rows_.variances.resize(kMaxRows);
  }
  rows_.count = 0;
}

Index FusionCore::add_row(double residual, double variance) {
  const Index row = rows_.count++;
  rows_.jacobian.row(row).setZero();
  rows_.residual[row] = residual;
  rows_.variances[row] = variance;
  return row;
}

void FusionCore::add_twist_rows(const Vector3d& linear, const Vector3d& angular,
                                const std::array<double, 6>& variances) {
  const FilterState& x = filter_.state;
  // Predicted base-frame velocity v_b = Rᵀ v; with R' = R Exp(δθ), v_b' ≈ v_b + [v_b]× δθ.
  const Matrix3d r = rotation_matrix(x.orientation);
  const Vector3d v_b = r.transpose() * x.velocity;
  const Matrix3d v_b_skew = skew(v_b);
  for (Index j = 0; j < 3; ++j) {
    // A NaN or infinite measured component carries no information: no row.
    if (!row_variance(variances[j]) || !std::isfinite(linear[j])) {
      continue;
    }
    const Index row = add_row(linear[j] - v_b[j], variances[j]);
    rows_.jacobian.block<1, 3>(row, kVelocity) = r.col(j).transpose();
    rows_.jacobian.block<1, 3>(row, kAttitude) = v_b_skew.row(j);
  }
  // Predicted rate: the base-frame rate of the last applied IMU sample less that IMU's gyro bias.
  const std::size_t k = core_.last_imu_index;
  if (k >= x.biases.size()) {
    throw std::logic_error("out of bounds access");
  }
  const Vector3d predicted = core_.last_omega - x.biases[k].gyro;
  for (Index j = 0; j < 3; ++j) {
    if (!row_variance(variances[3 + j]) || !std::isfinite(angular[j])) {
      continue;
    }
    const Index row = add_row(angular[j] - predicted[j], variances[3 + j]);
    rows_.jacobian(row, layout::gyro_bias(k) + j) = -1.0;
  }
}

void FusionCore::add_pose_rows(const Isometry& measured, const std::array<double, 6>& variances) {
  const FilterState& x = filter_.state;
  for (Index i = 0; i < 3; ++i) {
    if (variances[i] > 0.0) {
      const Index row = add_row(measured.translation[i] - x.position[i], variances[i]);
      rows_.jacobian(row, kPosition + i) = 1.0;
    }
  }
  const Vector3d r = rotation_error(x.orientation, measured.rotation);
  for (Index i = 0; i < 3; ++i) {
    if (variances[3 + i] > 0.0) {
      const Index row = add_row(r[i], variances[3 + i]);
      rows_.jacobian(row, kAttitude + i) = 1.0;
    }
  }
}

bool FusionCore::update_rows(const SourceConfig* source) {
  const Index m = rows_.count;
  if (m == 0) {
    return false;
  }
  const double gate = std::sqrt(config_.outlier_rejection_allowed_variance);
  const bool accepted = filter_.update(rows_.residual.head(m), rows_.jacobian.topRows(m),
                                       rows_.variances.head(m), gate);
  if (accepted) {
    return true;
  }
  ++counters_.gated;
  if (log::enabled(log::Level::Debug, kLogTarget)) {
    log_refused_rows(source);
  }
  warn_refused(source);
  return false;
}

void FusionCore::log_refused_rows(const SourceConfig* source) const {
  // Each refused row's residual and its predicted standard deviation sqrt((H P Hᵀ)_ii + R_ii), so that a
  // refusal can be traced to the rows (and the states) that disagree.
  const Index m = rows_.count;
  const Eigen::MatrixXd& p = filter_.state.covariance;
  std::vector<double> residuals(static_cast<std::size_t>(m));
  std::vector<double> stds(static_cast<std::size_t>(m));
  for (Index i = 0; i < m; ++i) {
    const auto h = rows_.jacobian.row(i);
    residuals[static_cast<std::size_t>(i)] = rows_.residual[i];
    stds[static_cast<std::size_t>(i)] = std::sqrt(h.dot(p * h.transpose()) + rows_.variances[i]);
  }
  VELK_LOG(Debug, kLogTarget, "refused rows", {"residuals", detail::format_list(residuals)},
           {"stds", detail::format_list(stds)},
           {"source", source != nullptr ? source->parent_frame_id : std::string("zero motion")},
           {"last_imu_ns", core_.last_imu_ns});
}

void FusionCore::warn_refused(const SourceConfig* source) const {
  constexpr std::string_view kRefused =
      "measurement rejected by the outlier gate. Raise outlier_rejection_allowed_variance, or correct the "
      "source's pose_variances / twist_variances.";
  if (source != nullptr) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget, kRefused, {"gated", counters_.gated},
                       {"outlier_rejection_allowed_variance", config_.outlier_rejection_allowed_variance},
                       {"frame_id", source->parent_frame_id}, {"child_frame_id", source->child_frame_id});
  } else {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget, kRefused, {"gated", counters_.gated},
                       {"outlier_rejection_allowed_variance", config_.outlier_rejection_allowed_variance});
  }
}

}  // namespace velk_slam::odometry_fusion
