// The rig's IMU as a motion sensor: gyro and accelerometer preintegrated between two stamps, gravity
// in the world frame and the accelerometer bias estimated against the poses from the images, and
// the rig's velocity from both; with them, the pose at a later stamp is predicted (across dropped
// frame sets and failed frames) and a pose from the images that disagrees grossly is flagged.
//
// Model (IMU frame i, world frame w): R_wi' = R_wi dR, v' = v + g dt + R_wi dv,
// p' = p + v dt + g dt^2 / 2 + R_wi dp, where dR, dv, dp integrate (w - bg) and (a - ba) over the
// interval. dv and dp are linear in ba (dR does not depend on it), so the bias enters through two
// exact Jacobians and the preintegration is done once, at ba = 0.
#pragma once

#include <Eigen/Core>

#include <cstdint>
#include <deque>
#include <optional>

#include "velk_track/geometry.hpp"

namespace velk_track {

struct Preintegration {
  double dt = 0.0;
  Eigen::Matrix3d dR = Eigen::Matrix3d::Identity();  // imu(t0)_from_imu(t1)
  Eigen::Vector3d dv = Eigen::Vector3d::Zero();      // velocity change in imu(t0), gravity aside
  Eigen::Vector3d dp = Eigen::Vector3d::Zero();      // position change in imu(t0), gravity and v dt aside
  Eigen::Matrix3d dv_dba = Eigen::Matrix3d::Zero();  // d(dv) / d(accelerometer bias)
  Eigen::Matrix3d dp_dba = Eigen::Matrix3d::Zero();

  Eigen::Vector3d dv_at(const Eigen::Vector3d& ba) const { return dv + dv_dba * ba; }
  Eigen::Vector3d dp_at(const Eigen::Vector3d& ba) const { return dp + dp_dba * ba; }
};

// Gyro and accelerometer samples (IMU frame) in time order.
class ImuSamples {
 public:
  void add(int64_t t_ns, const Eigen::Vector3d& w, const Eigen::Vector3d& a);
  // Over [t0, t1] with rates and forces linear between samples (held before the first and after the
  // last). None when the samples leave a hole longer than max_gap_ns (at either end or between two).
  std::optional<Preintegration> integrate(int64_t t0_ns, int64_t t1_ns, const Eigen::Vector3d& gyro_bias,
                                          int64_t max_gap_ns) const;
  // Forgets samples that no interval starting at or after t_ns can need.
  void drop_before(int64_t t_ns);
  size_t size() const { return samples_.size(); }

 private:
  struct Sample {
    int64_t t_ns;
    Eigen::Vector3d w, a;
  };
  std::deque<Sample> samples_;
};

class InertialMotion {
 public:
  explicit InertialMotion(const Rigid& rig_from_imu) : rig_from_imu_(rig_from_imu) {}

  void add_sample(int64_t t_ns, const Eigen::Vector3d& w, const Eigen::Vector3d& a) { samples_.add(t_ns, w, a); }
  // A pose from the images (world_from_rig): refines gravity and the accelerometer bias over spans
  // between such poses, and becomes the origin of the next predictions.
  void observe(int64_t t_ns, const Rigid& world_from_rig, const Eigen::Vector3d& gyro_bias);
  // The map was started afresh: poses before and after no longer chain (gravity and bias are kept).
  void restart();
  // world_from_rig at t_ns, carried from the last observed pose; none until gravity is known, or
  // when the last pose is older than max_span_s or the samples do not cover the interval.
  std::optional<Rigid> predict(int64_t t_ns, const Eigen::Vector3d& gyro_bias, double max_span_s) const;
  // Whether a pose from the images lies too far (position or attitude) from the prediction carried
  // at most max_span_s to be true; counts it when so.
  bool contradicts(int64_t t_ns, const Rigid& world_from_rig, const Eigen::Vector3d& gyro_bias, double max_span_s);

  bool ready() const { return ready_; }
  const Eigen::Vector3d& gravity() const { return gravity_; }
  const Eigen::Vector3d& accel_bias() const { return accel_bias_; }
  int contradictions() const { return contradictions_; }

 private:
  struct Node {
    int64_t t_ns;
    Eigen::Matrix3d R;  // world_from_imu
    Eigen::Vector3d p;
  };
  Node imu_node(int64_t t_ns, const Rigid& world_from_rig) const;
  void add_span_triple(const Eigen::Vector3d& gyro_bias);
  void solve();

  Rigid rig_from_imu_;
  ImuSamples samples_;
  std::deque<Node> recent_;  // poses from the images over the last second, oldest first
  std::deque<Node> nodes_;   // span ends, at least kSpanSeconds apart; the last three
  bool has_velocity_ = false;
  Eigen::Vector3d velocity_ = Eigen::Vector3d::Zero();  // IMU velocity at recent_.back(), world frame
  // Normal equations of [gravity; accelerometer bias] over the spans, older ones fading.
  Eigen::Matrix<double, 6, 6> info_ = Eigen::Matrix<double, 6, 6>::Zero();
  Eigen::Matrix<double, 6, 1> rhs_ = Eigen::Matrix<double, 6, 1>::Zero();
  double weight_ = 0.0;  // fading count of the spans behind info_
  bool ready_ = false;
  Eigen::Vector3d gravity_ = Eigen::Vector3d::Zero();
  Eigen::Vector3d accel_bias_ = Eigen::Vector3d::Zero();
  int contradictions_ = 0;
};

}  // namespace velk_track
