// FusionCore's gate recovery: a source whose updates the outlier gate has refused for longer than
// gate_recovery_seconds is taken back, the states it disagrees on reset to its measurement. The run of
// refusals lives in each source's SourceGate, part of the replayed core state.

#include "geometry.hpp"
#include "log.hpp"
#include "odometry_fusion/fusion_core.hpp"
#include "odometry_fusion/fusion_detail.hpp"
#include "odometry_fusion/state_layout.hpp"
#include "stamps.hpp"

#include <algorithm>
#include <cmath>

namespace velk_slam::odometry_fusion {

using detail::kMaxPropagationSeconds;
using detail::row_variance;
using Eigen::Index;
using Eigen::Matrix3d;
using Eigen::Vector3d;
using layout::kAttitude;
using layout::kPosition;
using layout::kVelocity;

namespace {

// A source is taken back only after at least this many consecutive refusals, so that one or two outliers
// in a sparse stream never reset anything.
constexpr uint64_t kMinRefusals = 3;

// Whether the twist component j (linear 0–2, angular 3–5) of a measurement makes a row.
bool twist_row(const std::array<double, 6>& variances, const Vector3d& linear, const Vector3d& angular, Index j) {
  return row_variance(variances[j]) && std::isfinite(j < 3 ? linear[j] : angular[j - 3]);
}

// One component that a source taken back measures (x, y, z, roll, pitch, yaw, then linear and angular
// twist): its residual against the state it measures, the state's own variance and the measurement's.
struct Disagreement {
  bool measured = false;
  double residual = 0.0;
  double state_variance = 0.0;
  double variance = 0.0;
};
using Disagreements = std::array<Disagreement, 12>;
using Resets = std::array<bool, 12>;

// What the source says against the state, component by component; `attitude_error` is the rotation
// error from the state to the measured pose.
Disagreements disagreements(const FilterState& x, const CoreState& core, const MeasurementInput& m,
                            const std::optional<Isometry>& measured, const Vector3d& attitude_error) {
  const Eigen::MatrixXd& p = x.covariance;
  const std::size_t k = core.last_imu_index;
  const Matrix3d r = rotation_matrix(x.orientation);
  const Vector3d v_b = r.transpose() * x.velocity;
  Disagreements c{};
  for (Index i = 0; i < 3; ++i) {
    if (measured && m.pose_variances[i] > 0.0) {
      c[i] = {true, measured->translation[i] - x.position[i], p(kPosition + i, kPosition + i), m.pose_variances[i]};
    }
    if (measured && m.pose_variances[3 + i] > 0.0) {
      c[3 + i] = {true, attitude_error[i], p(kAttitude + i, kAttitude + i), m.pose_variances[3 + i]};
    }
    if (twist_row(m.twist_variances, m.linear, m.angular, i)) {
      const Vector3d axis = r.col(i);
      const double state_variance = axis.dot(p.block<3, 3>(kVelocity, kVelocity) * axis);
      c[6 + i] = {true, m.linear[i] - v_b[i], state_variance, m.twist_variances[i]};
    }
    if (k < x.biases.size() && twist_row(m.twist_variances, m.linear, m.angular, 3 + i)) {
      const Index b = layout::gyro_bias(k) + i;
      c[9 + i] = {true, m.angular[i] - (core.last_omega[i] - x.biases[k].gyro[i]), p(b, b), m.twist_variances[3 + i]};
    }
  }
  return c;
}

// The components a source taken back resets: only those that disagree beyond the gate on their own, so
// that what made the source disagree (a velocity after an IMU spike) goes and what still agrees (a well
// learnt gyro bias) stays. Should no single component stand out, the disagreement lies in their
// combination: all are reset.
Resets components_to_reset(const Disagreements& c, double allowed) {
  Resets reset{};
  bool any = false;
  for (std::size_t i = 0; i < c.size(); ++i) {
    const double s = c[i].state_variance + c[i].variance;
    reset[i] = c[i].measured && !(c[i].residual * c[i].residual < allowed * s);
    any = any || reset[i];
  }
  for (std::size_t i = 0; i < c.size() && !any; ++i) {
    reset[i] = c[i].measured;
  }
  // The velocity is reset as one: the base-frame components share the odometry-frame covariance block.
  if (reset[6] || reset[7] || reset[8]) {
    for (std::size_t i = 6; i < 9; ++i) {
      reset[i] = c[i].measured;
    }
  }
  return reset;
}

// A reset state knows nothing of the others any more: no cross terms, its initial variance plus the
// measurement's.
void widen(Eigen::MatrixXd& p, Index i, double variance) {
  p.row(i).setZero();
  p.col(i).setZero();
  p(i, i) = variance;
}

// Position and attitude components: the measured pose's.
void reset_pose(FilterState& x, const Resets& reset, const Disagreements& c, const std::optional<Isometry>& measured,
                const Vector3d& attitude_error, const InitialStds& stds) {
  Vector3d turn = Vector3d::Zero();
  for (Index i = 0; i < 3; ++i) {
    if (reset[i]) {
      x.position[i] = measured->translation[i];
      widen(x.covariance, kPosition + i, stds.position * stds.position + c[i].variance);
    }
    if (reset[3 + i]) {
      turn[i] = attitude_error[i];
      widen(x.covariance, kAttitude + i, stds.rotation * stds.rotation + c[3 + i].variance);
    }
  }
  x.orientation = hamilton(x.orientation, exp_rotation(turn));
}

// Linear twist: the base-frame velocity components it measures, v_b = Rᵀ v, in the attitude after the
// reset; with the position, unless the source measures that itself, moved by the displacement the
// refused twist implied (`drift`).
void reset_velocity(FilterState& x, const Resets& reset, const Disagreements& c, const MeasurementInput& m,
                    const Vector3d& drift, const InitialStds& stds) {
  if (!reset[6] && !reset[7] && !reset[8]) {
    return;
  }
  const Matrix3d r_new = rotation_matrix(x.orientation);
  Vector3d v_new = r_new.transpose() * x.velocity;
  double largest = 0.0;
  for (Index j = 0; j < 3; ++j) {
    if (reset[6 + j]) {
      v_new[j] = m.linear[j];
      largest = std::max(largest, c[6 + j].variance);
    }
  }
  x.velocity = r_new * v_new;
  for (Index i = 0; i < 3; ++i) {
    widen(x.covariance, kVelocity + i, stds.velocity * stds.velocity + largest);
  }
  if (!reset[0] && !reset[1] && !reset[2]) {
    x.position += drift;
  }
}

// Angular twist: the gyro bias of the last IMU that makes its predicted rate the measured one.
void reset_gyro_bias(FilterState& x, const CoreState& core, const Resets& reset, const Disagreements& c,
                     const MeasurementInput& m, const InitialStds& stds) {
  const std::size_t k = core.last_imu_index;
  for (Index j = 0; j < 3; ++j) {
    if (reset[9 + j]) {
      x.biases[k].gyro[j] = core.last_omega[j] - m.angular[j];
      widen(x.covariance, layout::gyro_bias(k) + j, stds.gyro_bias_std() * stds.gyro_bias_std() + c[9 + j].variance);
    }
  }
}

}  // namespace

void FusionCore::track_refusals(MeasurementInput& m, const std::optional<Isometry>& measured, bool accepted,
                                int64_t t_ns) {
  SourceGate& gate = core_.gates.at(m.source);
  const FilterState& x = filter_.state;
  const OptionalStamp previous_ns = gate.last_ns;
  const Vector3d previous_position = gate.last_position;
  gate.last_ns = t_ns;
  gate.last_position = x.position;
  if (accepted) {
    gate.refused = 0;
    return;
  }
  count_refusal(gate, m, measured, t_ns);
  add_drift(gate, m, previous_ns, previous_position, t_ns);

  const double span_s = config_.gate_recovery_seconds;
  const int64_t refused_ns = difference_ns(t_ns, gate.first_refused_ns);
  if (!(span_s > 0.0) || gate.refused < kMinRefusals || refused_ns <= gate_recovery_ns_) {
    return;
  }
  const Vector3d before = x.position;
  take_back(m, gate.held ? gate.held : measured, gate);
  const double moved_m = (x.position - before).norm();
  const uint64_t refused = gate.refused;
  gate.refused = 0;
  gate.last_position = x.position;
  if (!m.reset_reported) {
    report_take_back(m, refused, refused_ns, moved_m);
  }
}

void FusionCore::count_refusal(SourceGate& gate, const MeasurementInput& m, const std::optional<Isometry>& measured,
                               int64_t t_ns) {
  if (gate.refused == 0) {
    gate.first_refused_ns = t_ns;
    gate.drift.setZero();
    gate.held.reset();
  }
  ++gate.refused;
  if (m.delta) {
    gate.held = gate.held ? Isometry(*gate.held * *m.delta) : *measured;
  }
}

void FusionCore::add_drift(SourceGate& gate, const MeasurementInput& m, const OptionalStamp& previous_ns,
                           const Vector3d& previous_position, int64_t t_ns) const {
  // While refused, the fused position moves by d = p − p_prev; had the source been right, it would have
  // moved by v_m dt along the axes it measures. Their difference, summed over the refused updates, is the
  // displacement a reset restores: drift += R mask(v_m dt − Rᵀ d).
  const FilterState& x = filter_.state;
  const double dt = previous_ns ? difference_seconds(t_ns, *previous_ns) : 0.0;
  if (dt > 0.0 && dt < kMaxPropagationSeconds) {
    const Matrix3d r = rotation_matrix(x.orientation);
    const Vector3d moved_b = r.transpose() * (x.position - previous_position);
    Vector3d difference = Vector3d::Zero();
    for (Index j = 0; j < 3; ++j) {
      if (twist_row(m.twist_variances, m.linear, m.angular, j)) {
        difference[j] = m.linear[j] * dt - moved_b[j];
      }
    }
    gate.drift += r * difference;
  }
}

void FusionCore::report_take_back(MeasurementInput& m, uint64_t refused, int64_t refused_ns, double moved_m) {
  m.reset_reported = true;
  ++counters_.gate_resets;
  const SourceConfig& source = config_.odom_sources[m.source];
  VELK_LOG(Warn, kLogTarget,
           "odometry source taken back after the outlier gate refused it for longer than gate_recovery_seconds: "
           "the states it disagreed on were reset to its measurement. Check the source's variances and the IMU.",
           {"frame_id", source.parent_frame_id}, {"child_frame_id", source.child_frame_id},
           {"refused", refused}, {"refused_seconds", seconds_from_ns(refused_ns)},
           {"gate_recovery_seconds", config_.gate_recovery_seconds}, {"position_moved_m", moved_m});
}

void FusionCore::take_back(const MeasurementInput& m, const std::optional<Isometry>& measured,
                           const SourceGate& gate) {
  FilterState& x = filter_.state;
  const Vector3d attitude_error = measured ? rotation_error(x.orientation, measured->rotation) : Vector3d::Zero();
  const Disagreements c = disagreements(x, core_, m, measured, attitude_error);
  const Resets reset = components_to_reset(c, config_.outlier_rejection_allowed_variance);
  const InitialStds& stds = config_.initial_stds;
  reset_pose(x, reset, c, measured, attitude_error, stds);
  reset_velocity(x, reset, c, m, gate.drift, stds);
  reset_gyro_bias(x, core_, reset, c, m, stds);
}

}  // namespace velk_slam::odometry_fusion
