#include "cuvslam/gyro_buffer.hpp"

#include "cuvslam/geometry.hpp"
#include "cuvslam/stamps.hpp"

namespace cuvslam::detail {

namespace {
// Bound on the samples kept when frames stop coming: about 50 s at 400 Hz.
constexpr size_t kMaxSamples = 20000;
}  // namespace

void GyroBuffer::add(int64_t t_ns, const Eigen::Vector3d& angular_velocity) {
  samples_.push_back({t_ns, angular_velocity});
  while (samples_.size() > kMaxSamples) samples_.pop_front();
}

void GyroBuffer::drop_before(int64_t t_ns) {
  // Keep the last sample at or before t_ns: it bounds the next interval from the left.
  while (samples_.size() >= 2 && samples_[1].t_ns <= t_ns) samples_.pop_front();
}

std::optional<Eigen::Matrix3d> GyroBuffer::integrate(int64_t t0_ns, int64_t t1_ns, const Eigen::Vector3d& bias,
                                                     int64_t max_gap_ns) const {
  if (samples_.empty() || t1_ns < t0_ns || max_gap_ns < 0) return std::nullopt;
  const uint64_t gap = static_cast<uint64_t>(max_gap_ns);
  const int64_t first = samples_.front().t_ns, last = samples_.back().t_ns;
  if ((first > t0_ns && ns_between(t0_ns, first) > gap) || (last < t1_ns && ns_between(last, t1_ns) > gap))
    return std::nullopt;
  Eigen::Matrix3d r = Eigen::Matrix3d::Identity();
  // Piecewise-linear angular velocity through the samples, held constant before the first and
  // after the last one.
  const auto rate_at = [&](size_t i) { return samples_[i].w - bias; };
  int64_t t = t0_ns;
  size_t i = 0;
  while (i < samples_.size() && samples_[i].t_ns <= t0_ns) ++i;
  // Segment from t0 to the first sample after it.
  while (t < t1_ns) {
    int64_t t_next;
    Eigen::Vector3d w;
    if (i == 0) {
      t_next = std::min(samples_[0].t_ns, t1_ns);
      w = rate_at(0);
    } else if (i >= samples_.size()) {
      t_next = t1_ns;
      w = rate_at(samples_.size() - 1);
    } else {
      const Sample& a = samples_[i - 1];
      const Sample& b = samples_[i];
      if (ns_between(a.t_ns, b.t_ns) > gap) return std::nullopt;
      t_next = std::min(b.t_ns, t1_ns);
      // Average of the interpolated rate at both ends of [t, t_next] (a.t_ns <= t <= t_next <= b.t_ns).
      const double span = static_cast<double>(ns_between(a.t_ns, b.t_ns));
      const double f0 = span > 0.0 ? static_cast<double>(ns_between(a.t_ns, t)) / span : 0.0;
      const double f1 = span > 0.0 ? static_cast<double>(ns_between(a.t_ns, t_next)) / span : 1.0;
      const Eigen::Vector3d wa = rate_at(i - 1), wb = rate_at(i);
      w = wa + 0.5 * (f0 + f1) * (wb - wa);
    }
    const double dt = seconds_between(t, t_next);
    r = r * so3_exp(w * dt);
    t = t_next;
    if (i < samples_.size() && t >= samples_[i].t_ns) ++i;
  }
  return orthonormalize(r);
}

}  // namespace cuvslam::detail
