#include "cuvslam_odometry/depth_cloud.hpp"

#include "cuvslam_odometry/depth_samples.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace velk_slam::cuvslam_odometry {

namespace {

// The raw-value band [lo, hi] of one call.
struct Band {
  double lo = 1.0;
  double hi = 65535.0;
  int32_t lo_u16 = 1;      // the same band for 16-bit samples, as integers
  int32_t hi_u16 = 65535;  // -1 when nothing is in the band
  bool contains(double s) const { return s >= lo && s <= hi; }
  bool contains(uint16_t s) const { return s >= lo_u16 && s <= hi_u16; }
  bool contains(float s) const { return contains(static_cast<double>(s)); }
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
  band.lo_u16 = static_cast<int32_t>(band.lo);                       // in [1, 65535]
  band.hi_u16 = static_cast<int32_t>(std::max(band.hi, -1.0));       // in [-1, 65535]
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
inline double edge_tolerance(double units, double z_r, bool integral) {
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
  // One allocation for the worst case (every pixel in the band), bounded by the image's own bytes.
  cloud.points.reserve(static_cast<size_t>(width * height));
  const uint8_t* data = image.data.data();
  for (int64_t v = 0; v < height; ++v) {
    const uint8_t* row = data + v * step;
    const double row_factor = (static_cast<double>(v) - cy) / fy;
    for (int64_t c = 0; c < width; ++c) {
      const typename Samples::Value sample = Samples::read(row, c);
      if (!band.contains(sample)) {
        continue;
      }
      const double s = static_cast<double>(sample);
      const double z = s / units;
      const double x = scratch.column_factor[static_cast<size_t>(c)] * z;
      const double y = row_factor * z;
      cloud.points.push_back({static_cast<float>(x), static_cast<float>(y), static_cast<float>(z)});
    }
  }
}

// A value below every in-band sample (those are >= 1 for 16-bit, > 0 for float depth), used to fill the
// slots of out-of-band samples in fixed-size blocks.
template <typename Value>
constexpr Value kBelowBand = std::numeric_limits<Value>::is_integer ? Value{0} : -std::numeric_limits<Value>::infinity();

// Median of one full D × D block at `origin` with compile-time loops. Out-of-band samples become
// kBelowBand, which counts below every candidate. The value of rank k among the n in-band samples is the
// largest in-band value with at most k + fillers values below it; counting those for every sample is
// branch-free and, over a few dozen values, faster than a partitioning selection. Returns false when
// n < threshold.
template <typename Samples, int D>
bool full_block_median(const uint8_t* origin, int64_t step, const Band& band, uint64_t threshold, double* median) {
  using Value = typename Samples::Value;
  constexpr int kN = D * D;
  Value v[kN];
  int n = 0;
  for (int i = 0; i < D; ++i) {
    const uint8_t* row = origin + i * step;
    for (int j = 0; j < D; ++j) {
      const Value s = Samples::read(row, j);
      const bool in = band.contains(s);
      v[i * D + j] = in ? s : kBelowBand<Value>;
      n += in ? 1 : 0;
    }
  }
  if (n == 0 || static_cast<uint64_t>(n) < threshold) {
    return false;
  }
  const int limit = (kN - n) + n / 2;  // fillers + k
  Value best = kBelowBand<Value>;
  for (int i = 0; i < kN; ++i) {
    int below = 0;
    for (int j = 0; j < kN; ++j) {
      below += v[j] < v[i] ? 1 : 0;
    }
    best = (below <= limit && v[i] > best) ? v[i] : best;
  }
  *median = static_cast<double>(best);
  return true;
}

// Median of any block (partial blocks at the right and bottom edges, or large d): gather the in-band
// samples row by row and select with nth_element.
template <typename Samples>
bool any_block_median(const uint8_t* origin, int64_t step, int64_t rows, int64_t cols, const Band& band,
                      uint64_t threshold, std::vector<typename Samples::Value>& samples, double* median) {
  using Value = typename Samples::Value;
  Value* out = samples.data();
  for (int64_t i = 0; i < rows; ++i) {
    const uint8_t* row = origin + i * step;
    for (int64_t j = 0; j < cols; ++j) {
      const Value s = Samples::read(row, j);
      *out = s;  // always store, advance only past in-band samples
      out += band.contains(s) ? 1 : 0;
    }
  }
  const size_t n = static_cast<size_t>(out - samples.data());
  if (n == 0 || n < threshold) {
    return false;
  }
  Value* middle = samples.data() + n / 2;
  std::nth_element(samples.data(), middle, out);
  *median = static_cast<double>(*middle);
  return true;
}

// (1) Block medians into the grid, whose cells are framed by one row and column of invalid cells on every
// side so that the edge test needs no bounds checks. D > 0 gives the full blocks compile-time loops;
// D = 0 handles any block size.
template <typename Samples, int D>
void block_medians(const ImageFrame& image, int64_t d, const Band& band, uint64_t threshold, int64_t out_w,
                   int64_t out_h, DepthCloudScratch& scratch, std::vector<typename Samples::Value>& samples) {
  const int64_t width = image.width, height = image.height, step = image.step;
  const int64_t stride = out_w + 2;
  const uint8_t* data = image.data.data();
  for (int64_t r = 0; r < out_h; ++r) {
    const int64_t rows = std::min(height, (r + 1) * d) - r * d;
    for (int64_t k = 0; k < out_w; ++k) {
      const int64_t cols = std::min(width, (k + 1) * d) - k * d;
      const uint8_t* origin = data + r * d * step + k * d * Samples::kBytes;
      double median = 0.0;
      bool valid = false;
      if constexpr (D > 0) {
        valid = rows == D && cols == D
                    ? full_block_median<Samples, D>(origin, step, band, threshold, &median)
                    : any_block_median<Samples>(origin, step, rows, cols, band, threshold, samples, &median);
      } else {
        valid = any_block_median<Samples>(origin, step, rows, cols, band, threshold, samples, &median);
      }
      if (valid) {
        const size_t cell = static_cast<size_t>((r + 1) * stride + (k + 1));
        scratch.cell_valid[cell] = 1;
        scratch.cell_value[cell] = median;
      }
    }
  }
}

template <typename Samples>
void decimated(const ImageFrame& image, const CameraModel& model, uint64_t d, const Band& band, double units,
               PointCloud& cloud, DepthCloudScratch& scratch, std::vector<typename Samples::Value>& samples) {
  const int64_t width = image.width, height = image.height;
  const uint64_t threshold = d * d / 2;  // d < 2^32, so d² fits
  // A block never holds more than width × height samples: past that no cell can become valid.
  if (threshold > static_cast<uint64_t>(width) * static_cast<uint64_t>(height)) {
    return;
  }
  const int64_t di = static_cast<int64_t>(d);
  const int64_t out_w = (width + di - 1) / di;
  const int64_t out_h = (height + di - 1) / di;
  const int64_t stride = out_w + 2;
  const size_t framed = static_cast<size_t>(stride * (out_h + 2));
  scratch.cell_valid.assign(framed, 0);
  scratch.cell_value.assign(framed, 0.0);
  samples.resize(static_cast<size_t>(std::min(di, height) * std::min(di, width)));
  cloud.points.reserve(static_cast<size_t>(out_w * out_h));

  // (1) Block medians: the value of rank floor(n / 2) of the n in-band samples, when n >= floor(d² / 2).
  switch (d) {
    case 2: block_medians<Samples, 2>(image, di, band, threshold, out_w, out_h, scratch, samples); break;
    case 3: block_medians<Samples, 3>(image, di, band, threshold, out_w, out_h, scratch, samples); break;
    case 4: block_medians<Samples, 4>(image, di, band, threshold, out_w, out_h, scratch, samples); break;
    case 5: block_medians<Samples, 5>(image, di, band, threshold, out_w, out_h, scratch, samples); break;
    case 6: block_medians<Samples, 6>(image, di, band, threshold, out_w, out_h, scratch, samples); break;
    default: block_medians<Samples, 0>(image, di, band, threshold, out_w, out_h, scratch, samples); break;
  }

  // (2) Edge test: a cell lying strictly between a nearer and a farther neighbour (beyond the tolerance)
  // on opposite sides is a mixed pixel at a depth edge and is dropped. Neighbours are read as computed in
  // (1), so dropping a cell does not change what its neighbours see. Pairs in order: left and right,
  // above and below, above-left and below-right, below-left and above-right.
  const int64_t pairs[4][2] = {{-1, 1}, {-stride, stride}, {-stride - 1, stride + 1}, {stride - 1, -stride + 1}};
  const double fx = model.intrinsics[0], cx = model.intrinsics[2];
  const double fy = model.intrinsics[4], cy = model.intrinsics[5];
  const double c0 = (static_cast<double>(d) - 1.0) / 2.0;
  scratch.column_factor.resize(static_cast<size_t>(out_w));
  for (int64_t k = 0; k < out_w; ++k) {
    scratch.column_factor[static_cast<size_t>(k)] = (c0 + static_cast<double>(k * di) - cx) / fx;
  }
  const uint8_t* valid = scratch.cell_valid.data();
  const double* value = scratch.cell_value.data();
  for (int64_t r = 0; r < out_h; ++r) {
    const double row_factor = (c0 + static_cast<double>(r * di) - cy) / fy;
    for (int64_t k = 0; k < out_w; ++k) {
      const int64_t cell = (r + 1) * stride + (k + 1);
      if (valid[cell] == 0) {
        continue;
      }
      const double z_r = value[cell];
      const double tol = edge_tolerance(units, z_r, Samples::kIntegral);
      bool edge = false;
      for (const auto& pair : pairs) {
        const int64_t c1 = cell + pair[0], c2 = cell + pair[1];
        if (valid[c1] == 0 || valid[c2] == 0) {
          continue;
        }
        const double a = std::min(value[c1], value[c2]), b = std::max(value[c1], value[c2]);
        if (a + tol < z_r && b - tol > z_r) {
          edge = true;
          break;
        }
      }
      if (edge) {
        continue;
      }
      // Block centre: x = ((c0 + k d − cx) / fx) z, y = ((c0 + r d − cy) / fy) z.
      const double z = z_r / units;
      const double x = scratch.column_factor[static_cast<size_t>(k)] * z;
      const double y = row_factor * z;
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
  return is_float_depth(image.encoding) ? static_cast<double>(F32Samples::read(p, column)) : U16Samples::read(p, column);
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
      const double s = is_float ? static_cast<double>(F32Samples::read(row, c)) : U16Samples::read(row, c);
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
      decimated<F32Samples>(image, model, decimation, band, units, cloud, scratch, scratch.samples32);
    } else {
      decimated<U16Samples>(image, model, decimation, band, units, cloud, scratch, scratch.samples16);
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
