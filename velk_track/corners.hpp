// Corner selection for tracking: the smaller eigenvalue of the gradient structure tensor over a 5 x 5
// window (Shi-Tomasi), one strongest corner per free grid cell.
#pragma once

#include <Eigen/Core>

#include <vector>

#include "velk_track/image_pyramid.hpp"

namespace velk_track {

struct CornerParams {
  int cell = 32;               // grid cell side in pixels
  int border = 8;              // corners keep this far from the image edge
  float min_response = 20.f;   // smaller eigenvalue per window pixel, (grey levels / pixel)^2
  float min_distance = 8.f;    // to existing points and to each other
};

// Appends to `out` up to `max_new` corners, strongest first, in cells that hold none of `existing`.
void detect_corners(const GreyImage& image, const std::vector<Eigen::Vector2f>& existing,
                    const CornerParams& params, int max_new, std::vector<Eigen::Vector2f>* out);

// The image-wide part of detection, computed once for several selections (and alongside other
// work): gradient products summed over 5-pixel rows, for corners at least `border` from the edge.
struct CornerResponse {
  int width = 0, height = 0, border = 0;
  std::vector<float> sxx, sxy, syy;
};
void corner_response(const GreyImage& image, int border, CornerResponse* out);

// detect_corners on a response computed with params.border.
void detect_corners(const CornerResponse& response, const std::vector<Eigen::Vector2f>& existing,
                    const CornerParams& params, int max_new, std::vector<Eigen::Vector2f>* out);

}  // namespace velk_track
