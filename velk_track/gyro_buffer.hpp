// Gyroscope samples of the rig's IMU and their integration into a rotation between two stamps.
#pragma once

#include <Eigen/Core>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <optional>

#include <stamps.hpp>

namespace velk_track {

// Walks [t0, t1] over IMU samples in time order (each with a t_ns), cut at the samples: between two
// samples the readings are linear, before the first and after the last the nearest one holds. For
// each piece, step(s0, s1, f, dt) gets the samples around it and the piece's mean reading as the
// fraction f from s0 to s1 (s0 == s1 and f = 0 where a reading holds). False, with no step taken
// past the hole, when the samples do not cover the interval: the first must lie at most
// `max_gap_ns` after t0, the last at most that before t1, and no two neighbours further apart.
template <class Samples, class Step>
bool walk_samples(const Samples& samples, int64_t t0_ns, int64_t t1_ns, int64_t max_gap_ns, Step&& step) {
  if (samples.empty() || t1_ns < t0_ns || max_gap_ns < 0) return false;
  using velk_slam::difference_ns;
  using velk_slam::difference_seconds;
  const int64_t first = samples.front().t_ns, last = samples.back().t_ns;
  if ((first > t0_ns && difference_ns(first, t0_ns) > max_gap_ns) ||
      (last < t1_ns && difference_ns(t1_ns, last) > max_gap_ns))
    return false;
  size_t i = 0;
  while (i < samples.size() && samples[i].t_ns <= t0_ns) ++i;
  int64_t t = t0_ns;
  while (t < t1_ns) {
    int64_t t_next;
    if (i == 0 || i >= samples.size()) {
      const auto& held = samples[i == 0 ? 0 : samples.size() - 1];
      t_next = i == 0 ? std::min(held.t_ns, t1_ns) : t1_ns;
      step(held, held, 0.0, difference_seconds(t_next, t));
    } else {
      const auto& s0 = samples[i - 1];
      const auto& s1 = samples[i];
      if (difference_ns(s1.t_ns, s0.t_ns) > max_gap_ns) return false;
      t_next = std::min(s1.t_ns, t1_ns);
      // Mean of the interpolated values at both ends of [t, t_next] (s0.t_ns <= t <= t_next <= s1.t_ns).
      const double span = static_cast<double>(difference_ns(s1.t_ns, s0.t_ns));
      const double f0 = span > 0.0 ? static_cast<double>(difference_ns(t, s0.t_ns)) / span : 0.0;
      const double f1 = span > 0.0 ? static_cast<double>(difference_ns(t_next, s0.t_ns)) / span : 1.0;
      step(s0, s1, 0.5 * (f0 + f1), difference_seconds(t_next, t));
    }
    t = t_next;
    if (i < samples.size() && t >= samples[i].t_ns) ++i;
  }
  return true;
}

// The reading a fraction f of the way from x0 to x1 (x0 itself at f = 0, whatever x1).
inline Eigen::Vector3d between(const Eigen::Vector3d& x0, const Eigen::Vector3d& x1, double f) {
  return f == 0.0 ? x0 : Eigen::Vector3d(x0 + f * (x1 - x0));
}

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

}  // namespace velk_track
