// Depth reprojection: round trips and hand-worked geometry.
#include "vo_support.hpp"

#include <random>
#include <tuple>

#include "cuvslam_odometry/depth_reproject.hpp"

namespace vo_test {
namespace {

std::vector<uint16_t> random_depth(uint32_t seed, int n) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(0, 65534);
  std::vector<uint16_t> s(static_cast<size_t>(n));
  for (auto& x : s) x = static_cast<uint16_t>(d(rng));
  return s;
}

TEST(DepthReproject, IdentityReproducesTheInputAndAHalfTurnMirrorsIt) {
  const int w = 31, h = 17;
  const std::vector<uint16_t> s = random_depth(7, w * h);
  const CameraModel depth_model = camera_model("depth", w, h, 22.0, 15.0, 21.0, 8.0);
  CameraModel camera = depth_model;
  camera.frame_id = "camera";
  ImageFrame out;
  for (const double units : {1000.0, 4000.0, 1.0}) {
    // Padded input rows; a stale output buffer from an earlier call must not leak through.
    out.data.assign(5000, 0xAB);
    reproject_depth(units, depth_image("depth", 99, w, h, s, 2 * w + 6, "mono16"), depth_model, camera, Isometry::identity(), out);
    EXPECT_EQ(std::tie(out.frame_id, out.timestamp_ns, out.width, out.height, out.step, out.encoding),
              std::make_tuple(std::string("camera"), int64_t{99}, w, h, 2 * w, std::string("mono16")));
    EXPECT_EQ(samples_as<uint16_t>(out.data), s) << "units " << units;
  }
  std::vector<float> f(static_cast<size_t>(w * h));  // metres, units 1: float depth stays float
  for (size_t i = 0; i < f.size(); ++i) f[i] = 0.37f * static_cast<float>(i);
  reproject_depth(1.0, depth_image("depth", 3, w, h, f), depth_model, camera, Isometry::identity(), out);
  EXPECT_EQ(std::tie(out.encoding, out.step), std::make_tuple(std::string("32FC1"), 4 * w));
  EXPECT_EQ(samples_as<float>(out.data), f);
  // About the optical axis, through the principal point (15, 8): rows and columns reversed.
  reproject_depth(1000.0, depth_image("d", 0, w, h, s), depth_model, camera, pose(0, 0, 0, Eigen::Vector3d::UnitZ(), M_PI), out);
  EXPECT_EQ(samples_as<uint16_t>(out.data), std::vector<uint16_t>(s.rbegin(), s.rend()));
}

TEST(DepthReproject, DistanceChangesTheValuesUpToSaturation) {
  // A wall 2 m ahead seen from 0.5 m further back reads 2500 at the principal point; from 100 m, saturated.
  const CameraModel model = camera_model("c", 12, 3, 50.0, 5.0, 50.0, 1.0);
  const ImageFrame wall = depth_image("d", 0, 12, 3, std::vector<uint16_t>(36, 2000));
  ImageFrame out;
  for (const auto& [back, value] : {std::pair{0.5, 2500}, std::pair{100.0, 65535}}) {
    reproject_depth(1000.0, wall, model, model, translation(0.0, 0.0, back), out);
    EXPECT_EQ(samples_as<uint16_t>(out.data)[12 + 5], value);
  }
}

TEST(DepthReproject, NearestSurfaceWinsWhateverTheOrder) {
  // A camera with a tiny focal length sees every point on its one pixel.
  const CameraModel depth_model = camera_model("d", 3, 1, 1.0, 1.0, 1.0, 0.0);
  const CameraModel camera = camera_model("c", 1, 1, 1e-6, 0.0, 1e-6, 0.0);
  for (const std::vector<uint16_t>& s : {std::vector<uint16_t>{3000, 2000, 2500}, std::vector<uint16_t>{2000, 3000, 0},
                                         std::vector<uint16_t>{0, 2500, 2000}}) {
    ImageFrame out;
    reproject_depth(1000.0, depth_image("d", 0, 3, 1, s), depth_model, camera, Isometry::identity(), out);
    EXPECT_EQ(samples_as<uint16_t>(out.data), (std::vector<uint16_t>{2000}));
  }
}

TEST(DepthReproject, PointsBehindOrOutsideAreSkipped) {
  const CameraModel model = camera_model("c", 4, 4, 2.0, 1.5, 2.0, 1.5);
  const ImageFrame wall = depth_image("d", 0, 4, 4, std::vector<uint16_t>(16, 1000));
  // Degenerate intrinsics give NaN coordinates, which never become pixel indices.
  const std::vector<std::pair<CameraModel, Isometry>> cases = {
      {model, pose(0, 0, 0, Eigen::Vector3d::UnitY(), M_PI)},  // behind
      {model, translation(50.0, 0.0, 0.0)},                    // outside
      {camera_model("d", 4, 4, 0.0, 0.0, 0.0, 0.0), Isometry::identity()},
  };
  ImageFrame out;
  for (const auto& [depth_model, camera_from_depth] : cases) {
    reproject_depth(1000.0, wall, depth_model, model, camera_from_depth, out);
    EXPECT_EQ(samples_as<uint16_t>(out.data), std::vector<uint16_t>(16, 0));
  }
  // A camera model without pixels gives an empty image.
  reproject_depth(1000.0, wall, model, camera_model("c", -4, 4), Isometry::identity(), out);
  EXPECT_TRUE(out.width == 0 && out.data.empty());
}

}  // namespace
}  // namespace vo_test
