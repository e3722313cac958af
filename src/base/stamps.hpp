// Arithmetic on int64_t nanosecond stamps of the data clock, for both engines. Stamps are whatever the
// host sends, the whole signed range included: 0 and negative stamps are ordinary stamps, so "no stamp
// yet" is an empty OptionalStamp, never a reserved value. Every difference saturates instead of
// overflowing, and every conversion from a floating-point duration rounds to the nearest nanosecond.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>

namespace velk_slam {

// A stamp that may not have been seen yet.
using OptionalStamp = std::optional<int64_t>;

// a − b in ns, clamped to the int64_t range. The one stamp difference: every interval is written
// "later minus earlier" with it.
inline int64_t difference_ns(int64_t a_ns, int64_t b_ns) {
  int64_t difference = 0;
  if (__builtin_sub_overflow(a_ns, b_ns, &difference)) {
    return b_ns < 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min();
  }
  return difference;
}

// A span of ns in seconds (exact below 2^53 ns, about 104 days).
inline double seconds_from_ns(int64_t ns) { return static_cast<double>(ns) / 1e9; }

// a − b in seconds, saturated first like difference_ns.
inline double difference_seconds(int64_t a_ns, int64_t b_ns) { return seconds_from_ns(difference_ns(a_ns, b_ns)); }

// A floating-point count of ns rounded to the nearest integer (halves away from zero), clamped to the
// int64_t range; NaN gives 0.
inline int64_t rounded_ns(double ns) {
  if (std::isnan(ns)) {
    return 0;
  }
  const double whole = std::round(ns);
  // 2^63 is exact as a double; every whole double below it (and at or above −2^63) converts without
  // overflow.
  constexpr double kTwoTo63 = 9223372036854775808.0;
  if (whole >= kTwoTo63) {
    return std::numeric_limits<int64_t>::max();
  }
  if (whole < -kTwoTo63) {
    return std::numeric_limits<int64_t>::min();
  }
  return static_cast<int64_t>(whole);
}

// Durations from the configuration into ns, rounded as rounded_ns.
inline int64_t ns_from_seconds(double seconds) { return rounded_ns(seconds * 1e9); }
inline int64_t ns_from_milliseconds(double milliseconds) { return rounded_ns(milliseconds * 1e6); }

}  // namespace velk_slam
