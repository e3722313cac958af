#include "log.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace velk_slam::log {
namespace {

constexpr std::string_view kFusion = "velk_slam::odometry_fusion";
constexpr std::string_view kVo = "velk_slam::cuvslam_odometry";
constexpr std::string_view kEskf = "velk_slam::odometry_fusion::eskf";

Filter parse(std::string_view text) {
  std::string reason;
  return parse_filter(text, &reason).value();  // a refused text throws, failing the test
}

TEST(LogFilter, DirectivesDecideByMostSpecificTarget) {
  const char* kNested = "velk_slam::odometry_fusion::eskf=off,velk_slam::odometry_fusion=debug,warn";
  const std::tuple<const char*, Level, std::string_view, bool> cases[] = {
      {"velk_slam=debug", Level::Info, "other", false},
      {"warn,velk_slam::odometry_fusion=trace", Level::Trace, kFusion, true},
      {"warn,velk_slam::odometry_fusion=trace", Level::Info, kVo, false},
      {"trace,velk_slam=off", Level::Error, kFusion, false},
      {"velk_slam=error,velk_slam::cuvslam_odometry=info", Level::Info, kVo, true},
      {"velk_slam=error,velk_slam::cuvslam_odometry=info", Level::Info, kFusion, false},
      {"velk_slam::cuvslam_odometry=info,velk_slam=error", Level::Info, kVo, true},  // order does not matter
      {kNested, Level::Debug, kEskf, false},
      {kNested, Level::Debug, kFusion, true},
      {kNested, Level::Warn, "other", true},
      {"velk_sla=trace", Level::Error, kFusion, false},  // a target covers module paths, not prefixes
      {"velk_slam::odometry_fusion", Level::Trace, kFusion, true},  // bare target: every level
      {"off", Level::Error, kFusion, false},
      {"", Level::Error, kFusion, false},
      {" INFO , velk_slam = debug ", Level::Debug, kVo, true},
  };
  for (const auto& [filter, level, target, enabled] : cases) {
    EXPECT_EQ(parse(filter).enabled(level, target), enabled) << filter << " / " << target;
  }
}

// Bad directives are refused with a reason naming the culprit; random bytes from the filter alphabet parse
// or are refused with a reason, never crash.
TEST(LogFilter, BadDirectivesAreRefusedWithAReason) {
  for (const auto& [text, named] : {std::pair{"velk_slam=loud", "`loud`"}, {"=debug", "`=debug`"}, {"velk_slam[span]=info", "span"}}) {
    std::string reason;
    EXPECT_FALSE(parse_filter(text, &reason).has_value()) << text;
    EXPECT_NE(reason.find(named), std::string::npos) << reason;
  }
  std::mt19937 rng(7);
  const auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  const std::string alphabet = "velk_sam:=,[]{}\"= \tINFOtrace";
  for (int round = 0; round < 5000; ++round) {
    std::string text;
    for (size_t i = 0, n = pick(24); i < n; ++i) text += alphabet[pick(alphabet.size())];
    std::string reason;
    if (!parse_filter(text, &reason).has_value()) {
      EXPECT_FALSE(reason.empty()) << text;
    }
  }
}

TEST(LogFormat, LineLayoutWithAndWithoutColour) {
  const int64_t t = 1'765'057'701'123'456'789;  // 2025-12-06T21:48:21.123456789Z
  EXPECT_EQ(format_line(t, Level::Warn, kFusion, "dropped", {{"imu", "imu_link"}, {"count", 3}, {"dt", 0.5}}, false),
            "2025-12-06T21:48:21.123456Z  WARN velk_slam::odometry_fusion: dropped imu=imu_link count=3 dt=0.5\n");
  EXPECT_EQ(format_line(0, Level::Error, kVo, "m", {{"x", 2.0}, {"ok", true}}, false),
            "1970-01-01T00:00:00.000000Z ERROR velk_slam::cuvslam_odometry: m x=2.0 ok=true\n");
  EXPECT_NE(format_line(t, Level::Info, kFusion, "m", {{"n", 1}}, true).find("\x1b["), std::string::npos);
}

TEST(LogSubscriber, FirstInstallWinsDisabledEventsAreNotWrittenThrottledOnce) {
  reset_for_tests();
  EXPECT_FALSE(enabled(Level::Error, kFusion));
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(install(parse("info"), false, [&](std::string_view l) { lines.emplace_back(l); }, &error));
  EXPECT_FALSE(install(parse("trace"), false, nullptr, &error));
  EXPECT_EQ(error, "a global default trace dispatcher has already been set");
  int built = 0;
  VELK_LOG(Debug, kFusion, "hidden", {"n", ++built});
  VELK_LOG(Info, kFusion, "shown", {"n", ++built});
  EXPECT_EQ(built, 1);  // the disabled event did not even build its fields
  for (int i = 0; i < 50; ++i) VELK_LOG_THROTTLED(60'000'000'000ull, Warn, kFusion, "repeated", {"i", i});
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find(" INFO velk_slam::odometry_fusion: shown n=1\n"), std::string::npos);
  EXPECT_NE(lines[1].find("repeated i=0"), std::string::npos);
  reset_for_tests();
}

// Sites hold independently; a zero interval never holds back; of many threads racing at one site exactly
// one wins.
TEST(LogThrottle, SitesHoldIndependentlyAndOneOfManyThreadsWins) {
  std::atomic<uint64_t> site{0}, other{0};
  EXPECT_TRUE(check_and_record(site, 1'000'000'000));
  EXPECT_FALSE(check_and_record(site, 1'000'000'000));
  EXPECT_TRUE(check_and_record(other, 1'000'000'000));
  EXPECT_TRUE(check_and_record(site, 0));
  for (int round = 0; round < 20; ++round) {
    std::atomic<uint64_t> last{0};
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) threads.emplace_back([&] { winners += check_and_record(last, 60'000'000'000) ? 1 : 0; });
    for (auto& t : threads) t.join();
    EXPECT_EQ(winners.load(), 1);
  }
}

}  // namespace
}  // namespace velk_slam::log
