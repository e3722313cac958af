// Conversions between the engine's records and the tracking library's.
#pragma once

#include "tracker.hpp"
#include "types.hpp"

#include <array>

namespace velk_slam::cuvslam_odometry {

// The tracker's world_from_rig pose widened to 64-bit floats, the quaternion divided by its norm (no
// special case for a zero norm).
Isometry cuv_pose_to_isometry(const std::array<float, 4>& rotation_xyzw, const std::array<float, 3>& translation);

// Adjoint of output_from_rig for covariances in the order x, y, z, roll, pitch, yaw:
//   A = [[R, [t]x R], [0, R]]   with R, t the rotation and translation of output_from_rig.
Matrix6 covariance_adjoint(const Isometry& output_from_rig);

// One rig camera, narrowed to 32-bit floats: size (width, height), principal point (K[2], K[5]), focal
// lengths (K[0], K[4]), rig_from_camera. Distortion: pinhole when the model has fewer than five
// coefficients or all of them are 0; else Brown with the plumb_bob (k1, k2, p1, p2, k3) reordered to
// (k1, k2, k3, p1, p2).
cuvslam::Camera camera_params_from(const CameraModel& model, const Isometry& rig_from_camera);

cuvslam::ImuCalibration imu_calibration_from(const ImuNoiseModel& noise, const Isometry& rig_from_imu);

cuvslam::ImuMeasurement imu_measurement_from(const ImuSample& sample);

// True when camera b lies to the left of camera a: the x coordinate of b's origin in a's optical frame,
// (Ra⁻¹ (tb − ta))ₓ, is negative (NaN gives false).
bool needs_left_swap(const Isometry& a, const Isometry& b);

}  // namespace velk_slam::cuvslam_odometry
