#include "tessel_runtime/profiling/memory_profile.hpp"

#include <algorithm>
#include <limits>
#include <optional>
#include <span>
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

// The name of `allocation` by the naming rules, in order: its overlapping
// `binding_names`, the name of the first producer of its tensor on its tile
// (`output_name(allocation)`, a pointer to the name or empty), the reader of a
// staged tensor in the compute phase after its staging phase
// (`reader(allocation, phase)`, the first command of the tile in that phase
// reading the tensor, or null), and finally its kind. Each lookup runs only
// when the rules before it did not apply.
template <class OutputName, class Reader>
std::string name_allocation(const Schedule& schedule, const Allocation& allocation,
                            std::span<const std::string> binding_names, OutputName output_name, Reader reader) {
  if (!binding_names.empty()) return fmt::format("{}", fmt::join(binding_names, ", "));
  if (auto name = output_name(allocation)) return std::string(std::move(*name));
  if (const auto* staging = allocation.kind.get_if<AllocationKind::ExchangeStaging>()) {
    const std::uint64_t next = next_phase(staging->phase);
    if (compute_phase(schedule, next) != nullptr) {
      if (const KernelCommand* command = reader(allocation, next)) {
        return fmt::format("input to {}", command_label(*command));
      }
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

bool reads(const KernelCommand& command, tessel_compiler::TensorId tensor) {
  return std::ranges::find(command.inputs, tensor) != command.inputs.end();
}

// A compute command with the phase it runs in.
struct PhaseCommand {
  std::uint64_t phase = 0;
  const KernelCommand* command = nullptr;
};

// The compute commands of one logical tile, for the producer and reader
// lookups of its allocations.
struct TileCommands {
  std::vector<PhaseCommand> commands;           // schedule order, so by ascending phase
  std::vector<const KernelCommand*> producers;  // first command writing each output tensor, by tensor
};

// The commands of tiles 0 .. tile_count - 1; commands of other tiles name no
// listed allocation.
std::vector<TileCommands> commands_by_tile(const Schedule& schedule) {
  std::vector<TileCommands> tiles(schedule.tile_count);
  for (std::uint64_t phase = 0; phase < schedule.phases.size(); ++phase) {
    const auto* compute = compute_phase(schedule, phase);
    if (!compute) continue;
    for (const auto& command : compute->commands) {
      if (command.tile < tiles.size()) tiles[command.tile].commands.push_back(PhaseCommand{phase, &command});
    }
  }
  for (auto& tile : tiles) {
    auto& producers = tile.producers;
    producers.reserve(tile.commands.size());
    for (const auto& entry : tile.commands) producers.push_back(entry.command);
    // Stable, so the first producer of each tensor in schedule order stays first.
    std::stable_sort(producers.begin(), producers.end(),
                     [](const KernelCommand* left, const KernelCommand* right) { return left->output < right->output; });
    producers.erase(std::unique(producers.begin(), producers.end(),
                                [](const KernelCommand* left, const KernelCommand* right) {
                                  return left->output == right->output;
                                }),
                    producers.end());
  }
  return tiles;
}

// `allocation_profile_name` with the lookups served by the allocation's tile.
std::string tile_allocation_name(const Schedule& schedule, const TileCommands& tile, const Allocation& allocation,
                                 std::span<const std::string> binding_names) {
  const auto output_name = [&](const Allocation& named) -> std::optional<std::string> {
    const auto producer = std::ranges::lower_bound(tile.producers, named.tensor, {},
                                                   [](const KernelCommand* command) { return command->output; });
    if (producer == tile.producers.end() || (*producer)->output != named.tensor) return std::nullopt;
    return allocation_command_name(**producer);
  };
  const auto reader = [&](const Allocation& staged, std::uint64_t phase) -> const KernelCommand* {
    auto entry = std::ranges::partition_point(tile.commands, [phase](const PhaseCommand& candidate) {
      return candidate.phase < phase;
    });
    for (; entry != tile.commands.end() && entry->phase == phase; ++entry) {
      if (reads(*entry->command, staged.tensor)) return entry->command;
    }
    return nullptr;
  };
  return name_allocation(schedule, allocation, binding_names, output_name, reader);
}

// An exchange transfer that delivers into a staging buffer.
struct StagingTransfer {
  std::uint64_t phase = 0;  // the exchange phase
  const Transfer* transfer = nullptr;
};

// Where a region of a tile's map comes from, with its sort key. Positions
// number the tile's allocations first, then its staging transfers, so that
// sorting by the whole key orders regions by (address, live_from, live_until)
// and keeps equal keys in that order.
struct RegionOrder {
  std::uint32_t address;
  std::uint64_t live_from;
  std::uint64_t live_until;
  std::size_t position;
  auto operator<=>(const RegionOrder&) const = default;
};

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
  const auto output_name = [&](const Allocation& named) -> const std::string* {
    const auto output = output_names.find(OutputNameKey{.tile = named.tile, .output = named.tensor});
    return output != output_names.end() ? &output->second : nullptr;
  };
  const auto reader = [&](const Allocation& staged, std::uint64_t phase) -> const KernelCommand* {
    const auto& commands = compute_phase(graph.schedule, phase)->commands;
    const auto found = std::ranges::find_if(
        commands, [&](const KernelCommand& command) { return command.tile == staged.tile && reads(command, staged.tensor); });
    return found != commands.end() ? &*found : nullptr;
  };
  return name_allocation(graph.schedule, allocation, binding_names, output_name, reader);
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

  // Allocations of each logical tile in schedule order: those of tile t are
  // listed from allocation_starts[t] up to allocation_starts[t + 1].
  std::vector<std::size_t> allocation_starts(std::size_t{schedule.tile_count} + 1, 0);
  for (const auto& allocation : schedule.allocations) {
    if (allocation.tile < schedule.tile_count) ++allocation_starts[std::size_t{allocation.tile} + 1];
  }
  for (std::size_t tile = 0; tile < schedule.tile_count; ++tile) allocation_starts[tile + 1] += allocation_starts[tile];
  std::vector<const Allocation*> allocations(allocation_starts.back());
  {
    std::vector<std::size_t> next(allocation_starts.begin(), allocation_starts.end() - 1);
    for (const auto& allocation : schedule.allocations) {
      if (allocation.tile < schedule.tile_count) allocations[next[allocation.tile]++] = &allocation;
    }
  }
  // Staging transfers into each logical tile, by phase and transfer order.
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
  const auto commands = commands_by_tile(schedule);

  MemoryProfile profile{
      .memory_base = tessel_package::TILE_MEMORY_BASE,
      .memory_size = tessel_package::TILE_MEMORY_SIZE,
      .tiles = {},
  };
  profile.tiles.reserve(schedule.tile_count);
  std::vector<RegionOrder> order;  // reused by every tile
  for (std::uint16_t tile = 0; tile < schedule.tile_count; ++tile) {
    const std::uint16_t physical = physical_tiles[tile];
    const auto& tile_bindings = bindings[physical];
    const std::span tile_allocations(allocations.begin() + static_cast<std::ptrdiff_t>(allocation_starts[tile]),
                                     allocations.begin() + static_cast<std::ptrdiff_t>(allocation_starts[tile + 1]));
    const auto& tile_staging = staging[tile];

    // Sort the small keys first, then build every region once, in its place.
    order.clear();
    for (std::size_t i = 0; i < tile_allocations.size(); ++i) {
      const auto& allocation = *tile_allocations[i];
      order.push_back(RegionOrder{allocation.address, allocation.live_from, allocation.live_until, i});
    }
    for (std::size_t i = 0; i < tile_staging.size(); ++i) {
      const auto phase = tile_staging[i].phase;
      // The phase indexes the phase list, so phase + 1 stays below 2^64 - 1.
      order.push_back(RegionOrder{*tile_staging[i].transfer->staging_address, phase, phase + 1,
                                  tile_allocations.size() + i});
    }
    if (!std::ranges::is_sorted(order)) std::ranges::sort(order);

    std::vector<MemoryRegion> regions;
    regions.reserve(order.size());
    for (const auto& source : order) {
      if (source.position < tile_allocations.size()) {
        const auto& allocation = *tile_allocations[source.position];
        const std::uint32_t end = tessel::saturating_add(allocation.address, allocation.size);
        const auto names = overlapping_binding_names(tile_bindings, allocation.address, end);
        regions.push_back(MemoryRegion{
            .address = allocation.address,
            .size = allocation.size,
            .category = allocation_category(allocation.kind),
            .name = tile_allocation_name(schedule, commands[tile], allocation, names),
            .tensor = allocation.tensor.index,
            .live_from = allocation.live_from,
            .live_until = allocation.live_until,
        });
      } else {
        const auto* transfer = tile_staging[source.position - tile_allocations.size()].transfer;
        regions.push_back(MemoryRegion{
            .address = source.address,
            .size = transfer->bytes,
            .category = "exchange_staging",
            .name = fmt::format("exchange staging tensor {}", transfer->tensor.index),
            .tensor = transfer->tensor.index,
            .live_from = source.live_from,
            .live_until = source.live_until,
        });
      }
    }
    profile.tiles.push_back(TileMemory{.logical_tile = tile, .physical_tile = physical, .regions = std::move(regions)});
  }
  return profile;
}

}  // namespace tessel_runtime
