// The replay buffer: inputs as events in time order, each carrying a copy of the fusion state as it stood
// after the event was applied, so that a late input can be slotted in and everything after it re-applied.
#pragma once

#include "odometry_fusion/eskf.hpp"
#include "stamps.hpp"
#include "types.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <utility>
#include <variant>
#include <vector>

namespace velk_slam::odometry_fusion {

// Inverse-variance weights of one source on the blend path (no IMU configured).
struct SourceBlend {
  std::array<double, 6> weights{};  // 1 / variance for x, y, z, roll, pitch, yaw; 0 where the variance is 0
  OptionalStamp last_ns;            // stamp of the source's last measurement
};

// The run of consecutive refused updates that carried one source's rows (filter path), with what the
// source said meanwhile, so that a source shut out for good can be taken back at its own measurement.
struct SourceGate {
  uint64_t refused = 0;          // consecutive refused updates
  int64_t first_refused_ns = 0;  // stamp of the first of them
  OptionalStamp last_ns;         // stamp of the source's previous update
  Eigen::Vector3d last_position = Eigen::Vector3d::Zero();  // fused position after it, m
  // Odometry-frame displacement (m) that the refused linear twist rows imply beyond the fused motion.
  Eigen::Vector3d drift = Eigen::Vector3d::Zero();
  // Differential sources: the pose that the refused steps reach from the fused pose before the first.
  std::optional<Isometry> held;
};

// The frame of an absolute source found from its first poses: each one's odom_from_parent (yaw_aligned)
// summed over the source's first kAnchorSpan of data time, so that one noisy pose does not offset every
// later one.
struct AnchorAverage {
  uint64_t count = 0;
  int64_t first_ns = 0;
  double sin_sum = 0.0;  // of the heading turns
  double cos_sum = 0.0;
  Eigen::Vector3d translation_sum = Eigen::Vector3d::Zero();
};

// What FusionCore keeps besides the filter state and what events change.
struct CoreState {
  std::vector<std::optional<Isometry>> anchors;  // per source: fused pose at its last used measurement
  std::vector<SourceBlend> blend_records;        // per source
  // Per absolute source: odom_from_parent, given or fixed once its first poses are averaged.
  std::vector<std::optional<Isometry>> odom_from_parent;
  std::vector<AnchorAverage> anchor_averages;    // per source, while its odom_from_parent is unknown
  std::vector<SourceGate> gates;                 // per source
  int64_t last_imu_ns = 0;                       // stamp of the last applied IMU event
  Eigen::Vector3d last_omega = Eigen::Vector3d::Zero();  // its base-frame rate, rad/s
  std::size_t last_imu_index = 0;                        // its IMU
};

struct Snapshot {
  FilterState filter;
  CoreState core;
};

// An odometry estimate reduced to what the filter uses.
struct MeasurementInput {
  std::optional<Isometry> delta;  // motion since the source's previous usable pose, in its previous child frame
  std::optional<Isometry> absolute;  // pose of an absolute source in its parent frame (delta stays empty)
  std::size_t source = 0;
  std::array<double, 6> pose_variances{};   // x, y, z, roll, pitch, yaw; 0: not fused
  std::array<double, 6> twist_variances{};  // linear x, y, z, angular x, y, z; 0: not fused
  Eigen::Vector3d linear = Eigen::Vector3d::Zero();   // m/s, source child frame
  Eigen::Vector3d angular = Eigen::Vector3d::Zero();  // rad/s
  // Set once this event has taken its source back, so that a replay of it does not report that again.
  bool reset_reported = false;
};

// Marks the initialised state, so that the buffer is never empty afterwards.
struct SeedInput {};

// One IMU sample in the base frame.
struct ImuInput {
  std::size_t imu = 0;
  Eigen::Vector3d omega = Eigen::Vector3d::Zero();  // rad/s
  Eigen::Vector3d accel = Eigen::Vector3d::Zero();  // specific force at the base origin, m/s²
};

using EventInput = std::variant<MeasurementInput, SeedInput, ImuInput>;

struct Event {
  EventInput input;
  Snapshot snapshot;  // state after this event was applied
  int64_t timestamp_ns = 0;

  // Exchanges the heap storage of the two snapshots instead of copying it.
  friend void swap(Event& a, Event& b) noexcept {
    std::swap(a.input, b.input);
    std::swap(a.snapshot.filter.biases, b.snapshot.filter.biases);
    std::swap(a.snapshot.filter.position, b.snapshot.filter.position);
    std::swap(a.snapshot.filter.velocity, b.snapshot.filter.velocity);
    std::swap(a.snapshot.filter.orientation, b.snapshot.filter.orientation);
    a.snapshot.filter.covariance.swap(b.snapshot.filter.covariance);
    std::swap(a.snapshot.core, b.snapshot.core);
    std::swap(a.timestamp_ns, b.timestamp_ns);
  }
};

// A double-ended queue of events on a ring of recycled slots: a slot given back at the front keeps its
// allocated snapshot for the next event pushed at the back, so steady-state operation allocates nothing.
// Indices run from 0 (oldest) to size() − 1 (newest); out-of-range access throws std::out_of_range.
class ReplayBuffer {
 public:
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

  Event& operator[](std::size_t i) { return slots_[physical(checked(i))]; }
  const Event& operator[](std::size_t i) const { return slots_[physical(checked(i))]; }
  Event& front() { return (*this)[0]; }
  Event& back() { return (*this)[count_ - 1]; }
  const Event& front() const { return (*this)[0]; }
  const Event& back() const { return (*this)[count_ - 1]; }

  // A new slot at the back. Its input, stamp and snapshot hold whatever an earlier event left there.
  Event& push_back_slot() {
    if (count_ == slots_.size()) {
      grow();
    }
    ++count_;
    return back();
  }
  void pop_back() {
    checked(0);
    --count_;
  }
  void pop_front() {
    checked(0);
    head_ = physical(1);
    --count_;
  }

  // Moves the newest event to index i, the events from i on each moving one place towards the back.
  void move_back_to(std::size_t i) {
    checked(i);
    for (std::size_t j = count_ - 1; j > i; --j) {
      swap(slots_[physical(j)], slots_[physical(j - 1)]);
    }
  }

  // The first index among the oldest `count` events whose stamp is greater than t (count if none).
  std::size_t upper_bound(int64_t t, std::size_t count) const {
    std::size_t lo = 0;
    std::size_t hi = count;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if ((*this)[mid].timestamp_ns > t) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    return lo;
  }

 private:
  std::size_t checked(std::size_t i) const {
    if (i >= count_) {
      throw std::out_of_range("out of bounds access");
    }
    return i;
  }
  // slots_.size() is zero or a power of two.
  std::size_t physical(std::size_t i) const { return (head_ + i) & (slots_.size() - 1); }
  void grow() {
    std::vector<Event> larger(slots_.empty() ? std::size_t{64} : 2 * slots_.size());
    for (std::size_t i = 0; i < count_; ++i) {
      larger[i] = std::move(slots_[physical(i)]);
    }
    slots_ = std::move(larger);
    head_ = 0;
  }

  std::vector<Event> slots_;
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

}  // namespace velk_slam::odometry_fusion
