#include <catch2/catch.hpp>

#include <cstdint>
#include <limits>

#include "tessel/integer.hpp"
#include "tessel/range.hpp"

TEST_CASE("narrowing fails with the standard conversion error") {
  CHECK(tessel::narrow<std::uint16_t>(std::uint64_t{65535}).value() == 65535);
  const auto too_big = tessel::narrow<std::uint16_t>(std::uint64_t{65536});
  REQUIRE_FALSE(too_big.has_value());
  CHECK(too_big.error().message == "out of range integral type conversion attempted");
  CHECK_FALSE(tessel::narrow<std::uint32_t>(-1).has_value());
  CHECK(tessel::try_narrow<std::uint8_t>(255U) == std::uint8_t{255});
  CHECK_FALSE(tessel::try_narrow<std::uint8_t>(256U).has_value());
}

TEST_CASE("checked arithmetic reports overflow instead of wrapping") {
  constexpr auto max = std::numeric_limits<std::uint32_t>::max();
  CHECK(tessel::checked_add<std::uint32_t>(max - 1, 1) == max);
  CHECK_FALSE(tessel::checked_add<std::uint32_t>(max, 1).has_value());
  CHECK(tessel::checked_mul<std::uint64_t>(0, std::numeric_limits<std::uint64_t>::max()) == 0U);
  CHECK_FALSE(tessel::checked_mul<std::uint64_t>(std::uint64_t{1} << 32, std::uint64_t{1} << 32).has_value());
  CHECK(tessel::saturating_add<std::uint32_t>(max - 1, 5) == max);
  CHECK(tessel::checked_align_up<std::uint32_t>(0x4C018, 0x4000) == 0x50000U);
  CHECK(tessel::checked_align_up<std::uint32_t>(0x1000, 0x100) == 0x1000U);
  CHECK(tessel::checked_align_up<std::uint32_t>(max - 0xFF, 0x100) == max - 0xFF);
  CHECK_FALSE(tessel::checked_align_up<std::uint32_t>(max - 0xFE, 0x100).has_value());
}

TEST_CASE("ranges are half-open") {
  const tessel::AddressRange range{16, 32};
  CHECK(range.length() == 16);
  CHECK(range.contains(16));
  CHECK_FALSE(range.contains(32));
  CHECK_FALSE(range.overlaps({32, 48}));
  CHECK(range.overlaps({31, 48}));
  CHECK(tessel::AddressRange{5, 3}.empty());
  CHECK(tessel::AddressRange{5, 3}.length() == 0);
  CHECK(fmt::format("{}", tessel::AddressRange{0x1500, 0x1F00}) == "[0x1500, 0x1f00)");
  CHECK(fmt::format("{}", tessel::PhaseRange{0, 2}) == "[0, 2)");
}
