// The C shim: flat records in, the library's records out, every exception turned into 1 plus a message.
#include "cuv_tracker.h"

#include "cuvslam/cuvslam.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace {

void write_message(std::string_view text, char* message, size_t message_size) {
  if (message == nullptr || message_size < 1) {
    return;
  }
  const size_t n = std::min(text.size(), message_size - 1);
  std::memcpy(message, text.data(), n);
  message[n] = '\0';
}

// Runs `body`; any exception becomes return code 1 and its text in the buffer.
template <typename Body>
int guarded(char* message, size_t message_size, Body&& body) {
  try {
    body();
    return 0;
  } catch (const std::exception& e) {
    write_message(e.what(), message, message_size);
  } catch (...) {
    write_message("unknown C++ exception", message, message_size);
  }
  return 1;
}

cuvslam::Odometry* as_odometry(CuvTracker* tracker) { return reinterpret_cast<cuvslam::Odometry*>(tracker); }

cuvslam::Pose to_pose(const float (&rotation)[4], const float (&translation)[3]) {
  cuvslam::Pose pose;
  std::copy(rotation, rotation + 4, pose.rotation.begin());
  std::copy(translation, translation + 3, pose.translation.begin());
  return pose;
}

// The library trusts width, height and the buffer; check them here so that a wrong record fails with a
// message instead of being read out of bounds.
cuvslam::Image to_image(const CuvImageRef& ref, const char* list, size_t index) {
  if (ref.encoding > 1 || ref.data_type > 2) {
    throw std::invalid_argument(std::string(list) + "[" + std::to_string(index) + "] has encoding code " +
                                std::to_string(ref.encoding) + " and data type code " +
                                std::to_string(ref.data_type) + "; the codes are 0-1 and 0-2");
  }
  constexpr uint32_t kMaxSide = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
  if (ref.width > kMaxSide || ref.height > kMaxSide) {
    throw std::invalid_argument(std::string(list) + "[" + std::to_string(index) + "] is " + std::to_string(ref.width) +
                                " x " + std::to_string(ref.height) + " pixels, more than the library can address");
  }
  const uint64_t channels = ref.encoding == 1 ? 3 : 1;
  const uint64_t sample_bytes = ref.data_type == 2 ? 4 : ref.data_type == 1 ? 2 : 1;
  // At most (2^31)^2 * 12 < 2^66 would overflow: split the product so that it cannot.
  const uint64_t row_bytes = uint64_t{ref.width} * channels * sample_bytes;  // < 2^35
  const bool too_small = ref.pixels == nullptr
                             ? (row_bytes > 0 && ref.height > 0)
                             : (ref.height > 0 && row_bytes > ref.size / ref.height);
  if (too_small) {
    throw std::invalid_argument(std::string(list) + "[" + std::to_string(index) + "] holds " + std::to_string(ref.size) +
                                " bytes, fewer than its " + std::to_string(ref.width) + " x " +
                                std::to_string(ref.height) + " pixels need");
  }
  cuvslam::Image image;
  image.pixels = ref.pixels;
  image.timestamp_ns = ref.timestamp_ns;
  image.width = static_cast<int32_t>(ref.width);
  image.height = static_cast<int32_t>(ref.height);
  image.pitch = 0;
  image.camera_index = ref.camera_index;
  image.encoding = static_cast<cuvslam::Image::Encoding>(ref.encoding);
  image.data_type = static_cast<cuvslam::Image::DataType>(ref.data_type);
  image.is_gpu_mem = false;
  return image;
}

}  // namespace

extern "C" int cuv_tracker_create(const CuvCameraParams* cameras, size_t camera_count, const CuvImuCalibration* imu,
                                  const int32_t* depth_camera_ids, size_t depth_camera_id_count,
                                  const CuvTrackerOptions* options, CuvTracker** out, char* message,
                                  size_t message_size) {
  return guarded(message, message_size, [&] {
    if (options == nullptr || out == nullptr) {
      throw std::invalid_argument("cuv_tracker_create needs options and an out handle");
    }
    *out = nullptr;
    cuvslam::Rig rig;
    rig.cameras.reserve(camera_count);
    for (size_t i = 0; i < camera_count; ++i) {
      const CuvCameraParams& params = cameras[i];
      cuvslam::Camera camera;
      camera.size = {params.size[0], params.size[1]};
      camera.principal = {params.principal[0], params.principal[1]};
      camera.focal = {params.focal[0], params.focal[1]};
      camera.rig_from_camera = to_pose(params.rotation, params.translation);
      camera.distortion.model = static_cast<cuvslam::Distortion::Model>(params.distortion_model);
      if (params.distortion != nullptr) {
        camera.distortion.parameters.assign(params.distortion, params.distortion + params.distortion_count);
      }
      rig.cameras.push_back(std::move(camera));
    }
    if (imu != nullptr) {
      cuvslam::ImuCalibration calibration;
      calibration.rig_from_imu = to_pose(imu->rotation, imu->translation);
      calibration.gyroscope_noise_density = imu->gyro_noise_density;
      calibration.gyroscope_random_walk = imu->gyro_random_walk;
      calibration.accelerometer_noise_density = imu->accel_noise_density;
      calibration.accelerometer_random_walk = imu->accel_random_walk;
      calibration.frequency = imu->frequency;
      rig.imus.push_back(calibration);
    }

    cuvslam::Odometry::Config config;
    config.odometry_mode = static_cast<cuvslam::Odometry::OdometryMode>(options->odometry_mode);
    config.use_gpu = options->use_gpu != 0;
    config.rectified_stereo_camera = options->rectified != 0;
    config.rgbd_settings.depth_scale_factor = options->rgbd_depth_scale_factor;
    config.rgbd_settings.depth_camera_id = options->rgbd_depth_camera_id;
    if (depth_camera_ids != nullptr) {
      config.depth_camera_ids.assign(depth_camera_ids, depth_camera_ids + depth_camera_id_count);
    }
    config.multisensor_depth_scale_factor = options->multisensor_depth_scale_factor;
    config.enable_observations_export = options->spare != 0;
    if (options->imu_gap_seconds > 0.f && std::isfinite(options->imu_gap_seconds))
      config.imu_gap_seconds = options->imu_gap_seconds;
    config.threads = options->threads;

    *out = reinterpret_cast<CuvTracker*>(new cuvslam::Odometry(rig, config));
  });
}

extern "C" int cuv_tracker_track(CuvTracker* tracker, const CuvImageRef* images, size_t image_count,
                                 const CuvImageRef* depths, size_t depth_count, CuvTrackResult* out, char* message,
                                 size_t message_size) {
  return guarded(message, message_size, [&] {
    if (tracker == nullptr || out == nullptr) {
      throw std::invalid_argument("cuv_tracker_track needs a tracker and a result");
    }
    *out = CuvTrackResult{};
    std::vector<cuvslam::Image> image_list;
    image_list.reserve(image_count);
    for (size_t i = 0; i < image_count; ++i) {
      image_list.push_back(to_image(images[i], "images", i));
    }
    std::vector<cuvslam::Image> depth_list;
    depth_list.reserve(depth_count);
    for (size_t i = 0; i < depth_count; ++i) {
      depth_list.push_back(to_image(depths[i], "depths", i));
    }

    const cuvslam::PoseEstimate estimate = as_odometry(tracker)->Track(image_list, {}, depth_list, nullptr);

    out->timestamp_ns = estimate.timestamp_ns;
    if (estimate.world_from_rig.has_value()) {
      const cuvslam::PoseWithCovariance& pose = *estimate.world_from_rig;
      out->has_pose = 1;
      std::copy(pose.pose.rotation.begin(), pose.pose.rotation.end(), out->rotation);
      std::copy(pose.pose.translation.begin(), pose.pose.translation.end(), out->translation);
      std::copy(pose.covariance.begin(), pose.covariance.end(), out->covariance);
    }
  });
}

extern "C" int cuv_tracker_register_imu(CuvTracker* tracker, const CuvImuMeasurement* measurement, char* message,
                                        size_t message_size) {
  return guarded(message, message_size, [&] {
    if (tracker == nullptr || measurement == nullptr) {
      throw std::invalid_argument("cuv_tracker_register_imu needs a tracker and a measurement");
    }
    cuvslam::ImuMeasurement imu;
    imu.timestamp_ns = measurement->timestamp_ns;
    std::copy(measurement->linear_acceleration, measurement->linear_acceleration + 3, imu.linear_accelerations.begin());
    std::copy(measurement->angular_velocity, measurement->angular_velocity + 3, imu.angular_velocities.begin());
    as_odometry(tracker)->RegisterImuMeasurement(0, imu);
  });
}

extern "C" void cuv_tracker_destroy(CuvTracker* tracker) {
  // ~Odometry is noexcept; nothing can escape into C callers.
  delete as_odometry(tracker);
}
