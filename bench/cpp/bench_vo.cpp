// Cost of the visual odometry engine's own work: the depth point cloud of a 640 x 480 16-bit image at full
// resolution and with decimation 4, the reprojection of such an image onto a camera, and the engine's work
// per stereo frame set (two 640 x 480 mono8 images and ten IMU samples) with the tracking call itself
// replaced by an immediate pose. Prints one row per figure: name, value, unit, note (tab-separated).
//
// The tracking library's four entry points are defined in this file, so the linker takes them instead of
// the real tracker: the frame-set figure then measures the engine and binding alone.
#include "cuvslam/cuvslam.h"
#include "cuvslam_odometry/cuvslam_core.hpp"
#include "cuvslam_odometry/depth_cloud.hpp"
#include "cuvslam_odometry/depth_reproject.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace cuvslam {
struct Odometry::Impl {};
Odometry::Odometry(const Rig&, const Config&) : impl_(std::make_unique<Impl>()) {}
Odometry::~Odometry() = default;
PoseEstimate Odometry::Track(const std::vector<Image>& images, const std::vector<Image>&, const std::vector<Image>&,
                             void*) {
  PoseEstimate estimate;
  estimate.timestamp_ns = images.empty() ? 0 : images.front().timestamp_ns;
  PoseWithCovariance pose;
  pose.pose.translation = {0.001f * static_cast<float>(estimate.timestamp_ns % 1000), 0.f, 0.f};
  for (int i = 0; i < 6; ++i) pose.covariance[static_cast<size_t>(7 * i)] = 1e-4f;
  estimate.world_from_rig = pose;
  return estimate;
}
void Odometry::RegisterImuMeasurement(uint32_t, const ImuMeasurement&) {}
}  // namespace cuvslam

namespace {

using namespace velk_slam;
using namespace velk_slam::cuvslam_odometry;
using Clock = std::chrono::steady_clock;

constexpr int kWidth = 640, kHeight = 480;
volatile size_t g_sink = 0;  // keeps measured results alive

void row(const std::string& name, double value, const char* unit, const std::string& note) {
  std::printf("%s\t%.6g\t%s\t%s\n", name.c_str(), value, unit, note.c_str());
}

// Median of `repeat` timings of `fn`, in microseconds.
template <typename Fn>
double median_us(int repeat, Fn&& fn) {
  std::vector<double> times;
  for (int i = 0; i < repeat; ++i) {
    const Clock::time_point start = Clock::now();
    fn();
    times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  std::nth_element(times.begin(), times.begin() + repeat / 2, times.end());
  return times[static_cast<size_t>(repeat / 2)];
}

// A room-like depth image in millimetres: a sloped floor, a box, holes and speckle.
ImageFrame depth_image() {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int> speckle(-15, 15), pct(0, 99);
  ImageFrame image;
  image.frame_id = "depth";
  image.width = kWidth;
  image.height = kHeight;
  image.encoding = "16UC1";
  image.step = 2 * kWidth;
  image.data.resize(static_cast<size_t>(image.step) * kHeight);
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      int z = 3000 - 4 * v + speckle(rng);
      if (u > 200 && u < 400 && v > 150 && v < 330) z = 1500 + speckle(rng);
      if (pct(rng) < 8) z = 0;
      const auto s = static_cast<uint16_t>(std::clamp(z, 0, 65535));
      image.data[static_cast<size_t>(v * image.step + 2 * u)] = static_cast<uint8_t>(s & 0xFF);
      image.data[static_cast<size_t>(v * image.step + 2 * u + 1)] = static_cast<uint8_t>(s >> 8);
    }
  }
  return image;
}

CameraModel model(const std::string& frame) {
  CameraModel m;
  m.frame_id = frame;
  m.width = kWidth;
  m.height = kHeight;
  m.intrinsics = {525.0, 0.0, 319.5, 0.0, 525.0, 239.5, 0.0, 0.0, 1.0};
  return m;
}

class FixedTf : public TfLookup {
 public:
  std::optional<Isometry> latest(std::string_view, std::string_view source) override {
    Isometry t;
    t.translation = Eigen::Vector3d(source == "right" ? 0.1 : 0.0, 0.0, 0.0);
    return t;
  }
};

void clouds_and_reprojection() {
  const ImageFrame depth = depth_image();
  const CameraModel depth_model = model("depth");
  PointCloud cloud;
  DepthCloudScratch scratch;
  for (const uint32_t d : {0u, 4u}) {
    const double us = median_us(101, [&] { depth_cloud(depth, depth_model, d, cloud, 1000.0, 0.2, 8.0, scratch); });
    row(d == 0 ? "vo: depth cloud 640x480 full resolution" : "vo: depth cloud 640x480 decimation 4", us / 1000.0, "ms",
        (d == 0 ? "target <= 1 ms, " : "target <= 1.5 ms, ") + std::to_string(cloud.points.size()) + " points");
  }
  const double fresh_us = median_us(101, [&] {
    PointCloud c;
    depth_cloud(depth, depth_model, 0, c, 1000.0, 0.2, 8.0, scratch);
    g_sink = g_sink + c.points.size();
  });
  row("vo: depth cloud 640x480 full resolution, new cloud each call", fresh_us / 1000.0, "ms",
      "as handle_depth_image builds it");

  Isometry camera_from_depth = Isometry::from_parts(Eigen::Vector3d(0.025, 0.0, 0.0),
                                                    Eigen::Quaterniond(Eigen::AngleAxisd(0.02, Eigen::Vector3d::UnitY())));
  ImageFrame out;
  const double reproject_us =
      median_us(101, [&] { reproject_depth(1000.0, depth, depth_model, model("color"), camera_from_depth, out); });
  row("vo: reprojection of 640x480 depth", reproject_us / 1000.0, "ms", "target <= 2 ms");
}

void frame_sets() {
  CuvslamOdometryConfig config;
  config.cameras = {CameraConfig{.frame_id = "left"}, CameraConfig{.frame_id = "right"}};
  config.enable_imu = true;
  config.use_gpu = false;
  config.covariance_gate_translation_std = 0.5;
  config.speed_gate_max_linear = 100.0;
  config.speed_gate_max_angular = 100.0;
  auto core = std::move(std::get<std::unique_ptr<CuvslamCore>>(CuvslamCore::create(config)));
  FixedTf tf;
  core->handle_imu_info(ImuNoiseModel{"imu", 1e-4, 1e-5, 1e-3, 1e-4, 200.0}, tf);
  core->handle_camera_info(model("left"), tf);
  core->handle_camera_info(model("right"), tf);

  ImageFrame left;
  left.frame_id = "left";
  left.width = kWidth;
  left.height = kHeight;
  left.encoding = "mono8";
  left.step = kWidth;
  left.data.assign(static_cast<size_t>(kWidth) * kHeight, 100);
  ImageFrame right = left;
  right.frame_id = "right";

  constexpr int kSets = 2001;
  constexpr int64_t kPeriodNs = 50'000'000;
  int64_t stamp = 1'000'000'000;
  int tracked = 0;
  std::vector<double> with_copies;
  std::vector<double> copies_only;
  for (int k = 0; k < kSets; ++k) {
    stamp += kPeriodNs;
    for (int i = 0; i < 10; ++i) {
      ImuSample s{"imu", stamp - kPeriodNs + i * 5'000'000, Eigen::Vector3d(0.01, 0, 0), Eigen::Vector3d(0, 0, 9.81)};
      core->handle_imu(s);
    }
    left.timestamp_ns = right.timestamp_ns = stamp;
    Clock::time_point start = Clock::now();
    core->handle_image(ImageFrame(left), tf);  // the copy each handle_image call makes of its ImageFrame
    tracked += core->handle_image(ImageFrame(right), tf).has_value() ? 1 : 0;
    with_copies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());

    start = Clock::now();
    ImageFrame a(left);
    ImageFrame b(right);
    copies_only.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    g_sink = g_sink + a.data[0] + b.data[0];
  }
  const auto median = [](std::vector<double> v) {
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
    return v[v.size() / 2];
  };
  const double total = median(with_copies), copies = median(copies_only);
  row("vo: stereo frame set, engine with image copies", total, "us",
      "two 640x480 mono8 + 10 IMU samples, tracking stubbed; " + std::to_string(tracked) + " estimates");
  row("vo: stereo frame set, the two image copies alone", copies, "us", "");
  row("vo: stereo frame set, engine overhead", total - copies, "us", "target <= 50 us");
}

}  // namespace

int main() {
  clouds_and_reprojection();
  frame_sets();
  return 0;
}
