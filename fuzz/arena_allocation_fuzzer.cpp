// The arena allocator against a brute-force scan: for each arena in order,
// every aligned address of the arena is tried from the low end (or the high
// end) against a byte map of what is occupied, so the expected answer is the
// first free address of the first arena that has one, and an error is
// expected exactly when no arena has any. The arenas are small and lie near
// address 0 or just below 2^32.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessel_compiler/arena_allocation.hpp"

namespace {

using tessel::AddressRange;
using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::MemoryArena;
using tessel_compiler::MemoryPlacement;

constexpr std::uint64_t TOP = std::uint64_t{1} << 32;
constexpr std::uint64_t WINDOW = 768;

void require(bool condition) {
  if (!condition) std::abort();
}

// Occupied bytes of the window [base, base + WINDOW).
struct ByteMap {
  std::uint64_t base = 0;
  std::vector<bool> used = std::vector<bool>(WINDOW, false);

  void mark(std::uint64_t start, std::uint64_t end) {
    for (std::uint64_t byte = std::max(start, base); byte < std::min(end, base + WINDOW); ++byte) used[byte - base] = true;
  }
  [[nodiscard]] bool free(std::uint64_t start, std::uint64_t end) const {
    for (std::uint64_t byte = start; byte < end; ++byte) {
      if (used[byte - base]) return false;
    }
    return true;
  }
};

// The first free aligned address of the first arena that has one.
std::optional<std::uint32_t> brute_force(const ByteMap& map, std::uint32_t size, std::uint32_t alignment,
                                         const std::vector<MemoryArena>& arenas) {
  for (const MemoryArena& arena : arenas) {
    std::vector<std::uint64_t> fits;
    for (std::uint64_t address = arena.base; address + size <= arena.limit; ++address) {
      if (address % alignment == 0 && map.free(address, address + size)) fits.push_back(address);
    }
    if (fits.empty()) continue;
    return static_cast<std::uint32_t>(arena.placement == MemoryPlacement::Low ? fits.front() : fits.back());
  }
  return std::nullopt;
}

std::uint32_t address_in(FuzzedDataProvider& input, std::uint64_t base) {
  return static_cast<std::uint32_t>(std::min(base + input.ConsumeIntegralInRange<std::uint64_t>(0, WINDOW), TOP - 1));
}

std::vector<MemoryArena> make_arenas(FuzzedDataProvider& input, std::uint64_t base) {
  std::vector<MemoryArena> arenas;
  const int count = input.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < count; ++i) {
    std::uint32_t start = address_in(input, base);
    std::uint32_t limit = address_in(input, base);
    if (start > limit && input.ConsumeIntegralInRange(0, 15) != 0) std::swap(start, limit);
    arenas.push_back({start, limit, input.ConsumeBool() ? MemoryPlacement::High : MemoryPlacement::Low});
  }
  return arenas;
}

std::uint32_t make_alignment(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange(0, 31) == 0) return input.PickValueInArray({0U, 3U, 12U});
  return 1U << input.ConsumeIntegralInRange(0, 7);
}

std::uint32_t make_size(FuzzedDataProvider& input) {
  if (input.ConsumeIntegralInRange(0, 31) == 0) return input.PickValueInArray({0U, 0xFFFFFFFFU});
  return input.ConsumeIntegralInRange<std::uint32_t>(1, 160);
}

bool invalid_request(std::uint32_t size, std::uint32_t alignment, const std::vector<MemoryArena>& arenas) {
  return size == 0 || arenas.empty() || alignment == 0 || (alignment & (alignment - 1)) != 0 ||
         std::any_of(arenas.begin(), arenas.end(), [](const MemoryArena& a) { return a.base >= a.limit; });
}

std::string display(const tessel_compiler::CompileError& error) { return fmt::format("{}", error); }

std::string memory_error(const std::string& reason) { return "SRAM allocation failed: " + reason; }

// The result of a search given what the oracle expects.
void check_result(const tessel::Expected<std::uint32_t, tessel_compiler::CompileError>& result,
                  std::optional<std::string> expected_error, std::optional<std::uint32_t> expected, std::uint32_t size) {
  if (!expected_error && !expected) {
    expected_error = memory_error(fmt::format("no arena can hold a {}-byte SRAM allocation", size));
  }
  if (expected_error) {
    require(!result && display(result.error()) == *expected_error);
  } else {
    require(result && *result == *expected);
  }
}

// allocate_from_occupied_arenas on a caller's list, sorted by start (ranges
// may overlap one another and reach outside the arenas).
void fuzz_occupied(FuzzedDataProvider& input, std::uint64_t base) {
  std::vector<AddressRange> occupied;
  ByteMap map{base};
  const int count = input.ConsumeIntegralInRange(0, 8);
  for (int i = 0; i < count; ++i) {
    const std::uint32_t start = address_in(input, base);
    const auto end = static_cast<std::uint32_t>(std::min<std::uint64_t>(std::uint64_t{start} + input.ConsumeIntegralInRange(0U, 200U), TOP - 1));
    occupied.push_back({start, end});
    map.mark(start, end);
  }
  std::stable_sort(occupied.begin(), occupied.end(),
                   [](const AddressRange& l, const AddressRange& r) { return l.start < r.start; });
  const auto arenas = make_arenas(input, base);
  const std::uint32_t size = make_size(input);
  const std::uint32_t alignment = make_alignment(input);

  std::optional<std::string> expected_error;
  std::optional<std::uint32_t> expected;
  if (invalid_request(size, alignment, arenas)) {
    expected_error = memory_error("invalid SRAM arena allocation");
  } else {
    expected = brute_force(map, size, alignment, arenas);
  }

  auto list = occupied;
  const auto result = tessel_compiler::allocate_from_occupied_arenas(list, size, arenas, alignment);
  check_result(result, expected_error, expected, size);
  if (!result) {
    require(list == occupied);
    return;
  }
  auto with_new = occupied;
  const auto at = std::find_if(with_new.begin(), with_new.end(), [&](const AddressRange& r) { return r.start >= *result; });
  with_new.insert(at, AddressRange{*result, *result + size});
  require(list == with_new);
}

// find_free_region_in_arenas over allocations of a few tiles and
// lifetimes; the overload given a per-tile index must agree.
void fuzz_allocations(FuzzedDataProvider& input, std::uint64_t base) {
  const std::uint16_t tile = static_cast<std::uint16_t>(input.ConsumeIntegralInRange(0, 2));
  const std::uint64_t live_from = input.ConsumeIntegralInRange<std::uint64_t>(0, 6);
  const std::uint64_t live_until = input.ConsumeIntegralInRange(0, 7) == 0 ? tessel_compiler::LIVE_TO_END
                                                                           : input.ConsumeIntegralInRange<std::uint64_t>(0, 8);
  std::vector<Allocation> allocations;
  ByteMap map{base};
  const int count = input.ConsumeIntegralInRange(0, 10);
  for (int i = 0; i < count; ++i) {
    Allocation allocation;
    allocation.tensor = tessel_compiler::TensorId(static_cast<std::uint64_t>(i));
    allocation.tile = static_cast<std::uint16_t>(input.ConsumeIntegralInRange(0, 2));
    allocation.address = address_in(input, base);
    allocation.size = input.ConsumeIntegralInRange(0, 31) == 0 ? 0xFFFFFFFFU : input.ConsumeIntegralInRange<std::uint32_t>(0, 200);
    allocation.live_from = input.ConsumeIntegralInRange<std::uint64_t>(0, 6);
    allocation.live_until = input.ConsumeIntegralInRange(0, 7) == 0 ? tessel_compiler::LIVE_TO_END
                                                                    : input.ConsumeIntegralInRange<std::uint64_t>(0, 8);
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0: allocation.kind = AllocationKind::Home{}; break;
      case 1: allocation.kind = AllocationKind::HomeAlias{tessel_compiler::TensorId(0)}; break;
      default: allocation.kind = AllocationKind::ExchangeStaging{1}; break;
    }
    allocations.push_back(allocation);
    const bool live = live_from < allocation.live_until && allocation.live_from < live_until;
    if (allocation.tile == tile && live) {
      map.mark(allocation.address, std::min<std::uint64_t>(std::uint64_t{allocation.address} + allocation.size, TOP - 1));
    }
  }
  const auto arenas = make_arenas(input, base);
  const std::uint32_t size = make_size(input);
  const std::uint32_t alignment = make_alignment(input);

  std::optional<std::string> expected_error;
  std::optional<std::uint32_t> expected;
  if (arenas.empty()) {
    expected_error = memory_error("allocation requires an SRAM arena");
  } else if (invalid_request(size, alignment, arenas)) {
    expected_error = memory_error("invalid SRAM arena allocation");
  } else {
    expected = brute_force(map, size, alignment, arenas);
  }
  const auto result =
      tessel_compiler::find_free_region_in_arenas(allocations, tile, size, live_from, live_until, arenas, alignment);
  check_result(result, expected_error, expected, size);

  // The indexed overload, given the tile's positions and some of another.
  std::vector<std::size_t> positions;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    if (allocations[i].tile == tile || input.ConsumeBool()) positions.push_back(i);
  }
  const auto indexed = tessel_compiler::find_free_region_in_arenas(allocations, positions, tile, size, live_from,
                                                                   live_until, arenas, alignment);
  require(indexed.has_value() == result.has_value());
  require(indexed ? *indexed == *result : display(indexed.error()) == display(result.error()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool occupied = input.ConsumeBool();
  const std::uint64_t base = input.ConsumeBool() ? TOP - 1 - WINDOW : 0;
  if (occupied) {
    fuzz_occupied(input, base);
  } else {
    fuzz_allocations(input, base);
  }
  return 0;
}
