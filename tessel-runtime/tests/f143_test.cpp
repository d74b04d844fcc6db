#include <catch2/catch.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessel_runtime/blocked_data/f143.hpp"

using tessel_runtime::blocked_data::f143_from_f32;
using tessel_runtime::blocked_data::f143_scale;
using tessel_runtime::blocked_data::f143_to_f32;

namespace {

constexpr float INF = std::numeric_limits<float>::infinity();
constexpr float NAN_F32 = std::numeric_limits<float>::quiet_NaN();
constexpr float FLT_MAX_F32 = std::numeric_limits<float>::max();

constexpr int ALL_SCALES_FIRST = std::numeric_limits<std::int8_t>::min();
constexpr int ALL_SCALES_LAST = std::numeric_limits<std::int8_t>::max();

std::int8_t scale_of(int scale) { return static_cast<std::int8_t>(scale); }

// The unscaled value of a non-negative code 0x00..0x7F, straight from the
// format's definition, in double.
double reference_value(unsigned code) {
  const int exponent_field = static_cast<int>(code >> 3);
  const double mantissa = static_cast<double>(code & 7U);
  return exponent_field == 0 ? std::ldexp(mantissa, -10) : std::ldexp(1.0 + mantissa / 8.0, exponent_field - 8);
}

// Encoding by search: the code whose value is nearest to |value| x 2^-scale
// (exact in double), ties to the even code, saturating above 240; a value
// that rounds to zero loses its sign.
std::uint8_t reference_encode(float value, int scale) {
  if (std::isnan(value)) return 0x80;
  const double target = std::ldexp(std::fabs(static_cast<double>(value)), -scale);
  unsigned best = 0x7F;
  if (!std::isinf(target)) {
    double best_distance = std::numeric_limits<double>::infinity();
    for (unsigned code = 0; code <= 0x7F; ++code) {
      const double distance = std::fabs(reference_value(code) - target);
      if (distance < best_distance || (distance == best_distance && code % 2 == 0)) {
        best = code;
        best_distance = distance;
      }
    }
  }
  if (best == 0) return 0x00;
  return static_cast<std::uint8_t>((std::signbit(value) ? 0x80U : 0U) | best);
}

// The smallest scale in [-32, 31] that brings |maximum| to at most 240, 31
// when none does, by trying each in turn.
int reference_scale(float maximum) {
  for (int scale = -32; scale <= 31; ++scale) {
    if (std::ldexp(std::fabs(static_cast<double>(maximum)), -scale) <= 240.0) return scale;
  }
  return 31;
}

// `value` as a float when it is one exactly.
bool exact_float(double value, float& out) {
  if (!(std::fabs(value) <= static_cast<double>(FLT_MAX_F32))) return false;
  out = static_cast<float>(value);
  return static_cast<double>(out) == value;
}

// Every code's value, every midpoint between neighbouring codes and the
// midpoints around 240 (248, the would-be tie with 256, and 256), each with
// its next-up and next-down floats, both signs, scaled by 2^scale.
std::vector<float> rounding_probes(int scale) {
  std::vector<double> unscaled;
  for (unsigned code = 0; code <= 0x7F; ++code) {
    unscaled.push_back(reference_value(code));
    if (code < 0x7F) unscaled.push_back((reference_value(code) + reference_value(code + 1)) / 2.0);
  }
  unscaled.push_back(248.0);
  unscaled.push_back(256.0);
  std::vector<float> probes;
  for (const double value : unscaled) {
    float exact = 0.0F;
    if (!exact_float(std::ldexp(value, scale), exact)) continue;
    for (const float probe : {exact, std::nextafter(exact, INF), std::nextafter(exact, 0.0F)}) {
      probes.push_back(probe);
      probes.push_back(-probe);
    }
  }
  return probes;
}

}  // namespace

TEST_CASE("f143 encoding rounds to the nearest code with ties to even under every scale") {
  // Every 8-bit scale, which includes the -32 to 31 that block scales use.
  std::vector<std::string> mismatches;
  std::size_t probed = 0;
  for (int scale = ALL_SCALES_FIRST; scale <= ALL_SCALES_LAST; ++scale) {
    for (const float probe : rounding_probes(scale)) {
      ++probed;
      const std::uint8_t expected = reference_encode(probe, scale);
      const std::uint8_t actual = f143_from_f32(probe, scale_of(scale));
      if (actual != expected && mismatches.size() < 10) {
        mismatches.push_back(fmt::format("{:a} (bits {:#010x}) scale {}: got {:#04x}, expected {:#04x}", probe,
                                         std::bit_cast<std::uint32_t>(probe), scale, actual, expected));
      }
    }
  }
  INFO(fmt::format("{}", fmt::join(mismatches, "\n")));
  CHECK(probed > 100'000);
  CHECK(mismatches.empty());
}

TEST_CASE("f143 encoding of special saturating and subnormal values") {
  auto [value, scale, expected] = GENERATE(table<float, int, std::uint8_t>({
      // NaN is the NaN code whatever its sign or payload.
      {NAN_F32, 0, 0x80},
      {-NAN_F32, 0, 0x80},
      {std::bit_cast<float>(0x7F80'0001U), 5, 0x80},
      {std::bit_cast<float>(0xFFFF'FFFFU), -7, 0x80},
      // Overflow saturates and never gives the NaN code.
      {INF, 0, 0x7F},
      {-INF, 0, 0xFF},
      {INF, -32, 0x7F},
      {300.0F, 0, 0x7F},
      {-300.0F, 0, 0xFF},
      {240.0F, 0, 0x7F},
      {FLT_MAX_F32, 31, 0x7F},
      {-FLT_MAX_F32, -128, 0xFF},
      {232.0F, 0, 0x7E},  // 6.5 eighths round to the even 6
      {236.0F, 0, 0x7F},
      // Subnormal codes.
      {0x1p-11F, 0, 0x00},  // half of 2^-10 rounds to the even 0
      {0.0048828125F, 0, 0x05},
      {0x1.Ep-8F, 0, 0x08},  // 7.5 x 2^-10 rounds to the even 8, the smallest normal
      {0x1.Ap-8F, 0, 0x06},  // 6.5 x 2^-10 rounds to the even 6
      {0x1p-149F, 0, 0x00},  // the smallest 32-bit subnormal
      {0x1p-149F, -128, 0x00},  // 2^-21 once scaled, not an overflow
      {0x1p-138F, -128, 0x01},  // a 32-bit subnormal that scales to 2^-10
      // Zero and negative underflow encode as plain zero.
      {0.0F, 0, 0x00},
      {-0.0F, 0, 0x00},
      {0.0F, -128, 0x00},
      {-0.0001F, 0, 0x00},
      {-0x1p-11F, 0, 0x00},
      {-0x1.000002p-11F, 0, 0x81},
      // Scales.
      {1.0F, 3, 0x28},
      {1.0F, 127, 0x00},
      {0x1p127F, 127, 0x40},
      {-0x1p-121F, -128, 0xF8},  // -128 once scaled
      {-0x1p-120F, -128, 0xFF},  // -256 once scaled saturates
  }));
  CAPTURE(value, scale);
  CHECK(f143_from_f32(value, scale_of(scale)) == expected);
}

TEST_CASE("f143 decoding gives each code's value times 2^scale") {
  for (int scale = ALL_SCALES_FIRST; scale <= ALL_SCALES_LAST; ++scale) {
    CAPTURE(scale);
    const float nan = f143_to_f32(0x80, scale_of(scale));
    CHECK(std::bit_cast<std::uint32_t>(nan) == std::bit_cast<std::uint32_t>(NAN_F32));
    for (unsigned code = 0; code <= 0xFF; ++code) {
      if (code == 0x80) continue;
      const double magnitude = std::ldexp(reference_value(code & 0x7FU), scale);
      const double expected_magnitude =
          magnitude <= static_cast<double>(FLT_MAX_F32) ? magnitude : std::numeric_limits<double>::infinity();
      const double expected = code >= 0x80 ? -expected_magnitude : expected_magnitude;
      const float actual = f143_to_f32(static_cast<std::uint8_t>(code), scale_of(scale));
      if (static_cast<double>(actual) != expected) FAIL_CHECK(fmt::format("code {:#04x}: {} != {}", code, actual, expected));
    }
  }
}

TEST_CASE("f143 decoding of documented codes") {
  auto [code, scale, expected] = GENERATE(table<std::uint8_t, int, float>({
      {0x00, 0, 0.0F},
      {0x01, 0, 0.0009765625F},
      {0x07, 0, 0.0068359375F},
      {0x08, 0, 0.0078125F},
      {0x38, 0, 0.5F},
      {0x40, 0, 1.0F},
      {0x41, 0, 1.125F},
      {0x7E, 0, 224.0F},
      {0x7F, 0, 240.0F},
      {0xFF, 0, -240.0F},
      {0x28, 3, 1.0F},
      {0x01, -128, 0x1p-138F},
      {0x7F, 127, INF},
  }));
  CAPTURE(code, scale);
  const float decoded = f143_to_f32(code, scale_of(scale));
  CHECK(decoded == expected);
  CHECK_FALSE(std::signbit(f143_to_f32(0x00, scale_of(scale))));
}

TEST_CASE("finite decoded values round trip under every 8-bit scale") {
  for (int scale = ALL_SCALES_FIRST; scale <= ALL_SCALES_LAST; ++scale) {
    for (unsigned code = 0; code <= 0xFF; ++code) {
      if (code == 0x80) continue;
      const auto bits = static_cast<std::uint8_t>(code);
      const float decoded = f143_to_f32(bits, scale_of(scale));
      if (!std::isfinite(decoded)) continue;
      if (f143_from_f32(decoded, scale_of(scale)) != bits) {
        FAIL_CHECK(fmt::format("code {:#04x} scale {} decodes to {:a}", code, scale, decoded));
      }
    }
  }
}

TEST_CASE("block scale of documented value sets") {
  using Values = std::vector<float>;
  auto [values, expected] = GENERATE(table<Values, int>({
      {Values{}, 0},
      {Values{0.0F, NAN_F32, INF}, 0},
      {Values{-0.0F, -INF}, 0},
      {Values{480.0F}, 1},
      {Values{1.0e30F}, 31},
      {Values{FLT_MAX_F32, -INF}, 31},
      {Values{1.0e-30F}, -32},
      {Values{0x1p-149F}, -32},
      {Values{0.001F, -0.001F}, -17},
      {Values{0.1F, -0.1F}, -11},
      {Values{1.0F, -1.0F}, -7},
      {Values{100.0F, -100.0F}, -1},
      {Values{10000.0F, -10000.0F}, 6},
      {Values{NAN_F32, -3.0F, 2.0F, INF}, -6},
      {Values{61440.0F}, 8},
      {Values{61440.0039F}, 9},  // just above 240 x 2^8
  }));
  CAPTURE(values);
  CHECK(int{f143_scale(values)} == expected);
}

TEST_CASE("block scale is exact on both sides of every 240 x 2^k") {
  for (int k = -45; k <= 40; ++k) {
    float boundary = 0.0F;
    if (!exact_float(std::ldexp(240.0, k), boundary)) continue;
    for (const float maximum : {boundary, std::nextafter(boundary, INF), std::nextafter(boundary, 0.0F)}) {
      CAPTURE(k, maximum);
      const int expected = reference_scale(maximum);
      CHECK(int{f143_scale({maximum, -maximum / 2})} == expected);
      CHECK(int{f143_scale({-maximum, NAN_F32, maximum / 4})} == expected);
    }
  }
}
