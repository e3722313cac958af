// Geometry of the CPU tracker against independent oracles: poses recovered from synthetic
// correspondences among outliers, numerical derivatives, Monte Carlo spread of noisy estimates.
#include <gtest/gtest.h>

#include <Eigen/Dense>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <tuple>

#include "velk_track/camera_model.hpp"
#include "velk_track/geometry.hpp"
#include "velk_track/gyro_buffer.hpp"
#include "velk_track/inertial.hpp"
#include "velk_track/pose_solver.hpp"
#include "velk_track/two_view.hpp"
#include "velk_track/stereo_match.hpp"
#include "render.hpp"

namespace velk_track {
namespace {

Rigid random_pose(std::mt19937& rng, double max_angle, double max_shift) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const Eigen::Vector3d axis = Eigen::Vector3d(u(rng), u(rng), u(rng)).normalized();
  return {exp_rotation_matrix(axis * max_angle * std::abs(u(rng))), Eigen::Vector3d(u(rng), u(rng), u(rng)) * max_shift};
}

// A two-camera rig looking forward and sideways, the way the multisensor tracker combines them.
std::vector<PoseCamera> two_camera_rig() {
  std::vector<PoseCamera> cams(2);
  cams[0].camera_from_rig = Rigid(exp_rotation_matrix(Eigen::Vector3d(0.1, -0.2, 0.05)), Eigen::Vector3d(0.05, 0.1, 0.0));
  cams[1].camera_from_rig = Rigid(exp_rotation_matrix(Eigen::Vector3d(0.0, 1.5, 0.0)), Eigen::Vector3d(-0.1, 0.0, 0.2));
  for (auto& c : cams) c.fx = c.fy = 400.0;
  return cams;
}

// `per_camera` points in front of each camera (depths 1..8 m, inside a 90 degree cone), observed with
// `noise_px` of pixel noise.
std::vector<PoseObservation> observe(std::mt19937& rng, const std::vector<PoseCamera>& cams, const Rigid& world_from_rig,
                                     int per_camera, double noise_px) {
  std::normal_distribution<double> noise(0.0, noise_px);
  std::uniform_real_distribution<double> u(-0.9, 0.9), depth(1.0, 8.0);
  std::vector<PoseObservation> obs;
  for (size_t c = 0; c < cams.size(); ++c) {
    const Rigid camera_from_world = cams[c].camera_from_rig * world_from_rig.inverse();
    std::vector<Eigen::Vector3d> in_camera;
    for (int i = 0; i < per_camera; ++i) {
      const double z = depth(rng);
      in_camera.emplace_back(u(rng) * z, u(rng) * z, z);
    }
    for (const Eigen::Vector3d& pc : in_camera) {
      PoseObservation& o = obs.emplace_back();
      o.point_world = camera_from_world.inverse() * pc;
      o.normalized = Eigen::Vector2d(pc.x() / pc.z() + noise(rng) / cams[c].fx, pc.y() / pc.z() + noise(rng) / cams[c].fy);
      o.camera = static_cast<int>(c);
    }
  }
  return obs;
}

// RANSAC draws its hypotheses from P3P, whose degenerate input (three copies of one point) gives no
// pose rather than a NaN one.
TEST(PoseSolver, RansacFindsPoseAmongOutliersOverTwoCameras) {
  const Eigen::Vector3d bearings[3] = {{0, 0, 1}, {0.1, 0, 1}, {0.2, 0, 1}}, points[3] = {{1, 2, 3}, {1, 2, 3}, {1, 2, 3}};
  EXPECT_TRUE(solve_p3p(bearings, points).empty());
  std::mt19937 rng(2);
  const auto cams = two_camera_rig();
  std::uniform_real_distribution<double> u(-0.8, 0.8);
  RansacParams params;
  params.max_iterations = 200;
  for (int trial = 0; trial < 20; ++trial) {
    const Rigid truth = random_pose(rng, 3.0, 3.0);
    auto obs = observe(rng, cams, truth, 60, 0.5);
    for (size_t i = 0; i < obs.size(); i += 3) obs[i].normalized = Eigen::Vector2d(u(rng), u(rng));  // a third are outliers
    Rigid pose;
    std::vector<uint8_t> inliers;
    const int n = ransac_pose(obs, cams, nullptr, params, rng, &pose, &inliers);
    ASSERT_TRUE(refine_pose(obs, cams, inliers, 1.0, 10, &pose)) << "trial " << trial;
    EXPECT_GE(n, 60) << "trial " << trial;
    EXPECT_LT((pose.t - truth.t).norm(), 0.02) << "trial " << trial;
    EXPECT_LT(log_rotation_matrix(pose.R.transpose() * truth.R).norm(), 0.003) << "trial " << trial;
  }
}

// A stereo pair's disparity offset and slope from points seen by both cameras in two frame sets of
// a forward and turning motion (KITTI-like: 718 px focal length, 0.54 m baseline), with 0.2 px of
// tracking noise and a tenth of the partners mismatched: both come back within their claimed
// uncertainty, whatever their signs, and a rig without them measures none. Per row: the offset, the
// slope (b's focal length that fraction too long), the depths (a narrow band too, where little but
// the image motion's growth with inverse depth tells the offset), and a shift of every later image
// position alike in both cameras (templates deformed by the motion, or a rotation a little off),
// which must not pass for depth.
struct OffsetCase {
  double offset_px, slope, near_m, far_m, later_shift_px;
};

TEST(StereoMatch, DisparityOffsetFromRigidMotion) {
  const double f = 718.0, baseline = 0.54;
  Rigid a_from_b;
  a_from_b.t = Eigen::Vector3d(baseline, 0.0, 0.0);
  for (const OffsetCase& c : {OffsetCase{0.0, 0.0, 3.0, 40.0, 0.0}, OffsetCase{1.3, 0.0, 3.0, 40.0, 0.0},
                              OffsetCase{-0.8, 0.0, 3.0, 40.0, 0.0}, OffsetCase{0.0, 0.0, 3.0, 40.0, 0.4},
                              OffsetCase{-1.3, 0.0, 4.0, 30.0, -0.4}, OffsetCase{0.0, 0.0, 8.0, 12.0, 0.0},
                              OffsetCase{0.0, 0.002, 3.0, 40.0, 0.0}, OffsetCase{-1.3, -0.001, 4.0, 30.0, -0.4}}) {
    const std::string row = "offset " + std::to_string(c.offset_px) + " px, slope " + std::to_string(c.slope) +
                            ", depths " + std::to_string(c.near_m) + " to " + std::to_string(c.far_m) +
                            " m, later shift " + std::to_string(c.later_shift_px);
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> depth(c.near_m, c.far_m), side(-0.6, 0.6), up(-0.2, 0.2);
    std::normal_distribution<double> noise(0.0, 0.2 / f);
    Rigid motion;  // camera a now_from_before: 3 m ahead while turning 6 degrees
    motion.R = Eigen::AngleAxisd(0.1, Eigen::Vector3d::UnitY()).toRotationMatrix();
    motion.t = Eigen::Vector3d(0.2, 0.0, -3.0);
    std::vector<StereoTrack> tracks;
    while (tracks.size() < 60) {
      const double z = depth(rng);
      const Eigen::Vector3d p0(side(rng) * z, up(rng) * z, z), p1 = motion * p0;
      if (p1.z() < 2.0) continue;
      // b sees x - baseline; its measured x is off by the offset (b's principal point) and shrunk by
      // the slope (b's focal length).
      const auto view = [&](const Eigen::Vector3d& p, double shift) {
        const double xb = (p.x() - baseline) / p.z();
        return std::pair{Eigen::Vector2d(p.x() / p.z() + shift + noise(rng), p.y() / p.z() + shift + noise(rng)),
                         Eigen::Vector2d(xb / (1.0 + c.slope) - c.offset_px / f + shift + noise(rng),
                                         p.y() / p.z() + shift + noise(rng))};
      };
      StereoTrack k;
      std::tie(k.a0, k.b0) = view(p0, 0.0);
      std::tie(k.a1, k.b1) = view(p1, c.later_shift_px / f);
      if (tracks.size() % 10 == 3) k.b1.x() += 3.0 / f;  // a partner that jumped to a neighbour
      tracks.push_back(k);
    }
    Eigen::Vector2d estimate;
    Eigen::Matrix2d information;
    ASSERT_TRUE(estimate_disparity_offset(tracks, motion.R, a_from_b, 0.2 / f, &estimate, &information)) << row;
    const Eigen::Matrix2d covariance = information.inverse();
    const double sigma_px = f * std::sqrt(covariance(0, 0)), sigma_slope = std::sqrt(covariance(1, 1));
    EXPECT_LT(sigma_px, 0.3) << row;
    EXPECT_LT(std::abs(estimate(0) * f - c.offset_px), std::max(4.0 * sigma_px, 0.05)) << row;
    EXPECT_LT(std::abs(estimate(1) - c.slope), std::max(4.0 * sigma_slope, 1e-4)) << row;
  }
}

// The covariance claims the spread of the estimate: over many noisy draws of the same geometry,
// the sample covariance of the error (dt, dtheta on the right) must match it within sampling error.
TEST(PoseSolver, CovarianceMatchesMonteCarloSpread) {
  std::mt19937 rng(3), geometry_rng(4);
  const auto cams = two_camera_rig();
  const Rigid truth = random_pose(rng, 1.0, 1.0);
  const auto clean = observe(geometry_rng, cams, truth, 40, 0.0);
  constexpr int kDraws = 400;
  std::normal_distribution<double> noise(0.0, 0.7);  // pixels
  Matrix6d sample = Matrix6d::Zero(), predicted = Matrix6d::Zero();
  for (int d = 0; d < kDraws; ++d) {
    auto obs = clean;
    for (auto& o : obs) o.normalized += Eigen::Vector2d(noise(rng), noise(rng)) / cams[static_cast<size_t>(o.camera)].fx;
    Rigid pose = truth;
    Matrix6d cov;
    ASSERT_TRUE(refine_pose(obs, cams, std::vector<uint8_t>(clean.size(), 1), 100.0, 10, &pose, &cov));
    Eigen::Matrix<double, 6, 1> e;
    e << pose.t - truth.t, log_rotation_matrix(truth.R.transpose() * pose.R);
    sample += e * e.transpose() / kDraws;
    predicted += cov / kDraws;
  }
  // Diagonal terms: a sample variance of 400 draws is within about 15 % of the truth (3 sigma).
  for (int i = 0; i < 6; ++i) EXPECT_NEAR(sample(i, i) / predicted(i, i), 1.0, 0.2) << "axis " << i;
}

// The rotation between two views from their rays, per case: a pure turn; a turn while moving
// forward 1 m with half the points near (2 to 6 m: up to 10 degrees of parallax) and half far
// (200 m); a move forward and down without a turn. The far half fixes the rotation; a plain
// least-squares fit over all rays would tilt toward the parallax of the near ones.
TEST(TwoView, BestRotationTakesTheTurnNotTheParallax) {
  struct Case {
    Eigen::Vector3d turn, shift;
    double tolerance_deg;
  };
  const Case cases[] = {{{0.0, 0.3, 0.0}, {0.0, 0.0, 0.0}, 1e-6},
                        {{0.02, -0.25, 0.01}, {0.0, 0.0, 1.0}, 0.1},
                        {{0.0, 0.0, 0.0}, {0.0, 0.3, 1.0}, 0.1}};
  for (const Case& c : cases) {
    std::mt19937 rng(11);
    std::uniform_real_distribution<double> u(-0.6, 0.6), near(2.0, 6.0);
    const Rigid second_from_first(exp_rotation_matrix(c.turn), -exp_rotation_matrix(c.turn) * c.shift);
    std::vector<Eigen::Vector3d> first, second;
    for (int i = 0; i < 200; ++i) {
      const double z = i % 2 ? near(rng) : 200.0;
      const Eigen::Vector3d p(u(rng) * z, u(rng) * z, z);
      first.push_back(p.normalized());
      second.push_back((second_from_first * p).normalized());
    }
    const Eigen::Matrix3d first_from_second = best_rotation(first, second);
    const double error_deg =
        log_rotation_matrix(first_from_second * second_from_first.R).norm() * 180.0 / render::kPi;
    EXPECT_LT(error_deg, c.tolerance_deg) << "turn " << c.turn.transpose() << ", shift " << c.shift.transpose();
  }
}

TEST(CameraModel, UnprojectInvertsProjectAndJacobianMatchesDifferences) {
  Camera cam;
  cam.size = {640, 480}, cam.focal = {500.f, 510.f}, cam.principal = {320.f, 240.f};
  cam.distortion = {Distortion::Model::Brown, {-0.2f, 0.05f, -0.004f, 0.001f, -0.0005f}};
  const CameraModel model(cam);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> u(-0.6, 0.6);
  for (int i = 0; i < 200; ++i) {
    const Eigen::Vector2d xn(u(rng), u(rng) * 0.75);
    Eigen::Vector2d px, back;
    ASSERT_TRUE(model.project_normalized(xn, &px) && model.unproject(px, &back));
    EXPECT_LT((back - xn).norm(), 1e-9);
    Eigen::Matrix2d jac, numeric;
    model.distort(xn, &jac);
    const Eigen::Matrix2d step = 1e-6 * Eigen::Matrix2d::Identity();
    for (const int k : {0, 1}) numeric.col(k) = (model.distort(xn + step.col(k)) - model.distort(xn - step.col(k))) / 2e-6;
    EXPECT_LT((jac - numeric).norm(), 1e-6);
  }
  // Far outside the field of view the radial polynomial folds back; such points must not project.
  Eigen::Vector2d px;
  EXPECT_FALSE(model.project_normalized(Eigen::Vector2d(3.0, 0.0), &px));
}

// Stamps anywhere in the int64_t range, negative and near both ends included: intervals between stamps
// further apart than the range holds saturate instead of overflowing (run under UBSan in CI).
TEST(GyroBuffer, ConstantRateIntegratesToItsRotation) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max(), kMin = std::numeric_limits<int64_t>::min();
  const Eigen::Vector3d w(0.3, -0.2, 0.5), bias(0.01, 0.0, -0.02);
  for (const int64_t t0 : {int64_t{0}, int64_t{-5'000'000'000'000'000'000}, kMax - 2'000'000'000}) {
    SCOPED_TRACE(t0);
    GyroBuffer g;
    for (int64_t t = 0; t <= 1'000'000'000; t += 5'000'000) g.add(t0 + t, w + bias);
    const auto r = g.integrate(t0 + 100'000'000, t0 + 600'000'000, bias, 50'000'000);
    EXPECT_LT((r.value_or(Eigen::Matrix3d::Zero()) - exp_rotation_matrix(w * 0.5)).norm(), 1e-9);
    // Not covered: the interval runs past the last sample by more than the allowed gap.
    EXPECT_FALSE(g.integrate(t0 + 900'000'000, t0 + 1'000'000'000 + 60'000'000, bias, 50'000'000).has_value());
  }
  GyroBuffer far;  // past its last sample, then between two neighbours, by the whole range
  far.add(kMin + 1, w);
  EXPECT_FALSE(far.integrate(kMin + 1, kMax, bias, 50'000'000).has_value());
  far.add(kMax, w);
  EXPECT_FALSE(far.integrate(kMin + 1, kMax, bias, 50'000'000).has_value());
}

// The IMU of a rig on the test path (turning, climbing; IMU mounted upside down and turned), fed
// 200 Hz samples with an accelerometer bias and exact poses at 30 Hz for 8 s: gravity and the bias
// are found, the pose 0.4 s later is predicted to a few millimetres, and only a wrong pose there
// is flagged.
TEST(InertialMotion, FindsGravityAndBiasThenPredictsAcrossAGap) {
  const render::Trajectory path;
  const Rigid rig_from_imu(render::rot_x(3.14159265358979) * render::rot_z(0.3), Eigen::Vector3d::Zero());
  const auto truth = [&](double t) { const render::Pose p = path.world_from_rig(t); return Rigid(p.R, p.t); };
  for (const Eigen::Vector3d& bias : {Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(0.08, -0.05, 0.04)}) {
    SCOPED_TRACE(bias.transpose());
    InertialMotion imu(rig_from_imu);
    const auto ns = [](double t) { return static_cast<int64_t>(std::llround(t * 1e9)); };
    for (int k = 0; k <= 1800; ++k) {
      const double t = k * 0.005;
      imu.add_sample(ns(t), rig_from_imu.R.transpose() * path.angular_velocity(t),
                     rig_from_imu.R.transpose() * path.specific_force(t) + bias);
      if (k % 6 == 0 && t <= 8.0) imu.observe(ns(t), truth(t), Eigen::Vector3d::Zero());
    }
    ASSERT_TRUE(imu.ready());
    EXPECT_LT((imu.gravity() - Eigen::Vector3d(0, 0, -9.81)).norm(), 0.02);
    EXPECT_LT((imu.accel_bias() - bias).norm(), 0.02);
    const auto predicted = imu.predict(ns(8.4), Eigen::Vector3d::Zero(), 1.0);
    ASSERT_TRUE(predicted);
    const Rigid actual = truth(8.4);
    EXPECT_LT((predicted->t - actual.t).norm(), 0.005);
    EXPECT_LT(log_rotation_matrix(predicted->R.transpose() * actual.R).norm(), 1e-3);
    EXPECT_FALSE(imu.contradicts(ns(8.4), actual, Eigen::Vector3d::Zero(), 1.0));
    EXPECT_TRUE(imu.contradicts(ns(8.4), Rigid(actual.R, actual.t + Eigen::Vector3d(0.0, 0.3, 0.0)), Eigen::Vector3d::Zero(), 1.0));
  }
}

}  // namespace
}  // namespace velk_track
