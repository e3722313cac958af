// The tracker binding over the scripted library: validation messages, number formatting, message
// buffers, record conversion and ownership.
#include "vo_support.hpp"

#include <cmath>
#include <limits>
#include <tuple>

namespace vo_test {
namespace {

using tracker::CameraParams;
using tracker::Tracker;
using tracker::TrackerOptions;

std::vector<CameraParams> cameras(size_t n) {
  std::vector<CameraParams> out(n);
  for (size_t i = 0; i < n; ++i) {
    out[i].size = {640, 480};
    out[i].focal = {500.f, 500.f};
  }
  return out;
}

TrackerOptions options(uint8_t mode) {
  TrackerOptions o;
  o.odometry_mode = mode;
  return o;
}

std::string refusal(size_t n, bool imu, std::vector<int32_t> ids, const TrackerOptions& o) {
  std::optional<tracker::ImuCalibration> calibration;
  if (imu) calibration = tracker::ImuCalibration{};
  auto result = Tracker::create(cameras(n), calibration, ids, o);
  if (auto* message = std::get_if<std::string>(&result)) return *message;
  return "";
}

TEST(FormatNumber, ShortestRoundTripWithoutExponent) {
  const std::vector<std::pair<float, std::string>> floats = {
      {0.f, "0"},
      {-1.5f, "-1.5"},
      {0.1f, "0.1"},
      {1e20f, "100000000000000000000"},
      {1e-7f, "0.0000001"},
      {std::numeric_limits<float>::quiet_NaN(), "NaN"},
      {std::numeric_limits<float>::infinity(), "inf"},
      {-std::numeric_limits<float>::infinity(), "-inf"},
  };
  for (const auto& [value, text] : floats) {
    EXPECT_EQ(tracker::format_number(value), text);
    if (std::isfinite(value)) {
      EXPECT_EQ(std::stof(text), value) << text << " must read back to the same float";
    }
  }
  EXPECT_EQ(tracker::format_number(0.1), "0.1");
  EXPECT_EQ(tracker::format_number(1e-300).size(), 302u);  // "0." and 300 digits, no exponent
}

class TrackerBinding : public VoTest {};

TEST_F(TrackerBinding, ValidationMessagesInRuleOrder) {
  TrackerOptions rgbd_zero = options(2);
  rgbd_zero.rgbd_depth_camera_id = 0;
  rgbd_zero.rgbd_depth_scale_factor = 0.f;
  TrackerOptions rgbd_nan = rgbd_zero;
  rgbd_nan.rgbd_depth_scale_factor = std::numeric_limits<float>::quiet_NaN();
  TrackerOptions rgbd_inf = rgbd_zero;
  rgbd_inf.rgbd_depth_scale_factor = std::numeric_limits<float>::infinity();
  TrackerOptions rgbd_bad_id = options(2);
  TrackerOptions rgbd_ok = rgbd_zero;
  rgbd_ok.rgbd_depth_scale_factor = 1000.f;
  TrackerOptions multi_bad_scale = options(4);
  multi_bad_scale.multisensor_depth_scale_factor = -2.5f;

  struct Case {
    const char* name;
    size_t n;
    bool imu;
    std::vector<int32_t> ids;
    TrackerOptions options;
    std::string message;  // empty: accepted
  };
  const std::vector<Case> cases = {
      {"mode 5", 2, false, {}, options(5), "odometry_mode 5 is not one of cuVSLAM's five modes"},
      {"mode 255 before camera count", 0, true, {}, options(255), "odometry_mode 255 is not one of cuVSLAM's five modes"},
      {"mono one camera", 1, false, {}, options(3), ""},
      {"stereo one camera", 1, false, {}, options(0), "odometry_mode 0 needs at least 2 cameras, got 1"},
      {"rgbd no camera", 0, false, {}, rgbd_ok, "odometry_mode 2 needs at least 1 cameras, got 0"},
      {"multisensor no depth one camera", 1, false, {}, options(4), "odometry_mode 4 needs at least 2 cameras, got 1"},
      {"inertial without imu", 2, false, {}, options(1),
       "odometry_mode 1 has nothing to integrate without an IMU calibration"},
      {"stereo with imu", 2, true, {}, options(0), "odometry_mode 0 ignores an IMU calibration; only modes 1 and 4 read one"},
      {"stereo with depth ids", 2, false, {0, 1, 1}, options(0),
       "depth_camera_ids is read by odometry_mode 4 alone, so the 3 ids given for mode 0 would be dropped"},
      {"rgbd id -1", 1, false, {}, rgbd_bad_id,
       "rgbd_depth_camera_id -1 is outside the 1 cameras of the rig, so depth would never be used"},
      {"rgbd scale NaN", 1, false, {}, rgbd_nan, "rgbd_depth_scale_factor must be positive and finite, got NaN"},
      {"rgbd scale inf", 1, false, {}, rgbd_inf, "rgbd_depth_scale_factor must be positive and finite, got inf"},
      {"rgbd ok", 1, false, {}, rgbd_ok, ""},
      {"multisensor duplicate", 2, false, {0, 0}, options(4),
       "depth_camera_ids names camera 0 twice, so one of its depth images would go unmatched"},
      {"multisensor out of range", 2, false, {0, 2}, options(4), "depth_camera_ids[1] is 2, outside the 2 cameras of the rig"},
      {"multisensor negative id", 3, false, {2, -1}, options(4), "depth_camera_ids[1] is -1, outside the 3 cameras of the rig"},
      {"multisensor scale", 2, false, {1}, multi_bad_scale,
       "multisensor_depth_scale_factor must be positive and finite, got -2.5"},
      {"multisensor empty ids skip scale", 2, true, {}, multi_bad_scale, ""},
      {"multisensor one camera with depth", 1, false, {0}, options(4), ""},
  };
  for (const Case& c : cases) {
    cuvslam_double::reset();
    EXPECT_EQ(refusal(c.n, c.imu, c.ids, c.options), c.message) << c.name;
    // Refusals never reach the library.
    EXPECT_EQ(cuvslam_double::script().constructions.size(), c.message.empty() ? 1u : 0u) << c.name;
  }
}

TEST_F(TrackerBinding, LibraryMessagesTruncatedToFitTheBuffer) {
  const std::string long_text = std::string(300, 'a') + std::string(300, 'b');
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"short", "short"},
      {long_text, long_text.substr(0, 511)},
      {std::string(512, 'y'), std::string(511, 'y')},
  };
  for (const auto& [thrown, expected] : cases) {
    cuvslam_double::reset();
    cuvslam_double::script().fail_gpu = thrown;
    EXPECT_EQ(refusal(2, false, {}, options(0)), expected);
  }
  // Truncation inside a multi-byte character leaves an ill-formed tail, read as U+FFFD.
  cuvslam_double::reset();
  cuvslam_double::script().fail_gpu = std::string(510, 'z') + "\xC3\xA9";  // é straddles byte 511
  EXPECT_EQ(refusal(2, false, {}, options(0)), std::string(510, 'z') + "\xEF\xBF\xBD");

  cuvslam_double::reset();
  cuvslam_double::script().fail_unknown = true;
  EXPECT_EQ(refusal(2, false, {}, options(0)), "unknown C++ exception");
}

TEST_F(TrackerBinding, WriteMessageRespectsBufferSize) {
  cuvslam_double::script().fail_gpu = "library says no";
  CuvCameraParams params[2] = {};
  CuvTrackerOptions flat{};
  flat.use_gpu = 1;
  CuvTracker* handle = reinterpret_cast<CuvTracker*>(0x1);
  char buffer[8];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(cuv_tracker_create(params, 2, nullptr, nullptr, 0, &flat, &handle, buffer, 5), 1);
  EXPECT_STREQ(buffer, "libr");
  EXPECT_EQ(buffer[5], '#');
  EXPECT_EQ(handle, nullptr);
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(cuv_tracker_create(params, 2, nullptr, nullptr, 0, &flat, &handle, buffer, 0), 1);
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(cuv_tracker_create(params, 2, nullptr, nullptr, 0, &flat, &handle, nullptr, 512), 1);
  cuv_tracker_destroy(nullptr);
}

TEST(ReadMessage, InvalidUtf8BecomesReplacementCharacters) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {"caf\xC3\xA9", "caf\xC3\xA9"},
      {"\xF0\x9F\x98\x80!", "\xF0\x9F\x98\x80!"},
      {"a\xFFz", "a\xEF\xBF\xBDz"},
      {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},          // overlong
      {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {"\xE2\x82x", "\xEF\xBF\xBDx"},                    // truncated sequence: one replacement
  };
  for (const auto& [in, out] : cases) {
    std::vector<char> buffer(in.begin(), in.end());
    buffer.push_back('\0');
    EXPECT_EQ(tracker::read_message(buffer.data(), buffer.size()), out);
  }
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(tracker::read_message(unterminated, 3), "abc");
}

TEST_F(TrackerBinding, RecordsReachTheLibraryUnchanged) {
  std::vector<CameraParams> rig = cameras(2);
  rig[1].size = {320, 240};
  rig[1].principal = {160.5f, 120.25f};
  rig[1].focal = {300.f, 301.f};
  rig[1].rotation = {0.f, 0.6f, 0.f, 0.8f};
  rig[1].translation = {0.1f, -0.2f, 0.3f};
  rig[1].distortion_model = tracker::kDistortionBrown;
  rig[1].distortion = {1.f, 2.f, 3.f, 4.f, 5.f};
  tracker::ImuCalibration imu{{0.f, 0.f, 0.f, 1.f}, {1.f, 2.f, 3.f}, 0.1f, 0.2f, 0.3f, 0.4f, 200.f};
  TrackerOptions o = options(4);
  o.use_gpu = false;
  o.rectified = true;
  o.multisensor_depth_scale_factor = 1000.f;
  const std::vector<int32_t> ids = {1};
  auto created = Tracker::create(rig, imu, ids, o);
  ASSERT_TRUE(std::holds_alternative<Tracker>(created));
  const auto& [seen_rig, config] = cuvslam_double::script().constructions.at(0);
  ASSERT_EQ(seen_rig.cameras.size(), 2u);
  const cuvslam::Camera& c = seen_rig.cameras[1];
  EXPECT_EQ(c.size, (std::array<int32_t, 2>{320, 240}));
  EXPECT_EQ(c.principal, (std::array<float, 2>{160.5f, 120.25f}));
  EXPECT_EQ(c.focal, (std::array<float, 2>{300.f, 301.f}));
  EXPECT_EQ(c.rig_from_camera.rotation, (std::array<float, 4>{0.f, 0.6f, 0.f, 0.8f}));
  EXPECT_EQ(c.rig_from_camera.translation, (std::array<float, 3>{0.1f, -0.2f, 0.3f}));
  EXPECT_EQ(c.distortion.model, cuvslam::Distortion::Model::Brown);
  EXPECT_EQ(c.distortion.parameters, (std::vector<float>{1.f, 2.f, 3.f, 4.f, 5.f}));
  EXPECT_EQ(c.border_top + c.border_bottom + c.border_left + c.border_right, 0);
  ASSERT_EQ(seen_rig.imus.size(), 1u);
  EXPECT_EQ(seen_rig.imus[0].rig_from_imu.translation, (std::array<float, 3>{1.f, 2.f, 3.f}));
  const cuvslam::ImuCalibration& i = seen_rig.imus[0];
  EXPECT_EQ(std::tie(i.gyroscope_noise_density, i.gyroscope_random_walk, i.accelerometer_noise_density,
                     i.accelerometer_random_walk, i.frequency),
            std::make_tuple(0.1f, 0.2f, 0.3f, 0.4f, 200.f));
  EXPECT_EQ(config.odometry_mode, cuvslam::Odometry::OdometryMode::Multisensor);
  EXPECT_FALSE(config.use_gpu);
  EXPECT_TRUE(config.rectified_stereo_camera);
  EXPECT_EQ(config.depth_camera_ids, ids);
  EXPECT_EQ(config.multisensor_depth_scale_factor, 1000.f);
  EXPECT_EQ(config.rgbd_settings.depth_camera_id, -1);
  EXPECT_FALSE(config.enable_observations_export);
  EXPECT_EQ(config.max_features, cuvslam::Odometry::Config{}.max_features);  // library defaults kept
}

TEST_F(TrackerBinding, TrackOutcomesAndOwnership) {
  auto created = Tracker::create(cameras(2), std::nullopt, {}, options(0));
  ASSERT_TRUE(std::holds_alternative<Tracker>(created));
  EXPECT_EQ(cuvslam_double::script().live, 1);
  {
    Tracker t = std::move(std::get<Tracker>(created));
    std::vector<uint8_t> pixels(640 * 480, 7);
    tracker::ImageRef left{pixels, 42, 640, 480, 0, tracker::kEncodingMono, tracker::kDataU8};
    tracker::ImageRef right = left;
    right.camera_index = 1;
    const std::vector<tracker::ImageRef> images = {left, right};

    cuvslam_double::Outcome pose = cuvslam_double::Outcome::pose_at({1.f, 2.f, 3.f}, {0.f, 0.f, 0.f, 2.f});
    for (int i = 0; i < 36; ++i) pose.covariance[static_cast<size_t>(i)] = 0.5f * static_cast<float>(i);
    pose.timestamp_ns = 41;
    cuvslam_double::script().outcomes = {pose, cuvslam_double::Outcome::no_pose(),
                                         cuvslam_double::Outcome::failure("lost the plot")};
    const tracker::TrackOutcome a = t.track(images, {});
    ASSERT_EQ(a.kind, tracker::TrackOutcome::Kind::Pose);
    EXPECT_EQ(a.timestamp_ns, 41);
    EXPECT_EQ(a.rotation, (std::array<float, 4>{0.f, 0.f, 0.f, 2.f}));  // as returned, not normalised
    EXPECT_EQ(a.translation, (std::array<float, 3>{1.f, 2.f, 3.f}));
    EXPECT_EQ(a.covariance[35], 17.5);
    const tracker::TrackOutcome b = t.track(images, {});
    EXPECT_EQ(b.kind, tracker::TrackOutcome::Kind::NoPose);
    EXPECT_EQ(b.timestamp_ns, 42);
    const tracker::TrackOutcome c = t.track(images, {});
    EXPECT_EQ(c.kind, tracker::TrackOutcome::Kind::Failed);
    EXPECT_EQ(c.message, "lost the plot");
    const auto& seen = cuvslam_double::script().tracks.at(0).images.at(1);
    EXPECT_EQ(seen.header.camera_index, 1u);
    EXPECT_EQ(seen.header.pitch, 0);
    EXPECT_FALSE(seen.header.is_gpu_mem);

    // A buffer shorter than the header claims is refused before the library reads it.
    tracker::ImageRef short_image = left;
    short_image.pixels = std::span<const uint8_t>(pixels.data(), pixels.size() - 1);
    const std::vector<tracker::ImageRef> bad = {short_image, right};
    const size_t calls = cuvslam_double::script().tracks.size();
    const tracker::TrackOutcome d = t.track(bad, {});
    EXPECT_EQ(d.kind, tracker::TrackOutcome::Kind::Failed);
    EXPECT_EQ(d.message, "images[0] holds 307199 bytes, fewer than its 640 x 480 pixels need");
    EXPECT_EQ(cuvslam_double::script().tracks.size(), calls);

    EXPECT_EQ(t.register_imu(tracker::CuvImuMeasurement{5, {1.f, 2.f, 3.f}, {4.f, 5.f, 6.f}}),
              "odometry_mode 0 does not read IMU measurements; only modes 1 and 4 do");
    EXPECT_TRUE(cuvslam_double::script().imu.empty());
  }
  EXPECT_EQ(cuvslam_double::script().live, 0);
}

TEST_F(TrackerBinding, ImuRegistrationInInertialMode) {
  auto created = Tracker::create(cameras(2), tracker::ImuCalibration{}, {}, options(1));
  ASSERT_TRUE(std::holds_alternative<Tracker>(created));
  Tracker& t = std::get<Tracker>(created);
  EXPECT_EQ(t.register_imu(tracker::CuvImuMeasurement{5, {1.f, 2.f, 3.f}, {4.f, 5.f, 6.f}}), std::nullopt);
  ASSERT_EQ(cuvslam_double::script().imu.size(), 1u);
  EXPECT_EQ(cuvslam_double::script().imu[0].timestamp_ns, 5);
  EXPECT_EQ(cuvslam_double::script().imu[0].linear_accelerations, (std::array<float, 3>{1.f, 2.f, 3.f}));
  EXPECT_EQ(cuvslam_double::script().imu[0].angular_velocities, (std::array<float, 3>{4.f, 5.f, 6.f}));
  cuvslam_double::script().imu_failure = "out of order";
  EXPECT_EQ(t.register_imu(tracker::CuvImuMeasurement{4, {}, {}}), "out of order");
}

}  // namespace
}  // namespace vo_test
