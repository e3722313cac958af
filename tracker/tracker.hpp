// Tracker: the visual odometry engine's only handle on the camera-tracking library (cuvslam/cuvslam.h). It
// validates the rig and configuration, owns the library object, turns the engine's images into the
// library's, and turns every failure into a message string. Nothing here throws.
#pragma once

#include "cuvslam/cuvslam.h"
#include "types.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace velk_slam::tracker {

using OdometryMode = cuvslam::Odometry::OdometryMode;

// Fewest rig cameras `mode` tracks with: two for stereo (with or without an IMU), one for RGB-D and mono;
// multisensor takes one when some camera provides depth (depth_camera_count > 0), else two.
size_t minimum_cameras(OdometryMode mode, size_t depth_camera_count);

// One depth image of a frame set, aligned with rig camera `camera`. The library reads the frame's 16-bit
// units, or, when `metres` is given, those samples converted to float metres (tightly packed).
struct DepthImage {
  const ImageFrame* frame = nullptr;
  uint32_t camera = 0;
  const std::vector<float>* metres = nullptr;
};

// The result of one tracking call.
struct TrackOutcome {
  enum class Kind { Failed, NoPose, Pose };
  Kind kind = Kind::Failed;
  std::string message;                                  // Failed
  int64_t timestamp_ns = 0;                             // NoPose, Pose
  std::array<float, 4> rotation{0.f, 0.f, 0.f, 1.f};    // Pose: world_from_rig (x, y, z, w), as returned
  std::array<float, 3> translation{0.f, 0.f, 0.f};      // Pose: metres
  std::array<double, 36> covariance{};                  // Pose: the library's values, its order

  static TrackOutcome failed(std::string message);
};

// Owns one library object. Move-only; destroying it destroys the library object.
class Tracker {
 public:
  // Validates the configuration against the rig (messages in the order of the checks) and builds the
  // library object. Returns the tracker, or the first failing rule's message, or the library's message
  // (cut to 511 bytes, ill-formed UTF-8 replaced by U+FFFD).
  static std::variant<Tracker, std::string> create(const cuvslam::Rig& rig, const cuvslam::Odometry::Config& config);

  // One tracking step over a frame set stamped stamp_ns: images[i] is rig camera i's image in tightly
  // packed 8-bit rows (mono8 read as one channel, every other encoding as three), depths the set's depth
  // images. An image whose bytes are fewer than its size needs fails the step before the library reads it.
  TrackOutcome track(int64_t stamp_ns, std::span<const ImageFrame* const> images, std::span<const DepthImage> depths);

  // Hands one IMU sample to the library; nullopt on success, else the message. Modes other than 1 and 4
  // are refused without calling the library.
  std::optional<std::string> register_imu(const cuvslam::ImuMeasurement& measurement);

  OdometryMode odometry_mode() const { return mode_; }

 private:
  Tracker(std::unique_ptr<cuvslam::Odometry> odometry, OdometryMode mode) : odometry_(std::move(odometry)), mode_(mode) {}

  std::unique_ptr<cuvslam::Odometry> odometry_;
  OdometryMode mode_ = OdometryMode::Multicamera;
};

}  // namespace velk_slam::tracker
