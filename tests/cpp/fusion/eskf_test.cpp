#include "fusion_test_util.hpp"
#include "odometry_fusion/config.hpp"
#include "odometry_fusion/eskf.hpp"
#include "odometry_fusion/state_layout.hpp"

#include <cmath>
#include <random>

namespace velk_slam::odometry_fusion {
namespace {

using namespace test;
using Eigen::Matrix3d;
using Eigen::MatrixXd;
using Eigen::Quaterniond;
using Eigen::Vector3d;
using Eigen::VectorXd;

Vector3d random_vector(std::mt19937& rng, double scale) {
  std::normal_distribution<double> normal(0.0, scale);
  return Vector3d(normal(rng), normal(rng), normal(rng));
}

// A filter with N IMUs, random biases, attitude and a full random covariance.
ErrorStateFilter random_filter(std::mt19937& rng, std::size_t imu_count) {
  ErrorStateFilter filter;
  for (std::size_t k = 0; k < imu_count; ++k) {
    filter.noise.push_back(ImuNoise{1e-3 * (k + 1), 2e-4 * (k + 1), 2e-2 * (k + 1), 3e-3 * (k + 1)});
    filter.state.biases.push_back(ImuBias{random_vector(rng, 0.01), random_vector(rng, 0.1)});
  }
  filter.state.position = random_vector(rng, 3.0);
  filter.state.velocity = random_vector(rng, 1.0);
  filter.state.orientation = Quaterniond(Eigen::AngleAxisd(0.7, random_vector(rng, 1.0).normalized()));
  const Eigen::Index n = layout::state_size(imu_count);
  std::normal_distribution<double> normal(0.0, 0.3);
  const MatrixXd a = MatrixXd::NullaryExpr(n, n, [&] { return normal(rng); });
  filter.state.covariance = a * a.transpose() + 0.05 * MatrixXd::Identity(n, n);
  return filter;
}

// The error state that carries `from` to `to`; the attitude part is rotation_error(q_from, q_to).
VectorXd error_between(const FilterState& from, const FilterState& to) {
  VectorXd dx(from.covariance.rows());
  dx << to.position - from.position, to.velocity - from.velocity, rotation_error(from.orientation, to.orientation),
      VectorXd::Zero(dx.size() - 9);
  for (std::size_t k = 0; k < from.biases.size(); ++k) {
    dx.segment<3>(layout::gyro_bias(k)) = to.biases[k].gyro - from.biases[k].gyro;
    dx.segment<3>(layout::accel_bias(k)) = to.biases[k].accel - from.biases[k].accel;
  }
  return dx;
}

// One propagation step of IMU i against F P Fᵀ + Q and the nominal step, F and Q built as full matrices
// from their block definitions. Every IMU's bias random walks enter Q; only IMU i's biases couple in. A step
// of dt = 0 (events of equal stamps) changes nothing, bit for bit. F is the linearisation of the nominal
// step: its columns against finite differences of perturbed steps, to O(dt²) for the terms F omits.
TEST(Propagate, MatchesDenseFormulasAndNumericalJacobian) {
  constexpr double kEps = 1e-6;
  for (const auto& [imu_count, i] : {std::pair<std::size_t, std::size_t>{1, 0}, {2, 0}, {2, 1}, {3, 2}}) {
    std::mt19937 rng(1234 + 10 * imu_count + i);
    for (int trial = 0; trial < 5; ++trial) {
      const ErrorStateFilter f = random_filter(rng, imu_count);
      const Vector3d gyro = random_vector(rng, 1.0);
      const Vector3d accel = random_vector(rng, 5.0) + Vector3d(0, 0, 9.8);
      const double dt = 0.005 * trial;
      SCOPED_TRACE(testing::Message() << "IMU " << i << " of " << imu_count << ", dt " << dt);
      const Eigen::Index n = f.state.covariance.rows();
      const Vector3d w = gyro - f.state.biases[i].gyro;
      const Vector3d a = accel - f.state.biases[i].accel;
      const Matrix3d R = f.state.orientation.toRotationMatrix();
      MatrixXd F = MatrixXd::Identity(n, n);
      F.block<3, 3>(0, 3) = dt * Matrix3d::Identity();
      F.block<3, 3>(3, 6) = -R * skew(a) * dt;
      F.block<3, 3>(3, layout::accel_bias(i)) = -R * dt;
      F.block<3, 3>(6, 6) = Matrix3d::Identity() - skew(w * dt);
      F.block<3, 3>(6, layout::gyro_bias(i)) = -dt * Matrix3d::Identity();
      VectorXd q = VectorXd::Zero(n);
      q.segment<3>(3).setConstant(std::pow(f.noise[i].accel_noise_density, 2) * dt);
      q.segment<3>(6).setConstant(std::pow(f.noise[i].gyro_noise_density, 2) * dt);
      for (std::size_t k = 0; k < imu_count; ++k) {
        q.segment<3>(layout::gyro_bias(k)).setConstant(std::pow(f.noise[k].gyro_random_walk, 2) * dt);
        q.segment<3>(layout::accel_bias(k)).setConstant(std::pow(f.noise[k].accel_random_walk, 2) * dt);
      }
      const MatrixXd expected_p = F * f.state.covariance * F.transpose() + MatrixXd(q.asDiagonal());
      const Vector3d g_w = R * a - Vector3d(0, 0, f.gravity);
      const Vector3d expected_pos = f.state.position + f.state.velocity * dt + 0.5 * g_w * dt * dt;
      const Vector3d expected_vel = f.state.velocity + g_w * dt;
      const Quaterniond expected_q = f.state.orientation * Quaterniond(Eigen::AngleAxisd(w.norm() * dt, w.normalized()));

      ErrorStateFilter stepped = f;
      stepped.propagate(i, gyro, accel, dt);
      const FilterState& x = stepped.state;
      EXPECT_TRUE(dt > 0.0 || same_state(x, f.state));
      EXPECT_LT((x.covariance - expected_p).cwiseAbs().maxCoeff(), 1e-12 * expected_p.cwiseAbs().maxCoeff());
      EXPECT_LT((x.position - expected_pos).norm(), 1e-12);
      EXPECT_LT((x.velocity - expected_vel).norm(), 1e-12);
      EXPECT_LT((x.orientation.coeffs() - expected_q.coeffs()).norm(), 1e-14);
      for (Eigen::Index c = 0; c < n; ++c) {
        ErrorStateFilter perturbed = f;
        FilterState& p = perturbed.state;
        const VectorXd dx = kEps * VectorXd::Unit(n, c);
        p.position += dx.segment<3>(0);
        p.velocity += dx.segment<3>(3);
        p.orientation = hamilton(p.orientation, exp_rotation(dx.segment<3>(6)));
        for (std::size_t k = 0; k < imu_count; ++k) {
          p.biases[k].gyro += dx.segment<3>(layout::gyro_bias(k));
          p.biases[k].accel += dx.segment<3>(layout::accel_bias(k));
        }
        perturbed.propagate(i, gyro, accel, dt);
        const VectorXd numerical = error_between(x, p) / kEps;
        EXPECT_LT((numerical - F.col(c)).cwiseAbs().maxCoeff(), 50.0 * dt * dt + 1e-6) << "column " << c;
      }
    }
  }
}

// The update against the dense formulas evaluated as written, at states 15 to 51, with rows that touch
// every state and rows that touch three to five of them (as odometry rows do).
TEST(Update, MatchesDenseFormulas) {
  std::mt19937 rng(99);
  std::normal_distribution<double> normal(0.0, 1.0);
  for (std::size_t imus : {1u, 2u, 4u, 7u}) {
    for (Eigen::Index m : {1, 2, 3, 4, 5, 7}) {
      for (const bool sparse : {false, true}) {
        ErrorStateFilter filter = random_filter(rng, imus);
        const Eigen::Index n = filter.state.covariance.rows();
        std::uniform_int_distribution<Eigen::Index> column(0, n - 1);
        MatrixXd H = MatrixXd::Zero(m, n);
        VectorXd y(m), r(m);
        for (Eigen::Index i = 0; i < m; ++i) {
          if (sparse) {
            for (int k = 0; k < 3 + static_cast<int>(i % 3); ++k) H(i, column(rng)) = normal(rng);
          } else {
            for (Eigen::Index j = 0; j < n; ++j) H(i, j) = normal(rng);
          }
          y[i] = 0.1 * normal(rng);
          r[i] = 0.01 + 0.1 * std::abs(normal(rng));
        }
        const MatrixXd P = filter.state.covariance;
        const MatrixXd K = P * H.transpose() * (H * P * H.transpose() + MatrixXd(r.asDiagonal())).inverse();
        const MatrixXd A = MatrixXd::Identity(n, n) - K * H;
        const MatrixXd expected_p = A * P * A.transpose() + K * r.asDiagonal() * K.transpose();
        const VectorXd dx = K * y;
        const FilterState before = filter.state;
        SCOPED_TRACE(::testing::Message() << "n " << n << " m " << m << " sparse " << sparse);

        ASSERT_TRUE(filter.update(y, H, r, 0.0));
        // The filter sums the same non-zero terms in another order: a few ulps of the largest element.
        const double scale = expected_p.cwiseAbs().maxCoeff();
        EXPECT_LT((filter.state.covariance - expected_p).cwiseAbs().maxCoeff(), 1e-12 * scale);
        EXPECT_LT((error_between(before, filter.state) - dx).norm(), 1e-12);
      }
    }
  }
}

// The gate, on six position/velocity rows with S = I: d² = Σ y² against the bound gate² per row; a gate of
// 0, below 0 or NaN is off. No rows: refused with a gate (0 is not below 0), applied without one. A singular
// S is refused: one row without noise on a position without variance, or a duplicated row without noise at
// every inversion size. So is a NaN anywhere in P, which reaches S through the zero entries of H, as in the
// dense products. A refusal leaves the filter bit for bit as it was.
TEST(Update, GateBoundaryAndRefusals) {
  ErrorStateFilter unit_s;
  unit_s.init(Quaterniond::Identity(), {ImuBias{}}, std::sqrt(0.5), std::sqrt(0.5), 0.05, 0.01);
  ErrorStateFilter exact_x = unit_s, nan_p = unit_s;
  exact_x.state.covariance(0, 0) = 0.0;
  nan_p.state.covariance(14, 13) = kNaN;
  MatrixXd H = MatrixXd::Zero(6, 15);
  H.leftCols<6>().setIdentity();
  const MatrixXd x_row = H.topRows(1);
  const VectorXd r = VectorXd::Constant(6, 0.5), none(0), small = VectorXd::Constant(1, 0.1);
  // The engine's default gate: 5 σ per row, d² = 150 = 5² · 6 for six rows.
  const double gate = std::sqrt(OdometryFusionConfig{}.outlier_rejection_allowed_variance);
  const VectorXd at_bound = VectorXd::Constant(6, 5.0);
  VectorXd inside = at_bound;
  inside[5] = std::sqrt(24.9);  // d² = 149.9
  struct Case {
    const ErrorStateFilter& filter;
    VectorXd y;
    MatrixXd h;
    VectorXd r;
    double gate;
    bool applied;
  };
  for (const Case& c : {Case{unit_s, inside, H, r, gate, true}, Case{unit_s, at_bound, H, r, gate, false},
                        Case{unit_s, at_bound * 100, H, r, 0.0, true}, Case{unit_s, at_bound * 100, H, r, -1.0, true},
                        Case{unit_s, at_bound * 100, H, r, kNaN, true}, Case{unit_s, none, MatrixXd(0, 15), none, 5.0, false},
                        Case{unit_s, none, MatrixXd(0, 15), none, 0.0, true}, Case{exact_x, small, x_row, VectorXd::Zero(1), 0.0, false},
                        Case{nan_p, small, x_row, small, 5.0, false}}) {
    ErrorStateFilter filter = c.filter;
    EXPECT_EQ(filter.update(c.y, c.h, c.r, c.gate), c.applied) << c.y.transpose() << " gate " << c.gate;
    EXPECT_EQ(same_state(filter.state, c.filter.state), !c.applied || c.y.size() == 0);
  }
  MatrixXd inverse;
  for (Eigen::Index m = 1; m <= 7; ++m) {
    MatrixXd g = MatrixXd::Random(m, m);
    g.row(m - 1) = g.row(0) * (m == 1 ? 0.0 : 1.0);
    EXPECT_FALSE(invert_innovation(g * g.transpose(), inverse)) << m;
  }
  EXPECT_THROW(unit_s.update(VectorXd(2), MatrixXd(2, 9), VectorXd(2), 5.0), std::invalid_argument);
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
