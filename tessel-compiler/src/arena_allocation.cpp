#include "tessel_compiler/arena_allocation.hpp"

#include <algorithm>
#include <string>

#include <fmt/format.h>

#include "tessel/integer.hpp"

namespace tessel_compiler {
namespace {

using MemoryResult = tessel::Expected<std::uint32_t, CompileError>;

tessel::Unexpected<CompileError> memory_error(std::string reason) {
  return tessel::unexpected(CompileError::memory(std::move(reason)));
}

// Inserts `range` before the first range whose start is not below its start.
void insert_occupied(std::vector<AddressRange>& occupied, AddressRange range) {
  const auto at = std::ranges::find_if(occupied, [&](const AddressRange& r) { return r.start >= range.start; });
  occupied.insert(at, range);
}

bool lifetimes_overlap(const Allocation& allocation, std::uint64_t live_from, std::uint64_t live_until) {
  return live_from < allocation.live_until && allocation.live_from < live_until;
}

// The merged occupied list of the live allocations of `tile` among
// `allocations[position(i)]`, i < count, clipped to [base, limit).
template <class Position>
std::vector<AddressRange> live_occupied_ranges(std::span<const Allocation> allocations, std::size_t count,
                                               Position position, std::uint16_t tile, std::uint64_t live_from,
                                               std::uint64_t live_until, std::uint32_t base, std::uint32_t limit) {
  std::vector<AddressRange> clipped;
  for (std::size_t i = 0; i < count; ++i) {
    const Allocation& allocation = allocations[position(i)];
    if (allocation.tile != tile || !lifetimes_overlap(allocation, live_from, live_until)) continue;
    const std::uint32_t start = std::max(allocation.address, base);
    const std::uint32_t end = std::min(tessel::saturating_add(allocation.address, allocation.size), limit);
    if (start < end) clipped.push_back({start, end});
  }
  std::ranges::sort(clipped);  // by start, then end
  std::vector<AddressRange> merged;
  merged.reserve(clipped.size());
  for (const auto& range : clipped) {
    if (!merged.empty() && merged.back().end >= range.start) {
      merged.back().end = std::max(merged.back().end, range.end);
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

template <class Position>
MemoryResult find_free_region(std::span<const Allocation> allocations, std::size_t count, Position position,
                              std::uint16_t tile, std::uint32_t size, std::uint64_t live_from, std::uint64_t live_until,
                              std::span<const MemoryArena> arenas, std::uint32_t alignment) {
  if (arenas.empty()) return memory_error("allocation requires an SRAM arena");
  const std::uint32_t base = std::ranges::min(arenas, {}, &MemoryArena::base).base;
  const std::uint32_t limit = std::ranges::max(arenas, {}, &MemoryArena::limit).limit;
  auto occupied = live_occupied_ranges(allocations, count, position, tile, live_from, live_until, base, limit);
  return allocate_from_occupied_arenas(occupied, size, arenas, alignment);
}

// Lowest `alignment`-aligned address at or above `base` where `size` bytes
// fit below `limit` around `occupied`. Gaps are bounded by the constraint as
// well as by their neighbours, so ranges reaching outside it cannot pull the
// answer outside.
std::optional<std::uint32_t> lowest_fit(const std::vector<AddressRange>& occupied, std::uint32_t size,
                                        const MemoryConstraint& constraint) {
  const auto fits_below = [&](std::uint32_t cursor, std::uint32_t bound) -> std::optional<std::uint32_t> {
    const auto candidate = align_u32(cursor, constraint.alignment);
    if (!candidate) return std::nullopt;
    const auto end = tessel::checked_add(*candidate, size);
    if (!end || *end > bound) return std::nullopt;
    return candidate;
  };
  std::uint32_t cursor = constraint.base;
  for (const auto& range : occupied) {
    if (cursor < range.start) {
      if (const auto answer = fits_below(cursor, std::min(range.start, constraint.limit))) return answer;
    }
    cursor = std::max(cursor, range.end);
  }
  return fits_below(cursor, constraint.limit);
}

// Highest `alignment`-aligned address whose `size` bytes end at or below
// `limit` and start at or above `base` around `occupied`.
//
// Scanning down from the last range, the gap below the cursor ends at the
// highest end among the ranges up to the current one, not at the current
// range's own end: in a list sorted by start, an earlier range may reach past
// a later one. For lists without overlaps the two are the same.
std::optional<std::uint32_t> highest_fit(const std::vector<AddressRange>& occupied, std::uint32_t size,
                                         const MemoryConstraint& constraint) {
  const std::uint32_t mask = ~(constraint.alignment - 1U);
  const auto fits_above = [&](std::uint32_t cursor, std::uint32_t bound) -> std::optional<std::uint32_t> {
    if (cursor < size) return std::nullopt;
    const std::uint32_t candidate = (cursor - size) & mask;
    if (candidate < bound) return std::nullopt;
    return candidate;
  };
  std::vector<std::uint32_t> reach(occupied.size());  // highest end among ranges 0..i
  std::uint32_t highest_end = 0;
  for (std::size_t i = 0; i < occupied.size(); ++i) reach[i] = highest_end = std::max(highest_end, occupied[i].end);
  std::uint32_t cursor = constraint.limit;
  for (std::size_t i = occupied.size(); i-- > 0;) {
    if (reach[i] < cursor) {
      if (const auto answer = fits_above(cursor, std::max(reach[i], constraint.base))) return answer;
    }
    cursor = std::min(cursor, occupied[i].start);
  }
  return fits_above(cursor, constraint.base);
}

}  // namespace

MemoryResult find_free_region_in_arenas(std::span<const Allocation> allocations, std::uint16_t tile, std::uint32_t size,
                                        std::uint64_t live_from, std::uint64_t live_until,
                                        std::span<const MemoryArena> arenas, std::uint32_t alignment) {
  return find_free_region(
      allocations, allocations.size(), [](std::size_t i) { return i; }, tile, size, live_from, live_until, arenas,
      alignment);
}

MemoryResult find_free_region_in_arenas(std::span<const Allocation> allocations, std::span<const std::size_t> positions,
                                        std::uint16_t tile, std::uint32_t size, std::uint64_t live_from,
                                        std::uint64_t live_until, std::span<const MemoryArena> arenas,
                                        std::uint32_t alignment) {
  return find_free_region(
      allocations, positions.size(), [&](std::size_t i) { return positions[i]; }, tile, size, live_from, live_until,
      arenas, alignment);
}

MemoryResult allocate_from_occupied_arenas(std::vector<AddressRange>& occupied, std::uint32_t size,
                                           std::span<const MemoryArena> arenas, std::uint32_t alignment) {
  const bool invalid = size == 0 || arenas.empty() || !tessel::is_power_of_two(alignment) ||
                       std::ranges::any_of(arenas, [](const MemoryArena& a) { return a.base >= a.limit; });
  if (invalid) return memory_error("invalid SRAM arena allocation");

  std::vector<AddressRange> in_arena;
  for (const auto& arena : arenas) {
    in_arena.clear();
    for (const auto& range : occupied) {
      const std::uint32_t start = std::max(range.start, arena.base);
      const std::uint32_t end = std::min(range.end, arena.limit);
      if (start < end) in_arena.push_back({start, end});
    }
    const auto address = allocate_from_occupied(in_arena, size, {arena.base, arena.limit, alignment, arena.placement});
    if (!address) continue;
    // Every fit already ends inside the arena; the check keeps the insertion
    // from ever recording a wrapped range.
    const auto end = tessel::checked_add(*address, size);
    if (!end) return memory_error("SRAM arena allocation overflow");
    insert_occupied(occupied, {*address, *end});
    return *address;
  }
  return memory_error(fmt::format("no arena can hold a {}-byte SRAM allocation", size));
}

MemoryResult allocate_from_occupied(std::vector<AddressRange>& occupied, std::uint32_t size,
                                    const MemoryConstraint& constraint) {
  if (!tessel::is_power_of_two(constraint.alignment)) return memory_error("invalid SRAM arena allocation");
  const auto answer = constraint.placement == MemoryPlacement::Low ? lowest_fit(occupied, size, constraint)
                                                                   : highest_fit(occupied, size, constraint);
  if (!answer) return memory_error(fmt::format("no {}-byte region in SRAM arena", size));
  // Both fits guarantee answer + size <= constraint.limit.
  insert_occupied(occupied, {*answer, static_cast<std::uint32_t>(*answer + size)});
  return *answer;
}

}  // namespace tessel_compiler
