#include "velk_track/inertial.hpp"

#include <Eigen/Dense>

#include <algorithm>
#include <cmath>

#include <stamps.hpp>

#include "velk_track/gyro_buffer.hpp"

namespace velk_track {

namespace {

// Bound on the samples kept when poses stop coming: about 50 s at 400 Hz.
constexpr size_t kMaxSamples = 20000;
// Samples further apart than this leave a hole the integration does not cross.
constexpr int64_t kMaxSampleGapNs = 50'000'000;
// Gravity and the accelerometer bias come from the second difference of three poses this far
// apart: over 0.3 s a few millimetres of image error weigh a few cm/s^2; spans longer than
// kMaxSpanSeconds (a long gap) start the triple again.
constexpr double kSpanSeconds = 0.3;
constexpr double kMaxSpanSeconds = 1.0;
// Each span's equation carries this much noise (m/s^2); older spans fade by kFading per span
// (about 10 s of memory), and the bias is held near zero by a prior of kAccelBiasSigma.
constexpr double kSpanSigma = 0.05;
constexpr double kFading = 0.97;
constexpr double kAccelBiasSigma = 0.1;
// Gravity is trusted after three spans (kReadySpans is their fading count), and only with a
// plausible magnitude; a span that disagrees with the estimate by more than kSpanGate (m/s^2)
// comes from a bad pose and is left out.
constexpr double kReadySpans = 2.5;
constexpr double kStandardGravity = 9.80665;
constexpr double kGravityStrengthSigma = 0.05;  // m/s^2, local gravity against the standard
constexpr double kGravityTolerance = 0.5;
constexpr double kSpanGate = 1.0;
// Velocity from the pose about this far back (poses over the last kRecentSeconds are kept).
constexpr double kVelocityBaseline = 0.2;
constexpr double kMinVelocityBaseline = 0.06;
constexpr double kRecentSeconds = 1.0;
// A pose from the images contradicts the prediction made s seconds after the last one when its
// position is further off than kPositionTol + kSpeedTol s + kAccelTol s^2 / 2 (an error in the
// velocity and in gravity), or its attitude further than kAttitudeTol + kAttitudeRateTol s (twice the
// gyro bias the online estimate leaves, for the spans of a long outage).
constexpr double kPositionTol = 0.03;   // m
constexpr double kSpeedTol = 0.1;       // m/s
constexpr double kAccelTol = 1.0;       // m/s^2
constexpr double kAttitudeTol = 3.0 * 3.14159265358979323846 / 180.0;
constexpr double kAttitudeRateTol = 0.01;  // rad/s

}  // namespace

void ImuSamples::add(int64_t t_ns, const Eigen::Vector3d& w, const Eigen::Vector3d& a) {
  samples_.push_back({t_ns, w, a});
  while (samples_.size() > kMaxSamples) samples_.pop_front();
}

void ImuSamples::drop_before(int64_t t_ns) {
  while (samples_.size() >= 2 && samples_[1].t_ns <= t_ns) samples_.pop_front();
}

std::optional<Preintegration> ImuSamples::integrate(int64_t t0_ns, int64_t t1_ns, const Eigen::Vector3d& gyro_bias,
                                                    int64_t max_gap_ns) const {
  Preintegration out;
  out.dt = velk_slam::difference_seconds(t1_ns, t0_ns);
  const bool covered = walk_samples(samples_, t0_ns, t1_ns, max_gap_ns,
                                    [&](const Sample& s0, const Sample& s1, double f, double dt) {
    const Eigen::Vector3d w = between(s0.w, s1.w, f) - gyro_bias;
    const Eigen::Vector3d a = between(s0.a, s1.a, f);
    const Eigen::Matrix3d turn = exp_rotation_matrix(w * dt);
    // The force acts at the mid-interval attitude.
    const Eigen::Matrix3d r_mid = out.dR * exp_rotation_matrix(0.5 * w * dt);
    out.dp += out.dv * dt + 0.5 * dt * dt * (r_mid * a);
    out.dp_dba += out.dv_dba * dt - 0.5 * dt * dt * r_mid;
    out.dv += dt * (r_mid * a);
    out.dv_dba -= dt * r_mid;
    out.dR = out.dR * turn;
  });
  if (!covered) return std::nullopt;
  out.dR = orthonormalize(out.dR);
  return out;
}

InertialMotion::Node InertialMotion::imu_node(int64_t t_ns, const Rigid& world_from_rig) const {
  const Rigid world_from_imu = world_from_rig * rig_from_imu_;
  return {t_ns, world_from_imu.R, world_from_imu.t};
}

void InertialMotion::restart() {
  recent_.clear();
  nodes_.clear();
  has_velocity_ = false;
}

void InertialMotion::observe(int64_t t_ns, const Rigid& world_from_rig, const Eigen::Vector3d& gyro_bias) {
  if (!recent_.empty() && t_ns <= recent_.back().t_ns) return;
  const Node node = imu_node(t_ns, world_from_rig);
  if (!node.R.allFinite() || !node.p.allFinite()) return;
  recent_.push_back(node);
  while (velk_slam::difference_seconds(t_ns, recent_.front().t_ns) > kRecentSeconds) recent_.pop_front();

  // Span ends for gravity and the accelerometer bias.
  if (!nodes_.empty() && velk_slam::difference_seconds(t_ns, nodes_.back().t_ns) > kMaxSpanSeconds) nodes_.clear();
  if (nodes_.empty() || velk_slam::difference_seconds(t_ns, nodes_.back().t_ns) >= kSpanSeconds) {
    nodes_.push_back(node);
    if (nodes_.size() == 3) {
      add_span_triple(gyro_bias);
      nodes_.pop_front();
    }
  }

  // Velocity at this pose from an earlier one: p1 = pa + va T + g T^2/2 + Ra dp, v1 = va + g T + Ra dv.
  has_velocity_ = false;
  if (ready_) {
    const Node* ref = nullptr;
    for (const Node& n : recent_) {
      const double s = velk_slam::difference_seconds(t_ns, n.t_ns);
      if (s >= kVelocityBaseline || (!ref && s >= kMinVelocityBaseline)) ref = &n;
    }
    if (ref) {
      const auto pre = samples_.integrate(ref->t_ns, t_ns, gyro_bias, kMaxSampleGapNs);
      if (pre && pre->dt > 0.0) {
        const double T = pre->dt;
        velocity_ = (node.p - ref->p) / T + 0.5 * T * gravity_ +
                    ref->R * (pre->dv_at(accel_bias_) - pre->dp_at(accel_bias_) / T);
        has_velocity_ = velocity_.allFinite();
      }
    }
  }
  int64_t keep = recent_.front().t_ns;
  if (!nodes_.empty()) keep = std::min(keep, nodes_.front().t_ns);
  samples_.drop_before(keep);
}

void InertialMotion::add_span_triple(const Eigen::Vector3d& gyro_bias) {
  const Node &a = nodes_[0], &b = nodes_[1], &c = nodes_[2];
  const auto ab = samples_.integrate(a.t_ns, b.t_ns, gyro_bias, kMaxSampleGapNs);
  const auto bc = samples_.integrate(b.t_ns, c.t_ns, gyro_bias, kMaxSampleGapNs);
  if (!ab || !bc || !(ab->dt > 0.0) || !(bc->dt > 0.0)) return;
  const double t1 = ab->dt, t2 = bc->dt;
  // Second difference of the positions, where the velocity drops out:
  // (pc - pb)/T2 - (pb - pa)/T1 = g (T1 + T2)/2 + Ra dv_ab + Rb dp_bc/T2 - Ra dp_ab/T1,
  // where dv and dp at bias ba are their values at zero bias plus the Jacobians times ba: with the
  // known terms on the left, y = g (T1 + T2)/2 + A ba.
  const Eigen::Vector3d y = (c.p - b.p) / t2 - (b.p - a.p) / t1 - a.R * ab->dv - b.R * bc->dp / t2 + a.R * ab->dp / t1;
  const Eigen::Matrix3d A = a.R * ab->dv_dba + b.R * bc->dp_dba / t2 - a.R * ab->dp_dba / t1;
  Eigen::Matrix<double, 3, 6> H;
  H.leftCols<3>() = Eigen::Matrix3d::Identity() * (0.5 * (t1 + t2));
  H.rightCols<3>() = A;
  if (!y.allFinite() || !H.allFinite()) return;
  if (ready_) {
    Eigen::Matrix<double, 6, 1> x;
    x << gravity_, accel_bias_;
    if ((y - H * x).norm() > kSpanGate) return;
  }
  const double w = 1.0 / (kSpanSigma * kSpanSigma);
  info_ = kFading * info_ + w * H.transpose() * H;
  rhs_ = kFading * rhs_ + w * H.transpose() * y;
  weight_ = kFading * weight_ + 1.0;
  solve();
}

void InertialMotion::solve() {
  Eigen::Matrix<double, 6, 6> m = info_;
  m.bottomRightCorner<3, 3>().diagonal().array() += 1.0 / (kAccelBiasSigma * kAccelBiasSigma);
  Eigen::Matrix<double, 6, 1> x = m.ldlt().solve(rhs_);
  // A bias along gravity looks like a gravity of another strength: the known strength tells them
  // apart (along the direction just found).
  const Eigen::Vector3d up = x.head<3>().normalized();
  if (!up.allFinite()) return;
  Eigen::Matrix<double, 6, 1> rhs = rhs_;
  const double w = 1.0 / (kGravityStrengthSigma * kGravityStrengthSigma);
  m.topLeftCorner<3, 3>() += w * up * up.transpose();
  rhs.head<3>() += w * kStandardGravity * up;
  x = m.ldlt().solve(rhs);
  if (!x.allFinite()) return;
  gravity_ = x.head<3>();
  accel_bias_ = x.tail<3>();
  ready_ = weight_ >= kReadySpans && std::abs(gravity_.norm() - kStandardGravity) <= kGravityTolerance;
}

std::optional<Rigid> InertialMotion::predict(int64_t t_ns, const Eigen::Vector3d& gyro_bias, double max_span_s) const {
  if (!ready_ || !has_velocity_ || recent_.empty() || t_ns < recent_.back().t_ns) return std::nullopt;
  const Node& from = recent_.back();
  if (velk_slam::difference_seconds(t_ns, from.t_ns) > max_span_s) return std::nullopt;
  const auto pre = samples_.integrate(from.t_ns, t_ns, gyro_bias, kMaxSampleGapNs);
  if (!pre) return std::nullopt;
  const double T = pre->dt;
  const Rigid world_from_imu(orthonormalize(from.R * pre->dR),
                             from.p + velocity_ * T + 0.5 * T * T * gravity_ + from.R * pre->dp_at(accel_bias_));
  return world_from_imu * rig_from_imu_.inverse();
}

bool InertialMotion::contradicts(int64_t t_ns, const Rigid& world_from_rig, const Eigen::Vector3d& gyro_bias,
                                 double max_span_s) {
  const auto predicted = predict(t_ns, gyro_bias, max_span_s);
  if (!predicted) return false;
  const double s = velk_slam::difference_seconds(t_ns, recent_.back().t_ns);
  const double position_tol = kPositionTol + kSpeedTol * s + 0.5 * kAccelTol * s * s;
  const bool far = (world_from_rig.t - predicted->t).norm() > position_tol ||
                   log_rotation_matrix(predicted->R.transpose() * world_from_rig.R).norm() > kAttitudeTol + kAttitudeRateTol * s;
  contradictions_ += far;
  return far;
}

}  // namespace velk_track
