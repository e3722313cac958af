#include "cuvslam_odometry/depth_cloud.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace velk_slam::cuvslam_odometry {

namespace {

struct U16Samples {
  static double read(const uint8_t* row, int64_t column) {
    const uint8_t* p = row + 2 * column;
    return static_cast<double>(static_cast<uint16_t>(p[0] | (p[1] << 8)));
  }
};

struct F32Samples {
  static double read(const uint8_t* row, int64_t column) {
    const uint8_t* p = row + 4 * column;
    const uint32_t bits = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return static_cast<double>(value);
  }
};

// The raw-value band [lo, hi] of one call.
struct Band {
  double lo = 1.0;
  double hi = 65535.0;
  bool contains(double s) const { return s >= lo && s <= hi; }
};

Band band_u16(double units, double min_range, double max_range) {
  Band band;
  // lo: at least 1 so that 0 (no depth) is never in the band; NaN becomes 1.
  double lo = std::ceil(units * min_range);
  if (!(lo >= 1.0)) lo = 1.0;
  band.lo = std::min(lo, 65535.0);
  const double m = max_range > 0.0 ? max_range : std::numeric_limits<double>::infinity();
  double hi = units * m;
  if (std::isnan(hi) || hi > 65535.0) hi = 65535.0;
  band.hi = std::floor(hi);
  return band;
}

Band band_f32(double units, double min_range, double max_range) {
  Band band;
  // The smallest positive float: a sample must be > 0 whatever the configured minimum.
  band.lo = std::max(static_cast<double>(std::numeric_limits<float>::denorm_min()), units * min_range);
  if (std::isnan(band.lo)) band.lo = static_cast<double>(std::numeric_limits<float>::denorm_min());
  // Without an upper limit the band still ends at the largest finite value, so infinity never counts.
  band.hi = max_range > 0.0 ? units * max_range : std::numeric_limits<double>::max();
  if (!(band.hi <= std::numeric_limits<double>::max())) band.hi = std::numeric_limits<double>::max();
  return band;
}

// 0.3 m or 10 % of the depth, whichever is larger, in raw units. 16-bit depth truncates it toward zero to
// a signed 32-bit integer (saturating, NaN to 0).
double edge_tolerance(double units, double z_r, bool integral) {
  const double tol = std::max(0.3 * units, 0.1 * z_r);
  if (!integral) {
    return tol;
  }
  if (std::isnan(tol)) return 0.0;
  return std::clamp(std::trunc(tol), static_cast<double>(std::numeric_limits<int32_t>::min()),
                    static_cast<double>(std::numeric_limits<int32_t>::max()));
}

template <typename Samples>
void full_resolution(const ImageFrame& image, const CameraModel& model, const Band& band, double units,
                     PointCloud& cloud, DepthCloudScratch& scratch) {
  const double fx = model.intrinsics[0], cx = model.intrinsics[2];
  const double fy = model.intrinsics[4], cy = model.intrinsics[5];
  const int64_t width = image.width, height = image.height, step = image.step;
  scratch.column_factor.resize(static_cast<size_t>(width));
  for (int64_t c = 0; c < width; ++c) {
    scratch.column_factor[static_cast<size_t>(c)] = (static_cast<double>(c) - cx) / fx;
  }
  const uint8_t* data = image.data.data();
  for (int64_t v = 0; v < height; ++v) {
    const uint8_t* row = data + v * step;
    const double row_factor = (static_cast<double>(v) - cy) / fy;
    for (int64_t c = 0; c < width; ++c) {
      const double s = Samples::read(row, c);
      if (!band.contains(s)) {
        continue;
      }
      const double z = s / units;
      const double x = scratch.column_factor[static_cast<size_t>(c)] * z;
      const double y = row_factor * z;
      cloud.points.push_back({static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)});
    }
  }
}

template <typename Samples>
void decimated(const ImageFrame& image, const CameraModel& model, uint64_t d, const Band& band, double units,
               bool integral, PointCloud& cloud, DepthCloudScratch& scratch) {
  const int64_t width = image.width, height = image.height, step = image.step;
  const uint64_t threshold = d * d / 2;  // d < 2^32, so d² fits
  // A block never holds more than width × height samples: past that no cell can become valid.
  if (threshold > static_cast<uint64_t>(width) * static_cast<uint64_t>(height)) {
    return;
  }
  const int64_t di = static_cast<int64_t>(d);
  const int64_t out_w = (width + di - 1) / di;
  const int64_t out_h = (height + di - 1) / di;
  const size_t cells = static_cast<size_t>(out_w * out_h);
  scratch.cell_valid.assign(cells, 0);
  scratch.cell_value.assign(cells, 0.0);
  scratch.samples.clear();
  scratch.samples.reserve(static_cast<size_t>(std::min(di, height) * std::min(di, width)));

  // (1) Block medians: the value of rank floor(n / 2) of the n in-band samples, when n >= floor(d² / 2).
  const uint8_t* data = image.data.data();
  for (int64_t r = 0; r < out_h; ++r) {
    const int64_t row_end = std::min(height, (r + 1) * di);
    for (int64_t k = 0; k < out_w; ++k) {
      const int64_t col_end = std::min(width, (k + 1) * di);
      scratch.samples.clear();
      for (int64_t v = r * di; v < row_end; ++v) {
        const uint8_t* row = data + v * step;
        for (int64_t c = k * di; c < col_end; ++c) {
          const double s = Samples::read(row, c);
          if (band.contains(s)) {
            scratch.samples.push_back(s);
          }
        }
      }
      const size_t n = scratch.samples.size();
      if (n == 0 || n < threshold) {
        continue;
      }
      const auto middle = scratch.samples.begin() + static_cast<std::ptrdiff_t>(n / 2);
      std::nth_element(scratch.samples.begin(), middle, scratch.samples.end());
      const size_t cell = static_cast<size_t>(r * out_w + k);
      scratch.cell_valid[cell] = 1;
      scratch.cell_value[cell] = *middle;
    }
  }

  // (2) Edge test: a cell lying strictly between a nearer and a farther neighbour (beyond the tolerance)
  // on opposite sides is a mixed pixel at a depth edge and is dropped. Neighbours are read as computed in
  // (1), so dropping a cell does not change what its neighbours see.
  static constexpr int64_t kPairs[4][4] = {
      {0, -1, 0, 1},   // left, right
      {-1, 0, 1, 0},   // above, below
      {-1, -1, 1, 1},  // above-left, below-right
      {1, -1, -1, 1},  // below-left, above-right
  };
  const double fx = model.intrinsics[0], cx = model.intrinsics[2];
  const double fy = model.intrinsics[4], cy = model.intrinsics[5];
  const double c0 = (static_cast<double>(d) - 1.0) / 2.0;
  const auto valid_at = [&](int64_t r, int64_t k) {
    return r >= 0 && r < out_h && k >= 0 && k < out_w && scratch.cell_valid[static_cast<size_t>(r * out_w + k)] != 0;
  };
  for (int64_t r = 0; r < out_h; ++r) {
    for (int64_t k = 0; k < out_w; ++k) {
      const size_t cell = static_cast<size_t>(r * out_w + k);
      if (scratch.cell_valid[cell] == 0) {
        continue;
      }
      const double z_r = scratch.cell_value[cell];
      const double tol = edge_tolerance(units, z_r, integral);
      bool edge = false;
      for (const auto& pair : kPairs) {
        const int64_t r1 = r + pair[0], k1 = k + pair[1], r2 = r + pair[2], k2 = k + pair[3];
        if (!valid_at(r1, k1) || !valid_at(r2, k2)) {
          continue;
        }
        const double v1 = scratch.cell_value[static_cast<size_t>(r1 * out_w + k1)];
        const double v2 = scratch.cell_value[static_cast<size_t>(r2 * out_w + k2)];
        const double a = std::min(v1, v2), b = std::max(v1, v2);
        if (a + tol < z_r && b - tol > z_r) {
          edge = true;
          break;
        }
      }
      if (edge) {
        continue;
      }
      const double z = z_r / units;
      const double x = ((c0 + static_cast<double>(k * di) - cx) / fx) * z;
      const double y = ((c0 + static_cast<double>(r * di) - cy) / fy) * z;
      cloud.points.push_back({static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)});
    }
  }
}

}  // namespace

int64_t depth_sample_bytes(std::string_view encoding) { return is_float_depth(encoding) ? 4 : 2; }

bool depth_layout_ok(const ImageFrame& image) {
  const int64_t width = image.width, height = image.height, step = image.step;
  // Each factor is a 32-bit value, so both products are exact in 64 bits. With width or height below 1
  // no sample is addressed; otherwise step >= width × bytes > 0 and every row lies inside data.
  return step >= width * depth_sample_bytes(image.encoding) &&
         static_cast<int64_t>(image.data.size()) >= height * step;
}

double read_depth_sample(const ImageFrame& image, int64_t row, int64_t column) {
  const uint8_t* p = image.data.data() + row * static_cast<int64_t>(image.step);
  return is_float_depth(image.encoding) ? F32Samples::read(p, column) : U16Samples::read(p, column);
}

void depth_to_metres(const ImageFrame& image, double units, std::vector<float>& out) {
  const int64_t width = std::max<int64_t>(image.width, 0), height = std::max<int64_t>(image.height, 0);
  if (!depth_layout_ok(image)) {
    out.clear();
    return;
  }
  out.resize(static_cast<size_t>(width * height));  // bounded by data.size()
  const bool is_float = is_float_depth(image.encoding);
  float* dst = out.data();
  for (int64_t v = 0; v < height; ++v) {
    const uint8_t* row = image.data.data() + v * static_cast<int64_t>(image.step);
    for (int64_t c = 0; c < width; ++c) {
      const double s = is_float ? F32Samples::read(row, c) : U16Samples::read(row, c);
      *dst++ = static_cast<float>(s / units);
    }
  }
}

uint32_t decimation_from_config(int64_t decimation) {
  if (decimation < 0) return 0;
  if (decimation > int64_t{std::numeric_limits<uint32_t>::max()}) return std::numeric_limits<uint32_t>::max();
  return static_cast<uint32_t>(decimation);
}

void depth_cloud(const ImageFrame& image, const CameraModel& model, uint32_t decimation, PointCloud& cloud,
                 double units, double min_range, double max_range, DepthCloudScratch& scratch) {
  cloud.points.clear();
  if (image.width >= 1 && image.height >= 1 && depth_layout_ok(image)) {
    const bool is_float = is_float_depth(image.encoding);
    const Band band = is_float ? band_f32(units, min_range, max_range) : band_u16(units, min_range, max_range);
    if (decimation <= 1) {
      if (is_float) {
        full_resolution<F32Samples>(image, model, band, units, cloud, scratch);
      } else {
        full_resolution<U16Samples>(image, model, band, units, cloud, scratch);
      }
    } else if (is_float) {
      decimated<F32Samples>(image, model, decimation, band, units, false, cloud, scratch);
    } else {
      decimated<U16Samples>(image, model, decimation, band, units, true, cloud, scratch);
    }
  }
  cloud.frame_id = image.frame_id;
  cloud.timestamp_ns = image.timestamp_ns;
}

void depth_cloud(const ImageFrame& image, const CameraModel& model, uint32_t decimation, PointCloud& cloud,
                 double units, double min_range, double max_range) {
  DepthCloudScratch scratch;
  depth_cloud(image, model, decimation, cloud, units, min_range, max_range, scratch);
}

}  // namespace velk_slam::cuvslam_odometry
