#pragma once
// Packing of objects into the free gaps of one tile's memory, and the address
// helpers shared by the placement planners.
//
// Both packers follow one policy: objects are taken largest first, and each
// goes into the gap it fills best, the one with the fewest bytes left over
// after it (the earliest gap in the list wins a tie). The result therefore
// does not depend on the order in which objects are listed. Each object is
// placed at the aligned start of its gap; the gap then starts after it, and
// bytes skipped for alignment are not used again. Best fit is a heuristic, not
// an optimal packing.
//
// A gap whose aligned start does not fit in 32 bits cannot hold anything.
// When an object fits no gap the call fails with the object's size and the
// free bytes and largest gap as they stand at that moment; the gap list is
// consumed and nothing placed is returned.

#include <cstdint>
#include <map>
#include <span>
#include <string_view>
#include <vector>

#include "tessel/error.hpp"
#include "tessel/internal_error.hpp"
#include "tessel/range.hpp"

namespace tessel_runtime {

using tessel::AddressRange;

// The smallest multiple of `alignment` (a power of two) not below `value`.
// Unlike `placement::align_up` it does not saturate: the caller keeps
// `value` + `alignment` - 1 within 32 bits, and breaking that is an internal
// error.
[[nodiscard]] constexpr std::uint32_t align_up(std::uint32_t value, std::uint32_t alignment) {
  const std::uint32_t mask = alignment - 1U;
  if (value > UINT32_MAX - mask)
    throw tessel::InternalError("assertion failed: value + (alignment - 1) fits in 32 bits");
  return (value + mask) & ~mask;
}

// `value` with the bits below `alignment` (a power of two) cleared.
[[nodiscard]] constexpr std::uint32_t align_down(std::uint32_t value, std::uint32_t alignment) noexcept {
  return value & ~(alignment - 1U);
}

// True when [left_start, left_end) and [right_start, right_end) share a byte;
// ranges that only touch do not overlap.
[[nodiscard]] constexpr bool ranges_overlap(std::uint32_t left_start, std::uint32_t left_end, std::uint32_t right_start,
                                            std::uint32_t right_end) noexcept {
  return left_start < right_end && right_start < left_end;
}

struct PackedObjects {
  // Source start address of each object -> address it was placed at. Objects
  // sharing a start share an entry: the one placed later wins.
  std::map<std::uint32_t, std::uint32_t> relocations;
  // The occupied ranges, sorted and merged (touching ranges become one).
  std::vector<AddressRange> placed;

  bool operator==(const PackedObjects&) const = default;
};

// Places each object (a range of its source image, size end - start) at an
// 8-byte aligned address inside one of `gaps`. `tile` and `description` only
// name the request in messages:
//   "no tile-memory gap can hold a {size}-byte {description} object on tile
//    {tile}: {free} free bytes, {largest}-byte largest gap";
//   "invalid {description} placement request" for an object whose end lies
//    below its start.
[[nodiscard]] tessel::Result<PackedObjects> pack_objects_in_gaps(std::uint16_t tile,
                                                                 std::span<const AddressRange> objects,
                                                                 std::vector<AddressRange> gaps,
                                                                 std::string_view description);

// Places objects given by size at `alignment` (a power of two); each size is
// first rounded up to the alignment. Returns one placed range per size, in the
// order of `sizes`, neither sorted nor merged. Fails with "invalid
// {description} placement request" (alignment not a power of two, or a size
// of 0), "{description} placement overflow" (a size that cannot be rounded up
// within 32 bits) or the no-gap message above, with the rounded size.
[[nodiscard]] tessel::Result<std::vector<AddressRange>> pack_sized_objects_in_gaps(std::uint16_t tile,
                                                                                   std::span<const std::uint32_t> sizes,
                                                                                   std::vector<AddressRange> gaps,
                                                                                   std::uint32_t alignment,
                                                                                   std::string_view description);

// Sorts `ranges` by (start, end) and merges those that overlap or touch.
[[nodiscard]] std::vector<AddressRange> merge_ranges(std::vector<AddressRange> ranges);

}  // namespace tessel_runtime
