#include "cuvslam_odometry/msg_convert.hpp"

#include "geometry.hpp"

#include <algorithm>

namespace velk_slam::cuvslam_odometry {

Isometry cuv_pose_to_isometry(const std::array<float, 4>& rotation_xyzw, const std::array<float, 3>& translation) {
  const Eigen::Quaterniond q(static_cast<double>(rotation_xyzw[3]), static_cast<double>(rotation_xyzw[0]),
                             static_cast<double>(rotation_xyzw[1]), static_cast<double>(rotation_xyzw[2]));
  const Eigen::Vector3d t(static_cast<double>(translation[0]), static_cast<double>(translation[1]),
                          static_cast<double>(translation[2]));
  return Isometry::from_parts(t, q);
}

Matrix6 covariance_adjoint(const Isometry& output_from_rig) {
  const Eigen::Matrix3d r = output_from_rig.rotation.toRotationMatrix();
  Matrix6 a = Matrix6::Zero();
  a.block<3, 3>(0, 0) = r;
  a.block<3, 3>(0, 3) = skew(output_from_rig.translation) * r;
  a.block<3, 3>(3, 3) = r;
  return a;
}

namespace {

// A pose narrowed to the library's 32-bit floats.
cuvslam::Pose pose_from(const Isometry& isometry) {
  const Eigen::Quaterniond& q = isometry.rotation;
  const Eigen::Vector3d& t = isometry.translation;
  cuvslam::Pose pose;
  pose.rotation = {static_cast<float>(q.x()), static_cast<float>(q.y()), static_cast<float>(q.z()),
                   static_cast<float>(q.w())};
  pose.translation = {static_cast<float>(t.x()), static_cast<float>(t.y()), static_cast<float>(t.z())};
  return pose;
}

}  // namespace

cuvslam::Camera camera_params_from(const CameraModel& model, const Isometry& rig_from_camera) {
  const std::array<double, 9>& k = model.intrinsics;
  cuvslam::Camera params;
  params.size = {model.width, model.height};
  params.principal = {static_cast<float>(k[2]), static_cast<float>(k[5])};
  params.focal = {static_cast<float>(k[0]), static_cast<float>(k[4])};
  params.rig_from_camera = pose_from(rig_from_camera);

  const std::vector<double>& d = model.distortion;
  const bool all_zero = std::all_of(d.begin(), d.end(), [](double c) { return c == 0.0; });
  if (d.size() < 5 || all_zero) {
    params.distortion.model = cuvslam::Distortion::Model::Pinhole;
  } else {
    // plumb_bob order is k1, k2, p1, p2, k3; the tracker's Brown model wants k1, k2, k3, p1, p2.
    params.distortion.model = cuvslam::Distortion::Model::Brown;
    params.distortion.parameters = {static_cast<float>(d[0]), static_cast<float>(d[1]), static_cast<float>(d[4]),
                                    static_cast<float>(d[2]), static_cast<float>(d[3])};
  }
  return params;
}

cuvslam::ImuCalibration imu_calibration_from(const ImuNoiseModel& noise, const Isometry& rig_from_imu) {
  cuvslam::ImuCalibration calibration;
  calibration.rig_from_imu = pose_from(rig_from_imu);
  calibration.gyroscope_noise_density = static_cast<float>(noise.gyro_noise_density);
  calibration.gyroscope_random_walk = static_cast<float>(noise.gyro_random_walk);
  calibration.accelerometer_noise_density = static_cast<float>(noise.accel_noise_density);
  calibration.accelerometer_random_walk = static_cast<float>(noise.accel_random_walk);
  calibration.frequency = static_cast<float>(noise.frequency);
  return calibration;
}

cuvslam::ImuMeasurement imu_measurement_from(const ImuSample& sample) {
  cuvslam::ImuMeasurement m;
  m.timestamp_ns = sample.timestamp_ns;
  for (int i = 0; i < 3; ++i) {
    m.linear_accelerations[i] = static_cast<float>(sample.linear_acceleration[i]);
    m.angular_velocities[i] = static_cast<float>(sample.angular_velocity[i]);
  }
  return m;
}

bool needs_left_swap(const Isometry& a, const Isometry& b) {
  const Eigen::Vector3d in_a = rotate_vector(a.rotation.conjugate(), b.translation - a.translation);
  return in_a.x() < 0.0;
}

}  // namespace velk_slam::cuvslam_odometry
