#include "odometry_fusion/fusion_core.hpp"

#include "log.hpp"
#include "odometry_fusion/stamps.hpp"
#include "odometry_fusion/state_layout.hpp"

#include <algorithm>
#include <charconv>
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

// Rows of one measurement: six pose and six twist rows at most.
constexpr Index kMaxRows = 12;

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

std::string format_list(const std::vector<double>& values) {
  std::string out = "[";
  for (std::size_t i = 0; i < values.size(); ++i) {
    if (i > 0) {
      out += ", ";
    }
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, values[i]);
    const std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
    out += text;
    // Same form as a single float field: 0 reads "0.0".
    if (std::isfinite(values[i]) && text.find_first_of(".e") == std::string_view::npos) {
      out += ".0";
    }
  }
  out += "]";
  return out;
}

}  // namespace

FusionCore::FusionCore(OdometryFusionConfig config)
    : config_(std::move(config)),
      replay_span_ns_(ns_from_seconds(config_.replay_buffer_seconds)),
      jump_limit_ns_(clock_jump_limit_ns(replay_span_ns_)),
      imu_runtime_(config_.imus.size()),
      last_source_pose_(config_.odom_sources.size()) {}

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
  const auto entry = std::find_if(config_.imus.begin(), config_.imus.end(),
                                  [&](const ImuConfig& imu) { return imu.frame_id == sample.frame_id; });
  if (entry == config_.imus.end()) {
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu from an unconfigured frame_id dropped. Add an `imus` entry with it.",
                       {"frame_id", sample.frame_id});
    return std::nullopt;
  }
  const std::size_t k = static_cast<std::size_t>(entry - config_.imus.begin());
  ImuRuntime& rt = imu_runtime_[k];

  // Into the base frame: ω = R ω_imu, f = R f_imu.
  const Vector3d omega = base_from_imu.rotate(sample.angular_velocity);
  const Vector3d f = base_from_imu.rotate(sample.linear_acceleration);

  // Angular acceleration, low-pass filtered: g = 1 − exp(−dt/τ), α += g ((ω − ω_prev)/dt − α).
  Vector3d alpha = rt.angular_acceleration;
  if (rt.previous_ns != 0) {
    const double dt = seconds_between(rt.previous_ns, sample.timestamp_ns);
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
  if (finite) {
    rt.angular_acceleration = alpha;
    rt.previous_omega = omega;
    rt.previous_ns = sample.timestamp_ns;
  }
  if (!finite) {
    ++counters_.non_finite_imu;
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu sample with a non-finite rate, acceleration or mounting transform dropped. Check "
                       "the IMU driver and the base_from_imu transform.",
                       {"frame_id", sample.frame_id}, {"dropped", counters_.non_finite_imu});
    return std::nullopt;
  }

  if (initialized_) {
    insert(sample.timestamp_ns, ImuInput{k, omega, a});
    ++counters_.imu_samples;
    return std::nullopt;
  }

  // Not initialised: average still samples until every IMU has enough of them.
  const ImuConfig& imu = *entry;
  const double gyro_norm = omega.norm();
  if (gyro_norm > imu.init_gyro_limit) {
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "imu init deferred: waiting for the robot to hold still. Hold it still, or raise "
                       "init_gyro_limit past the rate above.",
                       {"frame_id", sample.frame_id}, {"gyro_norm", gyro_norm},
                       {"init_gyro_limit", imu.init_gyro_limit});
    for (ImuRuntime& each : imu_runtime_) {
      each.gyro_sum.setZero();
      each.accel_sum.setZero();
      each.count = 0;
    }
    return std::nullopt;
  }
  rt.gyro_sum += omega;
  rt.accel_sum += a;
  ++rt.count;
  for (std::size_t j = 0; j < imu_runtime_.size(); ++j) {
    const auto needed = static_cast<uint64_t>(std::max<int64_t>(config_.imus[j].init_samples, 1));
    if (imu_runtime_[j].count < needed) {
      return std::nullopt;
    }
  }

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
  const Vector3d mean_force = force_sum / static_cast<double>(imu_count);

  // q0 turns the direction u of the mean specific force onto +z: axis u × z, angle acos(u_z). When u is
  // already along ±z (or zero) the axis is undefined and q0 stays the identity.
  Quaterniond q0 = Quaterniond::Identity();
  if (mean_force.squaredNorm() > 0.0) {
    const Vector3d u = mean_force / mean_force.norm();
    const Vector3d c = u.cross(Vector3d::UnitZ());
    if (c.squaredNorm() > kSmallSquared && std::abs(u.z()) < 1.0) {
      const double theta = std::acos(u.z());
      const Vector3d axis = c / c.norm();
      const Vector3d v = axis * std::sin(theta / 2.0);
      q0 = Quaterniond(std::cos(theta / 2.0), v.x(), v.y(), v.z());
    }
  }
  // At rest the accelerometers should read g_b = q0⁻¹ (0, 0, g); the rest is bias.
  const Vector3d g_b = rotate_vector(q0.conjugate(), Vector3d(0.0, 0.0, config_.initial_gravity_estimate));
  for (ImuBias& bias : biases) {
    bias.accel -= g_b;
  }
  initialize(sample.timestamp_ns, q0, std::move(biases));
  return std::nullopt;
}

void FusionCore::initialize(int64_t t0_ns, const Quaterniond& attitude, std::vector<ImuBias> biases) {
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
  core_.anchors.assign(config_.odom_sources.size(), std::nullopt);
  core_.blend_records.assign(config_.odom_sources.size(), SourceBlend{});
  // The filter state holds at t0: the first IMU event propagates from there, not from the clock's zero.
  core_.last_imu_ns = t0_ns;
  initialized_ = true;
  last_publish_ns_ = t0_ns;

  Event& seed = buffer_.push_back_slot();
  seed.input = SeedInput{};
  seed.timestamp_ns = t0_ns;
  snapshot(seed.snapshot);

  VELK_LOG(Info, kLogTarget, "odometry_fusion initialized", {"gyro_biases", format_list(gyro_biases)},
           {"use_imu", !config_.imus.empty()});
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
  const int64_t newest_ns = buffer_.back().timestamp_ns;
  if (saturating_sub(timestamp_ns, newest_ns) > jump_limit_ns_) {
    // A new time that the held inputs do not share starts a new episode; the old one was not confirmed.
    if (held_count_ > 0 &&
        std::abs(saturating_sub(timestamp_ns, held_[held_count_ - 1].timestamp_ns)) > jump_limit_ns_) {
      drop_held();
    }
    if (held_count_ == 0) {
      VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                         "input far ahead of the data clock held back until other inputs confirm the new time. "
                         "Check the sender's clock.",
                         {"timestamp_ns", timestamp_ns}, {"newest_ns", newest_ns},
                         {"limit_seconds", static_cast<double>(jump_limit_ns_) / 1e9});
    }
    ++counters_.held_back;
    held_[held_count_].timestamp_ns = timestamp_ns;
    held_[held_count_].input = std::move(input);
    if (++held_count_ < kConfirmInputs) {
      return;
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
  const bool again = counters_.reinitialized > 1 && saturating_sub(t_ns, last_recovery_ns_) < kRecoveryBackoffNs;
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
  initialize(t_ns, attitude, std::move(biases));
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
  } else if (const auto* measurement = std::get_if<MeasurementInput>(&event.input)) {
    if (config_.imus.empty()) {
      apply_blend_measurement(*measurement, event.timestamp_ns);
    } else {
      apply_filter_measurement(*measurement);
    }
  }
  snapshot(event.snapshot);
}

void FusionCore::trim() {
  const int64_t cutoff_ns = saturating_sub(buffer_.back().timestamp_ns, replay_span_ns_);
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
  const double dt = seconds_between(core_.last_imu_ns, t_ns);
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
      return std::nullopt;
    }
    if (auto refusal = check_config()) {
      return refusal;
    }
  }
  const auto& sources = config_.odom_sources;
  const auto entry = std::find_if(sources.begin(), sources.end(), [&](const SourceConfig& source) {
    return source.parent_frame_id == estimate.frame_id && source.child_frame_id == estimate.child_frame_id;
  });
  if (entry == sources.end()) {
    VELK_LOG_THROTTLED(kFiveSecondsNs, Warn, kLogTarget,
                       "odometry from an unconfigured transform dropped. Add an `odom_sources` entry with this "
                       "parent_frame_id and child_frame_id.",
                       {"frame_id", estimate.frame_id}, {"child_frame_id", estimate.child_frame_id});
    return std::nullopt;
  }
  const std::size_t s = static_cast<std::size_t>(entry - sources.begin());
  if (!initialized_) {
    // Without IMUs the first estimate of a configured source starts the data clock.
    initialize(estimate.timestamp_ns, Quaterniond::Identity(), {});
  }

  MeasurementInput m;
  m.source = s;
  for (Index i = 0; i < 6; ++i) {
    m.pose_variances[i] = effective_variance(entry->pose_variances[i], estimate.pose_covariance(i, i));
    m.twist_variances[i] = effective_variance(entry->twist_variances[i], estimate.twist_covariance(i, i));
  }
  m.linear = estimate.twist_linear;
  m.angular = estimate.twist_angular;

  const Isometry& pose = estimate.pose;
  const bool usable = pose.rotation.coeffs().allFinite() && pose.translation.allFinite() &&
                      *std::max_element(m.pose_variances.begin(), m.pose_variances.end()) > 0.0;
  std::optional<SourcePose>& previous = last_source_pose_[s];
  if (usable && previous && estimate.timestamp_ns < previous->t_ns) {
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
  insert(estimate.timestamp_ns, std::move(m));
  ++counters_.measurements;
  return std::nullopt;
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

bool FusionCore::update_rows() {
  const Index m = rows_.count;
  if (m == 0) {
    return false;
  }
  const double gate = std::sqrt(config_.outlier_rejection_allowed_variance);
  const bool accepted = filter_.update(rows_.residual.head(m), rows_.jacobian.topRows(m),
                                       rows_.variances.head(m), gate);
  if (!accepted) {
    ++counters_.gated;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "measurement rejected by the outlier gate. Raise outlier_rejection_allowed_variance, or "
                       "correct the source's pose_variances / twist_variances.",
                       {"gated", counters_.gated},
                       {"outlier_rejection_allowed_variance", config_.outlier_rejection_allowed_variance});
  }
  return accepted;
}

void FusionCore::apply_filter_measurement(const MeasurementInput& m) {
  const Index n = filter_.state.covariance.rows();
  if (rows_.jacobian.rows() != kMaxRows || rows_.jacobian.cols() != n) {
    rows_.jacobian.resize(kMaxRows, n);
    rows_.residual.resize(kMaxRows);
    rows_.variances.resize(kMaxRows);
  }
  rows_.count = 0;
  std::optional<Isometry>& anchor = core_.anchors.at(m.source);
  if (m.delta) {
    if (!anchor) {
      anchor = fused_pose();
      return;
    }
    // Predicted pose: the anchor moved by the source's step, T̂ = A ∘ delta.
    const Isometry predicted = *anchor * *m.delta;
    const FilterState& x = filter_.state;
    for (Index i = 0; i < 3; ++i) {
      if (m.pose_variances[i] > 0.0) {
        const Index row = add_row(predicted.translation[i] - x.position[i], m.pose_variances[i]);
        rows_.jacobian(row, kPosition + i) = 1.0;
      }
    }
    const Vector3d r = rotation_error(x.orientation, predicted.rotation);
    for (Index i = 0; i < 3; ++i) {
      if (m.pose_variances[3 + i] > 0.0) {
        const Index row = add_row(r[i], m.pose_variances[3 + i]);
        rows_.jacobian(row, kAttitude + i) = 1.0;
      }
    }
  }
  add_twist_rows(m.linear, m.angular, m.twist_variances);
  update_rows();
  if (m.delta) {
    // Accepted or not, the source's next step is compared with the fused motion over that same step. Kept
    // at a rejected step, the anchor would leave every later prediction short of all motion since then,
    // and the source would be refused for good once the robot moves.
    anchor = fused_pose();
  }

  // Zero-motion pseudo-measurement.
  rows_.count = 0;
  add_twist_rows(Vector3d::Zero(), Vector3d::Zero(), config_.per_dimension_error_variance);
  update_rows();
}

void FusionCore::apply_blend_measurement(const MeasurementInput& m, int64_t t_ns) {
  SourceBlend& blend = core_.blend_records.at(m.source);
  const int64_t previous_ns = blend.last_ns;
  blend.last_ns = t_ns;
  for (std::size_t d = 0; d < 6; ++d) {
    blend.weights[d] = usable_variance(m.pose_variances[d]) ? 1.0 / m.pose_variances[d] : 0.0;
  }
  std::optional<Isometry>& anchor = core_.anchors.at(m.source);
  if (!m.delta) {
    anchor = fused_pose();
    return;
  }
  const int64_t cutoff_ns = saturating_sub(t_ns, kBlendActiveNs);
  Isometry base;
  if (previous_ns < cutoff_ns) {
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
      if (other.last_ns >= cutoff_ns) {
        active.push_back(other.weights[d]);
      }
    }
    fraction[d] = weight_share(blend.weights[d], active);
  }
  const Isometry target = base * *m.delta;
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
  if (buffer_.empty()) {
    return std::nullopt;
  }
  const Event& newest = buffer_.back();
  const int64_t t_ns = newest.timestamp_ns;
  // Written so that NaN acts as 1 Hz too.
  const double rate = config_.publish_rate >= 1.0 ? config_.publish_rate : 1.0;
  // At most 1e9 for rate ≥ 1, and 0 for an infinite rate: the conversion cannot overflow.
  const auto period_ns = static_cast<int64_t>(1e9 / rate);
  if (saturating_sub(t_ns, last_publish_ns_) < period_ns) {
    return std::nullopt;
  }
  // Set before the checks, so that a refused publication also waits a full period.
  last_publish_ns_ = t_ns;

  const FilterState& x = newest.snapshot.filter;
  const CoreState& core = newest.snapshot.core;
  const double distance = x.position.norm();
  const bool publishable = x.position.allFinite() && x.velocity.allFinite() &&
                           x.orientation.coeffs().allFinite() &&
                           (!(config_.max_position_m > 0.0) || distance <= config_.max_position_m);
  if (!publishable) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "filter state is not publishable; holding the last pose. The filter diverged: check "
                       "max_position_m and each source's pose_variances / twist_variances.",
                       {"distance", distance}, {"max_position_m", config_.max_position_m});
    return std::nullopt;
  }

  const Eigen::MatrixXd& p = x.covariance;
  const Matrix3d r = rotation_matrix(x.orientation);
  const std::size_t k = core.last_imu_index;
  const bool has_bias = k < x.biases.size();

  OdometryEstimate out;
  out.frame_id = config_.odom_frame_id;
  out.child_frame_id = config_.output_frame_id;
  out.timestamp_ns = t_ns;
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
  VELK_LOG(Info, kLogTarget, "odometry fusion counters", {"imu_samples", counters_.imu_samples},
           {"measurements", counters_.measurements}, {"gated", counters_.gated}, {"replayed", counters_.replayed},
           {"too_late", counters_.too_late}, {"non_finite_imu", counters_.non_finite_imu},
           {"stale_poses", counters_.stale_poses}, {"held_back", counters_.held_back},
           {"buffer_overflow", counters_.buffer_overflow}, {"reinitialized", counters_.reinitialized});
}

}  // namespace velk_slam::odometry_fusion
