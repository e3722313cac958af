// Shared pieces of the visual odometry tests: a table-driven transform lookup, image and calibration
// makers, log capture, and a fixture that resets the scripted tracking library.
#pragma once

#include "cuvslam_double.hpp"
#include "cuvslam_odometry/cuvslam_core.hpp"
#include "log.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace vo_test {

using namespace velk_slam;
using namespace velk_slam::cuvslam_odometry;

constexpr int64_t kMs = 1'000'000;  // in nanoseconds

inline Isometry translation(double x, double y, double z) {
  return Isometry::from_parts(Eigen::Vector3d(x, y, z), Eigen::Quaterniond::Identity());
}

inline Isometry pose(double x, double y, double z, const Eigen::Vector3d& axis, double angle) {
  return Isometry::from_parts(Eigen::Vector3d(x, y, z), Eigen::Quaterniond(Eigen::AngleAxisd(angle, axis.normalized())));
}

// Answers from a table of target_from_source transforms (identity for a frame to itself); records every
// question.
class TableTf : public TfLookup {
 public:
  void set(const std::string& target, const std::string& source, const Isometry& t) { table_[{target, source}] = t; }
  void erase(const std::string& target, const std::string& source) { table_.erase({target, source}); }
  std::optional<Isometry> latest(std::string_view target, std::string_view source) override {
    asked.emplace_back(std::string(target), std::string(source));
    if (target == source) return Isometry::identity();  // as a transform tree answers
    const auto it = table_.find(asked.back());
    return it == table_.end() ? std::nullopt : std::optional(it->second);
  }
  size_t times_asked(const std::string& target, const std::string& source) const {
    return static_cast<size_t>(std::count(asked.begin(), asked.end(), std::pair(target, source)));
  }
  std::vector<std::pair<std::string, std::string>> asked;

 private:
  std::map<std::pair<std::string, std::string>, Isometry> table_;
};

inline CameraModel camera_model(const std::string& frame, int32_t width = 64, int32_t height = 48, double fx = 50.0,
                                double cx = 32.0, double fy = 50.0, double cy = 24.0,
                                std::vector<double> distortion = {}) {
  return CameraModel{.frame_id = frame, .width = width, .height = height, .distortion = std::move(distortion),
                     .intrinsics = {fx, 0.0, cx, 0.0, fy, cy, 0.0, 0.0, 1.0}};
}

// A camera image whose byte at (row, column) is row * 7 + column + seed, with `padding` bytes after each
// row's pixels.
inline ImageFrame camera_image(const std::string& frame, int64_t stamp_ns, int32_t width = 64, int32_t height = 48,
                               const std::string& encoding = "mono8", int32_t padding = 0, uint8_t seed = 0) {
  const int32_t row = width * (encoding == "mono8" ? 1 : 3);
  ImageFrame image{.timestamp_ns = stamp_ns, .frame_id = frame, .width = width, .height = height, .encoding = encoding,
                   .step = row + padding, .data = {}};
  image.data.assign(static_cast<size_t>(image.step) * static_cast<size_t>(height), 0xEE);
  for (int32_t v = 0; v < height; ++v) {
    for (int32_t c = 0; c < row; ++c) image.data[static_cast<size_t>(v * image.step + c)] = static_cast<uint8_t>(v * 7 + c + seed);
  }
  return image;
}

// A depth image from samples in row-major order (16-bit: 16UC1, float: 32FC1), rows `step` bytes apart
// (default: tight).
template <typename T>
ImageFrame depth_image(const std::string& frame, int64_t stamp_ns, int32_t width, int32_t height,
                       const std::vector<T>& samples, int32_t step = 0, const std::string& encoding = "") {
  const size_t row = sizeof(T) * static_cast<size_t>(width);
  ImageFrame image{.timestamp_ns = stamp_ns, .frame_id = frame, .width = width, .height = height,
                   .encoding = !encoding.empty() ? encoding : sizeof(T) == 2 ? "16UC1" : "32FC1",
                   .step = step > 0 ? step : static_cast<int32_t>(row), .data = {}};
  image.data.assign(static_cast<size_t>(image.step) * static_cast<size_t>(height), 0);
  for (int32_t v = 0; v < height; ++v) std::memcpy(&image.data[static_cast<size_t>(v * image.step)], &samples[v * row / sizeof(T)], row);
  return image;
}

// Tightly packed bytes read back as samples.
template <typename T>
std::vector<T> samples_as(const std::vector<uint8_t>& bytes) {
  std::vector<T> out(bytes.size() / sizeof(T));
  std::memcpy(out.data(), bytes.data(), out.size() * sizeof(T));
  return out;
}

// Every log line of the process (all levels), once installed.
struct LogCapture {
  static void install() {
    static std::once_flag once;
    std::call_once(once, [] {
      velk_slam::log::reset_for_tests();
      std::string reason, error;
      velk_slam::log::install(*velk_slam::log::parse_filter("trace", &reason), false,
                              [](std::string_view line) { lines().emplace_back(line); }, &error);
    });
  }
  static std::vector<std::string>& lines() {
    static std::vector<std::string> l;
    return l;
  }
  static void clear() { lines().clear(); }
  static size_t count(const std::string& needle) {  // lines that contain `needle`
    return static_cast<size_t>(std::count_if(lines().begin(), lines().end(), [&](const std::string& l) { return l.find(needle) != std::string::npos; }));
  }
};

class VoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cuvslam_double::reset();
    LogCapture::install();
    LogCapture::clear();
  }
};

inline std::unique_ptr<CuvslamCore> make_core(const CuvslamOdometryConfig& config) {
  auto created = CuvslamCore::create(config);
  if (auto* message = std::get_if<std::string>(&created)) ADD_FAILURE() << "configuration refused: " << *message;
  return std::holds_alternative<std::string>(created) ? nullptr : std::move(std::get<std::unique_ptr<CuvslamCore>>(created));
}

// A stereo engine with cameras "left" and "right" listed in `cameras`, rig frame "rig" placed in base_link
// at `output_from_rig`, calibrations delivered and the rig resolved; the first complete frame set
// creates the tracker.
struct StereoSetup {
  TableTf tf;
  std::unique_ptr<CuvslamCore> core;

  explicit StereoSetup(CuvslamOdometryConfig config = {}, const Isometry& output_from_rig = Isometry::identity()) {
    if (config.cameras.empty()) config.cameras = {CameraConfig{.frame_id = "left"}, CameraConfig{.frame_id = "right"}};
    config.rig_frame_id = "rig";
    tf.set("rig", "left", translation(0.0, 0.05, 0.0));
    tf.set("rig", "right", translation(0.0, -0.05, 0.0));
    tf.set("base_link", "rig", output_from_rig);
    core = make_core(config);
    core->handle_camera_info(camera_model("left"), tf);
    core->handle_camera_info(camera_model("right"), tf);
  }

  // Delivers one stereo pair at `stamp_ns` (right `skew_ns` later) and returns the estimate.
  std::optional<OdometryEstimate> pair(int64_t stamp_ns, int64_t skew_ns = 0) {
    core->handle_image(camera_image("left", stamp_ns), tf);
    return core->handle_image(camera_image("right", stamp_ns + skew_ns, 64, 48, "mono8", 0, 1), tf);
  }
};

}  // namespace vo_test
