// allocator_memory_profile on small random graphs, against a straightforward
// model of the memory map: for every logical tile below the tile count, one
// region per allocation of the tile (fields copied, named after the bindings
// found by a brute-force overlap search over every slice, else the first
// producer, else the staging reader, else the kind) and one per staging
// transfer into the tile, stably sorted by (address, live_from, live_until)
// with an insertion sort. Graphs with bindings on missing physical tiles or
// more tiles than the board must fail with their messages.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <fmt/format.h>

#include "tessel_exchange/topology.hpp"
#include "tessel_runtime/profiling/memory_profile.hpp"

namespace {

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::KernelCommand;
using tessel_compiler::Phase;
using tessel_compiler::TensorId;
using tessel_compiler::Transfer;
using tessel_package::memory_profile::MemoryRegion;
using tessel_runtime::ExecutableGraph;

constexpr std::uint64_t U32_MAX = std::numeric_limits<std::uint32_t>::max();
constexpr std::uint16_t BOARD_TILES = tessel_exchange::SLATE_TILE_COUNT;

void require(bool condition) {
  if (!condition) std::abort();
}

// Addresses from a small window, near the bottom of tile memory or at the top
// of the 32-bit range where ends saturate.
std::uint32_t address(FuzzedDataProvider& input) {
  const std::uint32_t base = input.ConsumeIntegralInRange(0, 7) == 0 ? 0xFFFF'FF00U : 0x60000U;
  return base + input.ConsumeIntegralInRange<std::uint32_t>(0, 0xFF);
}

std::uint16_t tile(FuzzedDataProvider& input, std::uint16_t tile_count) {
  return input.ConsumeIntegralInRange<std::uint16_t>(0, static_cast<std::uint16_t>(std::min<int>(tile_count, 8) + 1));
}

KernelCommand command(FuzzedDataProvider& input, std::uint16_t tile_count) {
  static const std::vector<std::string> OPERATIONS{"gemm_f16_accumulate", "add_f16", "gemm_", "layer_norm"};
  KernelCommand command;
  command.tile = tile(input, tile_count);
  command.output = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 7));
  const int inputs = input.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < inputs; ++i) command.inputs.emplace_back(input.ConsumeIntegralInRange(0, 7));
  command.specialization.operation = OPERATIONS[input.ConsumeIntegralInRange<std::size_t>(0, OPERATIONS.size() - 1)];
  if (input.ConsumeBool()) command.metadata["label"] = "l" + std::to_string(input.ConsumeIntegralInRange(0, 3));
  if (input.ConsumeBool()) command.metadata["output_block_row"] = std::to_string(input.ConsumeIntegralInRange(0, 3));
  if (input.ConsumeBool()) command.metadata["output_block_column"] = "c";
  return command;
}

ExecutableGraph random_graph(FuzzedDataProvider& input) {
  ExecutableGraph graph;
  auto& schedule = graph.schedule;
  schedule.tile_count = input.ConsumeIntegralInRange(0, 15) == 0
                            ? static_cast<std::uint16_t>(BOARD_TILES - 1 + input.ConsumeIntegralInRange(0, 3))
                            : input.ConsumeIntegralInRange<std::uint16_t>(0, 6);
  const int phases = input.ConsumeIntegralInRange(0, 6);
  for (int p = 0; p < phases; ++p) {
    if (input.ConsumeBool()) {
      Phase::Exchange exchange;
      const int transfers = input.ConsumeIntegralInRange(0, 4);
      for (int i = 0; i < transfers; ++i) {
        Transfer transfer{.source_tile = tile(input, schedule.tile_count),
                          .destination_tile = tile(input, schedule.tile_count),
                          .tensor = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 7)),
                          .bytes = input.ConsumeIntegralInRange<std::uint32_t>(0, 64),
                          .staging_address = std::nullopt};
        if (input.ConsumeBool()) transfer.staging_address = address(input);
        exchange.transfers.push_back(transfer);
      }
      schedule.phases.emplace_back(std::move(exchange));
    } else {
      Phase::Compute compute{tessel_compiler::OpId(static_cast<std::uint64_t>(p)), {}};
      const int commands = input.ConsumeIntegralInRange(0, 4);
      for (int i = 0; i < commands; ++i) compute.commands.push_back(command(input, schedule.tile_count));
      schedule.phases.emplace_back(std::move(compute));
    }
  }
  const int allocations = input.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < allocations; ++i) {
    Allocation allocation;
    allocation.tensor = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 7));
    allocation.tile = tile(input, schedule.tile_count);
    allocation.address = address(input);
    allocation.size = input.ConsumeIntegralInRange(0, 15) == 0 ? input.ConsumeIntegral<std::uint32_t>()
                                                               : input.ConsumeIntegralInRange<std::uint32_t>(0, 64);
    allocation.live_from = input.ConsumeIntegralInRange<std::uint64_t>(0, 3);
    allocation.live_until = input.ConsumeBool() ? tessel_compiler::LIVE_TO_END
                                                : input.ConsumeIntegralInRange<std::uint64_t>(0, 4);
    switch (input.ConsumeIntegralInRange(0, 2)) {
      case 0: allocation.kind = AllocationKind::Home{}; break;
      case 1: allocation.kind = AllocationKind::HomeAlias{TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 7))}; break;
      default:
        allocation.kind = AllocationKind::ExchangeStaging{input.ConsumeIntegralInRange(0, 15) == 0
                                                              ? std::numeric_limits<std::uint64_t>::max()
                                                              : input.ConsumeIntegralInRange<std::uint64_t>(0, 6)};
    }
    schedule.allocations.push_back(allocation);
  }
  static const std::vector<std::string> NAMES{"w", "in", "out", "a, b", ""};
  const auto topology = tessel_exchange::Topology::slate();
  const int bindings = input.ConsumeIntegralInRange(0, 5);
  for (int b = 0; b < bindings; ++b) {
    auto* list = std::vector{&graph.host_weights, &graph.host_inputs, &graph.host_outputs,
                             &graph.outputs}[input.ConsumeIntegralInRange<std::size_t>(0, 3)];
    auto& binding = list->emplace_back();
    binding.name = NAMES[input.ConsumeIntegralInRange<std::size_t>(0, NAMES.size() - 1)];
    const int slices = input.ConsumeIntegralInRange(0, 4);
    for (int s = 0; s < slices; ++s) {
      tessel_package::RegionSlice slice;
      const auto logical = static_cast<std::uint16_t>(input.ConsumeIntegralInRange(0, 7));
      slice.tile = input.ConsumeIntegralInRange(0, 31) == 0 ? BOARD_TILES + input.ConsumeIntegral<std::uint16_t>()
                                                             : topology.physical(logical).value();
      slice.tile_address = address(input);
      slice.size = input.ConsumeIntegralInRange(0, 15) == 0 ? input.ConsumeIntegral<std::uint64_t>()
                                                            : input.ConsumeIntegralInRange<std::uint64_t>(0, 64);
      binding.slices.push_back(slice);
    }
  }
  return graph;
}

std::uint32_t saturated_end(std::uint64_t start, std::uint64_t size) {
  return static_cast<std::uint32_t>(std::min(start + std::min(size, U32_MAX), U32_MAX));
}

std::string label(const KernelCommand& command) {
  const auto found = command.metadata.find("label");
  return found != command.metadata.end() ? found->second : command.specialization.operation;
}

std::string expected_name(const ExecutableGraph& graph, const Allocation& allocation, std::uint16_t physical) {
  const std::uint32_t end = saturated_end(allocation.address, allocation.size);
  std::set<std::string> names;
  for (const auto* list : {&graph.host_weights, &graph.host_inputs, &graph.host_outputs, &graph.outputs}) {
    for (const auto& binding : *list) {
      for (const auto& slice : binding.slices) {
        if (slice.tile == physical && slice.tile_address < end &&
            saturated_end(slice.tile_address, slice.size) > allocation.address) {
          names.insert(binding.name);
        }
      }
    }
  }
  if (!names.empty()) return fmt::format("{}", fmt::join(names, ", "));

  const auto& phases = graph.schedule.phases;
  for (const auto& phase : phases) {
    const auto* compute = phase.get_if<Phase::Compute>();
    if (!compute) continue;
    for (const auto& command : compute->commands) {
      if (command.tile != allocation.tile || command.output != allocation.tensor) continue;
      const auto& metadata = command.metadata;
      if (command.specialization.operation.rfind("gemm_", 0) == 0 && metadata.contains("output_block_row") &&
          metadata.contains("output_block_column")) {
        return fmt::format("GEMM accumulator block ({}, {})", metadata.at("output_block_row"),
                           metadata.at("output_block_column"));
      }
      return "output of " + label(command);
    }
  }
  const auto tensor = allocation.tensor.index;
  if (const auto* staging = allocation.kind.get_if<AllocationKind::ExchangeStaging>()) {
    const std::uint64_t next = staging->phase + 1;
    if (staging->phase < phases.size() && next < phases.size()) {
      if (const auto* compute = phases[next].get_if<Phase::Compute>()) {
        for (const auto& command : compute->commands) {
          if (command.tile == allocation.tile &&
              std::find(command.inputs.begin(), command.inputs.end(), allocation.tensor) != command.inputs.end()) {
            return "input to " + label(command);
          }
        }
      }
    }
    return fmt::format("tensor {} staging for phase {}", tensor, staging->phase);
  }
  if (const auto* alias = allocation.kind.get_if<AllocationKind::HomeAlias>()) {
    return fmt::format("tensor {} alias of {}", tensor, alias->source.index);
  }
  return fmt::format("tensor {} home", tensor);
}

std::string category(const AllocationKind& kind) {
  if (kind.is<AllocationKind::Home>()) return "home";
  if (kind.is<AllocationKind::HomeAlias>()) return "home_alias";
  return "exchange_staging";
}

// Insertion sort: moves a region only past regions with a larger key, so
// equal keys keep their order.
void stable_insertion_sort(std::vector<MemoryRegion>& regions) {
  const auto key = [](const MemoryRegion& region) {
    return std::tuple(region.address, region.live_from, region.live_until);
  };
  for (std::size_t i = 1; i < regions.size(); ++i) {
    for (std::size_t j = i; j > 0 && key(regions[j]) < key(regions[j - 1]); --j) {
      std::swap(regions[j], regions[j - 1]);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const ExecutableGraph graph = random_graph(input);
  const auto& schedule = graph.schedule;
  const auto profile = tessel_runtime::allocator_memory_profile(graph);

  bool stray_slice = false;
  for (const auto* list : {&graph.host_weights, &graph.host_inputs, &graph.host_outputs, &graph.outputs}) {
    for (const auto& binding : *list) {
      for (const auto& slice : binding.slices) stray_slice = stray_slice || slice.tile >= BOARD_TILES;
    }
  }
  if (stray_slice) {
    require(!profile && profile.error().message == "host binding references a physical tile outside the topology");
    return 0;
  }
  if (schedule.tile_count > BOARD_TILES) {
    require(!profile && profile.error().message == fmt::format("logical tile {} is out of range", BOARD_TILES));
    return 0;
  }

  require(profile.has_value());
  require(profile->memory_base == 0x4C000 && profile->memory_size == 0x9C000);
  require(profile->tiles.size() == schedule.tile_count);
  for (std::uint16_t t = 0; t < schedule.tile_count; ++t) {
    const auto& memory = profile->tiles[t];
    const std::uint16_t physical = tessel_exchange::slate_logical_to_physical(t);
    require(memory.logical_tile == t && memory.physical_tile == physical);

    std::vector<MemoryRegion> expected;
    for (const auto& allocation : schedule.allocations) {
      if (allocation.tile != t) continue;
      expected.push_back(MemoryRegion{.address = allocation.address,
                                      .size = allocation.size,
                                      .category = category(allocation.kind),
                                      .name = expected_name(graph, allocation, physical),
                                      .tensor = allocation.tensor.index,
                                      .live_from = allocation.live_from,
                                      .live_until = allocation.live_until});
    }
    for (std::uint64_t p = 0; p < schedule.phases.size(); ++p) {
      const auto* exchange = schedule.phases[p].get_if<Phase::Exchange>();
      if (!exchange) continue;
      for (const auto& transfer : exchange->transfers) {
        if (transfer.destination_tile != t || !transfer.staging_address) continue;
        expected.push_back(MemoryRegion{.address = *transfer.staging_address,
                                        .size = transfer.bytes,
                                        .category = "exchange_staging",
                                        .name = fmt::format("exchange staging tensor {}", transfer.tensor.index),
                                        .tensor = transfer.tensor.index,
                                        .live_from = p,
                                        .live_until = p + 1});
      }
    }
    stable_insertion_sort(expected);
    require(memory.regions == expected);
  }
  return 0;
}
