#include "cuvslam_odometry/depth_reproject.hpp"

#include "cuvslam_odometry/depth_cloud.hpp"
#include "cuvslam_odometry/depth_samples.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace velk_slam::cuvslam_odometry {

namespace {

// Rounds half away from zero and checks 0 <= round(x) < limit in one go, without ever converting a NaN
// or far-off value: round(x) >= 0 exactly when x > -0.5, and round(x) < limit when x < limit - 0.5.
bool round_into(double x, double limit, int64_t* out) {
  if (!(x > -0.5 && x < limit - 0.5)) {
    return false;
  }
  *out = static_cast<int64_t>(x + 0.5);  // x + 0.5 > 0: truncation is floor
  return true;
}

struct Geometry {
  double dfx, dcx, dfy, dcy;  // depth sensor
  double fx, cx, fy, cy;      // camera
  Eigen::Matrix3d rotation;   // camera_from_depth
  Eigen::Vector3d translation;
};

template <typename Samples>
void reproject(double units, const ImageFrame& depth, const Geometry& g, int64_t out_w, int64_t out_h,
               uint8_t* out) {
  // a R₀ per column, with a = (u − cx) / fx of the depth sensor.
  std::vector<Eigen::Vector3d> column_part(static_cast<size_t>(depth.width));
  for (int64_t u = 0; u < depth.width; ++u) {
    column_part[static_cast<size_t>(u)] = ((static_cast<double>(u) - g.dcx) / g.dfx) * g.rotation.col(0);
  }
  const double width_d = static_cast<double>(out_w), height_d = static_cast<double>(out_h);
  const double inv_units = 1.0 / units;  // z = s / units, one division for the whole image
  for (int64_t v = 0; v < depth.height; ++v) {
    const uint8_t* row = depth.data.data() + v * static_cast<int64_t>(depth.step);
    // p = z (a, b, 1) with a, b the column and row factors, so p' = R p + t = z (a R₀ + b R₁ + R₂) + t.
    const double b = (static_cast<double>(v) - g.dcy) / g.dfy;
    const Eigen::Vector3d row_part = b * g.rotation.col(1) + g.rotation.col(2);
    for (int64_t u = 0; u < depth.width; ++u) {
      const double s = static_cast<double>(Samples::read(row, u));
      if (s == 0.0) {
        continue;
      }
      if constexpr (!Samples::kIntegral) {
        if (!std::isfinite(s)) {
          continue;
        }
      }
      const double z = s * inv_units;
      const Eigen::Vector3d q = z * (column_part[static_cast<size_t>(u)] + row_part) + g.translation;
      if (!(q.z() > 0.0)) {
        continue;
      }
      const double inv_z = 1.0 / q.z();
      int64_t uc = 0, vc = 0;
      if (!round_into(g.cx + g.fx * q.x() * inv_z, width_d, &uc) ||
          !round_into(g.cy + g.fy * q.y() * inv_z, height_d, &vc)) {
        continue;
      }
      if constexpr (Samples::kIntegral) {
        uint8_t* pixel = out + 2 * (vc * out_w + uc);
        const double n = units * q.z();
        if (!(n >= 0.0)) {
          continue;  // only a negative or NaN `units` gets here
        }
        const uint16_t value = n >= 65534.5 ? uint16_t{65535} : static_cast<uint16_t>(n + 0.5);
        const uint16_t current = static_cast<uint16_t>(pixel[0] | (pixel[1] << 8));
        if (current == 0 || value < current) {
          pixel[0] = static_cast<uint8_t>(value & 0xFF);
          pixel[1] = static_cast<uint8_t>(value >> 8);
        }
      } else {
        uint8_t* pixel = out + 4 * (vc * out_w + uc);
        const float n = static_cast<float>(units * q.z());
        float current;
        std::memcpy(&current, pixel, sizeof current);
        if (current == 0.0f || n < current) {
          std::memcpy(pixel, &n, sizeof n);
        }
      }
    }
  }
}

}  // namespace

void reproject_depth(double units, const ImageFrame& depth, const CameraModel& depth_model,
                     const CameraModel& camera_model, const Isometry& camera_from_depth, ImageFrame& output) {
  const bool is_float = is_float_depth(depth.encoding);
  const int64_t sample_bytes = is_float ? 4 : 2;
  const int64_t out_w = camera_model.width >= 1 && camera_model.height >= 1 ? camera_model.width : 0;
  const int64_t out_h = out_w > 0 ? camera_model.height : 0;

  output.timestamp_ns = depth.timestamp_ns;
  output.frame_id = camera_model.frame_id;
  output.width = static_cast<int32_t>(out_w);
  output.height = static_cast<int32_t>(out_h);
  output.encoding = depth.encoding;
  output.step = static_cast<int32_t>(sample_bytes * out_w);  // calibrations wider than 65535 are refused upstream
  output.data.assign(static_cast<size_t>(out_h * sample_bytes * out_w), 0);
  if (out_w == 0 || depth.width < 1 || depth.height < 1 || !depth_layout_ok(depth)) {
    return;
  }
  Geometry g;
  g.dfx = depth_model.intrinsics[0];
  g.dcx = depth_model.intrinsics[2];
  g.dfy = depth_model.intrinsics[4];
  g.dcy = depth_model.intrinsics[5];
  g.fx = camera_model.intrinsics[0];
  g.cx = camera_model.intrinsics[2];
  g.fy = camera_model.intrinsics[4];
  g.cy = camera_model.intrinsics[5];
  g.rotation = camera_from_depth.rotation.toRotationMatrix();
  g.translation = camera_from_depth.translation;
  if (is_float) {
    reproject<F32Samples>(units, depth, g, out_w, out_h, output.data.data());
  } else {
    reproject<U16Samples>(units, depth, g, out_w, out_h, output.data.data());
  }
}

}  // namespace velk_slam::cuvslam_odometry
