// The camera-tracking library interface that the tracker binding drives. This build ships a CPU
// implementation, velk_track (velk_track/*.cpp); the engine's C++ tests link a scripted double instead.
//
// Conventions:
//   - quaternions (x, y, z, w), Hamilton products; poses name target-from-source (rig_from_camera);
//   - camera frames are optical frames: x right, y down, z forward;
//   - the world frame is the rig frame at the first tracked frame set;
//   - pose covariance is 6 x 6 row-major in the order x, y, z, roll, pitch, yaw (translation in metres,
//     rotation in radians, as a small rotation error applied on the right of the pose);
//   - stamps are int64_t nanoseconds.
// Every failure is thrown as an exception derived from std::exception whose what() says what is wrong.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace cuvslam {

struct Pose {
  std::array<float, 4> rotation{0.f, 0.f, 0.f, 1.f};  // x, y, z, w
  std::array<float, 3> translation{0.f, 0.f, 0.f};    // metres
};

struct Distortion {
  enum class Model : uint8_t { Pinhole = 0, Brown = 2 };
  Model model = Model::Pinhole;
  std::vector<float> parameters;  // Brown: k1, k2, k3, p1, p2
};

struct Camera {
  std::array<int32_t, 2> size{0, 0};          // width, height in pixels
  std::array<float, 2> principal{0.f, 0.f};   // cx, cy in pixels
  std::array<float, 2> focal{0.f, 0.f};       // fx, fy in pixels
  Pose rig_from_camera;
  Distortion distortion;
  int32_t border_top = 0;  // rows or columns at the image edges that carry no usable pixels
  int32_t border_bottom = 0;
  int32_t border_left = 0;
  int32_t border_right = 0;
};

struct ImuCalibration {
  Pose rig_from_imu;
  float gyroscope_noise_density = 0.f;      // rad/s/√Hz
  float gyroscope_random_walk = 0.f;        // rad/s²/√Hz
  float accelerometer_noise_density = 0.f;  // m/s²/√Hz
  float accelerometer_random_walk = 0.f;    // m/s³/√Hz
  float frequency = 0.f;                    // Hz
};

struct Rig {
  std::vector<Camera> cameras;       // position in the list is the camera index
  std::vector<ImuCalibration> imus;  // at most one
};

struct Image {
  enum class Encoding : uint8_t { Mono = 0, RGB = 1 };
  enum class DataType : uint8_t { UInt8 = 0, UInt16 = 1, Float32 = 2 };

  const void* pixels = nullptr;  // borrowed for the duration of the Track call
  int64_t timestamp_ns = 0;
  int32_t width = 0;
  int32_t height = 0;
  int32_t pitch = 0;  // bytes per row; 0 means tightly packed
  uint32_t camera_index = 0;
  Encoding encoding = Encoding::Mono;
  DataType data_type = DataType::UInt8;  // camera images 8-bit; depth 16-bit units or 32-bit float metres
  bool is_gpu_mem = false;               // this build reads host memory only
};

struct ImuMeasurement {
  int64_t timestamp_ns = 0;
  std::array<float, 3> linear_accelerations{0.f, 0.f, 0.f};  // m/s², IMU frame
  std::array<float, 3> angular_velocities{0.f, 0.f, 0.f};    // rad/s, IMU frame
};

struct PoseWithCovariance {
  Pose pose;                          // world_from_rig
  std::array<float, 36> covariance{};  // row-major, order x, y, z, roll, pitch, yaw
};

struct PoseEstimate {
  int64_t timestamp_ns = 0;
  std::optional<PoseWithCovariance> world_from_rig;  // absent while tracking is lost or not started
};

class Odometry {
 public:
  enum class OdometryMode : uint8_t {
    Multicamera = 0,  // two or more cameras (stereo), no IMU
    Inertial = 1,     // stereo with one IMU
    RGBD = 2,         // one camera with aligned depth
    Mono = 3,         // one camera: translation up to an unknown but consistent scale, fixed by the
                      // first well-conditioned baseline
    Multisensor = 4,  // several cameras, any of them with aligned depth, optional IMU
  };

  struct RGBDSettings {
    float depth_scale_factor = 1.f;  // 16-bit depth units per metre
    int32_t depth_camera_id = -1;    // the camera the depth images are aligned with
  };

  struct Config {
    OdometryMode odometry_mode = OdometryMode::Multicamera;
    bool use_gpu = true;
    bool rectified_stereo_camera = false;
    RGBDSettings rgbd_settings;
    std::vector<int32_t> depth_camera_ids;       // multisensor: cameras that come with aligned depth
    float multisensor_depth_scale_factor = 1.f;  // 16-bit depth units per metre
    bool enable_observations_export = false;     // spare flag; this build ignores it

    // Tuning of the CPU tracker.
    int32_t max_features = 400;          // corners kept per camera and frame
    int32_t pyramid_levels = 4;          // optical-flow pyramid depth
    int32_t flow_window = 9;             // optical-flow window side, pixels
    int32_t min_inliers = 15;            // fewer inliers than this loses tracking
    float ransac_threshold_px = 2.0f;    // reprojection inlier threshold
    int32_t ransac_iterations = 100;
    float max_depth_m = 40.f;            // farther depth or stereo points are not used
    float min_depth_m = 0.3f;            // nearer ones neither (also bounds the stereo search)
    float imu_gap_seconds = 1.0f;        // longest visual gap the gyro may bridge (modes 1 and 4 with an IMU)
    // Threads of the per-frame pipeline, the caller's included: 0 one per core of the machine, 1 the
    // caller's thread only. Poses do not depend on it.
    int32_t threads = 0;
  };

  // Validates the rig and configuration and builds the tracker; throws on anything unusable.
  Odometry(const Rig& rig, const Config& config);
  ~Odometry();
  Odometry(const Odometry&) = delete;
  Odometry& operator=(const Odometry&) = delete;

  // Tracks one synchronised set of images (one per camera, all of one stamp), with optional masks
  // (ignored by this build) and depth images aligned with their camera (camera_index).
  PoseEstimate Track(const std::vector<Image>& images, const std::vector<Image>& masks = {},
                     const std::vector<Image>& depths = {}, void* internals = nullptr);

  // Registers one IMU sample (modes 1 and 4, sensor_index 0). Samples must arrive in time order.
  void RegisterImuMeasurement(uint32_t sensor_index, const ImuMeasurement& measurement);

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace cuvslam
