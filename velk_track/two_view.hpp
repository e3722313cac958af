// Relative pose of two views of one camera from point correspondences alone (monocular start):
// normalised eight-point essential matrix inside RANSAC on the Sampson distance, then the
// decomposition whose triangulated points lie in front of both views.
#pragma once

#include <Eigen/Core>

#include <cstdint>
#include <random>
#include <vector>

#include "velk_track/geometry.hpp"

namespace velk_track {

// x2 ~ R x1 + t for normalised image coordinates (z = 1) of view 1 and view 2; |t| = 1.
struct TwoViewResult {
  Rigid second_from_first;
  std::vector<uint8_t> inliers;
  int inlier_count = 0;
};

// threshold: Sampson distance limit in normalised units (pixels / focal length).
bool estimate_two_view(const std::vector<Eigen::Vector2d>& x1, const std::vector<Eigen::Vector2d>& x2,
                       double threshold, int iterations, std::mt19937& rng, TwoViewResult* out);

// Essential matrix from eight or more correspondences (least squares, rank 2 with equal singular values).
bool essential_from_points(const std::vector<Eigen::Vector2d>& x1, const std::vector<Eigen::Vector2d>& x2,
                           const std::vector<int>& idx, Eigen::Matrix3d* e);

// The rotation R that best maps unit rays b onto unit rays a (a ~ R b, least squares), fitted
// again on the half of the pairs it explains best: rays seen from two places differ by the
// rotation alone for distant points, by the rotation plus parallax for near ones. A sideways move
// past near points alone looks like a turn to it as to any two-view method; callers use it to
// judge parallax, and the essential matrix decides the motion.
Eigen::Matrix3d best_rotation(const std::vector<Eigen::Vector3d>& a, const std::vector<Eigen::Vector3d>& b);

double sampson_error2(const Eigen::Matrix3d& e, const Eigen::Vector2d& x1, const Eigen::Vector2d& x2);

}  // namespace velk_track
