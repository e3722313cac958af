#include "cuvslam_odometry/depth_reproject.hpp"

#include "cuvslam_odometry/depth_cloud.hpp"

#include <cmath>
#include <cstring>
#include <vector>

namespace velk_slam::cuvslam_odometry {

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
  output.step = static_cast<int32_t>(sample_bytes * out_w);  // out_w < 2^31; a 32FC1 step past 2^31 is refused upstream
  output.data.assign(static_cast<size_t>(out_h * sample_bytes * out_w), 0);
  if (out_w == 0 || depth.width < 1 || depth.height < 1 || !depth_layout_ok(depth)) {
    return;
  }

  const double dfx = depth_model.intrinsics[0], dcx = depth_model.intrinsics[2];
  const double dfy = depth_model.intrinsics[4], dcy = depth_model.intrinsics[5];
  const double fx = camera_model.intrinsics[0], cx = camera_model.intrinsics[2];
  const double fy = camera_model.intrinsics[4], cy = camera_model.intrinsics[5];
  const Eigen::Matrix3d rotation = camera_from_depth.rotation.toRotationMatrix();
  const Eigen::Vector3d translation = camera_from_depth.translation;

  std::vector<double> column_factor(static_cast<size_t>(depth.width));
  for (int64_t u = 0; u < depth.width; ++u) {
    column_factor[static_cast<size_t>(u)] = (static_cast<double>(u) - dcx) / dfx;
  }
  uint8_t* out = output.data.data();
  const double width_d = static_cast<double>(out_w), height_d = static_cast<double>(out_h);

  for (int64_t v = 0; v < depth.height; ++v) {
    const double row_factor = (static_cast<double>(v) - dcy) / dfy;
    for (int64_t u = 0; u < depth.width; ++u) {
      const double s = read_depth_sample(depth, v, u);
      if (s == 0.0 || !std::isfinite(s)) {
        continue;
      }
      // p = back-projection in the depth frame; p' = camera_from_depth p.
      const double z = s / units;
      const Eigen::Vector3d p(column_factor[static_cast<size_t>(u)] * z, row_factor * z, z);
      const Eigen::Vector3d q = rotation * p + translation;
      if (!(q.z() > 0.0)) {
        continue;
      }
      // Range checks in floating point first: a NaN or far-off coordinate never reaches an integer.
      const double uc = std::round(cx + fx * q.x() / q.z());
      const double vc = std::round(cy + fy * q.y() / q.z());
      if (!(uc >= 0.0 && uc < width_d && vc >= 0.0 && vc < height_d)) {
        continue;
      }
      const int64_t index = static_cast<int64_t>(vc) * out_w + static_cast<int64_t>(uc);
      uint8_t* pixel = out + index * sample_bytes;
      if (is_float) {
        const float n = static_cast<float>(units * q.z());
        float current;
        std::memcpy(&current, pixel, sizeof current);
        if (current == 0.0f || n < current) {
          std::memcpy(pixel, &n, sizeof n);
        }
      } else {
        double n = std::round(units * q.z());
        if (!(n >= 0.0)) {
          continue;  // only a negative or NaN `units` gets here
        }
        n = std::min(n, 65535.0);
        const uint16_t value = static_cast<uint16_t>(n);
        const uint16_t current = static_cast<uint16_t>(pixel[0] | (pixel[1] << 8));
        if (current == 0 || value < current) {
          pixel[0] = static_cast<uint8_t>(value & 0xFF);
          pixel[1] = static_cast<uint8_t>(value >> 8);
        }
      }
    }
  }
}

}  // namespace velk_slam::cuvslam_odometry
