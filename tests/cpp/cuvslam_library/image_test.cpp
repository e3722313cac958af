// Image-level building blocks: pyramid coordinates, Lucas-Kanade tracking of known shifts,
// corner selection, and stereo matching against rendered depth.
#include <gtest/gtest.h>

#include <cmath>

#include "cuvslam/camera_model.hpp"
#include "cuvslam/corners.hpp"
#include "cuvslam/image_pyramid.hpp"
#include "cuvslam/optical_flow.hpp"
#include "cuvslam/stereo_match.hpp"
#include "sequence.hpp"

namespace cuvslam::detail {
namespace {

// A smooth analytic pattern (warped sinusoids, periods of 25 to 60 pixels), so a shifted copy is
// exact at any subpixel offset and an independent oracle for tracking. Shifts stay well below the
// shortest period, where a periodic pattern would match itself.
float pattern(double x, double y) {
  return static_cast<float>(120.0 + 40.0 * std::sin(0.21 * x + 0.9 * std::sin(0.05 * y)) +
                            40.0 * std::sin(0.17 * y + 0.7 * std::cos(0.07 * x)) + 25.0 * std::sin(0.11 * (x + y)));
}

Pyramid pattern_pyramid(double dx, double dy, float offset, int levels) {
  Pyramid p;
  p.levels.resize(1);
  p.levels[0].resize(320, 240);
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x) p.levels[0].pixels[static_cast<size_t>(y) * 320 + x] = pattern(x - dx, y - dy) + offset;
  p.build_from_base(levels, 16);
  return p;
}

TEST(Pyramid, LevelCoordinatesHalveWithEachLevel) {
  // A blob centred at (100.3, 60.7) on level 0 has its intensity centroid at that point / 2^l.
  Pyramid p;
  p.levels.resize(1);
  p.levels[0].resize(320, 240);
  for (int y = 0; y < 240; ++y)
    for (int x = 0; x < 320; ++x)
      p.levels[0].pixels[static_cast<size_t>(y) * 320 + x] =
          static_cast<float>(200.0 * std::exp(-((x - 100.3) * (x - 100.3) + (y - 60.7) * (y - 60.7)) / (2 * 36.0)));
  p.build_from_base(4, 16);
  ASSERT_EQ(p.size(), 4);
  for (int l = 0; l < 4; ++l) {
    const GreyImage& img = p.levels[static_cast<size_t>(l)];
    EXPECT_EQ(img.width, (320 >> l));
    double sx = 0, sy = 0, s = 0;
    for (int y = 0; y < img.height; ++y)
      for (int x = 0; x < img.width; ++x) {
        sx += x * img.at(x, y);
        sy += y * img.at(x, y);
        s += img.at(x, y);
      }
    EXPECT_NEAR(sx / s, 100.3 / (1 << l), 0.02) << "level " << l;
    EXPECT_NEAR(sy / s, 60.7 / (1 << l), 0.02) << "level " << l;
  }
}

struct Shift {
  double dx, dy;
  float offset;  // brightness change between the frames
};

class FlowShift : public ::testing::TestWithParam<Shift> {};

TEST_P(FlowShift, RecoversKnownSubpixelShift) {
  const Shift s = GetParam();
  const Pyramid ref = pattern_pyramid(0, 0, 0.f, 4);
  const Pyramid cur = pattern_pyramid(s.dx, s.dy, s.offset, 4);
  FlowParams params;
  int tracked = 0, checked = 0;
  for (float y = 40; y <= 200; y += 20)
    for (float x = 40; x <= 280; x += 20) {
      FlowTemplate t;
      if (!make_flow_template(ref, Eigen::Vector2f(x, y), 9, &t)) continue;
      ++checked;
      Eigen::Vector2f out;
      if (!track_flow(t, cur, Eigen::Vector2f(x, y), params, &out)) continue;
      ++tracked;
      // Cubic interpolation leaves about a thousandth of a pixel on this pattern (bilinear
      // interpolation would leave up to 0.07 px).
      EXPECT_NEAR(out.x(), x + s.dx, 0.01) << x << "," << y;
      EXPECT_NEAR(out.y(), y + s.dy, 0.01) << x << "," << y;
    }
  ASSERT_GT(checked, 30);
  EXPECT_GE(tracked, checked * 9 / 10);
}

INSTANTIATE_TEST_SUITE_P(Shifts, FlowShift,
                         ::testing::Values(Shift{0.3, -0.2, 0.f}, Shift{2.5, 1.25, 0.f}, Shift{-7.7, 4.1, 0.f},
                                           Shift{8.4, -5.6, 0.f}, Shift{1.6, 0.9, 25.f}));

TEST(Flow, LosesAPatchOnAFeaturelessImage) {
  const Pyramid ref = pattern_pyramid(0, 0, 0.f, 4);
  Pyramid flat;
  flat.levels.resize(1);
  flat.levels[0].resize(320, 240);
  std::fill(flat.levels[0].pixels.begin(), flat.levels[0].pixels.end(), 120.f);
  flat.build_from_base(4, 16);
  int tracked = 0;
  for (float y = 40; y <= 200; y += 20)
    for (float x = 40; x <= 280; x += 20) {
      FlowTemplate t;
      if (!make_flow_template(ref, Eigen::Vector2f(x, y), 9, &t)) continue;
      Eigen::Vector2f out;
      tracked += track_flow(t, flat, Eigen::Vector2f(x, y), FlowParams(), &out);
    }
  EXPECT_EQ(tracked, 0);
  FlowTemplate t;
  EXPECT_FALSE(make_flow_template(flat, Eigen::Vector2f(100, 100), 9, &t));  // nothing to track there
}

TEST(Corners, NoneOnNoiseAndSpreadOverTexture) {
  seq::Sequence s;
  s.cameras = {seq::forward_camera(320, 240, 0.0)};
  std::mt19937 rng(8);
  GreyImage noise;
  noise.resize(320, 240);
  const auto blank = render::blank_view(s.cameras[0], 120, 2.0, rng);
  for (size_t i = 0; i < blank.size(); ++i) noise.pixels[i] = blank[i];
  CornerParams params;
  std::vector<Eigen::Vector2f> corners;
  detect_corners(noise, {}, params, 400, &corners);
  EXPECT_TRUE(corners.empty()) << "image noise of 2 grey levels is no texture";

  const auto frame = seq::render_frame(s, seq::camera_rays(s), 0);
  GreyImage textured;
  textured.resize(320, 240);
  for (size_t i = 0; i < frame.grey[0].size(); ++i) textured.pixels[i] = frame.grey[0][i];
  const std::vector<Eigen::Vector2f> existing = {{100.f, 100.f}};
  detect_corners(textured, existing, params, 400, &corners);
  EXPECT_GT(corners.size(), 40u);
  for (size_t i = 0; i < corners.size(); ++i) {
    EXPECT_GE((corners[i] - existing[0]).norm(), params.min_distance);
    for (size_t j = 0; j < i; ++j) EXPECT_GE((corners[i] - corners[j]).norm(), params.min_distance);
  }
}

// Stereo matches triangulate to the rendered depth, for a rectified pair (row search) and for a
// distorted, slightly rotated pair (epipolar search through the calibration).
class StereoDepth : public ::testing::TestWithParam<bool> {};

TEST_P(StereoDepth, MatchesTriangulateToRenderedDepth) {
  const bool rectified = GetParam();
  seq::Sequence s;
  render::CameraSpec left = seq::forward_camera(320, 240, 0.06), right = seq::forward_camera(320, 240, -0.06);
  if (!rectified) {
    left.brown = {-0.08, 0.02, 0.0, 0.0005, -0.0003};
    right.brown = {-0.06, 0.015, 0.0, -0.0004, 0.0002};
    right.fx *= 1.02;
    right.cy += 3.0;
    right.rig_from_camera.R = render::rot_z(0.02) * render::rot_x(0.01) * right.rig_from_camera.R;
  }
  s.cameras = {left, right};
  s.depth_cameras = {0};
  const auto frame = seq::render_frame(s, seq::camera_rays(s), 5);
  const CameraModel cam_a(seq::to_camera(left)), cam_b(seq::to_camera(right));
  Pyramid pa, pb;
  for (auto [pyr, c] : {std::pair{&pa, 0}, std::pair{&pb, 1}}) {
    pyr->levels.resize(1);
    pyr->levels[0].resize(320, 240);
    for (size_t i = 0; i < frame.grey[static_cast<size_t>(c)].size(); ++i)
      pyr->levels[0].pixels[i] = frame.grey[static_cast<size_t>(c)][i];
    pyr->build_from_base(4, 18);
  }
  StereoPair pair;
  pair.a = 0;
  pair.b = 1;
  pair.b_from_a = Rigid(right.rig_from_camera.R.transpose() * left.rig_from_camera.R,
                        right.rig_from_camera.R.transpose() * (left.rig_from_camera.t - right.rig_from_camera.t));
  pair.row_search = rectified;
  std::vector<Eigen::Vector2f> corners;
  detect_corners(pa.levels[0], {}, CornerParams(), 200, &corners);
  int matched = 0, good = 0;
  for (const auto& c : corners) {
    FlowTemplate t;
    if (!make_flow_template(pa, c, 9, &t)) continue;
    StereoMatch m;
    if (!match_stereo(pair, cam_a, cam_b, pa.levels[0], pb, t, c.cast<double>(), StereoParams(), &m)) continue;
    ++matched;
    // Disparity error of about 0.1 px at disparities of 5 to 60 px: depth within 3 % of the
    // rendered depth at the corner or, on a depth edge, at one of its neighbours.
    bool close = false;
    for (int dy = -1; dy <= 1; ++dy)
      for (int dx = -1; dx <= 1; ++dx) {
        const float truth = frame.depth_m[0][static_cast<size_t>(std::lround(c.y()) + dy) * 320 +
                                             static_cast<size_t>(std::lround(c.x()) + dx)];
        close = close || std::abs(m.point_a.z() - truth) < 0.03 * truth;
      }
    good += close;
  }
  EXPECT_GT(matched, static_cast<int>(corners.size()) / 2) << "of " << corners.size();
  EXPECT_GE(good, matched * 95 / 100);
}

INSTANTIATE_TEST_SUITE_P(Pairs, StereoDepth, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "rectified" : "distorted"; });

}  // namespace
}  // namespace cuvslam::detail
