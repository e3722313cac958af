// Properties of the rotation helpers, of Isometry and of stamp arithmetic over hard inputs: angles of zero,
// 1e-300 and 1e-12 rad, near and at π, full turns and 1e6 rad; both signs of w; non-unit quaternions whose
// squared norm overflows or underflows; stamps at both ends of the int64_t range.
#include "stamps.hpp"
#include "types.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <tuple>
#include <utility>
#include <vector>

namespace velk_slam {
namespace {

using Eigen::Quaterniond;
using Eigen::Vector3d;

// A few ulps of a result of order 1; relative to the angle where the angle is larger.
constexpr double kUlps = 1e-15;
// Below this angle (2 √kSmallSquared) Exp is the identity by design.
const double kSmallestTurn = 2.0 * std::sqrt(kSmallSquared);

TEST(Geometry, ExpAndLogOverHardAngles) {
  for (const Vector3d& axis : {Vector3d(Vector3d(1, -2, 0.5).normalized()), Vector3d(-Vector3d::UnitZ())}) {
    for (const double angle : {0.0, 1e-300, 1e-12, 1e-8, 0.3, M_PI - 1e-9, M_PI, M_PI + 1e-9, 2 * M_PI, -3.0, 1e6}) {
      SCOPED_TRACE(testing::Message() << "angle " << angle << " axis " << axis.transpose());
      const Quaterniond q = exp_rotation(angle * axis);
      EXPECT_NEAR(q.norm(), 1.0, 4 * kUlps);
      EXPECT_TRUE(rotation_matrix(q).isApprox(Eigen::AngleAxisd(angle, axis).toRotationMatrix(), 1e-14));
      // log lands within ±π on the same axis, exactly to rounding, for either sign of q; exp(log(R)) = R.
      const double wrapped = std::remainder(angle, 2 * M_PI);
      const double tolerance = kUlps * std::max(1.0, std::abs(angle)) + kSmallestTurn;
      for (const Quaterniond& either : {q, Quaterniond(-q.coeffs())}) {
        const Vector3d r = log_rotation(either);
        EXPECT_LE(r.norm(), M_PI + 4 * kUlps);
        EXPECT_NEAR(rotation_angle(either), std::abs(wrapped), tolerance);
        if (std::abs(wrapped) < M_PI - 1e-12) {  // at π both ends of the axis are right
          EXPECT_LE((r - wrapped * axis).norm(), tolerance);
        }
        EXPECT_TRUE(rotation_matrix(exp_rotation(r)).isApprox(rotation_matrix(q), 1e-14));
        // Scaled by powers of two (exact), up to where the squared norm overflows or underflows, q is the
        // same rotation.
        for (const double scale : {std::ldexp(1.0, 600), std::ldexp(1.0, -900)}) {
          const Quaterniond scaled(Eigen::Vector4d(either.coeffs() * scale));
          EXPECT_NEAR(rotation_angle(scaled), rotation_angle(either), kUlps) << "scale " << scale;
          EXPECT_LE((log_rotation(scaled) - r).norm(), kUlps * std::max(1.0, r.norm())) << "scale " << scale;
        }
      }
      // The matrix forms: Log of the matrix of Exp(φ) is φ wrapped into ±π, through Eigen's conversion of a
      // matrix to a quaternion, whose branch changes with the sign of the trace.
      const Vector3d r = log_rotation_matrix(exp_rotation_matrix(angle * axis));
      EXPECT_NEAR(r.norm(), std::abs(wrapped), tolerance + 4 * kUlps);
      if (std::abs(wrapped) < M_PI - 1e-12) {
        EXPECT_LE((r - wrapped * axis).norm(), tolerance + 4 * kUlps);
      }
    }
  }
}

TEST(Geometry, NormalisationWithoutOverflow) {
  const Quaterniond w_minus_one(-1.0, 0.0, 0.0, 0.0);
  const Vector3d v(0.3, -4.0, 2.0);
  EXPECT_EQ(normalized_quaternion(w_minus_one).coeffs(), w_minus_one.coeffs());
  EXPECT_EQ(rotate_vector(w_minus_one, v), v);
  EXPECT_EQ(log_rotation(w_minus_one), Vector3d::Zero());
  // Scaling by powers of two is exact, so every scaled copy must normalise to the unscaled result.
  for (const Quaterniond& q : {Quaterniond(4, 1, -2, 2), Quaterniond(-0.5, 0, 0, 0), Quaterniond(0, 3, 0, -4)}) {
    for (const double scale : {1.0, std::ldexp(1.0, 1020), std::ldexp(1.0, -1060), std::ldexp(1.0, -1070)}) {
      const Quaterniond n = normalized_quaternion(Quaterniond(q.coeffs() * scale));
      EXPECT_TRUE(n.coeffs().isApprox(q.normalized().coeffs(), kUlps)) << q.coeffs().transpose() << " x " << scale;
    }
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (const Quaterniond& q : {Quaterniond(0, 0, 0, 0), Quaterniond(inf, 0, 0, 0), Quaterniond(1, std::nan(""), 0, 0)}) {
    EXPECT_TRUE(normalized_quaternion(q).coeffs().array().isNaN().all()) << q.coeffs().transpose();
  }
}

// Composition, inverse and rotation against Eigen's rotation matrices, over w = −1, a half turn, 1e-9 rad,
// π − 1e-7 and random rotations, to a few ulps of these unit-sized values.
TEST(Isometry, OperationsAgreeWithRotationMatrices) {
  constexpr double kTol = 1e-12;
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const auto random_vector = [&] { return Vector3d(u(rng), u(rng), u(rng)); };
  const auto turn = [](const Vector3d& axis, double angle) { return Quaterniond(Eigen::AngleAxisd(angle, axis.normalized())); };
  std::vector<Quaterniond> rotations = {Quaterniond::Identity(), Quaterniond(-1, 0, 0, 0), Quaterniond(0, 1, 0, 0),
                                        turn({1, 2, 3}, 1e-9), turn({0.3, -1, 0.2}, M_PI - 1e-7)};
  for (int i = 0; i < 20; ++i) rotations.push_back(turn(random_vector() + Vector3d(0, 0, 1.5), 3 * u(rng)));
  for (const Quaterniond& qa : rotations) {
    for (const Quaterniond& qb : {rotations[3], rotations[6], rotations[1]}) {
      const Isometry a = Isometry::from_parts(random_vector(), qa);
      const Isometry b = Isometry::from_parts(random_vector(), qb);
      const Vector3d p = random_vector();
      EXPECT_LT((a.rotate(p) - qa.normalized().toRotationMatrix() * p).norm(), kTol);
      EXPECT_LT(((a * b).transform_point(p) - a.transform_point(b.transform_point(p))).norm(), kTol);
      EXPECT_LT((a.inverse().transform_point(a.transform_point(p)) - p).norm(), kTol);
      const Isometry id = a * a.inverse();
      EXPECT_LT(id.translation.norm() + std::abs(std::abs(id.rotation.w()) - 1.0), kTol);
    }
  }
  // A non-unit quarter turn about z is normalised and carries x to y; i ⊗ j = k (Hamilton).
  EXPECT_LT((Isometry::from_parts({0, 0, 0}, Quaterniond(2, 0, 0, 2)).transform_point({1, 0, 0}) - Vector3d::UnitY()).norm(), 1e-15);
  EXPECT_EQ(hamilton(Quaterniond(0, 1, 0, 0), Quaterniond(0, 0, 1, 0)).coeffs(), Eigen::Vector4d(0, 0, 1, 0));
}

// Every stamp difference saturates at the int64_t range instead of overflowing (run under UBSan in CI), in
// ns and in seconds; a duration in seconds rounds to the nearest ns and saturates too.
TEST(Stamps, SaturatingArithmetic) {
  constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
  constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
  for (const auto& [a, b, expected] : {std::tuple{int64_t{5}, int64_t{3}, int64_t{2}}, {kMax, -1, kMax}, {kMin, 1, kMin},
                                       {kMax, kMin, kMax}, {kMin, kMax, kMin}, {kMin, kMin, 0}, {-1, kMax, kMin},
                                       {-2'000'000'000, -3'500'000'000, 1'500'000'000}}) {
    EXPECT_EQ(difference_ns(a, b), expected) << a << " - " << b;
    EXPECT_EQ(difference_seconds(a, b), static_cast<double>(expected) / 1e9) << a << " - " << b;
  }
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (const auto& [seconds, expected] :
       {std::pair{0.5, int64_t{500'000'000}}, {-0.5, -500'000'000}, {1e-10, 0}, {4.1, 4'100'000'000}, {nan, 0},
        {1e300, kMax}, {-1e300, kMin}, {9.3e9, kMax}, {-9.2233720368547758e9, kMin}}) {
    EXPECT_EQ(ns_from_seconds(seconds), expected) << seconds;
  }
}

}  // namespace
}  // namespace velk_slam
