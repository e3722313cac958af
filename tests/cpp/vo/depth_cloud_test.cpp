// Depth point clouds against a plain re-implementation of the rules (sorting for medians, plain band
// arithmetic), on random scenes with speckle and ties, plus hand-worked cases at the band edges and the
// edge-drop rule.
#include "vo_support.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>

namespace vo_test {
namespace {

using Points = std::vector<std::array<float, 3>>;

// Straightforward version of the cloud rules: `integral` for 16-bit samples (integer band, truncated
// tolerance), else the rules of float samples. Full resolution is a grid of 1 x 1 cells without the
// edge-drop rule.
Points reference_cloud(const std::vector<double>& s, bool integral, int w, int h, const CameraModel& m, int d,
                       double units, double min_range, double max_range) {
  const double fx = m.intrinsics[0], cx = m.intrinsics[2], fy = m.intrinsics[4], cy = m.intrinsics[5];
  double lo = std::max<double>(std::numeric_limits<float>::denorm_min(), units * min_range);
  double hi = max_range > 0 ? units * max_range : std::numeric_limits<double>::max();
  if (integral) lo = std::clamp(std::ceil(units * min_range), 1.0, 65535.0), hi = std::floor(std::min(hi, 65535.0));
  const int b = std::max(d, 1), gw = (w + b - 1) / b, gh = (h + b - 1) / b;
  std::vector<double> grid(static_cast<size_t>(gw * gh), -1);  // -1: invalid
  for (int r = 0; r < gh; ++r)
    for (int k = 0; k < gw; ++k) {
      std::vector<double> vals;
      for (int v = r * b; v < std::min(h, (r + 1) * b); ++v)
        for (int c = k * b; c < std::min(w, (k + 1) * b); ++c)
          if (const double x = s[static_cast<size_t>(v * w + c)]; x >= lo && x <= hi) vals.push_back(x);
      std::sort(vals.begin(), vals.end());
      if (!vals.empty() && vals.size() >= static_cast<size_t>(b * b / 2)) grid[static_cast<size_t>(r * gw + k)] = vals[vals.size() / 2];
    }
  const auto at = [&](int r, int k) { return (r < 0 || k < 0 || r >= gh || k >= gw) ? -1 : grid[static_cast<size_t>(r * gw + k)]; };
  Points out;
  for (int r = 0; r < gh; ++r)
    for (int k = 0; k < gw; ++k) {
      const double z_r = at(r, k);
      if (z_r < 0) continue;
      double tol = std::max(0.3 * units, 0.1 * z_r);
      if (integral) tol = static_cast<int>(tol);
      const int pairs[4][4] = {{r, k - 1, r, k + 1}, {r - 1, k, r + 1, k}, {r - 1, k - 1, r + 1, k + 1}, {r + 1, k - 1, r - 1, k + 1}};
      bool drop = false;
      for (const auto& p : pairs) {
        const double a = std::min(at(p[0], p[1]), at(p[2], p[3])), c = std::max(at(p[0], p[1]), at(p[2], p[3]));
        drop = drop || (d > 1 && a >= 0 && a + tol < z_r && c - tol > z_r);
      }
      const double c0 = (b - 1) / 2.0, z = z_r / units;
      if (!drop) out.push_back({static_cast<float>((c0 + k * b - cx) / fx * z), static_cast<float>((c0 + r * b - cy) / fy * z), static_cast<float>(z)});
    }
  return out;
}

// Random scene: a few rectangles at different depths on a sloped background, holes, far and near outliers;
// with `ties`, every depth is one of four values.
std::vector<uint16_t> random_scene(std::mt19937& rng, int w, int h, bool ties) {
  std::uniform_int_distribution<int> depth(200, 6000), noise(-30, 30), pct(0, 99), level(1, 4);
  std::vector<uint16_t> s(static_cast<size_t>(w * h));
  const int base = depth(rng);
  for (int v = 0; v < h; ++v)
    for (int c = 0; c < w; ++c) s[static_cast<size_t>(v * w + c)] = static_cast<uint16_t>(std::clamp(base + 10 * v + noise(rng), 0, 65535));
  for (int box = 0; box < 3; ++box) {
    std::uniform_int_distribution<int> xs(0, w - 1), ys(0, h - 1);
    const int x0 = xs(rng), y0 = ys(rng), x1 = xs(rng), y1 = ys(rng), z = depth(rng);
    for (int v = std::min(y0, y1); v <= std::max(y0, y1); ++v)
      for (int c = std::min(x0, x1); c <= std::max(x0, x1); ++c) s[static_cast<size_t>(v * w + c)] = static_cast<uint16_t>(z);
  }
  for (auto& x : s) {
    if (ties) x = static_cast<uint16_t>(500 * level(rng));
    const int p = pct(rng);
    x = p < 15 ? 0 : p < 18 ? 65535 : p < 20 ? 1 : x;
  }
  return s;
}

TEST(DepthCloud, MatchesPlainImplementationOnRandomScenes) {
  const uint32_t seed = 20240611;
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> size(1, 70), pick(0, 19);
  const int decimations[20] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 23, 40};
  const double units_choices[3] = {1000.0, 5000.0, 256.0};
  for (int trial = 0; trial < 400; ++trial) {
    const int w = size(rng), h = size(rng), d = decimations[trial < 40 ? trial % 20 : pick(rng)];
    const double units = units_choices[trial % 3];
    const double min_range = (trial % 4) * 0.25, max_range = (trial % 5 == 0) ? 0.0 : 2.0 + (trial % 7);
    const CameraModel model = camera_model("depth", w, h, 40.0 + trial, w / 2.0 + 0.3, 45.0 - trial * 0.1, h / 2.0 - 0.7);
    const std::vector<uint16_t> s = random_scene(rng, w, h, trial % 3 == 1);
    SCOPED_TRACE(::testing::Message() << "seed " << seed << " trial " << trial << " " << w << "x" << h << " d=" << d);
    // Padded rows must not change the result.
    const ImageFrame image = depth_image("depth", 77 + trial, w, h, s, 2 * w + 2 * (trial % 3));
    PointCloud cloud;
    depth_cloud(image, model, static_cast<uint32_t>(d), cloud, units, min_range, max_range);
    ASSERT_EQ(cloud.points, reference_cloud({s.begin(), s.end()}, true, w, h, model, d, units, min_range, max_range));
    EXPECT_EQ(std::tie(cloud.frame_id, cloud.timestamp_ns), std::make_tuple(std::string("depth"), int64_t{77 + trial}));

    // Float samples: the same scene in thirds of a unit, with NaN and infinity for some of the holes.
    std::vector<float> f(s.size());
    for (size_t i = 0; i < s.size(); ++i) f[i] = s[i] == 1 ? NAN : s[i] == 65535 ? INFINITY : s[i] / 3.0f;
    depth_cloud(depth_image("depth", 1, w, h, f), model, static_cast<uint32_t>(d), cloud, units / 3.0, min_range, max_range);
    ASSERT_EQ(cloud.points, reference_cloud({f.begin(), f.end()}, false, w, h, model, d, units / 3.0, min_range, max_range));
  }
}

TEST(DepthCloud, HandWorkedCases) {
  struct HandCase {
    const char* name;
    int w, h, d;
    std::vector<uint16_t> samples;
    double min_range, max_range;
    std::vector<float> expected_z;  // metres, in output order
  };
  const std::vector<uint16_t> seven_of_sixteen = {100, 200, 300, 400, 500, 600, 700, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint16_t> eight_of_sixteen = seven_of_sixteen;
  eight_of_sixteen[8] = 800;
  const std::vector<HandCase> cases = {
      {"band edges 300..4000", 6, 1, 0, {0, 299, 300, 4000, 4001, 65535}, 0.3, 4.0, {0.3f, 4.0f}},
      {"min range 0 still drops zeros", 3, 1, 0, {0, 1, 65535}, 0.0, 0.0, {0.001f, 65.535f}},
      {"negative max range means no limit", 2, 1, 0, {5, 60000}, 0.0, -1.0, {0.005f, 60.0f}},
      {"d=4 with 7 of 16 in band: invalid", 4, 4, 4, seven_of_sixteen, 0.0, 0.0, {}},
      {"d=4 with 8 of 16: rank 4 (fifth smallest)", 4, 4, 4, eight_of_sixteen, 0.0, 0.0, {0.5f}},
      // 3 x 3 grid; the right column and bottom row cover 2 pixels (threshold 2), the corner 1 pixel.
      {"d=2 on 5x5", 5, 5, 2, std::vector<uint16_t>(25, 1000), 0.0, 0.0, {1, 1, 1, 1, 1, 1, 1, 1}},
      {"cell between nearer and farther neighbours dropped", 6, 2, 2,
       {1000, 1000, 2000, 2000, 3000, 3000, 1000, 1000, 2000, 2000, 3000, 3000}, 0.0, 0.0, {1, 3}},
      {"farther neighbour within tolerance keeps the cell", 6, 2, 2,
       {1000, 1000, 2000, 2000, 2200, 2200, 1000, 1000, 2000, 2000, 2200, 2200}, 0.0, 0.0, {1, 2, 2.2f}},
  };
  for (const HandCase& c : cases) {
    PointCloud cloud;
    depth_cloud(depth_image("d", 5, c.w, c.h, c.samples), camera_model("d", c.w, c.h, 1.0, 0.0, 1.0, 0.0),
                static_cast<uint32_t>(c.d), cloud, 1000.0, c.min_range, c.max_range);
    ASSERT_EQ(cloud.points.size(), c.expected_z.size()) << c.name;
    for (size_t i = 0; i < cloud.points.size(); ++i) EXPECT_FLOAT_EQ(cloud.points[i][2], c.expected_z[i]) << c.name;
  }
  // One 4 x 4 block at 2 m seen by fx = fy = 2, cx = cy = 0: centre pixel (1.5, 1.5) gives x = y = 1.5 m.
  PointCloud cloud;
  depth_cloud(depth_image("d", 0, 4, 4, std::vector<uint16_t>(16, 2000)), camera_model("d", 4, 4, 2.0, 0.0, 2.0, 0.0), 4,
              cloud, 1000.0, 0.0, 0.0);
  EXPECT_EQ(cloud.points, (Points{{1.5f, 1.5f, 2.0f}}));
}

TEST(DepthCloud, FloatDepth) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  // Metres with units 1: NaN, inf, zero and negative samples never make points; fractions are kept.
  const std::vector<float> samples = {0.25f, nan, inf, 0.0f, -1.0f, 1.75f, 3.5f, 80000.0f};
  // Decimated: the median of 2 x 2 blocks, no integer truncation of the tolerance (0.3 m at units 1), so
  // 1.0 between 0.6 and 1.45 is dropped while 0.6 / 1.0 / 1.25 keeps the middle.
  const std::vector<float> row_drop = {0.6f, 0.6f, 1.0f, 1.0f, 1.45f, 1.45f, 0.6f, 0.6f, 1.0f, 1.0f, 1.45f, 1.45f};
  std::vector<float> row_keep = row_drop;
  row_keep[4] = row_keep[5] = row_keep[10] = row_keep[11] = 1.25f;
  const std::vector<std::tuple<ImageFrame, uint32_t, double, double, std::vector<float>>> cases = {
      {depth_image("d", 0, 8, 1, samples), 0, 0.2, 0.0, {0.25f, 1.75f, 3.5f, 80000.0f}},
      {depth_image("d", 0, 8, 1, samples), 0, 0.3, 3.5, {1.75f, 3.5f}},
      {depth_image("d", 0, 6, 2, row_drop), 2, 0.0, 0.0, {0.6f, 1.45f}},
      {depth_image("d", 0, 6, 2, row_keep), 2, 0.0, 0.0, {0.6f, 1.0f, 1.25f}},
  };
  for (const auto& [image, d, min_range, max_range, want] : cases) {
    PointCloud cloud;
    depth_cloud(image, camera_model("d", image.width, image.height, 1.0, 0.0, 1.0, 0.0), d, cloud, 1.0, min_range, max_range);
    std::vector<float> z;
    for (const auto& p : cloud.points) z.push_back(p[2]);
    EXPECT_EQ(z, want);
  }
}

TEST(DepthCloud, HugeDecimationAndBadLayoutsAreHarmless) {
  EXPECT_EQ(decimation_from_config(1'000'000'000'000), std::numeric_limits<uint32_t>::max());
  EXPECT_EQ(decimation_from_config(-7), 0u);
  EXPECT_EQ(decimation_from_config(4), 4u);
  const CameraModel model = camera_model("d", 16, 16);
  ImageFrame flat = depth_image("d", 0, 16, 16, std::vector<uint16_t>(256, 1000));
  ImageFrame short_image = flat;  // data shorter than the header claims
  short_image.data.pop_back();
  ImageFrame negative = short_image;
  negative.width = -5;
  negative.step = -10;
  // d = 22: one cell of 256 pixels against a threshold of 242, valid; d = 23: threshold 264, never.
  const std::vector<std::tuple<ImageFrame, uint32_t, size_t>> cases = {
      {flat, std::numeric_limits<uint32_t>::max(), 0}, {flat, 22, 1}, {flat, 23, 0}, {short_image, 0, 0}, {negative, 2, 0}};
  for (const auto& [image, d, points] : cases) {
    PointCloud cloud;
    depth_cloud(image, model, d, cloud, 1000.0, 0.0, 0.0);
    EXPECT_EQ(cloud.points.size(), points) << d;
  }
}

TEST(DepthLayout, SizeCheck) {
  struct Case {
    int32_t width, height, step;
    std::string encoding;
    size_t bytes;
    bool ok;
  };
  const std::vector<Case> cases = {
      {640, 480, 1280, "16UC1", 614400, true},  {640, 480, 1280, "16UC1", 614399, false},
      {640, 480, 1280, "32FC1", 614400, false}, {640, 480, 2560, "32FC1", 1228800, true},
      {640, 480, 1279, "mono16", 1000000, false}, {0, 5, 0, "16UC1", 0, true},
      {0, 10, 100, "16UC1", 999, false},          {-3, 2, 0, "16UC1", 0, true},
      {2147483647, 2147483647, 2147483647, "16UC1", 100, false},
  };
  for (const Case& c : cases) {
    ImageFrame image;
    image.width = c.width;
    image.height = c.height;
    image.step = c.step;
    image.encoding = c.encoding;
    image.data.resize(c.bytes);
    EXPECT_EQ(depth_layout_ok(image), c.ok) << c.width << "x" << c.height << " step " << c.step << " " << c.encoding;
  }
}

}  // namespace
}  // namespace vo_test
