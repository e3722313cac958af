// Depth images: layout check and point clouds.
//
// Depth samples are raw sensor units, metres = sample / depth_units_per_meter. "32FC1" images hold
// 32-bit float samples (4 bytes), every other encoding 16-bit unsigned little-endian samples (2 bytes).
// A 32FC1 sensor that reports metres therefore sets depth_units_per_meter to 1.
#pragma once

#include "types.hpp"

#include <array>
#include <cstdint>
#include <string_view>
#include <vector>

namespace velk_slam::cuvslam_odometry {

// 4 for "32FC1", else 2.
int64_t depth_sample_bytes(std::string_view encoding);
inline bool is_float_depth(std::string_view encoding) { return encoding == "32FC1"; }

// True when every sample of the image lies inside `data`: step >= width × bytes per sample and
// data.size() >= height × step, in 64-bit arithmetic. Negative sizes never address a sample.
bool depth_layout_ok(const ImageFrame& image);

// Reads sample (row, column) of a depth image that passed depth_layout_ok, as a double in raw units.
double read_depth_sample(const ImageFrame& image, int64_t row, int64_t column);

// Converts every sample to metres (sample / units) as 32-bit floats, tightly packed row after row, into
// `out`; an image that fails depth_layout_ok leaves `out` empty.
void depth_to_metres(const ImageFrame& image, double units, std::vector<float>& out);

// The configured decimation as a block edge: negative counts as 0, values past 2^32 − 1 saturate.
uint32_t decimation_from_config(int64_t decimation);

// Scratch storage reused from call to call: the decimation grid and the rows and network of the block
// medians.
struct DepthCloudScratch {
  std::vector<double> column_factor;
  std::vector<int32_t> cells16;  // block medians, 0 for an invalid block
  std::vector<double> cells32;
  std::vector<int32_t> keep;  // per cell of a grid row: 1 when it makes a point
  std::vector<uint16_t> samples16;  // one block's in-band samples (large blocks)
  std::vector<float> samples32;
  std::vector<int16_t> lanes16;  // block rows prepared for the median network
  std::vector<float> lanes32;
  std::vector<std::array<uint16_t, 2>> network;
  int64_t network_size = 0;
};

// Fills `cloud` with the range-gated points of `image` in the image's own frame (pinhole back-projection
// with fx = K[0], cx = K[2], fy = K[4], cy = K[5], no distortion):
//   - 16-bit samples are in the band lo..hi of raw units, lo = clamp(ceil(units × min_range), 1, 65535),
//     hi = min(floor(units × max_range), 65535) (no upper limit when max_range <= 0 or NaN);
//   - 32-bit float samples are in the band when finite, > 0, >= units × min_range and, with an upper
//     limit, <= units × max_range;
//   - decimation d >= 2 reduces each d × d block to the median of its in-band samples (valid when at least
//     floor(d² / 2) are) and drops cells that lie between a nearer and a farther neighbour pair.
// Sets the cloud's frame_id and timestamp_ns to the image's. An image that fails depth_layout_ok yields
// no points.
void depth_cloud(const ImageFrame& image, const CameraModel& model, uint32_t decimation, PointCloud& cloud,
                 double units, double min_range, double max_range, DepthCloudScratch& scratch);

// As above with scratch storage local to the call.
void depth_cloud(const ImageFrame& image, const CameraModel& model, uint32_t decimation, PointCloud& cloud,
                 double units, double min_range, double max_range);

}  // namespace velk_slam::cuvslam_odometry
