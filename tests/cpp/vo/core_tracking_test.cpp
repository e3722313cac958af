// Frame sets, the skew limit, stale sets, camera image checks, IMU forwarding and tracking outcomes.
#include "vo_support.hpp"

#include <functional>
#include <limits>
#include <tuple>

namespace vo_test {
namespace {

class Tracking : public VoTest {};

ImuSample imu_at(int64_t stamp_ns, double value = 0.0) {
  return ImuSample{.frame_id = "imu", .timestamp_ns = stamp_ns, .angular_velocity = Eigen::Vector3d(value, 0, 0),
                   .linear_acceleration = Eigen::Vector3d(0, 0, 9.81)};
}

// A stereo engine with an inertial tracker: IMU model and mount known.
StereoSetup inertial() {
  CuvslamOdometryConfig config;
  config.enable_imu = true;
  StereoSetup s(config);
  s.core->handle_imu_info(ImuNoiseModel{.frame_id = "imu"}, s.tf);
  s.tf.set("rig", "imu", Isometry::identity());
  return s;
}

TEST_F(Tracking, SkewLimitAndSetStamp) {
  StereoSetup s;
  s.core->handle_image(camera_image("left", 100 * kMs), s.tf);
  EXPECT_TRUE(s.core->handle_image(camera_image("right", 100 * kMs + 400'000), s.tf).has_value());
  const auto& images = cuvslam_double::script().tracks.at(0).images;
  EXPECT_EQ(std::make_pair(images[0].header.timestamp_ns, images[1].header.timestamp_ns),
            std::make_pair(100 * kMs + 400'000, 100 * kMs + 400'000)) << "every image carries the set's stamp";
  EXPECT_EQ(images[1].header.camera_index, 1u);

  s.core->handle_image(camera_image("left", 200 * kMs), s.tf);
  EXPECT_FALSE(s.core->handle_image(camera_image("right", 202 * kMs), s.tf).has_value());
  EXPECT_EQ(std::make_pair(s.core->counters().skew_rejects, s.core->counters().frames), std::make_pair(uint64_t{1}, uint64_t{1}));
  // The lagging camera's newer image completes a set within the limit.
  EXPECT_TRUE(s.core->handle_image(camera_image("right", 200 * kMs + 500'000), s.tf).has_value());
  EXPECT_EQ(s.core->counters().frames, 2u);
  // Stamps whose difference does not fit in 64 bits.
  s.core->handle_image(camera_image("left", std::numeric_limits<int64_t>::min()), s.tf);
  EXPECT_FALSE(s.core->handle_image(camera_image("right", std::numeric_limits<int64_t>::max()), s.tf).has_value());
  EXPECT_EQ(s.core->counters().skew_rejects, 2u);

  // A configured limit: 0.0005 ms is 500 ns.
  CuvslamOdometryConfig config;
  config.max_skew_ms = 0.0005;
  StereoSetup tight(config);
  EXPECT_FALSE(tight.pair(kMs, 501).has_value());
  EXPECT_EQ(tight.core->counters().skew_rejects, 1u);
  EXPECT_TRUE(tight.pair(2 * kMs, 500).has_value());
}

TEST_F(Tracking, LatestImagePerCameraAndStaleSets) {
  StereoSetup s;
  for (const uint8_t seed : {1, 2}) s.core->handle_image(camera_image("left", (9 + seed) * kMs, 64, 48, "mono8", 0, seed), s.tf);
  ASSERT_TRUE(s.core->handle_image(camera_image("right", 11 * kMs, 64, 48, "mono8", 0, 3), s.tf).has_value());
  EXPECT_EQ(cuvslam_double::script().tracks.at(0).images[0].bytes, camera_image("left", 0, 64, 48, "mono8", 0, 2).data) << "the newest";
  // Sets not after the last tracked one are discarded silently, and their slots emptied.
  LogCapture::clear();
  EXPECT_FALSE(s.pair(11 * kMs).has_value());
  EXPECT_FALSE(s.pair(9 * kMs).has_value());
  EXPECT_EQ(s.core->counters().frames, 1u);
  EXPECT_TRUE(LogCapture::lines().empty());
  EXPECT_FALSE(s.core->handle_image(camera_image("right", 12 * kMs), s.tf).has_value());
  EXPECT_TRUE(s.core->handle_image(camera_image("left", 12 * kMs), s.tf).has_value());
  s.core->handle_image(camera_image("left_ir", 13 * kMs), s.tf);  // a name prefix is not a rig camera
  EXPECT_EQ(s.core->counters().unmatched_images, 1u);
}

TEST_F(Tracking, CameraImagesAreCheckedAndRepacked) {
  using Encoding = cuvslam::Image::Encoding;
  const auto changed = [](ImageFrame image, const std::function<void(ImageFrame&)>& change) { return change(image), image; };
  const ImageFrame mono = camera_image("left", 0);
  const std::vector<std::tuple<const char*, ImageFrame, bool, Encoding>> cases = {
      {"mono8 tight", mono, true, Encoding::Mono},
      {"mono8 padded", camera_image("left", 0, 64, 48, "mono8", 13), true, Encoding::Mono},
      {"rgb8 padded", camera_image("left", 0, 64, 48, "rgb8", 4), true, Encoding::RGB},
      {"bgra8 read as 3 bytes a pixel", camera_image("left", 0, 64, 48, "bgra8"), true, Encoding::RGB},
      {"mono8 one byte short", changed(mono, [](ImageFrame& i) { i.data.pop_back(); }), false, {}},
      {"bgr8 with one byte a pixel", changed(mono, [](ImageFrame& i) { i.encoding = "bgr8"; }), false, {}},
      {"step narrower than a row", changed(camera_image("left", 0, 64, 48, "rgb8"), [](ImageFrame& i) { i.step -= 1; }), false, {}},
      {"negative width", changed(mono, [](ImageFrame& i) { i.width = -64; }), false, {}},
      {"no rows", changed(mono, [](ImageFrame& i) { i.height = 0; }), false, {}},
  };
  for (const auto& [name, image, accepted, encoding] : cases) {
    cuvslam_double::reset();
    StereoSetup s;
    ImageFrame left = image;
    left.timestamp_ns = 5 * kMs;
    s.core->handle_image(left, s.tf);
    s.core->handle_image(camera_image("right", 5 * kMs), s.tf);
    EXPECT_EQ(s.core->counters().image_size_rejects, accepted ? 0u : 1u) << name;
    ASSERT_EQ(cuvslam_double::script().tracks.size(), accepted ? 1u : 0u) << name;
    if (!accepted) continue;
    // What the library reads is the image's pixels in tight rows.
    const cuvslam_double::SeenImage& seen = cuvslam_double::script().tracks[0].images[0];
    EXPECT_EQ(std::tie(seen.header.encoding, seen.header.data_type, seen.header.pitch),
              std::make_tuple(encoding, cuvslam::Image::DataType::UInt8, 0)) << name;
    const size_t row = seen.bytes.size() / 48;
    for (size_t v = 0; v < 48; ++v) {
      ASSERT_TRUE(std::equal(seen.bytes.begin() + v * row, seen.bytes.begin() + (v + 1) * row, image.data.begin() + v * image.step))
          << name << " row " << v;
    }
  }
}

// Samples before the tracker exists are counted and dropped; then the latest-stamped 2048 are kept, and each
// frame set first forwards, in order, those up to its stamp.
TEST_F(Tracking, ImuIsBufferedAndGoesFirstUpToTheSetStamp) {
  StereoSetup s = inertial();
  for (int i = 0; i < 5; ++i) s.core->handle_imu(imu_at(i));
  EXPECT_EQ(std::make_pair(s.core->counters().imu_dropped_before_start, s.core->imu_buffered()), std::make_pair(uint64_t{5}, size_t{0}));
  ASSERT_TRUE(s.pair(10 * kMs).has_value());
  for (int i = 0; i < 2050; ++i) s.core->handle_imu(imu_at(11 * kMs + i, i));
  for (const int64_t t : {20, 21, 25}) s.core->handle_imu(imu_at(t * kMs));
  EXPECT_EQ(std::make_pair(s.core->counters().imu_samples, s.core->imu_buffered()), std::make_pair(uint64_t{2053}, size_t{2048}));
  s.pair(20 * kMs);  // forwards the kept samples up to 20 ms (at the stamp too), keeps 21 and 25
  const auto& script = cuvslam_double::script();
  const auto& imu = script.imu;
  ASSERT_EQ(std::make_pair(imu.size(), script.tracks.at(1).imu_before), std::make_pair(size_t{2046}, size_t{2046}));
  EXPECT_EQ(std::make_tuple(imu.front().timestamp_ns, imu.front().angular_velocities[0], imu.back().timestamp_ns, imu.back().linear_accelerations[2]),
            std::make_tuple(11 * kMs + 5, 5.f, 20 * kMs, 9.81f));
  EXPECT_TRUE(std::is_sorted(imu.begin(), imu.end(), [](const auto& a, const auto& b) { return a.timestamp_ns < b.timestamp_ns; }));
  EXPECT_EQ(s.core->imu_buffered(), 2u);
  // A sample stamped 100 s ahead (a clock glitch) waits at the back for its time: it holds back none of
  // the samples that arrive after it.
  s.core->handle_imu(imu_at(100'000 * kMs));
  s.core->handle_imu(imu_at(26 * kMs));
  s.pair(30 * kMs);
  EXPECT_EQ(std::make_pair(imu.size(), script.tracks.at(2).imu_before), std::make_pair(size_t{2049}, size_t{2049}));
  EXPECT_EQ(std::make_pair(imu.back().timestamp_ns, s.core->imu_buffered()), std::make_pair(26 * kMs, size_t{1}));

  // A tracker that reads no IMU refuses the samples: dropped, not kept.
  cuvslam_double::reset();
  StereoSetup plain;
  ASSERT_TRUE(plain.pair(10 * kMs).has_value());
  for (int i = 0; i < 30; ++i) plain.core->handle_imu(imu_at(11 * kMs + i));
  plain.pair(20 * kMs);
  EXPECT_EQ(std::make_tuple(cuvslam_double::script().imu.size(), plain.core->imu_buffered(), plain.core->counters().imu_rejects),
            std::make_tuple(size_t{0}, size_t{0}, uint64_t{30}));
  EXPECT_EQ(LogCapture::count("cuvslam rejected an IMU sample error=odometry_mode 0 does not read IMU measurements; only modes 1 and 4 do"), 1u)
      << "throttled: one line for 30 samples";
}

TEST_F(Tracking, LostSegmentsAndFailures) {
  StereoSetup s;
  using cuvslam_double::Outcome;
  cuvslam_double::script().outcomes = {Outcome::no_pose(), Outcome::pose_at({0, 0, 0}), Outcome::no_pose(),
                                       Outcome::no_pose(), Outcome::failure("bad frame"), Outcome::pose_at({0, 0, 0}),
                                       Outcome::no_pose()};
  std::vector<bool> estimates;
  for (int i = 1; i <= 7; ++i) estimates.push_back(s.pair(i * kMs).has_value());
  EXPECT_EQ(estimates, (std::vector<bool>{false, true, false, false, false, true, false}));
  const Counters& c = s.core->counters();
  EXPECT_EQ(c.frames, 7u) << "a failure still counts and consumes the set";
  EXPECT_EQ(c.tracked, 2u);
  EXPECT_EQ(c.resets, 2u) << "lost twice in a row counts once; a loss before the first pose not at all";
  EXPECT_EQ(LogCapture::count("WARN velk_slam::cuvslam_odometry: cuvslam tracking lost segment="), 2u);
  EXPECT_EQ(LogCapture::count("ERROR velk_slam::cuvslam_odometry: cuvslam Track failed error=bad frame"), 1u);
  // The failed set was consumed: its stamp is now the last tracked one.
  EXPECT_FALSE(s.pair(5 * kMs).has_value());
  EXPECT_EQ(c.frames, 7u);
}

}  // namespace
}  // namespace vo_test
