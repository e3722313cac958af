// Depth point clouds, worked by hand: the band, block medians and their thresholds, the edge-drop rule,
// float samples, and layouts that must give no points.
#include "vo_support.hpp"

#include <limits>
#include <tuple>

namespace vo_test {
namespace {

using Points = std::vector<std::array<float, 3>>;

TEST(DepthCloud, HandWorkedCases) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  const auto u16 = [](int w, int h, const std::vector<uint16_t>& s) { return depth_image("d", 5, w, h, s); };
  std::vector<uint16_t> seven_of_sixteen(16, 0), eight_of_sixteen;
  for (size_t i = 0; i < 7; ++i) seven_of_sixteen[i] = static_cast<uint16_t>(100 * (i + 1));
  eight_of_sixteen = seven_of_sixteen;
  eight_of_sixteen[8] = 800;
  std::vector<uint16_t> diagonal(36, 2000);
  for (const int i : {0, 1, 6, 7}) diagonal[static_cast<size_t>(i)] = 1000;
  for (const int i : {28, 29, 34, 35}) diagonal[static_cast<size_t>(i)] = 3000;
  const ImageFrame flat = u16(16, 16, std::vector<uint16_t>(256, 1000));
  ImageFrame short_image = flat, negative = flat;  // data shorter than the header claims; negative sizes
  short_image.data.pop_back();
  negative.width = -5, negative.step = -10;
  struct Case {
    const char* name;
    ImageFrame image;
    uint32_t d;
    double units, min_range, max_range;
    std::vector<float> z;  // metres, in output order
  };
  const std::vector<Case> cases = {
      {"band edges 300..4000", u16(6, 1, {0, 299, 300, 4000, 4001, 65535}), 0, 1000.0, 0.3, 4.0, {0.3f, 4.0f}},
      {"min range 0 still drops zeros; negative max range means no limit", u16(3, 1, {0, 1, 65535}), 0, 1000.0, 0.0, -1.0, {0.001f, 65.535f}},
      {"d=4 with 7 of 16 in band: invalid", u16(4, 4, seven_of_sixteen), 4, 1000.0, 0.0, 0.0, {}},
      {"d=4 with 8 of 16: rank 4 (fifth smallest)", u16(4, 4, eight_of_sixteen), 4, 1000.0, 0.0, 0.0, {0.5f}},
      // 3 x 3 grid; the right column and bottom row cover 2 pixels (threshold 2), the corner 1 pixel.
      {"d=2 on 5x5", u16(5, 5, std::vector<uint16_t>(25, 1000)), 2, 1000.0, 0.0, 0.0, {1, 1, 1, 1, 1, 1, 1, 1}},
      {"cell between nearer and farther neighbours dropped", u16(6, 2, {1000, 1000, 2000, 2000, 3000, 3000, 1000, 1000, 2000, 2000, 3000, 3000}),
       2, 1000.0, 0.0, 0.0, {1, 3}},
      // Diagonal neighbours count too: the centre cell at 2 m lies between 1 m (top left) and 3 m (bottom right).
      {"cell between diagonal neighbours dropped", u16(6, 6, diagonal), 2, 1000.0, 0.0, 0.0, {1, 2, 2, 2, 2, 2, 2, 3}},
      {"farther neighbour within tolerance keeps the cell", u16(6, 2, {1000, 1000, 2000, 2000, 2200, 2200, 1000, 1000, 2000, 2000, 2200, 2200}),
       2, 1000.0, 0.0, 0.0, {1, 2, 2.2f}},
      {"float metres: NaN, inf, zero and negative make no points",
       depth_image("d", 0, 8, 1, std::vector{0.25f, nan, inf, 0.0f, -1.0f, 1.75f, 3.5f, 80000.0f}), 0, 1.0, 0.2, 0.0, {0.25f, 1.75f, 3.5f, 80000.0f}},
      {"d=22: one cell of 256 pixels against a threshold of 242", flat, 22, 1000.0, 0.0, 0.0, {1}},
      {"d=23: threshold 264, never valid", flat, 23, 1000.0, 0.0, 0.0, {}},
      {"largest decimation", flat, decimation_from_config(1'000'000'000'000), 1000.0, 0.0, 0.0, {}},
      {"data shorter than the header claims", short_image, 0, 1000.0, 0.0, 0.0, {}},
      {"negative width and step", negative, 2, 1000.0, 0.0, 0.0, {}},
  };
  for (const Case& c : cases) {
    PointCloud cloud;
    depth_cloud(c.image, camera_model("d", 1, 1, 1.0, 0.0, 1.0, 0.0), c.d, cloud, c.units, c.min_range, c.max_range);
    std::vector<float> z;
    for (const auto& p : cloud.points) z.push_back(p[2]);
    ASSERT_EQ(z.size(), c.z.size()) << c.name;
    for (size_t i = 0; i < z.size(); ++i) EXPECT_FLOAT_EQ(z[i], c.z[i]) << c.name;
  }
  EXPECT_EQ(std::make_pair(decimation_from_config(-7), decimation_from_config(4)), std::make_pair(0u, 4u));
  // Blocks at 2 m seen by fx = fy = 2, cx = cy = 0, rows padded: a 4 x 4 block's centre pixel (1.5, 1.5)
  // gives x = y = 1.5 m; 3 x 3 blocks have centres 1 and 4.
  PointCloud cloud;
  const CameraModel model = camera_model("d", 6, 4, 2.0, 0.0, 2.0, 0.0);
  depth_cloud(depth_image("d", 9, 4, 4, std::vector<uint16_t>(16, 2000), 11), model, 4, cloud, 1000.0, 0.0, 0.0);
  EXPECT_EQ(cloud.points, (Points{{1.5f, 1.5f, 2.0f}}));
  EXPECT_EQ(std::tie(cloud.frame_id, cloud.timestamp_ns), std::make_tuple(std::string("d"), int64_t{9}));
  depth_cloud(depth_image("d", 9, 6, 3, std::vector<uint16_t>(18, 2000), 14), model, 3, cloud, 1000.0, 0.0, 0.0);
  EXPECT_EQ(cloud.points, (Points{{1.0f, 1.0f, 2.0f}, {4.0f, 1.0f, 2.0f}}));
}

TEST(DepthLayout, SizeCheck) {
  // width, height, step, encoding, bytes, accepted
  const std::vector<std::tuple<int32_t, int32_t, int32_t, std::string, size_t, bool>> cases = {
      {640, 480, 1280, "16UC1", 614400, true}, {640, 480, 1280, "16UC1", 614399, false}, {640, 480, 1280, "32FC1", 614400, false},
      {640, 480, 2560, "32FC1", 1228800, true}, {640, 480, 1279, "mono16", 1000000, false}, {0, 5, 0, "16UC1", 0, true},
      {0, 10, 100, "16UC1", 999, false}, {-3, 2, 0, "16UC1", 0, true}, {2147483647, 2147483647, 2147483647, "16UC1", 100, false},
  };
  for (const auto& [width, height, step, encoding, bytes, ok] : cases) {
    const ImageFrame image{.timestamp_ns = 0, .frame_id = "d", .width = width, .height = height, .encoding = encoding,
                           .step = step, .data = std::vector<uint8_t>(bytes)};
    EXPECT_EQ(depth_layout_ok(image), ok) << width << "x" << height << " step " << step << " " << encoding;
  }
}

}  // namespace
}  // namespace vo_test
