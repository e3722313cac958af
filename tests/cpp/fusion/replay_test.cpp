// Replay buffer behaviour through FusionCore: placement of equal stamps, too-late drops, trimming,
// bit-exact replay equivalence, and stamps at both ends of the int64 range.
#include "fusion_test_util.hpp"
#include "stamps.hpp"

#include <algorithm>
#include <functional>
#include <tuple>
#include <limits>
#include <random>

namespace velk_slam::odometry_fusion {
namespace {

using Eigen::Vector3d;
using test::make_estimate;
using test::make_imu;
using test::make_sample;
using test::make_source;
using test::planar_pose;

constexpr int64_t kMs = 1'000'000;
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
const Vector3d kStillForce(0.0, 0.0, 9.8);

OdometryFusionConfig one_imu_config(double replay_seconds = 0.5) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu"), make_imu("imu2")};
  config.odom_sources = {make_source("odom", "wheel", 0.01, 0.01)};
  config.replay_buffer_seconds = replay_seconds;
  return config;
}

// Both IMUs still at t0 initialise the core.
void initialise(FusionCore& core, int64_t t0) {
  ASSERT_FALSE(core.handle_imu(make_sample("imu", t0, Vector3d::Zero(), kStillForce), Isometry()));
  ASSERT_FALSE(core.handle_imu(make_sample("imu2", t0, Vector3d::Zero(), kStillForce), Isometry()));
  ASSERT_TRUE(core.initialized());
}

void imu_at(FusionCore& core, int64_t t, const std::string& frame = "imu") {
  ASSERT_FALSE(core.handle_imu(make_sample(frame, t, Vector3d(0, 0, 0.1), kStillForce), Isometry()));
}

std::vector<int64_t> stamps(const FusionCore& core) {
  std::vector<int64_t> out;
  for (std::size_t i = 0; i < core.buffer().size(); ++i) {
    out.push_back(core.buffer()[i].timestamp_ns);
  }
  return out;
}

std::size_t imu_index_at(const FusionCore& core, std::size_t i) {
  return std::get<ImuInput>(core.buffer()[i].input).imu;
}

TEST(Replay, PlacementOfEqualStampsAndTooLate) {
  FusionCore core(one_imu_config());
  initialise(core, 1000 * kMs);
  imu_at(core, 1010 * kMs);
  imu_at(core, 1020 * kMs);
  // Equal to the newest: appended after it, nothing replayed.
  imu_at(core, 1020 * kMs, "imu2");
  EXPECT_EQ(stamps(core), (std::vector<int64_t>{1000 * kMs, 1010 * kMs, 1020 * kMs, 1020 * kMs}));
  EXPECT_EQ(imu_index_at(core, 3), 1u);
  EXPECT_EQ(core.counters().replayed, 0u);
  // Equal to an interior stamp: after every event of that stamp.
  imu_at(core, 1010 * kMs, "imu2");
  EXPECT_EQ(stamps(core), (std::vector<int64_t>{1000 * kMs, 1010 * kMs, 1010 * kMs, 1020 * kMs, 1020 * kMs}));
  EXPECT_EQ(imu_index_at(core, 1), 0u);
  EXPECT_EQ(imu_index_at(core, 2), 1u);
  EXPECT_EQ(core.counters().replayed, 1u);
  // Equal to the oldest while newer events exist: too late, but still counted as a sample.
  imu_at(core, 1000 * kMs);
  ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", 999 * kMs, planar_pose(0, 0, 0))));
  EXPECT_EQ(core.counters().too_late, 2u);
  EXPECT_EQ(core.counters().replayed, 1u);
  EXPECT_EQ(core.counters().imu_samples, 5u);
  EXPECT_EQ(core.counters().measurements, 1u);
  EXPECT_EQ(core.buffer().size(), 5u);
  // With the seed alone, an older stamp is too late and an equal one is kept.
  FusionCore seeded(one_imu_config());
  initialise(seeded, 1000 * kMs);
  imu_at(seeded, 999 * kMs);
  imu_at(seeded, 1000 * kMs, "imu2");
  EXPECT_EQ(seeded.counters().too_late, 1u);
  EXPECT_EQ(seeded.buffer().size(), 2u);
}

TEST(Replay, Trimming) {
  struct Case {
    double seconds;
    std::vector<int64_t> kept_ms;
  };
  const std::vector<Case> cases = {
      {0.5, {1500, 1600, 1700, 1800, 1900, 2000, 2000}},  // the event exactly at the cutoff stays
      {0.0, {2000, 2000}},
      {-1.0, {2000}},
      {-1e300, {2000}},
      {kNaN, {2000, 2000}},
  };
  for (const Case& c : cases) {
    FusionCore core(one_imu_config(c.seconds));
    initialise(core, 1000 * kMs);
    for (int64_t t = 1100; t <= 2000; t += 100) {
      imu_at(core, t * kMs);
    }
    imu_at(core, 2000 * kMs, "imu2");
    std::vector<int64_t> kept;
    for (int64_t t : stamps(core)) {
      kept.push_back(t / kMs);
    }
    EXPECT_EQ(kept, c.kept_ms) << c.seconds;
  }
}

// A recorded drive: IMU at 200 Hz (gyro, accel), wheel estimates (pose, speed) at 50 Hz with stamps offset
// from the IMU's.
struct Input {
  bool is_imu = true;
  int64_t t = 0;
  Vector3d a = Vector3d::Zero(), b = Vector3d::Zero();
  Isometry pose;
};

std::vector<Input> drive(int64_t t0) {
  std::mt19937 rng(2024);
  std::normal_distribution<double> noise(0.0, 0.02);
  std::vector<Input> inputs;
  double x = 0, y = 0, yaw = 0;
  for (int i = 1; i <= 600; ++i) {
    const double t = i * 0.005;
    const double rate = 0.4 * std::sin(t);
    const double speed = 0.5 * t;
    const Vector3d gyro(noise(rng), noise(rng), rate + noise(rng));
    inputs.push_back({true, t0 + i * 5 * kMs, gyro, Vector3d(0.5 + noise(rng), speed * rate + noise(rng), 9.8 + noise(rng)), Isometry()});
    yaw += rate * 0.005;
    x += speed * std::cos(yaw) * 0.005;
    y += speed * std::sin(yaw) * 0.005;
    if (i % 4 == 0) inputs.push_back({false, t0 + i * 5 * kMs + 1 * kMs, Vector3d(speed, 0, 0), Vector3d::Zero(), planar_pose(x, y, yaw)});
  }
  return inputs;
}

OdometryEstimate feed(FusionCore& core, const std::vector<Input>& inputs) {
  for (const Input& in : inputs) {
    EXPECT_FALSE(in.is_imu ? core.handle_imu(make_sample("imu", in.t, in.a, in.b), Isometry())
                           : core.handle_source(make_estimate("odom", "wheel", in.t, in.pose, in.a)));
  }
  const auto published = core.maybe_publish();
  EXPECT_TRUE(published.has_value());
  return published.value_or(OdometryEstimate{});
}

// The data clock may start anywhere, 0 and negative stamps included: a drive shifted in time gives the
// same bits as the first.
TEST(Replay, LateDeliveryIsBitIdenticalToInOrder) {
  OdometryFusionConfig config = one_imu_config();
  config.imus.resize(1);
  config.odom_sources[0].pose_variances = {0.01, 0.01, 1e-4, 1e-4, 1e-4, 0.001};
  config.odom_sources[0].twist_variances = {0.01, 0.01, 0.0, 0.0, 0.0, 0.01};
  config.per_dimension_error_variance = {0.0, 0.0, 0.01, 0.0, 0.0, 0.0};
  const auto same = [](const OdometryEstimate& a, const OdometryEstimate& b) {
    const auto bits = [](const OdometryEstimate& e) {
      return (Eigen::VectorXd(85) << e.pose.translation, e.pose.rotation.coeffs(), e.pose_covariance.reshaped(),
              e.twist_linear, e.twist_angular, e.twist_covariance.reshaped()).finished();
    };
    return test::same_bits(bits(a), bits(b));
  };
  std::optional<OdometryEstimate> first;
  for (const int64_t t0 : {5000 * kMs, int64_t{0}, -3000 * kMs}) {
    SCOPED_TRACE(t0);
    const std::vector<Input> in_order = drive(t0);

    // Every wheel estimate 120 ms late (in order among themselves), every seventh IMU sample 40 ms late.
    std::vector<std::pair<int64_t, std::size_t>> arrival;
    for (std::size_t i = 0; i < in_order.size(); ++i) {
      const Input& in = in_order[i];
      const int64_t delay = !in.is_imu ? 120 * kMs : (i % 7 == 0 ? 40 * kMs : 0);
      arrival.emplace_back(in.t + delay, i);
    }
    std::stable_sort(arrival.begin(), arrival.end());
    std::vector<Input> late;
    for (const auto& [t, i] : arrival) late.push_back(in_order[i]);

    FusionCore reference(config);
    FusionCore replayed(config);
    ASSERT_FALSE(reference.handle_imu(make_sample("imu", t0, Vector3d::Zero(), kStillForce), Isometry()));
    ASSERT_FALSE(replayed.handle_imu(make_sample("imu", t0, Vector3d::Zero(), kStillForce), Isometry()));
    const OdometryEstimate a = feed(reference, in_order);
    const OdometryEstimate b = feed(replayed, late);

    EXPECT_EQ(reference.counters().replayed, 0u);
    EXPECT_GT(replayed.counters().replayed, 200u);
    EXPECT_EQ(replayed.counters().too_late, 0u);
    EXPECT_EQ(replayed.counters().gated, reference.counters().gated);
    EXPECT_TRUE(test::same_state(reference.filter().state, replayed.filter().state));
    EXPECT_TRUE(same(a, b));
    EXPECT_TRUE(same(a, first.value_or(a)));
    first = a;
    // The run moved: an equivalence of two idle filters would prove nothing.
    EXPECT_GT(a.pose.translation.norm(), 0.5);
  }
}

TEST(Stamps, SaturatingArithmetic) {
  for (const auto& [a, b, expected] : {std::tuple{int64_t{5}, int64_t{3}, int64_t{2}}, {kMax, -1, kMax}, {kMin, 1, kMin},
                                       {kMax, kMin, kMax}, {kMin, kMax, kMin}, {kMin, kMin, 0}, {-1, kMax, kMin}}) {
    EXPECT_EQ(difference_ns(a, b), expected) << a << " - " << b;
  }
  for (const auto& [seconds, expected] :
       {std::pair{0.5, int64_t{500'000'000}}, {-0.5, -500'000'000}, {1e-10, 0}, {4.1, 4'100'000'000}, {kNaN, 0},
        {1e300, kMax}, {-1e300, kMin}, {9.3e9, kMax}, {-9.2233720368547758e9, kMin}}) {
    EXPECT_EQ(ns_from_seconds(seconds), expected) << seconds;
  }
}

// Near both ends of the range every stamp difference saturates (run under UBSan in CI).
TEST(Stamps, NearTheEndsOfTheRange) {
  for (const int64_t t0 : {kMax - 300 * kMs, kMin + 1}) {
    FusionCore core(one_imu_config());
    initialise(core, t0);
    int64_t t = t0;
    for (int i = 0; i < 40 && t <= kMax - 5 * kMs; ++i) {
      t += 5 * kMs;
      imu_at(core, t);
      imu_at(core, t, "imu2");
      ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", t - 3 * kMs, planar_pose(0, 0, 0))));
      (void)core.maybe_publish();
    }
    // From near kMin the step to kMax is a clock jump: followed once three inputs agree on it.
    imu_at(core, kMax);
    imu_at(core, kMax, "imu2");
    ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", kMax, planar_pose(0, 0, 0))));
    EXPECT_TRUE(core.maybe_publish().has_value()) << t0;
    EXPECT_TRUE(core.filter().state.position.allFinite());
    EXPECT_EQ(core.counters().too_late, 0u);
    EXPECT_GT(core.counters().replayed, 30u);
    imu_at(core, kMin);
    ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", kMin, planar_pose(0, 0, 0))));
    EXPECT_GE(core.counters().too_late, 2u);
  }
  // The longest possible span keeps everything; the publish period test saturates.
  FusionCore core(one_imu_config(1e300));
  initialise(core, kMin);
  imu_at(core, kMin + 5 * kMs);
  imu_at(core, -1);
  EXPECT_EQ(core.buffer().size(), 3u);
  EXPECT_TRUE(core.maybe_publish().has_value());
}

// Hostile IMU streams (200 Hz from t = 1 s): each case replaces sample k by its own; the engine ends up
// publishing finite estimates of the newest time, with what it refused or repaired counted.
TEST(Replay, HostileStreamsRecover) {
  constexpr int64_t kHour = 3'600'000'000'000;
  struct Case {
    const char* name;
    int samples;
    std::function<std::pair<int64_t, double>(int k, int64_t t)> stamp_and_accel_x;
    Counters expected;  // held_back, buffer_overflow, reinitialized and too_late are compared
  };
  const std::vector<Case> cases = {
      {"one stamp an hour ahead", 400, [](int k, int64_t t) { return std::pair{k == 100 ? t + kHour : t, 0.0}; },
       {.too_late = 0, .held_back = 1}},
      {"a recording resumed an hour later", 400, [](int k, int64_t t) { return std::pair{k >= 100 ? t + kHour : t, 0.0}; },
       {.held_back = 3}},
      {"constant stamps", 12'400, [](int k, int64_t t) { return std::pair{k < 12'000 ? 1000 * kMs : t, 0.0}; },
       {.held_back = 3, .buffer_overflow = 12'000 - kMaxReplayEvents}},
      {"an overflowing sample", 400, [](int k, int64_t t) { return std::pair{t, k == 100 ? 1e300 : 0.0}; },
       {.reinitialized = 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OdometryFusionConfig config;
    config.imus = {make_imu("imu")};
    FusionCore core(config);
    std::optional<OdometryEstimate> last;
    for (int k = 0; k < c.samples; ++k) {
      const auto [t, accel_x] = c.stamp_and_accel_x(k, 1000 * kMs + 5 * kMs * k);
      ASSERT_FALSE(core.handle_imu(make_sample("imu", t, Vector3d::Zero(), Vector3d(accel_x, 0, 9.8)), Isometry()));
      if (auto out = core.maybe_publish()) last = out;
    }
    ASSERT_TRUE(last.has_value());
    EXPECT_TRUE(last->pose.usable());
    EXPECT_GE(last->timestamp_ns, core.buffer().back().timestamp_ns - 1000 * kMs);
    const Counters& n = core.counters();
    EXPECT_EQ(std::tie(n.too_late, n.held_back, n.buffer_overflow, n.reinitialized),
              std::tie(c.expected.too_late, c.expected.held_back, c.expected.buffer_overflow, c.expected.reinitialized));
  }
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
