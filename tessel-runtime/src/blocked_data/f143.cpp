#include "tessel_runtime/blocked_data/f143.hpp"

#include <algorithm>
#include <bit>
#include <limits>

namespace tessel_runtime::blocked_data {
namespace {

constexpr std::uint32_t F32_MAGNITUDE_MASK = 0x7FFF'FFFFU;
constexpr std::uint32_t F32_INFINITY = 0x7F80'0000U;
constexpr std::uint32_t F32_IMPLICIT_BIT = 0x0080'0000U;
constexpr int F32_FRACTION_BITS = 23;
constexpr int F32_EXPONENT_BIAS = 127;
constexpr std::uint8_t F143_SIGN_BIT = 0x80;

// A nonzero finite magnitude as significand x 2^(exponent - 23), with the
// significand normalised to 24 bits (top bit set), also for subnormals.
struct Binary {
  std::uint32_t significand = 0;  // in [2^23, 2^24)
  int exponent = 0;               // floor(log2(magnitude))
};

// `magnitude_bits`: the bits of a nonzero finite non-negative float.
Binary decompose(std::uint32_t magnitude_bits) noexcept {
  const auto biased = static_cast<int>(magnitude_bits >> F32_FRACTION_BITS);
  const std::uint32_t fraction = magnitude_bits & (F32_IMPLICIT_BIT - 1);
  if (biased != 0) return {fraction | F32_IMPLICIT_BIT, biased - F32_EXPONENT_BIAS};
  const int shift = std::countl_zero(fraction) - (31 - F32_FRACTION_BITS);
  return {fraction << shift, 1 - F32_EXPONENT_BIAS - shift};
}

// significand / 2^shift rounded to the nearest integer, ties to even.
// Requires significand < 2^24 and shift >= 1.
std::uint32_t shift_right_nearest_even(std::uint32_t significand, int shift) noexcept {
  if (shift > F32_FRACTION_BITS + 1) return 0;  // below one half
  const std::uint32_t kept = significand >> shift;
  const std::uint32_t rest = significand & ((1U << shift) - 1);
  const std::uint32_t half = 1U << (shift - 1);
  const bool round_up = rest > half || (rest == half && (kept & 1U) != 0);
  return kept + (round_up ? 1U : 0U);
}

std::uint8_t with_sign(std::uint8_t sign, std::uint8_t code) noexcept {
  return static_cast<std::uint8_t>(sign | code);
}

// 2^exponent for exponent in [-126, 127], built from its bits.
float power_of_two(int exponent) noexcept {
  return std::bit_cast<float>(static_cast<std::uint32_t>(exponent + F32_EXPONENT_BIAS) << F32_FRACTION_BITS);
}

}  // namespace

std::int8_t f143_scale(std::span<const float> values) noexcept {
  // Non-negative floats order like their bit patterns.
  std::uint32_t maximum = 0;
  for (const float value : values) {
    const std::uint32_t magnitude = std::bit_cast<std::uint32_t>(value) & F32_MAGNITUDE_MASK;
    if (magnitude < F32_INFINITY) maximum = std::max(maximum, magnitude);
  }
  if (maximum == 0) return 0;
  // maximum = f x 2^e with f in [1, 2), and 240 = 1.875 x 2^7: maximum x 2^-s
  // <= 240 first holds at s = e - 7 when f <= 1.875, else at s = e - 6.
  const Binary binary = decompose(maximum);
  constexpr std::uint32_t SIGNIFICAND_OF_240 = 0xF0'0000U;  // 1.875 x 2^23
  const int scale = binary.exponent - 7 + (binary.significand > SIGNIFICAND_OF_240 ? 1 : 0);
  return static_cast<std::int8_t>(std::clamp<int>(scale, F143_MIN_SCALE, F143_MAX_SCALE));
}

std::uint8_t f143_from_f32(float value, std::int8_t scale) noexcept {
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint8_t sign = (bits >> 31) != 0 ? F143_SIGN_BIT : std::uint8_t{0};
  const std::uint32_t magnitude = bits & F32_MAGNITUDE_MASK;
  if (magnitude > F32_INFINITY) return F143_NAN;
  if (magnitude == 0) return 0x00;
  if (magnitude == F32_INFINITY) return with_sign(sign, F143_MAX_FINITE);

  const Binary binary = decompose(magnitude);
  // floor(log2(|value| x 2^-scale)), exact in int.
  const int exponent = binary.exponent - scale;
  if (exponent > 7) return with_sign(sign, F143_MAX_FINITE);  // 256 and above
  // Codes step by 2^(binade - 3) within a binade; the subnormal codes share
  // the step of the lowest normal binade, 2^-10.
  const int binade = std::max(exponent, -7);
  const std::uint32_t steps =
      shift_right_nearest_even(binary.significand, F32_FRACTION_BITS - 3 + binade - exponent);
  // Codes are consecutive integers in value order: binade b starts at code
  // (b + 7) x 8 + 8, and a rounding up to 16 steps lands on the next binade.
  const std::uint32_t code = static_cast<std::uint32_t>(binade + 7) * 8 + steps;
  if (code == 0) return 0x00;  // underflow is zero, never the NaN code
  return with_sign(sign, static_cast<std::uint8_t>(std::min<std::uint32_t>(code, F143_MAX_FINITE)));
}

float f143_to_f32(std::uint8_t bits, std::int8_t scale) noexcept {
  if (bits == F143_NAN) return std::numeric_limits<float>::quiet_NaN();
  const int exponent_field = (bits >> 3) & 0xF;
  const int mantissa = bits & 0x7;
  // value = significand x 2^exponent, significand at most 15: exact in float.
  const int significand = exponent_field == 0 ? mantissa : 8 + mantissa;
  const int exponent = std::max(exponent_field, 1) - 11 + scale;
  // Two exact power-of-two factors cover every exponent from -138 to 131;
  // the second product rounds once, only when leaving the float range.
  const int half = exponent / 2;
  const float magnitude = static_cast<float>(significand) * power_of_two(half) * power_of_two(exponent - half);
  return (bits & F143_SIGN_BIT) != 0 ? -magnitude : magnitude;
}

}  // namespace tessel_runtime::blocked_data
