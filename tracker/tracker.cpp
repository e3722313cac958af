#include "tracker.hpp"

#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace velk_slam::tracker {

namespace {

std::string str(int64_t value) { return std::to_string(value); }

// Minimum number of rig cameras per mode; multisensor needs one camera when depth is tracked.
size_t minimum_cameras(uint8_t mode, size_t depth_id_count) {
  switch (mode) {
    case kModeMulticamera:
    case kModeInertial:
      return 2;
    case kModeRgbd:
    case kModeMono:
      return 1;
    default:
      return depth_id_count > 0 ? 1 : 2;
  }
}

bool positive_finite(float value) { return value > 0.f && std::isfinite(value); }

std::optional<std::string> validate(size_t n, const std::optional<ImuCalibration>& imu,
                                    std::span<const int32_t> depth_camera_ids, const TrackerOptions& options) {
  const uint8_t m = options.odometry_mode;
  const std::string mode = str(m);
  if (m > kModeMultisensor) {
    return "odometry_mode " + mode + " is not one of cuVSLAM's five modes";
  }
  const size_t min = minimum_cameras(m, depth_camera_ids.size());
  if (n < min) {
    return "odometry_mode " + mode + " needs at least " + str(static_cast<int64_t>(min)) + " cameras, got " +
           str(static_cast<int64_t>(n));
  }
  const std::string cameras = str(static_cast<int64_t>(n));
  if (m != kModeMultisensor) {
    if (m == kModeInertial && !imu.has_value()) {
      return std::string("odometry_mode 1 has nothing to integrate without an IMU calibration");
    }
    if (m != kModeInertial && imu.has_value()) {
      return "odometry_mode " + mode + " ignores an IMU calibration; only modes 1 and 4 read one";
    }
    if (!depth_camera_ids.empty()) {
      return "depth_camera_ids is read by odometry_mode 4 alone, so the " +
             str(static_cast<int64_t>(depth_camera_ids.size())) + " ids given for mode " + mode +
             " would be dropped";
    }
    if (m == kModeRgbd) {
      const int64_t id = options.rgbd_depth_camera_id;
      if (id < 0 || static_cast<uint64_t>(id) >= n) {
        return "rgbd_depth_camera_id " + str(id) + " is outside the " + cameras +
               " cameras of the rig, so depth would never be used";
      }
      if (!positive_finite(options.rgbd_depth_scale_factor)) {
        return "rgbd_depth_scale_factor must be positive and finite, got " +
               format_number(options.rgbd_depth_scale_factor);
      }
    }
    return std::nullopt;
  }
  if (!depth_camera_ids.empty()) {
    for (size_t i = 0; i < depth_camera_ids.size(); ++i) {
      const int64_t id = depth_camera_ids[i];
      if (id < 0 || static_cast<uint64_t>(id) >= n) {
        return "depth_camera_ids[" + str(static_cast<int64_t>(i)) + "] is " + str(id) + ", outside the " + cameras +
               " cameras of the rig";
      }
      for (size_t j = 0; j < i; ++j) {
        if (depth_camera_ids[j] == depth_camera_ids[i]) {
          return "depth_camera_ids names camera " + str(id) + " twice, so one of its depth images would go unmatched";
        }
      }
    }
    if (!positive_finite(options.multisensor_depth_scale_factor)) {
      return "multisensor_depth_scale_factor must be positive and finite, got " +
             format_number(options.multisensor_depth_scale_factor);
    }
  }
  return std::nullopt;
}

CuvImageRef to_flat(const ImageRef& image) {
  CuvImageRef ref{};
  ref.pixels = image.pixels.data();
  ref.size = image.pixels.size();
  ref.timestamp_ns = image.timestamp_ns;
  ref.width = image.width;
  ref.height = image.height;
  ref.camera_index = image.camera_index;
  ref.encoding = image.encoding;
  ref.data_type = image.data_type;
  return ref;
}

}  // namespace

std::string format_number(float value) {
  std::string out;
  velk_slam::text::append_positional(out, value);
  return out;
}

std::string format_number(double value) {
  std::string out;
  velk_slam::text::append_positional(out, value);
  return out;
}

std::string read_message(const char* buffer, size_t size) {
  return velk_slam::text::valid_utf8(std::string_view(buffer, std::find(buffer, buffer + size, '\0') - buffer));
}

TrackOutcome TrackOutcome::failed(std::string message) {
  TrackOutcome outcome;
  outcome.kind = Kind::Failed;
  outcome.message = std::move(message);
  return outcome;
}

std::variant<Tracker, std::string> Tracker::create(std::span<const CameraParams> cameras,
                                                   const std::optional<ImuCalibration>& imu,
                                                   std::span<const int32_t> depth_camera_ids,
                                                   const TrackerOptions& options) {
  if (std::optional<std::string> refusal = validate(cameras.size(), imu, depth_camera_ids, options)) {
    return std::move(*refusal);
  }
  std::vector<CuvCameraParams> flat(cameras.size());
  for (size_t i = 0; i < cameras.size(); ++i) {
    const CameraParams& c = cameras[i];
    CuvCameraParams& f = flat[i];
    f.size[0] = c.size[0];
    f.size[1] = c.size[1];
    f.principal[0] = c.principal[0];
    f.principal[1] = c.principal[1];
    f.focal[0] = c.focal[0];
    f.focal[1] = c.focal[1];
    for (int k = 0; k < 4; ++k) f.rotation[k] = c.rotation[k];
    for (int k = 0; k < 3; ++k) f.translation[k] = c.translation[k];
    f.distortion_model = c.distortion_model;
    f.distortion = c.distortion.data();
    f.distortion_count = c.distortion.size();
  }
  CuvTrackerOptions flat_options{};
  flat_options.odometry_mode = options.odometry_mode;
  flat_options.use_gpu = options.use_gpu ? 1 : 0;
  flat_options.rectified = options.rectified ? 1 : 0;
  flat_options.rgbd_depth_scale_factor = options.rgbd_depth_scale_factor;
  flat_options.rgbd_depth_camera_id = options.rgbd_depth_camera_id;
  flat_options.multisensor_depth_scale_factor = options.multisensor_depth_scale_factor;
  flat_options.spare = options.spare ? 1 : 0;
  flat_options.imu_gap_seconds = options.imu_gap_seconds;
  flat_options.threads = options.threads;

  char message[CUV_TRACKER_MESSAGE_SIZE];
  CuvTracker* handle = nullptr;
  const int rc = cuv_tracker_create(flat.data(), flat.size(), imu.has_value() ? &*imu : nullptr,
                                    depth_camera_ids.data(), depth_camera_ids.size(), &flat_options, &handle, message,
                                    sizeof message);
  if (rc != 0) {
    return read_message(message, sizeof message);
  }
  return Tracker(handle, options.odometry_mode);
}

Tracker::Tracker(Tracker&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)), mode_(other.mode_) {}

Tracker& Tracker::operator=(Tracker&& other) noexcept {
  if (this != &other) {
    cuv_tracker_destroy(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
    mode_ = other.mode_;
  }
  return *this;
}

Tracker::~Tracker() { cuv_tracker_destroy(handle_); }

TrackOutcome Tracker::track(std::span<const ImageRef> images, std::span<const ImageRef> depths) {
  std::vector<CuvImageRef> flat_images;
  flat_images.reserve(images.size());
  for (const ImageRef& image : images) flat_images.push_back(to_flat(image));
  std::vector<CuvImageRef> flat_depths;
  flat_depths.reserve(depths.size());
  for (const ImageRef& depth : depths) flat_depths.push_back(to_flat(depth));

  char message[CUV_TRACKER_MESSAGE_SIZE];
  CuvTrackResult result{};
  if (cuv_tracker_track(handle_, flat_images.data(), flat_images.size(), flat_depths.data(), flat_depths.size(),
                        &result, message, sizeof message) != 0) {
    return TrackOutcome::failed(read_message(message, sizeof message));
  }
  TrackOutcome outcome;
  outcome.timestamp_ns = result.timestamp_ns;
  if (result.has_pose == 0) {
    outcome.kind = TrackOutcome::Kind::NoPose;
    return outcome;
  }
  outcome.kind = TrackOutcome::Kind::Pose;
  for (int k = 0; k < 4; ++k) outcome.rotation[k] = result.rotation[k];
  for (int k = 0; k < 3; ++k) outcome.translation[k] = result.translation[k];
  for (int k = 0; k < 36; ++k) outcome.covariance[k] = result.covariance[k];
  return outcome;
}

std::optional<std::string> Tracker::register_imu(const CuvImuMeasurement& measurement) {
  if (mode_ != kModeInertial && mode_ != kModeMultisensor) {
    return "odometry_mode " + str(mode_) + " does not read IMU measurements; only modes 1 and 4 do";
  }
  char message[CUV_TRACKER_MESSAGE_SIZE];
  if (cuv_tracker_register_imu(handle_, &measurement, message, sizeof message) != 0) {
    return read_message(message, sizeof message);
  }
  return std::nullopt;
}

}  // namespace velk_slam::tracker
