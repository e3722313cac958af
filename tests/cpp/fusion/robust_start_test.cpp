// FusionCore on hard starts and faults: absolute attitude sources, taking a shut-out source back,
// stillness that driving does not pass, and initialisation in motion.
#include "fusion_test_util.hpp"
#include "log.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <map>

namespace velk_slam::odometry_fusion {
namespace {

using Eigen::Quaterniond;
using Eigen::Vector3d;
using test::ImuReading;
using test::kStill;
using test::make_imu;
using test::make_source;

// Heading of a rotation about z alone.
double yaw(const Quaterniond& q) { return 2.0 * std::atan2(q.z(), q.w()); }

// IMU at 100 Hz, one source at 20 Hz.
void drive(FusionCore& core, int steps, const std::function<ImuReading(int)>& imu,
           const std::function<int(int, OdometryEstimate&)>& source) {
  test::drive(core, steps, 10 * test::kMs, 5, imu, source);
}

// At rest, a gyro bias of 0.01 rad/s on z appears after the still initialisation (0.29 rad of drift
// without a source). An attitude-only source reporting a heading of 1 rad +- 0.03 in its own frame:
// used as an absolute reference it holds the heading and the filter learns the bias, its frame set by
// the mean of its first poses, not by the first alone; used as changes it only slows the drift down.
TEST(AbsoluteSource, BoundsHeadingAndMakesTheGyroBiasObservable) {
  for (const bool differential : {true, false}) {
    OdometryFusionConfig config;
    config.imus = {make_imu("imu", 100)};
    config.odom_sources = {make_source("odom", "wheel", 0.0, 0.0)};
    config.odom_sources[0].pose_variances = {0, 0, 0, 1e-4, 1e-4, 1e-4};
    config.odom_sources[0].differential = differential;
    FusionCore core(config);
    drive(core, 3000, [](int i) { return ImuReading{Vector3d(0, 0, i > 150 ? 0.01 : 0.0), kStill}; },
          [](int i, OdometryEstimate& e) {
            e.pose = test::planar_pose(5.0, -2.0, i % 10 == 0 ? 1.03 : 0.97);
            return 0;
          });
    const FilterState& x = core.filter().state;
    if (differential) {
      EXPECT_GT(std::abs(yaw(x.orientation)), 0.1);
    } else {
      EXPECT_NEAR(yaw(core.core_state().odom_from_parent[0]->rotation), -1.0, 4e-3);
      EXPECT_LT(std::abs(yaw(x.orientation)), 0.005);
      EXPECT_NEAR(x.biases[0].gyro.z(), 0.01, 0.001);
    }
  }
}

// At rest with wheel speed rows. One absurd IMU sample at t = 3 s makes the IMU's velocity disagree with
// the wheels for good: the gate refuses every later wheel update until the source is taken back, just
// after gate_recovery_seconds, with the velocity reset and the displacement of the refused span undone.
// Delivered late or in order, the outcome is the same. A single wheel outlier is refused and changes
// nothing: the state equals that of a run without the message.
TEST(GateRecovery, TakesAShutOutSourceBackAndRefusesATransientOutlier) {
  // spike: m/s² along x in the sample of step 200; wheel_400: the speed the wheel message of step 400
  // reports (NaN: no message); position_bound: final |position| below this, unless locked out.
  constexpr double kNone = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    double spike, recovery_s;
    bool late;
    double wheel_400;
    uint64_t resets;
    double position_bound;
  };
  const std::vector<Case> cases = {
      {"160 m/s²", 160, 3.0, false, 0, 1, 0.02},
      {"1000 m/s²", 1000, 3.0, false, 0, 1, 0.02},
      {"1000 m/s², late", 1000, 3.0, true, 0, 1, 0.02},
      {"recovery off", 1000, 0.0, false, 0, 0, 10.0},
      {"transient outlier", 0, 3.0, false, 2.0, 0, 1e-9},
      {"without the outlier", 0, 3.0, false, kNone, 0, 1e-9},
  };
  // Every warning from here on. The subscriber stays installed: it cannot be removed without leaking it.
  log::reset_for_tests();
  const auto lines = std::make_shared<std::vector<std::string>>();
  std::string error;
  ASSERT_TRUE(log::install(*log::parse_filter("warn", &error), false,
                           [lines](std::string_view line) { lines->emplace_back(line); }, &error))
      << error;
  const auto logged = [&](std::string_view text) {
    return static_cast<uint64_t>(std::count_if(lines->begin(), lines->end(), [&](const std::string& line) {
      return line.find(text) != std::string::npos;
    }));
  };
  std::map<std::string, FilterState> end;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const uint64_t before = logged("odometry source taken back");
    OdometryFusionConfig config;
    config.imus = {make_imu("imu")};
    config.odom_sources = {make_source("odom", "wheel", 0.0, 0.0)};
    config.odom_sources[0].twist_variances = {1e-4, 1e-4, 1e-4, 0, 0, 0};
    config.gate_recovery_seconds = c.recovery_s;
    FusionCore core(config);
    int reset_step = -1;
    const auto imu = [&](int i) {
      if (core.counters().gate_resets > 0 && reset_step < 0) reset_step = i - 1;
      return ImuReading{Vector3d::Zero(), Vector3d(i == 200 ? c.spike : 0.0, 0, 9.8)};
    };
    drive(core, 1000, imu, [&](int i, OdometryEstimate& e) {
      e.twist_linear.x() = i == 400 ? c.wheel_400 : 0.0;
      return std::isnan(e.twist_linear.x()) ? -1 : c.late && i % 10 == 0 && i > 0 ? 1 : 0;
    });
    const FilterState& x = core.filter().state;
    EXPECT_EQ(core.counters().gate_resets, c.resets);
    // Logged once per reset, replays included, naming the source and how long it was refused.
    EXPECT_EQ(logged("odometry source taken back") - before, c.resets);
    EXPECT_EQ(logged("frame_id=odom child_frame_id=wheel refused=62 refused_seconds=3.05 gate_recovery_seconds=3.0") - before,
              c.resets);
    if (c.resets > 0) {
      // Taken back at the first wheel update (step 505) more than 3 s after the first refusal (step 200).
      EXPECT_EQ(reset_step, 505);
      EXPECT_LT(x.velocity.norm(), 0.01);
    }
    EXPECT_EQ(x.position.norm() < c.position_bound, c.resets > 0 || c.spike == 0);
    end[c.name] = x;
  }
  EXPECT_TRUE(test::same_state(end["1000 m/s²"], end["1000 m/s², late"]));
  // The outlier is refused (the only refusal) and leaves the state as a run without it.
  EXPECT_TRUE(test::same_state(end["transient outlier"], end["without the outlier"]));
}

// Stillness needs a quiet gyro, a steady accelerometer and no fused source twist reporting motion:
// shaking or driving straight at a steady speed holds the still initialisation back. Driving from the
// first sample on, on a slope, through a turn or while speeding up, the filter starts in motion once
// init_moving_after_seconds have passed, with the true tilt (the turn's centripetal and the speed-up's
// forward acceleration taken out of the specific force) and the wheels' velocity.
TEST(ImuInit, StillOnlyAtRestElseInMotion) {
  // shake: m/s², alternating along x; speed: m/s the wheels report at step 0 (twist fused unless its
  // variance is 0); pitch: rad; yaw_rate: rad/s about the base z axis; accel: m/s² along base x.
  struct Case {
    const char* name;
    double shake, speed, twist_variance, moving_after_s, pitch, yaw_rate, accel;
    int init_step;  // −1: never
  };
  const std::vector<Case> cases = {
      {"at rest, motors humming", 0.2, 0, 1e-4, 0, 0, 0, 0, 99},
      {"shaken", 1.0, 0, 1e-4, 0, 0, 0, 0, -1},
      {"driving straight", 0, 1.0, 1e-4, 0, 0, 0, 0, -1},
      {"driving straight, twist not fused", 0, 1.0, 0, 0, 0, 0, 0, 99},
      {"slope", 0, 1.5, 1e-4, 2, 0.1, 0, 0, 200},
      {"turn", 0, 1.5, 1e-4, 2, 0, 0.3, 0, 200},
      {"speeding up downhill", 0, 1.5, 1e-4, 2, -0.05, 0, 0.5, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OdometryFusionConfig config;
    config.imus = {make_imu("imu", 100)};
    config.odom_sources = {make_source("odom", "wheel", 0.0, 0.0)};
    config.odom_sources[0].twist_variances = {c.twist_variance, c.twist_variance, c.twist_variance, 0, 0, 0};
    config.init_moving_after_seconds = c.moving_after_s;
    FusionCore core(config);
    const Vector3d gravity_b = Quaterniond(Eigen::AngleAxisd(-c.pitch, Vector3d::UnitY())) * kStill;
    const auto speed = [&](int i) { return c.speed + c.accel * i * 0.01; };
    int init_step = -1;
    const auto imu = [&](int i) {
      if (core.initialized() && init_step < 0) init_step = i - 1;
      const Vector3d omega(0, 0, c.yaw_rate);
      const Vector3d shake(i % 2 ? c.shake : -c.shake, 0, 0);
      return ImuReading{omega, Vector3d(c.accel, 0, 0) + omega.cross(Vector3d(speed(i), 0, 0)) + gravity_b + shake};
    };
    drive(core, 300, imu, [&](int i, OdometryEstimate& e) {
      e.twist_linear.x() = speed(i);
      return 0;
    });
    EXPECT_EQ(init_step, c.init_step);
    EXPECT_EQ(core.counters().init_deferred_accel > 0, c.shake > 0.4);
    EXPECT_EQ(core.counters().init_deferred_moving > 0, c.speed > 0 && c.twist_variance > 0);
    if (c.moving_after_s > 0) {
      const FilterState& x = core.filter().state;
      EXPECT_LT((rotate_vector(x.orientation, gravity_b.normalized()) - Vector3d::UnitZ()).norm(), 2e-3);
      EXPECT_LT((x.velocity - speed(300) * rotate_vector(x.orientation, Vector3d::UnitX())).norm(), 0.05);
    }
  }
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
