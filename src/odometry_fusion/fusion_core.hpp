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

// Per-IMU bookkeeping that is not part of the filter state and not replayed.
struct ImuRuntime {
  Eigen::Vector3d gyro_sum = Eigen::Vector3d::Zero();   // base-frame rates of still samples (init only)
  Eigen::Vector3d accel_sum = Eigen::Vector3d::Zero();  // base-frame specific forces of still samples
  double accel_square_sum = 0.0;                        // their squared norms, for the spread
  uint64_t count = 0;                                   // still samples summed
  Eigen::Vector3d previous_omega = Eigen::Vector3d::Zero();  // base-frame rate of the previous sample
  OptionalStamp previous_ns;                                 // its stamp
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
  // `mode` names the way the filter started in the log line: "still", "moving", "source" (no IMU) or
  // "recovered" (after the state went non-finite).
  void initialize(int64_t t0_ns, const Eigen::Quaterniond& attitude, std::vector<ImuBias> biases,
                  const Eigen::Vector3d& velocity, std::string_view mode);

  // The steps of handle_imu: the sample's IMU index (unknown frames warn); the sample in the base frame,
  // lever arm removed (non-finite samples are counted, warned about and give nullopt); before
  // initialisation, the collections that start the filter at rest or in motion.
  std::optional<std::size_t> configured_imu(const ImuSample& sample) const;
  std::optional<ImuInput> to_base_frame(std::size_t k, const ImuSample& sample, const Isometry& base_from_imu);
  void collect_for_init(const ImuInput& imu, int64_t t_ns);
  // Starts the filter from the still windows of every IMU: gravity gives roll and pitch, the rest biases.
  void initialize_at_rest(int64_t t_ns);

  // The steps of handle_source: the estimate's source index, and the estimate reduced to what the filter
  // uses (its step since the source's previous pose, or its absolute pose; stale poses are counted).
  std::optional<std::size_t> configured_source(const OdometryEstimate& estimate) const;
  MeasurementInput measurement_from(std::size_t s, const OdometryEstimate& estimate);

  // The steps of maybe_publish: whether a publish period has passed (starting the next one if so),
  // whether the state may be published (warns if not), and the estimate of one event's snapshot.
  bool publication_due(int64_t t_ns);
  bool publishable(const FilterState& x) const;
  OdometryEstimate estimate_of(const Event& event) const;

  // Initialisation helpers (before initialize only).
  // Adds a still sample of IMU k; true once every IMU holds a full window of still samples with a steady
  // specific force. Fast rates and unsteady windows restart the collection of every IMU.
  bool collect_still(std::size_t k, const Eigen::Vector3d& omega, const Eigen::Vector3d& a, int64_t t_ns);
  void restart_still_collection(int64_t t_ns);
  // Follows the freshest source twist for an initialisation in motion, and starts one when it is due.
  void collect_motion(const Eigen::Vector3d& omega, const Eigen::Vector3d& a, int64_t t_ns);
  void note_twist_before_init(const OdometryEstimate& estimate);

  // Replay buffer (see the class comment). insert() first screens the stamp against the data clock: an
  // input more than jump_limit_ns_ ahead of the newest event is held back until kConfirmInputs such
  // inputs agree on the new time (then they are placed, and the clock follows), or dropped when an input
  // on the old clock arrives first. place() puts one event into the buffer and applies it.
  void insert(int64_t timestamp_ns, EventInput input);
  // The far-ahead branch of insert: holds the input, and places every held input once kConfirmInputs agree
  // (true), else returns false with nothing placed.
  bool hold_until_confirmed(int64_t timestamp_ns, EventInput input);
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
  void apply_filter_measurement(MeasurementInput& m, int64_t t_ns);
  // Adds one pose of an absolute source to its running average; the averaged odom_from_parent once its
  // poses span a second of data time, nothing before.
  std::optional<Isometry> averaged_anchor(AnchorAverage& average, const Isometry& absolute, int64_t t_ns) const;
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
  void add_pose_rows(const Isometry& measured, const std::array<double, 6>& variances);
  void add_twist_rows(const Eigen::Vector3d& linear, const Eigen::Vector3d& angular,
                      const std::array<double, 6>& variances);
  // `source` names the frames in the refusal warning; nullptr for the zero-motion rows.
  bool update_rows(const SourceConfig* source);

  // Gate recovery: follows the run of refused updates of m's source and, once it spans more than
  // gate_recovery_seconds, resets the states the source measures to its measurement (`measured`: its pose
  // rows' pose) and widens their covariance.
  void track_refusals(MeasurementInput& m, const std::optional<Isometry>& measured, bool accepted, int64_t t_ns);
  void take_back(const MeasurementInput& m, const std::optional<Isometry>& measured, const SourceGate& gate);

  Isometry fused_pose() const;

  OdometryFusionConfig config_;
  int64_t replay_span_ns_ = 0;  // replay_buffer_seconds in ns
  int64_t gate_recovery_ns_ = 0;        // gate_recovery_seconds in ns
  int64_t init_moving_after_ns_ = 0;    // init_moving_after_seconds in ns
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

  // Before initialisation, not replayed: each source's newest usable linear twist (base frame, components
  // not fused set to 0) and its stamp.
  struct SourceTwist {
    Eigen::Vector3d linear = Eigen::Vector3d::Zero();
    int64_t t_ns = 0;
    bool usable = false;
  };
  std::vector<SourceTwist> init_twist_;
  // Samples of every IMU since the followed source's twist became fresh, with that twist's value then:
  // their means give gravity in base axes while the robot moves.
  struct MotionWindow {
    std::optional<std::size_t> source;
    int64_t start_twist_ns = 0;
    Eigen::Vector3d start_velocity = Eigen::Vector3d::Zero();
    Eigen::Vector3d force_sum = Eigen::Vector3d::Zero();      // Σ f
    Eigen::Vector3d transport_sum = Eigen::Vector3d::Zero();  // Σ ω × v_b
    uint64_t count = 0;
  };
  MotionWindow motion_;
  OptionalStamp first_imu_ns_;       // stamp of the first usable IMU sample
  OptionalStamp previous_init_sample_ns_;  // the IMU sample before this one, until initialised
  OptionalStamp last_not_still_ns_;  // stamp of the last restart of the still collection
  int64_t last_publish_ns_ = 0;
  Counters counters_;
  bool initialized_ = false;
  Rows rows_;
  std::vector<double> blend_scratch_;  // weights of the active sources, one dimension at a time
};

}  // namespace velk_slam::odometry_fusion
