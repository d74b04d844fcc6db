#include "workload.hpp"

#include <algorithm>
#include <random>
#include <string>

#include <fmt/format.h>

#include "tessel_compiler/schedule.hpp"
#include "tessel_exchange/instruction.hpp"
#include "tessel_exchange/topology.hpp"

namespace tessel_workload {
namespace {

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::KernelCommand;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileStep;
using tessel_compiler::OpId;
using tessel_compiler::Phase;
using tessel_compiler::SpecializationKey;
using tessel_compiler::TensorId;
using tessel_compiler::Transfer;

constexpr std::uint32_t OUTPUT_SIZE = 0x1000;
constexpr std::uint32_t ALIAS_OFFSET = 0x100;
constexpr std::uint32_t ALIAS_SIZE = 0x100;
constexpr std::uint32_t STAGING_OFFSET = 0x2000;
constexpr std::uint32_t STAGING_SIZE = 0x400;
constexpr std::uint32_t SCRATCH_OFFSET = 0x3000;
constexpr std::uint32_t SCRATCH_SIZE = 0x800;
constexpr std::uint32_t WEIGHT_SIZE = 0x2000;

struct Ids {
  std::uint64_t tiles;
  // Tensors of slot (layer, tile): output, alias, scratch; 0 is the host input,
  // and weights follow all slots.
  [[nodiscard]] TensorId output(std::uint64_t layer, std::uint64_t tile) const { return TensorId((layer * tiles + tile) * 3 + 1); }
  [[nodiscard]] TensorId alias(std::uint64_t layer, std::uint64_t tile) const { return TensorId((layer * tiles + tile) * 3 + 2); }
  [[nodiscard]] TensorId scratch(std::uint64_t layer, std::uint64_t tile) const { return TensorId((layer * tiles + tile) * 3 + 3); }
  [[nodiscard]] TensorId weight(std::uint64_t layers, std::uint64_t tile) const { return TensorId((layers * tiles + tile) * 3 + 1); }
};

std::uint32_t block_base(std::uint32_t layer) { return SLOT_BLOCK_BASE + (layer % 3) * SLOT_BLOCK_SIZE; }

SpecializationKey kernel_for(std::uint32_t layer, std::mt19937_64& random) {
  const std::uint64_t width = 32U << (random() % 2);
  switch (layer % 3) {
    case 0: return {"gemm_f16_accumulate", {64, width, 64}, 6, "inner-block", 32};
    case 1: return {"layer_norm_affine_f16", {width, 64}, 6, "", 8};
    default: return {"add_f16", {width}, 6, "elementwise", 8};
  }
}

}  // namespace

Workload make_workload(const WorkloadOptions& options) {
  const std::uint64_t tiles = options.tile_count;
  const std::uint64_t slots = std::max<std::uint64_t>(1, options.allocations / ALLOCATIONS_PER_SLOT);
  const auto layers = static_cast<std::uint32_t>((slots + tiles - 1) / tiles);
  const Ids ids{tiles};
  std::mt19937_64 random(options.seed);
  const auto topology = tessel_exchange::Topology::slate();

  Workload workload;
  workload.layers = layers;
  auto& schedule = workload.graph.schedule;
  schedule.tile_count = options.tile_count;
  schedule.phases.reserve(2 * std::size_t{layers});
  schedule.allocations.reserve(slots * ALLOCATIONS_PER_SLOT + tiles);
  workload.programs.resize(tiles);
  for (std::uint64_t tile = 0; tile < tiles; ++tile) {
    workload.programs[tile].tile = static_cast<std::uint16_t>(tile);
    workload.programs[tile].steps.reserve(2 * std::size_t{layers});
  }
  const auto active_row = tessel_compiler::make_row({tessel_exchange::sans(1)});
  const auto inactive_row = tessel_compiler::make_row({tessel_exchange::sans(0)});

  const auto busy = [&](std::uint64_t layer, std::uint64_t tile) { return layer * tiles + tile < slots; };
  const std::uint64_t busy_tiles = std::min(tiles, slots);

  tessel_package::Binding weights{"weights", "f16", {static_cast<std::uint32_t>(busy_tiles), WEIGHT_SIZE / 2}, {}};
  tessel_package::Binding input{"input", "f16", {static_cast<std::uint32_t>(busy_tiles), STAGING_SIZE / 2}, {}};
  tessel_package::Binding output{"output", "f16", {}, {}};
  for (std::uint64_t tile = 0; tile < busy_tiles; ++tile) {
    const auto logical = static_cast<std::uint16_t>(tile);
    const std::uint32_t physical = topology.physical(logical).value();
    schedule.allocations.push_back(Allocation{ids.weight(layers, tile), logical, WEIGHT_ADDRESS, WEIGHT_SIZE, 0,
                                              tessel_compiler::LIVE_TO_END, AllocationKind::Home{}});
    weights.slices.push_back({physical, WEIGHT_ADDRESS, tile * WEIGHT_SIZE, WEIGHT_SIZE});
    input.slices.push_back({physical, block_base(0) + STAGING_OFFSET, tile * STAGING_SIZE, STAGING_SIZE});
  }

  for (std::uint32_t layer = 0; layer < layers; ++layer) {
    const std::uint64_t exchange_phase = 2 * std::uint64_t{layer};
    const std::uint64_t compute_phase = exchange_phase + 1;
    const std::uint32_t base = block_base(layer);
    const auto kernel = kernel_for(layer, random);

    Phase::Exchange exchange;
    Phase::Compute compute{OpId(layer), {}};
    for (std::uint64_t tile = 0; tile < tiles; ++tile) {
      auto& steps = workload.programs[tile].steps;
      if (!busy(layer, tile)) {
        steps.emplace_back(LoweredTileStep::Exchange{exchange_phase, 0, inactive_row});
        steps.emplace_back(LoweredTileStep::IdleCompute{OpId(layer), compute_phase});
        continue;
      }
      const auto logical = static_cast<std::uint16_t>(tile);
      const std::uint64_t source = (tile + busy_tiles - 1) % busy_tiles;
      const TensorId staged = layer == 0 ? TensorId(0) : ids.output(layer - 1, source);
      const std::uint32_t bytes = STAGING_SIZE - static_cast<std::uint32_t>(random() % 4) * 64;
      if (layer > 0) {
        exchange.transfers.push_back(
            Transfer{static_cast<std::uint16_t>(source), logical, staged, bytes, base + STAGING_OFFSET});
      }

      const TensorId output_tensor = ids.output(layer, tile);
      schedule.allocations.push_back(
          Allocation{output_tensor, logical, base, OUTPUT_SIZE, compute_phase, compute_phase + 2, AllocationKind::Home{}});
      schedule.allocations.push_back(Allocation{ids.alias(layer, tile), logical, base + ALIAS_OFFSET, ALIAS_SIZE,
                                                compute_phase, compute_phase + 1,
                                                AllocationKind::HomeAlias{output_tensor}});
      schedule.allocations.push_back(Allocation{staged, logical, base + STAGING_OFFSET, STAGING_SIZE, exchange_phase,
                                                compute_phase + 1, AllocationKind::ExchangeStaging{exchange_phase}});
      schedule.allocations.push_back(Allocation{ids.scratch(layer, tile), logical, base + SCRATCH_OFFSET, SCRATCH_SIZE,
                                                compute_phase, compute_phase + 1, AllocationKind::Home{}});

      tessel_compiler::Metadata metadata{{"label", fmt::format("layer {} {}", layer, kernel.operation)},
                                         {"layer", std::to_string(layer)}};
      if (layer % 3 == 0) {
        metadata["output_block_row"] = std::to_string(tile / 8);
        metadata["output_block_column"] = std::to_string(tile % 8);
      }
      const std::vector<TensorId> inputs{staged, ids.weight(layers, tile)};
      compute.commands.push_back(KernelCommand{logical, output_tensor, inputs, {64}, kernel, metadata});

      steps.emplace_back(LoweredTileStep::Exchange{exchange_phase, 0, layer > 0 ? active_row : inactive_row});
      steps.emplace_back(LoweredTileStep::Compute{LoweredComputeCommand{
          OpId(layer), compute_phase, output_tensor, inputs, base, {base + STAGING_OFFSET, WEIGHT_ADDRESS}, {64},
          kernel, std::move(metadata)}});
      if (layer + 1 == layers || !busy(layer + 1, tile)) {
        output.slices.push_back({topology.physical(logical).value(), base, output.slices.size() * std::uint64_t{OUTPUT_SIZE},
                                 OUTPUT_SIZE});
      }
    }
    schedule.phases.emplace_back(std::move(exchange));
    schedule.phases.emplace_back(std::move(compute));
  }
  workload.graph.host_weights.push_back(std::move(weights));
  workload.graph.host_inputs.push_back(std::move(input));
  workload.graph.outputs.push_back(std::move(output));
  return workload;
}

namespace {

bool transient_home(const Allocation& allocation) {
  return allocation.kind.is<AllocationKind::Home>() && allocation.live_until != tessel_compiler::LIVE_TO_END &&
         allocation.size > 0;
}

}  // namespace

std::vector<tessel_runtime::ExecutableReservation> relocation_reservations(const Workload& workload,
                                                                           std::uint64_t candidates) {
  const std::uint64_t tiles = workload.graph.schedule.tile_count;
  std::vector<std::uint64_t> transient_homes_in_block_zero(tiles, 0);
  for (const auto& allocation : workload.graph.schedule.allocations) {
    if (transient_home(allocation) && allocation.address >= SLOT_BLOCK_BASE &&
        allocation.address < SLOT_BLOCK_BASE + SLOT_BLOCK_SIZE) {
      ++transient_homes_in_block_zero[allocation.tile];
    }
  }
  std::vector<tessel_runtime::ExecutableReservation> reservations(tiles, tessel_runtime::ExecutableReservation{});
  std::uint64_t reserved = 0;
  for (std::uint64_t tile = 0; tile < tiles && reserved < candidates; ++tile) {
    reservations[tile][0] = {SLOT_BLOCK_BASE, SLOT_BLOCK_BASE + 0x400};
    reserved += transient_homes_in_block_zero[tile];
  }
  return reservations;
}

std::uint64_t relocation_candidates(const Workload& workload,
                                    const std::vector<tessel_runtime::ExecutableReservation>& reservations) {
  std::uint64_t count = 0;
  for (const auto& allocation : workload.graph.schedule.allocations) {
    if (!transient_home(allocation) || allocation.tile >= reservations.size()) continue;
    const std::uint32_t start = allocation.address / SLOT_BLOCK_SIZE * SLOT_BLOCK_SIZE;
    const std::uint64_t end = (std::uint64_t{allocation.address} + allocation.size + SLOT_BLOCK_SIZE - 1) /
                              SLOT_BLOCK_SIZE * SLOT_BLOCK_SIZE;
    for (const auto& reserved : reservations[allocation.tile]) {
      if (!reserved.empty() && start < reserved.end && reserved.start < end) {
        ++count;
        break;
      }
    }
  }
  return count;
}

}  // namespace tessel_workload

// Profiling of the workload.
#include "tessel_runtime/profiling/profile_assembly.hpp"

namespace tessel_workload {
namespace {

void append_u32_le(std::vector<std::uint8_t>& bytes, std::uint32_t value) {
  for (unsigned shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<std::uint8_t>(value >> shift));
}

}  // namespace

WorkloadProfile make_workload_profile(const Workload& workload, tessel_runtime::ProfileGranularity granularity) {
  const auto topology = tessel_exchange::Topology::slate();
  WorkloadProfile profile;
  profile.layout.output_offset = PROFILE_OUTPUT_OFFSET;
  profile.host_result.assign(PROFILE_OUTPUT_OFFSET, 0);
  profile.layout.tiles.reserve(workload.programs.size());
  for (const auto& program : workload.programs) {
    auto steps = tessel_runtime::profile_steps(workload.graph.schedule, program, granularity).steps;
    const bool boundary = program.tile % 2 == 1;
    const std::uint64_t file_offset = profile.host_result.size() - PROFILE_OUTPUT_OFFSET;
    // Step i lasts 100 + 10 (i mod 7) cycles; tiles start at staggered counts.
    std::uint32_t cycle = 1000U + program.tile;
    if (boundary) append_u32_le(profile.host_result, cycle);
    for (std::size_t i = 0; i < steps.size(); ++i) {
      const std::uint32_t end = cycle + 100U + 10U * static_cast<std::uint32_t>(i % 7);
      if (!boundary) append_u32_le(profile.host_result, cycle);
      append_u32_le(profile.host_result, end);
      cycle = end;
    }
    profile.layout.tiles.push_back(tessel_runtime::ProfileTileLayout{
        .physical_tile = topology.physical(program.tile).value(),
        .file_offset = file_offset,
        .steps = std::move(steps),
        .boundary_samples = boundary,
    });
  }
  return profile;
}

}  // namespace tessel_workload
