#pragma once
// A reference f143 encoder for tests and fuzzers, written from the format's
// definition and independent of the library: each code's value in double,
// and encoding as a search for the nearest code.

#include <cmath>
#include <cstdint>
#include <limits>

namespace f143_reference {

// The unscaled value of a non-negative code 0x00..0x7F, in double.
inline double code_value(unsigned code) {
  const int exponent_field = static_cast<int>(code >> 3);
  const double mantissa = static_cast<double>(code & 7U);
  return exponent_field == 0 ? std::ldexp(mantissa, -10) : std::ldexp(1.0 + mantissa / 8.0, exponent_field - 8);
}

// The code whose value is nearest to |value| x 2^-scale (exact in double),
// ties to the even code, saturating above 240; NaN is 0x80 and a value that
// rounds to zero loses its sign.
inline std::uint8_t encode(float value, int scale) {
  if (std::isnan(value)) return 0x80;
  const double target = std::ldexp(std::fabs(static_cast<double>(value)), -scale);
  // Far above 240 the distances to the top codes round to the same double.
  unsigned best = 0x7F;
  if (target < 240.0) {
    double best_distance = std::numeric_limits<double>::infinity();
    for (unsigned code = 0; code <= 0x7F; ++code) {
      const double distance = std::fabs(code_value(code) - target);
      if (distance < best_distance || (distance == best_distance && code % 2 == 0)) {
        best = code;
        best_distance = distance;
      }
    }
  }
  if (best == 0) return 0x00;
  return static_cast<std::uint8_t>((std::signbit(value) ? 0x80U : 0U) | best);
}

}  // namespace f143_reference
