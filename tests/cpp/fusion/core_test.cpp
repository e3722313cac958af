// FusionCore: stillness initialisation, non-finite samples, lever arm, sources on the filter and blend
// paths, publishing and the counter report.
#include "fusion_test_util.hpp"
#include "odometry_fusion/state_layout.hpp"

#include <cmath>
#include <functional>
#include <limits>

namespace velk_slam::odometry_fusion {
namespace {

using Eigen::Matrix3d;
using Eigen::Quaterniond;
using Eigen::Vector3d;
using test::make_estimate;
using test::make_imu;
using test::make_sample;
using test::make_source;
using test::planar_pose;

constexpr int64_t kMs = 1'000'000;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

Isometry mount(const Vector3d& r, const Quaterniond& q) {
  Isometry iso;
  iso.translation = r;
  iso.rotation = q;
  return iso;
}

// At rest on a slope: the base's specific force is g·u. The IMU, mounted rotated and off-centre, reads
// it with the centripetal term of a small constant rate added, in its own axes.
TEST(ImuInit, AttitudeAndBiasesFromStillSamples) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu", 50)};
  FusionCore core(config);
  const Quaterniond rm(Eigen::AngleAxisd(0.8, Vector3d(1, 2, 3).normalized()));
  const Vector3d r(0.3, -0.2, 0.1);
  const Vector3d omega(0.01, 0.0, 0.02);
  const Vector3d u = Vector3d(0.2, -0.1, 1.0).normalized();
  const double g_true = 9.81;
  const Vector3d f_base = g_true * u + omega.cross(omega.cross(r));
  const Matrix3d to_imu = rm.toRotationMatrix().transpose();
  for (int i = 0; i < 50; ++i) {
    EXPECT_FALSE(core.initialized()) << i;
    ASSERT_FALSE(core.handle_imu(make_sample("imu", 1000 * kMs + i * 5 * kMs, to_imu * omega, to_imu * f_base), mount(r, rm)));
  }
  ASSERT_TRUE(core.initialized());
  const FilterState& x = core.filter().state;
  EXPECT_LT((rotate_vector(x.orientation, u) - Vector3d::UnitZ()).norm(), 1e-12);
  EXPECT_LT(std::abs(x.orientation.z()), 1e-15);  // the axis is horizontal: no yaw invented
  EXPECT_LT((x.biases[0].gyro - omega).norm(), 1e-12);
  EXPECT_LT((x.biases[0].accel - (g_true - 9.8) * u).norm(), 1e-12);
  EXPECT_EQ(core.counters().imu_samples, 0u);
  EXPECT_EQ(core.buffer().size(), 1u);
}

TEST(ImuInit, DegenerateDirectionsAndCollectionRules) {
  // Along +z the attitude is the identity; upside down (along −z) a half turn about x maps gravity onto +z.
  struct Case {
    Vector3d force;
    Quaterniond attitude;
    Vector3d accel_bias;
  };
  for (const Case& c : {Case{{0, 0, 9.9}, Quaterniond::Identity(), {0, 0, 9.9 - 9.8}},
                        Case{{0, 0, -9.9}, Quaterniond(0, 1, 0, 0), {0, 0, 9.8 - 9.9}}}) {
    OdometryFusionConfig config;
    config.imus = {make_imu("imu", 0)};  // below one acts as one
    FusionCore core(config);
    ASSERT_FALSE(core.handle_imu(make_sample("imu", 7, Vector3d::Zero(), c.force), Isometry()));
    ASSERT_TRUE(core.initialized());
    EXPECT_TRUE(core.filter().state.orientation.coeffs() == c.attitude.coeffs());
    EXPECT_LT((core.filter().state.biases[0].accel - c.accel_bias).norm(), 1e-12);
  }

  // Two IMUs: a fast sample of either restarts both collections; a rate exactly at the limit is still.
  OdometryFusionConfig config;
  config.imus = {make_imu("a", 2), make_imu("b", 1)};
  config.imus[0].init_gyro_limit = 0.1;
  FusionCore core(config);
  const Vector3d g(0, 0, 9.8);
  auto feed = [&](const char* frame, int64_t t, const Vector3d& w) {
    ASSERT_FALSE(core.handle_imu(make_sample(frame, t, w, g), Isometry()));
  };
  feed("a", 1, Vector3d::Zero());
  feed("a", 2, Vector3d::Zero());
  feed("b", 3, Vector3d(0.5, 0, 0));  // b's own limit is 0.05
  feed("b", 4, Vector3d::Zero());
  EXPECT_FALSE(core.initialized());
  feed("a", 5, Vector3d(0.1, 0, 0));
  EXPECT_FALSE(core.initialized());
  feed("a", 6, Vector3d(0.0, 0.1, 0));
  ASSERT_TRUE(core.initialized());
  EXPECT_LT((core.filter().state.biases[0].gyro - Vector3d(0.05, 0.05, 0)).norm(), 1e-15);
}

TEST(ImuInit, ConfigRefusalOnEveryCallBeforeInit) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu"), make_imu("imu")};
  FusionCore core(config);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(core.handle_imu(make_sample("imu", i + 1, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()),
              "two `imus` entries share frame_id \"imu\"");
    EXPECT_EQ(core.handle_imu(make_sample("imu", i + 1, Vector3d(kNaN, 0, 0), Vector3d(0, 0, 9.8)), Isometry()),
              "two `imus` entries share frame_id \"imu\"");
  }
  // A sample of any frame reports the refusal: an entry without a frame would otherwise match nothing.
  EXPECT_EQ(core.handle_imu(make_sample("other", 9, Vector3d::Zero(), Vector3d::Zero()), Isometry()),
            "two `imus` entries share frame_id \"imu\"");
  EXPECT_FALSE(core.initialized());
  EXPECT_EQ(core.counters().imu_samples + core.counters().non_finite_imu, 0u);

  OdometryFusionConfig valid;
  valid.imus = {make_imu("imu")};
  FusionCore fine(valid);
  EXPECT_FALSE(fine.handle_imu(make_sample("other", 9, Vector3d::Zero(), Vector3d::Zero()), Isometry()));
  EXPECT_FALSE(fine.initialized());
  EXPECT_EQ(fine.counters().imu_samples + fine.counters().non_finite_imu, 0u);
}

// A NaN or infinity anywhere in a sample or its mount drops the sample before it reaches the still-sample
// means or the replay buffer.
TEST(ImuInit, NonFiniteSamplesDropped) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu", 2)};
  FusionCore core(config);
  const Vector3d g(0, 0, 9.8);
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 1 * kMs, Vector3d(0.01, 0, 0), g), Isometry()));
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 2 * kMs, Vector3d(kNaN, 0, 0), g), Isometry()));
  EXPECT_FALSE(core.initialized());
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 3 * kMs, Vector3d(0.03, 0, 0), g), Isometry()));
  ASSERT_TRUE(core.initialized());
  EXPECT_LT((core.filter().state.biases[0].gyro - Vector3d(0.02, 0, 0)).norm(), 1e-15);

  const std::vector<std::pair<ImuSample, Isometry>> bad = {
      {make_sample("imu", 4 * kMs, Vector3d::Zero(), Vector3d(0, kInf, 9.8)), Isometry()},
      {make_sample("imu", 5 * kMs, Vector3d::Zero(), g), mount(Vector3d(kNaN, 0, 0), Quaterniond::Identity())},
      {make_sample("imu", 6 * kMs, Vector3d::Zero(), g), mount(Vector3d::Zero(), Quaterniond(kNaN, 0, 0, 0))},
      {make_sample("imu", 7 * kMs, Vector3d(1e300, 0, 0), g), mount(Vector3d(0, 1e300, 0), Quaterniond::Identity())},
  };
  for (const auto& [sample, transform] : bad) {
    ASSERT_FALSE(core.handle_imu(sample, transform));
  }
  EXPECT_EQ(core.counters().non_finite_imu, 5u);
  EXPECT_EQ(core.counters().imu_samples, 0u);
  EXPECT_EQ(core.buffer().size(), 1u);
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 20 * kMs, Vector3d::Zero(), g), Isometry()));
  const auto published = core.maybe_publish();
  ASSERT_TRUE(published.has_value());
  EXPECT_TRUE(published->pose.translation.allFinite() && published->twist_covariance.allFinite());
}

// The base spins up about z (ω = β t) around its origin; an IMU 0.5 m out along x feels centripetal and
// tangential acceleration on top of gravity. The corrected sample is gravity alone.
TEST(ImuHandling, LeverArmWithAngularAcceleration) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu")};
  FusionCore core(config);
  const Vector3d r(0.5, 0.0, 0.0);
  const double beta = 0.2;
  const Vector3d g(0, 0, 9.8);
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 1000 * kMs, Vector3d::Zero(), g), mount(r, Quaterniond::Identity())));
  for (int i = 1; i <= 200; ++i) {
    const Vector3d omega(0, 0, beta * i * 0.005);
    const Vector3d alpha(0, 0, beta);
    const Vector3d f_imu = g + omega.cross(omega.cross(r)) + alpha.cross(r);
    ASSERT_FALSE(core.handle_imu(make_sample("imu", 1000 * kMs + i * 5 * kMs, omega, f_imu), mount(r, Quaterniond::Identity())));
  }
  const auto& last = std::get<ImuInput>(core.buffer().back().input);
  EXPECT_LT((last.accel - g).norm(), 1e-6);
  EXPECT_LT((last.omega - Vector3d(0, 0, beta * 200 * 0.005)).norm(), 1e-12);
}

// A robot accelerating along x at 0.5 m/s²; wheel odometry reports the true pose and speed at 50 Hz.
struct DriveResult {
  uint64_t gated_before = 0;
  uint64_t gated_after_outlier = 0;
  uint64_t gated_end = 0;
  double final_error = 0;
};

DriveResult drive_with_outlier(bool with_outlier) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu")};
  config.odom_sources = {make_source("odom", "wheel", 1e-4, 1e-3)};
  FusionCore core(config);
  const int64_t t0 = 1000 * kMs;
  const Vector3d still(0, 0, 9.8);
  EXPECT_FALSE(core.handle_imu(make_sample("imu", t0, Vector3d::Zero(), still), Isometry()));
  DriveResult result;
  for (int i = 1; i <= 800; ++i) {
    const int64_t t = t0 + i * 5 * kMs;
    const double s = i * 0.005;
    EXPECT_FALSE(core.handle_imu(make_sample("imu", t, Vector3d::Zero(), Vector3d(0.5, 0, 9.8)), Isometry()));
    if (i % 4 == 0) {
      double x = 0.25 * s * s;
      if (with_outlier && i == 400) {
        x += 3.0;
      }
      EXPECT_FALSE(core.handle_source(make_estimate("odom", "wheel", t, planar_pose(x, 0, 0), Vector3d(0.5 * s, 0, 0))));
    }
    if (i == 396) {
      result.gated_before = core.counters().gated;
    }
    if (i == 404) {
      result.gated_after_outlier = core.counters().gated;
    }
  }
  result.gated_end = core.counters().gated;
  result.final_error = std::abs(core.filter().state.position.x() - 0.25 * 4.0 * 4.0);
  return result;
}

// One outlier pose is gated twice (the step into it and the step out of it both carry the jump) and the
// source is then trusted again; it is not locked out while the robot keeps moving.
TEST(Sources, OneOutlierDoesNotLockTheSourceOut) {
  const DriveResult clean = drive_with_outlier(false);
  EXPECT_EQ(clean.gated_end, 0u);
  EXPECT_LT(clean.final_error, 0.01);
  const DriveResult spoiled = drive_with_outlier(true);
  EXPECT_EQ(spoiled.gated_before, 0u);
  EXPECT_EQ(spoiled.gated_after_outlier, 2u);
  EXPECT_EQ(spoiled.gated_end, 2u);
  EXPECT_LT(spoiled.final_error, 0.01);
}

// A source whose estimate of t = 2 s arrives after the one of t = 2.02 s (middleware reordering): the late
// pose is left out instead of producing a delta that runs backwards in time, so nothing is gated and the
// estimate ends where in-order delivery without that pose ends.
TEST(Sources, PoseOlderThanTheSourcesNewestIsLeftOut) {
  auto drive = [](bool reorder, bool skip) {
    OdometryFusionConfig config;
    config.imus = {make_imu("imu")};
    config.odom_sources = {make_source("odom", "wheel", 1e-4, 0.0)};
    auto core = std::make_unique<FusionCore>(config);
    const int64_t t0 = 1000 * kMs;
    EXPECT_FALSE(core->handle_imu(make_sample("imu", t0, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()));
    std::optional<OdometryEstimate> held;
    for (int i = 1; i <= 800; ++i) {
      const int64_t t = t0 + i * 5 * kMs;
      const double s = i * 0.005;
      EXPECT_FALSE(core->handle_imu(make_sample("imu", t, Vector3d::Zero(), Vector3d(0.5, 0, 9.8)), Isometry()));
      if (i % 4 != 0) continue;
      const OdometryEstimate e = make_estimate("odom", "wheel", t, planar_pose(0.25 * s * s, 0, 0));
      if (i == 400) {
        if (reorder) held = e;
        if (reorder || skip) continue;
      }
      EXPECT_FALSE(core->handle_source(e));
      if (held && i == 404) {
        EXPECT_FALSE(core->handle_source(*held));
        held.reset();
      }
    }
    return core;
  };
  const auto late = drive(true, false);
  const auto without = drive(false, true);
  EXPECT_EQ(late->counters().gated, 0u);
  EXPECT_EQ(late->counters().stale_poses, 1u);
  EXPECT_EQ(without->counters().stale_poses, 0u);
  EXPECT_NEAR(late->filter().state.position.x(), 4.0, 0.01);
  EXPECT_LT((late->filter().state.position - without->filter().state.position).norm(), 1e-9);
}

// Runs a short drive with one IMU and one source; `edit` adjusts the configuration and every estimate.
FilterState run_source(const std::function<void(SourceConfig&)>& configure,
                       const std::function<void(OdometryEstimate&)>& edit, FusionCore** keep = nullptr) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu")};
  config.odom_sources = {make_source("odom", "wheel", 1e-3, 1e-2)};
  configure(config.odom_sources[0]);
  static std::unique_ptr<FusionCore> last;
  last = std::make_unique<FusionCore>(config);
  FusionCore& core = *last;
  EXPECT_FALSE(core.handle_imu(make_sample("imu", 1000 * kMs, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()));
  for (int i = 1; i <= 20; ++i) {
    const int64_t t = 1000 * kMs + i * 10 * kMs;
    EXPECT_FALSE(core.handle_imu(make_sample("imu", t, Vector3d(0, 0, 0.1), Vector3d(0.2, 0, 9.8)), Isometry()));
    OdometryEstimate e = make_estimate("odom", "wheel", t, planar_pose(0.001 * i * i, 0, 0.001 * i),
                                       Vector3d(0.3, 0.01, 0), Vector3d(0, 0, 0.1));
    edit(e);
    EXPECT_FALSE(core.handle_source(e));
  }
  if (keep != nullptr) {
    *keep = &core;
  }
  return core.filter().state;
}

TEST(Sources, EffectiveVariancesAndUnusableComponents) {
  const auto keep_config = [](SourceConfig&) {};
  const auto keep_estimate = [](OdometryEstimate&) {};
  // A NaN twist component adds no row: the same as not fusing that component.
  const FilterState nan_twist = run_source(keep_config, [](OdometryEstimate& e) { e.twist_linear.x() = kNaN; });
  const FilterState no_vx = run_source([](SourceConfig& s) { s.twist_variances[0] = 0.0; }, keep_estimate);
  EXPECT_TRUE(test::same_state(nan_twist, no_vx));
  EXPECT_TRUE(nan_twist.position.allFinite());
  // −1 takes the estimate's diagonal element.
  const FilterState from_covariance = run_source([](SourceConfig& s) { s.twist_variances[1] = -1.0; },
                                                 [](OdometryEstimate& e) { e.twist_covariance(1, 1) = 0.02; });
  const FilterState explicit_variance = run_source([](SourceConfig& s) { s.twist_variances[1] = 0.02; }, keep_estimate);
  EXPECT_TRUE(test::same_state(from_covariance, explicit_variance));
  // A NaN or negative diagonal behind −1 disables the component.
  const FilterState nan_diagonal = run_source([](SourceConfig& s) { s.pose_variances[5] = -1.0; },
                                              [](OdometryEstimate& e) { e.pose_covariance(5, 5) = kNaN; });
  const FilterState no_yaw = run_source([](SourceConfig& s) { s.pose_variances[5] = 0.0; }, keep_estimate);
  EXPECT_TRUE(test::same_state(nan_diagonal, no_yaw));
  // A non-finite pose gives no pose rows but its twist still counts.
  FusionCore* core = nullptr;
  const FilterState twist_only =
      run_source(keep_config, [](OdometryEstimate& e) { e.pose.translation.y() = kInf; }, &core);
  EXPECT_FALSE(core->core_state().anchors[0].has_value());
  const FilterState no_pose = run_source([](SourceConfig& s) { s.pose_variances.fill(0.0); }, keep_estimate);
  EXPECT_TRUE(test::same_state(twist_only, no_pose));
  EXPECT_GT(twist_only.velocity.x(), 0.1);
}

// Without IMUs the poses are blended by inverse-variance weight among the sources heard in the last 0.5 s.
TEST(Sources, BlendPathTwoSources) {
  OdometryFusionConfig config;
  config.odom_sources = {make_source("odom", "a", 0.01, 0.0), make_source("odom", "b", 0.01, 0.0)};
  FusionCore core(config);
  auto send = [&](const char* child, int64_t t_ms, double x) {
    ASSERT_FALSE(core.handle_source(make_estimate("odom", child, t_ms * kMs, planar_pose(x, 0, 0))));
  };
  // An estimate of an unknown pair does not start the engine.
  ASSERT_FALSE(core.handle_source(make_estimate("odom", "c", 999 * kMs, planar_pose(0, 0, 0))));
  EXPECT_FALSE(core.initialized());
  send("a", 1000, 0.0);
  send("b", 1000, 0.0);
  EXPECT_DOUBLE_EQ(core.filter().state.position.x(), 0.0);
  send("a", 1020, 0.1);  // both active: half of a's step
  EXPECT_NEAR(core.filter().state.position.x(), 0.05, 1e-15);
  send("b", 1020, 0.1);  // and half of b's, from the pose a left
  EXPECT_NEAR(core.filter().state.position.x(), 0.1, 1e-15);
  send("a", 1040, 0.2);
  EXPECT_NEAR(core.filter().state.position.x(), 0.15, 1e-15);
  // b silent for almost a second: its step starts from its own anchor (0.1), with full weight.
  send("b", 2000, 1.1);
  EXPECT_NEAR(core.filter().state.position.x(), 1.1, 1e-12);
  EXPECT_EQ(core.counters().measurements, 6u);

  const auto published = core.maybe_publish();
  ASSERT_TRUE(published.has_value());
  EXPECT_TRUE(published->twist_linear.isZero(0.0));
  EXPECT_TRUE(published->twist_angular.isZero(0.0));
  EXPECT_TRUE((published->twist_covariance.bottomRightCorner(3, 3).isZero(0.0)));
}

TEST(Sources, BlendPathChecksConfigFirst) {
  OdometryFusionConfig config;
  config.odom_sources = {make_source("odom", " ", 0.01, 0.0)};
  FusionCore core(config);
  EXPECT_EQ(core.handle_source(make_estimate("odom", " ", 1, Isometry())),
            "an `odom_sources` entry needs both parent_frame_id and child_frame_id set");
  EXPECT_FALSE(core.initialized());
  // With IMUs configured, estimates before initialisation are ignored and not counted.
  config.odom_sources[0].child_frame_id = "wheel";
  config.imus = {make_imu("imu")};
  FusionCore with_imu(config);
  EXPECT_FALSE(with_imu.handle_source(make_estimate("odom", "wheel", 1, Isometry())));
  EXPECT_EQ(with_imu.counters().measurements, 0u);
}

TEST(Publish, RateOnTheDataClock) {
  struct Case {
    double rate;
    int per_sample_calls;
    int expected;
  };
  // 300 samples 10 ms apart after initialisation, 3 s of data.
  const std::vector<Case> cases = {{0.0, 1, 3},   {-5.0, 1, 3},   {kNaN, 1, 3},    {100.0, 1, 300},
                                   {100.0, 2, 300}, {2e9, 2, 600}, {kInf, 2, 600}, {30.0, 1, 75}};
  for (const Case& c : cases) {
    OdometryFusionConfig config;
    config.imus = {make_imu("imu")};
    config.publish_rate = c.rate;
    FusionCore core(config);
    EXPECT_FALSE(core.maybe_publish().has_value());
    ASSERT_FALSE(core.handle_imu(make_sample("imu", 1000 * kMs, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()));
    EXPECT_EQ(core.maybe_publish().has_value(), c.rate > 1e9) << c.rate;
    int published = 0;
    for (int i = 1; i <= 300; ++i) {
      ASSERT_FALSE(core.handle_imu(make_sample("imu", 1000 * kMs + i * 10 * kMs, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()));
      for (int call = 0; call < c.per_sample_calls; ++call) {
        published += core.maybe_publish().has_value() ? 1 : 0;
      }
    }
    EXPECT_EQ(published, c.expected) << c.rate;
  }
}

TEST(Publish, ContentAndHoldBack) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu"), make_imu("imu2")};
  config.odom_frame_id = "map";
  config.output_frame_id = "robot";
  FusionCore core(config);
  const Quaterniond tilt(Eigen::AngleAxisd(0.3, Vector3d(1, 1, 0).normalized()));
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 1000 * kMs, Vector3d::Zero(), tilt.conjugate() * Vector3d(0, 0, 9.8)), Isometry()));
  ASSERT_FALSE(core.handle_imu(make_sample("imu2", 1000 * kMs, Vector3d::Zero(), tilt.conjugate() * Vector3d(0, 0, 9.8)), Isometry()));
  for (int i = 1; i <= 3; ++i) {
    ASSERT_FALSE(core.handle_imu(make_sample("imu2", 1000 * kMs + i * 5 * kMs, Vector3d(0.1, 0.2, 0.3), Vector3d(1, 2, 9.8)), Isometry()));
  }
  const auto out = core.maybe_publish();
  ASSERT_TRUE(out.has_value());
  const FilterState& x = core.filter().state;
  const Eigen::MatrixXd& p = x.covariance;
  EXPECT_EQ(out->frame_id, "map");
  EXPECT_EQ(out->child_frame_id, "robot");
  EXPECT_EQ(out->timestamp_ns, 1015 * kMs);
  const int m[6] = {0, 1, 2, 6, 7, 8};
  for (int i = 0; i < 6; ++i) {
    for (int j = 0; j < 6; ++j) {
      EXPECT_EQ(out->pose_covariance(i, j), p(m[i], m[j]));
    }
  }
  const Matrix3d r = x.orientation.toRotationMatrix();
  const Matrix3d twist_velocity = out->twist_covariance.topLeftCorner<3, 3>();
  EXPECT_TRUE(twist_velocity.isApprox(r.transpose() * p.block<3, 3>(3, 3) * r, 1e-12));
  const Matrix3d twist_rate = out->twist_covariance.bottomRightCorner<3, 3>();
  EXPECT_TRUE(twist_rate == p.block(layout::gyro_bias(1), layout::gyro_bias(1), 3, 3));
  EXPECT_TRUE((out->twist_covariance.topRightCorner(3, 3).isZero(0.0)));
  EXPECT_TRUE(out->twist_linear.isApprox(r.transpose() * x.velocity, 1e-12));
  EXPECT_TRUE(out->twist_angular == Vector3d(0.1, 0.2, 0.3) - x.biases[1].gyro);

  // Farther than max_position_m: held back, and the next attempt waits a full period.
  OdometryFusionConfig bounded;
  bounded.odom_sources = {make_source("odom", "wheel", 0.01, 0.0)};
  bounded.max_position_m = 0.5;
  FusionCore far(bounded);
  ASSERT_FALSE(far.handle_source(make_estimate("odom", "wheel", 1000 * kMs, planar_pose(0, 0, 0))));
  ASSERT_FALSE(far.handle_source(make_estimate("odom", "wheel", 1020 * kMs, planar_pose(1.0, 0, 0))));
  EXPECT_FALSE(far.maybe_publish().has_value());
  ASSERT_FALSE(far.handle_source(make_estimate("odom", "wheel", 1025 * kMs, planar_pose(0.0, 0, 0))));
  EXPECT_FALSE(far.maybe_publish().has_value());
  ASSERT_FALSE(far.handle_source(make_estimate("odom", "wheel", 1030 * kMs, planar_pose(0.0, 0, 0))));
  EXPECT_TRUE(far.maybe_publish().has_value());

  // A NaN covariance with the gate off reaches the state, which is then never published.
  OdometryFusionConfig broken;
  broken.imus = {make_imu("imu")};
  broken.odom_sources = {make_source("odom", "wheel", 0.01, 0.01)};
  broken.initial_stds.velocity = kNaN;
  broken.outlier_rejection_allowed_variance = 0.0;
  FusionCore diverged(broken);
  ASSERT_FALSE(diverged.handle_imu(make_sample("imu", 1000 * kMs, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()));
  ASSERT_FALSE(diverged.handle_source(make_estimate("odom", "wheel", 1020 * kMs, planar_pose(0, 0, 0), Vector3d(1, 0, 0))));
  EXPECT_FALSE(diverged.filter().state.velocity.allFinite());
  EXPECT_FALSE(diverged.maybe_publish().has_value());
}

TEST(Report, CounterLineAndInitialisationEvent) {
  test::LogCapture capture("info");
  OdometryFusionConfig config;
  config.imus = {make_imu("imu")};
  config.odom_sources = {make_source("odom", "wheel", 0.01, 0.01)};
  FusionCore core(config);
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 1000 * kMs, Vector3d(0, 0, 0.04), Vector3d(0, 0, 9.8)), Isometry()));
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 1010 * kMs, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()));
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 1005 * kMs, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()));
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 900 * kMs, Vector3d::Zero(), Vector3d(0, 0, 9.8)), Isometry()));
  ASSERT_FALSE(core.handle_imu(make_sample("imu", 1020 * kMs, Vector3d(kNaN, 0, 0), Vector3d(0, 0, 9.8)), Isometry()));
  ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", 1010 * kMs, Isometry())));
  core.report();
  const auto init = capture.containing("odometry_fusion initialized");
  ASSERT_EQ(init.size(), 1u);
  EXPECT_NE(init[0].find("velk_slam::odometry_fusion: odometry_fusion initialized gyro_biases=[0.04] use_imu=true "
                         "init_mode=still"),
            std::string::npos)
      << init[0];
  const auto lines = capture.containing("odometry fusion counters");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(" INFO velk_slam::odometry_fusion: odometry fusion counters imu_samples=3 measurements=1 "
                          "gated=0 replayed=1 too_late=1 non_finite_imu=1 stale_poses=0 gate_resets=0 "
                          "init_deferred_gyro=0 init_deferred_accel=0 init_deferred_moving=0 held_back=0 "
                          "buffer_overflow=0 reinitialized=0\n"),
            std::string::npos)
      << lines[0];
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
