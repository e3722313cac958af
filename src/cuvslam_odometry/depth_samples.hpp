// Readers of one depth sample at a row pointer and column: 16-bit unsigned and 32-bit float samples,
// both little-endian. Internal to the depth code; bounds are the caller's (depth_layout_ok).
#pragma once

#include <cstdint>
#include <cstring>

namespace velk_slam::cuvslam_odometry {

struct U16Samples {
  using Value = uint16_t;
  static constexpr bool kIntegral = true;
  static constexpr int64_t kBytes = 2;
  static Value read(const uint8_t* row, int64_t column) {
    const uint8_t* p = row + 2 * column;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
  }
};

struct F32Samples {
  using Value = float;
  static constexpr bool kIntegral = false;
  static constexpr int64_t kBytes = 4;
  static Value read(const uint8_t* row, int64_t column) {
    const uint8_t* p = row + 4 * column;
    const uint32_t bits = uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    float value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
  }
};

}  // namespace velk_slam::cuvslam_odometry
