// The tracker on rendered sequences with known trajectories: drift per odometry mode, loss and
// recovery across blank stretches in the same world frame, the gyro bridging short gaps.
//
// Sequences are 320 x 240 at 30 Hz with 0.5 grey-level noise, 60 to 90 frame sets (2 to 3 m of a
// curved path through a textured room), so the suite stays fast under the sanitizers; the full
// 640 x 480 x 300 figures come from bench/cpp/bench_cuvslam.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <string>

#include "sequence.hpp"

namespace {

using cuvslam::Odometry;
using Mode = cuvslam::Odometry::OdometryMode;

// "stereo", "distorted" (stereo pair), "single" (one camera with depth) or "multisensor" (a forward
// camera with depth and one looking to the left without).
seq::Sequence sequence(const std::string& name) {
  seq::Sequence s;
  s.frames = name == "stereo" || name == "single" ? 90 : 60;
  s.trajectory.period = 13.4;  // about 1 m/s and 27 degrees/s of heading change
  if (name == "stereo" || name == "distorted") s.cameras = seq::stereo_cameras(320, 240, name == "distorted");
  if (name == "single") s.cameras = {seq::forward_camera(320, 240, 0.0)};
  if (name == "multisensor") {
    render::CameraSpec side = seq::forward_camera(320, 240, 0.0);
    side.rig_from_camera.R = render::rot_z(render::kPi / 2) * side.rig_from_camera.R;
    s.cameras = {seq::forward_camera(320, 240, 0.0), side};
  }
  if (name == "single" || name == "multisensor") s.depth_cameras = {0};
  return s;
}

// Rendering dominates the suite's time: each sequence is drawn once and shared by its tests.
const std::vector<seq::RenderedFrame>& frames_of(const std::string& key, const seq::Sequence& s) {
  static std::map<std::string, std::vector<seq::RenderedFrame>> cache;
  auto it = cache.find(key);
  if (it == cache.end()) it = cache.emplace(key, seq::render_all(s)).first;
  return it->second;
}
const std::vector<seq::RenderedFrame>& frames_of(const std::string& name) { return frames_of(name, sequence(name)); }

// Tracks `s` in `mode` over `frames` (none: drawn on the fly); the inertial mode adds an IMU mounted upside down and turned, with a gyro
// bias and noise.
seq::Run track(seq::Sequence& s, const std::vector<seq::RenderedFrame>& frames, Mode mode, bool rectified,
               int threads = 0) {
  Odometry::Config c;
  c.use_gpu = false;
  c.odometry_mode = mode;
  c.rectified_stereo_camera = rectified;
  c.threads = threads;
  c.rgbd_settings.depth_camera_id = 0;  // read in RGB-D mode only
  c.rgbd_settings.depth_scale_factor = 1000.f;  // millimetres
  if (mode == Mode::Multisensor) c.depth_camera_ids = {0}, c.multisensor_depth_scale_factor = 1000.f;
  if (mode == Mode::Inertial) {
    s.imu = true;
    s.rig_from_imu.R = render::rot_x(render::kPi) * render::rot_z(0.3);
    s.gyro_bias = Eigen::Vector3d(0.004, -0.003, 0.002);
    s.gyro_noise = 0.002;
  }
  Odometry odom(seq::make_rig(s), c);
  return seq::run(s, odom, frames.empty() ? nullptr : &frames);
}

void expect_valid_covariances(const seq::Run& r) {
  for (size_t k = 0; k < r.est.size(); ++k) {
    if (!r.est[k]) continue;
    using Matrix6d = Eigen::Matrix<double, 6, 6>;
    const Matrix6d c = Eigen::Map<const Eigen::Matrix<float, 6, 6>>(r.covariance[k].data()).cast<double>().transpose();
    EXPECT_LT((c - c.transpose()).norm(), 1e-6 * c.norm()) << "frame " << k;
    EXPECT_GT(Eigen::SelfAdjointEigenSolver<Matrix6d>(c).eigenvalues().minCoeff(), 0.0) << "frame " << k;
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
  const char* sequence;
  Mode mode;
  bool rectified, float_depth;
  double max_translation_ratio, max_rotation_deg_per_m;
};

class Drift : public ::testing::TestWithParam<DriftCase> {};

TEST_P(Drift, StaysWithinItsBound) {
  const DriftCase& c = GetParam();
  seq::Sequence s = sequence(c.sequence);
  s.float_depth = c.float_depth;
  const seq::Run r = track(s, frames_of(c.sequence), c.mode, c.rectified);
  const seq::Drift d = seq::endpoint_drift(r);
  EXPECT_EQ(d.tracked, s.frames) << "every frame set tracked";
  EXPECT_GT(d.path_m, 1.5);
  EXPECT_LT(d.worst_translation_ratio, c.max_translation_ratio);
  EXPECT_LT(d.worst_rotation_deg_per_m, c.max_rotation_deg_per_m);
  expect_valid_covariances(r);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, Drift,
    ::testing::Values(DriftCase{"stereo_rectified", "stereo", Mode::Multicamera, true, false, 0.008, 0.12},
                      DriftCase{"stereo_distorted", "distorted", Mode::Multicamera, false, false, 0.012, 0.15},
                      DriftCase{"inertial", "stereo", Mode::Inertial, true, false, 0.008, 0.10},
                      DriftCase{"rgbd_millimetres", "single", Mode::RGBD, false, false, 0.02, 0.35},
                      DriftCase{"rgbd_float_metres", "single", Mode::RGBD, false, true, 0.02, 0.35},
                      DriftCase{"multisensor", "multisensor", Mode::Multisensor, false, false, 0.011, 0.13}),
    [](const auto& info) { return std::string(info.param.name); });

// Monocular: the scale is arbitrary, so the tracked positions are compared after a similarity
// alignment; the start waits for enough parallax, then every later frame set is tracked. Per row:
// the room path; a start in a turn at a driving car's ratio of turn to travel (2.4 degrees and 4 cm
// a frame, walls 2 to 5 m away): the turn moves the image by tens of pixels within a few frames
// while it separates no rays, and the start frame's templates stop matching as the view swings.
struct MonoCase {
  const char* name;
  std::function<void(seq::Sequence*)> setup;
  int max_first;        // frame set of the first pose
  double max_fit_ratio;  // largest residual after the similarity alignment, over the path
};

class Monocular : public ::testing::TestWithParam<MonoCase> {};

TEST_P(Monocular, StartsSoonAndKeepsTheScaleUpToSimilarity) {
  const MonoCase& c = GetParam();
  seq::Sequence s = sequence("single");
  s.depth_cameras.clear();
  c.setup(&s);
  const seq::Run r = track(s, frames_of(std::string("mono_") + c.name, s), Mode::Mono, false);
  const seq::Drift d = seq::endpoint_drift(r);
  ASSERT_GE(d.first, 0);
  EXPECT_LE(d.first, c.max_first) << "the start needs a few frames of baseline";
  EXPECT_EQ(d.tracked, s.frames - d.first) << "no loss after the start";
  const seq::SimilarityFit fit = seq::similarity_fit(r);
  EXPECT_LT(fit.max_m / fit.path_m, c.max_fit_ratio) << "rms " << fit.rms_m << " m over " << fit.path_m << " m";
  expect_valid_covariances(r);
}

// Bounds about twice what is measured (first pose, largest residual): room 2.7 %, long lens frame
// set 4 and 2.6 %; the 640 x 480 bench reaches 0.85 % over 10 m.
INSTANTIATE_TEST_SUITE_P(
    Starts, Monocular,
    ::testing::Values(MonoCase{"room", [](seq::Sequence*) {}, 19, 0.05},
                      MonoCase{"turn", [](seq::Sequence* s) {
                                 s->frames = 45;
                                 s->trajectory.period = 5.0, s->trajectory.radius_x = 1.2, s->trajectory.radius_y = 0.9;
                               }, 10, 0.05},
                      // The room path through a lens of more pixels a degree (640 x 480 at 1000 px: 17
                      // px a degree where the others have 4.5), as on a car: a start that waits for
                      // 1 degree of parallax comes at frame set 16, with 5 % residuals.
                      MonoCase{"long_lens", [](seq::Sequence* s) {
                                 s->frames = 45;
                                 s->cameras = {seq::forward_camera(640, 480, 0.0)};
                                 s->cameras[0].fx = s->cameras[0].fy = 1000.0;
                               }, 8, 0.05},
                      // The room path with the camera rolling about its optical axis at 4 rad/s (7.6
                      // degrees a frame): corners at the image's edges move by 40 px and more in
                      // directions no single shift describes.
                      MonoCase{"rolling", [](seq::Sequence* s) {
                                 s->frames = 45;
                                 s->cameras = {seq::forward_camera(640, 480, 0.0)};
                                 s->trajectory.roll_rate = 4.0;
                               }, 8, 0.1},
                      // The turn at 5 Hz, 14 degrees a frame (a hand-held camera swung, a car's turn
                      // at a low frame rate): the image moves by about 65 px a frame, beyond the
                      // flow's reach, before any motion is known to search from. Measured: first
                      // pose at frame set 6 (17 when the start searches only where corners last
                      // moved), 2.6 %.
                      MonoCase{"fast_turn", [](seq::Sequence* s) {
                                 s->frames = 24;
                                 s->fps = 5.0;
                                 s->trajectory.period = 5.0, s->trajectory.radius_x = 1.2, s->trajectory.radius_y = 0.9;
                               }, 9, 0.05},
                      // The room in dim light, the camera's gain turned up: noise of 12 grey levels,
                      // where a good match leaves a residual of 17 (template and window each carry
                      // the noise). Measured: first pose at frame set 8, 2.9 %; with the tracker's
                      // bound on a residual fixed at 12 grey levels, no start at all.
                      MonoCase{"noisy", [](seq::Sequence* s) {
                                 s->frames = 45;
                                 s->noise_sigma = 12.0;
                               }, 16, 0.06},
                      // The room in dim light at a fixed exposure: a sixth of the brightness, its
                      // brightest parts near 32 grey levels and every corner's strength a 36th.
                      // Measured: first pose at frame set 6, 2.3 %; with the image taken as it
                      // comes, too few corners pass their threshold and there is no start at all.
                      MonoCase{"dark", [](seq::Sequence* s) {
                                 s->frames = 45;
                                 s->hard.gain_steps = {{0, 1.0 / 6.0}};
                               }, 12, 0.05},
                      // Two frame sets out of focus (a knock, a shaking hand): every feature is lost
                      // in them, and the map's landmarks, made over many frames of parallax, must
                      // be found again in the sharp ones that follow, not given up for a fresh start.
                      MonoCase{"shaken", [](seq::Sequence* s) { s->hard.defocused = {34, 35}; }, 19, 0.12}),
    [](const auto& info) { return std::string(info.param.name); });

// A stretch of featureless frames: tracking is lost on the first of them (timestamp, no pose),
// stays lost through them, and comes back on the first textured frame set in the same world
// frame: the pose picks up at most the motion made during the stretch, not a jump back to the origin.
class BlankStretch : public ::testing::TestWithParam<std::pair<const char*, Mode>> {};

TEST_P(BlankStretch, LosesTrackingAndRecoversInTheSameWorldFrame) {
  const auto [name, mode] = GetParam();
  seq::Sequence s = sequence(name);
  constexpr size_t kFirstBlank = 40, kLastBlank = 49;
  for (size_t k = kFirstBlank; k <= kLastBlank; ++k) s.blank_frames.insert(static_cast<int>(k));
  const seq::Run r = track(s, frames_of(name), mode, mode == Mode::Multicamera);
  for (size_t k = 0; k < r.est.size(); ++k) {
    EXPECT_EQ(r.est[k].has_value(), k < kFirstBlank || k > kLastBlank) << "frame " << k;
    EXPECT_EQ(r.t_ns[k], seq::frame_ns(s, static_cast<int>(k))) << "a lost frame still carries its stamp";
  }
  // With the estimate aligned to the truth at the first frame, the error after the stretch is at
  // most the motion during it (a restart from the last known pose) plus the drift bound, far less
  // than the distance back to where tracking started.
  const size_t back = kLastBlank + 1;
  ASSERT_TRUE(r.est[0] && r.est[back]);
  const render::Pose aligned = r.truth[0] * r.est[0]->inverse() * *r.est[back];
  const render::Pose &last = r.truth[kFirstBlank - 1], &resumed = r.truth[back];
  const double gap_motion = (resumed.t - last.t).norm();
  EXPECT_LT((aligned.t - resumed.t).norm(), gap_motion + 0.05);
  EXPECT_LT(seq::angle_deg(aligned.R, resumed.R), seq::angle_deg(last.R, resumed.R) + 0.01 * 180 / render::kPi);
  EXPECT_GT((resumed.t - r.truth[0].t).norm(), 3 * (gap_motion + 0.05)) << "the test must tell both apart";
  // After the restart the tracker measures motion again.
  EXPECT_LT(seq::endpoint_drift(r, static_cast<int>(back)).translation_ratio(), 0.01);
}

INSTANTIATE_TEST_SUITE_P(Modes, BlankStretch,
                         ::testing::Values(std::pair{"stereo", Mode::Multicamera}, std::pair{"single", Mode::RGBD}),
                         [](const auto& info) { return std::string(info.param.first); });

// A rig already turning fast when tracking starts, filmed at a low frame rate through a wide, low
// image with a car camera's long focal length (640 x 200, focal 512 px; 4 Hz: 6.7 degrees and 25 cm
// a frame set, the image sweeping 60 px between frames): the first frame set after the map's has no
// motion to predict from, and most features fall outside their search from where they were. The
// few found still tell roughly where the rig went, and the whole image's shift how far it turned;
// the map is searched again from there. Every frame set keeps a pose (measured drift 0.06 % stereo,
// 0.04 % RGB-D; a single search loses 3 frame sets and ends 50 % off).
class FastStart : public ::testing::TestWithParam<std::pair<const char*, Mode>> {};

TEST_P(FastStart, TracksEveryFrameSetOfATurnAtALowFrameRate) {
  const auto [name, mode] = GetParam();
  seq::Sequence s = sequence(name);
  s.fps = 4.0;
  s.frames = 20;
  for (auto& c : s.cameras) {
    const Eigen::Vector3d offset = c.rig_from_camera.t;
    c = seq::forward_camera(640, 200, 0.0);
    c.rig_from_camera.t = offset;
  }
  const seq::Run r = track(s, frames_of(std::string(name) + " at 4 Hz", s), mode, mode == Mode::Multicamera);
  const seq::Drift d = seq::endpoint_drift(r);
  EXPECT_EQ(d.tracked, s.frames);
  EXPECT_GT(d.path_m, 4.0);
  EXPECT_LT(d.translation_ratio(), 0.01);
}

INSTANTIATE_TEST_SUITE_P(Modes, FastStart,
                         ::testing::Values(std::pair{"stereo", Mode::Multicamera}, std::pair{"single", Mode::RGBD}),
                         [](const auto& info) { return std::string(info.param.first); });

TEST(Monocular, RestartsAfterABlankStretch) {
  seq::Sequence s = sequence("single");
  s.depth_cameras.clear();
  for (int k = 45; k < 50; ++k) s.blank_frames.insert(k);
  const seq::Run r = track(s, frames_of("single"), Mode::Mono, false);
  const seq::Drift before_stretch = seq::endpoint_drift(r, 0, 44), after_stretch = seq::endpoint_drift(r, 45);
  EXPECT_EQ(seq::endpoint_drift(r, 45, 49).tracked, 0);
  ASSERT_GE(before_stretch.last, 25);
  ASSERT_GE(after_stretch.first, 50) << "monocular start again after the stretch";
  EXPECT_LT(after_stretch.first, 75);
  // Same world frame: the restart is anchored at the last known pose, so the resumed pose lies near
  // it (in the map's units: how far the estimate moved over the 25 frame sets before the stretch,
  // more than the stretch and the restart take together) rather than at the origin.
  const auto& earlier = r.est[static_cast<size_t>(before_stretch.last - 25)];
  const render::Pose &before = *r.est[static_cast<size_t>(before_stretch.last)];
  const render::Pose &after = *r.est[static_cast<size_t>(after_stretch.first)];
  ASSERT_TRUE(earlier);
  const double recent = (before.t - earlier->t).norm();
  EXPECT_LT((after.t - before.t).norm(), 2.0 * recent);
  EXPECT_GT(recent, 0.1 * before.t.norm()) << "the test must tell a restart at the origin apart";
  EXPECT_LT(seq::angle_deg(before.R, after.R), 0.6 * 180 / render::kPi);
}

// Three frame sets of sensor garbage (a glitch, a hand over the lens): corners everywhere and none
// of the view. The map is searched for from the last motion until the view comes back, and found
// there, so the run keeps one scale; a fresh start from the garbage's corners would throw the map
// away, publish nothing for dozens of frame sets and then measure in units of its own.
TEST(Monocular, FindsItsMapAgainAfterAGlitch) {
  seq::Sequence s = sequence("single");
  s.depth_cameras.clear();
  s.hard.garbled = {45, 46, 47};
  const seq::Run r = track(s, frames_of("mono glitch", s), Mode::Mono, false);
  EXPECT_EQ(seq::endpoint_drift(r, 45, 47).tracked, 0);
  const seq::Drift after = seq::endpoint_drift(r, 48);
  EXPECT_EQ(after.first, 48) << "the map is found in the first sound frame set";
  EXPECT_EQ(after.tracked, s.frames - 48);
  const seq::SimilarityFit fit = seq::similarity_fit(r);
  EXPECT_LT(fit.max_m / fit.path_m, 0.05) << "one scale before and after: rms " << fit.rms_m << " m";
}

// Inertial mode across stretches without a visual pose, from frame set 46 on (gravity is known by
// then): a blank stretch shorter than imu_gap_seconds (1 s) is bridged by the IMU, a pose for every
// frame set with the rotation kept to a fraction of a degree despite a gyro bias; a longer one is
// bridged for 1 s, then lost, then recovered; an off-scale accelerometer sample inside a bridged
// stretch is refused instead of throwing the bridge off; after a camera outage longer than
// imu_gap_seconds tracking picks up where the rig really is, not where 1 s of carried motion put it.
struct GapCase {
  const char* name;
  int blank, dropped;  // featureless frame sets, or frame sets never delivered (the IMU keeps running)
  bool spike;          // one accelerometer sample of 1e4 m/s^2 in the middle of the stretch
  // Position error back after the stretch: the drift, and after a 3 s outage the IMU's carry (8 cm
  // measured) where 1 s of carried motion alone leaves the pose 2 m short.
  double max_back_m;
};

class Inertial : public ::testing::TestWithParam<GapCase> {};

TEST_P(Inertial, BridgesShortGapsAndPicksUpAfterLongOnes) {
  const GapCase& c = GetParam();
  const double gap_s = Odometry::Config().imu_gap_seconds;
  seq::Sequence s = sequence("stereo");
  constexpr int kFirst = 46;
  const int stretch = c.blank + c.dropped;
  s.frames = kFirst + stretch + 8;  // a few frame sets past the stretch suffice
  for (int k = kFirst; k < kFirst + stretch; ++k) (c.blank ? s.blank_frames : s.hard.dropped).insert(k);
  const int middle_sample = static_cast<int>((seq::frame_seconds(s, kFirst + stretch / 2) + 0.2) * s.imu_rate);
  if (c.spike) s.accel_spikes[middle_sample] = Eigen::Vector3d(1e4, 0.0, 0.0);
  // Past the cached frames the delivered ones are drawn on the fly.
  const auto& cached = frames_of("stereo");
  const seq::Run r = track(s, s.frames <= static_cast<int>(cached.size()) ? cached : std::vector<seq::RenderedFrame>(),
                           Mode::Inertial, true);
  EXPECT_EQ(r.imu_refused, c.spike ? 1 : 0);
  const bool lost = stretch / s.fps >= gap_s;
  ASSERT_TRUE(r.est[0]);
  const auto error = [&](int k) {  // position (m) and rotation (degrees) off the truth, aligned at the start
    const render::Pose aligned = r.truth[0] * r.est[0]->inverse() * *r.est[static_cast<size_t>(k)];
    const render::Pose& truth = r.truth[static_cast<size_t>(k)];
    return std::pair((aligned.t - truth.t).norm(), seq::angle_deg(aligned.R, truth.R));
  };
  for (int k = kFirst; k < kFirst + stretch; ++k) {
    SCOPED_TRACE(std::string(c.name) + ", frame " + std::to_string(k));
    const double since = seq::frame_seconds(s, k) - seq::frame_seconds(s, kFirst - 1);
    ASSERT_EQ(r.est[static_cast<size_t>(k)].has_value(), c.blank && since <= gap_s + 1e-6);
    if (!r.est[static_cast<size_t>(k)]) continue;
    // Rotation: gyro noise and what remains of its bias over at most 1 s; position: the
    // accelerometer's (the last velocity held on this curving path would be 25 cm off after 1 s).
    const auto [position_m, rotation_deg] = error(k);
    EXPECT_LT(rotation_deg, 0.5);
    EXPECT_LT(position_m, 0.02 + 0.03 * since);
  }
  // Back: after a bridged stretch tracking resumes on the old map without a jump; after a lost one
  // (its first frame set may go to finding that out) the pose is where the rig is, within the drift
  // and what the IMU gathers over the stretch, and the rotation within a degree.
  int back = kFirst + stretch;
  if (lost && !r.est[static_cast<size_t>(back)]) ++back;
  SCOPED_TRACE(std::string(c.name) + ", back at frame " + std::to_string(back));
  ASSERT_TRUE(r.est[static_cast<size_t>(back)]);
  const auto [position_m, rotation_deg] = error(back);
  EXPECT_LT(rotation_deg, lost ? 1.0 : 0.5);
  EXPECT_LT(position_m, c.max_back_m);
}

INSTANTIATE_TEST_SUITE_P(
    Gaps, Inertial,
    ::testing::Values(GapCase{"short_blank", 6, 0, false, 0.05}, GapCase{"long_blank", 36, 0, false, 0.05},
                      GapCase{"spike_in_short_blank", 6, 0, true, 0.05}, GapCase{"outage_3s", 0, 90, false, 0.15}),
    [](const auto& info) { return std::string(info.param.name); });

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
  // Least ratio of the median position sigma reported over frame sets 1-14 (the wall ahead) to the
  // same in the textured scene of the drops row; 0: not checked. Bare wall: 5.2 measured, 3.2 when
  // a few inliers on one plane are reported as confidently as many.
  double min_start_sigma_growth = 0.0;
};

double median_start_sigma(const seq::Run& r) {
  std::vector<double> sigma;
  for (size_t k = 1; k < 15; ++k)
    if (r.est[k]) sigma.push_back(std::sqrt(double{r.covariance[k][0]} + r.covariance[k][7] + r.covariance[k][14]));
  std::nth_element(sigma.begin(), sigma.begin() + static_cast<long>(sigma.size() / 2), sigma.end());
  return sigma.empty() ? 0.0 : sigma[sigma.size() / 2];
}

class HardConditions : public ::testing::TestWithParam<HardCase> {};

TEST_P(HardConditions, EveryFrameSetKeepsAPoseAndTheImuNeverHurts) {
  const HardCase& c = GetParam();
  seq::Sequence s = sequence("stereo");
  s.frames = 60;
  s.trajectory.period = 7.0;
  for (int k : {15, 16, 17, 18, 19, 35, 36, 37, 38, 39, 40, 41, 42}) s.hard.dropped.insert(k);
  c.conditions(&s);
  const auto& frames = frames_of(std::string("hard_") + c.name, s);
  seq::Drift drift[2];
  for (const Mode mode : {Mode::Multicamera, Mode::Inertial}) {
    seq::Sequence run_s = s;
    const seq::Run r = track(run_s, frames, mode, true);
    EXPECT_EQ(r.lost, 0) << c.name << " mode " << static_cast<int>(mode);
    drift[mode == Mode::Inertial] = seq::endpoint_drift(r);
    EXPECT_LT(drift[mode == Mode::Inertial].worst_translation_ratio, c.max_translation_ratio) << c.name << " mode " << static_cast<int>(mode);
    expect_valid_covariances(r);
    if (c.min_start_sigma_growth > 0.0 && mode == Mode::Multicamera) {
      seq::Sequence textured = sequence("stereo");
      textured.frames = s.frames, textured.trajectory = s.trajectory, textured.hard.dropped = s.hard.dropped;
      const double ratio = median_start_sigma(r) / median_start_sigma(track(textured, frames_of("hard_drops", textured), mode, true));
      EXPECT_GT(ratio, c.min_start_sigma_growth) << c.name << ": a bare wall reported as confidently as texture";
    }
  }
  EXPECT_LT(drift[1].worst_translation_ratio, drift[0].worst_translation_ratio + 0.002) << c.name << ": the gyro made it worse";
  EXPECT_LT(drift[1].worst_rotation_deg_per_m, drift[0].worst_rotation_deg_per_m + 0.01) << c.name << ": the gyro turned it";
}

INSTANTIATE_TEST_SUITE_P(
    Groups, HardConditions,
    ::testing::Values(
        HardCase{"drops", [](seq::Sequence*) {}, 0.015},
        // The wall ahead at the start is painted nearly plain; the floor and a box stay textured.
        HardCase{"bare_wall", [](seq::Sequence* s) { s->scene.bare_faces = {render::face_seed(s->scene.room.seed, 1, true)}; }, 0.045, 4.0},
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

// Same input, same output, bit for bit, on one thread or several (the pool splits the work, never
// the arithmetic).
TEST(Determinism, SameInputSameOutputWhateverTheThreads) {
  seq::Sequence s = sequence("stereo");
  s.frames = 30;
  const seq::Run a = track(s, frames_of("stereo"), Mode::Multicamera, false, 1);
  const seq::Run b = track(s, frames_of("stereo"), Mode::Multicamera, false, 2);
  for (size_t k = 0; k < a.est.size(); ++k) {
    ASSERT_EQ(a.est[k].has_value(), b.est[k].has_value());
    EXPECT_TRUE(!a.est[k] || (a.est[k]->t == b.est[k]->t && a.est[k]->R == b.est[k]->R && a.covariance[k] == b.covariance[k]))
        << "frame " << k;
  }
}

}  // namespace

// A stereo rig whose right camera's principal point is off along the baseline, or whose focal
// length is off by 1 %, as rectification leaves real rigs: every disparity is off by as much (by 1.6 px
// at the image's edges for the focal length), depths at 4 m by 15 to 20 % (focal 256 px, 12 cm
// baseline), and every step with them; the focal length's error grows across the image and turns
// the rig's rotation (1.1 deg/m uncorrected). The tracker measures offset and slope from the motion
// and corrects the calibration: past frame set 150 the drift is back near the exact rig's (measured:
// exact 0.37 %, +1.5 px 1.32 %, -1.0 px 0.28 %, focal x 1.01 0.33 %, x 0.99 0.52 %; 16 to 18 % with
// the focal length uncorrected), while the whole path, its uncorrected start included, shows the
// error (9 to 16 % at worst).
TEST(DisparityOffset, MiscalibratedRigIsCorrectedWhileTracking) {
  seq::Sequence exact = sequence("stereo");
  exact.frames = 240;
  const std::vector<seq::RenderedFrame> frames = seq::render_all(exact);
  constexpr int kCorrectedFrom = 150;
  constexpr double kCorrectedBound = 0.015, kUncorrectedAtLeast = 0.05;
  for (const auto& [offset_px, focal] : {std::pair{0.0, 1.0}, {1.5, 1.0}, {-1.0, 1.0}, {0.0, 1.01}, {0.0, 0.99}}) {
    seq::Sequence s = exact;
    s.cameras[1].cx += offset_px;
    s.cameras[1].fx *= focal;
    const seq::Run r = track(s, frames, Mode::Multicamera, true);
    const seq::Drift whole = seq::endpoint_drift(r), corrected = seq::endpoint_drift(r, kCorrectedFrom);
    const std::string row = std::to_string(offset_px) + " px, focal length x " + std::to_string(focal);
    EXPECT_EQ(whole.tracked, exact.frames) << row;
    EXPECT_LT(corrected.translation_ratio(), kCorrectedBound) << row;
    if (offset_px != 0.0 || focal != 1.0) {
      EXPECT_GT(whole.worst_translation_ratio, kUncorrectedAtLeast) << row;
    }
  }
}
