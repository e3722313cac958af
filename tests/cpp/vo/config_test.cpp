// Visual odometry configuration: refusals in rule order, and the skew limit.
#include "vo_support.hpp"

#include <limits>
#include <tuple>

namespace vo_test {
namespace {

CuvslamOdometryConfig with(const std::string& mode, size_t cameras, bool imu) {
  CuvslamOdometryConfig c;
  c.camera_mode = mode;
  for (size_t i = 0; i < cameras; ++i) c.cameras.push_back(CameraConfig{.frame_id = "cam" + std::to_string(i)});
  c.enable_imu = imu;
  return c;
}

TEST(VoConfig, RefusalsInRuleOrder) {
  const std::vector<std::pair<CuvslamOdometryConfig, std::string>> cases = {  // message empty: accepted
      {CuvslamOdometryConfig{}, ""},
      {with("Stereo", 2, false), "config: camera_mode must be 'stereo', 'mono', 'rgbd' or 'multisensor', got 'Stereo'"},
      {with("multisensor", 0, false), "config: camera_mode 'multisensor' requires `cameras` to list the rig"},
      {with("multisensor", 1, true), ""},
      {with("stereo", 1, false), "config: camera_mode 'stereo' needs 2 rig cameras but `cameras` lists 1; the rig comes first in the list"},
      {with("stereo", 3, true), ""},
      {with("mono", 0, true), "config: enable_imu requires camera_mode 'stereo' or 'multisensor'; cuVSLAM has no inertial mono mode"},
      {with("rgbd", 2, true), "config: enable_imu requires camera_mode 'stereo' or 'multisensor'; cuVSLAM has no inertial rgbd mode"},
      {[] { auto c = with("stereo", 0, false); c.tracker_threads = 257; return c; }(),
       "config: tracker_threads must lie in 0 (one per core) ... 256, got 257"},
  };
  for (const auto& [config, message] : cases) {
    auto created = CuvslamCore::create(config);
    const std::string* refusal = std::get_if<std::string>(&created);
    EXPECT_EQ(refusal ? *refusal : "", message) << config.camera_mode;
  }
}

TEST(VoConfig, DefaultsAndSkewLimit) {
  auto core = make_core(CuvslamOdometryConfig{});
  const CuvslamOdometryConfig& c = core->config();
  EXPECT_EQ(std::tie(c.camera_mode, c.odom_frame_id, c.output_frame_id), std::tie("stereo", "odom", "base_link"));
  EXPECT_EQ(core->skew_limit_ns(), 1'000'000);
  EXPECT_FALSE(core->has_tracker());
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const int64_t most = std::numeric_limits<int64_t>::max();
  for (const auto& [ms, ns] : std::vector<std::pair<double, int64_t>>{
           {0.0, 1'000'000}, {-3.0, 1'000'000}, {nan, 1'000'000}, {0.0015, 1500}, {1e-9, 0}, {inf, most}, {1e300, most}}) {
    EXPECT_EQ(skew_limit_ns(ms), ns) << ms;
  }
}

}  // namespace
}  // namespace vo_test
