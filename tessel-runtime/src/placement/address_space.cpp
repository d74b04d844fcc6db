#include "tessel_runtime/placement/address_space.hpp"

#include <algorithm>

#include "tessel/integer.hpp"
#include "tessel/internal_error.hpp"

namespace tessel_runtime::placement {

std::vector<AddressRange> AddressSpace::free_regions(std::uint32_t granularity) && {
  tessel::invariant(tessel::is_power_of_two(granularity), "granularity.is_power_of_two()");
  // Rounding an end up past 2^32 - 1 keeps it at 2^32 - 1: clearing the low
  // bits there would end the reservation below its own end and report its
  // last bytes as free. Likewise a bounds start that cannot be rounded up
  // leaves no granule-aligned free byte at all.
  const std::uint32_t low_mask = ~(granularity - 1U);
  for (auto& range : reserved_) {
    range.start &= low_mask;
    range.end = tessel::checked_align_up(range.end, granularity).value_or(UINT32_MAX);
  }
  std::ranges::sort(reserved_, {}, &AddressRange::start);

  std::vector<AddressRange> free;
  const auto first = tessel::checked_align_up(bounds_.start, granularity);
  if (!first) return free;
  std::uint32_t cursor = *first;
  for (const auto& range : reserved_) {
    if (range.end <= cursor || range.start >= bounds_.end) continue;
    if (cursor < range.start) free.push_back({cursor, std::min(range.start, bounds_.end)});
    cursor = std::max(cursor, range.end);
  }
  if (cursor < bounds_.end) free.push_back({cursor, bounds_.end});
  return free;
}

}  // namespace tessel_runtime::placement
