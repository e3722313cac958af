// A scripted stand-in for the camera-tracking library (same interface as cuvslam/cuvslam.h). Tests set
// per-call outcomes before driving the engine and read back what the library was given.
#pragma once

#include "cuvslam/cuvslam.h"

#include <array>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace cuvslam_double {

// What one Track call does.
struct Outcome {
  enum class Kind { Pose, NoPose, Throw };
  Kind kind = Kind::Pose;
  cuvslam::Pose pose;                     // world_from_rig
  std::array<float, 36> covariance{};     // row-major
  std::optional<int64_t> timestamp_ns;    // default: the stamp of the first image
  std::string message;                    // Throw

  static Outcome pose_at(std::array<float, 3> translation, std::array<float, 4> rotation = {0, 0, 0, 1},
                         float variance = 0.f);
  static Outcome no_pose() { return with(Kind::NoPose, ""); }
  static Outcome failure(std::string message) { return with(Kind::Throw, std::move(message)); }
  static Outcome with(Kind kind, std::string message) {
    Outcome o;
    o.kind = kind;
    o.message = std::move(message);
    return o;
  }
};

// A copy of one image as the library saw it.
struct SeenImage {
  cuvslam::Image header;
  std::vector<uint8_t> bytes;  // width × height × channels × sample bytes, tightly packed
};

struct TrackCall {
  std::vector<SeenImage> images;
  std::vector<SeenImage> depths;
  size_t imu_before = 0;  // IMU samples registered before this call
};

struct Script {
  // Construction: a message makes construction with that backend throw it.
  std::optional<std::string> fail_gpu;
  std::optional<std::string> fail_cpu;
  bool fail_unknown = false;  // throw something that is not a std::exception
  // Per Track call, front first; when empty, an identity pose with zero covariance.
  std::deque<Outcome> outcomes;
  // RegisterImuMeasurement throws this message when set.
  std::optional<std::string> imu_failure;

  // Records.
  std::vector<std::pair<cuvslam::Rig, cuvslam::Odometry::Config>> constructions;  // attempts, failed ones too
  std::vector<TrackCall> tracks;
  std::vector<cuvslam::ImuMeasurement> imu;
  int live = 0;  // library objects alive
};

// The one script of the process; reset() restores the defaults and clears the records.
Script& script();
void reset();

}  // namespace cuvslam_double
