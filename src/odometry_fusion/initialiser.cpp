#include "odometry_fusion/initialiser.hpp"

#include "geometry.hpp"
#include "log.hpp"
#include "odometry_fusion/fusion_core.hpp"
#include "odometry_fusion/fusion_detail.hpp"
#include "stamps.hpp"

#include <algorithm>
#include <cmath>

namespace velk_slam::odometry_fusion {

using detail::effective_variance;
using detail::kFiveSecondsNs;
using detail::row_variance;
using Eigen::Index;
using Eigen::Quaterniond;
using Eigen::Vector3d;

namespace {

// Before initialisation a source reporting a linear speed above this (m/s) keeps the robot from counting
// as still: well above the noise of encoders at rest, well below any deliberate motion.
constexpr double kStillSpeed = 0.05;

// A source twist at most this far from an IMU sample's stamp describes the motion at that sample.
constexpr int64_t kTwistFreshNs = 500'000'000;

// An initialisation in motion averages at least this span of twist: the speed change over it, divided
// by it, must not drown the tilt in encoder noise.
constexpr int64_t kMotionWindowNs = 1'000'000'000;

// Before initialisation, a sample whose specific force lies this many init_accel_limit from the mean of
// the still window so far restarts the window at once.
constexpr double kAccelJumpSpreads = 5.0;

// m/s²: a source twist changing faster than this before initialisation is a glitch, not motion (8 g: no
// wheeled robot accelerates so, and an IMU sample beyond it is taken for a shock as well).
constexpr double kGlitchAcceleration = 8.0 * 9.80665;
// m/s²: the least configured gravity from whose direction in the specific force the engine levels.
constexpr double kMinTiltGravity = 1.0;

// The attitude of a base whose accelerometers read the specific force `force` at rest: the rotation that
// turns its direction u onto +z, about the horizontal axis u × z (angle acos(u_z)), so no yaw is invented.
// u along −z (upside down) has no such axis: a half turn about x. A zero force gives the identity.
Quaterniond gravity_alignment(const Vector3d& force) {
  if (!(force.squaredNorm() > 0.0)) {
    return Quaterniond::Identity();
  }
  const Vector3d u = force / force.norm();
  const Vector3d c = u.cross(Vector3d::UnitZ());
  if (c.squaredNorm() > kSmallSquared && std::abs(u.z()) < 1.0) {
    const double theta = std::acos(u.z());
    const Vector3d v = c / c.norm() * std::sin(theta / 2.0);
    return Quaterniond(std::cos(theta / 2.0), v.x(), v.y(), v.z());
  }
  return u.z() < 0.0 ? Quaterniond(0.0, 1.0, 0.0, 0.0) : Quaterniond::Identity();
}

// The attitude at initialisation from the gravity the accelerometers read (`force`, base axes): level
// (identity) when that force cannot hold gravity's direction, because the configured gravity is below
// kMinTiltGravity (an accelerometer that leaves gravity out) or the force is under half of it.
Quaterniond gravity_attitude(const Vector3d& force, double gravity) {
  if (!(gravity >= kMinTiltGravity) || !(force.norm() >= 0.5 * gravity)) {
    return Quaterniond::Identity();
  }
  return gravity_alignment(force);
}

}  // namespace

Initialiser::Initialiser(const OdometryFusionConfig& config, Counters& counters, int64_t jump_limit_ns)
    : config_(config),
      counters_(counters),
      jump_limit_ns_(jump_limit_ns),
      moving_after_ns_(ns_from_seconds(config.init_moving_after_seconds)),
      still_(config.imus.size()),
      init_twist_(config.odom_sources.size()) {}

std::optional<InitialState> Initialiser::add_sample(const ImuInput& imu, int64_t t_ns) {
  // At rest, average still samples until every IMU has enough of them; in motion, follow a source's twist
  // until an initialisation in motion is due. Either may start the filter.
  if (!first_imu_ns_) {
    first_imu_ns_ = t_ns;
  }
  check_clock(t_ns);
  previous_init_sample_ns_ = t_ns;
  if (std::optional<InitialState> moving = collect_motion(imu.omega, imu.accel, t_ns)) {
    return moving;
  }
  if (collect_still(imu.imu, imu.omega, imu.accel, t_ns)) {
    return at_rest(t_ns);
  }
  return std::nullopt;
}

void Initialiser::check_clock(int64_t t_ns) {
  // The window must lie on one clock: a sample stamped past the clock-jump limit from the one before it,
  // either way (a bad stamp, a recording resumed later), starts both windows again from it. Otherwise the
  // filter could start at a stamp that the inputs after it do not share and refuse them all as too late.
  if (previous_init_sample_ns_ && std::abs(difference_ns(t_ns, *previous_init_sample_ns_)) > jump_limit_ns_) {
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu init restarted: the data clock jumped between two samples. Check the sender's clock.",
                       {"timestamp_ns", t_ns}, {"previous_ns", *previous_init_sample_ns_},
                       {"limit_seconds", seconds_from_ns(jump_limit_ns_)});
    restart_still_collection(t_ns);
    first_imu_ns_ = t_ns;
    motion_ = MotionWindow{};
  }
}

// ---------------------------------------------------------------------------------------------------------
// At rest

InitialState Initialiser::at_rest(int64_t t_ns) const {
  // Mean rate and specific force per IMU; the overall specific force weighs every IMU alike.
  const std::size_t imu_count = still_.size();
  std::vector<ImuBias> biases(imu_count);
  Vector3d force_sum = Vector3d::Zero();
  for (std::size_t j = 0; j < imu_count; ++j) {
    const double count = static_cast<double>(still_[j].count);
    biases[j].gyro = still_[j].gyro_sum / count;
    biases[j].accel = still_[j].accel_sum / count;
    force_sum += biases[j].accel;
  }
  const Quaterniond q0 = gravity_attitude(force_sum / static_cast<double>(imu_count), config_.initial_gravity_estimate);
  // At rest the accelerometers should read g_b = q0⁻¹ (0, 0, g); the rest is bias.
  const Vector3d g_b = rotate_vector(q0.conjugate(), Vector3d(0.0, 0.0, config_.initial_gravity_estimate));
  for (ImuBias& bias : biases) {
    bias.accel -= g_b;
  }
  return InitialState{t_ns, q0, std::move(biases), Vector3d::Zero(), "still"};
}

bool Initialiser::collect_still(std::size_t k, const Vector3d& omega, const Vector3d& a, int64_t t_ns) {
  if (turning(k, omega, t_ns)) {
    return false;
  }
  add_still(k, omega, a, t_ns);
  return windows_full() && windows_steady(t_ns);
}

bool Initialiser::turning(std::size_t k, const Vector3d& omega, int64_t t_ns) {
  const ImuConfig& imu = config_.imus[k];
  const double gyro_norm = omega.norm();
  if (gyro_norm > imu.init_gyro_limit) {
    ++counters_.init_deferred_gyro;
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu init deferred: waiting for the robot to hold still. Hold it still, or raise "
                       "init_gyro_limit past the rate above.",
                       {"frame_id", imu.frame_id}, {"gyro_norm", gyro_norm}, {"init_gyro_limit", imu.init_gyro_limit});
    restart_still_collection(t_ns);
    return true;
  }
  return false;
}

void Initialiser::add_still(std::size_t k, const Vector3d& omega, const Vector3d& a, int64_t t_ns) {
  StillWindow& window = still_[k];
  // A sample far off the window's mean (a knock, a spike, a bad mount) spoils the window at once: the
  // collection starts again from this sample instead of finding out a whole window later.
  if (window.count > 0 &&
      (a - window.accel_sum / static_cast<double>(window.count)).norm() >
          kAccelJumpSpreads * config_.imus[k].init_accel_limit) {
    ++counters_.init_deferred_accel;
    restart_still_collection(t_ns);
  }
  window.gyro_sum += omega;
  window.accel_sum += a;
  window.accel_square_sum += a.squaredNorm();
  ++window.count;
}

bool Initialiser::windows_full() const {
  for (std::size_t j = 0; j < still_.size(); ++j) {
    const auto needed = static_cast<uint64_t>(std::max<int64_t>(config_.imus[j].init_samples, 1));
    if (still_[j].count < needed) {
      return false;
    }
  }
  return true;
}

bool Initialiser::windows_steady(int64_t t_ns) {
  // Spread of the specific force over each window: sqrt(mean |f|² − |mean f|²). Driving straight at a
  // steady speed turns no gyro, but the ground shakes the accelerometer.
  for (std::size_t j = 0; j < still_.size(); ++j) {
    const StillWindow& each = still_[j];
    const double count = static_cast<double>(each.count);
    const double spread =
        std::sqrt(std::max(0.0, each.accel_square_sum / count - (each.accel_sum / count).squaredNorm()));
    if (spread > config_.imus[j].init_accel_limit) {
      ++counters_.init_deferred_accel;
      VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                         "imu init deferred: the accelerometer is not steady. Hold the robot still, or raise "
                         "init_accel_limit past the spread above.",
                         {"frame_id", config_.imus[j].frame_id}, {"accel_spread", spread},
                         {"init_accel_limit", config_.imus[j].init_accel_limit});
      restart_still_collection(t_ns);
      return false;
    }
  }
  return true;
}

void Initialiser::restart_still_collection(int64_t t_ns) {
  for (StillWindow& each : still_) {
    each = StillWindow{};
  }
  last_not_still_ns_ = t_ns;
}

// ---------------------------------------------------------------------------------------------------------
// In motion

std::optional<InitialState> Initialiser::collect_motion(const Vector3d& omega, const Vector3d& a, int64_t t_ns) {
  const std::optional<std::size_t> fresh = fresh_source(t_ns);
  if (!fresh) {
    motion_ = MotionWindow{};
    return std::nullopt;
  }
  const SourceTwist& twist = init_twist_[*fresh];
  if (motion_.source != fresh) {
    motion_ = MotionWindow{};
    motion_.source = fresh;
    motion_.start_twist_ns = twist.t_ns;
    motion_.start_velocity = twist.linear;
  }
  motion_.force_sum += a;
  motion_.transport_sum += omega.cross(twist.linear);
  ++motion_.count;
  if (!motion_due(twist, t_ns)) {
    return std::nullopt;
  }
  return in_motion(twist, t_ns);
}

std::optional<std::size_t> Initialiser::fresh_source(int64_t t_ns) const {
  // The first source, in configuration order, whose twist is fresh at this sample.
  for (std::size_t s = 0; s < init_twist_.size(); ++s) {
    const SourceTwist& twist = init_twist_[s];
    const int64_t age_ns = difference_ns(t_ns, twist.t_ns);
    if (twist.usable && age_ns <= kTwistFreshNs && age_ns >= -kTwistFreshNs) {
      return s;
    }
  }
  return std::nullopt;
}

bool Initialiser::motion_due(const SourceTwist& twist, int64_t t_ns) const {
  // Due once the robot has had init_moving_after_seconds to hold still since the first sample, was seen
  // moving within that span (a robot at rest that only needs more samples waits for them), and the twist
  // covers a window long enough to average.
  if (!(config_.init_moving_after_seconds > 0.0) || !first_imu_ns_ || !last_not_still_ns_) {
    return false;
  }
  const int64_t after_ns = moving_after_ns_;
  const int64_t window_ns = difference_ns(twist.t_ns, motion_.start_twist_ns);
  return difference_ns(t_ns, *first_imu_ns_) >= after_ns && difference_ns(t_ns, *last_not_still_ns_) < after_ns &&
         window_ns >= kMotionWindowNs;
}

InitialState Initialiser::in_motion(const SourceTwist& twist, int64_t t_ns) const {
  // Specific force in base axes: f = dv_b/dt + ω × v_b + g_b. Over the window the means of f and ω × v_b
  // and the twist's change leave g_b, whose direction gives roll and pitch; the heading starts at 0.
  const int64_t window_ns = difference_ns(twist.t_ns, motion_.start_twist_ns);
  const double count = static_cast<double>(motion_.count);
  const Vector3d g_b = motion_.force_sum / count - motion_.transport_sum / count -
                       (twist.linear - motion_.start_velocity) / seconds_from_ns(window_ns);
  const Quaterniond q0 = gravity_attitude(g_b, config_.initial_gravity_estimate);
  return InitialState{t_ns, q0, std::vector<ImuBias>(config_.imus.size()), rotate_vector(q0, twist.linear), "moving"};
}

// ---------------------------------------------------------------------------------------------------------
// Source twists

void Initialiser::note_twist(std::size_t s, const OdometryEstimate& estimate) {
  const std::optional<SourceTwist> twist = usable_twist(s, estimate);
  if (!twist) {
    return;
  }
  check_glitch(s, *twist, estimate);
  init_twist_[s] = *twist;
  check_speed(*twist, estimate);
}

std::optional<Initialiser::SourceTwist> Initialiser::usable_twist(std::size_t s,
                                                                   const OdometryEstimate& estimate) const {
  SourceTwist twist;
  for (Index j = 0; j < 3; ++j) {
    const double variance =
        effective_variance(config_.odom_sources[s].twist_variances[j], estimate.twist_covariance(j, j));
    if (row_variance(variance) && std::isfinite(estimate.twist_linear[j])) {
      twist.linear[j] = estimate.twist_linear[j];
      twist.usable = true;
    }
  }
  if (!twist.usable) {
    return std::nullopt;
  }
  twist.t_ns = estimate.timestamp_ns;
  return twist;
}

void Initialiser::check_glitch(std::size_t s, const SourceTwist& twist, const OdometryEstimate& estimate) {
  // A twist that changed from the source's previous one faster than kGlitchAcceleration allows did not come
  // from the robot's motion (a driver reporting 100 m/s for its first second): neither it nor the one before
  // it may give the velocity of an initialisation in motion, so the motion window starts again.
  const SourceTwist& previous = init_twist_[s];
  const double dt = previous.usable ? difference_seconds(twist.t_ns, previous.t_ns) : 0.0;
  if (dt > 0.0 && (twist.linear - previous.linear).norm() > kGlitchAcceleration * dt) {
    ++counters_.init_refused_twist;
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu init: an odometry source's twist jumped faster than the robot can accelerate; it is not "
                       "used to start in motion. Check the source's driver.",
                       {"frame_id", estimate.frame_id}, {"child_frame_id", estimate.child_frame_id},
                       {"speed_change", (twist.linear - previous.linear).norm()}, {"seconds", dt});
    if (motion_.source == s) {
      motion_ = MotionWindow{};
    }
  }
}

void Initialiser::check_speed(const SourceTwist& twist, const OdometryEstimate& estimate) {
  const double speed = twist.linear.norm();
  if (speed > kStillSpeed) {
    ++counters_.init_deferred_moving;
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu init deferred: an odometry source reports motion. Hold the robot still, or let it "
                       "initialise in motion after init_moving_after_seconds.",
                       {"frame_id", estimate.frame_id}, {"child_frame_id", estimate.child_frame_id},
                       {"speed", speed}, {"init_moving_after_seconds", config_.init_moving_after_seconds});
    restart_still_collection(estimate.timestamp_ns);
  }
}

}  // namespace velk_slam::odometry_fusion
