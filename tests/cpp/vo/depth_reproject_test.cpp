// Depth reprojection: round trips and hand-worked geometry.
#include "vo_support.hpp"

#include <random>

#include "cuvslam_odometry/depth_reproject.hpp"

namespace vo_test {
namespace {

std::vector<uint16_t> samples_of(const ImageFrame& image) {
  std::vector<uint16_t> out(static_cast<size_t>(image.width * image.height));
  for (int v = 0; v < image.height; ++v)
    for (int u = 0; u < image.width; ++u) {
      const uint8_t* p = &image.data[static_cast<size_t>(v * image.step + 2 * u)];
      out[static_cast<size_t>(v * image.width + u)] = static_cast<uint16_t>(p[0] | (p[1] << 8));
    }
  return out;
}

std::vector<uint16_t> random_depth(uint32_t seed, int n) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> d(0, 65534);
  std::vector<uint16_t> s(static_cast<size_t>(n));
  for (auto& x : s) x = static_cast<uint16_t>(d(rng));
  return s;
}

TEST(DepthReproject, IdentityWithEqualIntrinsicsReproducesTheInput) {
  const int w = 31, h = 17;
  for (const double units : {1000.0, 4000.0, 1.0}) {
    const std::vector<uint16_t> s = random_depth(7, w * h);
    const CameraModel depth_model = camera_model("depth", w, h, 22.0, 15.5, 21.0, 8.25);
    CameraModel camera = depth_model;
    camera.frame_id = "camera";
    ImageFrame out;
    // Padded input rows; a stale output buffer from an earlier call must not leak through.
    out.data.assign(5000, 0xAB);
    reproject_depth(units, depth16("depth", 99, w, h, s, 2 * w + 6, "mono16"), depth_model, camera, Isometry::identity(), out);
    EXPECT_EQ(out.frame_id, "camera");
    EXPECT_EQ(out.timestamp_ns, 99);
    EXPECT_EQ(out.width, w);
    EXPECT_EQ(out.height, h);
    EXPECT_EQ(out.step, 2 * w);
    EXPECT_EQ(out.encoding, "mono16");
    ASSERT_EQ(out.data.size(), static_cast<size_t>(2 * w * h));
    EXPECT_EQ(samples_of(out), s) << "units " << units;
  }
}

TEST(DepthReproject, HalfTurnAboutTheOpticalAxisMirrorsTheImage) {
  const int w = 9, h = 7;
  const std::vector<uint16_t> s = random_depth(11, w * h);
  const CameraModel model = camera_model("c", w, h, 10.0, (w - 1) / 2.0, 10.0, (h - 1) / 2.0);
  ImageFrame out;
  reproject_depth(1000.0, depth16("d", 0, w, h, s), model, model, pose(0, 0, 0, Eigen::Vector3d::UnitZ(), M_PI), out);
  const std::vector<uint16_t> got = samples_of(out);
  for (int v = 0; v < h; ++v)
    for (int u = 0; u < w; ++u)
      EXPECT_EQ(got[static_cast<size_t>(v * w + u)], s[static_cast<size_t>((h - 1 - v) * w + (w - 1 - u))]) << u << "," << v;
}

TEST(DepthReproject, BaselineShiftsAPlane) {
  // A wall 2 m ahead; the camera sits 0.08 m to the left of the depth sensor, so in the camera the wall's
  // pixels move fx × 0.08 / 2 = 2 columns right, leaving the first two columns empty.
  const int w = 12, h = 3;
  const CameraModel model = camera_model("c", w, h, 50.0, 5.5, 50.0, 1.0);
  ImageFrame out;
  reproject_depth(1000.0, depth16("d", 0, w, h, std::vector<uint16_t>(w * h, 2000)), model, model,
                  translation(0.08, 0.0, 0.0), out);
  const std::vector<uint16_t> got = samples_of(out);
  for (int v = 0; v < h; ++v)
    for (int u = 0; u < w; ++u) EXPECT_EQ(got[static_cast<size_t>(v * w + u)], u < 2 ? 0 : 2000) << u << "," << v;

  // Moving the camera 0.5 m back makes every value 2500; 100 m back saturates at 65535.
  reproject_depth(1000.0, depth16("d", 0, w, h, std::vector<uint16_t>(w * h, 2000)), model, model,
                  translation(0.0, 0.0, 0.5), out);
  EXPECT_EQ(samples_of(out)[static_cast<size_t>(w + 5)], 2500);
  reproject_depth(1000.0, depth16("d", 0, w, h, std::vector<uint16_t>(w * h, 2000)), model, model,
                  translation(0.0, 0.0, 100.0), out);
  EXPECT_EQ(samples_of(out)[static_cast<size_t>(w + 5)], 65535);
}

TEST(DepthReproject, NearestSurfaceWinsWhateverTheOrder) {
  // A camera with a tiny focal length sees every point on its one pixel.
  const CameraModel depth_model = camera_model("d", 3, 1, 1.0, 1.0, 1.0, 0.0);
  const CameraModel camera = camera_model("c", 1, 1, 1e-6, 0.0, 1e-6, 0.0);
  for (const std::vector<uint16_t>& s : {std::vector<uint16_t>{3000, 2000, 2500}, std::vector<uint16_t>{2000, 3000, 0},
                                         std::vector<uint16_t>{0, 2500, 2000}}) {
    ImageFrame out;
    reproject_depth(1000.0, depth16("d", 0, 3, 1, s), depth_model, camera, Isometry::identity(), out);
    EXPECT_EQ(samples_of(out), (std::vector<uint16_t>{2000}));
  }
}

TEST(DepthReproject, PointsBehindOrOutsideAreSkipped) {
  const CameraModel model = camera_model("c", 4, 4, 2.0, 1.5, 2.0, 1.5);
  ImageFrame out;
  reproject_depth(1000.0, depth16("d", 0, 4, 4, std::vector<uint16_t>(16, 1000)), model, model,
                  pose(0, 0, 0, Eigen::Vector3d::UnitY(), M_PI), out);
  EXPECT_EQ(samples_of(out), std::vector<uint16_t>(16, 0));
  reproject_depth(1000.0, depth16("d", 0, 4, 4, std::vector<uint16_t>(16, 1000)), model, model,
                  translation(50.0, 0.0, 0.0), out);
  EXPECT_EQ(samples_of(out), std::vector<uint16_t>(16, 0));
  // Degenerate intrinsics give NaN coordinates, which never become pixel indices.
  reproject_depth(1000.0, depth16("d", 0, 4, 4, std::vector<uint16_t>(16, 1000)), camera_model("d", 4, 4, 0.0, 0.0, 0.0, 0.0),
                  model, Isometry::identity(), out);
  EXPECT_EQ(samples_of(out), std::vector<uint16_t>(16, 0));
  // A camera model without pixels gives an empty image.
  reproject_depth(1000.0, depth16("d", 0, 4, 4, std::vector<uint16_t>(16, 1000)), model, camera_model("c", -4, 4),
                  Isometry::identity(), out);
  EXPECT_EQ(out.width, 0);
  EXPECT_TRUE(out.data.empty());
}

TEST(DepthReproject, FloatDepthStaysFloat) {
  const int w = 5, h = 4;
  std::vector<float> s(static_cast<size_t>(w * h));
  for (size_t i = 0; i < s.size(); ++i) s[i] = 0.37f * static_cast<float>(i);  // metres, units 1
  const CameraModel model = camera_model("c", w, h, 8.0, 2.0, 8.0, 1.5);
  ImageFrame out;
  reproject_depth(1.0, depth32("c", 3, w, h, s), model, model, Isometry::identity(), out);
  EXPECT_EQ(out.encoding, "32FC1");
  EXPECT_EQ(out.step, 4 * w);
  ASSERT_EQ(out.data.size(), s.size() * 4);
  std::vector<float> got(s.size());
  std::memcpy(got.data(), out.data.data(), out.data.size());
  for (size_t i = 0; i < s.size(); ++i) EXPECT_FLOAT_EQ(got[i], s[i]) << i;
}

}  // namespace
}  // namespace vo_test
