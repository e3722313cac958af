#include "log.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace velk_slam::log {
namespace {

constexpr std::string_view kFusion = "velk_slam::odometry_fusion";
constexpr std::string_view kVo = "velk_slam::cuvslam_odometry";

Filter parse(std::string_view text) {
  std::string reason;
  auto f = parse_filter(text, &reason);
  EXPECT_TRUE(f.has_value()) << reason;
  return f.value_or(Filter{});
}

TEST(LogFilter, DirectivesDecideByMostSpecificTarget) {
  struct Case {
    const char* filter;
    Level level;
    std::string_view target;
    bool enabled;
  };
  const Case cases[] = {
      {"info", Level::Info, kFusion, true},
      {"info", Level::Debug, kFusion, false},
      {"warn", Level::Warn, kVo, true},
      {"warn", Level::Info, kVo, false},
      {"velk_slam=debug", Level::Debug, kFusion, true},
      {"velk_slam=debug", Level::Debug, kVo, true},
      {"velk_slam=debug", Level::Info, "other", false},
      {"velk_slam=debug", Level::Trace, kFusion, false},
      {"warn,velk_slam::odometry_fusion=trace", Level::Trace, kFusion, true},
      {"warn,velk_slam::odometry_fusion=trace", Level::Info, kVo, false},
      {"trace,velk_slam=off", Level::Error, kFusion, false},
      {"velk_slam=error,velk_slam::cuvslam_odometry=info", Level::Info, kVo, true},
      {"velk_slam=error,velk_slam::cuvslam_odometry=info", Level::Info, kFusion, false},
      {"velk_sla=trace", Level::Error, kFusion, false},  // a target covers module paths, not prefixes
      {"velk_slam::odometry_fusion", Level::Trace, kFusion, true},  // bare target: every level
      {"off", Level::Error, kFusion, false},
      {"", Level::Error, kFusion, false},
      {" INFO , velk_slam = debug ", Level::Debug, kVo, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse(c.filter).enabled(c.level, c.target), c.enabled) << c.filter << " / " << c.target;
  }
}

TEST(LogFilter, BadDirectivesAreRefusedWithAReason) {
  for (const char* text : {"velk_slam=loud", "=debug", "velk_slam[span]=info"}) {
    std::string reason;
    EXPECT_FALSE(parse_filter(text, &reason).has_value()) << text;
    EXPECT_FALSE(reason.empty());
  }
  std::string reason;
  parse_filter("velk_slam=loud", &reason);
  EXPECT_NE(reason.find("loud"), std::string::npos);
}

// Random filters against a model of the rule: the directive with the longest target covering the event's
// target decides, else the last bare level, else nothing is enabled. Targets are drawn distinct so that no
// tie needs a rule; spelling varies in case and blanks. Random bytes must parse or be refused with a reason.
TEST(LogFilter, RandomFiltersFollowTheLongestTargetRule) {
  const std::vector<std::string> targets = {"velk_slam", "velk_slam::odometry_fusion", "velk_slam::cuvslam_odometry",
                                            "velk_slam::odometry_fusion::eskf", "other"};
  const std::vector<std::string> names = {"off", "error", "warn", "info", "debug", "trace"};
  const std::vector<std::string> queries = {"velk_slam", "velk_slam::odometry_fusion", "velk_slam::odometry_fusion::eskf",
                                            "velk_slam::cuvslam_odometry", "velk_slamx", "other::thing", "unrelated"};
  std::mt19937 rng(7);
  const auto pick = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(rng); };
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::pair<std::string, size_t>> directives;  // target ("" = bare level), level index
    std::vector<std::string> unused = targets;
    std::string text;
    for (size_t d = 0, count = 1 + pick(4); d < count; ++d) {
      const size_t level = pick(names.size());
      std::string word = names[level];
      if (pick(2) == 0) word[0] = static_cast<char>(std::toupper(word[0]));
      std::string target;
      if (pick(3) != 0 && !unused.empty()) {
        const size_t t = pick(unused.size());
        target = unused[t];
        unused.erase(unused.begin() + static_cast<std::ptrdiff_t>(t));
      }
      if (d > 0) text += ',';
      text.append(pick(2), ' ');
      text.append(target.empty() ? word : target + " =" + word);
      directives.emplace_back(target, level);
    }
    std::string reason;
    const std::optional<Filter> filter = parse_filter(text, &reason);
    ASSERT_TRUE(filter.has_value()) << text << ": " << reason;
    for (const std::string& query : queries) {
      const std::pair<std::string, size_t>* decides = nullptr;
      const std::pair<std::string, size_t>* bare = nullptr;
      for (const auto& d : directives) {
        const bool covers = query == d.first || query.rfind(d.first + "::", 0) == 0;
        if (d.first.empty()) {
          bare = &d;
        } else if (covers && (decides == nullptr || d.first.size() > decides->first.size())) {
          decides = &d;
        }
      }
      if (decides == nullptr) decides = bare;
      for (size_t level = 1; level < names.size(); ++level) {
        const bool expected = decides != nullptr && level <= decides->second;
        ASSERT_EQ(filter->enabled(static_cast<Level>(level), query), expected)
            << "filter '" << text << "', " << names[level] << " at " << query;
      }
    }
  }
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
  const std::string plain =
      format_line(t, Level::Warn, kFusion, "dropped", {{"imu", "imu_link"}, {"count", 3}, {"dt", 0.5}}, false);
  EXPECT_EQ(plain, "2025-12-06T21:48:21.123456Z  WARN velk_slam::odometry_fusion: dropped imu=imu_link count=3 dt=0.5\n");
  EXPECT_EQ(format_line(0, Level::Error, kVo, "m", {{"x", 2.0}, {"ok", true}}, false),
            "1970-01-01T00:00:00.000000Z ERROR velk_slam::cuvslam_odometry: m x=2.0 ok=true\n");
  const std::string colored = format_line(t, Level::Info, kFusion, "m", {{"n", 1}}, true);
  EXPECT_NE(colored.find("\x1b["), std::string::npos);
  EXPECT_EQ(plain.find("\x1b"), std::string::npos);
}

TEST(LogSubscriber, FirstInstallWinsAndDisabledEventsAreNotWritten) {
  reset_for_tests();
  EXPECT_FALSE(enabled(Level::Error, kFusion));
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(install(parse("info"), false, [&](std::string_view l) { lines.emplace_back(l); }, &error));
  EXPECT_FALSE(install(parse("trace"), false, nullptr, &error));
  EXPECT_EQ(error, "a global default trace dispatcher has already been set");
  int built = 0;
  auto field_value = [&] { return ++built; };
  VELK_LOG(Debug, kFusion, "hidden", {"n", field_value()});
  VELK_LOG(Info, kFusion, "shown", {"n", field_value()});
  EXPECT_EQ(built, 1);  // the disabled event did not even build its fields
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" INFO velk_slam::odometry_fusion: shown n=1\n"), std::string::npos);
  reset_for_tests();
}

TEST(LogThrottle, FirstUseEmitsThenHoldsForTheInterval) {
  std::atomic<uint64_t> last{0};
  EXPECT_TRUE(check_and_record(last, 1'000'000'000));
  EXPECT_NE(last.load(), 0u);
  EXPECT_FALSE(check_and_record(last, 1'000'000'000));
  EXPECT_TRUE(check_and_record(last, 0));  // a zero interval never holds back
  std::atomic<uint64_t> other{0};
  EXPECT_TRUE(check_and_record(other, 1'000'000'000));  // sites are independent
  last.store(1);  // an emission long ago
  EXPECT_TRUE(check_and_record(last, 1));
}

TEST(LogThrottle, ExactlyOneOfManyThreadsWins) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<uint64_t> last{0};
    std::atomic<int> winners{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i) {
      threads.emplace_back([&] { winners += check_and_record(last, 60'000'000'000) ? 1 : 0; });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(winners.load(), 1);
  }
}

TEST(LogThrottle, ThrottledSiteCountsButPrintsOncePerInterval) {
  reset_for_tests();
  std::vector<std::string> lines;
  std::string error;
  ASSERT_TRUE(install(parse("warn"), false, [&](std::string_view l) { lines.emplace_back(l); }, &error));
  int occurrences = 0;
  for (int i = 0; i < 50; ++i) {
    ++occurrences;
    VELK_LOG_THROTTLED(60'000'000'000ull, Warn, kFusion, "repeated", {"i", i});
  }
  EXPECT_EQ(occurrences, 50);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("repeated i=0"), std::string::npos);
  reset_for_tests();
}

}  // namespace
}  // namespace velk_slam::log
