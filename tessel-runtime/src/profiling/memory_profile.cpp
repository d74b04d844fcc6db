#include "tessel_runtime/profiling/memory_profile.hpp"

#include <algorithm>
#include <limits>
#include <tuple>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "schedule_phases.hpp"
#include "tessel/integer.hpp"
#include "tessel/text.hpp"
#include "tessel_exchange/topology.hpp"
#include "tessel_package/tile_memory.hpp"

namespace tessel_runtime {

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::KernelCommand;
using tessel_compiler::Schedule;
using tessel_compiler::Transfer;
using tessel_package::memory_profile::MemoryProfile;
using tessel_package::memory_profile::MemoryRegion;
using tessel_package::memory_profile::TileMemory;

namespace {

constexpr std::uint32_t ADDRESS_LIMIT = std::numeric_limits<std::uint32_t>::max();

// The bytes [start, end) of one binding slice.
struct BindingInterval {
  std::uint32_t start = 0;
  std::uint32_t end = 0;              // saturated at 2^32 - 1
  const std::string* name = nullptr;  // binding name, owned by the graph
};

// The binding slices of one physical tile, sorted by (start, end), with the
// running maximum of their ends.
struct TileBindings {
  std::vector<BindingInterval> intervals;
  std::vector<std::uint32_t> prefix_end;  // entry k: largest end among intervals 0 .. k
};

tessel::Result<std::vector<TileBindings>> binding_intervals(const ExecutableGraph& graph,
                                                            const tessel_exchange::Topology& topology) {
  std::vector<bool> present;
  for (const std::uint16_t physical : topology.logical_to_physical) {
    if (physical >= present.size()) present.resize(std::size_t{physical} + 1, false);
    present[physical] = true;
  }
  std::vector<TileBindings> tiles(present.size());
  for (const auto* bindings : {&graph.host_weights, &graph.host_inputs, &graph.host_outputs, &graph.outputs}) {
    for (const auto& binding : *bindings) {
      for (const auto& slice : binding.slices) {
        if (slice.tile >= present.size() || !present[slice.tile]) {
          return tessel::fail("host binding references a physical tile outside the topology");
        }
        const std::uint32_t size = tessel::try_narrow<std::uint32_t>(slice.size).value_or(ADDRESS_LIMIT);
        tiles[slice.tile].intervals.push_back(BindingInterval{
            .start = slice.tile_address,
            .end = tessel::saturating_add(slice.tile_address, size),
            .name = &binding.name,
        });
      }
    }
  }
  for (auto& tile : tiles) {
    std::ranges::sort(tile.intervals, [](const BindingInterval& left, const BindingInterval& right) {
      return std::tie(left.start, left.end, *left.name) < std::tie(right.start, right.end, *right.name);
    });
    tile.prefix_end.reserve(tile.intervals.size());
    std::uint32_t reach = 0;
    for (const auto& interval : tile.intervals) {
      reach = std::max(reach, interval.end);
      tile.prefix_end.push_back(reach);
    }
  }
  return tiles;
}

// Names of the bindings with a slice overlapping [address, end), ascending and
// each once. Walks back from the last slice starting below `end` and stops at
// the first whose prefix end cannot reach `address`.
std::vector<std::string> overlapping_binding_names(const TileBindings& tile, std::uint32_t address, std::uint32_t end) {
  const auto below_end = std::ranges::partition_point(
      tile.intervals, [end](const BindingInterval& interval) { return interval.start < end; });
  std::vector<const std::string*> found;
  for (auto k = static_cast<std::size_t>(below_end - tile.intervals.begin()); k > 0; --k) {
    if (tile.prefix_end[k - 1] <= address) break;
    const auto& interval = tile.intervals[k - 1];
    if (interval.end > address) found.push_back(interval.name);
  }
  std::ranges::sort(found, [](const std::string* left, const std::string* right) { return *left < *right; });
  found.erase(std::unique(found.begin(), found.end(),
                          [](const std::string* left, const std::string* right) { return *left == *right; }),
              found.end());
  std::vector<std::string> names;
  names.reserve(found.size());
  for (const auto* name : found) names.push_back(*name);
  return names;
}

std::string allocation_category(const AllocationKind& kind) {
  return std::visit(tessel::Overloaded{
                        [](const AllocationKind::Home&) { return std::string("home"); },
                        [](const AllocationKind::HomeAlias&) { return std::string("home_alias"); },
                        [](const AllocationKind::ExchangeStaging&) { return std::string("exchange_staging"); },
                    },
                    kind.value);
}

// The label of a command: its "label" metadata, else its kernel name.
const std::string& command_label(const KernelCommand& command) {
  const auto label = command.metadata.find("label");
  return label != command.metadata.end() ? label->second : command.specialization.operation;
}

// An exchange transfer that delivers into a staging buffer.
struct StagingTransfer {
  std::uint64_t phase = 0;  // the exchange phase
  const Transfer* transfer = nullptr;
};

// `regions` ordered by (address, live_from, live_until), equal keys keeping
// their order. Sorts small keys and moves each region once.
std::vector<MemoryRegion> sorted_regions(std::vector<MemoryRegion> regions) {
  struct Key {
    std::uint32_t address;
    std::uint64_t live_from;
    std::uint64_t live_until;
    std::size_t position;  // makes the order total, hence stable
    auto operator<=>(const Key&) const = default;
  };
  std::vector<Key> keys;
  keys.reserve(regions.size());
  for (std::size_t i = 0; i < regions.size(); ++i) {
    keys.push_back(Key{regions[i].address, regions[i].live_from, regions[i].live_until, i});
  }
  std::ranges::sort(keys);
  std::vector<MemoryRegion> sorted;
  sorted.reserve(regions.size());
  for (const auto& key : keys) sorted.push_back(std::move(regions[key.position]));
  return sorted;
}

}  // namespace

OutputNames allocation_output_names(const Schedule& schedule) {
  OutputNames names;
  for (const auto& phase : schedule.phases) {
    const auto* compute = phase.get_if<tessel_compiler::Phase::Compute>();
    if (!compute) continue;
    for (const auto& command : compute->commands) {
      const OutputNameKey key{.tile = command.tile, .output = command.output};
      if (!names.contains(key)) names.emplace(key, allocation_command_name(command));
    }
  }
  return names;
}

std::string allocation_command_name(const KernelCommand& command) {
  const auto& metadata = command.metadata;
  if (command.specialization.operation.starts_with("gemm_")) {
    const auto row = metadata.find("output_block_row");
    const auto column = metadata.find("output_block_column");
    if (row != metadata.end() && column != metadata.end()) {
      return fmt::format("GEMM accumulator block ({}, {})", row->second, column->second);
    }
  }
  return fmt::format("output of {}", command_label(command));
}

std::string allocation_profile_name(const ExecutableGraph& graph, const Allocation& allocation,
                                    std::span<const std::string> binding_names, const OutputNames& output_names) {
  if (!binding_names.empty()) return fmt::format("{}", fmt::join(binding_names, ", "));
  if (const auto output = output_names.find(OutputNameKey{.tile = allocation.tile, .output = allocation.tensor});
      output != output_names.end()) {
    return output->second;
  }
  if (const auto* staging = allocation.kind.get_if<AllocationKind::ExchangeStaging>()) {
    if (const auto* next = compute_phase(graph.schedule, next_phase(staging->phase))) {
      const auto reader = std::ranges::find_if(next->commands, [&](const KernelCommand& command) {
        return command.tile == allocation.tile &&
               std::ranges::find(command.inputs, allocation.tensor) != command.inputs.end();
      });
      if (reader != next->commands.end()) return fmt::format("input to {}", command_label(*reader));
    }
  }
  const std::uint64_t tensor = allocation.tensor.index;
  return std::visit(tessel::Overloaded{
                        [&](const AllocationKind::Home&) { return fmt::format("tensor {} home", tensor); },
                        [&](const AllocationKind::HomeAlias& alias) {
                          return fmt::format("tensor {} alias of {}", tensor, alias.source.index);
                        },
                        [&](const AllocationKind::ExchangeStaging& staging) {
                          return fmt::format("tensor {} staging for phase {}", tensor, staging.phase);
                        },
                    },
                    allocation.kind.value);
}

tessel::Result<MemoryProfile> allocator_memory_profile(const ExecutableGraph& graph) {
  const auto& schedule = graph.schedule;
  const auto topology = tessel_exchange::Topology::slate();
  TESSEL_TRY(bindings, binding_intervals(graph, topology));

  std::vector<std::uint16_t> physical_tiles;
  physical_tiles.reserve(schedule.tile_count);
  for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile) {
    const auto physical = topology.physical(tile);
    if (!physical) return tessel::unexpected(tessel::to_error(physical.error()));
    physical_tiles.push_back(*physical);
  }

  // Allocations and staging transfers of each logical tile, in schedule order.
  std::vector<std::vector<const Allocation*>> allocations(schedule.tile_count);
  for (const auto& allocation : schedule.allocations) {
    if (allocation.tile < schedule.tile_count) allocations[allocation.tile].push_back(&allocation);
  }
  std::vector<std::vector<StagingTransfer>> staging(schedule.tile_count);
  for (std::uint64_t phase = 0; phase < schedule.phases.size(); ++phase) {
    const auto* exchange = exchange_phase(schedule, phase);
    if (!exchange) continue;
    for (const auto& transfer : exchange->transfers) {
      if (transfer.staging_address && transfer.destination_tile < schedule.tile_count) {
        staging[transfer.destination_tile].push_back(StagingTransfer{.phase = phase, .transfer = &transfer});
      }
    }
  }
  const OutputNames output_names = allocation_output_names(schedule);

  MemoryProfile profile{
      .memory_base = tessel_package::TILE_MEMORY_BASE,
      .memory_size = tessel_package::TILE_MEMORY_SIZE,
      .tiles = {},
  };
  profile.tiles.reserve(schedule.tile_count);
  for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile) {
    const std::uint16_t physical = physical_tiles[tile];
    const auto& tile_bindings = bindings[physical];
    std::vector<MemoryRegion> regions;
    regions.reserve(allocations[tile].size() + staging[tile].size());
    for (const auto* allocation : allocations[tile]) {
      const std::uint32_t end = tessel::saturating_add(allocation->address, allocation->size);
      const auto names = overlapping_binding_names(tile_bindings, allocation->address, end);
      regions.push_back(MemoryRegion{
          .address = allocation->address,
          .size = allocation->size,
          .category = allocation_category(allocation->kind),
          .name = allocation_profile_name(graph, *allocation, names, output_names),
          .tensor = allocation->tensor.index,
          .live_from = allocation->live_from,
          .live_until = allocation->live_until,
      });
    }
    for (const auto& [phase, transfer] : staging[tile]) {
      regions.push_back(MemoryRegion{
          .address = *transfer->staging_address,
          .size = transfer->bytes,
          .category = "exchange_staging",
          .name = fmt::format("exchange staging tensor {}", transfer->tensor.index),
          .tensor = transfer->tensor.index,
          .live_from = phase,
          .live_until = phase + 1,  // phase indexes the phase list, so it is below 2^64 - 1
      });
    }
    profile.tiles.push_back(
        TileMemory{.logical_tile = tile, .physical_tile = physical, .regions = sorted_regions(std::move(regions))});
  }
  return profile;
}

}  // namespace tessel_runtime
