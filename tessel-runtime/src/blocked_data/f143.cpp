#include "tessel_runtime/blocked_data/f143.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <limits>

#include "tessel/internal_error.hpp"

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

// Block encoding, one lane at a time without a branch, so that a loop of
// lanes vectorises. With m the magnitude bits of a normal float, biased
// exponent B and fraction F, the scaled value has f143 exponent field
// E = B - (119 + scale), so
//   t = m - (119 + scale) x 2^23 = E x 2^23 + F
// read as an integer is the f143 code followed by 20 more fraction bits
// whenever E >= 1: the code is t / 2^20 rounded to nearest even, a carry
// running into the next binade as the codes are consecutive in value. The
// magnitude is first limited to the bits of 240 x 2^scale, which saturates
// everything above at 0x7F and keeps t from wrapping.
//
// Below the normal codes (E <= 0, t < 2^23) the code is the scaled value x
// 1024 rounded to nearest even. That value is the float with bits
// t + 129 x 2^23, exactly; adding 2^23 rounds it to an integer in the float
// adder (round to nearest even, the default mode that all of this library
// assumes), and the integer is the low bits of the sum. t is limited below at
// -4 x 2^23 (0.25, which rounds to 0 like everything smaller) so the float
// stays normal.
//
// Subnormal inputs (B = 0) are rewritten as a normal float with an exponent
// below the float range: F converted to float is exact, and lowering its
// bits by 149 x 2^23 gives the bits of F x 2^-149. This is only needed for
// scales below -115: with any other scale a subnormal input is below 2^-11
// once scaled, and t limited at -4 x 2^23 already encodes it as 0.
// NaN and infinities replace the lane's code at the end; the sign goes onto
// every code but 0.

// The constants of encoding under one scale.
struct EncodingBias {
  std::uint32_t exponent_offset = 0;  // (119 + scale) x 2^23, modulo 2^32
  std::int32_t saturation = 0;        // magnitude bits of 240 x 2^scale, at most the largest int32
  bool subnormal_inputs = false;      // whether subnormal inputs can encode to nonzero codes
};

EncodingBias encoding_bias(std::int8_t scale) noexcept {
  const std::int64_t offset = std::int64_t{119 + scale} * (std::int64_t{1} << F32_FRACTION_BITS);
  constexpr std::int64_t CODE_240 = std::int64_t{F143_MAX_FINITE} << (F32_FRACTION_BITS - 3);
  return {static_cast<std::uint32_t>(offset),
          static_cast<std::int32_t>(std::min<std::int64_t>(offset + CODE_240, std::numeric_limits<std::int32_t>::max())),
          scale < -115};
}

std::uint32_t all_ones_if(bool condition) noexcept { return 0U - static_cast<std::uint32_t>(condition); }

template <bool SubnormalInputs>
[[gnu::always_inline]] inline std::uint8_t encode_lane(std::uint32_t bits, EncodingBias bias) noexcept {
  const std::uint32_t magnitude = bits & F32_MAGNITUDE_MASK;
  auto extended = static_cast<std::int32_t>(magnitude);
  if constexpr (SubnormalInputs) {
    const auto fraction_as_float = std::bit_cast<std::int32_t>(static_cast<float>(extended));
    constexpr std::int32_t SUBNORMAL_EXPONENT = (F32_EXPONENT_BIAS + F32_FRACTION_BITS - 1) << F32_FRACTION_BITS;
    const auto subnormal = static_cast<std::int32_t>(all_ones_if(magnitude < F32_IMPLICIT_BIT));
    extended = ((fraction_as_float - SUBNORMAL_EXPONENT) & subnormal) | (extended & ~subnormal);
  }
  const std::uint32_t t = static_cast<std::uint32_t>(std::min(extended, bias.saturation)) - bias.exponent_offset;
  const std::uint32_t normal = (t + 0x7'FFFFU + ((t >> 20) & 1U)) >> 20;

  constexpr std::int32_t QUARTER = -4 * (std::int32_t{1} << F32_FRACTION_BITS);
  const std::uint32_t below_normal_bits =
      static_cast<std::uint32_t>(std::max(static_cast<std::int32_t>(t), QUARTER)) + (129U << F32_FRACTION_BITS);
  const float rounded = std::bit_cast<float>(below_normal_bits) + 0x1p23F;
  const std::uint32_t below_normal = std::bit_cast<std::uint32_t>(rounded) - std::bit_cast<std::uint32_t>(0x1p23F);

  // Bitwise selects: the float rounding above must not move into a branch,
  // where the vectoriser refuses an operation that might trap.
  const std::uint32_t is_normal = all_ones_if(static_cast<std::int32_t>(t) >= static_cast<std::int32_t>(F32_IMPLICIT_BIT));
  const std::uint32_t finite_code = (normal & is_normal) | (below_normal & ~is_normal);
  const std::uint32_t special_code = magnitude == F32_INFINITY ? F143_MAX_FINITE : F143_NAN;
  const std::uint32_t is_special = all_ones_if(magnitude >= F32_INFINITY);
  const std::uint32_t code = (special_code & is_special) | (finite_code & ~is_special);
  const std::uint32_t sign = (bits >> 24) & F143_SIGN_BIT;
  return static_cast<std::uint8_t>(code == 0 ? 0U : sign | code);
}

// GCC vectorises at -O2 only loops that need no alias check at run time, so
// each chunk is encoded into a local buffer and then copied out.
constexpr std::size_t ENCODE_CHUNK = 64;

template <bool SubnormalInputs>
[[gnu::always_inline]] inline void encode_lanes(const float* values, std::size_t count, std::uint8_t* bytes,
                                                EncodingBias bias) noexcept {
  std::size_t i = 0;
  for (; count - i >= ENCODE_CHUNK; i += ENCODE_CHUNK) {
    std::array<std::uint8_t, ENCODE_CHUNK> chunk;
    for (std::size_t j = 0; j < ENCODE_CHUNK; ++j) {
      chunk[j] = encode_lane<SubnormalInputs>(std::bit_cast<std::uint32_t>(values[i + j]), bias);
    }
    std::memcpy(bytes + i, chunk.data(), ENCODE_CHUNK);
  }
  for (; i < count; ++i) bytes[i] = encode_lane<SubnormalInputs>(std::bit_cast<std::uint32_t>(values[i]), bias);
}

[[gnu::always_inline]] inline void encode_block(const float* values, std::size_t count, std::uint8_t* bytes,
                                                EncodingBias bias) noexcept {
  if (bias.subnormal_inputs) {
    encode_lanes<true>(values, count, bytes, bias);
  } else {
    encode_lanes<false>(values, count, bytes, bias);
  }
}

// Block decoding. Blocks shorter than the table decode element by element;
// longer ones either read a 256-entry table of the element function's
// results under the block's scale, built per call, or compute each value the
// way the element function does (the same operations, so the same bits),
// which vectorises and beats the table where the vectors are wide.
constexpr std::size_t DECODE_TABLE_MIN_COUNT = 256;
constexpr std::size_t DECODE_CHUNK = 64;
using DecodeTable = std::array<float, 256>;

DecodeTable decode_table(std::int8_t scale) noexcept {
  DecodeTable table;
  for (std::size_t code = 0; code < table.size(); ++code) table[code] = f143_to_f32(static_cast<std::uint8_t>(code), scale);
  return table;
}

[[gnu::always_inline]] inline void decode_through_table(const std::uint8_t* bytes, std::size_t count, float* values,
                                                        std::int8_t scale) noexcept {
  if (count < DECODE_TABLE_MIN_COUNT) {
    for (std::size_t i = 0; i < count; ++i) values[i] = f143_to_f32(bytes[i], scale);
    return;
  }
  const DecodeTable table = decode_table(scale);
  std::size_t i = 0;
  for (; count - i >= DECODE_CHUNK; i += DECODE_CHUNK) {
    std::array<float, DECODE_CHUNK> chunk;
    for (std::size_t j = 0; j < DECODE_CHUNK; ++j) chunk[j] = table[bytes[i + j]];
    std::memcpy(values + i, chunk.data(), sizeof chunk);
  }
  for (; i < count; ++i) values[i] = table[bytes[i]];
}

// f143_to_f32 without branches.
[[gnu::always_inline]] inline float decode_lane(std::uint32_t bits, std::int8_t scale) noexcept {
  const auto exponent_field = static_cast<std::int32_t>((bits >> 3) & 0xFU);
  const auto significand = static_cast<std::int32_t>((bits & 0x7U) + (exponent_field == 0 ? 0U : 8U));
  const std::int32_t exponent = std::max(exponent_field, 1) - 11 + scale;
  const std::int32_t half = exponent / 2;
  const float magnitude = static_cast<float>(significand) * power_of_two(half) * power_of_two(exponent - half);
  const std::uint32_t value = std::bit_cast<std::uint32_t>(magnitude) | ((bits & F143_SIGN_BIT) << 24);
  constexpr auto NAN_BITS = std::bit_cast<std::uint32_t>(std::numeric_limits<float>::quiet_NaN());
  const std::uint32_t is_nan = all_ones_if(bits == F143_NAN);
  return std::bit_cast<float>((NAN_BITS & is_nan) | (value & ~is_nan));
}

[[gnu::always_inline]] inline void decode_computed(const std::uint8_t* bytes, std::size_t count, float* values,
                                                   std::int8_t scale) noexcept {
  std::size_t i = 0;
  for (; count - i >= DECODE_CHUNK; i += DECODE_CHUNK) {
    std::array<float, DECODE_CHUNK> chunk;
    for (std::size_t j = 0; j < DECODE_CHUNK; ++j) chunk[j] = decode_lane(bytes[i + j], scale);
    std::memcpy(values + i, chunk.data(), sizeof chunk);
  }
  for (; i < count; ++i) values[i] = decode_lane(bytes[i], scale);
}

// One copy of each loop per instruction set, each compiled for it.
void encode_portable(const float* values, std::size_t count, std::uint8_t* bytes, EncodingBias bias) noexcept {
  encode_block(values, count, bytes, bias);
}
void decode_portable(const std::uint8_t* bytes, std::size_t count, float* values, std::int8_t scale) noexcept {
  decode_through_table(bytes, count, values, scale);
}
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TESSEL_F143_X86_KERNELS 1
[[gnu::target("avx2")]] void encode_avx2(const float* values, std::size_t count, std::uint8_t* bytes,
                                         EncodingBias bias) noexcept {
  encode_block(values, count, bytes, bias);
}
[[gnu::target("avx2")]] void decode_avx2(const std::uint8_t* bytes, std::size_t count, float* values,
                                         std::int8_t scale) noexcept {
  decode_through_table(bytes, count, values, scale);
}
[[gnu::target("avx512f,avx512bw,avx512vl")]] void encode_avx512(const float* values, std::size_t count,
                                                                std::uint8_t* bytes, EncodingBias bias) noexcept {
  encode_block(values, count, bytes, bias);
}
[[gnu::target("avx512f,avx512bw,avx512vl")]] void decode_avx512(const std::uint8_t* bytes, std::size_t count,
                                                                float* values, std::int8_t scale) noexcept {
  decode_computed(bytes, count, values, scale);
}
#endif

// Whether two byte ranges share a byte; empty ranges share none.
bool overlap(const void* first, std::size_t first_size, const void* second, std::size_t second_size) noexcept {
  const auto first_start = reinterpret_cast<std::uintptr_t>(first);
  const auto second_start = reinterpret_cast<std::uintptr_t>(second);
  return first_size != 0 && second_size != 0 && first_start < second_start + second_size &&
         second_start < first_start + first_size;
}

// The error for a kernel this processor cannot run, if it is one.
tessel::Result<void> require_supported(F143Kernel kernel) {
  if (!f143_kernel_supported(kernel)) {
    return tessel::fail("the {} f143 kernel is not supported by this processor", f143_kernel_name(kernel));
  }
  return {};
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

std::string_view f143_kernel_name(F143Kernel kernel) noexcept {
  switch (kernel) {
    case F143Kernel::portable: return "portable";
    case F143Kernel::avx2: return "avx2";
    case F143Kernel::avx512: return "avx512";
  }
  return "unknown";
}

bool f143_kernel_supported(F143Kernel kernel) noexcept {
  switch (kernel) {
    case F143Kernel::portable: return true;
#ifdef TESSEL_F143_X86_KERNELS
    case F143Kernel::avx2: return __builtin_cpu_supports("avx2") != 0;
    case F143Kernel::avx512:
      return __builtin_cpu_supports("avx512f") != 0 && __builtin_cpu_supports("avx512bw") != 0 &&
             __builtin_cpu_supports("avx512vl") != 0;
#else
    case F143Kernel::avx2:
    case F143Kernel::avx512: return false;
#endif
  }
  return false;
}

F143Kernel f143_best_kernel() noexcept {
  for (const F143Kernel kernel : {F143Kernel::avx512, F143Kernel::avx2}) {
    if (f143_kernel_supported(kernel)) return kernel;
  }
  return F143Kernel::portable;
}

tessel::Result<void> f143_encode(std::span<const float> values, std::int8_t scale, std::span<std::uint8_t> bytes) {
  return f143_encode(values, scale, bytes, f143_best_kernel());
}

tessel::Result<void> f143_encode(std::span<const float> values, std::int8_t scale, std::span<std::uint8_t> bytes,
                                 F143Kernel kernel) {
  if (values.size() != bytes.size()) return tessel::fail("cannot encode {} values into {} bytes", values.size(), bytes.size());
  if (overlap(values.data(), values.size_bytes(), bytes.data(), bytes.size_bytes())) {
    return tessel::fail("cannot encode into bytes that overlap the values");
  }
  TESSEL_TRY_VOID(require_supported(kernel));
  const EncodingBias bias = encoding_bias(scale);
  switch (kernel) {
    case F143Kernel::portable: encode_portable(values.data(), values.size(), bytes.data(), bias); break;
#ifdef TESSEL_F143_X86_KERNELS
    case F143Kernel::avx2: encode_avx2(values.data(), values.size(), bytes.data(), bias); break;
    case F143Kernel::avx512: encode_avx512(values.data(), values.size(), bytes.data(), bias); break;
#else
    default: tessel::unreachable("f143 kernel without a build");
#endif
  }
  return {};
}

tessel::Result<void> f143_decode(std::span<const std::uint8_t> bytes, std::int8_t scale, std::span<float> values) {
  return f143_decode(bytes, scale, values, f143_best_kernel());
}

tessel::Result<void> f143_decode(std::span<const std::uint8_t> bytes, std::int8_t scale, std::span<float> values,
                                 F143Kernel kernel) {
  if (bytes.size() != values.size()) return tessel::fail("cannot decode {} bytes into {} values", bytes.size(), values.size());
  if (overlap(bytes.data(), bytes.size_bytes(), values.data(), values.size_bytes())) {
    return tessel::fail("cannot decode into values that overlap the bytes");
  }
  TESSEL_TRY_VOID(require_supported(kernel));
  switch (kernel) {
    case F143Kernel::portable: decode_portable(bytes.data(), bytes.size(), values.data(), scale); break;
#ifdef TESSEL_F143_X86_KERNELS
    case F143Kernel::avx2: decode_avx2(bytes.data(), bytes.size(), values.data(), scale); break;
    case F143Kernel::avx512: decode_avx512(bytes.data(), bytes.size(), values.data(), scale); break;
#else
    default: tessel::unreachable("f143 kernel without a build");
#endif
  }
  return {};
}

}  // namespace tessel_runtime::blocked_data
