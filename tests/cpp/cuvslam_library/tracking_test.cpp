// The tracker on rendered sequences with known trajectories: drift per odometry mode, loss and
// recovery across blank stretches in the same world frame, the gyro bridging short gaps.
//
// Sequences are 320 x 240 at 30 Hz with 0.5 grey-level noise, 60 to 90 frame sets (2 to 3 m of a
// curved path through a textured room), so the suite stays fast under the sanitizers; the full
// 640 x 480 x 300 figures come from bench/cpp/bench_cuvslam.cpp.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>

#include "sequence.hpp"

namespace {

using cuvslam::Odometry;
using Mode = cuvslam::Odometry::OdometryMode;

constexpr int kWidth = 320, kHeight = 240;

seq::Sequence base_sequence(int frames) {
  seq::Sequence s;
  s.frames = frames;
  s.trajectory.period = 13.4;  // about 1 m/s and 27 degrees/s of heading change
  return s;
}

seq::Sequence stereo_sequence() {
  seq::Sequence s = base_sequence(90);
  s.cameras = {seq::forward_camera(kWidth, kHeight, 0.06), seq::forward_camera(kWidth, kHeight, -0.06)};
  return s;
}

seq::Sequence distorted_stereo_sequence() {
  seq::Sequence s = base_sequence(60);
  render::CameraSpec left = seq::forward_camera(kWidth, kHeight, 0.06), right = seq::forward_camera(kWidth, kHeight, -0.06);
  left.brown = {-0.08, 0.02, 0.0, 0.0005, -0.0003};
  right.brown = {-0.06, 0.015, 0.0, -0.0004, 0.0002};
  right.fx *= 1.02;
  right.cy += 3.0;
  right.rig_from_camera.R = render::rot_z(0.02) * render::rot_x(0.01) * right.rig_from_camera.R;
  s.cameras = {left, right};
  return s;
}

seq::Sequence single_camera_sequence() {
  seq::Sequence s = base_sequence(90);
  s.cameras = {seq::forward_camera(kWidth, kHeight, 0.0)};
  s.depth_cameras = {0};
  return s;
}

// The same images without depth (shares the rendered frames of single_camera_sequence).
seq::Sequence monocular_sequence() {
  seq::Sequence s = single_camera_sequence();
  s.depth_cameras.clear();
  return s;
}

// A forward camera with depth and a camera looking to the left without any.
seq::Sequence multisensor_sequence() {
  seq::Sequence s = base_sequence(60);
  render::CameraSpec side = seq::forward_camera(kWidth, kHeight, 0.0);
  side.rig_from_camera.R = render::rot_z(render::kPi / 2) * side.rig_from_camera.R;
  s.cameras = {seq::forward_camera(kWidth, kHeight, 0.0), side};
  s.depth_cameras = {0};
  return s;
}

// Rendering dominates the suite's time: each sequence is drawn once and shared by its tests.
const std::vector<seq::RenderedFrame>& frames_of(const std::string& name, const seq::Sequence& s) {
  static std::map<std::string, std::vector<seq::RenderedFrame>> cache;
  auto it = cache.find(name);
  if (it == cache.end()) it = cache.emplace(name, seq::render_all(s)).first;
  return it->second;
}

Odometry::Config config_for(Mode mode) {
  Odometry::Config c;
  c.use_gpu = false;
  c.odometry_mode = mode;
  if (mode == Mode::RGBD) {
    c.rgbd_settings.depth_camera_id = 0;
    c.rgbd_settings.depth_scale_factor = 1000.f;  // millimetres
  }
  if (mode == Mode::Multisensor) {
    c.depth_camera_ids = {0};
    c.multisensor_depth_scale_factor = 1000.f;
  }
  return c;
}

seq::Sequence with_imu(seq::Sequence s) {
  s.imu = true;
  s.rig_from_imu.R = render::rot_x(render::kPi) * render::rot_z(0.3);  // IMU mounted upside down and turned
  s.gyro_bias = Eigen::Vector3d(0.004, -0.003, 0.002);
  s.gyro_noise = 0.002;
  return s;
}

void expect_valid_covariances(const seq::Run& r) {
  for (size_t k = 0; k < r.est.size(); ++k) {
    if (!r.est[k]) continue;
    Eigen::Matrix<double, 6, 6> c;
    for (int i = 0; i < 36; ++i) c(i / 6, i % 6) = r.covariance[k][static_cast<size_t>(i)];
    EXPECT_LT((c - c.transpose()).norm(), 1e-6 * c.norm()) << "frame " << k;
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix<double, 6, 6>> eig(c);
    EXPECT_GT(eig.eigenvalues().minCoeff(), 0.0) << "frame " << k;
  }
}

// Per mode: the largest error over distance along the path (from 1 m on) must stay under a bound
// of about twice what the tracker reaches on these sequences (measured: stereo 0.37 % and 0.056
// deg/m, distorted stereo 0.63 % and 0.076, inertial 0.43 % and 0.050, RGB-D 1.1 % and 0.18,
// multisensor 0.53 % and 0.066). At this resolution (focal 256 px; 8 px of stereo disparity at
// 4 m) the error is dominated by yaw traded against sideways motion while most landmarks sit on
// walls 3 to 5 m away, worst for the single RGB-D camera; the 640 x 480 bench over 10 m shows
// about 0.15 % and 0.01 deg/m at the end point.
struct DriftCase {
  const char* name;
  std::function<seq::Sequence()> sequence;
  const char* cache_key;
  Mode mode;
  bool rectified;
  bool float_depth;
  double max_translation_ratio;
  double max_rotation_deg_per_m;
};

class Drift : public ::testing::TestWithParam<DriftCase> {};

TEST_P(Drift, StaysWithinItsBound) {
  const DriftCase& c = GetParam();
  seq::Sequence s = c.sequence();
  s.float_depth = c.float_depth;
  if (c.mode == Mode::Inertial) s = with_imu(s);
  cuvslam::Rig rig = seq::make_rig(s);
  Odometry::Config config = config_for(c.mode);
  config.rectified_stereo_camera = c.rectified;
  Odometry odom(rig, config);
  const seq::Run r = seq::run(s, odom, &frames_of(c.cache_key, s));
  const seq::Drift d = seq::endpoint_drift(r);
  EXPECT_EQ(d.tracked, s.frames) << "every frame set tracked";
  EXPECT_GT(d.path_m, 1.5);
  EXPECT_LT(d.worst_translation_ratio, c.max_translation_ratio);
  EXPECT_LT(d.worst_rotation_deg_per_m, c.max_rotation_deg_per_m);
  expect_valid_covariances(r);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Drift,
    ::testing::Values(
        DriftCase{"stereo_rectified", stereo_sequence, "stereo", Mode::Multicamera, true, false, 0.008, 0.12},
        DriftCase{"stereo_distorted", distorted_stereo_sequence, "distorted", Mode::Multicamera, false, false, 0.012, 0.15},
        DriftCase{"inertial", stereo_sequence, "stereo", Mode::Inertial, true, false, 0.008, 0.10},
        DriftCase{"rgbd_millimetres", single_camera_sequence, "single", Mode::RGBD, false, false, 0.02, 0.35},
        DriftCase{"rgbd_float_metres", single_camera_sequence, "single", Mode::RGBD, false, true, 0.02, 0.35},
        DriftCase{"multisensor", multisensor_sequence, "multisensor", Mode::Multisensor, false, false, 0.011, 0.13}),
    [](const auto& info) { return std::string(info.param.name); });

// Monocular: the scale is arbitrary, so the tracked positions are compared after a similarity
// alignment; the start waits for enough parallax, then every later frame set is tracked.
TEST(Monocular, ScaleConsistentUpToSimilarity) {
  const seq::Sequence s = monocular_sequence();
  Odometry odom(seq::make_rig(s), config_for(Mode::Mono));
  const seq::Run r = seq::run(s, odom, &frames_of("single", single_camera_sequence()));
  const seq::Drift d = seq::endpoint_drift(r);
  ASSERT_GE(d.first, 0);
  EXPECT_LT(d.first, 20) << "the start needs a few frames of baseline";
  EXPECT_EQ(d.tracked, s.frames - d.first) << "no loss after the start";
  const seq::SimilarityFit fit = seq::similarity_fit(r);
  // About twice the 2.7 % measured here (largest residual after the alignment, over the path);
  // the 640 x 480 bench reaches 0.85 % over 10 m.
  EXPECT_LT(fit.max_m / fit.path_m, 0.05) << "rms " << fit.rms_m << " m over " << fit.path_m << " m";
  expect_valid_covariances(r);
}

// A stretch of featureless frames: tracking is lost on the first of them (timestamp, no pose),
// stays lost through them, and comes back afterwards in the same world frame: the pose picks up
// at most the motion made during the stretch, not a jump back to the origin.
struct LossCase {
  const char* name;
  std::function<seq::Sequence()> sequence;
  const char* cache_key;
  Mode mode;
};

class BlankStretch : public ::testing::TestWithParam<LossCase> {};

TEST_P(BlankStretch, LosesTrackingAndRecoversInTheSameWorldFrame) {
  const LossCase& c = GetParam();
  seq::Sequence s = c.sequence();
  constexpr int kFirstBlank = 40, kLastBlank = 49;
  for (int k = kFirstBlank; k <= kLastBlank; ++k) s.blank_frames.insert(k);
  Odometry::Config config = config_for(c.mode);
  config.rectified_stereo_camera = c.mode == Mode::Multicamera;
  Odometry odom(seq::make_rig(s), config);
  const seq::Run r = seq::run(s, odom, &frames_of(c.cache_key, s));
  for (int k = 0; k < kFirstBlank; ++k) EXPECT_TRUE(r.est[static_cast<size_t>(k)]) << "frame " << k;
  for (int k = kFirstBlank; k <= kLastBlank; ++k) {
    EXPECT_FALSE(r.est[static_cast<size_t>(k)]) << "frame " << k;
    EXPECT_EQ(r.t_ns[static_cast<size_t>(k)], seq::frame_ns(s, k)) << "a lost frame still carries its stamp";
  }
  int back = -1;
  for (int k = kLastBlank + 1; k < s.frames && back < 0; ++k)
    if (r.est[static_cast<size_t>(k)]) back = k;
  ASSERT_EQ(back, kLastBlank + 1) << "tracking restarts on the first frame set with texture";
  for (int k = back; k < s.frames; ++k) EXPECT_TRUE(r.est[static_cast<size_t>(k)]) << "frame " << k;

  // Same world frame: with the estimate aligned to the truth at the first frame, the error after
  // the stretch is at most the motion during it (a restart from the last known pose) plus the
  // drift bound, far less than the distance back to where tracking started.
  const render::Pose truth_from_est = r.truth[0] * r.est[0]->inverse();
  const auto& last = r.truth[static_cast<size_t>(kFirstBlank - 1)];
  const auto& resumed = r.truth[static_cast<size_t>(back)];
  const double gap_motion = (resumed.t - last.t).norm();
  const double gap_turn = Eigen::AngleAxisd(last.R.transpose() * resumed.R).angle();
  const render::Pose aligned = truth_from_est * *r.est[static_cast<size_t>(back)];
  EXPECT_LT((aligned.t - resumed.t).norm(), gap_motion + 0.05);
  EXPECT_LT(Eigen::AngleAxisd(aligned.R.transpose() * resumed.R).angle(), gap_turn + 0.01);
  EXPECT_GT((resumed.t - r.truth[0].t).norm(), 3 * (gap_motion + 0.05)) << "the test must tell both apart";
  // After the restart the tracker measures motion again: relative motion from the resumed frame
  // to the end matches the truth.
  const seq::Drift after = seq::endpoint_drift(r, back);
  EXPECT_LT(after.translation_ratio(), 0.01);
}

INSTANTIATE_TEST_SUITE_P(Modes, BlankStretch,
                         ::testing::Values(LossCase{"stereo", stereo_sequence, "stereo", Mode::Multicamera},
                                           LossCase{"rgbd", single_camera_sequence, "single", Mode::RGBD}),
                         [](const auto& info) { return std::string(info.param.name); });

// Inertial mode: a blank stretch shorter than imu_gap_seconds (1 s) is bridged by the gyro: a
// pose for every frame set, the rotation kept to a fraction of a degree despite a gyro bias; a
// longer one is bridged for 1 s, then lost, then recovered.
TEST(Inertial, GyroBridgesAShortGapAndGivesUpOnALongOne) {
  for (int blank_frames : {6, 36}) {
    seq::Sequence s = with_imu(stereo_sequence());
    constexpr int kFirstBlank = 40;
    s.frames = kFirstBlank + blank_frames + 8;  // a few frame sets past the stretch suffice
    for (int k = kFirstBlank; k < kFirstBlank + blank_frames; ++k) s.blank_frames.insert(k);
    Odometry::Config config = config_for(Mode::Inertial);
    config.rectified_stereo_camera = true;
    Odometry odom(seq::make_rig(s), config);
    const seq::Run r = seq::run(s, odom, &frames_of("stereo", stereo_sequence()));
    const render::Pose truth_from_est = r.truth[0] * r.est[0]->inverse();
    const double gap_s = config.imu_gap_seconds;
    for (int k = kFirstBlank; k < kFirstBlank + blank_frames; ++k) {
      const double since = seq::frame_seconds(s, k) - seq::frame_seconds(s, kFirstBlank - 1);
      const auto& est = r.est[static_cast<size_t>(k)];
      if (since > gap_s + 1e-6) {
        EXPECT_FALSE(est) << blank_frames << " blank, frame " << k << " at " << since << " s";
        continue;
      }
      ASSERT_TRUE(est) << blank_frames << " blank, frame " << k << " at " << since << " s";
      const render::Pose aligned = truth_from_est * *est;
      const auto& truth = r.truth[static_cast<size_t>(k)];
      // Rotation: gyro noise and what remains of its bias over at most 1 s, on top of the drift.
      EXPECT_LT(Eigen::AngleAxisd(aligned.R.transpose() * truth.R).angle() * 180 / render::kPi, 0.5) << "frame " << k;
      // Position: the last velocity held; the path curves, so allow 10 cm per 0.5 s.
      EXPECT_LT((aligned.t - truth.t).norm(), 0.02 + 0.2 * since) << "frame " << k;
    }
    const int after = kFirstBlank + blank_frames;
    ASSERT_TRUE(r.est[static_cast<size_t>(after)]) << blank_frames << " blank: back on the first textured frame set";
    const render::Pose aligned = truth_from_est * *r.est[static_cast<size_t>(after)];
    const auto& truth = r.truth[static_cast<size_t>(after)];
    if (blank_frames * (1.0 / s.fps) < gap_s) {
      // Bridged: the old map is still in view and tracking resumes on it without a jump.
      EXPECT_LT((aligned.t - truth.t).norm(), 0.05);
      EXPECT_LT(Eigen::AngleAxisd(aligned.R.transpose() * truth.R).angle() * 180 / render::kPi, 0.5);
    } else {
      // Lost: the world frame is kept; the rotation comes from the gyro across the whole gap.
      EXPECT_LT(Eigen::AngleAxisd(aligned.R.transpose() * truth.R).angle() * 180 / render::kPi, 1.0);
    }
  }
}

// What real cameras add, per condition group, on a fast path (1.9 m/s, 50 degrees/s) with frame
// sets dropped in gaps of 5 and 8: every delivered frame set keeps a pose, the drift stays bounded
// (about twice the measured worst ratio; stereo and inertial: drops 0.81 and 0.72 %, bare wall 2.8
// and 1.7 %, exposure steps with gain mismatch, vignetting and shot noise 2.1 and 0.91 %, moving box
// 0.76 and 0.57 %), and the gyro never makes it worse than vision alone. Motion blur needs several
// renderings per image and is left to the bench.
struct HardCase {
  const char* name;
  std::function<void(seq::Sequence*)> conditions;
  double max_translation_ratio;
};

seq::Sequence hard_sequence(const HardCase& c) {
  seq::Sequence s = base_sequence(60);
  s.cameras = {seq::forward_camera(kWidth, kHeight, 0.06), seq::forward_camera(kWidth, kHeight, -0.06)};
  s.trajectory.period = 7.0;
  for (int k : {15, 16, 17, 18, 19, 35, 36, 37, 38, 39, 40, 41, 42}) s.hard.dropped.insert(k);
  c.conditions(&s);
  return s;
}

class HardConditions : public ::testing::TestWithParam<HardCase> {};

TEST_P(HardConditions, EveryFrameSetKeepsAPoseAndTheImuNeverHurts) {
  const HardCase& c = GetParam();
  const seq::Sequence s = hard_sequence(c);
  const auto& frames = frames_of(std::string("hard_") + c.name, s);
  double ratio[2] = {0, 0};
  for (const Mode mode : {Mode::Multicamera, Mode::Inertial}) {
    const seq::Sequence run_s = mode == Mode::Inertial ? with_imu(s) : s;
    Odometry::Config config = config_for(mode);
    config.rectified_stereo_camera = true;
    Odometry odom(seq::make_rig(run_s), config);
    const seq::Run r = seq::run(run_s, odom, &frames);
    const seq::Drift d = seq::endpoint_drift(r);
    EXPECT_EQ(r.lost, 0) << c.name << " mode " << static_cast<int>(mode);
    EXPECT_LT(d.worst_translation_ratio, c.max_translation_ratio) << c.name << " mode " << static_cast<int>(mode);
    expect_valid_covariances(r);
    ratio[mode == Mode::Inertial] = d.worst_translation_ratio;
  }
  EXPECT_LT(ratio[1], ratio[0] + 0.002) << c.name << ": the gyro made it worse";
}

INSTANTIATE_TEST_SUITE_P(
    Groups, HardConditions,
    ::testing::Values(
        HardCase{"drops", [](seq::Sequence*) {}, 0.015},
        // The wall ahead at the start is painted nearly plain; the floor and a box stay textured.
        HardCase{"bare_wall", [](seq::Sequence* s) { s->scene.bare_faces = {render::face_seed(s->scene.room.seed, 1, true)}; }, 0.045},
        HardCase{"photometric",
                 [](seq::Sequence* s) {
                   s->hard.gain_drift = 0.15;
                   s->hard.gain_steps = {{25, 1.45}, {45, 0.7}};
                   s->hard.other_gain = 1.08;
                   s->hard.vignetting = 0.35;
                   s->hard.shot_noise = 2.0;
                 },
                 0.035},
        HardCase{"moving_box",
                 [](seq::Sequence* s) { s->scene.boxes.push_back({{1.0, 3.0, 0.0}, {1.6, 3.6, 1.6}, 81, {-0.8, 0.0, 0.0}}); },
                 0.015}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Monocular, RestartsAfterABlankStretch) {
  seq::Sequence s = monocular_sequence();
  for (int k = 45; k < 50; ++k) s.blank_frames.insert(k);
  Odometry odom(seq::make_rig(s), config_for(Mode::Mono));
  const seq::Run r = seq::run(s, odom, &frames_of("single", single_camera_sequence()));
  int last_before = -1, resumed = -1;
  for (int k = 0; k < 45; ++k)
    if (r.est[static_cast<size_t>(k)]) last_before = k;
  for (int k = 45; k < 50; ++k) EXPECT_FALSE(r.est[static_cast<size_t>(k)]) << "frame " << k;
  for (int k = 50; k < s.frames && resumed < 0; ++k)
    if (r.est[static_cast<size_t>(k)]) resumed = k;
  ASSERT_GE(last_before, 0);
  ASSERT_GE(resumed, 0) << "monocular start again after the stretch";
  EXPECT_LT(resumed, 75);
  // Same world frame: the restart is anchored at the last known pose, so the resumed pose lies
  // near it (in the map's units) rather than at the origin.
  // The map's unit of motion: how far the estimate moved over the 25 frame sets before the stretch
  // (more than the stretch and the restart take together).
  ASSERT_TRUE(r.est[static_cast<size_t>(last_before - 25)]);
  const auto& before = *r.est[static_cast<size_t>(last_before)];
  const auto& after = *r.est[static_cast<size_t>(resumed)];
  const double recent = (before.t - r.est[static_cast<size_t>(last_before - 25)]->t).norm();
  EXPECT_LT((after.t - before.t).norm(), 2.0 * recent);
  EXPECT_GT(recent, 0.1 * before.t.norm()) << "the test must tell a restart at the origin apart";
  EXPECT_LT(Eigen::AngleAxisd(before.R.transpose() * after.R).angle(), 0.6);
}

// Same input, same output, bit for bit, on one thread or several (the pool splits the work, never
// the arithmetic).
TEST(Determinism, SameInputSameOutputWhateverTheThreads) {
  seq::Sequence s = stereo_sequence();
  s.frames = 30;
  const auto& frames = frames_of("stereo", stereo_sequence());
  Odometry::Config one = config_for(Mode::Multicamera), two = one;
  one.threads = 1;
  two.threads = 2;
  Odometry a(seq::make_rig(s), one), b(seq::make_rig(s), two);
  const seq::Run ra = seq::run(s, a, &frames), rb = seq::run(s, b, &frames);
  for (int k = 0; k < s.frames; ++k) {
    ASSERT_EQ(ra.est[static_cast<size_t>(k)].has_value(), rb.est[static_cast<size_t>(k)].has_value());
    if (!ra.est[static_cast<size_t>(k)]) continue;
    EXPECT_EQ(ra.est[static_cast<size_t>(k)]->t, rb.est[static_cast<size_t>(k)]->t) << "frame " << k;
    EXPECT_EQ(ra.est[static_cast<size_t>(k)]->R, rb.est[static_cast<size_t>(k)]->R) << "frame " << k;
    EXPECT_EQ(ra.covariance[static_cast<size_t>(k)], rb.covariance[static_cast<size_t>(k)]) << "frame " << k;
  }
}

}  // namespace
