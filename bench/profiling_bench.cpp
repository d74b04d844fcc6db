// Execution profiling at scale: the memory map of a whole machine, profile
// assembly of one long tile program, and decoding the samples of 1472 tiles.
#include <cstdint>
#include <memory>
#include <vector>

#include "bench.hpp"
#include "tessel_runtime/profiling/memory_profile.hpp"
#include "tessel_runtime/profiling/profile_assembly.hpp"
#include "tessel_runtime/profiling/profile_layout.hpp"
#include "workload.hpp"

namespace {

using tessel_runtime::ProfileGranularity;
using tessel_workload::Workload;
using tessel_workload::WorkloadOptions;

// Tiles of the case profile assembly runs on: a phase as wide as 64 tiles, so
// that one tile's program reaches 10^4 steps without a whole machine of layers.
constexpr std::uint16_t ASSEMBLY_TILES = 64;
// Profile steps one layer gives a tile at Step and Phase granularity: the
// synchronisation and exchange of its epoch, and its compute or idle step.
constexpr std::int64_t STEPS_PER_LAYER = 3;

// The case `build` made for the last size asked for; a sweep asks for each
// size in turn, so only one case of each type is held at a time.
template <class Built>
const Built& cached(std::int64_t size, Built (*build)(std::int64_t)) {
  static Built (*built_by)(std::int64_t) = nullptr;
  static std::int64_t built_size = -1;
  static std::unique_ptr<Built> value;
  if (build != built_by || size != built_size) {
    value.reset();
    value = std::make_unique<Built>(build(size));
    built_by = build;
    built_size = size;
  }
  return *value;
}

Workload machine_workload(std::int64_t allocations) {
  return tessel_workload::make_workload(WorkloadOptions{.allocations = static_cast<std::uint64_t>(allocations)});
}

// A workload in which tile 0 runs `steps` / 3 layers.
Workload assembly_workload(std::int64_t steps) {
  const auto layers = static_cast<std::uint64_t>((steps + STEPS_PER_LAYER - 1) / STEPS_PER_LAYER);
  return tessel_workload::make_workload(WorkloadOptions{
      .allocations = layers * ASSEMBLY_TILES * tessel_workload::ALLOCATIONS_PER_SLOT,
      .tile_count = ASSEMBLY_TILES,
      .seed = 1,
  });
}

// The phase-granularity profile of a whole machine whose tiles each have
// `steps_per_tile` profile steps.
tessel_workload::WorkloadProfile decode_profile(std::int64_t steps_per_tile) {
  const auto layers = static_cast<std::uint64_t>(steps_per_tile / STEPS_PER_LAYER);
  const auto workload =
      tessel_workload::make_workload(WorkloadOptions{.allocations = layers * 1472 * tessel_workload::ALLOCATIONS_PER_SLOT});
  return tessel_workload::make_workload_profile(workload, ProfileGranularity::Phase);
}

const tessel_bench::Sweep MEMORY_PROFILE_SIZES{{1'000, 10'000, 100'000, 1'000'000}};
const tessel_bench::Sweep ASSEMBLY_SIZES{{100, 300, 1'000, 3'000, 10'000}, benchmark::oN};
const tessel_bench::Sweep DECODE_SIZES{{6, 24, 96, 384}, benchmark::oN};

const bool registered_memory_profile =
    tessel_bench::add("allocator_memory_profile", MEMORY_PROFILE_SIZES, [](benchmark::State& state) {
      const auto& workload = cached<Workload>(state.range(0), machine_workload);
      for (auto _ : state) benchmark::DoNotOptimize(tessel_runtime::allocator_memory_profile(workload.graph));
      state.SetComplexityN(static_cast<std::int64_t>(workload.graph.schedule.allocations.size()));
    });
const bool registered_memory_profile_baseline =
    tessel_bench::add("allocator_memory_profile/baseline_sort", MEMORY_PROFILE_SIZES, tessel_bench::sort_baseline);
// Copying the finished memory map: the cost of building the output alone, one
// vector per tile and the category and name texts of every region.
const bool registered_memory_profile_output =
    tessel_bench::add("allocator_memory_profile/baseline_copy_output", MEMORY_PROFILE_SIZES, [](benchmark::State& state) {
      const auto& workload = cached<Workload>(state.range(0), machine_workload);
      const auto profile = tessel_runtime::allocator_memory_profile(workload.graph).value();
      for (auto _ : state) {
        auto copy = profile;
        benchmark::DoNotOptimize(copy.tiles.data());
      }
      state.SetComplexityN(static_cast<std::int64_t>(workload.graph.schedule.allocations.size()));
    });

void assemble(benchmark::State& state, ProfileGranularity granularity) {
  const auto& workload = cached<Workload>(state.range(0), assembly_workload);
  const auto& program = workload.programs.front();
  std::size_t steps = 0;
  for (auto _ : state) {
    auto profile = tessel_runtime::profile_steps(workload.graph.schedule, program, granularity);
    steps = profile.steps.size();
    benchmark::DoNotOptimize(profile);
  }
  state.SetComplexityN(static_cast<std::int64_t>(steps));
}

const bool registered_assembly_step = tessel_bench::add(
    "profile_steps/step", ASSEMBLY_SIZES, [](benchmark::State& state) { assemble(state, ProfileGranularity::Step); });
const bool registered_assembly_phase = tessel_bench::add(
    "profile_steps/phase", ASSEMBLY_SIZES, [](benchmark::State& state) { assemble(state, ProfileGranularity::Phase); });
// Copying as many step records as assembly builds, at Step granularity.
const bool registered_assembly_baseline =
    tessel_bench::add("profile_steps/baseline_copy", ASSEMBLY_SIZES, [](benchmark::State& state) {
      const auto& workload = cached<Workload>(state.range(0), assembly_workload);
      const auto steps =
          tessel_runtime::profile_steps(workload.graph.schedule, workload.programs.front(), ProfileGranularity::Step)
              .steps;
      for (auto _ : state) {
        auto copy = steps;
        benchmark::DoNotOptimize(copy.data());
      }
      state.SetComplexityN(static_cast<std::int64_t>(steps.size()));
    });

const bool registered_decode =
    tessel_bench::add("ProfileLayout::decode", DECODE_SIZES, [](benchmark::State& state) {
      const auto& profile = cached<tessel_workload::WorkloadProfile>(state.range(0), decode_profile);
      for (auto _ : state) benchmark::DoNotOptimize(profile.layout.decode(profile.host_result, 1'500'000'000));
      state.SetComplexityN(state.range(0));
    });
// Copying the host result and every tile's step records.
const bool registered_decode_baseline =
    tessel_bench::add("ProfileLayout::decode/baseline_copy", DECODE_SIZES, [](benchmark::State& state) {
      const auto& profile = cached<tessel_workload::WorkloadProfile>(state.range(0), decode_profile);
      for (auto _ : state) {
        auto bytes = profile.host_result;
        std::vector<std::vector<tessel_package::ProfileStep>> steps;
        steps.reserve(profile.layout.tiles.size());
        for (const auto& tile : profile.layout.tiles) steps.push_back(tile.steps);
        benchmark::DoNotOptimize(bytes.data());
        benchmark::DoNotOptimize(steps.data());
      }
      state.SetComplexityN(state.range(0));
    });

}  // namespace
