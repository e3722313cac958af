// Arithmetic on int64_t nanosecond stamps of the data clock. Stamps are whatever the host sends, the
// whole signed range included, so every difference and offset saturates instead of overflowing.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace velk_slam::odometry_fusion {

// a − b, clamped to the int64_t range.
inline int64_t saturating_sub(int64_t a, int64_t b) {
  int64_t difference = 0;
  if (__builtin_sub_overflow(a, b, &difference)) {
    return b < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return difference;
}

// seconds × 1e9 truncated toward zero, clamped to the int64_t range; NaN gives 0.
inline int64_t ns_from_seconds(double seconds) {
  const double ns = seconds * 1e9;
  if (std::isnan(ns)) {
    return 0;
  }
  // 2^63 is exact as a double; every double below it (and at or above −2^63) converts without overflow.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (ns >= kTwoTo63) {
    return std::numeric_limits<int64_t>::max();
  }
  if (ns < -kTwoTo63) {
    return std::numeric_limits<int64_t>::min();
  }
  return static_cast<int64_t>(ns);
}

// The interval from `earlier_ns` to `later_ns` in seconds (saturated first).
inline double seconds_between(int64_t earlier_ns, int64_t later_ns) {
  return static_cast<double>(saturating_sub(later_ns, earlier_ns)) / 1e9;
}

}  // namespace velk_slam::odometry_fusion
