#include "odometry_fusion/fusion_core.hpp"

#include "geometry.hpp"
#include "log.hpp"
#include "odometry_fusion/fusion_detail.hpp"
#include "odometry_fusion/state_layout.hpp"
#include "stamps.hpp"
#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

// FusionCore's wiring: construction, the public entry points, initialisation and the IMU event. The
// replay buffer, the measurement model, gate recovery, the no-IMU blend and publishing each have a source
// file of their own; the initialisation collections live in the Initialiser.

namespace velk_slam::odometry_fusion {

using detail::kFiveSecondsNs;
using detail::kMaxPropagationSeconds;
using Eigen::Matrix3d;
using Eigen::Quaterniond;
using Eigen::Vector3d;
using layout::kAttitude;

namespace {

// Low-pass time constant of the angular-acceleration estimate (s): short enough to follow a turn, long
// enough to average the gyro noise of a few samples at 200 Hz.
constexpr double kAngularAccelerationTau = 0.025;

// A forward step of the data clock longer than this many replay spans (and at least kMinClockJumpNs) is
// not believed on one input's word: a single stamp an hour ahead would otherwise make every later input
// too late.
constexpr int64_t kClockJumpSpans = 20;
constexpr int64_t kMinClockJumpNs = 10'000'000'000;

int64_t clock_jump_limit_ns(int64_t replay_span_ns) {
  if (replay_span_ns <= kMinClockJumpNs / kClockJumpSpans) {
    return kMinClockJumpNs;  // a zero or negative span included
  }
  return replay_span_ns > std::numeric_limits<int64_t>::max() / kClockJumpSpans ? std::numeric_limits<int64_t>::max()
                                                                                 : replay_span_ns * kClockJumpSpans;
}

}  // namespace

std::string detail::format_list(const std::vector<double>& values) {
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

FusionCore::FusionCore(OdometryFusionConfig config)
    : config_(std::move(config)),
      replay_span_ns_(ns_from_seconds(config_.replay_buffer_seconds)),
      gate_recovery_ns_(ns_from_seconds(config_.gate_recovery_seconds)),
      jump_limit_ns_(clock_jump_limit_ns(replay_span_ns_)),
      imu_runtime_(config_.imus.size()),
      last_source_pose_(config_.odom_sources.size()),
      initialiser_(config_, counters_, jump_limit_ns_) {}

Isometry FusionCore::fused_pose() const {
  Isometry pose;
  pose.rotation = filter_.state.orientation;
  pose.translation = filter_.state.position;
  return pose;
}

// ---------------------------------------------------------------------------------------------------------
// IMU samples

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
  } else if (std::optional<InitialState> start = initialiser_.add_sample(*imu, sample.timestamp_ns)) {
    initialize(std::move(*start));
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
    count_non_finite(sample);
    return std::nullopt;
  }
  rt.angular_acceleration = alpha;
  rt.previous_omega = omega;
  rt.previous_ns = sample.timestamp_ns;
  return ImuInput{k, omega, a};
}

void FusionCore::count_non_finite(const ImuSample& sample) {
  ++counters_.non_finite_imu;
  VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                     "imu sample with a non-finite rate, acceleration or mounting transform dropped. Check "
                     "the IMU driver and the base_from_imu transform.",
                     {"frame_id", sample.frame_id}, {"dropped", counters_.non_finite_imu});
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
      if (const std::optional<std::size_t> s = configured_source(estimate)) {
        initialiser_.note_twist(*s, estimate);
      }
      return std::nullopt;
    }
    if (auto refusal = check_config()) {
      return refusal;
    }
  }
  const std::optional<std::size_t> s = configured_source(estimate);
  if (!s) {
    warn_unconfigured(estimate);
    return std::nullopt;
  }
  if (!initialized_) {
    // Without IMUs the first estimate of a configured source starts the data clock.
    initialize(InitialState{estimate.timestamp_ns, Quaterniond::Identity(), {}, Vector3d::Zero(), "source"});
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

void FusionCore::warn_unconfigured(const OdometryEstimate& estimate) const {
  VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                     "odometry from an unconfigured transform dropped. Add an `odom_sources` entry with this "
                     "parent_frame_id and child_frame_id.",
                     {"frame_id", estimate.frame_id}, {"child_frame_id", estimate.child_frame_id});
}

// ---------------------------------------------------------------------------------------------------------
// Initialisation

void FusionCore::initialize(InitialState start) {
  std::vector<double> gyro_biases;
  for (const ImuBias& bias : start.biases) {
    gyro_biases.push_back(bias.gyro.norm());
  }
  const int64_t t0_ns = start.t_ns;
  const std::string_view mode = start.mode;
  start_filter(std::move(start));
  reset_core_state(t0_ns);
  initialized_ = true;
  last_publish_ns_ = t0_ns;

  Event& seed = buffer_.push_back_slot();
  seed.input = SeedInput{};
  seed.timestamp_ns = t0_ns;
  snapshot(seed.snapshot);

  VELK_LOG(Info, kLogTarget, "odometry_fusion initialized", {"gyro_biases", detail::format_list(gyro_biases)},
           {"use_imu", !config_.imus.empty()}, {"init_mode", mode});
}

void FusionCore::start_filter(InitialState start) {
  filter_.noise.clear();
  for (const ImuConfig& imu : config_.imus) {
    filter_.noise.push_back(
        ImuNoise{imu.gyro_noise_density, imu.gyro_random_walk, imu.accel_noise_density, imu.accel_random_walk});
  }
  filter_.gravity = config_.initial_gravity_estimate;
  const InitialStds& stds = config_.initial_stds;
  filter_.init(start.attitude, std::move(start.biases), stds.position, stds.velocity, stds.rotation, stds.bias);
  for (std::size_t k = 0; k < config_.imus.size(); ++k) {
    auto diagonal = filter_.state.covariance.diagonal();
    diagonal.segment<3>(layout::gyro_bias(k)).setConstant(stds.gyro_bias_std() * stds.gyro_bias_std());
    diagonal.segment<3>(layout::accel_bias(k)).setConstant(stds.accel_bias_std() * stds.accel_bias_std());
  }
  if (start.mode == "still" || start.mode == "moving") {
    // The odometry frame's heading is the first heading by definition, so nothing can measure it: the
    // rotation spread goes to roll and pitch alone (body-frame errors about the axes normal to the world's
    // z). A spread in heading lets residuals of any origin turn the whole odometry frame.
    const Vector3d up = start.attitude.conjugate() * Vector3d::UnitZ();
    filter_.state.covariance.block<3, 3>(kAttitude, kAttitude) =
        stds.rotation * stds.rotation * (Matrix3d::Identity() - up * up.transpose());
  }
  filter_.state.velocity = start.velocity;
}

void FusionCore::reset_core_state(int64_t t0_ns) {
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
}

void FusionCore::report() const {
  log::emit_counters(kLogTarget, "odometry fusion counters", counters_);
}

}  // namespace velk_slam::odometry_fusion
