// Gyroscope samples of the rig's IMU and their integration into a rotation between two stamps.
#pragma once

#include <Eigen/Core>

#include <cstdint>
#include <deque>
#include <optional>

namespace cuvslam::detail {

class GyroBuffer {
 public:
  // Samples arrive in time order (the caller refuses older stamps). Angular velocity in rad/s, IMU frame.
  void add(int64_t t_ns, const Eigen::Vector3d& angular_velocity);

  // imu(t0)_from_imu(t1): the product of Exp((w - bias) dt) over [t0, t1], with the trapezoid rule
  // between samples. None when the samples do not cover the interval: the first must lie at most
  // `max_gap_ns` after t0, the last at most that before t1, and no two neighbours further apart.
  std::optional<Eigen::Matrix3d> integrate(int64_t t0_ns, int64_t t1_ns, const Eigen::Vector3d& bias,
                                           int64_t max_gap_ns) const;

  // Forgets samples that no interval starting at or after t_ns can need.
  void drop_before(int64_t t_ns);

  bool empty() const { return samples_.empty(); }
  int64_t last_ns() const { return samples_.back().t_ns; }

 private:
  struct Sample {
    int64_t t_ns;
    Eigen::Vector3d w;
  };
  std::deque<Sample> samples_;
};

}  // namespace cuvslam::detail
