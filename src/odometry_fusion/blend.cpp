// FusionCore without IMUs: each source's pose pulls the fused pose towards its own target by the source's
// share of the inverse-variance weights of the sources active at the time, dimension by dimension.

#include "geometry.hpp"
#include "odometry_fusion/fusion_core.hpp"
#include "odometry_fusion/fusion_detail.hpp"
#include "stamps.hpp"

#include <algorithm>
#include <cmath>

namespace velk_slam::odometry_fusion {

using detail::usable_variance;
using Eigen::Matrix3d;
using Eigen::Vector3d;

namespace {

// A source that reported within this span counts as active.
constexpr int64_t kBlendActiveNs = 500'000'000;

// This source's share of the summed weights. The weights are scaled by the largest first, so that the
// sum cannot overflow whatever the variances were.
double weight_share(double own, const std::vector<double>& active) {
  double largest = 0.0;
  for (double w : active) largest = std::max(largest, w);
  if (!(largest > 0.0) || !std::isfinite(largest)) {
    return 0.0;
  }
  double total = 0.0;
  for (double w : active) total += w / largest;
  return (own / largest) / total;
}

}  // namespace

void FusionCore::apply_blend_measurement(const MeasurementInput& m, int64_t t_ns) {
  SourceBlend& blend = core_.blend_records.at(m.source);
  const OptionalStamp previous_ns = blend.last_ns;
  blend.last_ns = t_ns;
  for (std::size_t d = 0; d < 6; ++d) {
    blend.weights[d] = usable_variance(m.pose_variances[d]) ? 1.0 / m.pose_variances[d] : 0.0;
  }
  const int64_t cutoff_ns = difference_ns(t_ns, kBlendActiveNs);
  const std::optional<Isometry> base = blend_base(m, previous_ns, cutoff_ns);
  if (!base) {
    return;
  }
  // The target is base ∘ motion: the source's step from its base, or for an absolute source its pose from
  // odom_from_parent.
  const Isometry target = *base * (m.absolute ? *m.absolute : *m.delta);
  move_toward(target, blend_fractions(blend, cutoff_ns));
  core_.anchors.at(m.source) = fused_pose();
}

std::optional<Isometry> FusionCore::blend_base(const MeasurementInput& m, const OptionalStamp& previous_ns,
                                               int64_t cutoff_ns) {
  std::optional<Isometry>& anchor = core_.anchors.at(m.source);
  if (!m.absolute && !m.delta) {
    anchor = fused_pose();
    return std::nullopt;
  }
  if (m.absolute) {
    std::optional<Isometry>& odom_from_parent = core_.odom_from_parent.at(m.source);
    if (!odom_from_parent) {
      odom_from_parent = detail::yaw_aligned(fused_pose(), *m.absolute);
    }
    return *odom_from_parent;
  }
  if (!previous_ns || *previous_ns < cutoff_ns) {
    // Silent for a while (or never heard): its step starts from its own anchor, not from where the other
    // sources have moved the pose since.
    if (!anchor) {
      anchor = fused_pose();
      return std::nullopt;
    }
    return *anchor;
  }
  return fused_pose();
}

std::array<double, 6> FusionCore::blend_fractions(const SourceBlend& blend, int64_t cutoff_ns) {
  // f_d: this source's share of the weight of every source active since the cutoff.
  std::array<double, 6> fraction{};
  std::vector<double>& active = blend_scratch_;
  for (std::size_t d = 0; d < 6; ++d) {
    active.clear();
    for (const SourceBlend& other : core_.blend_records) {
      if (other.last_ns && *other.last_ns >= cutoff_ns) {
        active.push_back(other.weights[d]);
      }
    }
    fraction[d] = weight_share(blend.weights[d], active);
  }
  return fraction;
}

void FusionCore::move_toward(const Isometry& target, const std::array<double, 6>& fraction) {
  FilterState& x = filter_.state;
  const Matrix3d r = rotation_matrix(x.orientation);
  // Both corrections in the body frame of the current attitude:
  //   e = Rᵀ (T*.p − p),  p ← p + R (f ∘ e);   q ← q ⊗ Exp(f ∘ rotation_error(q, T*.q))
  const Vector3d e = r.transpose() * (target.translation - x.position);
  const Vector3d rot = rotation_error(x.orientation, target.rotation);
  const Vector3d step(fraction[0] * e.x(), fraction[1] * e.y(), fraction[2] * e.z());
  const Vector3d turn(fraction[3] * rot.x(), fraction[4] * rot.y(), fraction[5] * rot.z());
  x.position += r * step;
  x.orientation = hamilton(x.orientation, exp_rotation(turn));
}

}  // namespace velk_slam::odometry_fusion
