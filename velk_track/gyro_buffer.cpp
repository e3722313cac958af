#include "velk_track/gyro_buffer.hpp"

#include "velk_track/geometry.hpp"

namespace velk_track {

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
  Eigen::Matrix3d r = Eigen::Matrix3d::Identity();
  const bool covered = walk_samples(samples_, t0_ns, t1_ns, max_gap_ns,
                                    [&](const Sample& s0, const Sample& s1, double f, double dt) {
                                      r = r * exp_rotation_matrix(between(s0.w - bias, s1.w - bias, f) * dt);
                                    });
  if (!covered) return std::nullopt;
  return orthonormalize(r);
}

}  // namespace velk_track
