#include "fusion_test_util.hpp"
#include "odometry_fusion/config.hpp"

#include <cmath>
#include <functional>
#include <limits>

namespace velk_slam::odometry_fusion {
namespace {

using test::make_imu;
using test::make_source;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct CheckCase {
  const char* name;
  std::function<void(OdometryFusionConfig&)> edit;
  std::optional<std::string> expected;
};

TEST(CheckConfig, MessagesInOrder) {
  const std::string sources_message = "an `odom_sources` entry needs both parent_frame_id and child_frame_id set";
  const std::string frame_message = "every `imus` entry needs its frame_id set";
  const std::vector<CheckCase> cases = {
      {"defaults", [](auto&) {}, std::nullopt},
      {"complete entries",
       [](auto& c) {
         c.imus = {make_imu("imu"), make_imu("imu2")};
         c.odom_sources = {make_source("odom", "base", 1, 1)};
       },
       std::nullopt},
      {"blank child", [](auto& c) { c.odom_sources = {make_source("odom", " \t", 1, 1)}; }, sources_message},
      {"empty parent", [](auto& c) { c.odom_sources = {make_source("", "base", 1, 1)}; }, sources_message},
      {"sources first",
       [](auto& c) {
         c.imus = {make_imu("")};
         c.odom_sources = {make_source("odom", "\u3000", 1, 1)};
       },
       sources_message},
      {"empty imu frame", [](auto& c) { c.imus = {make_imu("")}; }, frame_message},
      {"unicode blanks only", [](auto& c) { c.imus = {make_imu("\u00a0\u2003 \n")}; }, frame_message},
      {"duplicate", [](auto& c) { c.imus = {make_imu("a"), make_imu("b"), make_imu("a")}; },
       "two `imus` entries share frame_id \"a\""},
      {"trailing blank is another frame", [](auto& c) { c.imus = {make_imu("a"), make_imu("a ")}; }, std::nullopt},
      {"only frame_id",
       [](auto& c) {
         ImuConfig imu;
         imu.frame_id = "imu";
         c.imus = {imu};
       },
       "imu \"imu\" needs all four noise figures set"},
      {"NaN random walk",
       [](auto& c) {
         c.imus = {make_imu("imu")};
         c.imus[0].accel_random_walk = kNaN;
       },
       "imu \"imu\" needs all four noise figures set"},
      {"zero gyro limit",
       [](auto& c) {
         c.imus = {make_imu("imu")};
         c.imus[0].init_gyro_limit = 0.0;
       },
       "imu \"imu\" needs init_gyro_limit above zero or the filter never leaves init"},
      {"NaN gyro limit, escaped frame",
       [](auto& c) {
         c.imus = {make_imu("a\"b\\c\n")};
         c.imus[0].init_gyro_limit = kNaN;
       },
       "imu \"a\\\"b\\\\c\\n\" needs init_gyro_limit above zero or the filter never leaves init"},
      {"NaN accel limit",
       [](auto& c) {
         c.imus = {make_imu("imu")};
         c.imus[0].init_accel_limit = kNaN;
       },
       "imu \"imu\" needs init_accel_limit above zero or the filter never leaves init"},
      {"init_samples below one passes",
       [](auto& c) {
         c.imus = {make_imu("imu", -5)};
       },
       std::nullopt},
  };
  for (const CheckCase& c : cases) {
    OdometryFusionConfig config;
    c.edit(config);
    EXPECT_EQ(check_config(config), c.expected) << c.name;
  }
}

TEST(CheckConfig, QuotedAndTrimmed) {
  const std::vector<std::pair<std::string, std::string>> quoted_cases = {
      {"imu", "\"imu\""},
      {"", "\"\""},
      {"t\tr\n", "\"t\\tr\\n\""},
      {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
      {"\xc2\x85", "\"\\u{85}\""},  // NEL, a C1 control
      {"caf\xc3\xa9 \xe2\x82\xac", "\"caf\xc3\xa9 \xe2\x82\xac\""},
      {"bad\xff", "\"bad\\xff\""},
  };
  for (const auto& [text, expected] : quoted_cases) {
    EXPECT_EQ(quote_escaped(text), expected);
  }
  EXPECT_EQ(quote_escaped(std::string_view("a\0b", 3)), "\"a\\0b\"");

  EXPECT_EQ(trim_white_space("\u00a0 imu\u2003\u3000"), "imu");
  EXPECT_EQ(trim_white_space(" \xff "), "\xff");
  EXPECT_EQ(trim_white_space("\xe2\x80"), "\xe2\x80");  // truncated sequence kept
  EXPECT_EQ(trim_white_space("\u200b"), "\u200b");      // zero-width space is not white space
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
