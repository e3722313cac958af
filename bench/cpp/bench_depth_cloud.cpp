// Cost of the depth point cloud of a 640 x 480 16-bit image at decimation 1 (every pixel), 2, 4, 8, 16 and
// the worst of 2-16, on a clean rendered room and on the same room with sensor speckle (noise, dropouts and
// flying pixels across the whole 16-bit range). The full-resolution cloud is compared with a memcpy of the
// same bytes (the image read plus the points written, copied as one block), each decimation with the full
// resolution of the same scene; all timings are medians of interleaved repetitions, in thread CPU time. Prints one row per
// figure: name, value, unit, note (tab-separated).
#include "cuvslam_odometry/depth_cloud.hpp"

#include <algorithm>
#include <ctime>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace velk_slam;
using namespace velk_slam::cuvslam_odometry;

constexpr int kWidth = 640, kHeight = 480;
constexpr double kUnits = 1000.0, kMinRange = 0.2, kMaxRange = 8.0;
volatile size_t g_sink = 0;  // keeps measured results alive

void row(const std::string& name, double value, const char* unit, const std::string& note) {
  std::printf("%s\t%.6g\t%s\t%s\n", name.c_str(), value, unit, note.c_str());
}

CameraModel model() {
  CameraModel m;
  m.frame_id = "depth";
  m.width = kWidth;
  m.height = kHeight;
  m.intrinsics = {525.0, 0.0, 319.5, 0.0, 525.0, 239.5, 0.0, 0.0, 1.0};
  return m;
}

// Depth in millimetres of a room seen from 1.2 m above the floor: floor, back wall at 6 m, a side wall,
// a box and a ball, ray-cast per pixel. Speckle adds 1 % noise, 8 % dropouts and 1 % flying pixels.
ImageFrame room(bool speckle) {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0.0, 0.01);
  std::uniform_int_distribution<int> pct(0, 999), any(1, 65535);
  const CameraModel m = model();
  ImageFrame image;
  image.frame_id = "depth";
  image.width = kWidth;
  image.height = kHeight;
  image.encoding = "16UC1";
  image.step = 2 * kWidth;
  image.data.resize(static_cast<size_t>(image.step) * kHeight);
  for (int v = 0; v < kHeight; ++v) {
    for (int u = 0; u < kWidth; ++u) {
      // Ray (x, y, 1) in camera axes: x right, y down, z forward.
      const double x = (u - m.intrinsics[2]) / m.intrinsics[0], y = (v - m.intrinsics[5]) / m.intrinsics[4];
      double z = 6.0;                                      // back wall
      if (y > 0.0) z = std::min(z, 1.2 / y);               // floor
      if (x < 0.0) z = std::min(z, 2.0 / -x);              // side wall
      const double tb = 2.5;                               // box front face, x in [0.2, 0.9], y in [-0.3, 1.2]
      if (x * tb > 0.2 && x * tb < 0.9 && y * tb > -0.3 && y * tb < 1.2) z = std::min(z, tb);
      // Ball of radius 0.5 at (-0.8, 0.4, 3.5).
      const double b = -0.8 * x + 0.4 * y + 3.5, a = x * x + y * y + 1.0;
      const double disc = b * b - a * (0.64 + 0.16 + 12.25 - 0.25);
      if (disc > 0.0) z = std::min(z, (b - std::sqrt(disc)) / a);
      double mm = z * 1000.0;
      if (speckle) {
        mm *= 1.0 + noise(rng);
        const int p = pct(rng);
        if (p < 80) mm = 0.0;
        else if (p < 90) mm = any(rng);
      }
      const auto s = static_cast<uint16_t>(std::clamp(std::lround(mm), 0L, 65535L));
      image.data[static_cast<size_t>(v * image.step + 2 * u)] = static_cast<uint8_t>(s & 0xFF);
      image.data[static_cast<size_t>(v * image.step + 2 * u + 1)] = static_cast<uint8_t>(s >> 8);
    }
  }
  return image;
}

double median(std::vector<double> v) {
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2), v.end());
  return v[v.size() / 2];
}

// CPU time of this thread in milliseconds: on a shared machine, time spent waiting for a core does not
// count.
double thread_ms() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) * 1e-6;
}

// Runs every job once per round, `rounds` times, and returns each job's median in milliseconds.
std::vector<double> interleaved_ms(const std::vector<std::function<void()>>& jobs, int rounds) {
  std::vector<std::vector<double>> times(jobs.size());
  for (int r = 0; r < rounds; ++r) {
    for (size_t j = 0; j < jobs.size(); ++j) {
      const double start = thread_ms();
      jobs[j]();
      times[j].push_back(thread_ms() - start);
    }
  }
  std::vector<double> out;
  for (auto& t : times) out.push_back(median(t));
  return out;
}

void scene(const char* name, bool speckle) {
  const ImageFrame image = room(speckle);
  const CameraModel m = model();
  DepthCloudScratch scratch;
  // The engine builds a new cloud for every image; so does each job here.
  auto cloud_job = [&](uint32_t d, size_t* points) {
    return [&, d, points] {
      PointCloud cloud;
      depth_cloud(image, m, d, cloud, kUnits, kMinRange, kMaxRange, scratch);
      *points = cloud.points.size();
      g_sink = g_sink + cloud.points.size();
    };
  };
  std::vector<uint32_t> decimations = {1};
  for (uint32_t d = 2; d <= 16; ++d) decimations.push_back(d);
  std::vector<size_t> points(decimations.size());
  std::vector<std::function<void()>> jobs;
  for (size_t i = 0; i < decimations.size(); ++i) jobs.push_back(cloud_job(decimations[i], &points[i]));
  jobs[0]();
  // memcpy of the bytes the full-resolution cloud moves: the image read and the points written.
  const size_t bytes = image.data.size() + points[0] * sizeof(std::array<float, 3>);
  std::vector<uint8_t> source(bytes, 1), target(bytes);
  jobs.push_back([&] {
    std::memcpy(target.data(), source.data(), bytes);
    g_sink = g_sink + target[bytes / 2];
  });
  const std::vector<double> ms = interleaved_ms(jobs, 61);
  const double full = ms[0], copy = ms.back();
  const std::string prefix = std::string("depth cloud ") + name + " 640x480 ";
  row(prefix + "full resolution", full, "ms", std::to_string(points[0]) + " points");
  row(prefix + "memcpy of the same bytes", copy, "ms", std::to_string(bytes) + " B (image + points)");
  row(prefix + "full resolution / memcpy", full / copy, "ratio", "target <= 1.5");
  double worst = 0.0;
  uint32_t worst_d = 0;
  for (size_t i = 1; i < decimations.size(); ++i) {
    const uint32_t d = decimations[i];
    if ((d & (d - 1)) == 0) {
      row(prefix + "decimation " + std::to_string(d), ms[i], "ms", std::to_string(points[i]) + " points");
    }
    if (ms[i] > worst) {
      worst = ms[i];
      worst_d = d;
    }
  }
  row(prefix + "worst decimation 2-16 / full resolution", worst / full, "ratio",
      "d = " + std::to_string(worst_d) + ", target <= 1");
}

}  // namespace

int main() {
  scene("clean", false);
  scene("speckled", true);
  return 0;
}
