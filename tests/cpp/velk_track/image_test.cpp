// Lucas-Kanade tracking of known shifts (shifts of several pixels converge only through coarse pyramid
// levels whose coordinates are right), corner selection, and stereo matching under a gain difference
// between the cameras.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "velk_track/corners.hpp"
#include "velk_track/image_pyramid.hpp"
#include "velk_track/optical_flow.hpp"
#include "velk_track/stereo_match.hpp"
#include "sequence.hpp"

namespace velk_track {
namespace {

// A 320 x 240 image pyramid of `levels` levels whose base pixel (x, y) is f(x, y).
Pyramid pyramid_of(const std::function<double(int, int)>& f, int levels = 4) {
  Pyramid p;
  p.levels.resize(1);
  p.levels[0].resize(320, 240);
  for (int i = 0; i < 320 * 240; ++i) p.levels[0].pixels[static_cast<size_t>(i)] = static_cast<float>(f(i % 320, i / 320));
  p.build_from_base(levels, 16);
  return p;
}

// A smooth analytic pattern (warped sinusoids, periods of 25 to 60 pixels), so a shifted copy is
// exact at any subpixel offset and an independent oracle for tracking. Shifts stay well below the
// shortest period, where a periodic pattern would match itself. A flat image has nothing to track:
// every patch is lost, and no template can be taken from it. A view magnified since the template
// (the camera came closer: a car's 3 m between frame sets at 10 m) is tracked at the magnification
// the caller gives; matched at the template's own scale, the patch drifts or is lost. A view whose
// contrast has changed too (an exposure step) is lost, or found off, with a brightness offset alone, and
// found when the windows are matched to the template's contrast, which must cost the other rows nothing.
TEST(Flow, RecoversKnownSubpixelShiftOrLosesThePatch) {
  const auto pattern = [](double x, double y) {
    return 120.0 + 40.0 * std::sin(0.21 * x + 0.9 * std::sin(0.05 * y)) +
           40.0 * std::sin(0.17 * y + 0.7 * std::cos(0.07 * x)) + 25.0 * std::sin(0.11 * (x + y));
  };
  const Pyramid ref = pyramid_of([&](int x, int y) { return static_cast<float>(pattern(x, y)); });
  constexpr double kCx = 160.0, kCy = 120.0;  // centre of the magnification
  struct Case {
    double dx, dy, offset;
    bool flat;
    double magnification;
    double gain = 1.0;
  };
  FlowParams reshaped;
  reshaped.match_contrast = true;
  for (const Case& c : {Case{0.3, -0.2, 0.0, false, 1.0}, Case{2.5, 1.25, 0.0, false, 1.0}, Case{-7.7, 4.1, 0.0, false, 1.0},
                        Case{8.4, -5.6, 0.0, false, 1.0}, Case{1.6, 0.9, 25.0, false, 1.0}, Case{0.0, 0.0, 0.0, true, 1.0},
                        Case{1.5, -2.0, 0.0, false, 1.35}, Case{-3.0, 1.0, 10.0, false, 0.7},
                        Case{2.2, -1.4, 10.0, false, 1.0, 1.8}, Case{-1.3, 0.6, 0.0, false, 1.0, 0.55}}) {
    const Pyramid cur = pyramid_of([&](int x, int y) {
      return c.flat ? 120.0
                    : 120.0 + c.gain * (pattern(kCx + (x - kCx - c.dx) / c.magnification,
                                                kCy + (y - kCy - c.dy) / c.magnification) - 120.0) + c.offset;
    });
    const std::string row = std::to_string(c.dx) + "," + std::to_string(c.dy) + " x " + std::to_string(c.magnification) +
                            ", gain " + std::to_string(c.gain);
    int tracked = 0, checked = 0, at_template_scale = 0, tracked_reshaped = 0;
    for (float y = 40; y <= 200; y += 20)
      for (float x = 40; x <= 280; x += 20) {
        FlowTemplate t;
        Eigen::Vector2f out;
        if (!make_flow_template(ref, Eigen::Vector2f(x, y), 9, &t)) continue;
        const Eigen::Vector2f truth(static_cast<float>(kCx + c.magnification * (x - kCx) + c.dx),
                                    static_cast<float>(kCy + c.magnification * (y - kCy) + c.dy));
        if (truth.x() < 20 || truth.x() > 300 || truth.y() < 20 || truth.y() > 220) continue;
        ++checked;
        // Started where a pure shift would put the patch; a magnified one, where a prediction a
        // couple of pixels off would.
        const Eigen::Vector2f guess =
            c.magnification == 1.0 ? Eigen::Vector2f(x, y) : Eigen::Vector2f(truth + Eigen::Vector2f(2.f, -1.5f));
        if (c.magnification != 1.0 && track_flow(t, cur, guess, FlowParams(), &out) &&
            (out - truth).cwiseAbs().maxCoeff() < 0.05)
          ++at_template_scale;
        // Cubic interpolation leaves about a thousandth of a pixel on this pattern (bilinear
        // interpolation would leave up to 0.07 px); a magnified patch's samples, a hundredth.
        const double tolerance = c.magnification == 1.0 ? 0.01 : 0.03;
        if (track_flow(t, cur, guess, reshaped, &out, nullptr, static_cast<float>(c.magnification))) {
          ++tracked_reshaped;
          EXPECT_LT((out - truth).cwiseAbs().maxCoeff(), tolerance) << row << " at " << x << "," << y << ", reshaped";
        }
        if (!track_flow(t, cur, guess, FlowParams(), &out, nullptr, static_cast<float>(c.magnification))) continue;
        ++tracked;
        if (c.gain == 1.0) {
          EXPECT_LT((out - truth).cwiseAbs().maxCoeff(), tolerance) << row << " at " << x << "," << y;
        }
      }
    ASSERT_GT(checked, 30);
    FlowTemplate t;
    EXPECT_EQ(tracked >= checked * 9 / 10, !c.flat && c.gain == 1.0) << row;
    EXPECT_EQ(tracked_reshaped >= checked * 9 / 10, !c.flat) << row << ", reshaped";
    EXPECT_LT(at_template_scale, checked / 2) << row;
    EXPECT_EQ(tracked == 0 && !make_flow_template(cur, Eigen::Vector2f(100, 100), 9, &t), c.flat) << "nothing to track on a flat image";
  }
}

// A rectified pair 10 cm apart looking at a textured plane 2 m away (12.8 px of disparity): the right
// camera's gain differs from the left's, as on real rigs, or is the same. A gain difference must
// neither cost matches (the patch correlation does not see it, and the refinement must not count it
// as a mismatch) nor move them: a refinement that matches brightness alone is pulled by up to a pixel
// (8 % of the depth here). The texture is a sum of sinusoids of unrelated frequencies, so that no
// other candidate along the row looks alike.
TEST(StereoMatch, TheCamerasGainNeitherCostsNorMovesMatches) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<double> freq(0.08, 0.45), phase(0.0, 6.283), turn(0.0, 3.1416);
  std::vector<std::array<double, 3>> waves;  // kx, ky, phase
  for (int i = 0; i < 14; ++i) {
    const double k = freq(rng), a = turn(rng);
    waves.push_back({k * std::cos(a), k * std::sin(a), phase(rng)});
  }
  const auto texture = [&](double x, double y) {
    double v = 128.0;
    for (const auto& w : waves) v += 9.0 * std::sin(w[0] * x + w[1] * y + w[2]);
    return v;
  };
  Camera cam;
  cam.size = {320, 240}, cam.focal = {256.f, 256.f}, cam.principal = {159.5f, 119.5f};
  const CameraModel model(cam);
  const double baseline = 0.1, depth = 2.0, disparity = 256.0 * baseline / depth;
  StereoPair pair;
  pair.a = 0, pair.b = 1, pair.row_search = true;
  pair.b_from_a.t = Eigen::Vector3d(-baseline, 0.0, 0.0);
  const Pyramid left = pyramid_of([&](int x, int y) { return texture(x, y); });
  std::vector<int> matched;
  int checked = 0;
  for (const double gain : {1.0, 1.6}) {
    const Pyramid right = pyramid_of([&](int x, int y) { return 128.0 + gain * (texture(x + disparity, y) - 128.0); });
    // The tracker measures the pair's gain from each frame set's matches, and matches the next at it:
    // the first measure, taken at positions the gain pulled, is a few percent low; the next is exact.
    StereoParams params;
    for (int frame_set = 0; frame_set < 3; ++frame_set) {
      std::vector<double> ratios;
      checked = 0;
      const bool last = frame_set == 2;
      if (last) matched.push_back(0);
      for (float y = 30; y <= 210; y += 20)
        for (float x = 60; x <= 290; x += 23) {
          FlowTemplate t;
          if (!make_flow_template(left, Eigen::Vector2f(x, y), 9, &t)) continue;
          ++checked;
          StereoMatch m;
          if (!match_stereo(pair, model, model, left.levels[0], right, t, Eigen::Vector2d(x, y), params, &m)) continue;
          ratios.push_back(m.contrast_ratio);
          if (!last) continue;
          ++matched.back();
          EXPECT_NEAR(m.pixel_b.x(), x - disparity, 0.02) << "gain " << gain << " at " << x << "," << y;
          EXPECT_NEAR(m.point_a.z(), depth, 0.005) << "gain " << gain << " at " << x << "," << y;
        }
      ASSERT_GT(ratios.size(), 40u);
      std::nth_element(ratios.begin(), ratios.begin() + static_cast<std::ptrdiff_t>(ratios.size() / 2), ratios.end());
      params.flow.gain = static_cast<float>(ratios[ratios.size() / 2]);
      if (frame_set > 0) {
        EXPECT_NEAR(params.flow.gain, gain, 0.005 * gain);
      }
    }
  }
  ASSERT_GT(checked, 60);
  EXPECT_GE(matched[0], checked * 8 / 10);
  EXPECT_GE(matched[1], matched[0] - 2) << "matches lost to the right camera's gain";
}

TEST(Corners, NoneOnNoiseAndSpreadOverTexture) {
  seq::Sequence s;
  s.cameras = {seq::forward_camera(320, 240, 0.0)};
  std::mt19937 rng(8);
  const CornerParams params;
  const std::vector<Eigen::Vector2f> existing = {{100.f, 100.f}};
  // Image noise of 2 grey levels is no texture; a rendered room is.
  for (const auto& [grey, textured] : {std::pair{render::blank_view(s.cameras[0], 120, 2.0, rng), false},
                                       std::pair{seq::render_frame(s, seq::camera_rays(s), 0).grey[0], true}}) {
    std::vector<Eigen::Vector2f> corners;
    detect_corners(pyramid_of([&](int x, int y) { return grey[static_cast<size_t>(y) * 320 + x]; }, 1).levels[0], existing, params, 400, &corners);
    EXPECT_TRUE(textured ? corners.size() > 40u : corners.empty()) << corners.size();
    for (size_t i = 0; i < corners.size(); ++i) {
      EXPECT_GE((corners[i] - existing[0]).norm(), params.min_distance);
      for (size_t j = 0; j < i; ++j) EXPECT_GE((corners[i] - corners[j]).norm(), params.min_distance);
    }
  }
}

// The noise read from an image is its pixel noise, whatever texture it shows: a blank wall and a
// rendered room, each with noise of 0.5 to 12 grey levels added (the room's edges and shading must
// not read as noise, or a clean view would loosen the tracker's bounds). Measured: within 0.25 grey
// levels (the median of integer responses moves in steps of 0.247). The room with a blown-out window
// over 60 % of it, or with those pixels crushed to black, reads the same from the rest (the clipped
// pixels' flat responses made the median 0), and so does the room brightened fourfold, read against
// its white at 4 x 255.
TEST(ImageNoise, ReadsTheNoiseNotTheTexture) {
  seq::Sequence s;
  s.cameras = {seq::forward_camera(320, 240, 0.0)};
  for (const double sigma : {0.5, 2.0, 4.0, 8.0, 12.0}) {
    std::mt19937 rng(11);
    s.noise_sigma = sigma;
    const auto room = seq::render_frame(s, seq::camera_rays(s), 0).grey[0];
    for (const auto& grey : {render::blank_view(s.cameras[0], 120, sigma, rng), room}) {
      const float noise = image_noise(pyramid_of([&](int x, int y) { return grey[static_cast<size_t>(y) * 320 + x]; }, 1).levels[0]);
      EXPECT_NEAR(noise, sigma, 0.15 * sigma + 0.3) << "noise " << sigma;
    }
    for (const float clipped : {255.f, 0.f}) {
      const Pyramid window = pyramid_of([&](int x, int y) { return y < 144 ? clipped : float(room[static_cast<size_t>(y) * 320 + x]); }, 1);
      EXPECT_NEAR(image_noise(window.levels[0]), sigma, 0.15 * sigma + 0.3) << "noise " << sigma << ", clipped to " << clipped;
    }
    Pyramid bright = pyramid_of([&](int x, int y) { return y < 144 ? 255.f : float(room[static_cast<size_t>(y) * 320 + x]); }, 1);
    for (float& v : bright.levels[0].pixels) v *= 4.f;
    EXPECT_NEAR(image_noise(bright.levels[0], 4.f * 255.f), 4.0 * sigma, 4.0 * (0.15 * sigma + 0.3)) << "noise " << sigma << ", brightened";
  }
  GreyImage tiny;
  tiny.resize(2, 2);
  EXPECT_EQ(image_noise(tiny), 0.f);
}

}  // namespace
}  // namespace velk_track
