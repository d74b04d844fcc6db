#include "tessel_runtime/placement/regions.hpp"

#include <algorithm>
#include <string>

#include <fmt/format.h>

#include "tessel/integer.hpp"
#include "tessel_package/tile_memory.hpp"
#include "tessel_runtime/placement/address_space.hpp"

namespace tessel_runtime {
namespace {

using placement::AddressSpace;

constexpr AddressRange TILE_MEMORY_HEADER{0x4C000, 0x4C018};  // first 24 bytes of tile memory
constexpr AddressRange LOW_RESERVED{0x50000, 0x58000};
constexpr std::uint32_t RUNTIME_START = 0x58000;  // the runtime's area is [RUNTIME_START, runtime_end)
constexpr AddressRange BELOW_INTERLEAVED_LIMIT{0x80000, tessel_package::TESSEL21_INTERLEAVED_MEMORY_LIMIT};
constexpr AddressRange CODE_BOUNDS{TILE_MEMORY_HEADER.end, BELOW_INTERLEAVED_LIMIT.start};

struct FreeSpace {
  std::uint64_t total = 0;    // bytes
  std::uint32_t largest = 0;  // bytes
};

FreeSpace free_space(std::span<const AddressRange> regions) {
  FreeSpace space;
  for (const auto& region : regions) {
    space.total += region.length();
    space.largest = std::max(space.largest, region.length());
  }
  return space;
}

// The free bytes of tile memory for static data, at byte granularity.
tessel::Result<std::vector<AddressRange>> data_gaps(std::span<const AddressRange> allocation_ranges,
                                                    std::uint32_t runtime_end, bool reserve_below_interleaved,
                                                    std::span<const AddressRange> additional_reserved) {
  TESSEL_TRY(memory_end, tile_memory_end(tessel_package::TILE_MEMORY_BASE, tessel_package::TILE_MEMORY_SIZE));
  AddressSpace space(AddressRange{tessel_package::TILE_MEMORY_BASE, memory_end});
  space.reserve(TILE_MEMORY_HEADER);
  space.reserve(LOW_RESERVED);
  space.reserve({RUNTIME_START, runtime_end});
  if (reserve_below_interleaved) space.reserve(BELOW_INTERLEAVED_LIMIT);
  space.reserve_all(allocation_ranges);
  space.reserve_all(additional_reserved);
  return std::move(space).free_regions(1);
}

}  // namespace

tessel::Result<std::uint32_t> tile_memory_end(std::uint32_t base, std::uint32_t size) {
  const auto end = tessel::checked_add(base, size);
  if (!end) return tessel::fail("tile memory range overflow");
  return *end;
}

tessel::Result<AddressRange> allocation_range(const tessel_compiler::Allocation& allocation) {
  const auto end = tessel::checked_add(allocation.address, allocation.size);
  if (!end) return tessel::fail("allocation address overflow");
  return AddressRange{allocation.address, *end};
}

std::vector<AddressRange> executable_regions_for_tile(std::span<const AddressRange> allocation_ranges,
                                                      std::uint32_t runtime_end,
                                                      std::span<const AddressRange> additional_reserved) {
  AddressSpace space(CODE_BOUNDS);
  space.reserve(TILE_MEMORY_HEADER);
  space.reserve(LOW_RESERVED);
  space.reserve(BELOW_INTERLEAVED_LIMIT);
  space.reserve({RUNTIME_START, runtime_end});
  space.reserve_all(allocation_ranges);
  space.reserve_all(additional_reserved);
  return std::move(space).free_regions(MEMORY_ELEMENT_SIZE);
}

tessel::Result<std::uint32_t> executable_region_base_for_tile(std::span<const AddressRange> allocation_ranges,
                                                              std::optional<std::uint16_t> tile,
                                                              std::uint32_t runtime_end, std::uint32_t required_size,
                                                              std::span<const AddressRange> additional_reserved) {
  const auto regions = executable_regions_for_tile(allocation_ranges, runtime_end, additional_reserved);
  // A size that cannot be rounded up to whole elements within 32 bits fits
  // no region; it is reported as requested.
  const auto rounded = tessel::checked_align_up(required_size, MEMORY_ELEMENT_SIZE);
  if (rounded) {
    const auto region = std::ranges::find_if(regions, [&](const AddressRange& r) { return r.length() >= *rounded; });
    if (region != regions.end()) return region->start;
  }
  const std::string which = tile ? fmt::format("tile {} ", *tile) : std::string("common ");
  const auto space = free_space(regions);
  return tessel::fail(
      "no {}tile-memory interval can hold {} bytes of executable code: {} executable bytes free, {}-byte largest gap",
      which, rounded.value_or(required_size), space.total, space.largest);
}

tessel::Result<std::uint32_t> executable_region_base(const ExecutableGraph& graph, std::uint32_t runtime_end,
                                                     std::uint32_t required_size) {
  std::vector<AddressRange> ranges;
  ranges.reserve(graph.schedule.allocations.size());
  for (const auto& allocation : graph.schedule.allocations) {
    TESSEL_TRY(range, allocation_range(allocation));
    ranges.push_back(range);
  }
  return executable_region_base_for_tile(ranges, std::nullopt, runtime_end, required_size, {});
}

tessel::Result<PackedExecutableObjects> pack_executable_objects_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint16_t tile, std::uint32_t runtime_end,
    std::span<const AddressRange> objects, std::span<const AddressRange> additional_reserved,
    std::span<const AddressRange> additional_available) {
  auto gaps = executable_regions_for_tile(allocation_ranges, runtime_end, additional_reserved);
  gaps.insert(gaps.end(), additional_available.begin(), additional_available.end());
  TESSEL_TRY(packed, pack_objects_in_gaps(tile, objects, std::move(gaps), "static executable"));

  std::vector<AddressRange> elements;
  elements.reserve(packed.placed.size());
  for (const auto& range : packed.placed) {
    // Code placed in a caller's gap at the very top of the address space
    // would end in an element that ends at 2^32.
    const auto end = tessel::checked_align_up(range.end, MEMORY_ELEMENT_SIZE);
    if (!end) return tessel::fail("static executable placement overflow");
    elements.push_back({align_down(range.start, MEMORY_ELEMENT_SIZE), *end});
  }
  return PackedExecutableObjects{std::move(packed.relocations), std::move(packed.placed),
                                 merge_ranges(std::move(elements))};
}

tessel::Result<std::uint32_t> data_region_base_for_tile(std::span<const AddressRange> allocation_ranges,
                                                        std::uint16_t tile, std::uint32_t runtime_end,
                                                        std::uint32_t required_size, std::uint32_t alignment,
                                                        std::span<const AddressRange> additional_reserved) {
  if (required_size == 0 || !tessel::is_power_of_two(alignment)) {
    return tessel::fail("data region size must be nonzero and alignment must be a power of two");
  }
  TESSEL_TRY(gaps, data_gaps(allocation_ranges, runtime_end, false, additional_reserved));
  for (const auto& gap : gaps) {
    // A gap whose aligned start would pass 2^32 holds nothing.
    const auto candidate = tessel::checked_align_up(gap.start, alignment);
    if (!candidate) continue;
    const auto end = tessel::checked_add(*candidate, required_size);
    if (end && *end <= gap.end) return *candidate;
  }
  const auto space = free_space(gaps);
  return tessel::fail(
      "no tile-memory interval can hold {} bytes of static data on tile {}: {} free bytes, {}-byte largest gap",
      required_size, tile, space.total, space.largest);
}

tessel::Result<PackedObjects> pack_data_objects_for_tile(std::span<const AddressRange> allocation_ranges,
                                                         std::uint16_t tile, std::uint32_t runtime_end,
                                                         std::span<const AddressRange> objects, bool allow_interleaved,
                                                         std::span<const AddressRange> additional_reserved) {
  TESSEL_TRY(gaps, data_gaps(allocation_ranges, runtime_end, !allow_interleaved, additional_reserved));
  return pack_objects_in_gaps(tile, objects, std::move(gaps), "static data");
}

}  // namespace tessel_runtime
