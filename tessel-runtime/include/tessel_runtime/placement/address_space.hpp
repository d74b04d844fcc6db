#pragma once
// Free-interval bookkeeping of one stretch of a tile's address space.
//
// Create a space with its bounds, reserve any number of ranges (they may
// overlap, touch, lie partly or wholly outside the bounds, in any order), then
// ask once for the free regions at a power-of-two granularity:
//   1. every reservation is widened to whole granules (start rounded down,
//      end rounded up, saturating at 2^32 - 1);
//   2. reservations are sorted by start and merged where they overlap or touch;
//   3. the free regions are what remains inside the bounds, ascending.
// Every free region starts on a granule boundary (space below the rounded-up
// bounds start is never free) and ends at a widened reservation or at the
// unrounded bounds end. An empty or inverted space has no free regions.

#include <cstdint>
#include <ranges>
#include <utility>
#include <vector>

#include "tessel/range.hpp"

namespace tessel_runtime::placement {

using tessel::AddressRange;

// The smallest multiple of `alignment` (a power of two) not below `value`;
// a `value` within `alignment` - 1 of 2^32 gives the largest multiple below
// 2^32 instead of wrapping.
[[nodiscard]] constexpr std::uint32_t align_up(std::uint32_t value, std::uint32_t alignment) noexcept {
  const std::uint32_t mask = alignment - 1U;
  const std::uint32_t bumped = value > UINT32_MAX - mask ? UINT32_MAX : value + mask;
  return bumped & ~mask;
}

class AddressSpace {
 public:
  explicit AddressSpace(AddressRange bounds) : bounds_(bounds) {}

  [[nodiscard]] static AddressSpace create(AddressRange bounds) { return AddressSpace(bounds); }

  // Appends `range` unless it is empty or inverted.
  void reserve(AddressRange range) {
    if (range.start < range.end) reserved_.push_back(range);
  }

  // Reserves every (start, end) pair of `ranges`, in order. Elements may be
  // `AddressRange`s or pairs of 32-bit addresses.
  template <std::ranges::input_range Ranges>
  void reserve_all(Ranges&& ranges) {
    for (const auto& range : ranges) {
      if constexpr (requires { range.start; range.end; }) {
        reserve(AddressRange{range.start, range.end});
      } else {
        reserve(AddressRange{std::get<0>(range), std::get<1>(range)});
      }
    }
  }

  // Consumes the space: the free regions at `granularity`, ascending and
  // disjoint. `granularity` must be a power of two (an internal invariant:
  // callers pass constants).
  [[nodiscard]] std::vector<AddressRange> free_regions(std::uint32_t granularity) &&;

  [[nodiscard]] const AddressRange& bounds() const noexcept { return bounds_; }
  // The reservations, in the order they were made.
  [[nodiscard]] const std::vector<AddressRange>& reserved() const noexcept { return reserved_; }

 private:
  AddressRange bounds_;
  std::vector<AddressRange> reserved_;
};

}  // namespace tessel_runtime::placement
