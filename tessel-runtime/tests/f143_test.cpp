#include <catch2/catch.hpp>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "f143_reference.hpp"
#include "tessel_runtime/blocked_data/f143.hpp"

using tessel_runtime::blocked_data::F143Kernel;
using tessel_runtime::blocked_data::f143_decode;
using tessel_runtime::blocked_data::f143_encode;
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
    unscaled.push_back(f143_reference::code_value(code));
    if (code < 0x7F) unscaled.push_back((f143_reference::code_value(code) + f143_reference::code_value(code + 1)) / 2.0);
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

// Bit patterns the bulk encoder treats specially, with both signs: zeros,
// infinities, NaN payloads, subnormals and the edges of the normal range.
std::vector<float> special_floats() {
  std::vector<float> specials;
  for (const std::uint32_t bits : {0x0000'0000U, 0x7F80'0000U, 0x7F80'0001U, 0x7FBF'FFFFU, 0x7FC0'0000U, 0x7FC0'0001U,
                                   0x7FFF'FFFFU, 0x0000'0001U, 0x0000'0002U, 0x0000'0003U, 0x0040'0000U, 0x0055'5555U,
                                   0x007F'FFFFU, 0x0080'0000U, 0x0080'0001U, 0x7F7F'FFFFU, 0x7F7F'FFFEU, 0x3F80'0000U}) {
    specials.push_back(std::bit_cast<float>(bits));
    specials.push_back(std::bit_cast<float>(bits | 0x8000'0000U));
  }
  return specials;
}

// What the bulk encoder is compared on under `scale`: the rounding probes,
// the specials, and `random_count` random bit patterns.
std::vector<float> bulk_probes(int scale, std::mt19937& random, std::size_t random_count) {
  std::vector<float> values = rounding_probes(scale);
  const std::vector<float> specials = special_floats();
  values.insert(values.end(), specials.begin(), specials.end());
  for (std::size_t i = 0; i < random_count; ++i) values.push_back(std::bit_cast<float>(static_cast<std::uint32_t>(random())));
  return values;
}

constexpr F143Kernel ALL_KERNELS[] = {F143Kernel::portable, F143Kernel::avx2, F143Kernel::avx512};

}  // namespace

TEST_CASE("f143 encoding rounds to the nearest code with ties to even under every scale") {
  // Every 8-bit scale, which includes the -32 to 31 that block scales use;
  // the specials include values far outside the codes' range.
  std::vector<std::string> mismatches;
  std::size_t probed = 0;
  for (int scale = ALL_SCALES_FIRST; scale <= ALL_SCALES_LAST; ++scale) {
    std::vector<float> probes = rounding_probes(scale);
    const std::vector<float> specials = special_floats();
    probes.insert(probes.end(), specials.begin(), specials.end());
    for (const float probe : probes) {
      ++probed;
      const std::uint8_t expected = f143_reference::encode(probe, scale);
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
      const double magnitude = std::ldexp(f143_reference::code_value(code & 0x7FU), scale);
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

TEST_CASE("f143 block encoding equals element encoding under every scale and kernel") {
  const F143Kernel kernel = GENERATE(from_range(std::begin(ALL_KERNELS), std::end(ALL_KERNELS)));
  CAPTURE(tessel_runtime::blocked_data::f143_kernel_name(kernel));
  if (!tessel_runtime::blocked_data::f143_kernel_supported(kernel)) {
    WARN("kernel not supported by this processor");
    return;
  }
  std::mt19937 random(143);
  std::vector<std::string> mismatches;
  for (int scale = ALL_SCALES_FIRST; scale <= ALL_SCALES_LAST; ++scale) {
    const std::vector<float> values = bulk_probes(scale, random, 4096);
    // The whole block and a misaligned part of it, so lanes take every
    // position within the vectorised chunks and the scalar tail.
    for (const std::size_t offset : {std::size_t{0}, std::size_t{3}}) {
      const std::span<const float> block = std::span<const float>(values).subspan(offset);
      std::vector<std::uint8_t> bytes(block.size(), 0xAA);
      REQUIRE(f143_encode(block, scale_of(scale), bytes, kernel).has_value());
      for (std::size_t i = 0; i < block.size(); ++i) {
        const std::uint8_t expected = f143_from_f32(block[i], scale_of(scale));
        if (bytes[i] != expected && mismatches.size() < 10) {
          mismatches.push_back(fmt::format("bits {:#010x} scale {}: got {:#04x}, expected {:#04x}",
                                           std::bit_cast<std::uint32_t>(block[i]), scale, bytes[i], expected));
        }
      }
    }
  }
  INFO(fmt::format("{}", fmt::join(mismatches, "\n")));
  CHECK(mismatches.empty());
}

TEST_CASE("f143 block encoding picks a supported kernel") {
  using namespace tessel_runtime::blocked_data;
  CHECK(f143_kernel_supported(f143_best_kernel()));
  CHECK(f143_kernel_supported(F143Kernel::portable));
  const std::vector<float> values = {1.0F, -0.0F, 300.0F, NAN_F32, 0x1p-11F};
  std::vector<std::uint8_t> bytes(values.size());
  REQUIRE(f143_encode(values, 0, bytes).has_value());
  CHECK(bytes == std::vector<std::uint8_t>{0x40, 0x00, 0x7F, 0x80, 0x00});
}

TEST_CASE("f143 block decoding equals element decoding bit for bit under every scale and kernel") {
  const F143Kernel kernel = GENERATE(from_range(std::begin(ALL_KERNELS), std::end(ALL_KERNELS)));
  CAPTURE(tessel_runtime::blocked_data::f143_kernel_name(kernel));
  if (!tessel_runtime::blocked_data::f143_kernel_supported(kernel)) {
    WARN("kernel not supported by this processor");
    return;
  }
  // Every code, in a block long enough for the table and in short ones
  // decoded element by element.
  std::vector<std::uint8_t> codes;
  for (unsigned round = 0; round < 3; ++round) {
    for (unsigned code = 0; code <= 0xFF; ++code) codes.push_back(static_cast<std::uint8_t>(code * 37 + 11 * round));
  }
  for (int scale = ALL_SCALES_FIRST; scale <= ALL_SCALES_LAST; ++scale) {
    CAPTURE(scale);
    for (const std::size_t length : {codes.size(), std::size_t{255}, std::size_t{1}}) {
      const std::span<const std::uint8_t> block = std::span<const std::uint8_t>(codes).first(length);
      std::vector<float> values(length, -1.0F);
      REQUIRE(f143_decode(block, scale_of(scale), values, kernel).has_value());
      for (std::size_t i = 0; i < length; ++i) {
        const auto expected = std::bit_cast<std::uint32_t>(f143_to_f32(block[i], scale_of(scale)));
        if (std::bit_cast<std::uint32_t>(values[i]) != expected) {
          FAIL_CHECK(fmt::format("code {:#04x}: {:#010x} != {:#010x}", block[i], std::bit_cast<std::uint32_t>(values[i]),
                                 expected));
        }
      }
    }
  }
}

TEST_CASE("f143 block functions reject mismatched lengths and write nothing") {
  auto [value_count, byte_count, encode_error, decode_error] =
      GENERATE(table<std::size_t, std::size_t, std::string, std::string>({
          {3, 2, "cannot encode 3 values into 2 bytes", "cannot decode 2 bytes into 3 values"},
          {0, 1, "cannot encode 0 values into 1 bytes", "cannot decode 1 bytes into 0 values"},
          {300, 301, "cannot encode 300 values into 301 bytes", "cannot decode 301 bytes into 300 values"},
      }));
  CAPTURE(value_count, byte_count);
  std::vector<float> values(value_count, 1.0F);
  std::vector<std::uint8_t> bytes(byte_count, 0x41);
  const auto encoded = f143_encode(values, 0, bytes);
  REQUIRE_FALSE(encoded.has_value());
  CHECK(encoded.error().message == encode_error);
  CHECK(bytes == std::vector<std::uint8_t>(byte_count, 0x41));
  const auto decoded = f143_decode(bytes, 0, values);
  REQUIRE_FALSE(decoded.has_value());
  CHECK(decoded.error().message == decode_error);
  CHECK(values == std::vector<float>(value_count, 1.0F));
}

TEST_CASE("f143 block functions reject overlapping input and output") {
  // Four floats in front of the bytes they could be converted into; the
  // output starts `byte_offset` bytes into that buffer.
  auto [byte_offset, overlaps] = GENERATE(table<std::size_t, bool>({{0, true}, {12, true}, {15, true}, {16, false}}));
  CAPTURE(byte_offset);
  std::vector<float> buffer(8, 1.0F);
  auto* raw = reinterpret_cast<std::uint8_t*>(buffer.data());
  const std::span<float> values(buffer.data(), 4);
  const std::span<std::uint8_t> bytes(raw + byte_offset, 4);
  const auto encoded = f143_encode(values, 0, bytes);
  const auto decoded = f143_decode(bytes, 0, values);
  if (overlaps) {
    REQUIRE_FALSE(encoded.has_value());
    CHECK(encoded.error().message == "cannot encode into bytes that overlap the values");
    REQUIRE_FALSE(decoded.has_value());
    CHECK(decoded.error().message == "cannot decode into values that overlap the bytes");
    CHECK(buffer == std::vector<float>(8, 1.0F));
  } else {
    CHECK(encoded.has_value());
    CHECK(decoded.has_value());
  }
  // Empty blocks overlap nothing, wherever they point.
  CHECK(f143_encode(values.first(0), 0, bytes.first(0)).has_value());
  CHECK(f143_decode(bytes.first(0), 0, values.first(0)).has_value());
}

TEST_CASE("f143 block functions reject a kernel the processor lacks") {
  using namespace tessel_runtime::blocked_data;
  // No processor runs a kernel this build does not know.
  const auto unknown = static_cast<F143Kernel>(7);
  CHECK_FALSE(f143_kernel_supported(unknown));
  const std::vector<float> values = {1.0F};
  std::vector<std::uint8_t> bytes = {0x11};
  std::vector<float> decoded = {2.0F};
  const auto encoded = f143_encode(values, 0, bytes, unknown);
  REQUIRE_FALSE(encoded.has_value());
  CHECK(encoded.error().message == "the unknown f143 kernel is not supported by this processor");
  CHECK(bytes == std::vector<std::uint8_t>{0x11});
  const auto decoding = f143_decode(bytes, 0, decoded, unknown);
  REQUIRE_FALSE(decoding.has_value());
  CHECK(decoding.error().message == "the unknown f143 kernel is not supported by this processor");
  CHECK(decoded == std::vector<float>{2.0F});
  for (const F143Kernel kernel : ALL_KERNELS) {
    if (f143_kernel_supported(kernel)) continue;
    const std::string expected =
        fmt::format("the {} f143 kernel is not supported by this processor", f143_kernel_name(kernel));
    const auto lacking_encoder = f143_encode(values, 0, bytes, kernel);
    REQUIRE_FALSE(lacking_encoder.has_value());
    CHECK(lacking_encoder.error().message == expected);
    const auto lacking_decoder = f143_decode(bytes, 0, decoded, kernel);
    REQUIRE_FALSE(lacking_decoder.has_value());
    CHECK(lacking_decoder.error().message == expected);
  }
}
