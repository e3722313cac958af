#include "fusion_test_util.hpp"
#include "odometry_fusion/eskf.hpp"
#include "odometry_fusion/state_layout.hpp"

#include <cmath>
#include <limits>
#include <random>

namespace velk_slam::odometry_fusion {
namespace {

using Eigen::Matrix3d;
using Eigen::MatrixXd;
using Eigen::Quaterniond;
using Eigen::Vector3d;
using Eigen::VectorXd;
using test::same_bits;
using test::same_state;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The structured products sum the same terms as the dense ones in another order: a few ulps of the
// largest element involved.
constexpr double kRoundingTolerance = 1e-12;

Matrix3d cross_matrix(const Vector3d& u) {
  Matrix3d m;
  for (int j = 0; j < 3; ++j) {
    m.col(j) = u.cross(Vector3d::Unit(j));
  }
  return m;
}

Vector3d random_vector(std::mt19937& rng, double scale) {
  std::normal_distribution<double> normal(0.0, scale);
  return Vector3d(normal(rng), normal(rng), normal(rng));
}

MatrixXd random_spd(std::mt19937& rng, Eigen::Index n) {
  std::normal_distribution<double> normal(0.0, 0.3);
  MatrixXd a(n, n);
  for (Eigen::Index i = 0; i < a.size(); ++i) {
    a.data()[i] = normal(rng);
  }
  return a * a.transpose() + 0.05 * MatrixXd::Identity(n, n);
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
  filter.state.covariance = random_spd(rng, layout::state_size(imu_count));
  return filter;
}

// F and Q of one propagation step, built as full matrices from their block definitions.
void dense_step(const ErrorStateFilter& f, std::size_t i, const Vector3d& gyro, const Vector3d& accel, double dt, MatrixXd& F,
                MatrixXd& Q) {
  const Eigen::Index n = f.state.covariance.rows();
  const Vector3d w = gyro - f.state.biases[i].gyro;
  const Vector3d a = accel - f.state.biases[i].accel;
  const Matrix3d R = f.state.orientation.normalized().toRotationMatrix();
  F = MatrixXd::Identity(n, n);
  F.block<3, 3>(0, 3) = dt * Matrix3d::Identity();
  F.block<3, 3>(3, 6) = -R * cross_matrix(a) * dt;
  F.block<3, 3>(3, layout::accel_bias(i)) = -R * dt;
  F.block<3, 3>(6, 6) = Matrix3d::Identity() - cross_matrix(w * dt);
  F.block<3, 3>(6, layout::gyro_bias(i)) = -dt * Matrix3d::Identity();
  Q = MatrixXd::Zero(n, n);
  const ImuNoise& q = f.noise[i];
  Q.block<3, 3>(3, 3) = q.accel_noise_density * q.accel_noise_density * dt * Matrix3d::Identity();
  Q.block<3, 3>(6, 6) = q.gyro_noise_density * q.gyro_noise_density * dt * Matrix3d::Identity();
  for (std::size_t k = 0; k < f.noise.size(); ++k) {
    const ImuNoise& qk = f.noise[k];
    Q.block<3, 3>(layout::gyro_bias(k), layout::gyro_bias(k)) = qk.gyro_random_walk * qk.gyro_random_walk * dt * Matrix3d::Identity();
    Q.block<3, 3>(layout::accel_bias(k), layout::accel_bias(k)) =
        qk.accel_random_walk * qk.accel_random_walk * dt * Matrix3d::Identity();
  }
}

class PropagateDense : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

TEST_P(PropagateDense, MatchesDenseFormulas) {
  const auto [imu_count, imu_index] = GetParam();
  std::mt19937 rng(1234 + 10 * imu_count + imu_index);
  for (int trial = 0; trial < 5; ++trial) {
    ErrorStateFilter filter = random_filter(rng, imu_count);
    const Vector3d gyro = random_vector(rng, 1.0);
    const Vector3d accel = random_vector(rng, 5.0) + Vector3d(0, 0, 9.8);
    const double dt = 0.005 * (trial + 1);
    MatrixXd F, Q;
    dense_step(filter, imu_index, gyro, accel, dt, F, Q);
    const MatrixXd expected_p = F * filter.state.covariance * F.transpose() + Q;
    const Matrix3d R = filter.state.orientation.toRotationMatrix();
    const Vector3d g_w = R * (accel - filter.state.biases[imu_index].accel) - Vector3d(0, 0, filter.gravity);
    const Vector3d expected_pos = filter.state.position + filter.state.velocity * dt + 0.5 * g_w * dt * dt;
    const Vector3d expected_vel = filter.state.velocity + g_w * dt;
    const Vector3d turn = (gyro - filter.state.biases[imu_index].gyro) * dt;
    const Quaterniond expected_q = filter.state.orientation * Quaterniond(Eigen::AngleAxisd(turn.norm(), turn.normalized()));

    filter.propagate(imu_index, gyro, accel, dt);
    EXPECT_LT((filter.state.covariance - expected_p).cwiseAbs().maxCoeff(), kRoundingTolerance * expected_p.cwiseAbs().maxCoeff());
    EXPECT_LT((filter.state.position - expected_pos).norm(), 1e-12);
    EXPECT_LT((filter.state.velocity - expected_vel).norm(), 1e-12);
    EXPECT_LT((filter.state.orientation.coeffs() - expected_q.coeffs()).norm(), 1e-14);
  }
}

INSTANTIATE_TEST_SUITE_P(ImuCounts, PropagateDense,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{1, 0}, std::pair<std::size_t, std::size_t>{2, 0},
                                           std::pair<std::size_t, std::size_t>{2, 1}, std::pair<std::size_t, std::size_t>{3, 2}));

// F is the linearisation of the nominal step: columns of F against finite differences of two propagated
// nominal states. The discrete step has second-order terms F omits, so agreement is to O(dt²).
TEST(Propagate, TransitionMatchesNumericalJacobian) {
  std::mt19937 rng(77);
  ErrorStateFilter base = random_filter(rng, 2);
  const Vector3d gyro = random_vector(rng, 0.5);
  const Vector3d accel = random_vector(rng, 2.0) + Vector3d(0, 0, 9.8);
  const double dt = 1e-3;
  const double eps = 1e-6;
  const Eigen::Index n = base.state.covariance.rows();

  // Column i of F from the covariance: with P = e_i e_0ᵀ and no noise, F P Fᵀ has column 0 equal to
  // F e_i, since nothing depends on the position error (F e_0 = e_0).
  for (Eigen::Index i = 0; i < n; ++i) {
    ErrorStateFilter probe = base;
    for (ImuNoise& q : probe.noise) {
      q = ImuNoise{};
    }
    probe.state.covariance.setZero();
    probe.state.covariance(i, 0) = 1.0;
    probe.propagate(1, gyro, accel, dt);
    const VectorXd f_column = probe.state.covariance.col(0);

    ErrorStateFilter nominal = base;
    ErrorStateFilter perturbed = base;
    VectorXd dx = VectorXd::Zero(n);
    dx[i] = eps;
    perturbed.state.position += dx.segment<3>(0);
    perturbed.state.velocity += dx.segment<3>(3);
    perturbed.state.orientation = hamilton(perturbed.state.orientation, exp_rotation(dx.segment<3>(6)));
    for (std::size_t k = 0; k < 2; ++k) {
      perturbed.state.biases[k].gyro += dx.segment<3>(layout::gyro_bias(k));
      perturbed.state.biases[k].accel += dx.segment<3>(layout::accel_bias(k));
    }
    nominal.propagate(1, gyro, accel, dt);
    perturbed.propagate(1, gyro, accel, dt);
    VectorXd numerical(n);
    numerical.segment<3>(0) = perturbed.state.position - nominal.state.position;
    numerical.segment<3>(3) = perturbed.state.velocity - nominal.state.velocity;
    numerical.segment<3>(6) = rotation_error(nominal.state.orientation, perturbed.state.orientation);
    for (std::size_t k = 0; k < 2; ++k) {
      numerical.segment<3>(layout::gyro_bias(k)) = perturbed.state.biases[k].gyro - nominal.state.biases[k].gyro;
      numerical.segment<3>(layout::accel_bias(k)) = perturbed.state.biases[k].accel - nominal.state.biases[k].accel;
    }
    numerical /= eps;
    EXPECT_LT((numerical - f_column).cwiseAbs().maxCoeff(), 50.0 * dt * dt + 1e-6) << "column " << i;
  }
}

// A known motion: constant body rate ω0 and position p(t) = (sin t, 2 cos(t/2), 0.3 t²). The IMU reads
// ω0 and f_b = Rᵀ(p'' + g ẑ). The attitude is exact (products of Exp of a constant rate); position and
// velocity are first-order accurate, so halving dt halves the error.
TEST(Propagate, FollowsKnownMotion) {
  const Vector3d omega0(0.2, -0.1, 0.5);
  const double g = 9.81;
  const double duration = 2.0;
  auto run = [&](double dt, double& position_error, double& attitude_error) {
    ErrorStateFilter filter;
    filter.noise = {ImuNoise{1e-3, 1e-4, 1e-2, 1e-3}};
    filter.gravity = g;
    filter.init(Quaterniond::Identity(), {ImuBias{}}, 0.1, 0.1, 0.1, 0.1);
    filter.state.position = Vector3d(0.0, 2.0, 0.0);
    filter.state.velocity = Vector3d(1.0, 0.0, 0.0);
    const auto steps = static_cast<int>(std::lround(duration / dt));
    for (int s = 0; s < steps; ++s) {
      const double t = s * dt;
      const Vector3d accel_world(-std::sin(t), -0.5 * std::cos(t / 2.0), 0.6);
      const Matrix3d R = Eigen::AngleAxisd(omega0.norm() * t, omega0.normalized()).toRotationMatrix();
      filter.propagate(0, omega0, R.transpose() * (accel_world + Vector3d(0, 0, g)), dt);
    }
    const Vector3d truth(std::sin(duration), 2.0 * std::cos(duration / 2.0), 0.3 * duration * duration);
    const Quaterniond q_truth(Eigen::AngleAxisd(omega0.norm() * duration, omega0.normalized()));
    position_error = (filter.state.position - truth).norm();
    attitude_error = rotation_error(q_truth, filter.state.orientation).norm();
  };
  double coarse = 0, fine = 0, coarse_att = 0, fine_att = 0;
  run(2e-3, coarse, coarse_att);
  run(1e-3, fine, fine_att);
  EXPECT_LT(coarse, 1e-2);
  EXPECT_NEAR(coarse / fine, 2.0, 0.3);
  EXPECT_LT(coarse_att, 1e-12);
  EXPECT_LT(fine_att, 1e-12);
}

TEST(Propagate, WorkedCases) {
  std::mt19937 rng(5);
  // dt = 0: F = I, Q = 0, Exp(0) = identity.
  {
    ErrorStateFilter filter = random_filter(rng, 2);
    const FilterState before = filter.state;
    filter.propagate(1, random_vector(rng, 1), random_vector(rng, 9), 0.0);
    EXPECT_TRUE(filter.state.covariance == before.covariance);
    EXPECT_TRUE(filter.state.position == before.position);
    EXPECT_TRUE(filter.state.velocity == before.velocity);
    EXPECT_TRUE(same_bits(filter.state.orientation.coeffs(), before.orientation.coeffs()));
  }
  // A gyro reading equal to the bias leaves the attitude bit for bit.
  {
    ErrorStateFilter filter = random_filter(rng, 1);
    const Quaterniond before = filter.state.orientation;
    filter.propagate(0, filter.state.biases[0].gyro, random_vector(rng, 9), 0.01);
    EXPECT_TRUE(same_bits(filter.state.orientation.coeffs(), before.coeffs()));
  }
  // A level body at rest stays at rest.
  {
    ErrorStateFilter filter;
    filter.noise = {ImuNoise{1e-3, 1e-4, 1e-2, 1e-3}};
    filter.gravity = 9.80665;
    filter.init(Quaterniond::Identity(), {ImuBias{}}, 0.1, 0.1, 0.05, 0.01);
    for (int s = 0; s < 1000; ++s) {
      filter.propagate(0, Vector3d::Zero(), Vector3d(0, 0, 9.80665), 0.005);
    }
    EXPECT_TRUE(filter.state.position.isZero(0.0));
    EXPECT_TRUE(filter.state.velocity.isZero(0.0));
  }
  // Two IMUs: propagating IMU 0 adds IMU 1's random walks to its bias blocks but couples only IMU 0's
  // biases into velocity and attitude.
  {
    ErrorStateFilter filter;
    filter.noise = {ImuNoise{1e-3, 1e-4, 1e-2, 1e-3}, ImuNoise{2e-3, 3e-4, 2e-2, 4e-3}};
    filter.init(Quaterniond::Identity(), {ImuBias{}, ImuBias{}}, 0.1, 0.1, 0.05, 0.01);
    const double dt = 0.01;
    filter.propagate(0, Vector3d(0.1, 0, 0), Vector3d(1, 0, 9.8), dt);
    const MatrixXd& p = filter.state.covariance;
    EXPECT_DOUBLE_EQ(p(layout::gyro_bias(1), layout::gyro_bias(1)), 1e-4 + 3e-4 * 3e-4 * dt);
    EXPECT_DOUBLE_EQ(p(layout::accel_bias(1), layout::accel_bias(1)), 1e-4 + 4e-3 * 4e-3 * dt);
    EXPECT_NE(p(3, layout::accel_bias(0)), 0.0);
    EXPECT_NE(p(6, layout::gyro_bias(0)), 0.0);
    EXPECT_TRUE(p.block(0, layout::gyro_bias(1), 9, 6).isZero(0.0));
  }
  // Initial covariance: σ_p², σ_v², σ_θ² three times each, then σ_b² for every bias row.
  {
    ErrorStateFilter filter;
    filter.init(Quaterniond::Identity(), {ImuBias{}, ImuBias{}}, 0.1, 0.2, 0.05, 0.01);
    VectorXd diagonal(21);
    diagonal << VectorXd::Constant(3, 0.1 * 0.1), VectorXd::Constant(3, 0.2 * 0.2), VectorXd::Constant(3, 0.05 * 0.05),
        VectorXd::Constant(12, 0.01 * 0.01);
    EXPECT_TRUE(filter.state.covariance == MatrixXd(diagonal.asDiagonal()));
    filter.init(Quaterniond::Identity(), {}, 0.1, 0.2, 0.05, 0.01);
    EXPECT_EQ(filter.state.covariance.rows(), 9);
    EXPECT_THROW(filter.propagate(0, Vector3d::Zero(), Vector3d::Zero(), 0.01), std::out_of_range);
  }
}

// The update against the dense formulas evaluated as written, at states 15 to 51, with rows that touch
// every state and rows that touch three to five of them (as odometry rows do).
TEST(Update, MatchesDenseFormulas) {
  // The filter sums the same non-zero terms in another order: a few ulps of the largest element.
  constexpr double kRelative = 1e-12;
  const uint32_t seed = 99;
  std::mt19937 rng(seed);
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
        const MatrixXd S = H * P * H.transpose() + MatrixXd(r.asDiagonal());
        const MatrixXd K = P * H.transpose() * S.inverse();
        const MatrixXd A = MatrixXd::Identity(n, n) - K * H;
        const MatrixXd expected_p = A * P * A.transpose() + K * r.asDiagonal() * K.transpose();
        const VectorXd dx = K * y;
        const FilterState before = filter.state;
        SCOPED_TRACE(::testing::Message() << "seed " << seed << " n " << n << " m " << m << " sparse " << sparse);

        ASSERT_TRUE(filter.update(y, H, r, 0.0));
        const double scale = expected_p.cwiseAbs().maxCoeff();
        EXPECT_LT((filter.state.covariance - expected_p).cwiseAbs().maxCoeff(), kRelative * scale);
        // With the optimal gain the Joseph form equals (I − K H) P.
        EXPECT_LT((filter.state.covariance - A * P).cwiseAbs().maxCoeff(), 1e-9 * scale);
        EXPECT_LT((filter.state.position - before.position - dx.segment<3>(0)).norm(), 1e-12);
        EXPECT_LT((filter.state.velocity - before.velocity - dx.segment<3>(3)).norm(), 1e-12);
        EXPECT_LT((rotation_error(before.orientation, filter.state.orientation) - dx.segment<3>(6)).norm(), 1e-12);
        for (std::size_t k = 0; k < imus; ++k) {
          EXPECT_LT((filter.state.biases[k].gyro - before.biases[k].gyro - dx.segment<3>(layout::gyro_bias(k))).norm(), 1e-12);
          EXPECT_LT((filter.state.biases[k].accel - before.biases[k].accel - dx.segment<3>(layout::accel_bias(k))).norm(), 1e-12);
        }
      }
    }
  }
  // A NaN anywhere in the covariance reaches S through the zero entries of H, as in the dense products:
  // the gate refuses, leaving the filter as it was.
  ErrorStateFilter filter = random_filter(rng, 1);
  filter.state.covariance(14, 13) = kNaN;
  MatrixXd H = MatrixXd::Zero(1, 15);
  H(0, 0) = 1.0;
  EXPECT_FALSE(filter.update(VectorXd::Constant(1, 0.1), H, VectorXd::Constant(1, 0.01), 5.0));
}

// Six position/velocity rows with S = I: d² = Σ y².
TEST(Update, GateBoundaryAndSwitches) {
  auto filter_with_unit_s = [] {
    ErrorStateFilter filter;
    filter.init(Quaterniond::Identity(), {ImuBias{}}, std::sqrt(0.5), std::sqrt(0.5), 0.05, 0.01);
    return filter;
  };
  MatrixXd H = MatrixXd::Zero(6, 15);
  H.leftCols<6>().setIdentity();
  const VectorXd r = VectorXd::Constant(6, 0.5);
  VectorXd at_bound = VectorXd::Constant(6, 5.0);  // d² = 150 = 5² · 6
  VectorXd inside = at_bound;
  inside[5] = std::sqrt(24.9);  // d² = 149.9

  struct Case {
    VectorXd y;
    double gate;
    bool applied;
  };
  const std::vector<Case> cases = {{inside, 5.0, true},       {at_bound, 5.0, false}, {at_bound * 100, 0.0, true},
                                   {at_bound * 100, -1.0, true}, {at_bound * 100, kNaN, true}};
  for (const Case& c : cases) {
    ErrorStateFilter filter = filter_with_unit_s();
    const FilterState before = filter.state;
    EXPECT_EQ(filter.update(c.y, H, r, c.gate), c.applied) << c.gate;
    EXPECT_EQ(same_state(filter.state, before), !c.applied);
  }

  // No rows: refused with a gate (0 is not below 0), applied without one, changing nothing.
  ErrorStateFilter filter = filter_with_unit_s();
  const FilterState before = filter.state;
  EXPECT_FALSE(filter.update(VectorXd(0), MatrixXd(0, 15), VectorXd(0), 5.0));
  EXPECT_TRUE(filter.update(VectorXd(0), MatrixXd(0, 15), VectorXd(0), 0.0));
  EXPECT_TRUE(same_state(filter.state, before));
  EXPECT_THROW(filter.update(VectorXd(2), MatrixXd(2, 9), VectorXd(2), 5.0), std::invalid_argument);
}

TEST(Update, SingularInnovationRefused) {
  // One row with variance 0 on a position of variance 0: S = 0.
  ErrorStateFilter filter;
  filter.init(Quaterniond::Identity(), {ImuBias{}}, 0.0, 0.1, 0.05, 0.01);
  const FilterState before = filter.state;
  MatrixXd H = MatrixXd::Zero(1, 15);
  H(0, 0) = 1.0;
  EXPECT_FALSE(filter.update(VectorXd::Constant(1, 1.0), H, VectorXd::Zero(1), 0.0));
  EXPECT_TRUE(same_state(filter.state, before));

  // Every inversion path: a duplicated row without noise makes S exactly singular.
  std::mt19937 rng(3);
  for (Eigen::Index m = 1; m <= 7; ++m) {
    MatrixXd s = random_spd(rng, m);
    MatrixXd inverse;
    ASSERT_TRUE(invert_innovation(s, inverse)) << m;
    EXPECT_TRUE((inverse * s).isIdentity(1e-9)) << m;
    if (m >= 2) {
      MatrixXd g = MatrixXd::Random(m, m);
      g.row(m - 1) = g.row(0);
      EXPECT_FALSE(invert_innovation(g * g.transpose(), inverse)) << m;
    }
  }
  MatrixXd zero = MatrixXd::Zero(1, 1);
  MatrixXd inverse;
  EXPECT_FALSE(invert_innovation(zero, inverse));
}

TEST(Update, PositionRowsMoveCoupledStates) {
  std::mt19937 rng(11);
  ErrorStateFilter filter = random_filter(rng, 2);
  const FilterState before = filter.state;
  MatrixXd H = MatrixXd::Zero(3, 21);
  H.leftCols<3>().setIdentity();
  ASSERT_TRUE(filter.update(Vector3d(0.3, -0.2, 0.1), H, Vector3d::Constant(0.01), 5.0));
  EXPECT_GT((filter.state.velocity - before.velocity).norm(), 0.0);
  EXPECT_GT(rotation_error(before.orientation, filter.state.orientation).norm(), 0.0);
  for (std::size_t k = 0; k < 2; ++k) {
    EXPECT_GT((filter.state.biases[k].gyro - before.biases[k].gyro).norm(), 0.0) << k;
    EXPECT_GT((filter.state.biases[k].accel - before.biases[k].accel).norm(), 0.0) << k;
  }

  // A zero residual changes no nominal value but shrinks the covariance.
  ErrorStateFilter still = random_filter(rng, 1);
  const FilterState prior = still.state;
  MatrixXd h = MatrixXd::Zero(3, 15);
  h.leftCols<3>().setIdentity();
  ASSERT_TRUE(still.update(Vector3d::Zero(), h, Vector3d::Constant(0.01), 5.0));
  EXPECT_TRUE(same_bits(still.state.position, prior.position));
  EXPECT_TRUE(same_bits(still.state.orientation.coeffs(), prior.orientation.coeffs()));
  EXPECT_LT(still.state.covariance.trace(), prior.covariance.trace());
}

TEST(Rotation, ErrorInvertsExp) {
  std::mt19937 rng(8);
  for (int i = 0; i < 50; ++i) {
    const Quaterniond q(Eigen::AngleAxisd(3.0 * (i % 7) / 7.0, random_vector(rng, 1).normalized()));
    const Vector3d phi = random_vector(rng, 0.8);
    if (phi.norm() >= M_PI) {
      continue;
    }
    EXPECT_LT((rotation_error(q, hamilton(q, exp_rotation(phi))) - phi).norm(), 1e-12);
    // −q is the same rotation.
    EXPECT_LT((rotation_error(q, Quaterniond(-hamilton(q, exp_rotation(phi)).coeffs())) - phi).norm(), 1e-12);
    EXPECT_TRUE(rotation_matrix(q).isApprox(q.toRotationMatrix(), 1e-14));
  }
  EXPECT_TRUE(same_bits(exp_rotation(Vector3d(1e-17, 0, 0)).coeffs(), Quaterniond::Identity().coeffs()));
}

}  // namespace
}  // namespace velk_slam::odometry_fusion
