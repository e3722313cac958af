// Rig pose from 2D-3D correspondences over several cameras: a minimal three-point solver (P3P) in
// one camera inside RANSAC, then robust Gauss-Newton on all cameras' inliers. The pose is
// world_from_rig; its increments are (dt in the world frame, dtheta on the right of the rotation),
// so the covariance comes out in the order x, y, z, roll, pitch, yaw.
#pragma once

#include <Eigen/Core>

#include <cstdint>
#include <random>
#include <vector>

#include "velk_track/geometry.hpp"
#include "velk_track/thread_pool.hpp"

namespace velk_track {

using Matrix6d = Eigen::Matrix<double, 6, 6>;

struct PoseObservation {
  Eigen::Vector3d point_world;
  Eigen::Vector2d normalized;  // undistorted normalised image coordinates of the measurement
  int camera = 0;
};

struct PoseCamera {
  Rigid camera_from_rig;
  double fx = 1.0, fy = 1.0;  // scale normalised residuals to pixels
};

struct RansacParams {
  double threshold_px = 2.0;
  int max_iterations = 100;
  double confidence = 0.999;
};

// Candidate camera_from_world poses (up to four) from three unit bearings in the camera frame and
// the matching world points. Empty for degenerate input (collinear points, coincident rays).
std::vector<Rigid> solve_p3p(const Eigen::Vector3d bearings[3], const Eigen::Vector3d points[3]);

// Squared pixel reprojection error of one observation under world_from_rig; +inf behind the camera.
double reprojection_error2(const PoseObservation& obs, const std::vector<PoseCamera>& cameras,
                           const Rigid& rig_from_world);

// Best-supported pose among `prior` (if given) and P3P hypotheses. Writes the pose and the inlier
// mask; returns the inlier count (0 when no hypothesis could be formed). Hypotheses are scored on
// `pool` when given; the result does not depend on it.
int ransac_pose(const std::vector<PoseObservation>& obs, const std::vector<PoseCamera>& cameras,
                const Rigid* prior, const RansacParams& params, std::mt19937& rng, Rigid* world_from_rig,
                std::vector<uint8_t>* inliers, ThreadPool* pool = nullptr);

// A measured attitude (from the gyro) that the refinement weighs against the images: residual
// log(R_prior^T R) in radians with `weight` in pixels^2 per radian^2.
struct RotationPrior {
  Eigen::Matrix3d R = Eigen::Matrix3d::Identity();
  double weight = 0.0;
};

// Gauss-Newton with Huber weights on the masked observations, starting from *world_from_rig.
// covariance (optional) = s^2 (J^T W J)^-1, s^2 the weighted residual variance in pixels^2 (never
// below `min_sigma_px`^2). False when the normal equations are singular or the result not finite.
bool refine_pose(const std::vector<PoseObservation>& obs, const std::vector<PoseCamera>& cameras,
                 const std::vector<uint8_t>& mask, double huber_px, int iterations, Rigid* world_from_rig,
                 Matrix6d* covariance = nullptr, double min_sigma_px = 0.05, const RotationPrior* prior = nullptr);

// Real roots of c[0] + c[1] x + ... + c[n] x^n (n <= 4), polished by Newton steps.
std::vector<double> real_polynomial_roots(const std::vector<double>& coefficients);

}  // namespace velk_track
