// Stereo matching of one corner from camera a into camera b, both calibrated, with known b_from_a.
// Rectified horizontal pairs search along the same image row; other pairs search along the
// epipolar curve, projecting the corner's ray at sampled inverse depths through b's distortion.
// The best zero-mean normalised cross-correlation is refined by Lucas-Kanade and triangulated.
#pragma once

#include <Eigen/Core>

#include "cuvslam/camera_model.hpp"
#include "cuvslam/geometry.hpp"
#include "cuvslam/image_pyramid.hpp"
#include "cuvslam/optical_flow.hpp"

namespace cuvslam::detail {

struct StereoPair {
  int a = -1;  // camera that detects corners
  int b = -1;  // camera searched
  Rigid b_from_a;
  bool row_search = false;  // images rectified with b displaced along a's x axis
};

struct StereoParams {
  double min_depth = 0.3;  // metres
  double max_depth = 40.0;
  float min_score = 0.85f;   // best correlation accepted
  float min_margin = 0.05f;  // by which the best beats any other candidate 3 or more pixels away
  double max_epipolar_px = 1.5;
  FlowParams flow;
};

struct StereoMatch {
  Eigen::Vector2d pixel_b;
  Eigen::Vector3d point_a;  // triangulated point in camera a's frame, metres
};

// `tmpl_a` is the corner's template cut from a's image at `pixel_a`.
bool match_stereo(const StereoPair& pair, const CameraModel& cam_a, const CameraModel& cam_b,
                  const GreyImage& image_a, const Pyramid& pyramid_b, const FlowTemplate& tmpl_a,
                  const Eigen::Vector2d& pixel_a, const StereoParams& params, StereoMatch* out);

// Midpoint of the closest approach of two rays o1 + s d1 and o2 + u d2 (directions need not be
// unit). False when the rays are near parallel or the point lies behind either origin.
bool triangulate_midpoint(const Eigen::Vector3d& o1, const Eigen::Vector3d& d1, const Eigen::Vector3d& o2,
                          const Eigen::Vector3d& d2, Eigen::Vector3d* point);

}  // namespace cuvslam::detail
