// FusionCore: initialisation at rest and in motion, non-finite samples, lever arm, sources on the filter
// and blend paths, absolute sources, taking a shut-out source back, and publishing.
#include "fusion_test_util.hpp"
#include "log.hpp"
#include "odometry_fusion/state_layout.hpp"

#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <tuple>

namespace velk_slam::odometry_fusion {
namespace {

using namespace test;
using Eigen::Matrix3d;
using Eigen::Quaterniond;
using Eigen::Vector3d;

Isometry mount(const Vector3d& r, const Quaterniond& q = Quaterniond::Identity()) { return {q, r}; }

// Heading of a rotation about z alone.
double yaw(const Quaterniond& q) { return 2.0 * std::atan2(q.z(), q.w()); }

// An IMU mounted rotated and off-centre on a base that stands on a slope turning at a small constant rate:
// it reads g·u plus the centripetal term, in its own axes. The filter starts level with that rate as gyro
// bias. Then the base spins up about z and the tangential term joins in: once the filtered angular
// acceleration has settled, the samples the filter uses are the base's specific force, in base axes.
TEST(ImuInit, AttitudeAndBiasesFromStillSamples) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu", 50)};
  FusionCore core(config);
  const Isometry base_from_imu = mount(Vector3d(0.3, -0.2, 0.1), Quaterniond(Eigen::AngleAxisd(0.8, Vector3d(1, 2, 3).normalized())));
  const Vector3d& r = base_from_imu.translation;
  const Quaterniond to_imu = base_from_imu.rotation.conjugate();
  const Vector3d rate(0.01, 0.0, 0.02), alpha(0, 0, 0.2);  // rad/s; rad/s² from sample 50 on
  const Vector3d u = Vector3d(0.2, -0.1, 1.0).normalized();
  Vector3d omega;
  for (int i = 0; i < 250; ++i) {
    EXPECT_EQ(core.initialized(), i >= 50) << i;
    const Vector3d spin_up = i < 50 ? Vector3d::Zero() : alpha;
    omega = rate + spin_up * (i - 49) * 0.005;
    const Vector3d f_base = 9.81 * u + omega.cross(omega.cross(r)) + spin_up.cross(r);
    ASSERT_FALSE(core.handle_imu(ImuSample{"imu", 1000 * kMs + i * 5 * kMs, to_imu * omega, to_imu * f_base}, base_from_imu));
    if (i != 49) continue;
    ASSERT_TRUE(core.initialized());
    const FilterState& x = core.filter().state;
    EXPECT_LT((rotate_vector(x.orientation, u) - Vector3d::UnitZ()).norm(), 1e-12);
    EXPECT_LT(std::abs(x.orientation.z()), 1e-15);  // the axis is horizontal: no yaw invented
    EXPECT_LT((x.biases[0].gyro - rate).norm(), 1e-12);
    EXPECT_LT((x.biases[0].accel - (9.81 - 9.8) * u).norm(), 1e-12);
    EXPECT_EQ(std::pair(core.counters().imu_samples, core.buffer().size()), std::pair(0ul, 1ul));
  }
  const auto& last = std::get<ImuInput>(core.buffer().back().input);
  EXPECT_LT((last.accel - 9.81 * u).norm(), 1e-6);
  EXPECT_LT((last.omega - omega).norm(), 1e-12);
}

// Along +z the attitude is the identity; upside down (along −z) a half turn about x maps gravity onto +z.
// A force that cannot hold gravity (none configured, or under half of it) starts level, the force all
// bias. The gyro and accelerometer biases start with their own spreads when given, else with `bias`.
TEST(ImuInit, DegenerateDirections) {
  struct Case {
    Vector3d force;
    double gravity, gyro_bias_std;
    Quaterniond attitude;
    Vector3d accel_bias;
  };
  const Quaterniond level = Quaterniond::Identity();
  for (const Case& c : {Case{Vector3d(0, 0, 9.9), 9.8, -1.0, level, Vector3d(0, 0, 0.1)},
                        Case{Vector3d(0, 0, -9.9), 9.8, 0.002, Quaterniond(0, 1, 0, 0), Vector3d(0, 0, -0.1)},
                        Case{Vector3d(0.3, 0, 0.1), 0.0, -1.0, level, Vector3d(0.3, 0, 0.1)},
                        Case{Vector3d(0.3, 0, 0.1), 9.8, -1.0, level, Vector3d(0.3, 0, 0.1 - 9.8)}}) {
    OdometryFusionConfig config;
    config.imus = {make_imu("imu", 0)};  // below one acts as one
    config.initial_gravity_estimate = c.gravity;
    config.initial_stds.gyro_bias = c.gyro_bias_std;
    FusionCore core(config);
    ASSERT_FALSE(core.handle_imu(ImuSample{"imu", 7, Vector3d::Zero(), c.force}, Isometry()));
    ASSERT_TRUE(core.initialized());
    EXPECT_TRUE(core.filter().state.orientation.coeffs() == c.attitude.coeffs());
    EXPECT_LT((core.filter().state.biases[0].accel - c.accel_bias).norm(), 1e-12);
    const auto p = core.filter().state.covariance.diagonal();
    const double gyro_std = c.gyro_bias_std >= 0 ? c.gyro_bias_std : 0.01;
    EXPECT_EQ(p.segment<3>(layout::gyro_bias(0)), Vector3d::Constant(gyro_std * gyro_std));
    EXPECT_EQ(p.segment<3>(layout::accel_bias(0)), Vector3d::Constant(0.01 * 0.01));
  }
}

// Each IMU collects init_samples still samples, still meaning within its own init_gyro_limit (a rate exactly
// at the limit included); a fast sample of any IMU restarts every collection. A NaN or infinity anywhere in
// a sample or its mount drops the sample, counted, before it reaches the still-sample means or the replay
// buffer. Samples of unknown frames and source estimates before the IMUs start are ignored, uncounted.
TEST(ImuInit, CollectionRulesAndNonFiniteSamples) {
  OdometryFusionConfig config;
  config.imus = {make_imu("a", 2), make_imu("b", 1)};
  config.imus[0].init_gyro_limit = 0.1;
  config.odom_sources = {make_source("odom", "wheel", 0.01, 0.0)};
  FusionCore core(config);
  ASSERT_FALSE(core.handle_imu(ImuSample{"other", 0, Vector3d::Zero(), kStill}, Isometry()));
  ASSERT_FALSE(core.handle_source(make_estimate("odom", "wheel", 0, Isometry())));
  const std::vector<std::pair<const char*, Vector3d>> still = {
      {"a", Vector3d::Zero()}, {"a", Vector3d::Zero()}, {"b", Vector3d(0.07, 0, 0)},  // b's own limit is 0.05
      {"b", Vector3d::Zero()}, {"a", Vector3d(0.1, 0, 0)}, {"a", Vector3d(kNaN, 0, 0)}, {"a", Vector3d(0.0, 0.1, 0)}};
  for (std::size_t i = 0; i < still.size(); ++i) {
    EXPECT_FALSE(core.initialized()) << i;
    ASSERT_FALSE(core.handle_imu(ImuSample{still[i].first, static_cast<int64_t>(i + 1) * kMs, still[i].second, kStill}, Isometry()));
  }
  ASSERT_TRUE(core.initialized());
  EXPECT_LT((core.filter().state.biases[0].gyro - Vector3d(0.05, 0.05, 0)).norm(), 1e-15);
  const std::vector<std::pair<ImuSample, Isometry>> bad = {
      {ImuSample{"a", 10 * kMs, Vector3d::Zero(), Vector3d(0, kInf, 9.8)}, Isometry()},
      {ImuSample{"a", 11 * kMs, Vector3d::Zero(), kStill}, mount(Vector3d(kNaN, 0, 0))},
      {ImuSample{"a", 12 * kMs, Vector3d::Zero(), kStill}, mount(Vector3d::Zero(), Quaterniond(kNaN, 0, 0, 0))},
      {ImuSample{"a", 13 * kMs, Vector3d(1e300, 0, 0), kStill}, mount(Vector3d(0, 1e300, 0))},  // ω × r overflows
  };
  for (const auto& [sample, base_from_imu] : bad) ASSERT_FALSE(core.handle_imu(sample, base_from_imu));
  const Counters& n = core.counters();
  EXPECT_EQ(std::tuple(n.non_finite_imu, n.imu_samples, n.measurements, core.buffer().size()), std::tuple(5u, 0u, 0u, 1u));
  ASSERT_FALSE(core.handle_imu(ImuSample{"a", 20 * kMs, Vector3d::Zero(), kStill}, Isometry()));
  const auto published = core.maybe_publish();
  ASSERT_TRUE(published.has_value());
  EXPECT_TRUE(published->pose.translation.allFinite() && published->twist_covariance.allFinite());
}

// A robot accelerating along x at 0.5 m/s² for 4 s (IMU at 200 Hz); wheel odometry reports the true pose
// and speed at 50 Hz. The pose of t = 2 s (step 400) may be 3 m off, left out, or delivered after the one
// of t = 2.02 s.
enum class AtTwoSeconds { kTrue, kOutlier, kLeftOut, kLate };

std::unique_ptr<FusionCore> accelerate(AtTwoSeconds at_two, double twist_variance = 1e-3) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu")};
  config.odom_sources = {make_source("odom", "wheel", 1e-4, twist_variance)};
  auto core = std::make_unique<FusionCore>(config);
  const auto imu = [](int i) { return ImuReading{Vector3d::Zero(), i == 0 ? kStill : Vector3d(0.5, 0, 9.8)}; };
  drive(*core, 801, 5 * kMs, 4, imu, [&](int i, OdometryEstimate& e) {
    const double s = i * 0.005;
    e.pose = planar_pose(0.25 * s * s + (i == 400 && at_two == AtTwoSeconds::kOutlier ? 3.0 : 0.0), 0, 0);
    e.twist_linear.x() = 0.5 * s;
    if (i == 0 || (i == 400 && at_two == AtTwoSeconds::kLeftOut)) return -1;
    return i == 400 && at_two == AtTwoSeconds::kLate ? 4 : 0;
  });
  return core;
}

// One outlier pose is gated twice (the step into it and the step out of it both carry the jump) and the
// source is then trusted again: it is not locked out while the robot keeps moving. A pose arriving after a
// newer one of its source (middleware reordering) is left out instead of producing a delta that runs
// backwards in time: nothing is gated and the estimate ends where in-order delivery without that pose ends.
TEST(Sources, OneOutlierDoesNotLockTheSourceOutAndAnOlderPoseIsLeftOut) {
  for (const AtTwoSeconds at_two : {AtTwoSeconds::kTrue, AtTwoSeconds::kOutlier}) {
    const auto core = accelerate(at_two);
    EXPECT_EQ(core->counters().gated, at_two == AtTwoSeconds::kOutlier ? 2u : 0u);
    EXPECT_NEAR(core->filter().state.position.x(), 4.0, 0.01);
  }
  const auto late = accelerate(AtTwoSeconds::kLate, 0.0);
  const auto without = accelerate(AtTwoSeconds::kLeftOut, 0.0);
  EXPECT_EQ(std::tie(late->counters().gated, late->counters().stale_poses, without->counters().stale_poses),
            std::tuple(0u, 1u, 0u));
  EXPECT_NEAR(late->filter().state.position.x(), 4.0, 0.01);
  EXPECT_LT((late->filter().state.position - without->filter().state.position).norm(), 1e-9);
}

// A short turning drive with one IMU and one source; `configure` adjusts the source and `edit` every estimate.
std::unique_ptr<FusionCore> run_source(const std::function<void(SourceConfig&)>& configure,
                                       const std::function<void(OdometryEstimate&)>& edit = [](OdometryEstimate&) {}) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu")};
  config.odom_sources = {make_source("odom", "wheel", 1e-3, 1e-2)};
  configure(config.odom_sources[0]);
  auto core = std::make_unique<FusionCore>(config);
  const auto imu = [](int i) { return ImuReading{Vector3d(0, 0, i == 0 ? 0.0 : 0.1), i == 0 ? kStill : Vector3d(0.2, 0, 9.8)}; };
  drive(*core, 21, 10 * kMs, 1, imu, [&](int i, OdometryEstimate& e) {
    e = make_estimate("odom", "wheel", e.timestamp_ns, planar_pose(0.001 * i * i, 0, 0.001 * i), Vector3d(0.3, 0.01, 0),
                      Vector3d(0, 0, 0.1));
    edit(e);
    return i == 0 ? -1 : 0;
  });
  return core;
}

// A NaN component adds no row, −1 takes the estimate's own diagonal element and a NaN or negative one
// behind −1 disables the component: each run equals a run with the component's variance set directly.
TEST(Sources, EffectiveVariancesAndUnusableComponents) {
  using Configure = std::function<void(SourceConfig&)>;
  const std::vector<std::tuple<const char*, Configure, std::function<void(OdometryEstimate&)>, Configure>> cases = {
      {"NaN twist", [](auto&) {}, [](auto& e) { e.twist_linear.x() = kNaN; }, [](auto& s) { s.twist_variances[0] = 0.0; }},
      {"from the estimate", [](auto& s) { s.twist_variances[1] = -1.0; }, [](auto& e) { e.twist_covariance(1, 1) = 0.02; },
       [](auto& s) { s.twist_variances[1] = 0.02; }},
      {"NaN diagonal", [](auto& s) { s.pose_variances[5] = -1.0; }, [](auto& e) { e.pose_covariance(5, 5) = kNaN; },
       [](auto& s) { s.pose_variances[5] = 0.0; }},
      {"non-finite pose, twist kept", [](auto&) {}, [](auto& e) { e.pose.translation.y() = kInf; },
       [](auto& s) { s.pose_variances.fill(0.0); }},
  };
  for (const auto& [name, configure, edit, equivalent] : cases) {
    const FilterState x = run_source(configure, edit)->filter().state;
    EXPECT_TRUE(same_state(x, run_source(equivalent)->filter().state)) << name;
    EXPECT_TRUE(x.position.allFinite() && x.velocity.x() > 0.1) << name;
  }
  EXPECT_FALSE(run_source([](auto&) {}, [](auto& e) { e.pose.translation.y() = kInf; })->core_state().anchors[0].has_value());
}

// Without IMUs the poses are blended by inverse-variance weight among the sources heard in the last 0.5 s.
// Each source's step is taken in its own child frame: both report a heading of 0.5 rad that the fused
// pose, starting at the identity, does not share, so their steps along x turn into steps along `along`.
TEST(Sources, BlendPathTwoSources) {
  OdometryFusionConfig config;
  config.odom_sources = {make_source("odom", "a", 0.01, 0.0), make_source("odom", "b", 0.01, 0.0)};
  FusionCore core(config);
  // An estimate of an unknown pair does not start the engine.
  ASSERT_FALSE(core.handle_source(make_estimate("odom", "c", 999 * kMs, planar_pose(0, 0, 0))));
  EXPECT_FALSE(core.initialized());
  const Vector3d along(std::cos(0.5), -std::sin(0.5), 0);
  // Both active: half of each step, from the pose the other left. b silent for almost a second: its step
  // starts from its own anchor (0.1), with full weight.
  for (const auto& [child, t_ms, x, expected] : {std::tuple{"a", 1000, 0.0, 0.0}, {"b", 1000, 0.0, 0.0}, {"a", 1020, 0.1, 0.05},
                                                 {"b", 1020, 0.1, 0.1}, {"a", 1040, 0.2, 0.15}, {"b", 2000, 1.1, 1.1}}) {
    ASSERT_FALSE(core.handle_source(make_estimate("odom", child, t_ms * kMs, planar_pose(x, 0, 0.5))));
    EXPECT_LT((core.filter().state.position - expected * along).norm(), 1e-12) << child << " " << t_ms;
  }
  EXPECT_EQ(core.counters().measurements, 6u);
}

// Publishing follows the data clock: 300 samples 10 ms apart after initialisation, 3 s of data.
TEST(Publish, RateOnTheDataClock) {
  for (const auto& [rate, per_sample_calls, expected] :
       {std::tuple{0.0, 1, 3}, {-5.0, 1, 3}, {kNaN, 1, 3}, {100.0, 1, 300}, {100.0, 2, 300}, {2e9, 2, 600}, {kInf, 2, 600},
        {30.0, 1, 75}}) {
    OdometryFusionConfig config;
    config.imus = {make_imu("imu")};
    config.publish_rate = rate;
    FusionCore core(config);
    EXPECT_FALSE(core.maybe_publish().has_value());
    ASSERT_FALSE(core.handle_imu(ImuSample{"imu", 1000 * kMs, Vector3d::Zero(), kStill}, Isometry()));
    EXPECT_EQ(core.maybe_publish().has_value(), rate > 1e9) << rate;
    int published = 0;
    for (int i = 1; i <= 300; ++i) {
      ASSERT_FALSE(core.handle_imu(ImuSample{"imu", 1000 * kMs + i * 10 * kMs, Vector3d::Zero(), kStill}, Isometry()));
      for (int call = 0; call < per_sample_calls; ++call) published += core.maybe_publish().has_value() ? 1 : 0;
    }
    EXPECT_EQ(published, expected) << rate;
  }
}

TEST(Publish, ContentAndHoldBack) {
  OdometryFusionConfig config;
  config.imus = {make_imu("imu"), make_imu("imu2")};
  config.odom_frame_id = "map";
  config.output_frame_id = "robot";
  FusionCore core(config);
  const Quaterniond tilt(Eigen::AngleAxisd(0.3, Vector3d(1, 1, 0).normalized()));
  for (const char* frame : {"imu", "imu2"}) {
    ASSERT_FALSE(core.handle_imu(ImuSample{frame, 1000 * kMs, Vector3d::Zero(), tilt.conjugate() * kStill}, Isometry()));
  }
  for (int i = 1; i <= 3; ++i) {
    ASSERT_FALSE(core.handle_imu(ImuSample{"imu2", 1000 * kMs + i * 5 * kMs, Vector3d(0.1, 0.2, 0.3), Vector3d(1, 2, 9.8)}, Isometry()));
  }
  const auto out = core.maybe_publish();
  ASSERT_TRUE(out.has_value());
  const FilterState& x = core.filter().state;
  const Eigen::MatrixXd& p = x.covariance;
  EXPECT_EQ(std::tie(out->frame_id, out->child_frame_id, out->timestamp_ns), std::tuple("map", "robot", 1015 * kMs));
  const std::array<int, 6> pose_rows = {0, 1, 2, 6, 7, 8};  // position, attitude
  EXPECT_TRUE(out->pose_covariance == p(pose_rows, pose_rows));
  // The twist is in the body frame, its rate block the gyro bias block of the IMU that moved last.
  const Matrix3d r = x.orientation.toRotationMatrix();
  EXPECT_TRUE(Matrix3d(out->twist_covariance.topLeftCorner<3, 3>()).isApprox(r.transpose() * p.block<3, 3>(3, 3) * r, 1e-12));
  EXPECT_TRUE((out->twist_covariance.bottomRightCorner<3, 3>() == p.block(layout::gyro_bias(1), layout::gyro_bias(1), 3, 3)));
  EXPECT_TRUE((out->twist_covariance.topRightCorner(3, 3).isZero(0.0)));
  EXPECT_TRUE(out->twist_linear.isApprox(r.transpose() * x.velocity, 1e-12));
  EXPECT_TRUE(out->twist_angular == Vector3d(0.1, 0.2, 0.3) - x.biases[1].gyro);

  // Farther than max_position_m: held back, and the next attempt waits a full period.
  OdometryFusionConfig bounded;
  bounded.odom_sources = {make_source("odom", "wheel", 0.01, 0.0)};
  bounded.max_position_m = 0.5;
  FusionCore far(bounded);
  ASSERT_FALSE(far.handle_source(make_estimate("odom", "wheel", 1000 * kMs, planar_pose(0, 0, 0))));
  for (const auto& [t_ms, x_m, published] : {std::tuple{1020, 1.0, false}, {1025, 0.0, false}, {1030, 0.0, true}}) {
    ASSERT_FALSE(far.handle_source(make_estimate("odom", "wheel", t_ms * kMs, planar_pose(x_m, 0, 0))));
    EXPECT_EQ(far.maybe_publish().has_value(), published) << t_ms;
  }

  // A NaN covariance with the gate off reaches the state, which is then never published.
  OdometryFusionConfig broken;
  broken.imus = {make_imu("imu")};
  broken.odom_sources = {make_source("odom", "wheel", 0.01, 0.01)};
  broken.initial_stds.velocity = kNaN;
  broken.outlier_rejection_allowed_variance = 0.0;
  FusionCore diverged(broken);
  ASSERT_FALSE(diverged.handle_imu(ImuSample{"imu", 1000 * kMs, Vector3d::Zero(), kStill}, Isometry()));
  ASSERT_FALSE(diverged.handle_source(make_estimate("odom", "wheel", 1020 * kMs, planar_pose(0, 0, 0), Vector3d(1, 0, 0))));
  EXPECT_FALSE(diverged.filter().state.velocity.allFinite());
  EXPECT_FALSE(diverged.maybe_publish().has_value());
}

// At rest, a gyro bias of 0.01 rad/s on z appears after the still initialisation (0.29 rad of drift without
// a source). An attitude-only source reports a heading of 1 rad ± 0.03 in its own frame: as an absolute
// reference it holds the heading and the filter learns the bias, its frame set by the mean of its first
// poses; as changes it only slows the drift down.
TEST(AbsoluteSource, BoundsHeadingAndMakesTheGyroBiasObservable) {
  for (const bool differential : {true, false}) {
    OdometryFusionConfig config;
    config.imus = {make_imu("imu", 100)};
    config.odom_sources = {make_source("odom", "wheel", 0.0, 0.0)};
    config.odom_sources[0].pose_variances = {0, 0, 0, 1e-4, 1e-4, 1e-4};
    config.odom_sources[0].differential = differential;
    FusionCore core(config);
    drive(core, 3000, 10 * kMs, 5, [](int i) { return ImuReading{Vector3d(0, 0, i > 150 ? 0.01 : 0.0), kStill}; },
          [](int i, OdometryEstimate& e) { e.pose = planar_pose(5.0, -2.0, i % 10 == 0 ? 1.03 : 0.97); return 0; });
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
  struct Case {
    const char* name;
    double spike, recovery_s, wheel_400;
    bool late;
    uint64_t resets;
    double position_bound;
  };
  const std::vector<Case> cases = {
      {"160 m/s²", 160, 3.0, 0, false, 1, 0.02},
      {"1000 m/s²", 1000, 3.0, 0, false, 1, 0.02},
      {"1000 m/s², late", 1000, 3.0, 0, true, 1, 0.02},
      {"recovery off", 1000, 0.0, 0, false, 0, 10.0},
      {"transient outlier", 0, 3.0, 2.0, false, 0, 1e-9},
      {"without the outlier", 0, 3.0, kNaN, false, 0, 1e-9},
  };
  // Counts warnings taking a source back, and those naming this one and its refusal (the subscriber stays).
  log::reset_for_tests();
  const auto logged = std::make_shared<std::array<uint64_t, 2>>();
  std::string error;
  ASSERT_TRUE(log::install(*log::parse_filter("warn", &error), false, [logged](std::string_view line) {
    (*logged)[0] += line.find("odometry source taken back") != std::string_view::npos;
    (*logged)[1] += line.find("frame_id=odom child_frame_id=wheel refused=62 refused_seconds=3.05 "
                              "gate_recovery_seconds=3.0") != std::string_view::npos;
  }, &error)) << error;
  std::map<std::string, FilterState> end;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::array<uint64_t, 2> before = *logged;
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
    drive(core, 1000, 10 * kMs, 5, imu, [&](int i, OdometryEstimate& e) {
      e.twist_linear.x() = i == 400 ? c.wheel_400 : 0.0;
      return std::isnan(e.twist_linear.x()) ? -1 : c.late && i % 10 == 0 && i > 0 ? 1 : 0;
    });
    const FilterState& x = core.filter().state;
    // Counted and logged once per reset, replays included.
    EXPECT_EQ(std::tuple(core.counters().gate_resets, (*logged)[0] - before[0], (*logged)[1] - before[1]),
              std::tuple(c.resets, c.resets, c.resets));
    if (c.resets > 0) {
      // Taken back at the first wheel update (step 505) more than 3 s after the first refusal (step 200).
      EXPECT_EQ(reset_step, 505);
      EXPECT_LT(x.velocity.norm(), 0.01);
    }
    EXPECT_EQ(x.position.norm() < c.position_bound, c.resets > 0 || c.spike == 0);
    end[c.name] = x;
  }
  EXPECT_TRUE(same_state(end["1000 m/s²"], end["1000 m/s², late"]));
  // The outlier is refused (the only refusal) and leaves the state as a run without it.
  EXPECT_TRUE(same_state(end["transient outlier"], end["without the outlier"]));
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
    double glitch = 0.0;  // m/s the wheels add to their speed for the first second
  };
  const std::vector<Case> cases = {
      {"at rest, motors humming", 0.2, 0, 1e-4, 0, 0, 0, 0, 99},
      {"shaken", 1.0, 0, 1e-4, 0, 0, 0, 0, -1},
      {"driving straight", 0, 1.0, 1e-4, 0, 0, 0, 0, -1},
      {"driving straight, twist not fused", 0, 1.0, 0, 0, 0, 0, 0, 99},
      {"slope", 0, 1.5, 1e-4, 2, 0.1, 0, 0, 200},
      {"turn", 0, 1.5, 1e-4, 2, 0, 0.3, 0, 200},
      {"speeding up downhill", 0, 1.5, 1e-4, 2, -0.05, 0, 0.5, 200},
      // A driver reporting 100 m/s for its first second: the jump back is no motion, and the robot at rest
      // starts still rather than in motion at 100 m/s.
      {"start-up glitch at rest", 0, 0, 1e-4, 2, 0, 0, 0, 195, 100.0},
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
    const auto speed = [&](int i) { return c.speed + c.accel * i * 0.01 + (i < 100 ? c.glitch : 0.0); };
    int init_step = -1;
    const auto imu = [&](int i) {
      if (core.initialized() && init_step < 0) init_step = i - 1;
      const Vector3d omega(0, 0, c.yaw_rate), shake(i % 2 ? c.shake : -c.shake, 0, 0);
      const double true_speed = c.speed + c.accel * i * 0.01;
      return ImuReading{omega, Vector3d(c.accel, 0, 0) + omega.cross(Vector3d(true_speed, 0, 0)) + gravity_b + shake};
    };
    drive(core, 300, 10 * kMs, 5, imu, [&](int i, OdometryEstimate& e) { e.twist_linear.x() = speed(i); return 0; });
    EXPECT_EQ(init_step, c.init_step);
    EXPECT_EQ(std::tuple(core.counters().init_deferred_accel > 0, core.counters().init_deferred_moving > 0,
                         core.counters().init_refused_twist > 0),
              std::tuple(c.shake > 0.4, (c.speed > 0 || c.glitch > 0) && c.twist_variance > 0, c.glitch > 0));
    if (c.moving_after_s > 0) {
      const FilterState& x = core.filter().state;
      EXPECT_LT((rotate_vector(x.orientation, gravity_b.normalized()) - Vector3d::UnitZ()).norm(), 2e-3);
      EXPECT_LT((x.velocity - speed(300) * rotate_vector(x.orientation, Vector3d::UnitX())).norm(), 0.05);
    }
  }
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
