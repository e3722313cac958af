// Configuration of the fusion engine. All quantities SI (m, s, rad, m/s²); six-element variance vectors
// are ordered x, y, z, roll, pitch, yaw for poses and linear x, y, z, angular x, y, z for twists.
// The engine copies the record once, at construction, and never changes it.
#pragma once

#include "types.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk_slam::odometry_fusion {

// One IMU whose samples are fused. Its position in OdometryFusionConfig::imus is its index everywhere in
// the engine, including its bias block in the filter.
struct ImuConfig {
  std::string frame_id;               // matched byte for byte against the sample's frame_id
  double gyro_noise_density = 0.0;    // rad/s/√Hz
  double gyro_random_walk = 0.0;      // rad/s²/√Hz
  double accel_noise_density = 0.0;   // m/s²/√Hz
  double accel_random_walk = 0.0;     // m/s³/√Hz
  int64_t init_samples = 200;         // still samples averaged before initialising; below 1 acts as 1
  double init_gyro_limit = 0.05;      // rad/s: largest rate that counts as holding still
  // m/s²: largest spread (root-mean-square deviation from the mean) of the specific force over a window of
  // init_samples that counts as holding still. Steady driving turns no gyro but shakes the accelerometer;
  // a robot at rest with its motors humming stays well below 0.4.
  double init_accel_limit = 0.4;
};

// One odometry source. An estimate belongs to it when its frame_id and child_frame_id equal these.
struct SourceConfig {
  std::string parent_frame_id;
  std::string child_frame_id;
  // A negative entry takes the estimate's own covariance diagonal; a value that is then not a finite
  // number ≥ 0 becomes 0, and a dimension of variance 0 is not fused.
  std::array<double, 6> pose_variances{};
  std::array<double, 6> twist_variances{};
  // true: each pose is fused as the motion since the source's previous pose (wheel or visual odometry).
  // false: each pose is an absolute measurement of the fused pose (an AHRS attitude, a map or GNSS pose):
  // its parent frame is tied to the odometry frame by a fixed transform, the mean over the source's first
  // second of usable poses (whose rows wait meanwhile), that turns about z only, so the source's roll and
  // pitch stay absolute.
  bool differential = true;
  // Absolute sources: the transform from the source's parent frame into the odometry frame, when known;
  // unset, it is taken from the source's first poses as above. Both frames are gravity aligned, so it may
  // turn about z only (check_config refuses a roll or pitch).
  std::optional<Isometry> odom_from_parent;
};

// Standard deviations of the initial error-state covariance.
struct InitialStds {
  double position = 0.1;   // m
  double velocity = 0.1;   // m/s
  double rotation = 0.05;  // rad; roll and pitch only after an initialisation from the IMU
  double bias = 0.01;      // rad/s for every gyro bias, m/s² for every accelerometer bias
  // The gyro biases' (rad/s) and the accelerometer biases' (m/s²) own spreads; a negative value or NaN
  // leaves them at `bias`. A still start measures the gyro bias well and the accelerometer bias hardly.
  double gyro_bias = -1.0;
  double accel_bias = -1.0;

  double gyro_bias_std() const { return gyro_bias >= 0.0 ? gyro_bias : bias; }
  double accel_bias_std() const { return accel_bias >= 0.0 ? accel_bias : bias; }
};

struct OdometryFusionConfig {
  std::string odom_frame_id = "odom";         // frame_id of every published estimate
  std::string output_frame_id = "base_link";  // child_frame_id of every published estimate
  double publish_rate = 100.0;                // Hz; below 1 (and NaN) acts as 1 Hz
  double replay_buffer_seconds = 0.5;         // s of data time kept for late measurements
  double outlier_rejection_allowed_variance = 25.0;  // gate per row; 0, negative or NaN: no gate
  double max_position_m = 0.0;                // m from the origin beyond which nothing is published; ≤ 0: no bound
  std::vector<ImuConfig> imus;                // empty: no IMU, sources are blended
  double initial_gravity_estimate = 9.8;      // m/s²
  InitialStds initial_stds;
  std::vector<SourceConfig> odom_sources;
  // Variances of the zero-twist pseudo-measurement rows (linear x, y, z, angular x, y, z); an entry that is
  // not a finite number above 0 adds no row.
  std::array<double, 6> per_dimension_error_variance{};
  // s of data time for which every update carrying a source's rows may be refused by the gate (at least
  // three times) before the source is taken back: the states it measures that disagree with it are reset
  // to its measurement and their covariance widened. 0, negative or NaN: never.
  double gate_recovery_seconds = 3.0;
  // s of data time after the first IMU sample after which, if the robot was not held still long enough to
  // initialise and a source reports a usable linear twist, the filter initialises in motion. 0, negative
  // or NaN: only ever initialise at rest.
  double init_moving_after_seconds = 2.0;
};

// The reason the engine cannot run with this configuration, or nullopt when it can. Checks, in order
// and stopping at the first failure: every source names both frames; every IMU names its frame, no two
// IMUs share a frame, every IMU gives all four noise figures above zero, and init_gyro_limit and
// init_accel_limit above zero. Before the IMUs: no source's odom_from_parent rolls or pitches.
std::optional<std::string> check_config(const OdometryFusionConfig& config);

// `text` in double quotes with quotes, backslashes and control characters escaped: "imu \"a\"\n" becomes
// "\"imu \\\"a\\\"\\n\"". Bytes that are not valid UTF-8 are written as \x escapes.
std::string quote_escaped(std::string_view text);

// `text` without the Unicode white space at either end. Invalid UTF-8 is kept as it is.
std::string_view trim_white_space(std::string_view text);

}  // namespace velk_slam::odometry_fusion
