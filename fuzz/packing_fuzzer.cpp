// Both gap packers against a replay of their placement rule in 64-bit
// arithmetic (largest first, smallest leftover, earliest gap on a tie), and
// the properties of every result on their own: each object lies aligned
// inside one of the original gaps and no two objects share a byte. The gaps
// lie near address 0 or just below 2^32, where aligned starts and ends can
// leave the 32-bit range.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessel_runtime/placement/gap_packing.hpp"

namespace {

using tessel::AddressRange;

constexpr std::uint64_t TOP = std::uint64_t{1} << 32;
constexpr std::uint64_t WINDOW = std::uint64_t{1} << 17;
constexpr std::uint16_t TILE = 9;
constexpr const char* DESCRIPTION = "fuzz";

void require(bool condition) {
  if (!condition) std::abort();
}

std::uint64_t align(std::uint64_t value, std::uint64_t alignment) { return (value + alignment - 1) / alignment * alignment; }

struct Gap {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

struct Placement {
  std::uint64_t start = 0;
  std::uint64_t end = 0;
};

// The qualifying gap with the smallest leftover, the earliest on a tie.
std::optional<std::size_t> best_gap(const std::vector<Gap>& gaps, std::uint64_t size, std::uint64_t alignment) {
  std::optional<std::size_t> best;
  std::uint64_t best_leftover = 0;
  for (std::size_t i = 0; i < gaps.size(); ++i) {
    const std::uint64_t candidate = align(gaps[i].start, alignment);
    if (candidate + size > gaps[i].end) continue;
    const std::uint64_t leftover = gaps[i].end - (candidate + size);
    if (!best || leftover < best_leftover) {
      best = i;
      best_leftover = leftover;
    }
  }
  return best;
}

std::string no_gap_message(const std::vector<Gap>& gaps, std::uint64_t size) {
  std::uint64_t free = 0;
  std::uint64_t largest = 0;
  for (const Gap& gap : gaps) {
    const std::uint64_t length = gap.start < gap.end ? gap.end - gap.start : 0;
    free += length;
    largest = std::max(largest, length);
  }
  return fmt::format("no tile-memory gap can hold a {}-byte {} object on tile {}: {} free bytes, {}-byte largest gap",
                     size, DESCRIPTION, TILE, free, largest);
}

// Positions by decreasing size, equal sizes in list order.
std::vector<std::size_t> largest_first(const std::vector<std::uint64_t>& sizes) {
  std::vector<std::size_t> order(sizes.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t l, std::size_t r) { return sizes[l] > sizes[r]; });
  return order;
}

// Gaps laid out one after another from `base`, in a shuffled list order;
// with `overlapping`, each may also start back inside the previous one.
std::vector<AddressRange> make_gaps(FuzzedDataProvider& input, std::uint64_t base, bool overlapping) {
  std::vector<AddressRange> gaps;
  std::uint64_t cursor = base + input.ConsumeIntegralInRange<std::uint64_t>(0, 64);
  const int count = input.ConsumeIntegralInRange(0, 10);
  for (int i = 0; i < count; ++i) {
    std::uint64_t start = cursor + input.ConsumeIntegralInRange<std::uint64_t>(0, 2048);
    if (overlapping) start -= std::min(start - base, input.ConsumeIntegralInRange<std::uint64_t>(0, 4096));
    start = std::min(start, TOP - 1);
    std::uint64_t end = std::min(start + input.ConsumeIntegralInRange<std::uint64_t>(0, 8192), TOP - 1);
    if (input.ConsumeIntegralInRange(0, 15) == 0) end = start - std::min<std::uint64_t>(start, 8);  // inverted
    gaps.push_back({static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end)});
    cursor = std::max(cursor, end);
  }
  for (std::size_t i = gaps.size(); i > 1; --i) {
    std::swap(gaps[i - 1], gaps[input.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
  }
  return gaps;
}

std::uint64_t object_size(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: return 0;
    case 1: return TOP - 1 - input.ConsumeIntegralInRange<std::uint64_t>(0, 64);
    case 2: return input.ConsumeIntegralInRange<std::uint64_t>(0, 16) * 8;
    default: return input.ConsumeIntegralInRange<std::uint64_t>(1, 6000);
  }
}

// Each placed range lies inside an original gap (which must have a real
// extent) and starts on `alignment`; no two of them share a byte.
void check_placements(std::vector<Placement> placements, const std::vector<AddressRange>& gaps,
                      std::uint64_t alignment, bool disjoint_gaps) {
  for (const Placement& placed : placements) {
    require(placed.start % alignment == 0);
    require(std::any_of(gaps.begin(), gaps.end(), [&](const AddressRange& gap) {
      return gap.start <= placed.start && placed.end <= gap.end && gap.start <= gap.end;
    }));
  }
  if (!disjoint_gaps) return;
  std::sort(placements.begin(), placements.end(),
            [](const Placement& l, const Placement& r) { return l.start != r.start ? l.start < r.start : l.end < r.end; });
  for (std::size_t i = 1; i < placements.size(); ++i) {
    const Placement& previous = placements[i - 1];
    const Placement& next = placements[i];
    if (previous.start == previous.end || next.start == next.end) continue;  // empty objects hold no byte
    require(previous.end <= next.start);
  }
}

std::vector<Gap> wide(const std::vector<AddressRange>& gaps) {
  std::vector<Gap> result;
  for (const auto& gap : gaps) result.push_back({gap.start, gap.end});
  return result;
}

void fuzz_objects(FuzzedDataProvider& input, const std::vector<AddressRange>& gaps, bool disjoint_gaps) {
  std::vector<AddressRange> objects;
  std::vector<std::uint64_t> sizes;
  bool inverted = false;
  const int count = input.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < count; ++i) {
    // Few distinct starts, so that objects sometimes share their key.
    const auto start = static_cast<std::uint32_t>(input.ConsumeIntegralInRange(0U, 15U) * 0x100U +
                                                  (input.ConsumeBool() ? 0 : 0xFFFF0000U));
    const std::uint64_t size = object_size(input);
    std::uint64_t end = std::min<std::uint64_t>(start + size, TOP - 1);
    if (input.ConsumeIntegralInRange(0, 31) == 0 && start > 0) {
      end = start - 1;
      inverted = true;
    }
    objects.push_back({start, static_cast<std::uint32_t>(end)});
    sizes.push_back(end >= start ? end - start : 0);
  }

  // The replay.
  std::optional<std::string> expected_error;
  std::map<std::uint32_t, std::uint32_t> expected_relocations;
  std::vector<Placement> placements;
  if (inverted) {
    expected_error = fmt::format("invalid {} placement request", DESCRIPTION);
  } else {
    auto state = wide(gaps);
    for (const std::size_t index : largest_first(sizes)) {
      const auto gap = best_gap(state, sizes[index], 8);
      if (!gap) {
        expected_error = no_gap_message(state, sizes[index]);
        break;
      }
      const std::uint64_t address = align(state[*gap].start, 8);
      state[*gap].start = address + sizes[index];
      expected_relocations[objects[index].start] = static_cast<std::uint32_t>(address);
      placements.push_back({address, address + sizes[index]});
    }
  }

  const auto packed = tessel_runtime::pack_objects_in_gaps(TILE, objects, gaps, DESCRIPTION);
  if (expected_error) {
    require(!packed && packed.error().message == *expected_error);
    return;
  }
  require(packed.has_value());
  require(packed->relocations == expected_relocations);

  // The placed list is sorted, merged (no two ranges touch) and covers
  // exactly the bytes of all objects: its length is their total size.
  std::uint64_t covered = 0;
  for (std::size_t i = 0; i < packed->placed.size(); ++i) {
    const AddressRange& range = packed->placed[i];
    require(range.start <= range.end);
    if (i > 0) require(packed->placed[i - 1].end < range.start);
    covered += range.end - range.start;
  }
  if (disjoint_gaps) require(covered == std::accumulate(sizes.begin(), sizes.end(), std::uint64_t{0}));
  for (const Placement& placed : placements) {
    require(std::any_of(packed->placed.begin(), packed->placed.end(), [&](const AddressRange& range) {
      return range.start <= placed.start && placed.end <= range.end;
    }));
  }
  for (std::size_t i = 0; i < objects.size(); ++i) {
    const auto relocation = packed->relocations.find(objects[i].start);
    require(relocation != packed->relocations.end());
  }
  check_placements(placements, gaps, 8, disjoint_gaps);
}

void fuzz_sized(FuzzedDataProvider& input, const std::vector<AddressRange>& gaps, bool disjoint_gaps) {
  std::uint32_t alignment = 1U << input.ConsumeIntegralInRange(0, 14);
  if (input.ConsumeIntegralInRange(0, 15) == 0) alignment = input.PickValueInArray({0U, 3U, 24U, 0x80000001U});
  std::vector<std::uint32_t> sizes;
  const int count = input.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < count; ++i) sizes.push_back(static_cast<std::uint32_t>(object_size(input)));

  std::optional<std::string> expected_error;
  std::vector<Placement> expected(sizes.size());
  const bool power_of_two = alignment != 0 && (alignment & (alignment - 1)) == 0;
  if (!power_of_two || std::find(sizes.begin(), sizes.end(), 0U) != sizes.end()) {
    expected_error = fmt::format("invalid {} placement request", DESCRIPTION);
  } else {
    auto state = wide(gaps);
    const std::vector<std::uint64_t> wide_sizes(sizes.begin(), sizes.end());
    for (const std::size_t index : largest_first(wide_sizes)) {
      const std::uint64_t size = align(sizes[index], alignment);
      if (size >= TOP) {
        expected_error = fmt::format("{} placement overflow", DESCRIPTION);
        break;
      }
      const auto gap = best_gap(state, size, alignment);
      if (!gap) {
        expected_error = no_gap_message(state, size);
        break;
      }
      const std::uint64_t address = align(state[*gap].start, alignment);
      state[*gap].start = address + size;
      expected[index] = {address, address + size};
    }
  }

  const auto placed = tessel_runtime::pack_sized_objects_in_gaps(TILE, sizes, gaps, alignment, DESCRIPTION);
  if (expected_error) {
    require(!placed && placed.error().message == *expected_error);
    return;
  }
  require(placed.has_value() && placed->size() == sizes.size());
  std::vector<Placement> actual;
  for (std::size_t i = 0; i < sizes.size(); ++i) {
    const AddressRange& range = (*placed)[i];
    require(range.start == expected[i].start && range.end == expected[i].end);
    require(range.end - range.start == align(sizes[i], alignment));
    actual.push_back({range.start, range.end});
  }
  check_placements(actual, gaps, alignment, disjoint_gaps);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const bool sized = input.ConsumeBool();
  const std::uint64_t base = input.ConsumeBool() ? TOP - WINDOW + input.ConsumeIntegralInRange<std::uint64_t>(0, WINDOW - 1) : 0;
  const bool overlapping = input.ConsumeIntegralInRange(0, 7) == 0;
  const auto gaps = make_gaps(input, base, overlapping);
  if (sized) {
    fuzz_sized(input, gaps, !overlapping);
  } else {
    fuzz_objects(input, gaps, !overlapping);
  }
  return 0;
}
