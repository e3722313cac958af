// Replay buffer behaviour through FusionCore: placement of equal stamps, too-late drops, trimming,
// bit-exact replay equivalence, hostile streams and stamps at both ends of the int64 range.
#include "fusion_test_util.hpp"

#include <algorithm>
#include <functional>
#include <limits>
#include <random>
#include <tuple>
#include <variant>

namespace velk_slam::odometry_fusion {
namespace {

using namespace test;
using Eigen::Vector3d;

constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();

OdometryFusionConfig two_imu_config(double replay_seconds = 0.5) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu"), make_imu("imu2")};
  config.odom_sources = {make_source("odom", "wheel", 0.01, 0.01)};
  config.replay_buffer_seconds = replay_seconds;
  return config;
}

void imu_at(FusionCore& core, int64_t t, const std::string& frame = "imu") {
  ASSERT_FALSE(core.handle_imu(ImuSample{frame, t, Vector3d(0, 0, 0.1), kStill}, Isometry()));
}

// Both IMUs still at t0 initialise the core.
void initialise(FusionCore& core, int64_t t0) {
  for (const char* frame : {"imu", "imu2"}) {
    ASSERT_FALSE(core.handle_imu(ImuSample{frame, t0, Vector3d::Zero(), kStill}, Isometry()));
  }
  ASSERT_TRUE(core.initialized());
}

// (stamp in ms, IMU index or −1) of every event in the buffer.
std::vector<std::pair<int64_t, int>> events(const FusionCore& core) {
  std::vector<std::pair<int64_t, int>> out;
  for (std::size_t i = 0; i < core.buffer().size(); ++i) {
    const auto* imu = std::get_if<ImuInput>(&core.buffer()[i].input);
    out.emplace_back(core.buffer()[i].timestamp_ns / kMs, imu ? static_cast<int>(imu->imu) : -1);
  }
  return out;
}

// An event equal to the newest stamp is appended, nothing replayed; equal to an interior stamp, it goes
// after every event of that stamp. Equal to the oldest while newer events exist, or older, it is too late,
// though still counted as a sample or measurement. With the seed alone an equal stamp is kept.
TEST(Replay, PlacementOfEqualStampsAndTooLate) {
  FusionCore core(two_imu_config());
  initialise(core, 1000 * kMs);
  for (const auto& [t_ms, frame] : {std::pair{1010, "imu"}, {1020, "imu"}, {1020, "imu2"}, {1010, "imu2"}}) {
    imu_at(core, t_ms * kMs, frame);
  }
  EXPECT_EQ(events(core), (std::vector<std::pair<int64_t, int>>{{1000, -1}, {1010, 0}, {1010, 1}, {1020, 0}, {1020, 1}}));
  imu_at(core, 1000 * kMs);
  ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", 999 * kMs, planar_pose(0, 0, 0))));
  const Counters& n = core.counters();
  EXPECT_EQ(std::tuple(n.too_late, n.replayed, n.imu_samples, n.measurements, core.buffer().size()),
            std::tuple(2u, 1u, 5u, 1u, 5u));

  FusionCore seeded(two_imu_config());
  initialise(seeded, 1000 * kMs);
  imu_at(seeded, 999 * kMs);
  imu_at(seeded, 1000 * kMs, "imu2");
  EXPECT_EQ(std::pair(seeded.counters().too_late, seeded.buffer().size()), std::pair(1ul, 2ul));
}

// The buffer keeps replay_buffer_seconds behind the newest event, the event exactly at the cutoff included;
// 0 or NaN keeps the newest stamp's events, a negative span the newest event alone.
TEST(Replay, Trimming) {
  using Events = std::vector<std::pair<int64_t, int>>;
  const Events half_second = {{1500, 0}, {1600, 0}, {1700, 0}, {1800, 0}, {1900, 0}, {2000, 0}, {2000, 1}};
  const Events newest_stamp = {{2000, 0}, {2000, 1}}, newest = {{2000, 1}};
  for (const auto& [seconds, kept] : {std::pair{0.5, half_second}, {0.0, newest_stamp}, {-1.0, newest},
                                      {-1e300, newest}, {kNaN, newest_stamp}}) {
    FusionCore core(two_imu_config(seconds));
    initialise(core, 1000 * kMs);
    for (int64_t t = 1100; t <= 2000; t += 100) imu_at(core, t * kMs);
    imu_at(core, 2000 * kMs, "imu2");
    EXPECT_EQ(events(core), kept) << seconds;
  }
}

// A recorded turning drive from t0: IMU at 200 Hz with noise, wheel estimates (pose, speed) at 50 Hz
// stamped 1 ms after the IMU's.
using Input = std::variant<ImuSample, OdometryEstimate>;

std::vector<Input> record_drive(int64_t t0) {
  std::mt19937 rng(2024);
  std::normal_distribution<double> noise(0.0, 0.02);
  std::vector<Input> inputs;
  double x = 0, y = 0, yaw = 0;
  for (int i = 1; i <= 600; ++i) {
    const double t = i * 0.005, rate = 0.4 * std::sin(t), speed = 0.5 * t;
    const Vector3d gyro(noise(rng), noise(rng), rate + noise(rng));
    const Vector3d accel(0.5 + noise(rng), speed * rate + noise(rng), 9.8 + noise(rng));
    inputs.push_back(ImuSample{"imu", t0 + i * 5 * kMs, gyro, accel});
    yaw += rate * 0.005;
    x += speed * std::cos(yaw) * 0.005;
    y += speed * std::sin(yaw) * 0.005;
    if (i % 4 == 0) inputs.push_back(make_estimate("odom", "wheel", t0 + i * 5 * kMs + kMs, planar_pose(x, y, yaw), Vector3d(speed, 0, 0)));
  }
  return inputs;
}

// Starts the core still at t0, feeds the inputs and returns every number of the estimate it publishes.
Eigen::VectorXd feed(FusionCore& core, int64_t t0, const std::vector<Input>& inputs) {
  EXPECT_FALSE(core.handle_imu(ImuSample{"imu", t0, Vector3d::Zero(), kStill}, Isometry()));
  for (const Input& in : inputs) {
    const auto* sample = std::get_if<ImuSample>(&in);
    EXPECT_FALSE(sample ? core.handle_imu(*sample, Isometry()) : core.handle_source(std::get<OdometryEstimate>(in)));
  }
  const OdometryEstimate e = core.maybe_publish().value_or(OdometryEstimate{});
  return (Eigen::VectorXd(85) << e.pose.translation, e.pose.rotation.coeffs(), e.pose_covariance.reshaped(),
          e.twist_linear, e.twist_angular, e.twist_covariance.reshaped()).finished();
}

// Wheel estimates 120 ms late (in order among themselves) and every seventh IMU sample 40 ms late give the
// same bits as in-order delivery. The data clock may start anywhere, 0 and negative stamps included: a drive
// shifted in time gives the same bits as the first.
TEST(Replay, LateDeliveryIsBitIdenticalToInOrder) {
  OdometryFusionConfig config = two_imu_config();
  config.imus.resize(1);
  config.odom_sources[0].pose_variances = {0.01, 0.01, 1e-4, 1e-4, 1e-4, 0.001};
  config.odom_sources[0].twist_variances = {0.01, 0.01, 0.0, 0.0, 0.0, 0.01};
  config.per_dimension_error_variance = {0.0, 0.0, 0.01, 0.0, 0.0, 0.0};
  std::optional<Eigen::VectorXd> first;
  for (const int64_t t0 : {5000 * kMs, int64_t{0}, -3000 * kMs}) {
    SCOPED_TRACE(t0);
    const std::vector<Input> in_order = record_drive(t0);
    std::vector<std::pair<int64_t, std::size_t>> arrival;
    for (std::size_t i = 0; i < in_order.size(); ++i) {
      const auto* sample = std::get_if<ImuSample>(&in_order[i]);
      const int64_t delay = !sample ? 120 * kMs : (i % 7 == 0 ? 40 * kMs : 0);
      arrival.emplace_back((sample ? sample->timestamp_ns : std::get<OdometryEstimate>(in_order[i]).timestamp_ns) + delay, i);
    }
    std::sort(arrival.begin(), arrival.end());
    std::vector<Input> late;
    for (const auto& [t, i] : arrival) late.push_back(in_order[i]);

    FusionCore reference(config);
    FusionCore replayed(config);
    const Eigen::VectorXd a = feed(reference, t0, in_order);
    const Eigen::VectorXd b = feed(replayed, t0, late);
    EXPECT_GT(replayed.counters().replayed, 200u);
    EXPECT_EQ(replayed.counters().too_late, 0u);
    EXPECT_EQ(replayed.counters().gated, reference.counters().gated);
    EXPECT_TRUE(same_state(reference.filter().state, replayed.filter().state));
    EXPECT_TRUE(same_bits(a, b));
    EXPECT_TRUE(same_bits(a, first.value_or(a)));
    first = a;
    EXPECT_GT(a.head<3>().norm(), 0.5);  // the run moved: two idle filters would prove nothing
  }
}

// Near both ends of the range every stamp difference saturates (run under UBSan in CI). From near kMin
// the step to kMax is a clock jump, followed once three inputs agree on it.
TEST(Stamps, NearTheEndsOfTheRange) {
  for (const int64_t t0 : {kMax - 300 * kMs, kMin + 1}) {
    SCOPED_TRACE(t0);
    FusionCore core(two_imu_config());
    initialise(core, t0);
    const auto all_at = [&](int64_t t, int64_t source_t) {
      imu_at(core, t);
      imu_at(core, t, "imu2");
      ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", source_t, planar_pose(0, 0, 0))));
    };
    for (int i = 1; i <= 40; ++i) {
      all_at(t0 + i * 5 * kMs, t0 + i * 5 * kMs - 3 * kMs);
      (void)core.maybe_publish();
    }
    all_at(kMax, kMax);
    EXPECT_TRUE(core.maybe_publish().has_value() && core.filter().state.position.allFinite());
    EXPECT_EQ(core.counters().too_late, 0u);
    EXPECT_GT(core.counters().replayed, 30u);
    imu_at(core, kMin);
    ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", kMin, planar_pose(0, 0, 0))));
    EXPECT_GE(core.counters().too_late, 2u);
  }
}
// Hostile IMU streams (200 Hz from t = 1 s): each case replaces sample k by its own; the engine ends up
// publishing finite estimates of the newest time, with what it refused or repaired counted.
TEST(Replay, HostileStreamsRecover) {
  constexpr int64_t kHour = 3'600'000'000'000;
  // (name, samples, (stamp, accel x) of sample k at t, expected held_back, buffer_overflow, reinitialized, too_late)
  const std::vector<std::tuple<const char*, int, std::function<std::pair<int64_t, double>(int, int64_t)>, Counters>> cases = {
      {"one stamp an hour ahead", 400, [](int k, int64_t t) { return std::pair{k == 100 ? t + kHour : t, 0.0}; },
       {.too_late = 0, .held_back = 1}},
      {"a recording resumed an hour later", 400, [](int k, int64_t t) { return std::pair{k >= 100 ? t + kHour : t, 0.0}; },
       {.held_back = 3}},
      {"constant stamps", 12'400, [](int k, int64_t t) { return std::pair{k < 12'000 ? 1000 * kMs : t, 0.0}; },
       {.held_back = 3, .buffer_overflow = 12'000 - kMaxReplayEvents}},
      {"an overflowing sample", 400, [](int k, int64_t t) { return std::pair{t, k == 100 ? 1e300 : 0.0}; },
       {.reinitialized = 1}},
  };
  for (const auto& [name, samples, stamp_and_accel_x, expected] : cases) {
    SCOPED_TRACE(name);
    OdometryFusionConfig config;
    config.imus = {make_imu("imu")};
    FusionCore core(config);
    std::optional<OdometryEstimate> last;
    for (int k = 0; k < samples; ++k) {
      const auto [t, accel_x] = stamp_and_accel_x(k, 1000 * kMs + 5 * kMs * k);
      ASSERT_FALSE(core.handle_imu(ImuSample{"imu", t, Vector3d::Zero(), Vector3d(accel_x, 0, 9.8)}, Isometry()));
      if (auto out = core.maybe_publish()) last = out;
    }
    ASSERT_TRUE(last.has_value());
    EXPECT_TRUE(last->pose.usable());
    EXPECT_GE(last->timestamp_ns, core.buffer().back().timestamp_ns - 1000 * kMs);
    const Counters& n = core.counters();
    EXPECT_EQ(std::tie(n.too_late, n.held_back, n.buffer_overflow, n.reinitialized),
              std::tie(expected.too_late, expected.held_back, expected.buffer_overflow, expected.reinitialized));
  }
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
