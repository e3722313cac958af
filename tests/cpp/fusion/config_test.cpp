#include "fusion_test_util.hpp"
#include "odometry_fusion/config.hpp"

#include <functional>

namespace velk_slam::odometry_fusion {
namespace {

using namespace test;

// One IMU "imu" whose entry `edit` spoils.
std::function<void(OdometryFusionConfig&)> imu_with(std::function<void(ImuConfig&)> edit) {
  return [edit](OdometryFusionConfig& c) {
    c.imus = {make_imu("imu")};
    edit(c.imus[0]);
  };
}

TEST(CheckConfig, MessagesInOrder) {
  const std::string sources = "an `odom_sources` entry needs both parent_frame_id and child_frame_id set";
  const std::string frame = "every `imus` entry needs its frame_id set";
  const std::string noise = "imu \"imu\" needs all four noise figures set";
  const std::string limit = " needs init_gyro_limit above zero or the filter never leaves init";
  struct Case {
    const char* name;
    std::function<void(OdometryFusionConfig&)> edit;
    std::optional<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"defaults", [](auto&) {}, std::nullopt},
      {"complete entries",
       [](auto& c) {
         c.imus = {make_imu("imu"), make_imu("imu2")};
         c.odom_sources = {make_source("odom", "base", 1, 1)};
       },
       std::nullopt},
      {"blank child", [](auto& c) { c.odom_sources = {make_source("odom", " \t", 1, 1)}; }, sources},
      {"empty parent", [](auto& c) { c.odom_sources = {make_source("", "base", 1, 1)}; }, sources},
      {"sources first",
       [](auto& c) {
         c.imus = {make_imu("")};
         c.odom_sources = {make_source("odom", "\u3000", 1, 1)};
       },
       sources},
      {"unicode blanks only", [](auto& c) { c.imus = {make_imu("\u00a0\u2003 \n")}; }, frame},
      {"duplicate", [](auto& c) { c.imus = {make_imu("a"), make_imu("b"), make_imu("a")}; },
       "two `imus` entries share frame_id \"a\""},
      {"trailing blank is another frame", [](auto& c) { c.imus = {make_imu("a"), make_imu("a ")}; }, std::nullopt},
      // Blank means Unicode white space only: invalid bytes, a truncated sequence or a zero-width space name a frame.
      {"not blank", [](auto& c) { c.imus = {make_imu(" \xff "), make_imu("\xe2\x80"), make_imu("\u200b")}; }, std::nullopt},
      {"only frame_id", imu_with([](ImuConfig& imu) { imu = ImuConfig(); imu.frame_id = "imu"; }), noise},
      {"NaN random walk", imu_with([](ImuConfig& imu) { imu.accel_random_walk = kNaN; }), noise},
      {"zero gyro limit", imu_with([](ImuConfig& imu) { imu.init_gyro_limit = 0.0; }), "imu \"imu\"" + limit},
      // Frame names are quoted with quotes, backslashes, controls (C1 included) and invalid bytes escaped.
      {"NaN gyro limit, escaped frame",
       imu_with([](ImuConfig& imu) {
         imu.frame_id = std::string("a\"b\\c\n\t\x01\x7f\xc2\x85 caf\xc3\xa9 \xff\0", 20);
         imu.init_gyro_limit = kNaN;
       }),
       R"(imu "a\"b\\c\n\t\u{1}\u{7f}\u{85} caf)" "\xc3\xa9" R"( \xff\0")" + limit},
      {"NaN accel limit", imu_with([](ImuConfig& imu) { imu.init_accel_limit = kNaN; }),
       "imu \"imu\" needs init_accel_limit above zero or the filter never leaves init"},
      {"init_samples below one passes", imu_with([](ImuConfig& imu) { imu.init_samples = -5; }), std::nullopt},
      // An absolute source's parent frame is gravity aligned: odom_from_parent may turn about z, not tilt.
      {"odom_from_parent turning about z", [](auto& c) {
         c.odom_sources = {make_source("map", "base", 1, 1)};
         c.odom_sources[0].odom_from_parent = Isometry::from_parts(Eigen::Vector3d::Zero(), Eigen::Quaterniond(Eigen::AngleAxisd(2.0, Eigen::Vector3d::UnitZ())));
       }, std::nullopt},
      {"odom_from_parent rolled", [](auto& c) {
         c.odom_sources = {make_source("map", "base", 1, 1)};
         c.odom_sources[0].odom_from_parent = Isometry::from_parts(Eigen::Vector3d::Zero(), Eigen::Quaterniond(Eigen::AngleAxisd(M_PI, Eigen::Vector3d::UnitX())));
         c.imus = {make_imu("")};
       }, "odom_from_parent of source \"map\" rolls or pitches; parent frames are gravity aligned like the odometry frame, "
          "so give it a turn about z only (a tilted sensor belongs in the source's child frame)"},
  };
  for (const Case& c : cases) {
    OdometryFusionConfig config;
    c.edit(config);
    EXPECT_EQ(check_config(config), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
