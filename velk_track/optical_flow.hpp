// Pyramidal Lucas-Kanade tracking of square patches, inverse compositional: the patch (template)
// is cut once from a reference pyramid with its gradients and 3 x 3 Gauss-Newton matrix over
// (dx, dy, brightness offset), and every tracking call only samples the current image.
#pragma once

#include <Eigen/Core>

#include <vector>

#include "velk_track/image_pyramid.hpp"

namespace velk_track {

// Largest window side the tracker accepts (the configuration is checked against it).
constexpr int kMaxFlowSide = 31;

struct FlowTemplate {
  int side = 0;    // window side in pixels (odd)
  int levels = 0;  // pyramid levels cut
  // Per level: side*side values, then x gradients, then y gradients.
  std::vector<float> data;
  std::vector<Eigen::Matrix3f> inverse_hessian;  // per level
  std::vector<unsigned char> usable;             // per level: patch inside the image and textured
  float contrast = 0.f;                          // standard deviation of the level-0 patch
};

struct FlowParams {
  int max_iterations = 12;
  float converged_px = 0.002f;
  float max_rms = 12.f;             // grey levels; a patch matching worse than this is lost
  float max_rms_of_contrast = 0.6f;  // ... or worse than this fraction of the patch's own contrast
  int top_level = 99;               // coarsest pyramid level used (0: refine on the finest only)
  // The image's contrast over the template's (another camera's gain): the image is divided by it. A
  // brightness offset alone leaves a residual that correlates with the gradient, and pulls the
  // position by up to a pixel.
  float gain = 1.f;
  // Each window is scaled about its mean to the template's mean and contrast before it is compared
  // (the patch's look has changed by more than a brightness offset: an exposure step, a turn toward
  // the light, a view from 3 m closer); `gain` is then not applied. It lets more patches through than
  // the offset alone, so it is meant for a search that has failed without it.
  bool match_contrast = false;
};

// Cuts the template centred at `pixel` (level-0 coordinates). False when the level-0 patch leaves
// the image or has no texture to track.
bool make_flow_template(const Pyramid& reference, const Eigen::Vector2f& pixel, int side, FlowTemplate* out);

// Magnifications of a patch since its template was cut that track_flow accepts.
constexpr float kMinMagnification = 0.5f, kMaxMagnification = 2.f;

// Tracks the template into `current` starting from `guess` (level-0 coordinates). On success writes
// the level-0 position and returns true; false when the patch leaves the image, the Gauss-Newton
// matrix is degenerate or the final photometric residual is too large. `magnification`: how much
// larger the patch looks now than in the template (a point the camera came closer to); the
// template is matched against the image sampled at that spacing.
bool track_flow(const FlowTemplate& tmpl, const Pyramid& current, const Eigen::Vector2f& guess,
                const FlowParams& params, Eigen::Vector2f* out, float* rms = nullptr, float magnification = 1.f);

// Standard deviation of the side x side window of `image` centred at `pixel`, sampled as the tracker
// samples (the template's `contrast` is the same measure); false when the window leaves the image.
bool window_contrast(const GreyImage& image, const Eigen::Vector2f& pixel, int side, float* contrast);

// The shift of the whole image from `last` to `now` (level-0 pixels), searched exhaustively on the
// coarsest level both pyramids share, by zero-mean normalised correlation of their overlap, up to
// a quarter of that level's width each way. It catches a turn that moved the image farther than a
// feature's own search reaches. False when no shift correlates clearly (a bare or changed view).
bool global_image_shift(const Pyramid& last, const Pyramid& now, Eigen::Vector2f* shift);

// One level, horizontal motion only (rectified stereo refinement): refines x of `pos` on `image`.
bool track_flow_horizontal(const FlowTemplate& tmpl, const GreyImage& image, const FlowParams& params,
                           Eigen::Vector2f* pos);

}  // namespace velk_track
