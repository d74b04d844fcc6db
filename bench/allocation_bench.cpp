// Compiler memory allocation at whole-machine scale: validating the memory
// plan of the generated workload, and one arena search over all of its
// allocations.
#include <map>

#include "bench.hpp"
#include "tessel_compiler/arena_allocation.hpp"
#include "workload.hpp"

namespace {

// Built once per size and kept for the whole run.
const tessel_workload::Workload& workload(std::int64_t allocations) {
  static std::map<std::int64_t, tessel_workload::Workload> built;
  auto found = built.find(allocations);
  if (found == built.end()) {
    found = built.emplace(allocations, tessel_workload::make_workload({static_cast<std::uint64_t>(allocations)})).first;
  }
  return found->second;
}

const tessel_bench::Sweep WHOLE_MACHINE{{1'000, 10'000, 100'000, 1'000'000}, benchmark::oAuto};
// One pass over the allocations; at 10^6 the list no longer fits in cache.
const tessel_bench::Sweep WHOLE_MACHINE_SCAN{WHOLE_MACHINE.sizes, benchmark::oN};

const bool registered_validate =
    tessel_bench::add("validate_allocations", WHOLE_MACHINE, [](benchmark::State& state) {
      const auto& schedule = workload(state.range(0)).graph.schedule;
      for (auto _ : state) {
        const auto valid = schedule.validate_allocations();
        if (!valid) state.SkipWithError("the workload does not validate");
        benchmark::DoNotOptimize(valid);
      }
      state.counters["allocations"] = static_cast<double>(schedule.allocations.size());
      state.SetComplexityN(state.range(0));
    });
const bool registered_validate_baseline =
    tessel_bench::add("validate_allocations/baseline_sort", WHOLE_MACHINE, tessel_bench::sort_baseline);

// The search that relocation makes for one candidate, handed the whole
// allocation list: tile 0, a lifetime in the middle of the program, the
// ordinary high part of tile memory.
const bool registered_find_free_region =
    tessel_bench::add("find_free_region_in_arenas", WHOLE_MACHINE_SCAN, [](benchmark::State& state) {
      const auto& w = workload(state.range(0));
      const auto& allocations = w.graph.schedule.allocations;
      const std::uint64_t middle = w.layers;  // a phase number in the middle of the 2 x layers phases
      const tessel_compiler::MemoryArena arenas[] = {tessel_compiler::MemoryArena::low(0x60000, 0xE8000)};
      for (auto _ : state) {
        const auto address =
            tessel_compiler::find_free_region_in_arenas(allocations, 0, 0x1000, middle, middle + 2, arenas, 32);
        if (!address) state.SkipWithError("no free region");
        benchmark::DoNotOptimize(address);
      }
      state.SetComplexityN(state.range(0));
    });
const bool registered_find_free_region_baseline =
    tessel_bench::add("find_free_region_in_arenas/baseline_sort", WHOLE_MACHINE_SCAN, tessel_bench::sort_baseline);

}  // namespace
