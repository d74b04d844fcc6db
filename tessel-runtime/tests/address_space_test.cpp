#include <catch2/catch.hpp>

#include <array>
#include <utility>
#include <vector>

#include "tessel/internal_error.hpp"
#include "tessel_runtime/placement/address_space.hpp"

using tessel::AddressRange;
using tessel_runtime::placement::AddressSpace;
using Regions = std::vector<AddressRange>;

TEST_CASE("placement align_up saturates near the top of the address space") {
  auto [value, alignment, expected] = GENERATE(table<std::uint32_t, std::uint32_t, std::uint32_t>({
      {0xFFFFFFFF, 0x100, 0xFFFFFF00},
      {0xFFFFFF01, 0x100, 0xFFFFFF00},
      {0x4C018, 0x4000, 0x50000},
      {0x1000, 0x100, 0x1000},
      {0, 0x4000, 0},
      {7, 1, 7},
      {0xFFFFFFFF, 1, 0xFFFFFFFF},
  }));
  CAPTURE(value, alignment);
  CHECK(tessel_runtime::placement::align_up(value, alignment) == expected);
}

namespace {
Regions free_regions(AddressRange bounds, const Regions& reserved, std::uint32_t granularity) {
  AddressSpace space(bounds);
  space.reserve_all(reserved);
  return std::move(space).free_regions(granularity);
}
}  // namespace

TEST_CASE("free regions") {
  struct Case {
    const char* name;
    AddressRange bounds;
    Regions reserved;
    std::uint32_t granularity;
    Regions expected;
  };
  const auto c = GENERATE(values<Case>({
      {"no reservations", {0x1000, 0x2000}, {}, 0x100, {{0x1000, 0x2000}}},
      {"bounds start rounds up", {0x1010, 0x2000}, {}, 0x100, {{0x1100, 0x2000}}},
      {"rounded start past the end", {0x1010, 0x1080}, {}, 0x100, {}},
      {"inverted bounds", {0x2000, 0x1000}, {}, 1, {}},
      {"empty bounds", {0x2000, 0x2000}, {}, 1, {}},
      {"exact bytes at granularity 1", {0, 100}, {{10, 20}, {20, 30}}, 1, {{0, 10}, {30, 100}}},
      {"empty reservation", {0x50000, 0x60000}, {{0x58000, 0x58000}}, 1, {{0x50000, 0x60000}}},
      {"inverted reservation", {0x50000, 0x60000}, {{0x59000, 0x58000}}, 1, {{0x50000, 0x60000}}},
      {"reservation at or above the end", {0x1000, 0x2000}, {{0x2000, 0x3000}}, 1, {{0x1000, 0x2000}}},
      {"reservation below the rounded start", {0x1010, 0x2000}, {{0x1000, 0x1080}}, 0x100, {{0x1100, 0x2000}}},
      {"unsorted, overlapping and nested", {0, 1000}, {{500, 600}, {100, 200}, {150, 300}, {120, 130}}, 1,
       {{0, 100}, {300, 500}, {600, 1000}}},
      {"end of bounds need not be aligned", {0x1000, 0x1F80}, {{0x1000, 0x1100}}, 0x100, {{0x1100, 0x1F80}}},
      {"widened end saturates", {0xFFFF0000, 0xFFFFFFFF}, {{0xFFFF0000, 0xFFFF0001}, {0xFFFFFF01, 0xFFFFFFFF}}, 0x100,
       {{0xFFFF0100, 0xFFFFFF00}}},
      {"bounds start that cannot be rounded up", {0xFFFFFF01, 0xFFFFFFFF}, {}, 0x100, {}},
      {"whole bounds reserved", {0x1000, 0x2000}, {{0, 0xFFFFFFFF}}, 0x4000, {}},
  }));
  CAPTURE(c.name);
  CHECK(free_regions(c.bounds, c.reserved, c.granularity) == c.expected);
}

TEST_CASE("reserve_all takes arrays and lists of address pairs") {
  AddressSpace space({0, 100});
  space.reserve_all(std::array<std::pair<std::uint32_t, std::uint32_t>, 2>{{{10, 20}, {0, 0}}});
  space.reserve_all(Regions{{30, 40}});
  CHECK(space.reserved() == Regions{{10, 20}, {30, 40}});
  CHECK(std::move(space).free_regions(1) == Regions{{0, 10}, {20, 30}, {40, 100}});
}

TEST_CASE("a granularity that is not a power of two is an internal error") {
  AddressSpace space({0, 100});
  CHECK_THROWS_MATCHES(std::move(space).free_regions(24), tessel::InternalError,
                       Catch::Matchers::Message("assertion failed: granularity.is_power_of_two()"));
}

// Brute-force oracle: a byte map of a small address range.
TEST_CASE("free regions match a byte-map oracle") {
  std::uint32_t seed = 12345;
  const auto next = [&seed](std::uint32_t bound) {
    seed = seed * 1664525U + 1013904223U;
    return (seed >> 8) % bound;
  };
  for (int round = 0; round < 300; ++round) {
    const std::uint32_t granularity = 1U << next(5);
    const AddressRange bounds{next(64), next(300)};
    Regions reserved;
    const auto count = next(6);
    for (std::uint32_t i = 0; i < count; ++i) reserved.push_back({next(320), next(320)});

    std::vector<bool> taken(512, false);
    for (const auto& range : reserved) {
      if (range.start >= range.end) continue;
      const std::uint32_t start = range.start & ~(granularity - 1);
      const std::uint32_t end = tessel_runtime::placement::align_up(range.end, granularity);
      for (std::uint32_t byte = start; byte < end; ++byte) taken[byte] = true;
    }
    const std::uint32_t first = tessel_runtime::placement::align_up(bounds.start, granularity);
    std::vector<bool> expected_free(512, false);
    for (std::uint32_t byte = first; byte < bounds.end; ++byte) expected_free[byte] = !taken[byte];

    const auto regions = free_regions(bounds, reserved, granularity);
    std::vector<bool> actual_free(512, false);
    for (std::size_t i = 0; i < regions.size(); ++i) {
      CAPTURE(round, i);
      REQUIRE(regions[i].start < regions[i].end);
      REQUIRE(regions[i].start % granularity == 0);
      if (i > 0) REQUIRE(regions[i - 1].end < regions[i].start);
      for (std::uint32_t byte = regions[i].start; byte < regions[i].end; ++byte) actual_free[byte] = true;
    }
    CAPTURE(round);
    REQUIRE(actual_free == expected_free);
  }
}
