#include "types.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace velk_slam {
namespace {

constexpr double kTol = 1e-12;  // a few ulps of the unit-sized values below

Eigen::Quaterniond axis_angle(Eigen::Vector3d axis, double angle) {
  return Eigen::Quaterniond(Eigen::AngleAxisd(angle, axis.normalized()));
}

// Rotation helpers against Eigen's rotation matrices over hard inputs: tiny angles, π rotations, w = −1.
TEST(Isometry, OperationsAgreeWithRotationMatrices) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<Eigen::Quaterniond> rotations = {
      Eigen::Quaterniond::Identity(), Eigen::Quaterniond(-1, 0, 0, 0), Eigen::Quaterniond(0, 1, 0, 0),
      axis_angle({1, 2, 3}, 1e-9),    axis_angle({0.3, -1, 0.2}, M_PI - 1e-7)};
  for (int i = 0; i < 20; ++i) rotations.push_back(axis_angle({u(rng), u(rng), u(rng) + 1.5}, 3 * u(rng)));
  for (const auto& qa : rotations) {
    for (const auto& qb : {rotations[3], rotations[6], rotations[1]}) {
      const Isometry a = Isometry::from_parts({u(rng), u(rng), u(rng)}, qa);
      const Isometry b = Isometry::from_parts({u(rng), u(rng), u(rng)}, qb);
      const Eigen::Vector3d p(u(rng), u(rng), u(rng));
      const Eigen::Matrix3d Ra = qa.normalized().toRotationMatrix();
      EXPECT_TRUE(a.rotate(p).isApprox(Ra * p, kTol) || (a.rotate(p) - Ra * p).norm() < kTol);
      EXPECT_LT(((a * b).transform_point(p) - a.transform_point(b.transform_point(p))).norm(), kTol);
      EXPECT_LT((a.inverse().transform_point(a.transform_point(p)) - p).norm(), kTol);
      const Isometry id = a * a.inverse();
      EXPECT_LT(id.translation.norm(), kTol);
      EXPECT_NEAR(std::abs(id.rotation.w()), 1.0, kTol);
    }
  }
}

TEST(Isometry, FromPartsNormalisesAndHamiltonMatchesComponentForm) {
  // A quarter turn about z carries (1, 0, 0) to (0, 1, 0); a non-unit quaternion is normalised.
  const double s = std::sqrt(0.5);
  const Isometry quarter = Isometry::from_parts({0, 0, 0}, Eigen::Quaterniond(2 * s, 0, 0, 2 * s));
  EXPECT_LT((quarter.transform_point({1, 0, 0}) - Eigen::Vector3d(0, 1, 0)).norm(), 1e-15);
  const Isometry iso = Isometry::from_parts({1, 0, 0}, Eigen::Quaterniond(2, 0, 0, 0));
  EXPECT_EQ(iso.rotation.coeffs(), Eigen::Vector4d(0, 0, 0, 1));
  EXPECT_EQ(iso.inverse().translation, Eigen::Vector3d(-1, 0, 0));
  // i ⊗ j = k in the Hamilton convention.
  const Eigen::Quaterniond k = hamilton(Eigen::Quaterniond(0, 1, 0, 0), Eigen::Quaterniond(0, 0, 1, 0));
  EXPECT_EQ(k.coeffs(), Eigen::Vector4d(0, 0, 1, 0));
  const Isometry zero = Isometry::from_parts({0, 0, 0}, Eigen::Quaterniond(0, 0, 0, 0));
  EXPECT_TRUE(std::isnan(zero.rotation.w()));  // not rejected: non-finite, as documented
}

}  // namespace
}  // namespace velk_slam
