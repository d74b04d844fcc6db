// Tile-memory placement at scale.
#include <random>

#include "bench.hpp"
#include "tessel_runtime/placement/address_space.hpp"

namespace {

using tessel::AddressRange;

std::vector<AddressRange> random_reservations(std::size_t count) {
  std::mt19937_64 random(3);
  std::vector<AddressRange> ranges(count);
  for (auto& range : ranges) {
    const auto start = static_cast<std::uint32_t>(0x4C000 + random() % 0x9C000);
    range = {start, start + static_cast<std::uint32_t>(random() % 0x400)};
  }
  return ranges;
}

const bool registered_free_regions =
    tessel_bench::add("free_regions", {{1 << 10, 1 << 13, 1 << 16, 1 << 19}}, [](benchmark::State& state) {
      const auto ranges = random_reservations(static_cast<std::size_t>(state.range(0)));
      for (auto _ : state) {
        tessel_runtime::placement::AddressSpace space({0x4C000, 0xE8000});
        space.reserve_all(ranges);
        benchmark::DoNotOptimize(std::move(space).free_regions(1));
      }
      state.SetComplexityN(state.range(0));
    });
const bool registered_free_regions_baseline =
    tessel_bench::add("free_regions/baseline_sort", {{1 << 10, 1 << 13, 1 << 16, 1 << 19}}, tessel_bench::sort_baseline);

}  // namespace
