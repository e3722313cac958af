// Pinhole camera with optional Brown distortion (k1, k2, k3 radial; p1, p2 tangential), acting on
// the normalised image plane: pixel = K * distort(x / z, y / z).
// Invariant: focal lengths positive and finite, size positive (checked when the rig is validated).
#pragma once

#include <Eigen/Core>

#include "cuvslam/cuvslam.h"

namespace velk_track {

using cuvslam::Camera;
using cuvslam::Distortion;

class CameraModel {
 public:
  CameraModel() = default;
  explicit CameraModel(const Camera& camera);

  int width() const { return width_; }
  int height() const { return height_; }
  double fx() const { return fx_; }
  double fy() const { return fy_; }
  bool distorted() const { return distorted_; }

  // Normalised undistorted -> normalised distorted; jac (optional) receives d distorted / d undistorted.
  Eigen::Vector2d distort(const Eigen::Vector2d& xn, Eigen::Matrix2d* jac = nullptr) const;

  // Camera-frame point -> pixel. False behind the camera or outside the radius where the distortion
  // polynomial stays one-to-one (such a point could fold back into the image).
  bool project(const Eigen::Vector3d& p_camera, Eigen::Vector2d* pixel) const;

  // Normalised undistorted coordinates -> pixel, with the same validity rule as project().
  bool project_normalized(const Eigen::Vector2d& xn, Eigen::Vector2d* pixel) const;

  // Pixel -> normalised undistorted coordinates (Newton iterations on the distortion). False when
  // the iteration does not converge.
  bool unproject(const Eigen::Vector2d& pixel, Eigen::Vector2d* xn) const;

  // Moves the principal point by (dx, dy) pixels: a refined calibration of the same camera.
  void shift_principal_point(double dx, double dy) {
    cx_ += dx;
    cy_ += dy;
  }

  // Scales the focal length along x: a refined calibration of the same camera.
  void scale_focal_length_x(double factor) { fx_ *= factor; }

  bool in_image(const Eigen::Vector2d& pixel, double margin) const {
    return pixel.x() >= margin && pixel.y() >= margin && pixel.x() <= width_ - 1 - margin &&
           pixel.y() <= height_ - 1 - margin;
  }

 private:
  int width_ = 0;
  int height_ = 0;
  double fx_ = 1.0, fy_ = 1.0, cx_ = 0.0, cy_ = 0.0;
  double k1_ = 0.0, k2_ = 0.0, k3_ = 0.0, p1_ = 0.0, p2_ = 0.0;
  bool distorted_ = false;
  double max_radius2_ = 0.0;  // squared undistorted radius of the valid region; 0 means unbounded
};

}  // namespace velk_track
