#include <catch2/catch.hpp>

#include <algorithm>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tessel_compiler/arena_allocation.hpp"

using namespace tessel_compiler;
using Ranges = std::vector<AddressRange>;

namespace {

const MemoryArena LOW_ARENA = MemoryArena::low(0x1000, 0x2000);
const MemoryArena HIGH_ARENA{0x1000, 0x2000, MemoryPlacement::High};

Allocation home(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size, std::uint64_t from,
                std::uint64_t until) {
  return Allocation{TensorId(tensor), tile, address, size, from, until, AllocationKind::Home{}};
}

std::string memory_message(const CompileError& error) { return fmt::format("{}", error); }

// The address of a successful call, nothing for a failed one.
std::optional<std::uint32_t> address_of(const tessel::Expected<std::uint32_t, CompileError>& result) {
  if (!result) return std::nullopt;
  return *result;
}

}  // namespace

TEST_CASE("align_u32 rounds up to a multiple and reports what does not fit") {
  auto [value, alignment, expected] = GENERATE(table<std::uint32_t, std::uint32_t, std::optional<std::uint32_t>>({
      {0x1104, 0x40, 0x1140},
      {0x1140, 0x40, 0x1140},
      {0, 8, 0},
      {10, 3, 12},
      {0xFFFFFFC0, 0x40, 0xFFFFFFC0},
      {0xFFFFFFC1, 0x40, std::nullopt},
      {0xFFFFFFFF, 2, std::nullopt},
      {5, 0, std::nullopt},
  }));
  CAPTURE(value, alignment);
  CHECK(align_u32(value, alignment) == expected);
}

TEST_CASE("arena allocation takes the first fitting aligned address and records it") {
  struct Case {
    const char* name;
    MemoryArena arena;
    Ranges occupied;
    std::uint32_t size;
    std::uint32_t alignment;
    std::uint32_t expected;
  };
  const auto c = GENERATE(values<Case>({
      {"after the occupied start", LOW_ARENA, {{0x1000, 0x1100}}, 0x80, 0x40, 0x1100},
      {"aligned inside a gap", LOW_ARENA, {{0x1000, 0x1104}, {0x1200, 0x1300}}, 0x80, 0x40, 0x1140},
      {"ending at the next start", LOW_ARENA, {{0x1000, 0x1104}, {0x1200, 0x1300}}, 0xC0, 0x40, 0x1140},
      {"one byte too many for the gap", LOW_ARENA, {{0x1000, 0x1104}, {0x1200, 0x1300}}, 0xC1, 0x40, 0x1300},
      {"high, nothing occupied", HIGH_ARENA, {}, 0x100, 0x100, 0x1F00},
      {"high, below the top range", HIGH_ARENA, {{0x1E80, 0x2000}}, 0x100, 0x100, 0x1D00},
      {"high, inside a gap", HIGH_ARENA, {{0x1000, 0x1100}, {0x1300, 0x2000}}, 0x100, 0x100, 0x1200},
      {"high, down to the base", HIGH_ARENA, {{0x1100, 0x2000}}, 0x100, 0x100, 0x1000},
  }));
  CAPTURE(c.name);
  Ranges occupied = c.occupied;
  const std::vector<MemoryArena> arenas{c.arena};
  const auto address = allocate_from_occupied_arenas(occupied, c.size, arenas, c.alignment);
  REQUIRE(address.has_value());
  CHECK(*address == c.expected);
  Ranges expected = c.occupied;
  expected.push_back({c.expected, c.expected + c.size});
  std::ranges::sort(expected);
  CHECK(occupied == expected);
}

TEST_CASE("a new range goes before an occupied range with the same start") {
  Ranges occupied{{0x1000, 0x1000}, {0x1100, 0x1200}};
  const auto address = allocate_from_occupied(occupied, 0x10, {0x1000, 0x2000, 0x10, MemoryPlacement::Low});
  REQUIRE(address_of(address) == 0x1000U);
  CHECK(occupied == Ranges{{0x1000, 0x1010}, {0x1000, 0x1000}, {0x1100, 0x1200}});
}

TEST_CASE("a full arena hands over to the next one without reporting its error") {
  Ranges occupied{{0x1000, 0x2000}};
  const std::vector<MemoryArena> arenas{LOW_ARENA, MemoryArena::low(0x3000, 0x4000)};
  CHECK(address_of(allocate_from_occupied_arenas(occupied, 0x40, arenas, 0x10)) == 0x3000U);
  CHECK(occupied == Ranges{{0x1000, 0x2000}, {0x3000, 0x3040}});
}

TEST_CASE("failed arena allocations report their reason and leave the list unchanged") {
  using Arenas = std::vector<MemoryArena>;
  struct Case {
    const char* name;
    Arenas arenas;
    std::uint32_t size;
    std::uint32_t alignment;
    std::string message;
  };
  const auto c = GENERATE(values<Case>({
      {"alignment 3", {LOW_ARENA}, 0x10, 3, "SRAM allocation failed: invalid SRAM arena allocation"},
      {"alignment 0", {LOW_ARENA}, 0x10, 0, "SRAM allocation failed: invalid SRAM arena allocation"},
      {"size 0", {LOW_ARENA}, 0, 8, "SRAM allocation failed: invalid SRAM arena allocation"},
      {"no arenas", {}, 0x10, 8, "SRAM allocation failed: invalid SRAM arena allocation"},
      {"empty arena",
       {LOW_ARENA, MemoryArena::low(0x2000, 0x2000)},
       0x10,
       8,
       "SRAM allocation failed: invalid SRAM arena allocation"},
      {"no room",
       {LOW_ARENA, HIGH_ARENA},
       48,
       8,
       "SRAM allocation failed: no arena can hold a 48-byte SRAM allocation"},
  }));
  CAPTURE(c.name);
  const Ranges before{{0x1000, 0x1FF0}};
  Ranges occupied = before;
  const auto address = allocate_from_occupied_arenas(occupied, c.size, c.arenas, c.alignment);
  REQUIRE_FALSE(address.has_value());
  CHECK(memory_message(address.error()) == c.message);
  CHECK(occupied == before);
}

TEST_CASE("placement inside one arena fails when no address fits") {
  const auto placement = GENERATE(MemoryPlacement::Low, MemoryPlacement::High);
  Ranges occupied{{0x1000, 0x1F00}};
  const auto address = allocate_from_occupied(occupied, 0x101, {0x1000, 0x2000, 0x1, placement});
  REQUIRE_FALSE(address.has_value());
  CHECK(memory_message(address.error()) == "SRAM allocation failed: no 257-byte region in SRAM arena");
  CHECK(occupied == Ranges{{0x1000, 0x1F00}});
}

TEST_CASE("high placement does not take bytes of an earlier range that reaches past a later one") {
  // Sorted by start, [0x1A00, 0x2000) covers the top of the arena although
  // the last range [0x1C00, 0x1D00) ends lower: the top gap starts at 0x2000.
  Ranges occupied{{0x1A00, 0x2000}, {0x1C00, 0x1D00}};
  const auto address = allocate_from_occupied(occupied, 0x100, {0x1000, 0x2000, 0x100, MemoryPlacement::High});
  REQUIRE(address_of(address) == 0x1900U);
  CHECK(occupied == Ranges{{0x1900, 0x1A00}, {0x1A00, 0x2000}, {0x1C00, 0x1D00}});
  // The same through the arena list, and low placement around the same list.
  Ranges listed{{0x1A00, 0x2000}, {0x1C00, 0x1D00}};
  CHECK(address_of(allocate_from_occupied_arenas(listed, 0x100, std::vector{HIGH_ARENA}, 0x100)) == 0x1900U);
  Ranges low{{0x1000, 0x1800}, {0x1100, 0x1200}};
  CHECK(address_of(allocate_from_occupied(low, 0x100, {0x1000, 0x2000, 0x100, MemoryPlacement::Low})) == 0x1800U);
}

TEST_CASE("low placement near the top of the address space does not wrap") {
  // Aligning the cursor 0xFFFFFFC1 up to 0x40 would pass 2^32: no fit, rather
  // than an address below the arena.
  Ranges occupied{{0xFFFFFF00, 0xFFFFFFC1}};
  const auto address = allocate_from_occupied(occupied, 0x10, {0xFFFFFF00, 0xFFFFFFFF, 0x40, MemoryPlacement::Low});
  REQUIRE_FALSE(address.has_value());
  CHECK(memory_message(address.error()) == "SRAM allocation failed: no 16-byte region in SRAM arena");
  // A request whose end would pass 2^32 does not fit either.
  Ranges empty;
  CHECK_FALSE(allocate_from_occupied(empty, 0x100, {0xFFFFFFC0, 0xFFFFFFFF, 0x40, MemoryPlacement::Low}).has_value());
  CHECK(empty.empty());
}

TEST_CASE("direct placement stays inside the constraint even around unclipped ranges") {
  // An occupied range beyond the limit must not open a gap past it, nor one
  // below the base in high placement.
  Ranges low{{0x3000, 0x3100}};
  CHECK_FALSE(allocate_from_occupied(low, 0x1800, {0x1000, 0x2000, 0x10, MemoryPlacement::Low}).has_value());
  Ranges high{{0x0, 0x10}};
  CHECK_FALSE(allocate_from_occupied(high, 0x1800, {0x1000, 0x2000, 0x10, MemoryPlacement::High}).has_value());
  Ranges bad_alignment;
  const auto address = allocate_from_occupied(bad_alignment, 0x10, {0x1000, 0x2000, 24, MemoryPlacement::High});
  REQUIRE_FALSE(address.has_value());
  CHECK(memory_message(address.error()) == "SRAM allocation failed: invalid SRAM arena allocation");
}

TEST_CASE("free regions ignore other tiles and lifetimes that only touch") {
  const std::vector<MemoryArena> arenas{MemoryArena::low(0x100, 0x1000)};
  struct Case {
    const char* name;
    std::vector<Allocation> allocations;
    std::uint32_t expected;
  };
  const auto c = GENERATE(values<Case>({
      {"another tile", {home(1, 1, 0x100, 0x100, 2, 4)}, 0x100},
      {"ends at live_from", {home(1, 0, 0x100, 0x100, 0, 2)}, 0x100},
      {"starts at live_until", {home(1, 0, 0x100, 0x100, 4, 6)}, 0x100},
      {"empty", {home(1, 0, 0x100, 0, 2, 4)}, 0x100},
      {"live", {home(1, 0, 0x100, 0x100, 3, 5)}, 0x200},
      {"touching ranges merge", {home(1, 0, 0x100, 0x100, 0, 9), home(2, 0, 0x200, 0x100, 0, 9)}, 0x300},
      {"any kind blocks",
       {Allocation{TensorId(1), 0, 0x100, 0x100, 0, 9, AllocationKind::ExchangeStaging{0}},
        Allocation{TensorId(2), 0, 0x200, 0x40, 0, 9, AllocationKind::HomeAlias{TensorId(9)}}},
       0x240},
      {"ending past 2^32 saturates", {home(1, 0, 0xFFFFFF00, 0x200, 0, 9)}, 0x100},
  }));
  CAPTURE(c.name);
  CHECK(address_of(find_free_region_in_arenas(c.allocations, 0, 0x100, 2, 4, arenas, 0x40)) == c.expected);
}

TEST_CASE("free region search needs an arena") {
  const auto address = find_free_region_in_arenas({}, 0, 0x10, 0, 1, {}, 8);
  REQUIRE_FALSE(address.has_value());
  CHECK(memory_message(address.error()) == "SRAM allocation failed: allocation requires an SRAM arena");
}

namespace {

// The first arena with a fitting address, and in it the lowest (or highest)
// aligned address whose bytes are free of every live allocation of the tile.
std::optional<std::uint32_t> brute_force_free_region(const std::vector<Allocation>& allocations, std::uint16_t tile,
                                                     std::uint32_t size, std::uint64_t from, std::uint64_t until,
                                                     const std::vector<MemoryArena>& arenas, std::uint32_t alignment) {
  const auto free_at = [&](std::uint32_t address) {
    for (const auto& a : allocations) {
      const bool live = from < a.live_until && a.live_from < until;
      const bool shares_a_byte = std::max(a.address, address) < std::min(a.address + a.size, address + size);
      if (a.tile == tile && live && shares_a_byte) return false;
    }
    return true;
  };
  for (const auto& arena : arenas) {
    std::optional<std::uint32_t> best;
    for (std::uint32_t address = arena.base; address + size <= arena.limit; ++address) {
      if (address % alignment != 0 || !free_at(address)) continue;
      if (!best || arena.placement == MemoryPlacement::High) best = address;
      if (arena.placement == MemoryPlacement::Low) break;
    }
    if (best) return best;
  }
  return std::nullopt;
}

}  // namespace

TEST_CASE("free region search matches a brute-force search on random inputs") {
  std::mt19937 random(20261211);
  const auto draw = [&](std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
  };
  for (int round = 0; round < 400; ++round) {
    std::vector<Allocation> allocations;
    const auto count = draw(0, 8);
    for (std::uint32_t i = 0; i < count; ++i) {
      allocations.push_back(
          home(i, static_cast<std::uint16_t>(draw(0, 1)), draw(0, 250), draw(0, 60), draw(0, 6), draw(0, 8)));
    }
    std::vector<MemoryArena> arenas;
    const auto arena_count = draw(1, 3);
    for (std::uint32_t i = 0; i < arena_count; ++i) {
      const auto base = draw(0, 200);
      arenas.push_back({base, base + draw(1, 100), draw(0, 1) == 0 ? MemoryPlacement::Low : MemoryPlacement::High});
    }
    const auto size = draw(1, 50);
    const auto alignment = 1U << draw(0, 4);
    const auto from = draw(0, 6);
    const auto until = from + draw(1, 3);
    CAPTURE(round, size, alignment, from, until);
    const auto found = find_free_region_in_arenas(allocations, 0, size, from, until, arenas, alignment);
    const auto expected = brute_force_free_region(allocations, 0, size, from, until, arenas, alignment);
    REQUIRE(found.has_value() == expected.has_value());
    if (expected) {
      CHECK(*found == *expected);
    } else {
      CHECK(memory_message(found.error()) ==
            fmt::format("SRAM allocation failed: no arena can hold a {}-byte SRAM allocation", size));
    }
    // The per-tile overload over the tile's positions finds the same address.
    std::vector<std::size_t> positions;
    for (std::size_t i = 0; i < allocations.size(); ++i) {
      if (allocations[i].tile == 0) positions.push_back(i);
    }
    CHECK(address_of(find_free_region_in_arenas(allocations, positions, 0, size, from, until, arenas, alignment)) ==
          address_of(found));
  }
}
