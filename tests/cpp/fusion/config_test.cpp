#include "fusion_test_util.hpp"
#include "odometry_fusion/config.hpp"

#include <cmath>
#include <functional>
#include <limits>

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
      {"empty imu frame", [](auto& c) { c.imus = {make_imu("")}; }, frame},
      {"unicode blanks only", [](auto& c) { c.imus = {make_imu("\u00a0\u2003 \n")}; }, frame},
      {"duplicate", [](auto& c) { c.imus = {make_imu("a"), make_imu("b"), make_imu("a")}; },
       "two `imus` entries share frame_id \"a\""},
      {"trailing blank is another frame", [](auto& c) { c.imus = {make_imu("a"), make_imu("a ")}; }, std::nullopt},
      {"only frame_id", imu_with([](ImuConfig& imu) { imu = ImuConfig(); imu.frame_id = "imu"; }), noise},
      {"NaN random walk", imu_with([](ImuConfig& imu) { imu.accel_random_walk = kNaN; }), noise},
      {"zero gyro limit", imu_with([](ImuConfig& imu) { imu.init_gyro_limit = 0.0; }), "imu \"imu\"" + limit},
      {"NaN gyro limit, escaped frame",
       imu_with([](ImuConfig& imu) {
         imu.frame_id = "a\"b\\c\n";
         imu.init_gyro_limit = kNaN;
       }),
       "imu \"a\\\"b\\\\c\\n\"" + limit},
      {"NaN accel limit", imu_with([](ImuConfig& imu) { imu.init_accel_limit = kNaN; }),
       "imu \"imu\" needs init_accel_limit above zero or the filter never leaves init"},
      {"init_samples below one passes", imu_with([](ImuConfig& imu) { imu.init_samples = -5; }), std::nullopt},
  };
  for (const Case& c : cases) {
    OdometryFusionConfig config;
    c.edit(config);
    EXPECT_EQ(check_config(config), c.expected) << c.name;
  }
}

// Frame names in messages are quoted with controls and invalid bytes escaped; blanks are trimmed as
// Unicode white space, nothing else.
TEST(CheckConfig, QuotedAndTrimmed) {
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {"", "\"\""},
           {"t\tr\n", "\"t\\tr\\n\""},
           {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
           {"\xc2\x85", "\"\\u{85}\""},  // NEL, a C1 control
           {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
           {"bad\xff", "\"bad\\xff\""},
           {std::string("a\0b", 3), "\"a\\0b\""}}) {
    EXPECT_EQ(quote_escaped(text), expected);
  }
  for (const auto& [text, expected] : std::vector<std::pair<std::string, std::string>>{
           {"\u00a0 imu\u2003\u3000", "imu"},
           {" \xff ", "\xff"},
           {"\xe2\x80", "\xe2\x80"},  // truncated sequence kept
           {"\u200b", "\u200b"}}) {   // zero-width space is not white space
    EXPECT_EQ(trim_white_space(text), expected);
  }
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
