#pragma once
// The f143 blocked-data format: 8-bit floats (1 sign bit, 4 exponent bits
// with bias 8, 3 mantissa bits) sharing one power-of-two scale per block.
//
// A byte's value is (-1)^sign x M x 2^-10 when E = 0 and
// (-1)^sign x 2^(E - 8) x (1 + M / 8) otherwise; 0x80 is the one NaN code,
// there is no negative zero and no infinity, the largest magnitude is 240
// (0x7F). A block with scale s stores x as `f143_from_f32(x, s)`; decoding
// multiplies the byte's value by 2^s.
//
// The element functions are pure, keep no state, allocate nothing and cannot
// fail. Every scale from -128 to 127 is handled exactly: encoding rounds the
// exact value x 2^-s, not an intermediate float that might have overflowed.
//
// The block functions `f143_encode` and `f143_decode` convert a whole block
// under one scale, element i to element i, with results identical to the
// element functions for every input (in the default rounding mode). They
// keep no state and allocate nothing unless they fail, so blocks may be
// converted concurrently. Input and output must have
// the same length and must not overlap; otherwise they write nothing and
// return the error. Both run on the widest vector unit the processor has
// (see `F143Kernel`) unless told which; decoding reads a 256-entry table
// built per call, or with AVX-512 computes each value as the element
// function does.

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "tessel/error.hpp"

namespace tessel_runtime::blocked_data {

inline constexpr std::uint8_t F143_NAN = 0x80;          // the not-a-number code
inline constexpr std::uint8_t F143_MAX_FINITE = 0x7F;  // 240, the largest magnitude
inline constexpr float F143_MAX_VALUE = 240.0F;
inline constexpr std::int8_t F143_MIN_SCALE = -32;  // range of the scales `f143_scale` picks
inline constexpr std::int8_t F143_MAX_SCALE = 31;

// The block scale for `values`: the smallest s in [-32, 31] for which the
// largest finite magnitude times 2^-s is at most 240, so the block uses the
// upper half of the normal range; 31 when no scale in that range is enough.
// NaN and infinities are ignored; with no nonzero finite value the scale is 0.
[[nodiscard]] std::int8_t f143_scale(std::span<const float> values) noexcept;
[[nodiscard]] inline std::int8_t f143_scale(std::initializer_list<float> values) noexcept {
  return f143_scale(std::span<const float>(values.begin(), values.size()));
}

// `value` x 2^-scale rounded to the nearest f143 byte, ties to the even code.
// NaN gives 0x80; magnitudes from 240 up, and infinities, saturate to +-240;
// a value that rounds to zero gives 0x00 whatever its sign.
[[nodiscard]] std::uint8_t f143_from_f32(float value, std::int8_t scale) noexcept;

// The value of `bits` times 2^scale; 0x80 gives the default quiet NaN.
// Exact unless the result leaves the range of 32-bit floats (then infinite).
[[nodiscard]] float f143_to_f32(std::uint8_t bits, std::int8_t scale) noexcept;

// The builds of the block functions: `portable` runs on every processor,
// `avx2` and `avx512` need those x86-64 vector units. All give the same
// results; they differ only in speed.
enum class F143Kernel : std::uint8_t { portable, avx2, avx512 };

[[nodiscard]] std::string_view f143_kernel_name(F143Kernel kernel) noexcept;
[[nodiscard]] bool f143_kernel_supported(F143Kernel kernel) noexcept;
// The fastest kernel this processor supports.
[[nodiscard]] F143Kernel f143_best_kernel() noexcept;

// bytes[i] = f143_from_f32(values[i], scale) for every i.
// Errors: "cannot encode 3 values into 2 bytes" when the lengths differ,
// "cannot encode into bytes that overlap the values", and with an explicit
// kernel "the avx512 f143 kernel is not supported by this processor".
[[nodiscard]] tessel::Result<void> f143_encode(std::span<const float> values, std::int8_t scale,
                                               std::span<std::uint8_t> bytes);
[[nodiscard]] tessel::Result<void> f143_encode(std::span<const float> values, std::int8_t scale,
                                               std::span<std::uint8_t> bytes, F143Kernel kernel);

// values[i] = f143_to_f32(bytes[i], scale) for every i, bit for bit.
// Errors: "cannot decode 3 bytes into 2 values" when the lengths differ,
// "cannot decode into values that overlap the bytes", and with an explicit
// kernel "the avx512 f143 kernel is not supported by this processor".
[[nodiscard]] tessel::Result<void> f143_decode(std::span<const std::uint8_t> bytes, std::int8_t scale,
                                               std::span<float> values);
[[nodiscard]] tessel::Result<void> f143_decode(std::span<const std::uint8_t> bytes, std::int8_t scale,
                                               std::span<float> values, F143Kernel kernel);

}  // namespace tessel_runtime::blocked_data
