// Depth handling in the engine: the size check, point clouds, rgbd alignment and reprojection, 32-bit
// float depth, and multisensor routing and rescaling.
#include "vo_support.hpp"

namespace vo_test {
namespace {

constexpr int64_t kMs = 1'000'000;

class Depth : public VoTest {};

std::vector<uint16_t> ramp(int n, int start = 500) {
  std::vector<uint16_t> s(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) s[static_cast<size_t>(i)] = static_cast<uint16_t>(start + i);
  return s;
}

// An rgbd engine on camera "color"; depth arrives in `depth_frame`.
struct RgbdSetup {
  TableTf tf;
  std::unique_ptr<CuvslamCore> core;
  explicit RgbdSetup(std::vector<CameraConfig> cameras = {{.frame_id = "color"}}) {
    CuvslamOdometryConfig config;
    config.camera_mode = "rgbd";
    config.cameras = std::move(cameras);
    tf.set("base_link", "color", Isometry::identity());
    core = make_core(config);
    core->handle_camera_info(camera_model("color", 8, 6, 10.0, 3.5, 10.0, 2.5), tf);
  }
  // Depth, then colour; a depth image can complete a set left pending by an earlier colour image.
  std::optional<OdometryEstimate> frame(int64_t stamp_ns, ImageFrame depth) {
    depth.timestamp_ns = stamp_ns;
    std::optional<OdometryEstimate> from_depth = core->handle_depth_image(std::move(depth), tf).second;
    std::optional<OdometryEstimate> from_image = core->handle_image(camera_image("color", stamp_ns, 8, 6, "rgb8"), tf);
    return from_depth.has_value() ? from_depth : from_image;
  }
};

TEST_F(Depth, SizeCheck) {
  StereoSetup s;
  s.core->handle_depth_camera_info(camera_model("depth", 640, 480));
  ImageFrame ok = depth16("depth", 1, 640, 480, std::vector<uint16_t>(640 * 480, 1000));
  ASSERT_EQ(ok.data.size(), 614400u);
  auto [cloud, estimate] = s.core->handle_depth_image(ok, s.tf);
  EXPECT_TRUE(cloud.has_value());
  EXPECT_EQ(cloud->points.size(), 640u * 480u);
  ImageFrame short_by_one = ok;
  short_by_one.data.pop_back();
  auto dropped = s.core->handle_depth_image(short_by_one, s.tf);
  EXPECT_FALSE(dropped.first.has_value());
  EXPECT_FALSE(dropped.second.has_value());
  ImageFrame float_narrow = ok;
  float_narrow.encoding = "32FC1";
  EXPECT_FALSE(s.core->handle_depth_image(float_narrow, s.tf).first.has_value());
  EXPECT_EQ(s.core->counters().image_size_rejects, 2u);
}

TEST_F(Depth, CloudCalibrationAndSettings) {
  CuvslamOdometryConfig config;
  config.cameras = {{.frame_id = "left"},
                    {.frame_id = "right"},
                    {.frame_id = "tof", .depth_units_per_meter = 4000.0, .depth_cloud_min_range = 0.2, .depth_cloud_decimation = -3}};
  StereoSetup s(config);
  // No depth calibration and not a rig camera: no cloud.
  EXPECT_FALSE(s.core->handle_depth_image(depth16("tof", 1, 4, 2, ramp(8, 790)), s.tf).first.has_value());
  // A rig camera's calibration serves its own depth images.
  auto rig_cloud = s.core->handle_depth_image(depth16("left", 1, 4, 2, ramp(8)), s.tf).first;
  ASSERT_TRUE(rig_cloud.has_value());
  EXPECT_EQ(rig_cloud->frame_id, "left");
  EXPECT_FLOAT_EQ(rig_cloud->points[0][2], 0.5f) << "left's entry keeps the default 1000 units a metre";
  // The first depth calibration serves every depth image; a second one is ignored.
  s.core->handle_depth_camera_info(camera_model("tof", 4, 2, 1.0, 0.0, 1.0, 0.0));
  s.core->handle_depth_camera_info(camera_model("tof", 4, 2, 7.0, 9.0, 7.0, 9.0));
  auto cloud = s.core->handle_depth_image(depth16("tof", 3, 4, 2, ramp(8, 797)), s.tf).first;
  ASSERT_TRUE(cloud.has_value());
  // Units 4000 and 0.2 m: the band starts at 800, so 797..799 are out; negative decimation is full resolution.
  ASSERT_EQ(cloud->points.size(), 5u);
  EXPECT_FLOAT_EQ(cloud->points[0][2], 0.2f);
  EXPECT_FLOAT_EQ(cloud->points[0][0], 0.2f * 3.0f);  // (u − cx) / fx × z at u = 3
  EXPECT_EQ(cloud->timestamp_ns, 3);
  // Clouds come out before any tracker exists, whatever the mode.
  EXPECT_FALSE(s.core->has_tracker());
}

TEST_F(Depth, HugeDecimationFromConfig) {
  CuvslamOdometryConfig config;
  config.cameras = {{.frame_id = "left", .depth_cloud_decimation = 1'000'000'000'000}, {.frame_id = "right"}};
  StereoSetup s(config);
  auto cloud = s.core->handle_depth_image(depth16("left", 1, 64, 48, std::vector<uint16_t>(64 * 48, 1000)), s.tf).first;
  ASSERT_TRUE(cloud.has_value());
  EXPECT_TRUE(cloud->points.empty());
}

TEST_F(Depth, StereoDepthIsNotTracked) {
  StereoSetup s;
  s.core->handle_depth_image(depth16("left", kMs, 64, 48, std::vector<uint16_t>(64 * 48, 1000)), s.tf);
  ASSERT_TRUE(s.pair(kMs).has_value());
  EXPECT_TRUE(cuvslam_double::script().tracks.at(0).depths.empty());
}

TEST_F(Depth, RgbdDepthInTheCameraFrameIsTrackedAsReceived) {
  RgbdSetup r({{.frame_id = "color", .depth_units_per_meter = 4000.0}});
  // Padded rows reach the tracker tightly packed.
  const std::vector<uint16_t> samples = ramp(48);
  ASSERT_TRUE(r.frame(5 * kMs, depth16("color", 0, 8, 6, samples, 2 * 8 + 4)).has_value());
  const auto& [rig, cfg] = cuvslam_double::script().constructions.at(0);
  EXPECT_EQ(cfg.odometry_mode, cuvslam::Odometry::OdometryMode::RGBD);
  EXPECT_EQ(cfg.rgbd_settings.depth_camera_id, 0);
  EXPECT_EQ(cfg.rgbd_settings.depth_scale_factor, 4000.f);
  EXPECT_FALSE(cfg.rectified_stereo_camera);
  const auto& depths = cuvslam_double::script().tracks.at(0).depths;
  ASSERT_EQ(depths.size(), 1u);
  EXPECT_EQ(depths[0].header.data_type, cuvslam::Image::DataType::UInt16);
  EXPECT_EQ(depths[0].header.camera_index, 0u);
  EXPECT_EQ(depths[0].header.timestamp_ns, 5 * kMs);
  EXPECT_EQ(u16_samples(depths[0]), samples);
  EXPECT_EQ(r.core->counters().depth_reprojected, 0u);
  // Without a depth image there is no rgbd frame set.
  EXPECT_FALSE(r.core->handle_image(camera_image("color", 6 * kMs, 8, 6, "rgb8"), r.tf).has_value());
  EXPECT_EQ(r.core->counters().frames, 1u);
}

TEST_F(Depth, RgbdFloatDepthReachesTheTrackerAsMetres) {
  for (const double units : {1.0, 1000.0}) {
    cuvslam_double::reset();
    RgbdSetup r({{.frame_id = "color", .depth_units_per_meter = units}});
    std::vector<float> samples(48);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = 0.25f * static_cast<float>(i) * static_cast<float>(units);
    ASSERT_TRUE(r.frame(kMs, depth32("color", 0, 8, 6, samples)).has_value());
    const auto& depth = cuvslam_double::script().tracks.at(0).depths.at(0);
    EXPECT_EQ(depth.header.data_type, cuvslam::Image::DataType::Float32);
    const std::vector<float> metres = f32_samples(depth);
    ASSERT_EQ(metres.size(), 48u);
    for (size_t i = 0; i < metres.size(); ++i) EXPECT_FLOAT_EQ(metres[i], 0.25f * static_cast<float>(i)) << units;
  }
}

TEST_F(Depth, RgbdDepthFromAnotherFrameIsReprojected) {
  RgbdSetup r;
  // No depth calibration yet: no estimate, the set stays.
  EXPECT_FALSE(r.frame(kMs, depth16("ir", 0, 8, 6, std::vector<uint16_t>(48, 2000))).has_value());
  EXPECT_EQ(r.core->counters().frames, 0u);
  r.core->handle_depth_camera_info(camera_model("ir", 8, 6, 10.0, 3.5, 10.0, 2.5));
  // No transform yet.
  EXPECT_FALSE(r.frame(2 * kMs, depth16("ir", 0, 8, 6, std::vector<uint16_t>(48, 2000))).has_value());
  EXPECT_EQ(r.core->counters().depth_reprojected, 0u);
  // The ir sensor sits 0.2 m to the right of the colour camera: a wall at 2 m lands one column further
  // right in the colour image (fx × 0.2 / 2 = 1), leaving column 0 empty.
  r.tf.set("color", "ir", translation(0.2, 0.0, 0.0));
  LogCapture::clear();
  ASSERT_TRUE(r.frame(3 * kMs, depth16("ir", 0, 8, 6, std::vector<uint16_t>(48, 2000))).has_value());
  const size_t asked = r.tf.times_asked("color", "ir");
  ASSERT_TRUE(r.frame(4 * kMs, depth16("ir", 0, 8, 6, std::vector<uint16_t>(48, 2000))).has_value());
  EXPECT_EQ(r.core->counters().depth_reprojected, 2u);
  EXPECT_EQ(r.tf.times_asked("color", "ir"), asked) << "looked up until known, then kept";
  EXPECT_EQ(LogCapture::count("cuvslam reprojecting depth onto the rig camera depth_frame=ir camera_frame=color"), 1u);
  const auto& depth = cuvslam_double::script().tracks.at(1).depths.at(0);
  EXPECT_EQ(depth.header.width, 8);
  EXPECT_EQ(depth.header.height, 6);
  const std::vector<uint16_t> got = u16_samples(depth);
  for (int v = 0; v < 6; ++v) {
    for (int u = 0; u < 8; ++u) EXPECT_EQ(got[static_cast<size_t>(v * 8 + u)], u < 1 ? 0 : 2000) << u << "," << v;
  }
}

TEST_F(Depth, MultisensorRouting) {
  CuvslamOdometryConfig config;
  config.camera_mode = "multisensor";
  config.cameras = {{.frame_id = "a", .provides_depth = true}, {.frame_id = "b"}, {.frame_id = "c", .provides_depth = true}};
  TableTf tf;
  for (const char* name : {"a", "b", "c"}) tf.set("base_link", name, translation(0, 0, 0));
  auto core = make_core(config);
  for (const char* name : {"a", "b", "c"}) core->handle_camera_info(camera_model(name, 4, 2, 1, 0, 1, 0), tf);
  // b does not provide depth; d is not on the rig: both give clouds (if calibrated) but never join.
  EXPECT_TRUE(core->handle_depth_image(depth16("b", 1, 4, 2, ramp(8)), tf).first.has_value());
  EXPECT_FALSE(core->handle_depth_image(depth16("d", 1, 4, 2, ramp(8)), tf).first.has_value());
  for (const char* name : {"a", "b", "c"}) core->handle_image(camera_image(name, kMs, 4, 2), tf);
  EXPECT_EQ(core->counters().frames, 0u) << "a and c still miss depth";
  core->handle_depth_image(depth16("a", kMs, 4, 2, ramp(8, 100)), tf);
  auto [cloud, estimate] = core->handle_depth_image(depth16("c", kMs, 4, 2, ramp(8, 200)), tf);
  EXPECT_TRUE(cloud.has_value());
  EXPECT_TRUE(estimate.has_value());
  const auto& depths = cuvslam_double::script().tracks.at(0).depths;
  ASSERT_EQ(depths.size(), 2u);
  EXPECT_EQ(depths[0].header.camera_index, 0u);
  EXPECT_EQ(depths[1].header.camera_index, 2u);
  EXPECT_EQ(depths[1].header.data_type, cuvslam::Image::DataType::UInt16);
  EXPECT_EQ(u16_samples(depths[1]), ramp(8, 200));
  EXPECT_EQ(cuvslam_double::script().constructions.at(0).second.multisensor_depth_scale_factor, 1000.f);
}

TEST_F(Depth, MultisensorDepthScalesThatDisagreeAreRescaledToMetres) {
  CuvslamOdometryConfig config;
  config.camera_mode = "multisensor";
  config.cameras = {{.frame_id = "a", .depth_units_per_meter = 1000.0, .provides_depth = true},
                    {.frame_id = "b", .depth_units_per_meter = 4000.0, .provides_depth = true}};
  TableTf tf;
  for (const char* name : {"a", "b"}) tf.set("base_link", name, translation(0, 0, 0));
  auto core = make_core(config);
  for (const char* name : {"a", "b"}) core->handle_camera_info(camera_model(name, 4, 2, 1, 0, 1, 0), tf);
  core->handle_depth_image(depth16("a", kMs, 4, 2, std::vector<uint16_t>(8, 2000)), tf);
  core->handle_depth_image(depth16("b", kMs, 4, 2, std::vector<uint16_t>(8, 2000), 12), tf);  // padded rows
  core->handle_image(camera_image("a", kMs, 4, 2), tf);
  ASSERT_TRUE(core->handle_image(camera_image("b", kMs, 4, 2), tf).has_value());
  const auto& depths = cuvslam_double::script().tracks.at(0).depths;
  ASSERT_EQ(depths.size(), 2u);
  EXPECT_EQ(depths[0].header.data_type, cuvslam::Image::DataType::Float32);
  EXPECT_EQ(f32_samples(depths[0]), std::vector<float>(8, 2.0f));
  EXPECT_EQ(f32_samples(depths[1]), std::vector<float>(8, 0.5f));
  EXPECT_EQ(cuvslam_double::script().constructions.at(0).second.multisensor_depth_scale_factor, 1.f);
}

}  // namespace
}  // namespace vo_test
