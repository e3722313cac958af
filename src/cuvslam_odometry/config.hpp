// Configuration of the visual odometry engine. Built once (from the Python dict or the defaults) and
// kept unchanged for the engine's life. No numeric field is range-checked: each consumer says what zero,
// negative and NaN values mean.
#pragma once

#include "tracker.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velk_slam::cuvslam_odometry {

inline constexpr std::string_view kLogTarget = "velk_slam::cuvslam_odometry";

// Per-sensor settings. The first entries of `cameras` also name the rig cameras in rig order.
struct CameraConfig {
  std::string frame_id;                  // optical frame; matched by exact equality
  bool rectified = true;                 // applies to the whole rig (first rig camera's value)
  double depth_units_per_meter = 1000.0; // raw depth units per metre (1000: millimetres)
  double depth_cloud_min_range = 0.0;    // metres
  double depth_cloud_max_range = 0.0;    // metres; 0 or less: no upper limit
  int64_t depth_cloud_decimation = 0;    // block edge in pixels; 0 and 1: every pixel
  bool provides_depth = false;           // multisensor: this rig camera's aligned depth is tracked
};

struct CuvslamOdometryConfig {
  std::string camera_mode = "stereo";  // "stereo", "mono", "rgbd" or "multisensor"
  std::vector<CameraConfig> cameras;
  bool use_gpu = true;                 // backend tried first; the other one is the fallback
  std::string odom_frame_id = "odom";
  std::string output_frame_id = "base_link";
  std::string rig_frame_id;            // empty: output_frame_id is the rig frame
  std::string map_frame_id = "map";    // kept; nothing depends on it
  double covariance_gate_translation_std = 0.0;  // metres; > 0 switches the gate on
  double speed_gate_max_linear = 0.0;            // m/s; > 0 switches this limit on
  double speed_gate_max_angular = 0.0;           // rad/s; > 0 switches this limit on
  bool enable_imu = false;
  double max_skew_ms = 0.0;  // > 0: limit on the stamp spread of a frame set; else 1 ms
  double imu_gap_seconds = 0.0;  // > 0 and finite: longest visual gap the IMU bridges; else the tracker's default
  int32_t tracker_threads = 0;   // threads the tracker works a frame set with: 0 one per core, 1 the caller's only
};

enum class Mode : uint8_t { Stereo, Mono, Rgbd, Multisensor };

// Exact, case-sensitive parse; nullopt for anything else.
std::optional<Mode> mode_from_str(std::string_view camera_mode);

// The tracking library's odometry mode for `mode`: stereo is inertial with enable_imu, multicamera without.
tracker::OdometryMode odometry_mode(Mode mode, bool enable_imu);

// The refusal text for a camera_mode that names no mode.
std::string bad_mode_message(std::string_view camera_mode);

// The checks the engine runs before accepting a configuration: the first failing rule's message, or
// nullopt when the configuration is accepted.
std::optional<std::string> validate(const CuvslamOdometryConfig& config);

// The frame-set stamp spread limit in nanoseconds: max_skew_ms × 1e6 rounded half away from zero when
// max_skew_ms > 0 (saturating at the int64 maximum), else 1 000 000 ns (0, negative and NaN alike).
int64_t skew_limit_ns(double max_skew_ms);

// The first `cameras` entry whose frame_id equals `frame_id`, or null.
const CameraConfig* find_camera_config(const CuvslamOdometryConfig& config, std::string_view frame_id);

}  // namespace velk_slam::cuvslam_odometry
