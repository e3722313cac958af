// Stereo matching of one corner from camera a into camera b, both calibrated, with known b_from_a.
// Rectified horizontal pairs search along the same image row; other pairs search along the
// epipolar curve, projecting the corner's ray at sampled inverse depths through b's distortion.
// The best zero-mean normalised cross-correlation is refined by Lucas-Kanade and triangulated.
#pragma once

#include <Eigen/Core>

#include <vector>

#include "velk_track/camera_model.hpp"
#include "velk_track/geometry.hpp"
#include "velk_track/image_pyramid.hpp"
#include "velk_track/optical_flow.hpp"

namespace velk_track {

struct StereoPair {
  int a = -1;  // camera that detects corners
  int b = -1;  // camera searched
  Rigid b_from_a;
  bool row_search = false;  // images rectified with b displaced along a's x axis
};

struct StereoParams {
  double min_depth = 0.3;  // metres
  double max_depth = 40.0;
  // Best correlation accepted. The two views of a patch differ by more than noise: a road or a wall
  // slanted to the baseline is sheared between them, and a weak corner's contrast is not far above
  // the noise. On a car's view, half of the matches that no other candidate rivalled scored below 0.85.
  float min_score = 0.8f;
  float min_margin = 0.05f;  // by which the best beats any other candidate 3 or more pixels away
  double max_epipolar_px = 1.5;
  FlowParams flow;  // its gain: b's over a's
};

struct StereoMatch {
  Eigen::Vector2d pixel_b;
  Eigen::Vector3d point_a;  // triangulated point in camera a's frame, metres
  double contrast_ratio;    // of b's patch over a's: the pair's gain, as this match sees it
};

// `tmpl_a` is the corner's template cut from a's image at `pixel_a`.
bool match_stereo(const StereoPair& pair, const CameraModel& cam_a, const CameraModel& cam_b,
                  const GreyImage& image_a, const Pyramid& pyramid_b, const FlowTemplate& tmpl_a,
                  const Eigen::Vector2d& pixel_a, const StereoParams& params, StereoMatch* out);

// The point seen at pixel_a (ray ray_a) in a and pixel_b in b, in a's frame: triangulated, within the
// depth limits, and reprojecting within max_epipolar_px of both sightings.
bool triangulate_match(const StereoPair& pair, const CameraModel& cam_a, const CameraModel& cam_b,
                       const Eigen::Vector2d& pixel_a, const Eigen::Vector3d& ray_a, const Eigen::Vector2d& pixel_b,
                       const StereoParams& params, Eigen::Vector3d* point);

// A point seen by both cameras of a pair in two frame sets: undistorted normalised coordinates in
// camera a and camera b, at the earlier and the later one.
struct StereoTrack {
  Eigen::Vector2d a0, b0, a1, b1;
};

// Disparity offset of a pair whose baseline lies along a's x axis: a principal point of b off by a
// fraction of a pixel along x turns every disparity d into d + offset, which moves distant points
// far (d is a few pixels at tens of metres) and scales the measured translation with them. A focal
// length of b off by a fraction adds a slope: the error grows across the image, one side's points
// come out too near and the other's too far, and the rig's turns come out short or long (0.1 % on a
// car's 718 px lens is 0.6 px at the edges and about 1 degree over a 100 degree turn). Rigid motion
// tells both apart: the depths of the two frame sets, taken with the right offset and slope, differ
// by one motion for every point, near and far, wherever it moved in the image. Solves (offset, slope,
// rotation, translation) from the disparities and a's image positions of `tracks`, starting from
// camera a's rotation `now_from_before` between the frame sets, given a_from_b; `sigma` is the
// trackers' noise (normalised units). Writes (offset, slope): b's measured x, in a's orientation,
// is offset + slope * x too small (normalised units of a), and their information (the inverse of
// their covariance); false when too few points agree.
bool estimate_disparity_offset(const std::vector<StereoTrack>& tracks, const Eigen::Matrix3d& now_from_before,
                               const Rigid& a_from_b, double sigma, Eigen::Vector2d* offset,
                               Eigen::Matrix2d* information);

// Midpoint of the closest approach of two rays o1 + s d1 and o2 + u d2 (directions need not be
// unit). False when the rays are near parallel or the point lies behind either origin.
bool triangulate_midpoint(const Eigen::Vector3d& o1, const Eigen::Vector3d& d1, const Eigen::Vector3d& o2,
                          const Eigen::Vector3d& d2, Eigen::Vector3d* point);

}  // namespace velk_track
