// Pose output: frame conversion, covariance rotation, the two gates and the hold offset.
#include "vo_support.hpp"

#include <tuple>

namespace vo_test {
namespace {

using cuvslam_double::Outcome;

Outcome outcome_for(const Isometry& world_from_rig) {
  const Eigen::Vector3f t = world_from_rig.translation.cast<float>();
  const Eigen::Vector4f q = world_from_rig.rotation.coeffs().cast<float>();  // x, y, z, w
  return Outcome::pose_at({t.x(), t.y(), t.z()}, {q.x(), q.y(), q.z(), q.w()});
}

class PoseOutput : public VoTest {};

TEST_F(PoseOutput, TrajectoryComesOutInTheOutputFrame) {
  // The output frame moves by M_k; the rig, mounted at X = output_from_rig, then moves by X⁻¹ M_k X in the
  // tracker's world (the rig frame at start). The estimates must reproduce M_k, whatever the mount.
  CuvslamOdometryConfig config;
  config.odom_frame_id = "vo_odom";
  config.output_frame_id = "robot";
  const std::vector<Isometry> motions = {translation(1.0, -2.0, 0.5), pose(0.3, 0.1, -0.2, Eigen::Vector3d(0.2, -0.1, 1.0), 0.7),
                                         pose(-1.5, 0.4, 0.2, Eigen::Vector3d(1, 1, 0), 2.9)};
  for (const Isometry& mount : {Isometry::identity(), pose(0.4, -0.2, 0.9, Eigen::Vector3d(1, -1, 0.5), 1.1)}) {
    cuvslam_double::reset();
    StereoSetup s(config);
    s.tf.set("robot", "rig", mount);
    for (const Isometry& m : motions) cuvslam_double::script().outcomes.push_back(outcome_for(mount.inverse() * m * mount));
    cuvslam_double::script().outcomes.front().pose.rotation = {0.f, 0.f, 0.f, 2.f};  // normalised on the way out
    for (size_t k = 0; k < motions.size(); ++k) {
      const std::optional<OdometryEstimate> e = s.pair(static_cast<int64_t>(k + 1) * 7 * kMs);
      ASSERT_TRUE(e.has_value());
      EXPECT_EQ(std::tie(e->frame_id, e->child_frame_id, e->timestamp_ns),
                std::make_tuple(std::string("vo_odom"), std::string("robot"), static_cast<int64_t>(k + 1) * 7 * kMs));
      EXPECT_NEAR((e->pose.translation - motions[k].translation).norm(), 0.0, 1e-5) << k;
      EXPECT_NEAR(std::abs(e->pose.rotation.coeffs().dot(motions[k].rotation.coeffs())), 1.0, 1e-6) << k;
      EXPECT_EQ(std::make_pair(e->twist_linear, e->twist_covariance), std::make_pair(Eigen::Vector3d::Zero().eval(), Matrix6::Zero().eval()));
    }
  }
}

TEST_F(PoseOutput, CovarianceIsRotatedIntoTheOutputFrame) {
  using Entries = std::vector<std::tuple<int, int, double>>;  // row, column, value; mirrored across the diagonal
  const Isometry quarter_turn = pose(0, 0, 0, Eigen::Vector3d::UnitZ(), M_PI / 2);
  const std::vector<std::tuple<Isometry, Entries, Entries>> cases = {
      // Yaw variance seen from 1 m along x becomes lateral (y) position variance: [t]x e_z = -e_y.
      {translation(1.0, 0.0, 0.0), {{5, 5, 0.04}}, {{1, 1, 0.04}, {5, 5, 0.04}, {1, 5, -0.04}}},
      // A quarter turn about z swaps the x and y variances; row-major order is kept.
      {quarter_turn, {{0, 0, 1.0}, {1, 1, 4.0}, {0, 1, 0.5}}, {{0, 0, 4.0}, {1, 1, 1.0}, {0, 1, -0.5}}},
      // Turned and moved: roll becomes pitch, and pitch seen from 1 m along x moves z: [t]x e_y = e_z.
      {quarter_turn * translation(0.0, -1.0, 0.0), {{3, 3, 0.04}}, {{2, 2, 0.04}, {4, 4, 0.04}, {2, 4, 0.04}}},
  };
  for (const auto& [mount, given, expected_entries] : cases) {
    cuvslam_double::reset();
    StereoSetup s({}, mount);
    Outcome o = Outcome::pose_at({0, 0, 0});
    for (const auto& [r, c, v] : given) o.covariance[static_cast<size_t>(6 * r + c)] = o.covariance[static_cast<size_t>(6 * c + r)] = static_cast<float>(v);
    cuvslam_double::script().outcomes = {o};
    const std::optional<OdometryEstimate> e = s.pair(kMs);
    ASSERT_TRUE(e.has_value());
    Matrix6 expected = Matrix6::Zero();
    for (const auto& [r, c, v] : expected_entries) expected(r, c) = expected(c, r) = static_cast<double>(static_cast<float>(v));
    EXPECT_TRUE(e->pose_covariance.isApprox(expected, 1e-9)) << e->pose_covariance;
  }
}

// Either gate holds the last published pose and publishes later poses on from it; the first pose, and
// the first after a loss, pass both gates, and the hold offset survives the loss. A held estimate
// carries the new covariance.
TEST_F(PoseOutput, CovarianceAndSpeedGates) {
  const auto at = [](float x, float variance) { return Outcome::pose_at({x, 0, 0}, {0, 0, 0, 1}, variance); };
  Outcome nan_x = at(0.3f, 0.f);
  nan_x.covariance[0] = NAN;
  struct Case {
    double covariance_std, max_speed;  // per 100 ms frame step
    std::vector<Outcome> outcomes;
    std::vector<double> xs;
    uint64_t covariance_gated, speed_gated, resets, tracked;
  };
  // The library may report the same stamp twice: no motion passes, any motion is infinitely fast.
  std::vector<Outcome> same_stamp = {at(1.f, 0.f), at(1.f, 0.f), at(1.001f, 0.f)};
  for (Outcome& o : same_stamp) o.timestamp_ns = 5;
  const std::vector<Case> cases = {
      // Held twice at 0.1 (the NaN variance too); then 0.4 − 0.3 on from the held 0.1; 5.0 less the offset −0.2.
      {0.1, 0.0, {at(0.1f, 1.f), at(0.2f, 1.f), nan_x, at(0.4f, 0.001f), Outcome::no_pose(), at(5.0f, 1.f)},
       {0.1, 0.1, 0.1, 0.2, 5.0 - 0.2}, 2, 0, 1, 5},
      // 1.5 m/s: held at 0; 0.1 m/s: published 0.01 from the held pose; 1.5 rad/s: held. The pose held at
      // 0.01 was turned by 0.15 rad, so the offset carries that turn: 0.01 + cos(0.15) (9 − 0.16).
      {0.0, 1.0, {at(0.f, 0.f), at(0.15f, 0.f), at(0.16f, 0.f), outcome_for(pose(0.16, 0, 0, Eigen::Vector3d::UnitZ(), 0.15)),
                  Outcome::no_pose(), at(9.0f, 0.f)},
       {0.0, 0.0, 0.01, 0.01, 0.01 + std::cos(0.15) * (9.0 - 0.16)}, 0, 2, 1, 5},
      {0.0, 1.0, same_stamp, {1.0, 1.0, 1.0}, 0, 1, 0, 3},
  };
  for (const Case& c : cases) {
    cuvslam_double::reset();
    CuvslamOdometryConfig config;
    config.covariance_gate_translation_std = c.covariance_std;
    config.speed_gate_max_linear = config.speed_gate_max_angular = c.max_speed;
    StereoSetup s(config);
    cuvslam_double::script().outcomes = {c.outcomes.begin(), c.outcomes.end()};
    std::vector<double> xs, variances;
    for (int k = 1; k <= static_cast<int>(c.outcomes.size()); ++k) {
      if (std::optional<OdometryEstimate> e = s.pair(k * 100 * kMs)) {
        xs.push_back(e->pose.translation.x());
        variances.push_back(e->pose_covariance(0, 0));
        EXPECT_EQ(e->timestamp_ns, c.outcomes[static_cast<size_t>(k - 1)].timestamp_ns.value_or(k * 100 * kMs)) << "the library's stamp";
      }
    }
    ASSERT_EQ(xs.size(), c.xs.size());
    for (size_t i = 0; i < xs.size(); ++i) EXPECT_NEAR(xs[i], c.xs[i], 1e-5) << i;
    const Counters& n = s.core->counters();
    EXPECT_EQ(std::make_tuple(n.covariance_gated, n.speed_gated, n.resets, n.tracked),
              std::make_tuple(c.covariance_gated, c.speed_gated, c.resets, c.tracked));
    EXPECT_TRUE(c.covariance_std == 0 || (variances[1] == 1.0 && std::isnan(variances[2])));
  }
}

}  // namespace
}  // namespace vo_test
