// The tracker binding over the scripted library: validation messages (numbers in them written without
// exponent), library messages and ownership.
#include "vo_support.hpp"

#include <cmath>
#include <limits>
#include <tuple>

namespace vo_test {
namespace {

using tracker::Tracker;
using TrackerOptions = cuvslam::Odometry::Config;

cuvslam::Rig rig(size_t n, bool imu = false) {
  cuvslam::Rig out;
  out.cameras.resize(n);
  for (cuvslam::Camera& c : out.cameras) c.size = {640, 480}, c.focal = {500.f, 500.f};
  if (imu) out.imus.emplace_back();
  return out;
}

TrackerOptions options(uint8_t mode) {
  TrackerOptions o;
  o.odometry_mode = static_cast<tracker::OdometryMode>(mode);
  return o;
}

// The refusal message, empty when the tracker was created.
std::string refusal(size_t n, bool imu, std::vector<int32_t> ids, TrackerOptions o) {
  o.depth_camera_ids = std::move(ids);
  auto result = Tracker::create(rig(n, imu), o);
  const auto* message = std::get_if<std::string>(&result);
  return message ? *message : "";
}

class TrackerBinding : public VoTest {};

TEST_F(TrackerBinding, ValidationMessagesInRuleOrder) {
  const auto rgbd = [](int32_t id, float scale) {
    TrackerOptions o = options(2);
    o.rgbd_settings.depth_camera_id = id;
    o.rgbd_settings.depth_scale_factor = scale;
    return o;
  };
  TrackerOptions multi_bad_scale = options(4), multi_huge_scale = options(4);
  multi_bad_scale.multisensor_depth_scale_factor = -2.5f;
  multi_huge_scale.multisensor_depth_scale_factor = -1e20f;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::tuple<size_t, bool, std::vector<int32_t>, TrackerOptions, std::string>> cases = {
      // cameras, IMU calibration, depth camera ids, options, message (empty: accepted)
      {2, false, {}, options(5), "odometry_mode 5 is not one of cuVSLAM's five modes"},
      {1, false, {}, options(3), ""},
      {1, false, {}, options(0), "odometry_mode 0 needs at least 2 cameras, got 1"},
      {0, false, {}, rgbd(0, 1000.f), "odometry_mode 2 needs at least 1 cameras, got 0"},
      {1, false, {}, options(4), "odometry_mode 4 needs at least 2 cameras, got 1"},
      {2, false, {}, options(1), "odometry_mode 1 has nothing to integrate without an IMU calibration"},
      {2, true, {}, options(0), "odometry_mode 0 ignores an IMU calibration; only modes 1 and 4 read one"},
      {2, false, {0, 1, 1}, options(0), "depth_camera_ids is read by odometry_mode 4 alone, so the 3 ids given for mode 0 would be dropped"},
      {1, false, {}, rgbd(-1, 1000.f), "rgbd_depth_camera_id -1 is outside the 1 cameras of the rig, so depth would never be used"},
      {1, false, {}, rgbd(0, nan), "rgbd_depth_scale_factor must be positive and finite, got NaN"},
      {1, false, {}, rgbd(0, 1000.f), ""},
      {2, false, {0, 0}, options(4), "depth_camera_ids names camera 0 twice, so one of its depth images would go unmatched"},
      {2, false, {0, 2}, options(4), "depth_camera_ids[1] is 2, outside the 2 cameras of the rig"},
      {2, false, {1}, multi_bad_scale, "multisensor_depth_scale_factor must be positive and finite, got -2.5"},
      {2, false, {1}, multi_huge_scale, "multisensor_depth_scale_factor must be positive and finite, got -100000000000000000000"},
      {2, true, {}, multi_bad_scale, ""},  // no depth cameras: the scale is never read
      {1, false, {0}, options(4), ""},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [n, imu, ids, o, message] = cases[i];
    cuvslam_double::reset();
    EXPECT_EQ(refusal(n, imu, ids, o), message) << "case " << i;
    // Refusals never reach the library.
    EXPECT_EQ(cuvslam_double::script().constructions.size(), message.empty() ? 1u : 0u) << "case " << i;
  }
}

// The library's message reaches the caller cut to 511 bytes, as well-formed UTF-8.
TEST_F(TrackerBinding, LibraryMessagesCutAndRepaired) {
  const std::string long_text = std::string(300, 'a') + std::string(300, 'b');
  for (const auto& [thrown, expected] : std::vector<std::pair<std::string, std::string>>{
           {"caf\xC3\xA9 \xF0\x9F\x98\x80!", "caf\xC3\xA9 \xF0\x9F\x98\x80!"}, {long_text, long_text.substr(0, 511)}, {"", "unknown C++ exception"},
           // Ill-formed UTF-8 reads as U+FFFD: a stray byte, an overlong form, a surrogate, a truncated sequence
           // (one replacement), and a character cut in two by the 511-byte cut.
           {"a\xFFz", "a\xEF\xBF\xBDz"}, {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"}, {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
           {"\xE2\x82x", "\xEF\xBF\xBDx"}, {std::string(510, 'z') + "\xC3\xA9", std::string(510, 'z') + "\xEF\xBF\xBD"}}) {
    cuvslam_double::reset();
    cuvslam_double::script().fail_gpu = thrown;
    cuvslam_double::script().fail_unknown = thrown.empty();
    EXPECT_EQ(refusal(2, false, {}, options(0)), expected);
  }
}

// Poses, covariances and IMU samples are followed through the engine's tests; here what only the binding
// does: refuse a short buffer before the library reads it, and own the library object.
TEST_F(TrackerBinding, ShortBufferAndOwnership) {
  auto created = Tracker::create(rig(2), options(0));
  ASSERT_TRUE(std::holds_alternative<Tracker>(created));
  {
    Tracker t = std::move(std::get<Tracker>(created));
    EXPECT_EQ(cuvslam_double::script().live, 1);
    ImageFrame right;
    right.width = 640, right.height = 480, right.step = 640, right.encoding = "mono8";
    right.data.assign(640 * 480, 7);
    ImageFrame left = right;
    left.data.pop_back();
    const std::vector<const ImageFrame*> images{&left, &right};
    const tracker::TrackOutcome d = t.track(42, images, {});
    EXPECT_EQ(d.kind, tracker::TrackOutcome::Kind::Failed);
    EXPECT_EQ(d.message, "images[0] holds 307199 bytes, fewer than its 640 x 480 pixels need");
    std::vector<float> metres(640 * 479);
    const tracker::DepthImage depth{&right, 0, &metres};
    EXPECT_EQ(t.track(42, std::vector<const ImageFrame*>{&right, &right}, std::vector{depth}).message,
              "depths[0] holds 1226240 bytes, fewer than its 640 x 480 pixels need");
    EXPECT_TRUE(cuvslam_double::script().tracks.empty());
  }
  EXPECT_EQ(cuvslam_double::script().live, 0);
}

TEST_F(TrackerBinding, ImuRegistration) {
  // What a mode that reads no IMU answers is followed through the engine's IMU test.
  const cuvslam::ImuMeasurement sample{5, {1.f, 2.f, 3.f}, {4.f, 5.f, 6.f}};
  auto inertial = Tracker::create(rig(2, true), options(1));
  EXPECT_EQ(std::get<Tracker>(inertial).register_imu(sample), std::nullopt);
  cuvslam_double::script().imu_failure = "out of order";
  EXPECT_EQ(std::get<Tracker>(inertial).register_imu(sample), "out of order");
}

}  // namespace
}  // namespace vo_test
