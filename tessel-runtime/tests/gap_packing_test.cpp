#include <catch2/catch.hpp>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "tessel/internal_error.hpp"
#include "tessel_runtime/placement/gap_packing.hpp"

using namespace tessel_runtime;
using Ranges = std::vector<AddressRange>;
using Sizes = std::vector<std::uint32_t>;

namespace {

// The error text of a failed call, "ok" for a successful one.
template <class T>
std::string outcome(const tessel::Result<T>& result) {
  return result ? std::string("ok") : result.error().message;
}

}  // namespace

TEST_CASE("address helpers") {
  CHECK(align_up(0x1104, 0x40) == 0x1140U);
  CHECK(align_up(0x1140, 0x40) == 0x1140U);
  CHECK(align_up(0xFFFFFFC0, 0x40) == 0xFFFFFFC0U);
  CHECK(align_down(0x1104, 0x40) == 0x1100U);
  CHECK(align_down(0xFFFFFFFF, 0x4000) == 0xFFFFC000U);
  CHECK_FALSE(ranges_overlap(0, 16, 16, 32));
  CHECK(ranges_overlap(0, 17, 16, 32));
  CHECK(ranges_overlap(16, 32, 0, 17));
  CHECK_THROWS_MATCHES(align_up(0xFFFFFFC1, 0x40), tessel::InternalError,
                       Catch::Matchers::Message("assertion failed: value + (alignment - 1) fits in 32 bits"));
}

TEST_CASE("sized objects are placed largest first into the gap they fill best") {
  constexpr std::uint32_t element = 0x4000;
  struct Case {
    const char* name;
    Sizes sizes;
    Ranges gaps;
    std::uint32_t alignment;
    Ranges expected;
  };
  const auto c = GENERATE(values<Case>({
      {"large object first",
       {element, 2 * element},
       {{0x10000, 0x18000}, {0x20000, 0x24000}},
       element,
       {{0x20000, 0x24000}, {0x10000, 0x18000}}},
      {"equal leftover goes to the earlier gap", {0x80}, {{0x1000, 0x10A0}, {0x2000, 0x20A0}}, 8, {{0x1000, 0x1080}}},
      {"smaller leftover wins over list order", {0x80}, {{0x1000, 0x1100}, {0x2000, 0x2090}}, 8, {{0x2000, 0x2080}}},
      {"sizes are rounded up and gaps aligned", {5, 9}, {{0x1001, 0x1100}}, 16, {{0x1020, 0x1030}, {0x1010, 0x1020}}},
      {"a gap keeps shrinking",
       {0x10, 0x10, 0x10},
       {{0x100, 0x130}},
       1,
       {{0x100, 0x110}, {0x110, 0x120}, {0x120, 0x130}}},
  }));
  CAPTURE(c.name);
  const auto placed = pack_sized_objects_in_gaps(0, c.sizes, c.gaps, c.alignment, "test executable");
  REQUIRE(outcome(placed) == "ok");
  CHECK(*placed == c.expected);
}

TEST_CASE("sized packing failures") {
  struct Case {
    const char* name;
    Sizes sizes;
    Ranges gaps;
    std::uint32_t alignment;
    std::string message;
  };
  const auto c = GENERATE(values<Case>({
      {"size 0", {16, 0}, {{0, 0x100}}, 8, "invalid test placement request"},
      {"alignment 0", {16}, {{0, 0x100}}, 0, "invalid test placement request"},
      {"alignment 24", {16}, {{0, 0x100}}, 24, "invalid test placement request"},
      {"no gap holds the rounded size",
       {0x41, 0x10},
       {{0, 0x50}, {0x100, 0x150}},
       0x20,
       "no tile-memory gap can hold a 96-byte test object on tile 4: 160 free bytes, 80-byte largest gap"},
      {"gaps shrink before the failure",
       {0x40, 0x40},
       {{0, 0x60}},
       0x20,
       "no tile-memory gap can hold a 64-byte test object on tile 4: 32 free bytes, 32-byte largest gap"},
      {"a gap whose aligned start passes 2^32",
       {0x10},
       {{0xFFFFFFF1, 0xFFFFFFFF}},
       0x10,
       "no tile-memory gap can hold a 16-byte test object on tile 4: 14 free bytes, 14-byte largest gap"},
      {"a size that cannot be rounded up", {0xFFFFFFF1}, {{0, 0xFFFFFFFF}}, 0x10, "test placement overflow"},
      {"no gaps",
       {8},
       {},
       8,
       "no tile-memory gap can hold a 8-byte test object on tile 4: 0 free bytes, 0-byte largest gap"},
  }));
  CAPTURE(c.name);
  CHECK(outcome(pack_sized_objects_in_gaps(4, c.sizes, c.gaps, c.alignment, "test")) == c.message);
}

TEST_CASE("objects are packed at 8-byte alignment and their ranges merged") {
  constexpr std::uint32_t B = 0x9000;
  struct Case {
    const char* name;
    Ranges objects;
    Ranges gaps;
    std::map<std::uint32_t, std::uint32_t> relocations;
    Ranges placed;
  };
  const auto c = GENERATE_COPY(values<Case>({
      {"misaligned gap start", {{0x100, 0x180}}, {{B + 4, B + 256}}, {{0x100, B + 8}}, {{B + 8, B + 136}}},
      {"second object moves to the next gap",
       {{0x1000, 0x1080}, {0x2000, 0x2080}},
       {{0x90000, 0x900A0}, {0x90200, 0x902A0}},
       {{0x1000, 0x90000}, {0x2000, 0x90200}},
       {{0x90000, 0x90080}, {0x90200, 0x90280}}},
      {"touching ranges merge",
       {{0x100, 0x180}, {0x200, 0x280}},
       {{B, B + 256}},
       {{0x100, B}, {0x200, B + 128}},
       {{B, B + 256}}},
      {"largest first",
       {{0x100, 0x110}, {0x200, 0x300}},
       {{B, B + 0x100}, {B + 0x1000, B + 0x1010}},
       {{0x100, B + 0x1000}, {0x200, B}},
       {{B, B + 0x100}, {B + 0x1000, B + 0x1010}}},
      {"a shared start keeps the later placement",
       {{0x100, 0x200}, {0x100, 0x140}},
       {{B, B + 0x200}},
       {{0x100, B + 0x100}},
       {{B, B + 0x140}}},
  }));
  CAPTURE(c.name);
  const auto packed = pack_objects_in_gaps(0, c.objects, c.gaps, "static data");
  REQUIRE(outcome(packed) == "ok");
  CHECK(packed->relocations == c.relocations);
  CHECK(packed->placed == c.placed);
}

TEST_CASE("object packing failures report the gaps as they stand") {
  constexpr std::uint32_t B = 0x9000;
  struct Case {
    const char* name;
    Ranges objects;
    Ranges gaps;
    std::string message;
  };
  const auto c = GENERATE_COPY(values<Case>({
      {"no gap large enough",
       {{0, 256}},
       {{B, B + 96}, {B + 0x100, B + 0x140}},
       "no tile-memory gap can hold a 256-byte static data object on tile 3: 160 free bytes, 96-byte largest gap"},
      {"alignment bytes are not used again",
       {{0, 128}, {0x100, 0x100 + 121}},
       {{B + 4, B + 256}},
       "no tile-memory gap can hold a 121-byte static data object on tile 3: 120 free bytes, 120-byte largest gap"},
      {"a gap whose aligned start passes 2^32",
       {{0, 1}},
       {{0xFFFFFFF9, 0xFFFFFFFF}},
       "no tile-memory gap can hold a 1-byte static data object on tile 3: 6 free bytes, 6-byte largest gap"},
      {"an inverted object", {{0x200, 0x100}}, {{B, B + 0x1000}}, "invalid static data placement request"},
  }));
  CAPTURE(c.name);
  CHECK(outcome(pack_objects_in_gaps(3, c.objects, c.gaps, "static data")) == c.message);
}

namespace {

struct RandomGaps {
  Ranges gaps;
  std::vector<std::uint8_t> owner;  // gap index owning each byte, 0xFF for none
};

RandomGaps random_gaps(std::mt19937& random, std::uint32_t extent) {
  RandomGaps result{{}, std::vector<std::uint8_t>(extent, 0xFF)};
  std::uniform_int_distribution<std::uint32_t> position(0, extent);
  const auto count = std::uniform_int_distribution<int>(0, 5)(random);
  for (int i = 0; i < count; ++i) {
    auto start = position(random);
    auto end = position(random);
    if (start > end) std::swap(start, end);
    // Keep gaps disjoint, as free regions are.
    if (std::any_of(result.owner.begin() + start, result.owner.begin() + end, [](auto o) { return o != 0xFF; }))
      continue;
    std::fill(result.owner.begin() + start, result.owner.begin() + end, static_cast<std::uint8_t>(result.gaps.size()));
    result.gaps.push_back({start, end});
  }
  return result;
}

// No byte is used twice and every placed range lies inside one gap.
void check_placements(const RandomGaps& gaps, const std::vector<AddressRange>& placements) {
  std::vector<bool> used(gaps.owner.size(), false);
  for (const auto& placed : placements) {
    CAPTURE(placed);
    REQUIRE(placed.start <= placed.end);
    REQUIRE(placed.end <= gaps.owner.size());
    if (placed.empty()) continue;
    const auto owner = gaps.owner[placed.start];
    REQUIRE(owner != 0xFF);
    for (auto byte = placed.start; byte < placed.end; ++byte) {
      CHECK(gaps.owner[byte] == owner);
      CHECK_FALSE(used[byte]);
      used[byte] = true;
    }
  }
}

}  // namespace

TEST_CASE("packers never share a byte nor leave their gaps on random inputs") {
  std::mt19937 random(1472);
  constexpr std::uint32_t extent = 600;
  for (int round = 0; round < 300; ++round) {
    CAPTURE(round);
    const auto gaps = random_gaps(random, extent);
    const auto count = std::uniform_int_distribution<std::uint32_t>(0, 6)(random);
    std::uniform_int_distribution<std::uint32_t> size(1, 120);

    Ranges objects;
    Sizes sizes;
    for (std::uint32_t i = 0; i < count; ++i) {
      // Distinct sizes and starts, so that the result cannot depend on order.
      const std::uint32_t s = size(random) * 8 + i;
      objects.push_back({0x10000 * (i + 1), 0x10000 * (i + 1) + s});
      sizes.push_back(s);
    }

    const auto packed = pack_objects_in_gaps(0, objects, gaps.gaps, "test");
    if (packed) {
      std::vector<AddressRange> placements;
      for (const auto& object : objects) {
        const std::uint32_t at = packed->relocations.at(object.start);
        CHECK(at % 8 == 0);
        placements.push_back({at, at + object.length()});
      }
      check_placements(gaps, placements);
      CHECK(packed->placed == merge_ranges(placements));
      Ranges shuffled = objects;
      std::shuffle(shuffled.begin(), shuffled.end(), random);
      CHECK(pack_objects_in_gaps(0, shuffled, gaps.gaps, "test")->relocations == packed->relocations);
    }

    const std::uint32_t alignment = 1U << std::uniform_int_distribution<std::uint32_t>(0, 5)(random);
    const auto sized = pack_sized_objects_in_gaps(0, sizes, gaps.gaps, alignment, "test");
    if (sized) {
      REQUIRE(sized->size() == sizes.size());
      for (std::size_t i = 0; i < sizes.size(); ++i) {
        CHECK((*sized)[i].start % alignment == 0);
        CHECK((*sized)[i].length() == align_up(sizes[i], alignment));
      }
      check_placements(gaps, *sized);
    }
  }
}
