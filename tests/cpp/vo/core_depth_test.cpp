// Depth handling in the engine: point clouds, rgbd alignment and reprojection, 32-bit float depth, and
// multisensor routing and rescaling.
#include "vo_support.hpp"

#include <tuple>

namespace vo_test {
namespace {

class Depth : public VoTest {};

std::vector<uint16_t> ramp(int n, int start = 500) {
  std::vector<uint16_t> s(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) s[static_cast<size_t>(i)] = static_cast<uint16_t>(start + i);
  return s;
}

// An engine in `mode` whose cameras all sit at base_link and are calibrated at w × h.
struct DepthSetup {
  TableTf tf;
  std::unique_ptr<CuvslamCore> core;
  DepthSetup(const std::string& mode, std::vector<CameraConfig> cameras, int32_t w, int32_t h) {
    CuvslamOdometryConfig config;
    config.camera_mode = mode;
    config.cameras = std::move(cameras);
    for (const CameraConfig& c : config.cameras) tf.set("base_link", c.frame_id, Isometry::identity());
    core = make_core(config);
    for (const CameraConfig& c : config.cameras) core->handle_camera_info(camera_model(c.frame_id, w, h, 10.0, 3.5, 10.0, 2.5), tf);
  }
  // rgbd on "color": depth, then colour; a depth image can complete a set left pending by a colour image.
  std::optional<OdometryEstimate> frame(int64_t stamp_ns, ImageFrame depth) {
    depth.timestamp_ns = stamp_ns;
    std::optional<OdometryEstimate> from_depth = core->handle_depth_image(std::move(depth), tf).second;
    std::optional<OdometryEstimate> from_image = core->handle_image(camera_image("color", stamp_ns, 8, 6, "rgb8"), tf);
    return from_depth.has_value() ? from_depth : from_image;
  }
};

DepthSetup rgbd(double units = 1000.0) { return DepthSetup("rgbd", {{.frame_id = "color", .depth_units_per_meter = units}}, 8, 6); }

TEST_F(Depth, CloudCalibrationAndSettings) {
  CuvslamOdometryConfig config;
  config.cameras = {{.frame_id = "left"},
                    {.frame_id = "right"},
                    {.frame_id = "tof", .depth_units_per_meter = 4000.0, .depth_cloud_min_range = 0.2, .depth_cloud_decimation = -3}};
  StereoSetup s(config);
  // No depth calibration and not a rig camera: no cloud.
  EXPECT_FALSE(s.core->handle_depth_image(depth_image("tof", 1, 4, 2, ramp(8, 790)), s.tf).first.has_value());
  // A rig camera's calibration serves its own depth images.
  auto rig_cloud = s.core->handle_depth_image(depth_image("left", kMs, 4, 2, ramp(8)), s.tf).first;
  ASSERT_TRUE(rig_cloud.has_value());
  EXPECT_EQ(std::tie(rig_cloud->frame_id, rig_cloud->points[0][2]), std::make_tuple(std::string("left"), 0.5f))
      << "left's entry keeps the default 1000 units a metre";
  // The first depth calibration serves every depth image; a second one is ignored.
  s.core->handle_depth_camera_info(camera_model("tof", 4, 2, 1.0, 0.0, 1.0, 0.0));
  s.core->handle_depth_camera_info(camera_model("tof", 4, 2, 7.0, 9.0, 7.0, 9.0));
  auto cloud = s.core->handle_depth_image(depth_image("tof", 3, 4, 2, ramp(8, 797)), s.tf).first;
  ASSERT_TRUE(cloud.has_value());
  // Units 4000 and 0.2 m: the band starts at 800, so 797..799 are out; negative decimation is full resolution.
  ASSERT_EQ(cloud->points.size(), 5u);
  EXPECT_EQ(std::tie(cloud->points[0], cloud->timestamp_ns), std::make_tuple(std::array{0.6f, 0.0f, 0.2f}, int64_t{3}))
      << "(u − cx) / fx × z at u = 3";
  // Clouds come out before any tracker exists, whatever the mode.
  EXPECT_FALSE(s.core->has_tracker());
  // A depth image shorter than its header claims is counted and dropped.
  ImageFrame short_by_one = depth_image("tof", 4, 4, 2, ramp(8, 900));
  short_by_one.data.pop_back();
  const auto dropped = s.core->handle_depth_image(short_by_one, s.tf);
  EXPECT_FALSE(dropped.first.has_value() || dropped.second.has_value());
  EXPECT_EQ(s.core->counters().image_size_rejects, 1u);
  // Stereo tracks no depth, although left's depth image has the pair's stamp.
  ASSERT_TRUE(s.pair(kMs).has_value());
  EXPECT_TRUE(cuvslam_double::script().tracks.at(0).depths.empty());
}

// 16-bit depth reaches the tracker as received, padded rows tightly packed; float depth in metres,
// whatever the units it arrived in.
TEST_F(Depth, RgbdDepthInTheCameraFrameIsTrackedAsReceived) {
  using DataType = cuvslam::Image::DataType;
  const std::vector<uint16_t> samples = ramp(48);
  std::vector<float> metres(48), thousandths(48);
  for (size_t i = 0; i < metres.size(); ++i) metres[i] = 0.25f * static_cast<float>(i), thousandths[i] = 1000.f * metres[i];
  const std::vector<std::tuple<double, ImageFrame, DataType, std::vector<uint8_t>>> cases = {
      {4000.0, depth_image("color", 0, 8, 6, samples, 2 * 8 + 4), DataType::UInt16, depth_image("color", 0, 8, 6, samples).data},
      {1.0, depth_image("color", 0, 8, 6, metres), DataType::Float32, depth_image("color", 0, 8, 6, metres).data},
      {1000.0, depth_image("color", 0, 8, 6, thousandths), DataType::Float32, depth_image("color", 0, 8, 6, metres).data},
  };
  for (const auto& [units, image, type, bytes] : cases) {
    cuvslam_double::reset();
    DepthSetup r = rgbd(units);
    ASSERT_TRUE(r.frame(5 * kMs, image).has_value());
    const auto& [rig, cfg] = cuvslam_double::script().constructions.at(0);
    EXPECT_EQ(std::tie(cfg.odometry_mode, cfg.rgbd_settings.depth_camera_id, cfg.rgbd_settings.depth_scale_factor, cfg.rectified_stereo_camera),
              std::make_tuple(cuvslam::Odometry::OdometryMode::RGBD, 0, static_cast<float>(units), false));
    const auto& depths = cuvslam_double::script().tracks.at(0).depths;
    ASSERT_EQ(depths.size(), 1u);
    EXPECT_EQ(std::tie(depths[0].header.data_type, depths[0].header.timestamp_ns), std::make_tuple(type, 5 * kMs));
    EXPECT_EQ(depths[0].bytes, bytes) << units;
    EXPECT_EQ(r.core->counters().depth_reprojected, 0u);
    // Without a depth image there is no rgbd frame set.
    EXPECT_FALSE(r.core->handle_image(camera_image("color", 6 * kMs, 8, 6, "rgb8"), r.tf).has_value());
  }
}

TEST_F(Depth, RgbdDepthFromAnotherFrameIsReprojected) {
  DepthSetup r = rgbd();
  const ImageFrame wall = depth_image("ir", 0, 8, 6, std::vector<uint16_t>(48, 2000));
  // No depth calibration yet, then no transform: no estimate, the set stays.
  EXPECT_FALSE(r.frame(kMs, wall).has_value());
  r.core->handle_depth_camera_info(camera_model("ir", 8, 6, 10.0, 3.5, 10.0, 2.5));
  EXPECT_FALSE(r.frame(2 * kMs, wall).has_value());
  EXPECT_EQ(r.core->counters().frames, 0u);
  // The ir sensor sits 0.2 m to the right of the colour camera: a wall at 2 m lands one column further
  // right in the colour image (fx × 0.2 / 2 = 1), leaving column 0 empty.
  r.tf.set("color", "ir", translation(0.2, 0.0, 0.0));
  ASSERT_TRUE(r.frame(3 * kMs, wall).has_value());
  const size_t asked = r.tf.times_asked("color", "ir");
  ASSERT_TRUE(r.frame(4 * kMs, wall).has_value());
  EXPECT_EQ(r.core->counters().depth_reprojected, 2u);
  EXPECT_EQ(r.tf.times_asked("color", "ir"), asked) << "looked up until known, then kept";
  const auto& depth = cuvslam_double::script().tracks.at(1).depths.at(0);
  EXPECT_EQ(std::make_pair(depth.header.width, depth.header.height), std::make_pair(8, 6));
  const std::vector<uint16_t> got = samples_as<uint16_t>(depth.bytes);
  for (int v = 0; v < 6; ++v) {
    for (int u = 0; u < 8; ++u) EXPECT_EQ(got[static_cast<size_t>(v * 8 + u)], u < 1 ? 0 : 2000) << u << "," << v;
  }
}

// Depth scales that disagree are rescaled to metres in float samples.
TEST_F(Depth, MultisensorRoutingAndRescaling) {
  DepthSetup m("multisensor",
               {{.frame_id = "a", .provides_depth = true}, {.frame_id = "b"},
                {.frame_id = "c", .depth_units_per_meter = 4000.0, .provides_depth = true}},
               4, 2);
  // b does not provide depth; d is not on the rig: both give clouds (if calibrated) but never join.
  EXPECT_TRUE(m.core->handle_depth_image(depth_image("b", 1, 4, 2, ramp(8)), m.tf).first.has_value());
  EXPECT_FALSE(m.core->handle_depth_image(depth_image("d", 1, 4, 2, ramp(8)), m.tf).first.has_value());
  for (const char* name : {"a", "b", "c"}) m.core->handle_image(camera_image(name, kMs, 4, 2), m.tf);
  EXPECT_EQ(m.core->counters().frames, 0u) << "a and c still miss depth";
  std::vector<uint16_t> half_metres(8), quarter_metres(8);
  std::vector<float> metres(8);
  for (size_t i = 0; i < 8; ++i) half_metres[i] = static_cast<uint16_t>(500 * (i + 1)), quarter_metres[i] = static_cast<uint16_t>(1000 * (i + 1));
  for (size_t i = 0; i < 8; ++i) metres[i] = 0.5f * static_cast<float>(i + 1);
  m.core->handle_depth_image(depth_image("a", kMs, 4, 2, half_metres), m.tf);
  auto [cloud, estimate] = m.core->handle_depth_image(depth_image("c", kMs, 4, 2, quarter_metres, 12), m.tf);  // padded rows
  EXPECT_TRUE(cloud.has_value() && estimate.has_value());
  const auto& depths = cuvslam_double::script().tracks.at(0).depths;
  ASSERT_EQ(depths.size(), 2u);
  EXPECT_EQ(std::make_pair(depths[0].header.camera_index, depths[1].header.camera_index), std::make_pair(0u, 2u));
  EXPECT_EQ(depths[0].header.data_type, cuvslam::Image::DataType::Float32);
  EXPECT_EQ(samples_as<float>(depths[0].bytes), metres);
  for (float& x : metres) x /= 2;
  EXPECT_EQ(samples_as<float>(depths[1].bytes), metres);
  EXPECT_EQ(cuvslam_double::script().constructions.at(0).second.multisensor_depth_scale_factor, 1.f);
}

}  // namespace
}  // namespace vo_test
