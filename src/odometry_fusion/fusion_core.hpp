// FusionCore: fuses the samples of any number of IMUs with any number of odometry sources into one
// filtered estimate of the base frame in the odometry frame.
//
// Every input becomes an event in a time-ordered replay buffer that also holds the state after each event;
// a late input is inserted at its stamp and the events after it are applied again. The filter initialises
// once every IMU has seen enough still samples (or, without IMUs, at the first estimate of a configured
// source); a robot that does not hold still initialises in motion from a source's linear twist. With IMUs, sources correct the error-state filter through gated updates; without, their poses
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
#include "odometry_fusion/initialiser.hpp"
#include "odometry_fusion/replay_buffer.hpp"
#include "stamps.hpp"
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
  uint64_t gate_resets = 0;      // sources taken back after the gate refused them for gate_recovery_seconds
  // Before initialisation, what kept the robot from counting as still: IMU samples turning faster than
  // init_gyro_limit, windows of init_samples whose specific force spread beyond init_accel_limit, and
  // source estimates reporting a linear speed.
  uint64_t init_deferred_gyro = 0;
  uint64_t init_deferred_accel = 0;
  uint64_t init_deferred_moving = 0;
  // Before initialisation, source twists that changed faster than any robot accelerates (a driver's
  // start-up glitch), refused as the velocity of an initialisation in motion.
  uint64_t init_refused_twist = 0;
  uint64_t held_back = 0;        // inputs that jumped the data clock forward, held until others confirmed
  uint64_t buffer_overflow = 0;  // oldest events dropped because the replay buffer held too many
  uint64_t reinitialized = 0;    // re-initialisations after the state went non-finite

  // Calls f(name, value) for every counter, in report order. The one list of counter names: the report's
  // log line, counters() in Python and the names exported to Python all come from here.
  template <typename F>
  void for_each(F&& f) const {
    f("imu_samples", imu_samples);
    f("measurements", measurements);
    f("gated", gated);
    f("replayed", replayed);
    f("too_late", too_late);
    f("non_finite_imu", non_finite_imu);
    f("stale_poses", stale_poses);
    f("gate_resets", gate_resets);
    f("init_deferred_gyro", init_deferred_gyro);
    f("init_deferred_accel", init_deferred_accel);
    f("init_deferred_moving", init_deferred_moving);
    f("init_refused_twist", init_refused_twist);
    f("held_back", held_back);
    f("buffer_overflow", buffer_overflow);
    f("reinitialized", reinitialized);
  }
};

// Most events the replay buffer keeps, whatever their stamps: a driver that leaves its stamps constant
// would otherwise grow the buffer without bound (each event holds a copy of the covariance).
inline constexpr std::size_t kMaxReplayEvents = 10'000;

// Per-IMU bookkeeping that is not part of the filter state and not replayed: what the lever-arm
// correction of the next sample needs.
struct ImuRuntime {
  Eigen::Vector3d previous_omega = Eigen::Vector3d::Zero();  // base-frame rate of the previous sample
  OptionalStamp previous_ns;                                 // its stamp
  Eigen::Vector3d angular_acceleration = Eigen::Vector3d::Zero();  // low-pass d(omega)/dt, rad/s²
};

class FusionCore {
 public:
  explicit FusionCore(OdometryFusionConfig config);
  // Its initialiser refers to its configuration and counters: neither copied nor moved.
  FusionCore(const FusionCore&) = delete;
  FusionCore& operator=(const FusionCore&) = delete;

  // One IMU sample with the pose of the IMU in the base frame (base_from_imu; rotation unit). Returns the
  // configuration check's message while the engine is not initialised and the check refuses, else
  // nullopt. Samples from frames without an `imus` entry are dropped with a warning; samples with a
  // non-finite rate, acceleration or transform are dropped, counted in non_finite_imu and warned about.
  [[nodiscard]] std::optional<std::string> handle_imu(const ImuSample& sample, const Isometry& base_from_imu);

  // One estimate of an odometry source, matched to its `odom_sources` entry by (frame_id, child_frame_id).
  // Before initialisation, when IMUs are configured, only its linear twist is read (motion keeps the robot
  // from counting as still, and gives the velocity of an initialisation in motion); without IMUs the
  // configuration is checked (returning its message on refusal) and the first estimate of a configured
  // source initialises.
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
  const ErrorStateFilter& filter() const { return filter_; }
  const CoreState& core_state() const { return core_; }
  const ReplayBuffer& buffer() const { return buffer_; }
  const OdometryFusionConfig& config() const { return config_; }

 private:
  std::optional<std::string> check_config() const { return odometry_fusion::check_config(config_); }
  // Starts the filter from `start`: covariance from the initial standard deviations, a fresh core state,
  // and the seed event of the replay buffer.
  void initialize(InitialState start);
  void start_filter(InitialState start);
  void reset_core_state(int64_t t0_ns);

  // The steps of handle_imu: the sample's IMU index (unknown frames warn); the sample in the base frame,
  // lever arm removed (non-finite samples are counted, warned about and give nullopt).
  std::optional<std::size_t> configured_imu(const ImuSample& sample) const;
  std::optional<ImuInput> to_base_frame(std::size_t k, const ImuSample& sample, const Isometry& base_from_imu);
  void count_non_finite(const ImuSample& sample);

  // The steps of handle_source: the estimate's source index, and the estimate reduced to what the filter
  // uses (its step since the source's previous pose, or its absolute pose; stale poses are counted).
  std::optional<std::size_t> configured_source(const OdometryEstimate& estimate) const;
  void warn_unconfigured(const OdometryEstimate& estimate) const;
  MeasurementInput measurement_from(std::size_t s, const OdometryEstimate& estimate);
  // Sets m's delta (or absolute pose) from the estimate's pose, and makes the pose the source's newest.
  void take_pose(MeasurementInput& m, const SourceConfig& source, const OdometryEstimate& estimate);

  // The steps of maybe_publish (publish.cpp): whether a publish period has passed (starting the next one if so),
  // whether the state may be published (warns if not), and the estimate of one event's snapshot.
  bool publication_due(int64_t t_ns);
  bool publishable(const FilterState& x) const;
  OdometryEstimate estimate_of(const Event& event) const;

  // Replay buffer (replay.cpp; see the class comment). insert() first screens the stamp against the data clock: an
  // input more than jump_limit_ns_ ahead of the newest event is held back until kConfirmInputs such
  // inputs agree on the new time (then they are placed, and the clock follows), or dropped when an input
  // on the old clock arrives first. place() puts one event into the buffer and applies it.
  void insert(int64_t timestamp_ns, EventInput input);
  // The far-ahead branch of insert: holds the input, and places every held input once kConfirmInputs agree
  // (true), else returns false with nothing placed.
  bool hold_until_confirmed(int64_t timestamp_ns, EventInput input);
  void place_held();
  void place(int64_t timestamp_ns, EventInput input);
  // Whether an input stamped timestamp_ns is older than the buffer (counted and warned about if so).
  bool too_late(int64_t timestamp_ns);
  void drop_held();
  // A state that went non-finite starts again from the newest finite snapshot at t_ns.
  void recover(int64_t t_ns);
  const FilterState* newest_finite_state() const;
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

  // Applying one event: the IMU here, a measurement on the filter in measurement.cpp.
  void apply_imu(const ImuInput& imu, int64_t t_ns);
  void apply_filter_measurement(MeasurementInput& m, int64_t t_ns);
  // The pose that the pose rows of m measure, if any: an absolute source's pose carried into the
  // odometry frame (once its anchor average is complete), or a differential source's anchor moved by its
  // step.
  std::optional<Isometry> measured_pose(const MeasurementInput& m, int64_t t_ns);
  // Adds one pose of an absolute source to its running average; the averaged odom_from_parent once its
  // poses span a second of data time, nothing before.
  std::optional<Isometry> averaged_anchor(AnchorAverage& average, const Isometry& absolute, int64_t t_ns) const;
  // The zero-motion pseudo-measurement: twist rows of zero with per_dimension_error_variance.
  void apply_zero_motion();

  // The no-IMU path (blend.cpp): each source pulls the pose towards its own target by its share of the weights.
  void apply_blend_measurement(const MeasurementInput& m, int64_t t_ns);
  // The pose that m's motion starts from; nullopt when m only anchors its source.
  std::optional<Isometry> blend_base(const MeasurementInput& m, const OptionalStamp& previous_ns, int64_t cutoff_ns);
  // Per dimension, the share of `blend` in the weights of the sources active since cutoff_ns.
  std::array<double, 6> blend_fractions(const SourceBlend& blend, int64_t cutoff_ns);
  void move_toward(const Isometry& target, const std::array<double, 6>& fraction);

  // Measurement rows on the filter path (measurement.cpp).
  struct Rows {
    Eigen::MatrixXd jacobian;  // capacity rows × n; the first `count` rows are in use
    Eigen::VectorXd residual;
    Eigen::VectorXd variances;
    Eigen::Index count = 0;
  };
  // Empties the rows, sized for the current state.
  void clear_rows();
  // Index of a new zeroed jacobian row with this residual and variance.
  Eigen::Index add_row(double residual, double variance);
  void add_pose_rows(const Isometry& measured, const std::array<double, 6>& variances);
  void add_twist_rows(const Eigen::Vector3d& linear, const Eigen::Vector3d& angular,
                      const std::array<double, 6>& variances);
  // `source` names the frames in the refusal warning; nullptr for the zero-motion rows.
  bool update_rows(const SourceConfig* source);
  void log_refused_rows(const SourceConfig* source) const;
  void warn_refused(const SourceConfig* source) const;

  // Gate recovery (gate_recovery.cpp): follows the run of refused updates of m's source and, once it spans more than
  // gate_recovery_seconds, resets the states the source measures to its measurement (`measured`: its pose
  // rows' pose) and widens their covariance.
  void track_refusals(MeasurementInput& m, const std::optional<Isometry>& measured, bool accepted, int64_t t_ns);
  void count_refusal(SourceGate& gate, const MeasurementInput& m, const std::optional<Isometry>& measured,
                     int64_t t_ns);
  // Adds to gate.drift the displacement the refused linear twist implies beyond the fused motion since
  // the source's previous update (at previous_ns, where the fused position was previous_position).
  void add_drift(SourceGate& gate, const MeasurementInput& m, const OptionalStamp& previous_ns,
                 const Eigen::Vector3d& previous_position, int64_t t_ns) const;
  void report_take_back(MeasurementInput& m, uint64_t refused, int64_t refused_ns, double moved_m);
  void take_back(const MeasurementInput& m, const std::optional<Isometry>& measured, const SourceGate& gate);

  Isometry fused_pose() const;

  OdometryFusionConfig config_;
  int64_t replay_span_ns_ = 0;  // replay_buffer_seconds in ns
  int64_t gate_recovery_ns_ = 0;  // gate_recovery_seconds in ns
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
  OptionalStamp last_recovery_ns_;  // stamp of the last re-initialisation after a non-finite state
  ErrorStateFilter filter_;
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
  Initialiser initialiser_;  // before initialisation only
  bool initialized_ = false;
  Rows rows_;
  std::vector<double> blend_scratch_;  // weights of the active sources, one dimension at a time
};

}  // namespace velk_slam::odometry_fusion
