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
    core->handle_camera_info(camera_model("b", 65535, 1), tf);  // the largest sizes accepted
    EXPECT_TRUE(core->rig().empty()) << "one calibration is not a stereo rig";
    core->handle_camera_info(camera_model("a", 8192, 8192), tf);
    if (!cameras.empty()) core->handle_camera_info(camera_model("c"), tf);
    EXPECT_EQ(rig_names(*core), order);
    EXPECT_EQ(tf.times_asked("base_link", "c"), 0u);
  }
}

TEST_F(Rig, UnresolvedWithThreeCalibrations) {
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
}

// What the library is given per mode and calibration, and the backend it runs on: a construction that
// fails falls back to the other backend once, and is never retried after failing on both.
TEST_F(Rig, TrackerConstruction) {
  using Mode = cuvslam::Odometry::OdometryMode;
  using Model = cuvslam::Distortion::Model;
  const CameraConfig left{.frame_id = "left"}, right{.frame_id = "right"};
  const CameraConfig right_depth{.frame_id = "right", .depth_units_per_meter = 4000, .provides_depth = true};
  struct Case {
    const char* name;
    std::string mode = "stereo";
    bool imu = false, use_gpu = true;
    std::vector<CameraConfig> cameras = {{.frame_id = "left"}, {.frame_id = "right"}};
    std::vector<double> distortion = {};  // the left camera's
    std::optional<std::string> fail_gpu = {}, fail_cpu = {};
    Mode code = Mode::Multicamera;
    bool rectified = true;
    std::vector<int32_t> depth_ids = {};
    float depth_scale = 1.f;
    Model model = Model::Pinhole;
    std::vector<float> coefficients = {};
    std::vector<bool> attempts = {true};  // use_gpu of each construction attempt
    std::string log = "";                 // a line logged once
  };
  const std::string disagree = "cuvslam rig cameras disagree on `rectified`; it applies to the whole rig. Make every "
                               "cameras[*].rectified match. using=";
  const std::vector<Case> cases = {
      {.name = "stereo", .log = "cuvslam tracker created cameras=2 width=640 height=480 rig_frames=left, right"},
      {.name = "right not rectified", .cameras = {left, {.frame_id = "right", .rectified = false}}, .log = disagree + "true"},
      {.name = "left not rectified", .cameras = {{.frame_id = "left", .rectified = false}, right}, .rectified = false, .log = disagree + "false"},
      {.name = "inertial", .imu = true, .code = Mode::Inertial},
      {.name = "mono", .mode = "mono", .cameras = {left}, .code = Mode::Mono, .rectified = false},
      {.name = "multisensor", .mode = "multisensor", .imu = true, .cameras = {left, right_depth}, .code = Mode::Multisensor,
       .rectified = false, .depth_ids = {1}, .depth_scale = 4000.f},
      {.name = "multisensor, depth units that disagree", .mode = "multisensor",
       .cameras = {{.frame_id = "left", .provides_depth = true}, right_depth}, .code = Mode::Multisensor, .rectified = false, .depth_ids = {0, 1}},
      {.name = "k1 alone", .distortion = {0.1, 0.0, 0.0, 0.0}},
      {.name = "five zeros", .distortion = {0.0, 0.0, 0.0, 0.0, 0.0}},
      {.name = "k4", .distortion = {0.0, 0.0, 0.0, 0.0, 0.0, 0.01}, .model = Model::Brown, .coefficients = {0, 0, 0, 0, 0}},
      // plumb_bob is k1, k2, p1, p2, k3; the library reads k1, k2, k3, p1, p2.
      {.name = "plumb_bob", .distortion = {0.1, 0.2, 0.3, 0.4, 0.5}, .model = Model::Brown, .coefficients = {0.1f, 0.2f, 0.5f, 0.3f, 0.4f}},
      {.name = "GPU fails", .fail_gpu = "no gpu here", .attempts = {true, false},
       .log = "cuvslam tracker construction failed with the configured backend; this build only carries the other one, "
              "using it configured_use_gpu=true error=no gpu here"},
      {.name = "CPU configured and fails", .use_gpu = false, .fail_cpu = "no cpu here", .attempts = {false, true},
       .log = "configured_use_gpu=false error=no cpu here"},
      {.name = "both fail", .fail_gpu = "no gpu here", .fail_cpu = "no cpu here", .attempts = {true, false},
       .log = "cuvslam tracker construction failed on both backends; this module will not publish odometry "
              "configured_use_gpu=true configured_error=no gpu here fallback_error=no cpu here"},
  };
  const Isometry rig_from_left = pose(0.01, 0.02, 0.03, Eigen::Vector3d(1, 2, 3), 0.4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    cuvslam_double::reset();
    LogCapture::clear();
    cuvslam_double::script().fail_gpu = c.fail_gpu;
    cuvslam_double::script().fail_cpu = c.fail_cpu;
    CuvslamOdometryConfig config;
    config.camera_mode = c.mode;
    config.cameras = c.cameras;
    config.enable_imu = c.imu;
    config.use_gpu = c.use_gpu;
    TableTf tf;
    tf.set("base_link", "left", rig_from_left);
    tf.set("base_link", "right", translation(0.1, 0, 0));
    tf.set("base_link", "imu", translation(0, 0, 0.2));
    auto core = make_core(config);
    core->handle_imu_info(ImuNoiseModel{"imu", 0.1, 0.2, 0.3, 0.4, 200.0}, tf);
    core->handle_camera_info(camera_model("left", 640, 480, 500.5, 320.25, 501.5, 240.75, c.distortion), tf);
    if (c.cameras.size() > 1) core->handle_camera_info(camera_model("right", 640, 480), tf);
    const bool tracker = !(c.fail_gpu && c.fail_cpu);
    // Not used once the rig is resolved (unless a failed construction is retried with it).
    if (tracker) core->handle_camera_info(camera_model("left", 640, 480, 99.0), tf);
    for (int64_t k = 1; k <= 3; ++k) {
      for (const CameraConfig& cam : c.cameras) {
        if (cam.provides_depth) core->handle_depth_image(depth_image(cam.frame_id, k, 640, 480, std::vector<uint16_t>(640 * 480, 1000)), tf);
        core->handle_image(camera_image(cam.frame_id, k, 640, 480), tf);
      }
    }
    EXPECT_EQ(std::make_tuple(core->has_tracker(), core->construction_failed(), core->counters().frames),
              std::make_tuple(tracker, !tracker, tracker ? uint64_t{3} : uint64_t{0}));
    std::vector<bool> attempts;
    for (const auto& [rig, cfg] : cuvslam_double::script().constructions) attempts.push_back(cfg.use_gpu);
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_EQ(LogCapture::count(c.log), c.log.empty() ? LogCapture::lines().size() : 1u) << c.log;
    EXPECT_EQ(LogCapture::count(disagree), c.log.starts_with(disagree) ? 1u : 0u);
    const auto& [rig, cfg] = cuvslam_double::script().constructions.at(0);
    EXPECT_EQ(std::tie(cfg.odometry_mode, cfg.rectified_stereo_camera, cfg.depth_camera_ids, cfg.multisensor_depth_scale_factor),
              std::tie(c.code, c.rectified, c.depth_ids, c.depth_scale));
    const cuvslam::Camera& cam = rig.cameras.at(0);
    EXPECT_EQ(std::tie(cam.size, cam.principal, cam.focal, cam.rig_from_camera.translation),
              std::make_tuple(std::array<int32_t, 2>{640, 480}, std::array<float, 2>{320.25f, 240.75f},
                              std::array<float, 2>{500.5f, 501.5f}, std::array<float, 3>{0.01f, 0.02f, 0.03f}));
    EXPECT_FLOAT_EQ(cam.rig_from_camera.rotation[3], static_cast<float>(rig_from_left.rotation.w()));
    EXPECT_FLOAT_EQ(cam.rig_from_camera.rotation[2], static_cast<float>(rig_from_left.rotation.z()));
    EXPECT_EQ(std::tie(cam.distortion.model, cam.distortion.parameters), std::tie(c.model, c.coefficients));
    ASSERT_EQ(rig.imus.size(), c.imu ? 1u : 0u);
    if (c.imu) {
      const cuvslam::ImuCalibration& i = rig.imus[0];
      EXPECT_EQ(std::tie(i.rig_from_imu.translation, i.gyroscope_noise_density, i.gyroscope_random_walk,
                         i.accelerometer_noise_density, i.accelerometer_random_walk, i.frequency),
                std::make_tuple(std::array<float, 3>{0.f, 0.f, 0.2f}, 0.1f, 0.2f, 0.3f, 0.4f, 200.f));
    }
  }
}

// Missing or bad calibrations and transforms (what uncalibrated drivers and broken publishers send first)
// hold the tracker back, and the engine starts once good ones arrive; a construction that failed is retried when a
// calibration or mount has changed, never with the same inputs.
TEST_F(Rig, StartsOnceBadCalibrationsAndTransformsAreReplaced) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const std::vector<std::pair<int32_t, int32_t>> unusable_sizes = {
      {0, 480}, {-640, 480}, {640, -1}, {65536, 10}, {2147483647, 2147483647}, {10000, 10000}};
  struct Case {
    const char* name;
    std::function<void(StereoSetup&)> spoil, repair;  // before and after the first stereo pair
    uint64_t bad_transforms, calibration_rejects, retries;
  };
  const auto calibrate = [](StereoSetup& s) {
    for (const char* name : {"left", "right"}) s.core->handle_camera_info(camera_model(name), s.tf);
  };
  const auto inertial = [&](StereoSetup& s) {
    CuvslamOdometryConfig config = s.core->config();
    config.enable_imu = true;
    s.core = make_core(config);
    calibrate(s);
  };
  const std::vector<Case> cases = {
      {"no output transform", [](StereoSetup& s) { s.tf.erase("base_link", "rig"); },
       [](StereoSetup& s) { s.tf.set("base_link", "rig", Isometry::identity()); }, 0, 0, 0},
      // Resolved by any message once tf knows the mount.
      {"a camera mount missing",
       [&](StereoSetup& s) { s.tf.erase("rig", "right"); s.core = make_core(s.core->config()); calibrate(s); },
       [](StereoSetup& s) {
         s.tf.set("rig", "right", translation(0.0, -0.05, 0.0));
         s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu"}, s.tf);
       },
       0, 0, 0},
      {"inertial without imu_info", [&](StereoSetup& s) { inertial(s); s.tf.set("rig", "imu", Isometry::identity()); },
       [](StereoSetup& s) { s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu"}, s.tf); }, 0, 0, 0},
      {"inertial without the IMU mount",
       [&](StereoSetup& s) { inertial(s); s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu"}, s.tf); },
       [](StereoSetup& s) { s.tf.set("rig", "imu", Isometry::identity()); }, 0, 0, 0},
      {"NaN rig mount", [&](StereoSetup& s) { s.tf.set("base_link", "rig", translation(nan, 0, 0)); },
       [](StereoSetup& s) { s.tf.set("base_link", "rig", Isometry::identity()); }, 1, 0, 0},
      {"all-zero K, NaN and negative focal lengths, unusable sizes",
       [&](StereoSetup& s) {
         s.core = make_core(s.core->config());
         for (const double f : {0.0, nan, -50.0}) s.core->handle_camera_info(camera_model("left", 64, 48, f, 0, f, 0), s.tf);
         for (const auto& [w, h] : unusable_sizes) s.core->handle_camera_info(camera_model("left", w, h), s.tf);
         s.core->handle_camera_info(camera_model("right"), s.tf);
       },
       [](StereoSetup& s) { s.core->handle_camera_info(camera_model("left"), s.tf); }, 0, 9, 0},
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
      {"a NaN IMU frequency refused by the library, sent again, then replaced",
       [&](StereoSetup& s) {
         inertial(s);
         s.tf.set("rig", "imu", Isometry::identity());
         cuvslam_double::script().fail_gpu = cuvslam_double::script().fail_cpu = "IMU frequency must be positive";
         s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu", .frequency = nan}, s.tf);
       },
       [&](StereoSetup& s) {
         for (const int64_t t_ns : {1'200'000'000, 1'400'000'000}) {  // the same unusable figure: no retry
           s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu", .frequency = nan}, s.tf);
           s.pair(t_ns);
         }
         EXPECT_EQ(cuvslam_double::script().constructions.size(), 2u) << "one construction on each backend";
         cuvslam_double::script().fail_gpu.reset();
         cuvslam_double::script().fail_cpu.reset();
         s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu", .frequency = 200.0}, s.tf);
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
