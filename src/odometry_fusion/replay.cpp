// FusionCore's replay buffer: screening stamps against the data clock, placing events in time order and
// applying them (again, after a late insertion), trimming, and starting again from a diverged state.

#include "geometry.hpp"
#include "log.hpp"
#include "odometry_fusion/fusion_core.hpp"
#include "odometry_fusion/fusion_detail.hpp"
#include "stamps.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace velk_slam::odometry_fusion {

using detail::kTenSecondsNs;
using Eigen::Quaterniond;
using Eigen::Vector3d;

namespace {

// A second re-initialisation within this span of data time also drops the biases.
constexpr int64_t kRecoveryBackoffNs = 1'000'000'000;

bool state_finite(const FilterState& x) {
  return x.position.allFinite() && x.velocity.allFinite() && x.orientation.coeffs().allFinite() &&
         x.covariance.allFinite() &&
         std::all_of(x.biases.begin(), x.biases.end(),
                     [](const ImuBias& b) { return b.gyro.allFinite() && b.accel.allFinite(); });
}

}  // namespace

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

// ---------------------------------------------------------------------------------------------------------
// Forward jumps of the data clock

bool FusionCore::hold_until_confirmed(int64_t timestamp_ns, EventInput input) {
  // A new time that the held inputs do not share starts a new episode; the old one was not confirmed.
  if (held_count_ > 0 &&
      std::abs(difference_ns(timestamp_ns, held_[held_count_ - 1].timestamp_ns)) > jump_limit_ns_) {
    drop_held();
  }
  if (held_count_ == 0) {
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "input far ahead of the data clock held back until other inputs confirm the new time. "
                       "Check the sender's clock.",
                       {"timestamp_ns", timestamp_ns}, {"newest_ns", buffer_.back().timestamp_ns},
                       {"limit_seconds", seconds_from_ns(jump_limit_ns_)});
  }
  ++counters_.held_back;
  held_[held_count_].timestamp_ns = timestamp_ns;
  held_[held_count_].input = std::move(input);
  if (++held_count_ < kConfirmInputs) {
    return false;
  }
  place_held();
  return true;
}

void FusionCore::place_held() {
  VELK_LOG(Info, kLogTarget, "data clock jumped forward; following it", {"from_ns", buffer_.back().timestamp_ns},
           {"to_ns", held_[0].timestamp_ns});
  std::array<std::size_t, kConfirmInputs> order{};
  for (std::size_t i = 0; i < kConfirmInputs; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return held_[a].timestamp_ns < held_[b].timestamp_ns; });
  held_count_ = 0;
  for (const std::size_t i : order) {
    place(held_[i].timestamp_ns, std::move(held_[i].input));
  }
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

// ---------------------------------------------------------------------------------------------------------
// Placing and applying events

void FusionCore::place(int64_t timestamp_ns, EventInput input) {
  if (too_late(timestamp_ns)) {
    return;
  }
  const std::size_t count = buffer_.size();
  const int64_t newest_ns = buffer_.back().timestamp_ns;
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

bool FusionCore::too_late(int64_t timestamp_ns) {
  if (timestamp_ns < buffer_.back().timestamp_ns && timestamp_ns <= buffer_.front().timestamp_ns) {
    ++counters_.too_late;
    VELK_LOG_THROTTLED(kTenSecondsNs, Warn, kLogTarget,
                       "measurement older than the replay buffer dropped. Raise replay_buffer_seconds, or cut "
                       "the source's latency.",
                       {"dropped", counters_.too_late}, {"replay_buffer_seconds", config_.replay_buffer_seconds});
    return true;
  }
  return false;
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

// ---------------------------------------------------------------------------------------------------------
// A diverged state

void FusionCore::recover(int64_t t_ns) {
  const InitialStds& stds = config_.initial_stds;
  if (!std::isfinite(stds.position) || !std::isfinite(stds.velocity) || !std::isfinite(stds.rotation) ||
      !std::isfinite(stds.bias)) {
    return;  // a fresh start would be just as non-finite; maybe_publish keeps warning
  }
  ++counters_.reinitialized;
  // The newest snapshot that is still finite (the event before the one that diverged), else the start.
  const FilterState* good = newest_finite_state();
  const Quaterniond attitude = good != nullptr ? Quaterniond(normalized_quaternion(good->orientation))
                                               : Quaterniond::Identity();
  const Vector3d position = good != nullptr ? good->position : Vector3d::Zero();
  // Biases that diverge again right after a restart are part of the problem: the second restart within
  // kRecoveryBackoffNs starts them from zero.
  const bool again = last_recovery_ns_ && difference_ns(t_ns, *last_recovery_ns_) < kRecoveryBackoffNs;
  std::vector<ImuBias> biases =
      good != nullptr && !again ? good->biases : std::vector<ImuBias>(config_.imus.size());
  const Vector3d velocity = good != nullptr && !again ? good->velocity : Vector3d::Zero();
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
  initialize(InitialState{t_ns, attitude, std::move(biases), velocity, "recovered"});
  filter_.state.position = position;
  snapshot(buffer_.back().snapshot);
  last_publish_ns_ = last_publish_ns;  // publishing goes on at its rate
}

const FilterState* FusionCore::newest_finite_state() const {
  for (std::size_t i = buffer_.size(); i-- > 0;) {
    if (state_finite(buffer_[i].snapshot.filter)) {
      return &buffer_[i].snapshot.filter;
    }
  }
  return nullptr;
}

}  // namespace velk_slam::odometry_fusion
