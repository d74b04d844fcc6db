#pragma once
// First-fit placement of one allocation in SRAM arenas around occupied ranges.
//
// An occupied list holds half-open [start, end) byte ranges of one tile that
// are already in use, sorted by ascending start; a new range is inserted
// before any existing range with an equal start.
//
// `find_free_region_in_arenas` builds such a list from the allocations of one
// tile that are live during the requested lifetime (homes, aliases and
// staging buffers alike), clipped to the span of all arenas, sorted and with
// overlapping or touching ranges merged, and hands it to
// `allocate_from_occupied_arenas`.
//
// `allocate_from_occupied_arenas` tries the arenas in the order given and
// returns the first address found; inside an arena `allocate_from_occupied`
// takes the lowest aligned address that fits (low placement) or the highest
// (high placement). First fit is a heuristic: it does not minimise
// fragmentation. When no arena has room the call fails with a
// `CompileError::Memory` and the caller's occupied list is left unchanged; on
// success the new range has been inserted into it.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "tessel/expected.hpp"
#include "tessel/range.hpp"
#include "tessel_compiler/error.hpp"
#include "tessel_compiler/schedule.hpp"

namespace tessel_compiler {

using tessel::AddressRange;

// The smallest multiple of `alignment` not below `value`, that is
// ceiling(value / alignment) x alignment; nothing when `alignment` is 0 or the
// multiple does not fit in 32 bits.
[[nodiscard]] constexpr std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment) noexcept {
  if (alignment == 0) return std::nullopt;
  const std::uint64_t aligned = (std::uint64_t{value} + alignment - 1U) / alignment * alignment;
  if (aligned > UINT32_MAX) return std::nullopt;
  return static_cast<std::uint32_t>(aligned);
}

// An address of `size` bytes on `tile`, `alignment`-aligned and inside one of
// `arenas`, that overlaps no allocation of `tile` live during
// [live_from, live_until) (lifetimes that only touch do not overlap). Changes
// nothing. Fails with "allocation requires an SRAM arena" when `arenas` is
// empty, otherwise as `allocate_from_occupied_arenas`.
[[nodiscard]] tessel::Expected<std::uint32_t, CompileError> find_free_region_in_arenas(
    std::span<const Allocation> allocations, std::uint16_t tile, std::uint32_t size, std::uint64_t live_from,
    std::uint64_t live_until, std::span<const MemoryArena> arenas, std::uint32_t alignment);

// The same search, looking only at the allocations at `positions` (indices
// into `allocations`), for example a per-tile index built once. Gives the same
// result as the overload above whenever `positions` lists every allocation of
// `tile`; positions of other tiles are ignored.
[[nodiscard]] tessel::Expected<std::uint32_t, CompileError> find_free_region_in_arenas(
    std::span<const Allocation> allocations, std::span<const std::size_t> positions, std::uint16_t tile,
    std::uint32_t size, std::uint64_t live_from, std::uint64_t live_until, std::span<const MemoryArena> arenas,
    std::uint32_t alignment);

// Tries each arena in order on `occupied` clipped to it and inserts
// (address, address + size) into `occupied` on success. Fails with "invalid
// SRAM arena allocation" (size 0, no arenas, alignment not a power of two, an
// arena with base >= limit; tested in that order before any search) or "no
// arena can hold a {size}-byte SRAM allocation".
[[nodiscard]] tessel::Expected<std::uint32_t, CompileError> allocate_from_occupied_arenas(
    std::vector<AddressRange>& occupied, std::uint32_t size, std::span<const MemoryArena> arenas,
    std::uint32_t alignment);

// First fit of `size` bytes inside [constraint.base, constraint.limit) around
// `occupied`, from the end the constraint's placement names; inserts the new
// range into `occupied` on success. Fails with "no {size}-byte region in SRAM
// arena", or "invalid SRAM arena allocation" when the alignment is not a
// power of two.
[[nodiscard]] tessel::Expected<std::uint32_t, CompileError> allocate_from_occupied(std::vector<AddressRange>& occupied,
                                                                                   std::uint32_t size,
                                                                                   const MemoryConstraint& constraint);

}  // namespace tessel_compiler
