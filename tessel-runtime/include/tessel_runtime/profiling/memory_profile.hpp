#pragma once
// Allocator memory profile: the memory map of every logical tile of an
// executable graph, built from the schedule's allocations and the staging
// buffers that exchange phases deliver into.
//
// For each logical tile 0 .. tile_count - 1, in order, the regions are:
//   1. one per allocation on the tile, in schedule order, named after the host
//      bindings that overlap it on the same physical tile, else after the
//      command producing its tensor, else (staging) the command reading it in
//      the next phase, else after the tensor itself;
//   2. one per exchange transfer into the tile with a staging address, by
//      phase and transfer order, named "exchange staging tensor {}" and live
//      for that phase alone;
// then stably sorted by (address, live_from, live_until). Allocations and
// transfers on tiles at or above tile_count are left out.
//
// Fails, returning no partial profile, with "host binding references a
// physical tile outside the topology" for a binding slice on a physical tile
// the slate topology does not have, and with the topology's "logical tile {}
// is out of range" when tile_count exceeds its 1472 tiles. Allocations,
// transfers and commands are grouped by tile once, and each allocation is
// named from its own tile's commands: the work is O(n log n) in the number of
// allocations, transfers, commands and binding slices, not one scan per tile
// or per staging buffer.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <unordered_map>

#include "tessel/error.hpp"
#include "tessel_compiler/ids.hpp"
#include "tessel_compiler/schedule.hpp"
#include "tessel_package/memory_profile.hpp"
#include "tessel_runtime/graph.hpp"

namespace tessel_runtime {

// A tensor as produced on one logical tile.
struct OutputNameKey {
  std::uint16_t tile = 0;            // logical tile of the producing command
  tessel_compiler::TensorId output;  // tensor it writes

  bool operator==(const OutputNameKey&) const = default;
};

struct OutputNameKeyHash {
  std::size_t operator()(const OutputNameKey& key) const noexcept {
    return std::hash<std::uint64_t>{}(key.output.index) * 31U + key.tile;
  }
};

// The name of each (tile, output tensor) after the first command of the
// schedule's compute phases that produces it; only looked up, never iterated.
// Serves `allocation_profile_name`; `allocator_memory_profile` gives the same
// names from per-tile tables.
using OutputNames = std::unordered_map<OutputNameKey, std::string, OutputNameKeyHash>;

[[nodiscard]] OutputNames allocation_output_names(const tessel_compiler::Schedule& schedule);

[[nodiscard]] tessel::Result<tessel_package::memory_profile::MemoryProfile> allocator_memory_profile(
    const ExecutableGraph& graph);

// "GEMM accumulator block ({row}, {column})" for a kernel whose name begins
// "gemm_" and whose metadata holds "output_block_row" and
// "output_block_column"; otherwise "output of {}" with the command's "label",
// or its kernel name when it has none.
[[nodiscard]] std::string allocation_command_name(const tessel_compiler::KernelCommand& command);

// The region name of `allocation`, first rule that applies: the overlapping
// `binding_names` joined with ", "; the output name of (tile, tensor); for
// staging of phase p, "input to {}" after the first command of compute phase
// p + 1 on the same tile reading the tensor; otherwise "tensor {} home",
// "tensor {} alias of {}" or "tensor {} staging for phase {}".
[[nodiscard]] std::string allocation_profile_name(const ExecutableGraph& graph,
                                                  const tessel_compiler::Allocation& allocation,
                                                  std::span<const std::string> binding_names,
                                                  const OutputNames& output_names);

}  // namespace tessel_runtime
