// Reprojection of a depth image taken in another optical frame onto a camera's pixel grid.
#pragma once

#include "types.hpp"

namespace velk_slam::cuvslam_odometry {

// Writes into `output` the depth of `depth` as seen from the camera of `camera_model`, with
// camera_from_depth the pose of the depth frame in the camera frame. One pass over the depth pixels:
// each sample s != 0 is back-projected with the depth model's pinhole intrinsics (z = s / units),
// transformed, and projected with the camera's (rounding half away from zero); where two land on one
// camera pixel the nearer surface wins.
//
// Output header: stamp of the depth image, frame_id of the camera model, its width and height, the
// depth image's encoding. 16-bit input gives 16-bit output in the same raw units (round(units × z′),
// capped at 65535), step 2 × width; "32FC1" input gives 32-bit float output units × z′, step 4 × width.
// 0 marks pixels that received nothing. The output buffer is reused between calls. A camera model with
// a width or height below 1 gives an empty image; an input that fails depth_layout_ok contributes no
// sample.
void reproject_depth(double units, const ImageFrame& depth, const CameraModel& depth_model,
                     const CameraModel& camera_model, const Isometry& camera_from_depth, ImageFrame& output);

}  // namespace velk_slam::cuvslam_odometry
