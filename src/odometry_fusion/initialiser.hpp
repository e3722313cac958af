// Starting the filter with IMUs: before initialisation every IMU sample and every source twist goes to the
// Initialiser, which says when and how the filter starts. At rest it averages a window of still samples
// per IMU (gravity gives roll and pitch, the rest biases); in motion it follows a source's linear twist
// and takes gravity from the specific force less the motion the twist explains.
#pragma once

#include "odometry_fusion/config.hpp"
#include "odometry_fusion/eskf.hpp"
#include "odometry_fusion/replay_buffer.hpp"
#include "stamps.hpp"
#include "types.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace velk_slam::odometry_fusion {

struct Counters;

// How the filter starts: at t_ns with this attitude, these biases and this odometry-frame velocity.
// `mode` names the way in the log line: "still", "moving", "source" (no IMU) or "recovered" (after the
// state went non-finite).
struct InitialState {
  int64_t t_ns = 0;
  Eigen::Quaterniond attitude = Eigen::Quaterniond::Identity();
  std::vector<ImuBias> biases;
  Eigen::Vector3d velocity = Eigen::Vector3d::Zero();
  std::string_view mode;
};

class Initialiser {
 public:
  // `config` and `counters` must outlive the initialiser. A step of the data clock beyond jump_limit_ns
  // between two samples starts every collection again.
  Initialiser(const OdometryFusionConfig& config, Counters& counters, int64_t jump_limit_ns);

  // One sample of IMU imu.imu in the base frame; the state to start from once an initialisation at rest
  // or in motion is due, else nullopt.
  std::optional<InitialState> add_sample(const ImuInput& imu, int64_t t_ns);
  // One estimate of configured source s: its linear twist keeps the robot from counting as still, and
  // gives the velocity of an initialisation in motion.
  void note_twist(std::size_t s, const OdometryEstimate& estimate);

 private:
  // Still samples of one IMU since the last restart.
  struct StillWindow {
    Eigen::Vector3d gyro_sum = Eigen::Vector3d::Zero();   // base-frame rates
    Eigen::Vector3d accel_sum = Eigen::Vector3d::Zero();  // base-frame specific forces
    double accel_square_sum = 0.0;                        // their squared norms, for the spread
    uint64_t count = 0;
  };
  // A source's newest usable linear twist (base frame, components not fused set to 0) and its stamp.
  struct SourceTwist {
    Eigen::Vector3d linear = Eigen::Vector3d::Zero();
    int64_t t_ns = 0;
    bool usable = false;
  };
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

  // Starts every window again when t_ns lies past the clock-jump limit from the previous sample.
  void check_clock(int64_t t_ns);
  // Adds a still sample of IMU k; true once every IMU holds a full window of still samples with a steady
  // specific force. Fast rates and unsteady windows restart the collection of every IMU.
  bool collect_still(std::size_t k, const Eigen::Vector3d& omega, const Eigen::Vector3d& a, int64_t t_ns);
  bool turning(std::size_t k, const Eigen::Vector3d& omega, int64_t t_ns);
  void add_still(std::size_t k, const Eigen::Vector3d& omega, const Eigen::Vector3d& a, int64_t t_ns);
  bool windows_full() const;
  bool windows_steady(int64_t t_ns);
  void restart_still_collection(int64_t t_ns);
  InitialState at_rest(int64_t t_ns) const;

  // Follows the freshest source twist; the state of an initialisation in motion once one is due.
  std::optional<InitialState> collect_motion(const Eigen::Vector3d& omega, const Eigen::Vector3d& a, int64_t t_ns);
  std::optional<std::size_t> fresh_source(int64_t t_ns) const;
  bool motion_due(const SourceTwist& twist, int64_t t_ns) const;
  InitialState in_motion(const SourceTwist& twist, int64_t t_ns) const;

  // The steps of note_twist: the estimate's usable linear components, and the checks that a twist
  // jumping faster than the robot accelerates, or reporting motion, trigger.
  std::optional<SourceTwist> usable_twist(std::size_t s, const OdometryEstimate& estimate) const;
  void check_glitch(std::size_t s, const SourceTwist& twist, const OdometryEstimate& estimate);
  void check_speed(const SourceTwist& twist, const OdometryEstimate& estimate);

  const OdometryFusionConfig& config_;
  Counters& counters_;
  int64_t jump_limit_ns_ = 0;
  int64_t moving_after_ns_ = 0;  // init_moving_after_seconds in ns
  std::vector<StillWindow> still_;     // per IMU
  std::vector<SourceTwist> init_twist_;  // per source
  MotionWindow motion_;
  OptionalStamp first_imu_ns_;             // stamp of the first usable IMU sample
  OptionalStamp previous_init_sample_ns_;  // the IMU sample before this one
  OptionalStamp last_not_still_ns_;        // stamp of the last restart of the still collection
};

}  // namespace velk_slam::odometry_fusion
