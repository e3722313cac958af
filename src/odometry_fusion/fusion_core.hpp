// FusionCore: fuses the samples of any number of IMUs with any number of odometry sources into one
// filtered estimate of the base frame in the odometry frame.
//
// Every input becomes an event in a time-ordered replay buffer that also holds the state after each event;
// a late input is inserted at its stamp and the events after it are applied again. The filter initialises
// once every IMU has seen enough still samples (or, without IMUs, at the first estimate of a configured
// source). With IMUs, sources correct the error-state filter through gated updates; without, their poses
// are blended by inverse-variance weights. Conditions met while running (unknown frames, late or gated
// inputs, non-finite samples, a diverged state) are counted and logged, never thrown.
//
// Configuration refusals: until the engine has initialised, every handle_imu call and (without IMUs)
// every handle_source call checks the configuration first; a refused configuration is returned to the
// caller as the check's message, the call has no other effect, and the next call reports it again.
// Broken internal invariants throw std::logic_error.
#pragma once

#include "odometry_fusion/config.hpp"
#include "odometry_fusion/eskf.hpp"
#include "odometry_fusion/replay_buffer.hpp"
#include "types.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk_slam::odometry_fusion {

inline constexpr std::string_view kLogTarget = "velk_slam::odometry_fusion";

// Counted from construction on, never reset.
struct Counters {
  uint64_t imu_samples = 0;   // samples of configured IMUs after initialisation (too-late ones included)
  uint64_t measurements = 0;  // estimates of configured sources after initialisation (too-late ones included)
  uint64_t gated = 0;         // filter updates refused by the gate or a singular S, replays included
  uint64_t replayed = 0;      // late insertions
  uint64_t too_late = 0;      // events older than the replay buffer, dropped
  uint64_t non_finite_imu = 0;   // samples of configured IMUs dropped for a NaN or infinite number
  uint64_t stale_poses = 0;      // source poses older than the source's newest one, left out
  uint64_t held_back = 0;        // inputs that jumped the data clock forward, held until others confirmed
  uint64_t buffer_overflow = 0;  // oldest events dropped because the replay buffer held too many
  uint64_t reinitialized = 0;    // re-initialisations after the state went non-finite
};

// Most events the replay buffer keeps, whatever their stamps: a driver that leaves its stamps constant
// would otherwise grow the buffer without bound (each event holds a copy of the covariance).
inline constexpr std::size_t kMaxReplayEvents = 10'000;

// Per-IMU bookkeeping that is not part of the filter state and not replayed.
struct ImuRuntime {
  Eigen::Vector3d gyro_sum = Eigen::Vector3d::Zero();   // base-frame rates of still samples (init only)
  Eigen::Vector3d accel_sum = Eigen::Vector3d::Zero();  // base-frame specific forces of still samples
  uint64_t count = 0;                                   // still samples summed
  Eigen::Vector3d previous_omega = Eigen::Vector3d::Zero();  // base-frame rate of the previous sample
  int64_t previous_ns = 0;                                   // its stamp; 0 = none yet
  Eigen::Vector3d angular_acceleration = Eigen::Vector3d::Zero();  // low-pass d(omega)/dt, rad/s²
};

class FusionCore {
 public:
  explicit FusionCore(OdometryFusionConfig config);

  // One IMU sample with the pose of the IMU in the base frame (base_from_imu; rotation unit). Returns the
  // configuration check's message while the engine is not initialised and the check refuses, else
  // nullopt. Samples from frames without an `imus` entry are dropped with a warning; samples with a
  // non-finite rate, acceleration or transform are dropped, counted in non_finite_imu and warned about.
  [[nodiscard]] std::optional<std::string> handle_imu(const ImuSample& sample, const Isometry& base_from_imu);

  // One estimate of an odometry source, matched to its `odom_sources` entry by (frame_id, child_frame_id).
  // Before initialisation it is ignored when IMUs are configured; without IMUs the configuration is checked
  // (returning its message on refusal) and the first estimate of a configured source initialises.
  [[nodiscard]] std::optional<std::string> handle_source(const OdometryEstimate& estimate);

  // The estimate of the newest event once a publish period has passed on the data clock since the last
  // publication (or initialisation); nullopt when not due, not initialised, or the state is unfit (the last
  // case warns).
  std::optional<OdometryEstimate> maybe_publish();

  // Logs the counters as one info event.
  void report() const;

  // Read access for tests and diagnostics.
  const Counters& counters() const { return counters_; }
  bool initialized() const { return initialized_; }
  const Filter& filter() const { return filter_; }
  const CoreState& core_state() const { return core_; }
  const ReplayBuffer& buffer() const { return buffer_; }
  const OdometryFusionConfig& config() const { return config_; }

 private:
  std::optional<std::string> check_config() const { return odometry_fusion::check_config(config_); }
  void initialize(int64_t t0_ns, const Eigen::Quaterniond& attitude, std::vector<ImuBias> biases);

  // Replay buffer (see the class comment). insert() first screens the stamp against the data clock: an
  // input more than jump_limit_ns_ ahead of the newest event is held back until kConfirmInputs such
  // inputs agree on the new time (then they are placed, and the clock follows), or dropped when an input
  // on the old clock arrives first. place() puts one event into the buffer and applies it.
  void insert(int64_t timestamp_ns, EventInput input);
  void place(int64_t timestamp_ns, EventInput input);
  void drop_held();
  // A state that went non-finite starts again from the newest finite snapshot at t_ns.
  void recover(int64_t t_ns);
  // Restores the state after event index − 1, then apply_and_store(index).
  void process_at(std::size_t index);
  // Applies event `index` to the live state and stores the result in its snapshot. The live state must
  // equal the snapshot of event index − 1: true right after that event was stored, and whenever a public
  // operation returns (the live state is then the back event's snapshot), so a restore would copy it onto
  // itself.
  void apply_and_store(std::size_t index);
  void snapshot(Snapshot& into) const;
  void restore(const Snapshot& from);
  void trim();

  // Applying one event.
  void apply_imu(const ImuInput& imu, int64_t t_ns);
  void apply_filter_measurement(const MeasurementInput& m);
  void apply_blend_measurement(const MeasurementInput& m, int64_t t_ns);

  // Measurement rows on the filter path.
  struct Rows {
    Eigen::MatrixXd jacobian;  // capacity rows × n; the first `count` rows are in use
    Eigen::VectorXd residual;
    Eigen::VectorXd variances;
    Eigen::Index count = 0;
  };
  // Index of a new zeroed jacobian row with this residual and variance.
  Eigen::Index add_row(double residual, double variance);
  void add_twist_rows(const Eigen::Vector3d& linear, const Eigen::Vector3d& angular,
                      const std::array<double, 6>& variances);
  bool update_rows();

  Isometry fused_pose() const;

  OdometryFusionConfig config_;
  int64_t replay_span_ns_ = 0;  // replay_buffer_seconds in ns
  int64_t jump_limit_ns_ = 0;   // a step of the data clock beyond this needs confirmation
  struct HeldInput {
    int64_t timestamp_ns = 0;
    EventInput input;
  };
  // Inputs that must agree on a new time before the data clock follows a jump: a recording resumed later
  // delivers them within milliseconds; a lone bad stamp is followed by inputs on the old clock instead.
  static constexpr std::size_t kConfirmInputs = 3;
  std::array<HeldInput, kConfirmInputs> held_{};  // a forward clock jump awaiting confirmation
  std::size_t held_count_ = 0;
  int64_t last_recovery_ns_ = 0;  // stamp of the last re-initialisation after a non-finite state
  Filter filter_;
  CoreState core_;
  std::vector<ImuRuntime> imu_runtime_;
  ReplayBuffer buffer_;
  // The newest usable raw pose of each source and its stamp; not replayed.
  struct SourcePose {
    Isometry pose;
    int64_t t_ns = 0;
  };
  std::vector<std::optional<SourcePose>> last_source_pose_;
  int64_t last_publish_ns_ = 0;
  Counters counters_;
  bool initialized_ = false;
  Rows rows_;
  std::vector<double> blend_scratch_;  // weights of the active sources, one dimension at a time
};

}  // namespace velk_slam::odometry_fusion
