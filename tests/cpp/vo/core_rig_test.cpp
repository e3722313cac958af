// Rig resolution and tracker construction through the scripted library.
#include "vo_support.hpp"

#include <functional>
#include <limits>
#include <tuple>

namespace vo_test {
namespace {

std::vector<std::string> rig_names(const CuvslamCore& core) {
  std::vector<std::string> names;
  for (const RigCamera& c : core.rig()) names.push_back(c.frame_id);
  return names;
}

class Rig : public VoTest {};

TEST_F(Rig, ResolvedFromCalibrations) {
  // Optical frames: camera z forward, x right. "b" sits 0.1 m along base_link x; "a" is unturned, or
  // turned 180 degrees about its optical axis, which puts "b" on its left. A listed rig keeps its order
  // (and its extra entries are not rig cameras) even where discovery would swap it.
  const Isometry half_turn = pose(0, 0, 0, Eigen::Vector3d::UnitZ(), M_PI);
  const std::vector<CameraConfig> listed = {{.frame_id = "b"}, {.frame_id = "a"}, {.frame_id = "c"}};
  const std::vector<std::tuple<Isometry, std::vector<CameraConfig>, std::vector<std::string>>> cases = {
      {Isometry::identity(), {}, {"a", "b"}}, {half_turn, {}, {"b", "a"}}, {Isometry::identity(), listed, {"b", "a"}}};
  for (const auto& [mount_a, cameras, order] : cases) {
    TableTf tf;
    tf.set("base_link", "a", mount_a);
    tf.set("base_link", "b", translation(0.1, 0.0, 0.0));
    tf.set("base_link", "c", translation(0, 0, 0));
    CuvslamOdometryConfig config;
    config.cameras = cameras;
    auto core = make_core(config);
    core->handle_camera_info(camera_model("b"), tf);
    EXPECT_TRUE(core->rig().empty()) << "one calibration is not a stereo rig";
    core->handle_camera_info(camera_model("a"), tf);
    if (!cameras.empty()) core->handle_camera_info(camera_model("c"), tf);
    EXPECT_EQ(rig_names(*core), order);
    EXPECT_EQ(tf.times_asked("base_link", "c"), 0u);
  }
}

TEST_F(Rig, UnresolvedWithThreeCalibrationsOrAMissingTransform) {
  // Three calibrations that arrive before tf knows the cameras (with tf, the first two would form the rig).
  TableTf tf;
  auto core = make_core({});
  for (const char* name : {"z", "a", "m"}) core->handle_camera_info(camera_model(name), tf);
  for (const char* name : {"z", "a", "m"}) tf.set("base_link", name, translation(0, 0, 0));
  core->handle_image(camera_image("a", 1), tf);
  core->handle_image(camera_image("a", 2), tf);
  EXPECT_TRUE(core->rig().empty());
  EXPECT_EQ(core->counters().unmatched_images, 2u);
  // The error is throttled per site: one line however many messages retried.
  EXPECT_EQ(LogCapture::count("cuvslam found more cameras on camera_info than camera_mode uses"), 1u);

  // Two calibrations, one transform missing: resolved by any message once tf knows it.
  TableTf pair_tf;
  pair_tf.set("base_link", "a", translation(0, 0, 0));
  core = make_core({});
  core->handle_camera_info(camera_model("a"), pair_tf);
  core->handle_camera_info(camera_model("b"), pair_tf);
  EXPECT_TRUE(core->rig().empty());
  pair_tf.set("base_link", "b", translation(0.1, 0, 0));
  core->handle_imu_info(ImuNoiseModel{.frame_id = "imu"}, pair_tf);
  EXPECT_EQ(rig_names(*core), (std::vector<std::string>{"a", "b"}));
}

TEST_F(Rig, CameraParametersAndDistortion) {
  using Model = cuvslam::Distortion::Model;
  const std::vector<std::tuple<std::vector<double>, Model, std::vector<float>>> cases = {
      {std::vector<double>{}, Model::Pinhole, std::vector<float>{}},
      {std::vector{0.1, 0.0, 0.0, 0.0}, Model::Pinhole, std::vector<float>{}},
      {std::vector{0.0, 0.0, 0.0, 0.0, 0.0}, Model::Pinhole, std::vector<float>{}},
      {std::vector{0.0, 0.0, 0.0, 0.0, 0.0, 0.01}, Model::Brown, std::vector<float>{0, 0, 0, 0, 0}},
      {std::vector{0.1, 0.2, 0.3, 0.4, 0.5}, Model::Brown, std::vector{0.1f, 0.2f, 0.5f, 0.3f, 0.4f}},
  };
  const Isometry rig_from_left = pose(0.01, 0.02, 0.03, Eigen::Vector3d(1, 2, 3), 0.4);
  for (const auto& [distortion, model, coefficients] : cases) {
    cuvslam_double::reset();
    TableTf tf;
    tf.set("base_link", "left", rig_from_left);
    tf.set("base_link", "right", translation(0.1, 0, 0));
    auto core = make_core({});
    core->handle_camera_info(camera_model("left", 640, 480, 500.5, 320.25, 501.5, 240.75, distortion), tf);
    core->handle_camera_info(camera_model("right", 640, 480), tf);
    core->handle_camera_info(camera_model("left", 640, 480, 99.0), tf);  // after resolution: not used
    core->handle_image(camera_image("left", 5, 640, 480), tf);
    core->handle_image(camera_image("right", 5, 640, 480), tf);
    ASSERT_EQ(cuvslam_double::script().constructions.size(), 1u);
    const cuvslam::Camera& cam = cuvslam_double::script().constructions[0].first.cameras.at(0);
    EXPECT_EQ(cam.size, (std::array<int32_t, 2>{640, 480}));
    EXPECT_EQ(cam.principal, (std::array<float, 2>{320.25f, 240.75f}));
    EXPECT_EQ(cam.focal, (std::array<float, 2>{500.5f, 501.5f}));
    EXPECT_FLOAT_EQ(cam.rig_from_camera.rotation[3], static_cast<float>(rig_from_left.rotation.w()));
    EXPECT_FLOAT_EQ(cam.rig_from_camera.rotation[2], static_cast<float>(rig_from_left.rotation.z()));
    EXPECT_EQ(cam.rig_from_camera.translation, (std::array<float, 3>{0.01f, 0.02f, 0.03f}));
    EXPECT_EQ(cam.distortion.model, model);
    EXPECT_EQ(cam.distortion.parameters, coefficients);
  }
}

TEST_F(Rig, CalibrationsWithUnusableSizesAreRefused) {
  TableTf tf;
  tf.set("base_link", "a", translation(0, 0, 0));
  tf.set("base_link", "b", translation(0.1, 0, 0));
  auto core = make_core({});
  for (const auto& [w, h] : std::vector<std::pair<int32_t, int32_t>>{
           {0, 480}, {-640, 480}, {640, -1}, {65536, 10}, {2147483647, 2147483647}, {10000, 10000}}) {
    for (const char* name : {"a", "b"}) core->handle_camera_info(camera_model(name, w, h), tf);
  }
  EXPECT_TRUE(core->rig().empty());
  EXPECT_EQ(core->counters().calibration_rejects, 12u);
  core->handle_camera_info(camera_model("a", 65535, 1), tf);
  core->handle_camera_info(camera_model("b", 8192, 8192), tf);
  EXPECT_EQ(core->rig().size(), 2u);
}

TEST_F(Rig, BackendFallback) {
  // use_gpu, GPU construction fails, CPU construction fails, use_gpu of each construction attempt, log line
  const std::vector<std::tuple<bool, bool, bool, std::vector<bool>, std::string>> cases = {
      {true, false, false, {true}, "cuvslam tracker created cameras=2 width=64 height=48 rig_frames=left, right"},
      {true, true, false, {true, false},
       "cuvslam tracker construction failed with the configured backend; this build only carries the other one, "
       "using it configured_use_gpu=true error=no gpu here"},
      {false, false, true, {false, true}, "configured_use_gpu=false error=no cpu here"},
      {true, true, true, {true, false},
       "cuvslam tracker construction failed on both backends; this module will not publish odometry "
       "configured_use_gpu=true configured_error=no gpu here fallback_error=no cpu here"},
  };
  for (const auto& [use_gpu, gpu_fails, cpu_fails, want_attempts, log] : cases) {
    cuvslam_double::reset();
    LogCapture::clear();
    if (gpu_fails) cuvslam_double::script().fail_gpu = "no gpu here";
    if (cpu_fails) cuvslam_double::script().fail_cpu = "no cpu here";
    CuvslamOdometryConfig config;
    config.use_gpu = use_gpu;
    StereoSetup s(config);
    for (int k = 1; k <= 3; ++k) s.pair(k * 1'000'000);
    const bool tracker = !(gpu_fails && cpu_fails);
    EXPECT_EQ(s.core->has_tracker(), tracker);
    EXPECT_EQ(s.core->construction_failed(), !tracker);
    std::vector<bool> attempts;
    for (const auto& [rig, cfg] : cuvslam_double::script().constructions) attempts.push_back(cfg.use_gpu);
    EXPECT_EQ(attempts, want_attempts) << "construction is never retried after failing on both backends";
    EXPECT_EQ(LogCapture::count(log), 1u) << log;
    EXPECT_EQ(s.core->counters().frames, tracker ? 3u : 0u);
  }
}

TEST_F(Rig, OptionsPerMode) {
  using Mode = cuvslam::Odometry::OdometryMode;
  const CameraConfig left{.frame_id = "left"}, right{.frame_id = "right"};
  const CameraConfig right_depth{.frame_id = "right", .depth_units_per_meter = 4000, .provides_depth = true};
  // mode, enable_imu, cameras; then what the library is given: mode, rectified, depth camera ids, multisensor
  // depth scale; and the log line's tail when the cameras disagree on `rectified` (empty: no line).
  using Case = std::tuple<std::string, bool, std::vector<CameraConfig>, Mode, bool, std::vector<int32_t>, float, std::string>;
  const std::vector<Case> cases = {
      {"stereo", false, {left, right}, Mode::Multicamera, true, {}, 1.f, ""},
      {"stereo", false, {left, {.frame_id = "right", .rectified = false}}, Mode::Multicamera, true, {}, 1.f, "using=true"},
      {"stereo", false, {{.frame_id = "left", .rectified = false}, right}, Mode::Multicamera, false, {}, 1.f, "using=false"},
      {"stereo", true, {left, right}, Mode::Inertial, true, {}, 1.f, ""},
      {"mono", false, {left}, Mode::Mono, false, {}, 1.f, ""},
      {"multisensor", true, {left, right_depth}, Mode::Multisensor, false, {1}, 4000.f, ""},
      {"multisensor", false, {{.frame_id = "left", .provides_depth = true}, right_depth}, Mode::Multisensor, false, {0, 1}, 1.f, ""},
  };
  for (const auto& [mode, imu, cameras, code, rectified, depth_ids, multisensor_scale, rectified_error] : cases) {
    cuvslam_double::reset();
    LogCapture::clear();
    CuvslamOdometryConfig config;
    config.camera_mode = mode;
    config.cameras = cameras;
    config.enable_imu = imu;
    TableTf tf;
    tf.set("base_link", "left", translation(0, 0, 0));
    tf.set("base_link", "right", translation(0.1, 0, 0));
    tf.set("base_link", "imu", translation(0, 0, 0.2));
    auto core = make_core(config);
    core->handle_imu_info(ImuNoiseModel{"imu", 0.1, 0.2, 0.3, 0.4, 200.0}, tf);
    for (const CameraConfig& cam : cameras) core->handle_camera_info(camera_model(cam.frame_id), tf);
    for (const CameraConfig& cam : cameras) {
      if (cam.provides_depth) core->handle_depth_image(depth_image(cam.frame_id, 10, 64, 48, std::vector<uint16_t>(64 * 48, 1000)), tf);
      core->handle_image(camera_image(cam.frame_id, 10), tf);
    }
    ASSERT_EQ(cuvslam_double::script().constructions.size(), 1u) << mode;
    EXPECT_EQ(core->counters().frames, 1u) << mode;
    const auto& [rig, cfg] = cuvslam_double::script().constructions[0];
    EXPECT_EQ(std::tie(cfg.odometry_mode, cfg.rectified_stereo_camera, cfg.depth_camera_ids, cfg.multisensor_depth_scale_factor),
              std::tie(code, rectified, depth_ids, multisensor_scale)) << mode;
    ASSERT_EQ(rig.imus.size(), imu ? 1u : 0u) << mode;
    if (imu) {
      const cuvslam::ImuCalibration& i = rig.imus[0];
      EXPECT_EQ(std::tie(i.rig_from_imu.translation, i.gyroscope_noise_density, i.gyroscope_random_walk,
                         i.accelerometer_noise_density, i.accelerometer_random_walk, i.frequency),
                std::make_tuple(std::array<float, 3>{0.f, 0.f, 0.2f}, 0.1f, 0.2f, 0.3f, 0.4f, 200.f));
    }
    EXPECT_EQ(LogCapture::count("cuvslam rig cameras disagree on `rectified`"), rectified_error.empty() ? 0u : 1u) << mode;
    EXPECT_EQ(LogCapture::count(rectified_error), rectified_error.empty() ? LogCapture::lines().size() : 1u) << mode;
  }
}

// Missing or bad calibrations and transforms (what uncalibrated drivers and broken publishers send first)
// hold the tracker back, and the engine starts once good ones arrive; a construction that failed is retried when a
// calibration or mount has changed, never with the same inputs.
TEST_F(Rig, StartsOnceBadCalibrationsAndTransformsAreReplaced) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    std::function<void(StereoSetup&)> spoil, repair;  // before and after the first stereo pair
    uint64_t bad_transforms, calibration_rejects, retries;
  };
  const auto inertial = [](StereoSetup& s) {
    CuvslamOdometryConfig config = s.core->config();
    config.enable_imu = true;
    s.core = make_core(config);
    for (const char* name : {"left", "right"}) s.core->handle_camera_info(camera_model(name), s.tf);
  };
  const std::vector<Case> cases = {
      {"no output transform", [](StereoSetup& s) { s.tf.erase("base_link", "rig"); },
       [](StereoSetup& s) { s.tf.set("base_link", "rig", Isometry::identity()); }, 0, 0, 0},
      {"inertial without imu_info", [&](StereoSetup& s) { inertial(s); s.tf.set("rig", "imu", Isometry::identity()); },
       [](StereoSetup& s) { s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu"}, s.tf); }, 0, 0, 0},
      {"inertial without the IMU mount",
       [&](StereoSetup& s) { inertial(s); s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu"}, s.tf); },
       [](StereoSetup& s) { s.tf.set("rig", "imu", Isometry::identity()); }, 0, 0, 0},
      {"NaN rig mount", [&](StereoSetup& s) { s.tf.set("base_link", "rig", translation(nan, 0, 0)); },
       [](StereoSetup& s) { s.tf.set("base_link", "rig", Isometry::identity()); }, 1, 0, 0},
      {"all-zero K, then NaN and negative focal lengths",
       [&](StereoSetup& s) {
         s.core = make_core(s.core->config());
         for (const double f : {0.0, nan, -50.0}) s.core->handle_camera_info(camera_model("left", 64, 48, f, 0, f, 0), s.tf);
         s.core->handle_camera_info(camera_model("right"), s.tf);
       },
       [](StereoSetup& s) { s.core->handle_camera_info(camera_model("left"), s.tf); }, 0, 3, 0},
      {"refused by the library, then recalibrated",
       [](StereoSetup&) { cuvslam_double::script().fail_gpu = cuvslam_double::script().fail_cpu = "too small"; },
       [](StereoSetup& s) {
         cuvslam_double::script().fail_gpu.reset();
         cuvslam_double::script().fail_cpu.reset();
         s.core->handle_camera_info(camera_model("left"), s.tf);  // the same calibration: no retry
         s.pair(1'500'000'000);
         EXPECT_FALSE(s.core->has_tracker());
         s.core->handle_camera_info(camera_model("left", 64, 48, 60.0), s.tf);
       },
       0, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cuvslam_double::reset();
    StereoSetup s;
    c.spoil(s);
    EXPECT_FALSE(s.pair(1'000'000'000).has_value());
    EXPECT_FALSE(s.core->has_tracker());
    c.repair(s);
    s.pair(2'000'000'000);
    const std::optional<OdometryEstimate> estimate = s.pair(3'000'000'000);
    ASSERT_TRUE(estimate.has_value());
    EXPECT_TRUE(estimate->pose.usable());
    const Counters& n = s.core->counters();
    EXPECT_EQ(std::tie(n.bad_transforms, n.calibration_rejects, n.construction_retries),
              std::tie(c.bad_transforms, c.calibration_rejects, c.retries));
  }
}

}  // namespace
}  // namespace vo_test
