// AddressSpace::free_regions against a byte-map oracle over a small window
// of the address space, placed either at 0 or at the very top of the 32-bit
// range where rounding ends up saturates.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "tessel_runtime/placement/address_space.hpp"

namespace {
constexpr std::uint64_t WINDOW = 4096 + 512;
constexpr std::uint64_t TOP = std::uint64_t{1} << 32;

std::uint64_t align_up_exact(std::uint64_t value, std::uint64_t alignment) {
  return (value + alignment - 1) & ~(alignment - 1);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const std::uint64_t base = input.ConsumeBool() ? TOP - WINDOW : 0;
  const std::uint32_t granularity = 1U << input.ConsumeIntegralInRange(0, 9);
  const auto address = [&] { return static_cast<std::uint32_t>(base + input.ConsumeIntegralInRange<std::uint64_t>(0, WINDOW - 1)); };

  const tessel::AddressRange bounds{address(), address()};
  tessel_runtime::placement::AddressSpace space(bounds);
  std::vector<bool> reserved(WINDOW, false);
  const int count = input.ConsumeIntegralInRange(0, 16);
  for (int i = 0; i < count; ++i) {
    const tessel::AddressRange range{address(), address()};
    space.reserve(range);
    if (range.start >= range.end) continue;
    const std::uint64_t start = range.start & ~std::uint64_t{granularity - 1U};
    const std::uint64_t end = std::min(align_up_exact(range.end, granularity), TOP);
    for (std::uint64_t byte = start; byte < end; ++byte) {
      if (byte >= base && byte - base < WINDOW) reserved[byte - base] = true;
    }
  }

  std::vector<bool> expected(WINDOW, false);
  for (std::uint64_t byte = align_up_exact(bounds.start, granularity); byte < bounds.end; ++byte) {
    expected[byte - base] = !reserved[byte - base];
  }

  const auto regions = std::move(space).free_regions(granularity);
  std::vector<bool> actual(WINDOW, false);
  for (std::size_t i = 0; i < regions.size(); ++i) {
    const auto& region = regions[i];
    if (region.start >= region.end || region.start % granularity != 0) std::abort();
    if (i > 0 && regions[i - 1].end >= region.start) std::abort();  // sorted, disjoint, not touching
    if (region.start < base || region.end > base + WINDOW) std::abort();
    for (std::uint64_t byte = region.start; byte < region.end; ++byte) actual[byte - base] = true;
  }
  if (actual != expected) std::abort();
  return 0;
}
