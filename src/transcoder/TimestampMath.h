// Overflow-free arithmetic on 64-bit timestamps (AV_NOPTS_VALUE: none).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

extern "C" {
#include <libavutil/avutil.h>
}

namespace corvane::tsmath {

// a + b clamped to [INT64_MIN + 1, INT64_MAX], so a result is never "none".
inline std::int64_t SatAdd(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN + 1;
  return r == INT64_MIN ? INT64_MIN + 1 : r;
}

// a - b clamped to [INT64_MIN + 1, INT64_MAX].
inline std::int64_t SatSub(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? INT64_MAX : INT64_MIN + 1;
  return r == INT64_MIN ? INT64_MIN + 1 : r;
}

// |a|, INT64_MAX for INT64_MIN.
inline std::int64_t SatAbs(std::int64_t a) { return a == INT64_MIN ? INT64_MAX : (a < 0 ? -a : a); }

// a + b, or none when either is none or the sum leaves the range.
inline std::int64_t AddOrNone(std::int64_t a, std::int64_t b) {
  std::int64_t r = 0;
  if (a == AV_NOPTS_VALUE || b == AV_NOPTS_VALUE || __builtin_add_overflow(a, b, &r))
    return AV_NOPTS_VALUE;
  return r;
}

// v rounded to nearest (halves to even), or none when not finite or out of range.
inline std::int64_t RoundOrNone(double v) {
  // 2^63 is exact in double; anything at or past it does not fit.
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(v) || v >= kLimit || v <= -kLimit) return AV_NOPTS_VALUE;
  return std::llrint(v);
}

}  // namespace corvane::tsmath
