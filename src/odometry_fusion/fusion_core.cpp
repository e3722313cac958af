#include "odometry_fusion/fusion_core.hpp"

#include "geometry.hpp"
#include "log.hpp"
#include "odometry_fusion/state_layout.hpp"
#include "stamps.hpp"
#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace velk_slam::odometry_fusion {

using Eigen::Index;
using Eigen::Matrix3d;
using Eigen::Quaterniond;
using Eigen::Vector3d;
using layout::kAttitude;
using layout::kPosition;
using layout::kVelocity;

namespace {

constexpr uint64_t kFiveSecondsNs = 5'000'000'000;
constexpr uint64_t kTenSecondsNs = 10'000'000'000;

// Low-pass time constant of the angular-acceleration estimate (s): short enough to follow a turn, long
// enough to average the gyro noise of a few samples at 200 Hz.
constexpr double kAngularAccelerationTau = 0.025;

// A gap of this length or more between IMU events restarts the IMU clock instead of propagating.
constexpr double kMaxPropagationSeconds = 1.0;

// On the blend path a source that reported within this span counts as active.
constexpr int64_t kBlendActiveNs = 500'000'000;

// Data time over which the first poses of an absolute source are averaged into its odom_from_parent; its
// pose rows wait meanwhile (the gyro holds the heading well over so short a span).
constexpr int64_t kAnchorSpanNs = 1'000'000'000;

// Rows of one measurement: six pose and six twist rows at most.
constexpr Index kMaxRows = 12;

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

// A source is taken back only after at least this many consecutive refusals, so that one or two outliers
// in a sparse stream never reset anything.
constexpr uint64_t kMinRefusals = 3;
// m/s²: a source twist changing faster than this before initialisation is a glitch, not motion (8 g: no
// wheeled robot accelerates so, and an IMU sample beyond it is taken for a shock as well).
constexpr double kGlitchAcceleration = 8.0 * 9.80665;
// m/s²: the least configured gravity from whose direction in the specific force the engine levels.
constexpr double kMinTiltGravity = 1.0;

// A variance that can weigh a measurement: a normal positive number. A subnormal one (1e-320) would make
// its inverse, the weight, infinite.
bool usable_variance(double variance) { return std::isnormal(variance) && variance > 0.0; }

// A variance that makes a row.
bool row_variance(double variance) { return usable_variance(variance); }

// The configured variance, or the estimate's own diagonal element for a negative configured value;
// anything that is then not a usable variance becomes 0 (not fused).
double effective_variance(double configured, double diagonal) {
  const double v = configured < 0.0 ? diagonal : configured;
  return usable_variance(v) ? v : 0.0;
}

// A forward step of the data clock longer than this many replay spans (and at least kMinClockJumpNs) is
// not believed on one input's word: a single stamp an hour ahead would otherwise make every later input
// too late.
constexpr int64_t kClockJumpSpans = 20;
constexpr int64_t kMinClockJumpNs = 10'000'000'000;

// A second re-initialisation within this span of data time also drops the biases.
constexpr int64_t kRecoveryBackoffNs = 1'000'000'000;

int64_t clock_jump_limit_ns(int64_t replay_span_ns) {
  if (replay_span_ns <= kMinClockJumpNs / kClockJumpSpans) {
    return kMinClockJumpNs;  // a zero or negative span included
  }
  return replay_span_ns > std::numeric_limits<int64_t>::max() / kClockJumpSpans ? std::numeric_limits<int64_t>::max()
                                                                                 : replay_span_ns * kClockJumpSpans;
}

bool state_finite(const FilterState& x) {
  return x.position.allFinite() && x.velocity.allFinite() && x.orientation.coeffs().allFinite() &&
         x.covariance.allFinite() &&
         std::all_of(x.biases.begin(), x.biases.end(),
                     [](const ImuBias& b) { return b.gyro.allFinite() && b.accel.allFinite(); });
}

// This source's share of the summed weights. The weights are scaled by the largest first, so that the
// sum cannot overflow whatever the variances were.
double weight_share(double own, const std::vector<double>& active) {
  double largest = 0.0;
  for (double w : active) largest = std::max(largest, w);
  if (!(largest > 0.0) || !std::isfinite(largest)) {
    return 0.0;
  }
  double total = 0.0;
  for (double w : active) total += w / largest;
  return (own / largest) / total;
}

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

// odom_from_parent of an absolute source whose pose in its parent frame is `parent_pose` while the fused
// pose is `fused`: a turn about z by the heading difference and the translation that make
// odom_from_parent ∘ parent_pose coincide with `fused` in position and heading. Parent frames of absolute
// references (map, ENU, world) are gravity aligned like the odometry frame, so roll and pitch stay the
// source's own.
Isometry yaw_aligned(const Isometry& fused, const Isometry& parent_pose) {
  const double yaw = yaw_of(fused.rotation) - yaw_of(parent_pose.rotation);
  Isometry odom_from_parent;
  odom_from_parent.rotation = yaw_rotation(yaw);
  odom_from_parent.translation = fused.translation - odom_from_parent.rotate(parent_pose.translation);
  return odom_from_parent;
}

// One component that a source taken back measures (x, y, z, roll, pitch, yaw, then linear and angular
// twist): its residual against the state it measures, the state's own variance and the measurement's.
struct Disagreement {
  bool measured = false;
  double residual = 0.0;
  double state_variance = 0.0;
  double variance = 0.0;
};

// The components a source taken back resets: only those that disagree beyond the gate on their own, so
// that what made the source disagree (a velocity after an IMU spike) goes and what still agrees (a well
// learnt gyro bias) stays. Should no single component stand out, the disagreement lies in their
// combination: all are reset.
std::array<bool, 12> components_to_reset(const std::array<Disagreement, 12>& c, double allowed) {
  std::array<bool, 12> reset{};
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

// Whether the twist component j (linear 0–2, angular 3–5) of a measurement makes a row.
bool twist_row(const std::array<double, 6>& variances, const Vector3d& linear, const Vector3d& angular, Index j) {
  return row_variance(variances[j]) && std::isfinite(j < 3 ? linear[j] : angular[j - 3]);
}

std::string format_list(const std::vector<double>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      out += ", ";
    }
    text::append_number(out, values[i]);  // the form of a single float field
  }
  out += "]";
  return out;
}

}  // namespace

FusionCore::FusionCore(OdometryFusionConfig config)
    : config_(std::move(config)),
      replay_span_ns_(ns_from_seconds(config_.replay_buffer_seconds)),
      gate_recovery_ns_(ns_from_seconds(config_.gate_recovery_seconds)),
      init_moving_after_ns_(ns_from_seconds(config_.init_moving_after_seconds)),
      jump_limit_ns_(clock_jump_limit_ns(replay_span_ns_)),
      imu_runtime_(config_.imus.size()),
      last_source_pose_(config_.odom_sources.size()),
      init_twist_(config_.odom_sources.size()) {}

Isometry FusionCore::fused_pose() const {
  Isometry pose;
  pose.rotation = filter_.state.orientation;
  pose.translation = filter_.state.position;
  return pose;
}

// ---------------------------------------------------------------------------------------------------------
// IMU handling and initialisation

std::optional<std::string> FusionCore::handle_imu(const ImuSample& sample, const Isometry& base_from_imu) {
  // Before the lookup: an entry without a usable frame_id matches no sample, and the refusal must still
  // reach the caller instead of an endless stream of "unconfigured frame" warnings.
  if (!initialized_) {
    if (auto refusal = check_config()) {
      return refusal;
    }
  }
  const std::optional<std::size_t> k = configured_imu(sample);
  if (!k) {
    return std::nullopt;
  }
  const std::optional<ImuInput> imu = to_base_frame(*k, sample, base_from_imu);
  if (!imu) {
    return std::nullopt;
  }
  if (initialized_) {
    insert(sample.timestamp_ns, *imu);
    ++counters_.imu_samples;
  } else {
    collect_for_init(*imu, sample.timestamp_ns);
  }
  return std::nullopt;
}

std::optional<std::size_t> FusionCore::configured_imu(const ImuSample& sample) const {
  const auto entry = std::find_if(config_.imus.begin(), config_.imus.end(),
                                  [&](const ImuConfig& imu) { return imu.frame_id == sample.frame_id; });
  if (entry == config_.imus.end()) {
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu from an unconfigured frame_id dropped. Add an `imus` entry with it.",
                       {"frame_id", sample.frame_id});
    return std::nullopt;
  }
  return static_cast<std::size_t>(entry - config_.imus.begin());
}

std::optional<ImuInput> FusionCore::to_base_frame(std::size_t k, const ImuSample& sample,
                                                  const Isometry& base_from_imu) {
  ImuRuntime& rt = imu_runtime_[k];

  // Into the base frame: ω = R ω_imu, f = R f_imu.
  const Vector3d omega = base_from_imu.rotate(sample.angular_velocity);
  const Vector3d f = base_from_imu.rotate(sample.linear_acceleration);

  // Angular acceleration, low-pass filtered: g = 1 − exp(−dt/τ), α += g ((ω − ω_prev)/dt − α).
  Vector3d alpha = rt.angular_acceleration;
  if (rt.previous_ns) {
    const double dt = difference_seconds(sample.timestamp_ns, *rt.previous_ns);
    if (dt > 0.0) {
      const double gain = 1.0 - std::exp(-dt / kAngularAccelerationTau);
      alpha += gain * ((omega - rt.previous_omega) / dt - alpha);
    }
  }

  // Lever arm to the base origin, r the IMU's position in the base frame: a = f − ω × (ω × r) − α × r.
  const Vector3d& r = base_from_imu.translation;
  const Vector3d a = f - omega.cross(omega.cross(r)) - alpha.cross(r);

  // A single NaN or infinity would poison the still-sample means, the derivative above or the filter for
  // the rest of the process: such a sample changes nothing at all.
  const bool finite = sample.angular_velocity.allFinite() && sample.linear_acceleration.allFinite() &&
                      base_from_imu.rotation.coeffs().allFinite() && base_from_imu.translation.allFinite() &&
                      omega.allFinite() && a.allFinite() && alpha.allFinite();
  if (!finite) {
    ++counters_.non_finite_imu;
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu sample with a non-finite rate, acceleration or mounting transform dropped. Check "
                       "the IMU driver and the base_from_imu transform.",
                       {"frame_id", sample.frame_id}, {"dropped", counters_.non_finite_imu});
    return std::nullopt;
  }
  rt.angular_acceleration = alpha;
  rt.previous_omega = omega;
  rt.previous_ns = sample.timestamp_ns;
  return ImuInput{k, omega, a};
}

void FusionCore::collect_for_init(const ImuInput& imu, int64_t t_ns) {
  // At rest, average still samples until every IMU has enough of them; in motion, follow a source's twist
  // until an initialisation in motion is due. Either may start the filter.
  if (!first_imu_ns_) {
    first_imu_ns_ = t_ns;
  }
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
  previous_init_sample_ns_ = t_ns;
  collect_motion(imu.omega, imu.accel, t_ns);
  if (!initialized_ && collect_still(imu.imu, imu.omega, imu.accel, t_ns)) {
    initialize_at_rest(t_ns);
  }
}

void FusionCore::initialize_at_rest(int64_t t_ns) {
  // Mean rate and specific force per IMU; the overall specific force weighs every IMU alike.
  const std::size_t imu_count = imu_runtime_.size();
  std::vector<ImuBias> biases(imu_count);
  Vector3d force_sum = Vector3d::Zero();
  for (std::size_t j = 0; j < imu_count; ++j) {
    const double count = static_cast<double>(imu_runtime_[j].count);
    biases[j].gyro = imu_runtime_[j].gyro_sum / count;
    biases[j].accel = imu_runtime_[j].accel_sum / count;
    force_sum += biases[j].accel;
  }
  const Quaterniond q0 = gravity_attitude(force_sum / static_cast<double>(imu_count), config_.initial_gravity_estimate);
  // At rest the accelerometers should read g_b = q0⁻¹ (0, 0, g); the rest is bias.
  const Vector3d g_b = rotate_vector(q0.conjugate(), Vector3d(0.0, 0.0, config_.initial_gravity_estimate));
  for (ImuBias& bias : biases) {
    bias.accel -= g_b;
  }
  initialize(t_ns, q0, std::move(biases), Vector3d::Zero(), "still");
}

bool FusionCore::collect_still(std::size_t k, const Vector3d& omega, const Vector3d& a, int64_t t_ns) {
  const ImuConfig& imu = config_.imus[k];
  const double gyro_norm = omega.norm();
  if (gyro_norm > imu.init_gyro_limit) {
    ++counters_.init_deferred_gyro;
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu init deferred: waiting for the robot to hold still. Hold it still, or raise "
                       "init_gyro_limit past the rate above.",
                       {"frame_id", imu.frame_id}, {"gyro_norm", gyro_norm}, {"init_gyro_limit", imu.init_gyro_limit});
    restart_still_collection(t_ns);
    return false;
  }
  ImuRuntime& rt = imu_runtime_[k];
  // A sample far off the window's mean (a knock, a spike, a bad mount) spoils the window at once: the
  // collection starts again from this sample instead of finding out a whole window later.
  if (rt.count > 0 &&
      (a - rt.accel_sum / static_cast<double>(rt.count)).norm() > kAccelJumpSpreads * imu.init_accel_limit) {
    ++counters_.init_deferred_accel;
    restart_still_collection(t_ns);
  }
  rt.gyro_sum += omega;
  rt.accel_sum += a;
  rt.accel_square_sum += a.squaredNorm();
  ++rt.count;
  for (std::size_t j = 0; j < imu_runtime_.size(); ++j) {
    const auto needed = static_cast<uint64_t>(std::max<int64_t>(config_.imus[j].init_samples, 1));
    if (imu_runtime_[j].count < needed) {
      return false;
    }
  }
  // Spread of the specific force over each window: sqrt(mean |f|² − |mean f|²). Driving straight at a
  // steady speed turns no gyro, but the ground shakes the accelerometer.
  for (std::size_t j = 0; j < imu_runtime_.size(); ++j) {
    const ImuRuntime& each = imu_runtime_[j];
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

void FusionCore::restart_still_collection(int64_t t_ns) {
  for (ImuRuntime& each : imu_runtime_) {
    each.gyro_sum.setZero();
    each.accel_sum.setZero();
    each.accel_square_sum = 0.0;
    each.count = 0;
  }
  last_not_still_ns_ = t_ns;
}

void FusionCore::note_twist_before_init(const OdometryEstimate& estimate) {
  const std::optional<std::size_t> s = configured_source(estimate);
  if (!s) {
    return;
  }
  SourceTwist twist;
  for (Index j = 0; j < 3; ++j) {
    const double variance =
        effective_variance(config_.odom_sources[*s].twist_variances[j], estimate.twist_covariance(j, j));
    if (row_variance(variance) && std::isfinite(estimate.twist_linear[j])) {
      twist.linear[j] = estimate.twist_linear[j];
      twist.usable = true;
    }
  }
  if (!twist.usable) {
    return;
  }
  twist.t_ns = estimate.timestamp_ns;
  // A twist that changed from the source's previous one faster than kGlitchAcceleration allows did not come
  // from the robot's motion (a driver reporting 100 m/s for its first second): neither it nor the one before
  // it may give the velocity of an initialisation in motion, so the motion window starts again.
  const SourceTwist& previous = init_twist_[*s];
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
  init_twist_[*s] = twist;
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

void FusionCore::collect_motion(const Vector3d& omega, const Vector3d& a, int64_t t_ns) {
  // Follow the first source, in configuration order, whose twist is fresh at this sample.
  std::optional<std::size_t> fresh;
  for (std::size_t s = 0; s < init_twist_.size() && !fresh; ++s) {
    const SourceTwist& twist = init_twist_[s];
    const int64_t age_ns = difference_ns(t_ns, twist.t_ns);
    if (twist.usable && age_ns <= kTwistFreshNs && age_ns >= -kTwistFreshNs) {
      fresh = s;
    }
  }
  if (!fresh) {
    motion_ = MotionWindow{};
    return;
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

  // Due once the robot has had init_moving_after_seconds to hold still since the first sample, was seen
  // moving within that span (a robot at rest that only needs more samples waits for them), and the twist
  // covers a window long enough to average.
  if (!(config_.init_moving_after_seconds > 0.0) || !first_imu_ns_ || !last_not_still_ns_) {
    return;
  }
  const int64_t after_ns = init_moving_after_ns_;
  const int64_t window_ns = difference_ns(twist.t_ns, motion_.start_twist_ns);
  if (difference_ns(t_ns, *first_imu_ns_) < after_ns || difference_ns(t_ns, *last_not_still_ns_) >= after_ns ||
      window_ns < kMotionWindowNs) {
    return;
  }
  // Specific force in base axes: f = dv_b/dt + ω × v_b + g_b. Over the window the means of f and ω × v_b
  // and the twist's change leave g_b, whose direction gives roll and pitch; the heading starts at 0.
  const double count = static_cast<double>(motion_.count);
  const Vector3d g_b = motion_.force_sum / count - motion_.transport_sum / count -
                       (twist.linear - motion_.start_velocity) / seconds_from_ns(window_ns);
  const Quaterniond q0 = gravity_attitude(g_b, config_.initial_gravity_estimate);
  initialize(t_ns, q0, std::vector<ImuBias>(config_.imus.size()), rotate_vector(q0, twist.linear), "moving");
}

void FusionCore::initialize(int64_t t0_ns, const Quaterniond& attitude, std::vector<ImuBias> biases,
                            const Vector3d& velocity, std::string_view mode) {
  filter_.noise.clear();
  for (const ImuConfig& imu : config_.imus) {
    filter_.noise.push_back(
        ImuNoise{imu.gyro_noise_density, imu.gyro_random_walk, imu.accel_noise_density, imu.accel_random_walk});
  }
  filter_.gravity = config_.initial_gravity_estimate;
  std::vector<double> gyro_biases;
  for (const ImuBias& bias : biases) {
    gyro_biases.push_back(bias.gyro.norm());
  }
  const InitialStds& stds = config_.initial_stds;
  filter_.init(attitude, std::move(biases), stds.position, stds.velocity, stds.rotation, stds.bias);
  for (std::size_t k = 0; k < config_.imus.size(); ++k) {
    auto diagonal = filter_.state.covariance.diagonal();
    diagonal.segment<3>(layout::gyro_bias(k)).setConstant(stds.gyro_bias_std() * stds.gyro_bias_std());
    diagonal.segment<3>(layout::accel_bias(k)).setConstant(stds.accel_bias_std() * stds.accel_bias_std());
  }
  if (mode == "still" || mode == "moving") {
    // The odometry frame's heading is the first heading by definition, so nothing can measure it: the
    // rotation spread goes to roll and pitch alone (body-frame errors about the axes normal to the world's
    // z). A spread in heading lets residuals of any origin turn the whole odometry frame.
    const Vector3d up = attitude.conjugate() * Vector3d::UnitZ();
    filter_.state.covariance.block<3, 3>(kAttitude, kAttitude) =
        stds.rotation * stds.rotation * (Matrix3d::Identity() - up * up.transpose());
  }
  filter_.state.velocity = velocity;
  core_.anchors.assign(config_.odom_sources.size(), std::nullopt);
  core_.blend_records.assign(config_.odom_sources.size(), SourceBlend{});
  core_.odom_from_parent.clear();
  for (const SourceConfig& source : config_.odom_sources) {
    core_.odom_from_parent.push_back(source.odom_from_parent);
  }
  core_.anchor_averages.assign(config_.odom_sources.size(), AnchorAverage{});
  core_.gates.assign(config_.odom_sources.size(), SourceGate{});
  // The filter state holds at t0: the first IMU event propagates from there, not from the clock's zero.
  core_.last_imu_ns = t0_ns;
  initialized_ = true;
  last_publish_ns_ = t0_ns;

  Event& seed = buffer_.push_back_slot();
  seed.input = SeedInput{};
  seed.timestamp_ns = t0_ns;
  snapshot(seed.snapshot);

  VELK_LOG(Info, kLogTarget, "odometry_fusion initialized", {"gyro_biases", format_list(gyro_biases)},
           {"use_imu", !config_.imus.empty()}, {"init_mode", mode});
}

// ---------------------------------------------------------------------------------------------------------
// Replay buffer

void FusionCore::snapshot(Snapshot& into) const {
  into.filter = filter_.state;
  into.core = core_;
}

void FusionCore::restore(const Snapshot& from) {
  filter_.state = from.filter;
  core_ = from.core;
}

void FusionCore::insert(int64_t timestamp_ns, EventInput input) {
  if (buffer_.empty()) {
    throw std::logic_error("seeded at init");
  }
  if (difference_ns(timestamp_ns, buffer_.back().timestamp_ns) > jump_limit_ns_) {
    if (!hold_until_confirmed(timestamp_ns, std::move(input))) {
      return;
    }
  } else {
    if (held_count_ > 0) {
      drop_held();
    }
    place(timestamp_ns, std::move(input));
  }
  if (!state_finite(filter_.state)) {
    recover(buffer_.back().timestamp_ns);
  }
  trim();
}

bool FusionCore::hold_until_confirmed(int64_t timestamp_ns, EventInput input) {
  const int64_t newest_ns = buffer_.back().timestamp_ns;
  // A new time that the held inputs do not share starts a new episode; the old one was not confirmed.
  if (held_count_ > 0 &&
      std::abs(difference_ns(timestamp_ns, held_[held_count_ - 1].timestamp_ns)) > jump_limit_ns_) {
    drop_held();
  }
  if (held_count_ == 0) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "input far ahead of the data clock held back until other inputs confirm the new time. "
                       "Check the sender's clock.",
                       {"timestamp_ns", timestamp_ns}, {"newest_ns", newest_ns},
                       {"limit_seconds", seconds_from_ns(jump_limit_ns_)});
  }
  ++counters_.held_back;
  held_[held_count_].timestamp_ns = timestamp_ns;
  held_[held_count_].input = std::move(input);
  if (++held_count_ < kConfirmInputs) {
    return false;
  }
  VELK_LOG(Info, kLogTarget, "data clock jumped forward; following it", {"from_ns", newest_ns},
           {"to_ns", held_[0].timestamp_ns});
  std::array<std::size_t, kConfirmInputs> order{};
  for (std::size_t i = 0; i < kConfirmInputs; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return held_[a].timestamp_ns < held_[b].timestamp_ns; });
  held_count_ = 0;
  for (const std::size_t i : order) {
    place(held_[i].timestamp_ns, std::move(held_[i].input));
  }
  return true;
}

void FusionCore::drop_held() {
  VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                     "inputs held for a forward jump of the data clock dropped: the inputs after them stayed on "
                     "the old clock. Check the sender's clock.",
                     {"dropped", held_count_}, {"held_back", counters_.held_back});
  for (std::size_t i = 0; i < held_count_; ++i) {
    const HeldInput& held = held_[i];
    // Its pose became the source's newest one when it arrived; the next delta must not run from it.
    if (const auto* m = std::get_if<MeasurementInput>(&held.input)) {
      std::optional<SourcePose>& newest = last_source_pose_.at(m->source);
      if (newest && newest->t_ns == held.timestamp_ns) {
        newest.reset();
      }
    }
  }
  held_count_ = 0;
}

void FusionCore::recover(int64_t t_ns) {
  const InitialStds& stds = config_.initial_stds;
  if (!std::isfinite(stds.position) || !std::isfinite(stds.velocity) || !std::isfinite(stds.rotation) ||
      !std::isfinite(stds.bias)) {
    return;  // a fresh start would be just as non-finite; maybe_publish keeps warning
  }
  ++counters_.reinitialized;
  // The newest snapshot that is still finite (the event before the one that diverged), else the start.
  const FilterState* good = nullptr;
  for (std::size_t i = buffer_.size(); i-- > 0;) {
    if (state_finite(buffer_[i].snapshot.filter)) {
      good = &buffer_[i].snapshot.filter;
      break;
    }
  }
  const Quaterniond attitude = good != nullptr ? Quaterniond(normalized_quaternion(good->orientation))
                                               : Quaterniond::Identity();
  const Vector3d position = good != nullptr ? good->position : Vector3d::Zero();
  // Biases that diverge again right after a restart are part of the problem: the second restart within
  // kRecoveryBackoffNs starts them from zero.
  const bool again = last_recovery_ns_ && difference_ns(t_ns, *last_recovery_ns_) < kRecoveryBackoffNs;
  std::vector<ImuBias> biases =
      good != nullptr && !again ? good->biases : std::vector<ImuBias>(config_.imus.size());
  last_recovery_ns_ = t_ns;
  const int64_t last_publish_ns = last_publish_ns_;
  VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                     "filter state went non-finite; re-initialised at the last finite pose. Check each source's "
                     "pose_variances / twist_variances and the IMU noise figures.",
                     {"reinitialized", counters_.reinitialized}, {"timestamp_ns", t_ns},
                     {"restarted_from_origin", good == nullptr});
  while (!buffer_.empty()) {
    buffer_.pop_back();
  }
  for (std::optional<SourcePose>& pose : last_source_pose_) {
    pose.reset();
  }
  const Vector3d velocity = good != nullptr && !again ? good->velocity : Vector3d::Zero();
  initialize(t_ns, attitude, std::move(biases), velocity, "recovered");
  filter_.state.position = position;
  snapshot(buffer_.back().snapshot);
  last_publish_ns_ = last_publish_ns;  // publishing goes on at its rate
}

void FusionCore::place(int64_t timestamp_ns, EventInput input) {
  const std::size_t count = buffer_.size();
  const int64_t newest_ns = buffer_.back().timestamp_ns;
  const int64_t oldest_ns = buffer_.front().timestamp_ns;
  if (timestamp_ns < newest_ns && timestamp_ns <= oldest_ns) {
    ++counters_.too_late;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "measurement older than the replay buffer dropped. Raise replay_buffer_seconds, or cut "
                       "the source's latency.",
                       {"dropped", counters_.too_late}, {"replay_buffer_seconds", config_.replay_buffer_seconds});
    return;
  }
  Event& slot = buffer_.push_back_slot();
  slot.input = std::move(input);
  slot.timestamp_ns = timestamp_ns;
  if (timestamp_ns >= newest_ns) {
    // The live state is the previous back event's snapshot already.
    apply_and_store(count);
  } else {
    // After every event of equal stamp, so that those are not re-applied.
    const std::size_t at = buffer_.upper_bound(timestamp_ns, count);
    buffer_.move_back_to(at);
    process_at(at);
    for (std::size_t j = at + 1; j < buffer_.size(); ++j) {
      apply_and_store(j);
    }
    ++counters_.replayed;
  }
}

void FusionCore::process_at(std::size_t index) {
  if (index == 0 || index >= buffer_.size()) {
    throw std::logic_error("out of bounds access");
  }
  restore(buffer_[index - 1].snapshot);
  apply_and_store(index);
}

void FusionCore::apply_and_store(std::size_t index) {
  if (index == 0 || index >= buffer_.size()) {
    throw std::logic_error("out of bounds access");
  }
  Event& event = buffer_[index];
  if (const auto* imu = std::get_if<ImuInput>(&event.input)) {
    apply_imu(*imu, event.timestamp_ns);
  } else if (auto* measurement = std::get_if<MeasurementInput>(&event.input)) {
    if (config_.imus.empty()) {
      apply_blend_measurement(*measurement, event.timestamp_ns);
    } else {
      apply_filter_measurement(*measurement, event.timestamp_ns);
    }
  }
  snapshot(event.snapshot);
}

void FusionCore::trim() {
  const int64_t cutoff_ns = difference_ns(buffer_.back().timestamp_ns, replay_span_ns_);
  while (buffer_.size() > 1 && buffer_.front().timestamp_ns < cutoff_ns) {
    buffer_.pop_front();
  }
  if (buffer_.size() > kMaxReplayEvents) {
    counters_.buffer_overflow += buffer_.size() - kMaxReplayEvents;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "replay buffer full; its oldest events dropped. Inputs arrive with equal or barely advancing "
                       "stamps: check the drivers' clocks, or lower replay_buffer_seconds.",
                       {"max_events", kMaxReplayEvents}, {"dropped", counters_.buffer_overflow});
    while (buffer_.size() > kMaxReplayEvents) {
      buffer_.pop_front();
    }
  }
}

void FusionCore::apply_imu(const ImuInput& imu, int64_t t_ns) {
  // One clock for all IMUs: each sample propagates over the interval since the previous sample of any IMU.
  const double dt = difference_seconds(t_ns, core_.last_imu_ns);
  if (dt > 0.0 && dt < kMaxPropagationSeconds) {
    filter_.propagate(imu.imu, imu.omega, imu.accel, dt);
  }
  core_.last_imu_ns = t_ns;
  core_.last_omega = imu.omega;
  core_.last_imu_index = imu.imu;
}

// ---------------------------------------------------------------------------------------------------------
// Odometry sources

std::optional<std::string> FusionCore::handle_source(const OdometryEstimate& estimate) {
  if (!initialized_) {
    if (!config_.imus.empty()) {
      note_twist_before_init(estimate);
      return std::nullopt;
    }
    if (auto refusal = check_config()) {
      return refusal;
    }
  }
  const std::optional<std::size_t> s = configured_source(estimate);
  if (!s) {
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "odometry from an unconfigured transform dropped. Add an `odom_sources` entry with this "
                       "parent_frame_id and child_frame_id.",
                       {"frame_id", estimate.frame_id}, {"child_frame_id", estimate.child_frame_id});
    return std::nullopt;
  }
  if (!initialized_) {
    // Without IMUs the first estimate of a configured source starts the data clock.
    initialize(estimate.timestamp_ns, Quaterniond::Identity(), {}, Vector3d::Zero(), "source");
  }
  insert(estimate.timestamp_ns, measurement_from(*s, estimate));
  ++counters_.measurements;
  return std::nullopt;
}

std::optional<std::size_t> FusionCore::configured_source(const OdometryEstimate& estimate) const {
  const auto& sources = config_.odom_sources;
  const auto entry = std::find_if(sources.begin(), sources.end(), [&](const SourceConfig& source) {
    return source.parent_frame_id == estimate.frame_id && source.child_frame_id == estimate.child_frame_id;
  });
  if (entry == sources.end()) {
    return std::nullopt;
  }
  return static_cast<std::size_t>(entry - sources.begin());
}

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

  const Isometry& pose = estimate.pose;
  const bool usable = pose.rotation.coeffs().allFinite() && pose.translation.allFinite() &&
                      *std::max_element(m.pose_variances.begin(), m.pose_variances.end()) > 0.0;
  std::optional<SourcePose>& previous = last_source_pose_[s];
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
  return m;
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
    // Each refused row's residual and its predicted standard deviation sqrt((H P Hᵀ)_ii + R_ii), so that a
    // refusal can be traced to the rows (and the states) that disagree.
    const Eigen::MatrixXd& p = filter_.state.covariance;
    std::vector<double> residuals(static_cast<std::size_t>(m));
    std::vector<double> stds(static_cast<std::size_t>(m));
    for (Index i = 0; i < m; ++i) {
      const auto h = rows_.jacobian.row(i);
      residuals[static_cast<std::size_t>(i)] = rows_.residual[i];
      stds[static_cast<std::size_t>(i)] = std::sqrt(h.dot(p * h.transpose()) + rows_.variances[i]);
    }
    VELK_LOG(Debug, kLogTarget, "refused rows", {"residuals", format_list(residuals)}, {"stds", format_list(stds)},
             {"source", source != nullptr ? source->parent_frame_id : std::string("zero motion")},
             {"last_imu_ns", core_.last_imu_ns});
  }
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
  return false;
}

std::optional<Isometry> FusionCore::averaged_anchor(AnchorAverage& average, const Isometry& absolute,
                                                    int64_t t_ns) const {
  const Isometry one = yaw_aligned(fused_pose(), absolute);
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

void FusionCore::apply_filter_measurement(MeasurementInput& m, int64_t t_ns) {
  const Index n = filter_.state.covariance.rows();
  if (rows_.jacobian.rows() != kMaxRows || rows_.jacobian.cols() != n) {
    rows_.jacobian.resize(kMaxRows, n);
    rows_.residual.resize(kMaxRows);
    rows_.variances.resize(kMaxRows);
  }
  rows_.count = 0;
  std::optional<Isometry>& anchor = core_.anchors.at(m.source);
  // The pose that the source's pose rows measure: for a differential source the anchor moved by the
  // source's step, T̂ = A ∘ delta; for an absolute one its pose carried into the odometry frame.
  std::optional<Isometry> measured;
  if (m.absolute) {
    std::optional<Isometry>& odom_from_parent = core_.odom_from_parent.at(m.source);
    if (!odom_from_parent) {
      odom_from_parent = averaged_anchor(core_.anchor_averages.at(m.source), *m.absolute, t_ns);
    }
    if (odom_from_parent) {
      measured = *odom_from_parent * *m.absolute;
    }
  } else if (m.delta) {
    if (!anchor) {
      anchor = fused_pose();
      return;
    }
    measured = *anchor * *m.delta;
  }
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

  // Zero-motion pseudo-measurement.
  rows_.count = 0;
  add_twist_rows(Vector3d::Zero(), Vector3d::Zero(), config_.per_dimension_error_variance);
  update_rows(nullptr);
}

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
  if (gate.refused == 0) {
    gate.first_refused_ns = t_ns;
    gate.drift.setZero();
    gate.held.reset();
  }
  ++gate.refused;
  if (m.delta) {
    gate.held = gate.held ? Isometry(*gate.held * *m.delta) : *measured;
  }
  // While refused, the fused position moves by d = p − p_prev; had the source been right, it would have
  // moved by v_m dt along the axes it measures. Their difference, summed over the refused updates, is the
  // displacement a reset restores: drift += R mask(v_m dt − Rᵀ d).
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
    m.reset_reported = true;
    ++counters_.gate_resets;
    const SourceConfig& source = config_.odom_sources[m.source];
    VELK_LOG(Warn, kLogTarget,
             "odometry source taken back after the outlier gate refused it for longer than gate_recovery_seconds: "
             "the states it disagreed on were reset to its measurement. Check the source's variances and the IMU.",
             {"frame_id", source.parent_frame_id}, {"child_frame_id", source.child_frame_id},
             {"refused", refused}, {"refused_seconds", seconds_from_ns(refused_ns)},
             {"gate_recovery_seconds", span_s}, {"position_moved_m", moved_m});
  }
}

void FusionCore::take_back(const MeasurementInput& m, const std::optional<Isometry>& measured,
                           const SourceGate& gate) {
  FilterState& x = filter_.state;
  Eigen::MatrixXd& p = x.covariance;
  const std::size_t k = core_.last_imu_index;
  const Matrix3d r = rotation_matrix(x.orientation);
  const Vector3d v_b = r.transpose() * x.velocity;
  const Vector3d attitude_error = measured ? rotation_error(x.orientation, measured->rotation) : Vector3d::Zero();

  // What the source says against the state, component by component.
  std::array<Disagreement, 12> c{};
  const InitialStds& stds = config_.initial_stds;
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
      c[9 + i] = {true, m.angular[i] - (core_.last_omega[i] - x.biases[k].gyro[i]), p(b, b), m.twist_variances[3 + i]};
    }
  }
  const std::array<bool, 12> reset = components_to_reset(c, config_.outlier_rejection_allowed_variance);

  // A reset state knows nothing of the others any more: no cross terms, its initial variance plus the
  // measurement's.
  const auto widen = [&p](Index i, double variance) {
    p.row(i).setZero();
    p.col(i).setZero();
    p(i, i) = variance;
  };
  Vector3d turn = Vector3d::Zero();
  for (Index i = 0; i < 3; ++i) {
    if (reset[i]) {
      x.position[i] = measured->translation[i];
      widen(kPosition + i, stds.position * stds.position + c[i].variance);
    }
    if (reset[3 + i]) {
      turn[i] = attitude_error[i];
      widen(kAttitude + i, stds.rotation * stds.rotation + c[3 + i].variance);
    }
  }
  x.orientation = hamilton(x.orientation, exp_rotation(turn));
  // Linear twist: the base-frame velocity components it measures, v_b = Rᵀ v, in the attitude after the
  // reset; with the position, unless the source measures that itself, moved by the displacement the
  // refused twist implied.
  if (reset[6] || reset[7] || reset[8]) {
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
      widen(kVelocity + i, stds.velocity * stds.velocity + largest);
    }
    if (!reset[0] && !reset[1] && !reset[2]) {
      x.position += gate.drift;
    }
  }
  // Angular twist: the gyro bias of the last IMU that makes its predicted rate the measured one.
  for (Index j = 0; j < 3; ++j) {
    if (reset[9 + j]) {
      x.biases[k].gyro[j] = core_.last_omega[j] - m.angular[j];
      widen(layout::gyro_bias(k) + j, stds.gyro_bias_std() * stds.gyro_bias_std() + c[9 + j].variance);
    }
  }
}

void FusionCore::apply_blend_measurement(const MeasurementInput& m, int64_t t_ns) {
  SourceBlend& blend = core_.blend_records.at(m.source);
  const OptionalStamp previous_ns = blend.last_ns;
  blend.last_ns = t_ns;
  for (std::size_t d = 0; d < 6; ++d) {
    blend.weights[d] = usable_variance(m.pose_variances[d]) ? 1.0 / m.pose_variances[d] : 0.0;
  }
  std::optional<Isometry>& anchor = core_.anchors.at(m.source);
  // The target is base ∘ motion: the source's step from its base, or for an absolute source its pose from
  // odom_from_parent.
  const std::optional<Isometry>& motion = m.absolute ? m.absolute : m.delta;
  if (!motion) {
    anchor = fused_pose();
    return;
  }
  const int64_t cutoff_ns = difference_ns(t_ns, kBlendActiveNs);
  Isometry base;
  if (m.absolute) {
    std::optional<Isometry>& odom_from_parent = core_.odom_from_parent.at(m.source);
    if (!odom_from_parent) {
      odom_from_parent = yaw_aligned(fused_pose(), *m.absolute);
    }
    base = *odom_from_parent;
  } else if (!previous_ns || *previous_ns < cutoff_ns) {
    // Silent for a while (or never heard): its step starts from its own anchor, not from where the other
    // sources have moved the pose since.
    if (!anchor) {
      anchor = fused_pose();
      return;
    }
    base = *anchor;
  } else {
    base = fused_pose();
  }
  // f_d: this source's share of the weight of every source active since the cutoff.
  std::array<double, 6> fraction{};
  std::vector<double>& active = blend_scratch_;
  for (std::size_t d = 0; d < 6; ++d) {
    active.clear();
    for (const SourceBlend& other : core_.blend_records) {
      if (other.last_ns && *other.last_ns >= cutoff_ns) {
        active.push_back(other.weights[d]);
      }
    }
    fraction[d] = weight_share(blend.weights[d], active);
  }
  const Isometry target = base * *motion;
  FilterState& x = filter_.state;
  const Matrix3d r = rotation_matrix(x.orientation);
  // Both corrections in the body frame of the current attitude:
  //   e = Rᵀ (T*.p − p),  p ← p + R (f ∘ e);   q ← q ⊗ Exp(f ∘ rotation_error(q, T*.q))
  const Vector3d e = r.transpose() * (target.translation - x.position);
  const Vector3d rot = rotation_error(x.orientation, target.rotation);
  const Vector3d step(fraction[0] * e.x(), fraction[1] * e.y(), fraction[2] * e.z());
  const Vector3d turn(fraction[3] * rot.x(), fraction[4] * rot.y(), fraction[5] * rot.z());
  x.position += r * step;
  x.orientation = hamilton(x.orientation, exp_rotation(turn));
  anchor = fused_pose();
}

// ---------------------------------------------------------------------------------------------------------
// Publishing and counters

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

void FusionCore::report() const {
  log::emit_counters(kLogTarget, "odometry fusion counters", counters_);
}

}  // namespace velk_slam::odometry_fusion
