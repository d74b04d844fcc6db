// Checks of the blocked_data module: the f143 encoding.
#include <cmath>
#include <cstdint>
#include <utility>

#include "tessel_checks/check.hpp"
#include "tessel_runtime/blocked_data/f143.hpp"

namespace tessel_runtime::blocked_data::tests {

void f143_encoding_matches_documented_rounding_examples() {
  static constexpr std::pair<float, std::uint8_t> examples[] = {
      {7.0F, 0x56}, {7.25F, 0x56}, {7.5F, 0x57}, {7.75F, 0x58},
      {8.0F, 0x58}, {8.5F, 0x58},  {9.0F, 0x59}, {9.5F, 0x5A},
  };
  for (const auto& [value, expected] : examples) {
    TESSEL_CHECK_EQ(f143_from_f32(value, 0), expected);
  }
}

void finite_f143_values_round_trip_for_every_scale() {
  for (int scale = -32; scale <= 31; ++scale) {
    const auto block_scale = static_cast<std::int8_t>(scale);
    for (unsigned code = 0x00; code <= 0xFF; ++code) {
      if (code == F143_NAN) continue;
      const auto bits = static_cast<std::uint8_t>(code);
      TESSEL_CHECK_EQ(f143_from_f32(f143_to_f32(bits, block_scale), block_scale), bits);
    }
  }
}

void negative_underflow_encodes_zero_instead_of_nanoo() {
  TESSEL_CHECK_EQ(f143_from_f32(-0.0001F, 0), 0x00);
}

void selected_scale_uses_the_available_normal_range() {
  for (const float maximum : {0.001F, 0.1F, 1.0F, 100.0F, 10000.0F}) {
    const std::int8_t scale = f143_scale({maximum, -maximum});
    const float scaled = std::ldexp(maximum, -scale);
    TESSEL_CHECK(scaled <= 240.0);
    TESSEL_CHECK(scale == -32 || scaled > 120.0);
  }
}

}  // namespace tessel_runtime::blocked_data::tests

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> blocked_data_checks() {
  static constexpr CheckDescriptor checks[] = {
      {"blocked_data::tests::f143_encoding_matches_documented_rounding_examples",
       &blocked_data::tests::f143_encoding_matches_documented_rounding_examples},
      {"blocked_data::tests::finite_f143_values_round_trip_for_every_scale",
       &blocked_data::tests::finite_f143_values_round_trip_for_every_scale},
      {"blocked_data::tests::negative_underflow_encodes_zero_instead_of_nanoo",
       &blocked_data::tests::negative_underflow_encodes_zero_instead_of_nanoo},
      {"blocked_data::tests::selected_scale_uses_the_available_normal_range",
       &blocked_data::tests::selected_scale_uses_the_available_normal_range},
  };
  return checks;
}

}  // namespace tessel_runtime::checks
