#include "cuvslam_odometry/config.hpp"

#include "stamps.hpp"

namespace velk_slam::cuvslam_odometry {

std::optional<Mode> mode_from_str(std::string_view camera_mode) {
  if (camera_mode == "stereo") return Mode::Stereo;
  if (camera_mode == "mono") return Mode::Mono;
  if (camera_mode == "rgbd") return Mode::Rgbd;
  if (camera_mode == "multisensor") return Mode::Multisensor;
  return std::nullopt;
}

tracker::OdometryMode odometry_mode(Mode mode, bool enable_imu) {
  switch (mode) {
    case Mode::Stereo:
      return enable_imu ? tracker::OdometryMode::Inertial : tracker::OdometryMode::Multicamera;
    case Mode::Rgbd:
      return tracker::OdometryMode::RGBD;
    case Mode::Mono:
      return tracker::OdometryMode::Mono;
    case Mode::Multisensor:
      break;
  }
  return tracker::OdometryMode::Multisensor;
}

std::string bad_mode_message(std::string_view camera_mode) {
  return "config: camera_mode must be 'stereo', 'mono', 'rgbd' or 'multisensor', got '" + std::string(camera_mode) +
         "'";
}

std::optional<std::string> validate(const CuvslamOdometryConfig& config) {
  const std::optional<Mode> mode = mode_from_str(config.camera_mode);
  if (!mode.has_value()) {
    return bad_mode_message(config.camera_mode);
  }
  if (*mode == Mode::Multisensor) {
    if (config.cameras.empty()) {
      return std::string("config: camera_mode 'multisensor' requires `cameras` to list the rig");
    }
    return std::nullopt;
  }
  const size_t needed = tracker::minimum_cameras(odometry_mode(*mode, config.enable_imu), 0);
  if (!config.cameras.empty() && config.cameras.size() < needed) {
    return "config: camera_mode '" + config.camera_mode + "' needs " + std::to_string(needed) +
           " rig cameras but `cameras` lists " + std::to_string(config.cameras.size()) +
           "; the rig comes first in the list";
  }
  if (config.tracker_threads < 0 || config.tracker_threads > 256) {
    return "config: tracker_threads must lie in 0 (one per core) ... 256, got " + std::to_string(config.tracker_threads);
  }
  if ((*mode == Mode::Mono || *mode == Mode::Rgbd) && config.enable_imu) {
    return "config: enable_imu requires camera_mode 'stereo' or 'multisensor'; cuVSLAM has no inertial " +
           config.camera_mode + " mode";
  }
  return std::nullopt;
}

int64_t skew_limit_ns(double max_skew_ms) {
  constexpr int64_t kDefaultLimitNs = 1'000'000;
  if (!(max_skew_ms > 0.0)) {
    return kDefaultLimitNs;
  }
  return ns_from_milliseconds(max_skew_ms);
}

const CameraConfig* find_camera_config(const CuvslamOdometryConfig& config, std::string_view frame_id) {
  for (const CameraConfig& entry : config.cameras) {
    if (entry.frame_id == frame_id) {
      return &entry;
    }
  }
  return nullptr;
}

}  // namespace velk_slam::cuvslam_odometry
