#include "tessel_runtime/placement/gap_packing.hpp"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <optional>

#include "tessel/integer.hpp"

namespace tessel_runtime {
namespace {

struct Fit {
  std::size_t gap = 0;        // index into the gap list
  std::uint32_t address = 0;  // aligned start inside the gap
  std::uint32_t end = 0;      // address + size
};

// The gap that `size` bytes at `alignment` fill best: the smallest leftover,
// the earliest gap on a tie. A gap whose aligned start or end would pass 2^32
// does not qualify.
std::optional<Fit> best_fit(const std::vector<AddressRange>& gaps, std::uint32_t size, std::uint32_t alignment) {
  std::optional<Fit> best;
  std::uint32_t best_leftover = 0;
  for (std::size_t i = 0; i < gaps.size(); ++i) {
    const auto candidate = tessel::checked_align_up(gaps[i].start, alignment);
    if (!candidate) continue;
    const auto end = tessel::checked_add(*candidate, size);
    if (!end || *end > gaps[i].end) continue;
    const std::uint32_t leftover = gaps[i].end - *end;
    if (!best || leftover < best_leftover) {
      best = Fit{i, *candidate, *end};
      best_leftover = leftover;
    }
  }
  return best;
}

tessel::Unexpected<tessel::Error> no_gap(const std::vector<AddressRange>& gaps, std::uint32_t size,
                                         std::string_view description, std::uint16_t tile) {
  std::uint64_t free = 0;
  std::uint32_t largest = 0;
  for (const auto& gap : gaps) {
    free += gap.length();
    largest = std::max(largest, gap.length());
  }
  return tessel::fail("no tile-memory gap can hold a {}-byte {} object on tile {}: {} free bytes, {}-byte largest gap",
                      size, description, tile, free, largest);
}

// Indices of `sizes` by decreasing size; equal sizes keep their list order.
template <class Size>
std::vector<std::size_t> largest_first(std::size_t count, Size size_of) {
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::ranges::stable_sort(order, [&](std::size_t left, std::size_t right) { return size_of(left) > size_of(right); });
  return order;
}

}  // namespace

std::vector<AddressRange> merge_ranges(std::vector<AddressRange> ranges) {
  std::ranges::sort(ranges);  // by start, then end
  std::vector<AddressRange> merged;
  merged.reserve(ranges.size());
  for (const auto& range : ranges) {
    if (!merged.empty() && range.start <= merged.back().end) {
      merged.back().end = std::max(merged.back().end, range.end);
    } else {
      merged.push_back(range);
    }
  }
  return merged;
}

tessel::Result<PackedObjects> pack_objects_in_gaps(std::uint16_t tile, std::span<const AddressRange> objects,
                                                   std::vector<AddressRange> gaps, std::string_view description) {
  constexpr std::uint32_t OBJECT_ALIGNMENT = 8;
  if (std::ranges::any_of(objects, [](const AddressRange& object) { return object.end < object.start; })) {
    return tessel::fail("invalid {} placement request", description);
  }
  PackedObjects packed;
  packed.placed.reserve(objects.size());
  for (const std::size_t index : largest_first(objects.size(), [&](std::size_t i) { return objects[i].length(); })) {
    const AddressRange& object = objects[index];
    const std::uint32_t size = object.length();
    const auto fit = best_fit(gaps, size, OBJECT_ALIGNMENT);
    if (!fit) return no_gap(gaps, size, description, tile);
    gaps[fit->gap].start = fit->end;
    packed.relocations[object.start] = fit->address;
    packed.placed.push_back({fit->address, fit->end});
  }
  packed.placed = merge_ranges(std::move(packed.placed));
  return packed;
}

tessel::Result<std::vector<AddressRange>> pack_sized_objects_in_gaps(std::uint16_t tile,
                                                                     std::span<const std::uint32_t> sizes,
                                                                     std::vector<AddressRange> gaps,
                                                                     std::uint32_t alignment,
                                                                     std::string_view description) {
  if (!tessel::is_power_of_two(alignment) || std::ranges::find(sizes, 0U) != sizes.end()) {
    return tessel::fail("invalid {} placement request", description);
  }
  std::vector<AddressRange> placed(sizes.size(), AddressRange{0, 0});
  for (const std::size_t index : largest_first(sizes.size(), [&](std::size_t i) { return sizes[i]; })) {
    const auto size = tessel::checked_align_up(sizes[index], alignment);
    if (!size) return tessel::fail("{} placement overflow", description);
    const auto fit = best_fit(gaps, *size, alignment);
    if (!fit) return no_gap(gaps, *size, description, tile);
    gaps[fit->gap].start = fit->end;
    placed[index] = {fit->address, fit->end};
  }
  return placed;
}

}  // namespace tessel_runtime
