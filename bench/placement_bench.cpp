// Tile-memory placement at scale.
#include <random>

#include "bench.hpp"
#include "tessel_runtime/placement/address_space.hpp"
#include "tessel_runtime/placement/gap_packing.hpp"
#include "tessel_runtime/placement/relocation.hpp"
#include "workload.hpp"

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

// Relocation of n candidates on a workload of 100 n allocations, so that
// 10^4 candidates run on the whole-machine case of 10^6 allocations (and the
// smoke run stays small). The first tiles' executables cover the start of
// their first block; each reserved tile holds every first-block home of its
// layers, so the number of moved allocations is rounded up to whole tiles. It
// is reported as the `moved` counter and is the complexity's n. The graph is
// copied outside the timing; the time includes the final validation of the
// whole schedule.
const bool registered_relocation = tessel_bench::add(
    "relocate_transient_allocations_for_executables", {{10, 100, 1'000, 10'000}, benchmark::oAuto}, [](benchmark::State& state) {
      const auto candidates = static_cast<std::uint64_t>(state.range(0));
      const auto workload = tessel_workload::make_workload({100 * candidates});
      const auto topology = tessel_exchange::Topology::slate();
      const auto reservations = tessel_workload::relocation_reservations(workload, candidates);
      const std::uint64_t expected = tessel_workload::relocation_candidates(workload, reservations);
      for (auto _ : state) {
        state.PauseTiming();
        auto graph = workload.graph;
        state.ResumeTiming();
        const auto moved = tessel_runtime::relocate_transient_allocations_for_executables(graph, topology, reservations);
        if (!moved || *moved != expected) state.SkipWithError("relocation did not move the expected allocations");
        benchmark::DoNotOptimize(graph.schedule.allocations.data());
      }
      state.counters["moved"] = static_cast<double>(expected);
      state.counters["allocations"] = static_cast<double>(workload.graph.schedule.allocations.size());
      state.SetComplexityN(static_cast<std::int64_t>(expected));
    });
const bool registered_relocation_baseline = tessel_bench::add(
    "relocate_transient_allocations_for_executables/baseline_sort", {{10, 100, 1'000, 10'000}}, tessel_bench::sort_baseline);

// Packing n objects into 10^3 gaps: every object scans every gap, so the
// packers are linear in n for a fixed gap count (objects x gaps in all).
constexpr std::size_t PACKING_GAPS = 1'000;
const tessel_bench::Sweep PACKING{{1'000, 3'000, 10'000}, benchmark::oN};

std::vector<AddressRange> packing_gaps() {
  std::mt19937_64 random(5);
  std::vector<AddressRange> gaps;
  std::uint32_t cursor = 0x10000;
  for (std::size_t i = 0; i < PACKING_GAPS; ++i) {
    const auto start = cursor + static_cast<std::uint32_t>(random() % 0x100);
    const auto end = start + 0x200 + static_cast<std::uint32_t>(random() % 0xE00);
    gaps.push_back({start, end});
    cursor = end;
  }
  return gaps;
}

std::vector<std::uint32_t> packing_sizes(std::size_t count) {
  std::mt19937_64 random(6);
  std::vector<std::uint32_t> sizes(count);
  for (auto& size : sizes) size = 8 + static_cast<std::uint32_t>(random() % 0xF8);
  return sizes;
}

const bool registered_pack_objects =
    tessel_bench::add("pack_objects_in_gaps", PACKING, [](benchmark::State& state) {
      const auto gaps = packing_gaps();
      std::vector<AddressRange> objects;
      std::uint32_t source = 0;
      for (const auto size : packing_sizes(static_cast<std::size_t>(state.range(0)))) {
        objects.push_back({source, source + size});
        source += size;
      }
      for (auto _ : state) {
        const auto packed = tessel_runtime::pack_objects_in_gaps(0, objects, gaps, "bench");
        if (!packed) state.SkipWithError("the objects do not fit");
        benchmark::DoNotOptimize(packed);
      }
      state.SetComplexityN(state.range(0));
    });
const bool registered_pack_objects_baseline =
    tessel_bench::add("pack_objects_in_gaps/baseline_sort", PACKING, tessel_bench::sort_baseline);

const bool registered_pack_sized_objects =
    tessel_bench::add("pack_sized_objects_in_gaps", PACKING, [](benchmark::State& state) {
      const auto gaps = packing_gaps();
      const auto sizes = packing_sizes(static_cast<std::size_t>(state.range(0)));
      for (auto _ : state) {
        const auto placed = tessel_runtime::pack_sized_objects_in_gaps(0, sizes, gaps, 16, "bench");
        if (!placed) state.SkipWithError("the objects do not fit");
        benchmark::DoNotOptimize(placed);
      }
      state.SetComplexityN(state.range(0));
    });
const bool registered_pack_sized_objects_baseline =
    tessel_bench::add("pack_sized_objects_in_gaps/baseline_sort", PACKING, tessel_bench::sort_baseline);

}  // namespace
