#include "tracker.hpp"

#include "text.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <string_view>
#include <vector>

namespace velk_slam::tracker {

namespace {

using Image = cuvslam::Image;

// Longest library message handed on, in bytes.
constexpr size_t kMessageLimit = 511;

std::string str(int64_t value) { return std::to_string(value); }

// Shortest decimal that reads back to the same value, never with an exponent: 0, -1.5, NaN, inf, -inf.
std::string format_number(float value) {
  std::string out;
  velk_slam::text::append_positional(out, value);
  return out;
}

// The library's what() text cut to kMessageLimit bytes, ill-formed UTF-8 (a character cut in two
// included) replaced by U+FFFD.
std::string library_message(const char* what) {
  const std::string_view text(what);
  return velk_slam::text::valid_utf8(text.substr(0, std::min(text.size(), kMessageLimit)));
}

bool positive_finite(float value) { return value > 0.f && std::isfinite(value); }

std::optional<std::string> validate(const cuvslam::Rig& rig, const cuvslam::Odometry::Config& config) {
  const size_t n = rig.cameras.size();
  const bool imu = !rig.imus.empty();
  const std::vector<int32_t>& depth_camera_ids = config.depth_camera_ids;
  const OdometryMode m = config.odometry_mode;
  const std::string mode = str(static_cast<int64_t>(m));
  if (m > OdometryMode::Multisensor) {
    return "odometry_mode " + mode + " is not one of cuVSLAM's five modes";
  }
  const size_t min = minimum_cameras(m, depth_camera_ids.size());
  if (n < min) {
    return "odometry_mode " + mode + " needs at least " + str(static_cast<int64_t>(min)) + " cameras, got " +
           str(static_cast<int64_t>(n));
  }
  const std::string cameras = str(static_cast<int64_t>(n));
  if (m != OdometryMode::Multisensor) {
    if (m == OdometryMode::Inertial && !imu) {
      return std::string("odometry_mode 1 has nothing to integrate without an IMU calibration");
    }
    if (m != OdometryMode::Inertial && imu) {
      return "odometry_mode " + mode + " ignores an IMU calibration; only modes 1 and 4 read one";
    }
    if (!depth_camera_ids.empty()) {
      return "depth_camera_ids is read by odometry_mode 4 alone, so the " +
             str(static_cast<int64_t>(depth_camera_ids.size())) + " ids given for mode " + mode +
             " would be dropped";
    }
    if (m == OdometryMode::RGBD) {
      const int64_t id = config.rgbd_settings.depth_camera_id;
      if (id < 0 || static_cast<uint64_t>(id) >= n) {
        return "rgbd_depth_camera_id " + str(id) + " is outside the " + cameras +
               " cameras of the rig, so depth would never be used";
      }
      if (!positive_finite(config.rgbd_settings.depth_scale_factor)) {
        return "rgbd_depth_scale_factor must be positive and finite, got " +
               format_number(config.rgbd_settings.depth_scale_factor);
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
    if (!positive_finite(config.multisensor_depth_scale_factor)) {
      return "multisensor_depth_scale_factor must be positive and finite, got " +
             format_number(config.multisensor_depth_scale_factor);
    }
  }
  return std::nullopt;
}

// The library's record of `frame` read from `pixels`, or why it cannot be: the library trusts width,
// height and the buffer, so a wrong frame fails with a message instead of being read out of bounds.
std::variant<Image, std::string> library_image(const ImageFrame& frame, std::span<const uint8_t> pixels,
                                               int64_t stamp_ns, uint32_t camera, Image::Encoding encoding,
                                               Image::DataType data_type, const char* list, size_t index) {
  const std::string name = std::string(list) + "[" + std::to_string(index) + "]";
  const uint32_t width = static_cast<uint32_t>(frame.width), height = static_cast<uint32_t>(frame.height);
  constexpr uint32_t kMaxSide = static_cast<uint32_t>(std::numeric_limits<int32_t>::max());
  if (width > kMaxSide || height > kMaxSide) {
    return name + " is " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels, more than the library can address";
  }
  const uint64_t channels = encoding == Image::Encoding::RGB ? 3 : 1;
  const uint64_t sample_bytes = data_type == Image::DataType::Float32 ? 4 : data_type == Image::DataType::UInt16 ? 2 : 1;
  // At most (2^31)^2 * 12 < 2^66 would overflow: split the product so that it cannot.
  const uint64_t row_bytes = uint64_t{width} * channels * sample_bytes;  // < 2^35
  const bool too_small = pixels.data() == nullptr ? (row_bytes > 0 && height > 0)
                                                  : (height > 0 && row_bytes > pixels.size() / height);
  if (too_small) {
    return name + " holds " + std::to_string(pixels.size()) + " bytes, fewer than its " + std::to_string(width) +
           " x " + std::to_string(height) + " pixels need";
  }
  Image image;
  image.pixels = pixels.data();
  image.timestamp_ns = stamp_ns;
  image.width = static_cast<int32_t>(width);
  image.height = static_cast<int32_t>(height);
  image.pitch = 0;
  image.camera_index = camera;
  image.encoding = encoding;
  image.data_type = data_type;
  image.is_gpu_mem = false;
  return image;
}

}  // namespace

size_t minimum_cameras(OdometryMode mode, size_t depth_camera_count) {
  switch (mode) {
    case OdometryMode::Multicamera:
    case OdometryMode::Inertial:
      return 2;
    case OdometryMode::RGBD:
    case OdometryMode::Mono:
      return 1;
    default:
      return depth_camera_count > 0 ? 1 : 2;
  }
}

TrackOutcome TrackOutcome::failed(std::string message) {
  TrackOutcome outcome;
  outcome.kind = Kind::Failed;
  outcome.message = std::move(message);
  return outcome;
}

std::variant<Tracker, std::string> Tracker::create(const cuvslam::Rig& rig, const cuvslam::Odometry::Config& config) {
  if (std::optional<std::string> refusal = validate(rig, config)) {
    return std::move(*refusal);
  }
  try {
    return Tracker(std::make_unique<cuvslam::Odometry>(rig, config), config.odometry_mode);
  } catch (const std::exception& e) {
    return library_message(e.what());
  } catch (...) {
    return std::string("unknown C++ exception");
  }
}

TrackOutcome Tracker::track(int64_t stamp_ns, std::span<const ImageFrame* const> images,
                            std::span<const DepthImage> depths) {
  std::vector<Image> image_list;
  image_list.reserve(images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    const ImageFrame& frame = *images[i];
    const Image::Encoding encoding = frame.encoding == "mono8" ? Image::Encoding::Mono : Image::Encoding::RGB;
    auto image = library_image(frame, frame.data, stamp_ns, static_cast<uint32_t>(i), encoding, Image::DataType::UInt8,
                               "images", i);
    if (auto* refusal = std::get_if<std::string>(&image)) return TrackOutcome::failed(std::move(*refusal));
    image_list.push_back(std::get<Image>(image));
  }
  std::vector<Image> depth_list;
  depth_list.reserve(depths.size());
  for (size_t i = 0; i < depths.size(); ++i) {
    const DepthImage& depth = depths[i];
    const bool metres = depth.metres != nullptr;
    const std::span<const uint8_t> pixels =
        metres ? std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(depth.metres->data()),
                                          depth.metres->size() * sizeof(float))
               : std::span<const uint8_t>(depth.frame->data);
    auto image = library_image(*depth.frame, pixels, stamp_ns, depth.camera, Image::Encoding::Mono,
                               metres ? Image::DataType::Float32 : Image::DataType::UInt16, "depths", i);
    if (auto* refusal = std::get_if<std::string>(&image)) return TrackOutcome::failed(std::move(*refusal));
    depth_list.push_back(std::get<Image>(image));
  }

  cuvslam::PoseEstimate estimate;
  try {
    estimate = odometry_->Track(image_list, {}, depth_list, nullptr);
  } catch (const std::exception& e) {
    return TrackOutcome::failed(library_message(e.what()));
  } catch (...) {
    return TrackOutcome::failed("unknown C++ exception");
  }
  TrackOutcome outcome;
  outcome.timestamp_ns = estimate.timestamp_ns;
  if (!estimate.world_from_rig.has_value()) {
    outcome.kind = TrackOutcome::Kind::NoPose;
    return outcome;
  }
  const cuvslam::PoseWithCovariance& pose = *estimate.world_from_rig;
  outcome.kind = TrackOutcome::Kind::Pose;
  outcome.rotation = pose.pose.rotation;
  outcome.translation = pose.pose.translation;
  for (size_t k = 0; k < 36; ++k) outcome.covariance[k] = pose.covariance[k];
  return outcome;
}

std::optional<std::string> Tracker::register_imu(const cuvslam::ImuMeasurement& measurement) {
  if (mode_ != OdometryMode::Inertial && mode_ != OdometryMode::Multisensor) {
    return "odometry_mode " + str(static_cast<int64_t>(mode_)) + " does not read IMU measurements; only modes 1 and 4 do";
  }
  try {
    odometry_->RegisterImuMeasurement(0, measurement);
  } catch (const std::exception& e) {
    return library_message(e.what());
  } catch (...) {
    return std::string("unknown C++ exception");
  }
  return std::nullopt;
}

}  // namespace velk_slam::tracker
