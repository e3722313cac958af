// Tracker: the visual odometry engine's only handle on the camera-tracking library. It validates the
// construction options against the rig, converts records into the flat records of the C shim
// (cuv_tracker.h), owns the library object, and turns every failure into a message string. Nothing here
// throws.
#pragma once

#include "cuv_tracker.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace velk_slam::tracker {

// Odometry mode codes of the library.
inline constexpr uint8_t kModeMulticamera = 0;  // stereo, no IMU
inline constexpr uint8_t kModeInertial = 1;     // stereo with IMU
inline constexpr uint8_t kModeRgbd = 2;
inline constexpr uint8_t kModeMono = 3;
inline constexpr uint8_t kModeMultisensor = 4;

// ImageRef codes.
inline constexpr uint8_t kEncodingMono = 0;
inline constexpr uint8_t kEncodingColor = 1;
inline constexpr uint8_t kDataU8 = 0;
inline constexpr uint8_t kDataU16 = 1;
inline constexpr uint8_t kDataF32 = 2;

inline constexpr uint8_t kDistortionNone = 0;
inline constexpr uint8_t kDistortionBrown = 2;

// One rig camera; its position in the list is its index in the rig.
struct CameraParams {
  std::array<int32_t, 2> size{0, 0};       // width, height in pixels
  std::array<float, 2> principal{0.f, 0.f};  // cx, cy in pixels
  std::array<float, 2> focal{0.f, 0.f};      // fx, fy in pixels
  std::array<float, 4> rotation{0.f, 0.f, 0.f, 1.f};  // rig_from_camera (x, y, z, w)
  std::array<float, 3> translation{0.f, 0.f, 0.f};    // rig_from_camera, metres
  uint8_t distortion_model = kDistortionNone;
  std::vector<float> distortion;  // Brown: k1, k2, k3, p1, p2
};

using ImuCalibration = CuvImuCalibration;
using CuvImuMeasurement = ::CuvImuMeasurement;

struct TrackerOptions {
  uint8_t odometry_mode = kModeMulticamera;
  bool use_gpu = true;
  bool rectified = false;
  float rgbd_depth_scale_factor = 1.f;
  int32_t rgbd_depth_camera_id = -1;
  float multisensor_depth_scale_factor = 1.f;
  bool spare = false;
  float imu_gap_seconds = 0.f;  // longest visual gap the IMU bridges; 0 or less, or NaN: the tracker's default
  int32_t threads = 0;          // threads per frame set: 0 one per core, 1 the caller's thread only
};

// One image handed to tracking; borrows its pixels (tightly packed rows) for the call.
struct ImageRef {
  std::span<const uint8_t> pixels;
  int64_t timestamp_ns = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t camera_index = 0;
  uint8_t encoding = kEncodingMono;
  uint8_t data_type = kDataU8;
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
  // Validates the options against the rig (messages in the order of the checks) and builds the library
  // object. Returns the tracker, or the first failing rule's message, or the library's message.
  static std::variant<Tracker, std::string> create(std::span<const CameraParams> cameras,
                                                   const std::optional<ImuCalibration>& imu,
                                                   std::span<const int32_t> depth_camera_ids,
                                                   const TrackerOptions& options);

  Tracker(Tracker&& other) noexcept;
  Tracker& operator=(Tracker&& other) noexcept;
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;
  ~Tracker();

  // One tracking step over one image per rig camera and any aligned depth images.
  TrackOutcome track(std::span<const ImageRef> images, std::span<const ImageRef> depths);

  // Hands one IMU sample to the library; nullopt on success, else the message. Modes other than 1 and 4
  // are refused without calling the library.
  std::optional<std::string> register_imu(const CuvImuMeasurement& measurement);

  uint8_t odometry_mode() const { return mode_; }

 private:
  Tracker(CuvTracker* handle, uint8_t mode) : handle_(handle), mode_(mode) {}

  CuvTracker* handle_ = nullptr;
  uint8_t mode_ = kModeMulticamera;
};

// Shortest decimal that reads back to the same value, never with an exponent: 0, -1.5, NaN, inf, -inf.
std::string format_number(float value);
std::string format_number(double value);

// Reads a NUL-terminated message buffer of at most `size` bytes, replacing invalid UTF-8 with U+FFFD.
std::string read_message(const char* buffer, size_t size);

}  // namespace velk_slam::tracker
