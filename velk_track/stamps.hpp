// Differences of int64_t nanosecond stamps. Callers pass stamps in order (later >= earlier); the
// difference is taken in unsigned arithmetic, where it is exact, because the signed difference of
// two far-apart stamps can overflow.
#pragma once

#include <cstdint>

namespace velk_track {

inline uint64_t ns_between(int64_t earlier, int64_t later) {
  return static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier);
}

inline double seconds_between(int64_t earlier, int64_t later) {
  return static_cast<double>(ns_between(earlier, later)) * 1e-9;
}

}  // namespace velk_track
