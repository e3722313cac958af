#include "cuvslam_odometry/depth_cloud.hpp"

#include "cuvslam_odometry/depth_samples.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

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

// How the decimated path holds each kind of sample. Block medians are Cells (0 for an invalid block:
// in-band values are above 0), and the edge test runs on vectors of cells (Wide), exactly for the values
// involved.
template <typename Samples>
struct Decimation;
template <>
struct Decimation<U16Samples> {
  // Lanes: 16-bit samples with the top bit flipped, which order as signed integers (SSE2 compares those).
  using Lane = int16_t;
  typedef int16_t Vec __attribute__((vector_size(16)));
  static constexpr bool kBisects = true;
  using IndexLane = int16_t;  // counts and positions per lane, of the comparisons' type
  typedef int16_t Index __attribute__((vector_size(16)));
  static constexpr Lane kFiller = std::numeric_limits<int16_t>::min();  // the flipped 0, below every sample
  using Cell = int32_t;
  typedef int32_t Wide __attribute__((vector_size(16)));
  static Cell cell(Lane l) { return static_cast<Cell>(static_cast<uint16_t>(l) ^ 0x8000u); }
  // Band samples of one image row as lanes, fillers elsewhere.
  static void lane_row(const uint8_t* row, int64_t width, const Band& band, Lane* out) {
    const auto lo = static_cast<uint16_t>(band.lo_u16), span = static_cast<uint16_t>(band.hi_u16 - band.lo_u16);
    for (int64_t c = 0; c < width; ++c) {
      const uint16_t s = U16Samples::read(row, c);
      out[c] = static_cast<uint16_t>(s - lo) <= span ? static_cast<Lane>(s ^ 0x8000u) : kFiller;
    }
  }
  // tol = trunc(max(0.3 units, 0.1 z)) saturated to a signed 32-bit integer, NaN to 0, is
  // max(trunc(0.3 units), trunc(0.1 z)) since truncation keeps order; for a 16-bit z, trunc(0.1 z) is the
  // integer part of z / 10 (0.1 as a double lies just above a tenth, far less than the 0.1 between two
  // tenths), which the float quotient also truncates to (its rounding stays below 0.001). A tolerance of
  // 65536 or more never drops a cell, so the first term is clamped to 0 .. 65536 and every sum fits.
  struct Tolerance {
    Cell base = 0, tenth_mask = -1;
    explicit Tolerance(double units) {
      const double t = 0.3 * units;
      if (std::isnan(t)) {
        tenth_mask = 0;
      } else {
        base = static_cast<Cell>(std::clamp(std::trunc(t), 0.0, 65536.0));
      }
    }
    Wide operator()(Wide z) const {
      typedef float Floats __attribute__((vector_size(16)));
      const Wide tenth = __builtin_convertvector(__builtin_convertvector(z, Floats) / 10.0f, Wide) & tenth_mask;
      return base > tenth ? Wide{} + base : tenth;
    }
  };
};
template <>
struct Decimation<F32Samples> {
  using Lane = float;
  typedef float Vec __attribute__((vector_size(16)));
  static constexpr bool kBisects = false;  // a float range does not halve to a point
  using IndexLane = int32_t;
  typedef int32_t Index __attribute__((vector_size(16)));
  static constexpr Lane kFiller = -std::numeric_limits<float>::infinity();
  using Cell = double;
  typedef double Wide __attribute__((vector_size(16)));
  static Cell cell(Lane l) { return static_cast<Cell>(l); }
  static void lane_row(const uint8_t* row, int64_t width, const Band& band, Lane* out) {
    for (int64_t c = 0; c < width; ++c) {
      const float s = F32Samples::read(row, c);
      out[c] = band.contains(s) ? s : kFiller;
    }
  }
  // tol = max(0.3 units, 0.1 z), not truncated (a NaN 0.3 units gives NaN, which drops nothing).
  struct Tolerance {
    double base;
    explicit Tolerance(double units) : base(0.3 * units) {}
    Wide operator()(Wide z) const {
      const Wide tenth = 0.1 * z;
      return base < tenth ? tenth : Wide{} + base;
    }
  };
};

// Marks the cells of one grid row that make a point: valid, and not lying strictly between a nearer and a
// farther neighbour (beyond the tolerance) on opposite sides, which marks a mixed pixel at a depth edge.
// Pairs: left and right, above and below, above-left and below-right, below-left and above-right. Reads
// up to one vector past the row's last cell (the grid has room for it).
template <typename Samples>
void keep_cells(const typename Decimation<Samples>::Cell* up, const typename Decimation<Samples>::Cell* cur,
                const typename Decimation<Samples>::Cell* down, int64_t count,
                const typename Decimation<Samples>::Tolerance& tolerance, int32_t* keep) {
  using D = Decimation<Samples>;
  using Wide = typename D::Wide;
  constexpr int64_t kLanes = sizeof(Wide) / sizeof(typename D::Cell);
  const auto load = [](const typename D::Cell* p) {
    Wide v;
    std::memcpy(&v, p, sizeof v);
    return v;
  };
  for (int64_t k = 0; k < count; k += kLanes) {
    const Wide z = load(cur + k);
    const Wide tol = tolerance(z);
    const Wide zero = {};
    const auto between = [&](Wide a, Wide b) {
      const Wide lo = a < b ? a : b, hi = a < b ? b : a;
      return (a != zero) & (b != zero) & (lo + tol < z) & (hi - tol > z);
    };
    const auto edge = between(load(cur + k - 1), load(cur + k + 1)) | between(load(up + k), load(down + k)) |
                      between(load(up + k - 1), load(down + k + 1)) | between(load(down + k - 1), load(up + k + 1));
    const auto made = (z != zero) & ~edge;
    for (int64_t l = 0; l < kLanes; ++l) keep[k + l] = made[l] != 0 ? 1 : 0;
  }
}

// Median of any block (blocks larger than the lane networks take): gather the in-band samples row by row
// and select with nth_element. Returns 0 for an invalid block (fewer than threshold in-band samples).
template <typename Samples>
typename Samples::Value any_block_median(const uint8_t* origin, int64_t step, int64_t rows, int64_t cols,
                                         const Band& band, uint64_t threshold,
                                         std::vector<typename Samples::Value>& samples) {
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
    return Value{0};
  }
  Value* middle = samples.data() + n / 2;
  std::nth_element(samples.data(), middle, out);
  return *middle;
}

// Block medians of up to kMaxNetworkEdge pixels a side run on groups of neighbouring blocks at once, one
// block per lane of a 16-byte vector: lane value p of the group is pixel p of each block, out-of-band
// samples (and pixels outside the image) become a filler below every in-band value, and a fixed
// compare-exchange network brings the ranks that can be a median into place in every lane at the same
// time (large blocks of 16-bit samples bisect instead, see bisect_ranks). The block's median is then the
// value at its own rank: with n in-band samples of N = d² pixels, the N − n fillers come first, so rank
// floor(n / 2) of the in-band values is position N − n + floor(n / 2). A network has no data-dependent
// branch and bisection at most 16 passes, so no scene costs much more than another.
constexpr int64_t kMaxNetworkEdge = 16;

// Comparators of a network that sorts n values ascending (Batcher's odd-even merge sort, which holds for
// any n), less those that cannot reach positions first .. last: walking backwards, a comparator is kept
// when one of its outputs is still needed, and its inputs become needed.
using Network = std::vector<std::array<uint16_t, 2>>;
constexpr Network median_network(int64_t n, int64_t first, int64_t last) {
  Network network;
  for (int64_t p = 1; p < n; p <<= 1) {
    for (int64_t k = p; k >= 1; k >>= 1) {
      for (int64_t j = k % p; j + k < n; j += 2 * k) {
        for (int64_t i = 0; i < std::min(k, n - j - k); ++i) {
          if ((i + j) / (2 * p) == (i + j + k) / (2 * p)) {
            network.push_back({static_cast<uint16_t>(i + j), static_cast<uint16_t>(i + j + k)});
          }
        }
      }
    }
  }
  std::vector<char> needed(static_cast<size_t>(n), 0);
  for (int64_t i = first; i <= last; ++i) needed[static_cast<size_t>(i)] = 1;
  size_t kept = network.size();
  for (size_t c = network.size(); c-- > 0;) {
    const auto [a, b] = network[c];
    if (needed[a] != 0 || needed[b] != 0) {
      needed[a] = needed[b] = 1;
      network[--kept] = network[c];
    }
  }
  network.erase(network.begin(), network.begin() + static_cast<std::ptrdiff_t>(kept));
  return network;
}

// The network of d × d blocks: positions N − ceil(n / 2) for n from floor(d² / 2) (at least 1) to N = d².
constexpr Network block_network(int64_t d) {
  const int64_t n = d * d, min_valid = std::max<int64_t>(n / 2, 1);
  return median_network(n, n - (n + 1) / 2, n - (min_valid + 1) / 2);
}

// The same as a compile-time array, for the small blocks whose few values then stay in registers.
template <int64_t D>
constexpr auto fixed_block_network() {
  std::array<std::array<uint16_t, 2>, block_network(D).size()> out{};
  const Network network = block_network(D);
  std::copy(network.begin(), network.end(), out.begin());
  return out;
}

// Large blocks of 16-bit samples: instead of a network, which grows as N log² N, each lane bisects the
// value range of its block for the value of rank `at` (the smallest t with more than `at` values <= t),
// counting all N values against every lane's midpoint at once: at most 16 passes of N compares, fewer
// when the in-band values of the group's blocks span less.
constexpr int64_t kMinBisectEdge = 5;

template <typename Samples>
typename Decimation<Samples>::Vec bisect_ranks(const typename Decimation<Samples>::Vec* v, int64_t n,
                                               typename Decimation<Samples>::Index at) {
  using D = Decimation<Samples>;
  using Vec = typename D::Vec;
  using Lane = typename D::Lane;
  const Vec filler = Vec{} + D::kFiller, top = Vec{} + std::numeric_limits<Lane>::max();
  // Lanes without in-band values start with lo > hi and never take part.
  Vec lo = top, hi = filler;
  for (int64_t p = 0; p < n; ++p) {
    const Vec x = v[p];
    hi = x > hi ? x : hi;
    const Vec in_band = x == filler ? top : x;
    lo = in_band < lo ? in_band : lo;
  }
  for (;;) {
    const Vec open = lo < hi;
    uint64_t halves[2];
    std::memcpy(halves, &open, sizeof halves);
    if ((halves[0] | halves[1]) == 0) {
      return lo;
    }
    const Vec mid = (lo & hi) + ((lo ^ hi) >> 1);  // floor of the mean, without overflow
    Vec above = {};
    for (int64_t p = 0; p < n; ++p) {
      above -= v[p] > mid;  // true is −1
    }
    const Vec at_or_below = static_cast<Lane>(n) - above;
    const Vec lower = at_or_below > at;  // the value of rank `at` is <= mid
    hi = lower ? mid : hi;
    lo = lower ? lo : mid + 1;
  }
}

// The d lane rows of block row r: image row r d + i as lanes (fillers outside the band) in row i, fillers
// in the rows below the image's last.
template <typename Samples>
void fill_lane_rows(const ImageFrame& image, int64_t r, int64_t d, const Band& band, int64_t padded,
                    typename Decimation<Samples>::Lane* rows) {
  using D = Decimation<Samples>;
  const int64_t width = image.width, height = image.height, step = image.step;
  const int64_t block_rows = std::min(height, (r + 1) * d) - r * d;
  for (int64_t i = 0; i < d; ++i) {
    typename D::Lane* lanes = rows + i * padded;
    if (i < block_rows) {
      D::lane_row(image.data.data() + (r * d + i) * step, width, band, lanes);
    } else {
      std::fill(lanes, lanes + width, D::kFiller);
    }
  }
}

// Row i of a group of kFixedEdge-wide blocks of 16-bit lanes into x[j] = column j of the row: lane l of
// x[j] is lane l d + j of the row, by shuffles of the row's vectors instead of lane-by-lane inserts.
template <typename Samples, int64_t kFixedEdge>
void shuffle_fixed_row(const typename Decimation<Samples>::Lane* row, typename Decimation<Samples>::Vec* x) {
  using Vec = typename Decimation<Samples>::Vec;
  typedef int16_t Mask __attribute__((vector_size(16)));
  Vec r[kFixedEdge];
  std::memcpy(r, row, sizeof r);
  if constexpr (kFixedEdge == 2) {
    x[0] = __builtin_shuffle(r[0], r[1], Mask{0, 2, 4, 6, 8, 10, 12, 14});
    x[1] = __builtin_shuffle(r[0], r[1], Mask{1, 3, 5, 7, 9, 11, 13, 15});
  } else if constexpr (kFixedEdge == 3) {
    x[0] = __builtin_shuffle(__builtin_shuffle(r[0], r[1], Mask{0, 3, 6, 9, 12, 15, 0, 0}), r[2],
                             Mask{0, 1, 2, 3, 4, 5, 10, 13});
    x[1] = __builtin_shuffle(__builtin_shuffle(r[0], r[1], Mask{1, 4, 7, 10, 13, 0, 0, 0}), r[2],
                             Mask{0, 1, 2, 3, 4, 8, 11, 14});
    x[2] = __builtin_shuffle(__builtin_shuffle(r[0], r[1], Mask{2, 5, 8, 11, 14, 0, 0, 0}), r[2],
                             Mask{0, 1, 2, 3, 4, 9, 12, 15});
  } else {
    static_assert(kFixedEdge == 4);
    const auto column = [&]<int16_t j>() {
      constexpr Mask pick = {j, j + 4, j + 8, j + 12, 0, 0, 0, 0};
      return __builtin_shuffle(__builtin_shuffle(r[0], r[1], pick), __builtin_shuffle(r[2], r[3], pick),
                               Mask{0, 1, 2, 3, 8, 9, 10, 11});
    };
    x[0] = column.template operator()<0>();
    x[1] = column.template operator()<1>();
    x[2] = column.template operator()<2>();
    x[3] = column.template operator()<3>();
  }
}

// The group of blocks at `group` (one block per lane, rows `padded` lanes apart) into v: lane l of
// v[i d + j] is pixel (i, j) of block l. Returns each lane's count of fillers.
template <typename Samples, int64_t kFixedEdge>
typename Decimation<Samples>::Index gather_group(const typename Decimation<Samples>::Lane* group, int64_t d,
                                                 int64_t padded, typename Decimation<Samples>::Vec* v) {
  using D = Decimation<Samples>;
  using Vec = typename D::Vec;
  constexpr int64_t kGroup = sizeof(Vec) / sizeof(typename D::Lane);
  typename D::Index fillers = {};
  if constexpr (kFixedEdge > 0 && sizeof(typename D::Lane) == 2) {
    for (int64_t i = 0; i < d; ++i) {
      Vec* x = v + i * d;
      shuffle_fixed_row<Samples, kFixedEdge>(group + i * padded, x);
      for (int64_t j = 0; j < d; ++j) fillers -= x[j] == D::kFiller;
    }
  } else {
    for (int64_t i = 0; i < d; ++i) {
      for (int64_t j = 0; j < d; ++j) {
        Vec x;
        for (int64_t l = 0; l < kGroup; ++l) x[l] = group[i * padded + l * d + j];
        v[i * d + j] = x;
        fillers -= x == D::kFiller;  // true is −1
      }
    }
  }
  return fillers;
}

// Each lane's value at position `at` once the block network (the compile-time one of kFixedEdge, or
// `network` for kFixedEdge 0) has brought positions first .. last into place in v.
template <typename Samples, int64_t kFixedEdge>
typename Decimation<Samples>::Vec network_ranks(typename Decimation<Samples>::Vec* v, const Network& network,
                                                typename Decimation<Samples>::Index at, int64_t first, int64_t last) {
  using D = Decimation<Samples>;
  using Vec = typename D::Vec;
  const auto exchange = [&v](uint16_t a, uint16_t b) {
    const Vec x = v[a], y = v[b];
    v[a] = x < y ? x : y;
    v[b] = x < y ? y : x;
  };
  if constexpr (kFixedEdge > 0) {
    static constexpr auto kNetwork = fixed_block_network<kFixedEdge>();
    [&]<size_t... I>(std::index_sequence<I...>) {
      (exchange(kNetwork[I][0], kNetwork[I][1]), ...);
    }(std::make_index_sequence<kNetwork.size()>{});
  } else {
    for (const auto& [a, b] : network) exchange(a, b);
  }
  // Each lane's median position N − n + floor(n / 2), picked by selects over the candidate positions
  // (indexing by lane would keep the values out of registers).
  Vec median = {};
  for (int64_t p = first; p <= last; ++p) {
    median = at == static_cast<typename D::IndexLane>(p) ? v[p] : median;
  }
  return median;
}

// (1) Block medians by lane networks into the framed grid. kFixedEdge > 0 runs the compile-time network
// of that edge (d must equal it), 0 the network of any d held in scratch.
template <typename Samples, int64_t kFixedEdge>
void network_medians(const ImageFrame& image, int64_t d, const Band& band, uint64_t threshold, int64_t out_w,
                     int64_t out_h, DepthCloudScratch& scratch, std::vector<typename Decimation<Samples>::Lane>& rows,
                     typename Decimation<Samples>::Cell* cells) {
  using D = Decimation<Samples>;
  using Vec = typename D::Vec;
  using Index = typename D::Index;
  constexpr int64_t kGroup = sizeof(Vec) / sizeof(typename D::Lane);
  const int64_t n_pixels = d * d;
  const int64_t min_valid = std::max<int64_t>(static_cast<int64_t>(threshold), 1);
  // Median positions: N − ceil(n / 2) for n from N down to min_valid.
  const int64_t first = n_pixels - (n_pixels + 1) / 2, last = n_pixels - (min_valid + 1) / 2;
  const bool bisects = D::kBisects && d >= kMinBisectEdge;
  if (kFixedEdge == 0 && !bisects && scratch.network_size != n_pixels) {
    scratch.network = block_network(d);
    scratch.network_size = n_pixels;
  }
  const int64_t groups = (out_w + kGroup - 1) / kGroup;
  const int64_t padded = groups * kGroup * d;  // columns of the lane rows, past the image filled
  rows.assign(static_cast<size_t>(d * padded), D::kFiller);
  const int64_t stride = out_w + 2;
  Vec v[kMaxNetworkEdge * kMaxNetworkEdge];
  for (int64_t r = 0; r < out_h; ++r) {
    fill_lane_rows<Samples>(image, r, d, band, padded, rows.data());
    for (int64_t g = 0; g < groups; ++g) {
      const Index fillers = gather_group<Samples, kFixedEdge>(rows.data() + g * kGroup * d, d, padded, v);
      const Index in_band = static_cast<typename D::IndexLane>(n_pixels) - fillers;
      const Index at = fillers + (in_band >> 1);
      Vec median = {};
      if (bisects) {
        if constexpr (D::kBisects) median = bisect_ranks<Samples>(v, n_pixels, at);
      } else {
        median = network_ranks<Samples, kFixedEdge>(v, scratch.network, at, first, last);
      }
      const Index valid = in_band >= static_cast<typename D::IndexLane>(min_valid);
      for (int64_t l = 0; l < kGroup && g * kGroup + l < out_w; ++l) {
        if (valid[l] != 0) {
          cells[(r + 1) * stride + (g * kGroup + l + 1)] = D::cell(median[l]);
        }
      }
    }
  }
}

template <typename Samples>
void decimated(const ImageFrame& image, const CameraModel& model, uint64_t d, const Band& band, double units,
               PointCloud& cloud, DepthCloudScratch& scratch, std::vector<typename Samples::Value>& samples,
               std::vector<typename Decimation<Samples>::Lane>& lane_rows,
               std::vector<typename Decimation<Samples>::Cell>& grid) {
  using D = Decimation<Samples>;
  using Cell = typename D::Cell;
  constexpr int64_t kLanes = sizeof(typename D::Wide) / sizeof(Cell);
  const int64_t width = image.width, height = image.height, step = image.step;
  const uint64_t threshold = d * d / 2;  // d < 2^32, so d² fits
  // A block never holds more than width × height samples: past that no cell can become valid.
  if (threshold > static_cast<uint64_t>(width) * static_cast<uint64_t>(height)) {
    return;
  }
  const int64_t di = static_cast<int64_t>(d);
  const int64_t out_w = (width + di - 1) / di;
  const int64_t out_h = (height + di - 1) / di;
  // The grid is framed by one row and column of invalid cells on every side, so that the edge test needs
  // no bounds checks, plus room for the edge test's last vector.
  const int64_t stride = out_w + 2;
  grid.assign(static_cast<size_t>(stride * (out_h + 2) + kLanes), Cell{0});
  cloud.points.reserve(static_cast<size_t>(out_w * out_h));

  // (1) Block medians: the value of rank floor(n / 2) of the n in-band samples, when n >= floor(d² / 2).
  if (di <= kMaxNetworkEdge) {
    switch (di) {
      case 2: network_medians<Samples, 2>(image, di, band, threshold, out_w, out_h, scratch, lane_rows, grid.data()); break;
      case 3: network_medians<Samples, 3>(image, di, band, threshold, out_w, out_h, scratch, lane_rows, grid.data()); break;
      case 4: network_medians<Samples, 4>(image, di, band, threshold, out_w, out_h, scratch, lane_rows, grid.data()); break;
      default: network_medians<Samples, 0>(image, di, band, threshold, out_w, out_h, scratch, lane_rows, grid.data()); break;
    }
  } else {
    samples.resize(static_cast<size_t>(std::min(di, height) * std::min(di, width)));
    for (int64_t r = 0; r < out_h; ++r) {
      for (int64_t k = 0; k < out_w; ++k) {
        grid[static_cast<size_t>((r + 1) * stride + (k + 1))] = any_block_median<Samples>(
            image.data.data() + r * di * step + k * di * Samples::kBytes, step, std::min(height, (r + 1) * di) - r * di,
            std::min(width, (k + 1) * di) - k * di, band, threshold, samples);
      }
    }
  }

  // (2) Edge test. Neighbours are read as computed in (1), so dropping a cell does not change what its
  // neighbours see.
  const typename D::Tolerance tolerance(units);
  const double fx = model.intrinsics[0], cx = model.intrinsics[2];
  const double fy = model.intrinsics[4], cy = model.intrinsics[5];
  const double c0 = (static_cast<double>(d) - 1.0) / 2.0;
  scratch.column_factor.resize(static_cast<size_t>(out_w));
  for (int64_t k = 0; k < out_w; ++k) {
    scratch.column_factor[static_cast<size_t>(k)] = (c0 + static_cast<double>(k * di) - cx) / fx;
  }
  scratch.keep.resize(static_cast<size_t>(out_w + kLanes));
  const int32_t* keep = scratch.keep.data();
  for (int64_t r = 0; r < out_h; ++r) {
    const Cell* cur = grid.data() + (r + 1) * stride + 1;
    keep_cells<Samples>(cur - stride, cur, cur + stride, out_w, tolerance, scratch.keep.data());
    // Block centre: x = ((c0 + k d − cx) / fx) z, y = ((c0 + r d − cy) / fy) z with z = z_r / units.
    const double row_factor = (c0 + static_cast<double>(r * di) - cy) / fy;
    for (int64_t k = 0; k < out_w; ++k) {
      if (keep[k] == 0) continue;
      const double z = static_cast<double>(cur[k]) / units;
      const double x = scratch.column_factor[static_cast<size_t>(k)] * z;
      cloud.points.push_back({static_cast<float>(x), static_cast<float>(row_factor * z), static_cast<float>(z)});
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
      } else if (band.hi_u16 >= band.lo_u16) {
        full_resolution<U16Samples>(image, model, band, units, cloud, scratch);
      }
    } else if (is_float) {
      decimated<F32Samples>(image, model, decimation, band, units, cloud, scratch, scratch.samples32,
                            scratch.lanes32, scratch.cells32);
    } else if (band.hi_u16 >= band.lo_u16) {
      decimated<U16Samples>(image, model, decimation, band, units, cloud, scratch, scratch.samples16,
                            scratch.lanes16, scratch.cells16);
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
