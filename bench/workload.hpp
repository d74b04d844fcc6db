#pragma once
// A deterministic whole-machine case shaped like a vision-encoder layer
// stack, for benchmarks and scale tests.
//
// The case is sized by one parameter, the number of allocations. Work is cut
// into slots, one per (layer, tile); slot s runs on tile s mod tile_count in
// layer s / tile_count, so small cases use the first tiles of the first layer
// and large ones stack many layers on all 1472 tiles. Each layer is an
// exchange phase (every busy tile receives its neighbour's previous output
// into a staging buffer) followed by a compute phase (a GEMM block, a layer
// norm or an element-wise add per busy tile, in rotation).
//
// Every slot allocates, in a block of tile memory that rotates over three
// 16 KiB elements at 0x60000 so that neighbouring layers never share bytes:
//   - the layer output (home, 4 KiB, live from the compute phase until the
//     next exchange has sent it), with an alias inside it;
//   - a staging buffer for the received tensor (1 KiB, live over the layer);
//   - a scratch tensor (home, 2 KiB, live over the compute phase).
// Every busy tile also holds one permanent weight tensor at 0x70000. The
// memory plan is valid by construction.

#include <cstdint>
#include <vector>

#include "tessel/range.hpp"
#include "tessel_compiler/program.hpp"
#include "tessel_runtime/graph.hpp"
#include "tessel_runtime/placement/relocation.hpp"

namespace tessel_workload {

struct WorkloadOptions {
  std::uint64_t allocations = 1000;  // approximate number of allocations wanted
  std::uint16_t tile_count = 1472;   // logical tiles of the machine
  std::uint64_t seed = 1;            // varies kernel shapes and transfer sizes
};

struct Workload {
  tessel_runtime::ExecutableGraph graph;                  // schedule, bindings
  std::vector<tessel_compiler::LoweredTileProgram> programs;  // one per tile, logical order
  std::uint32_t layers = 0;                               // (exchange, compute) phase pairs
};

inline constexpr std::uint32_t SLOT_BLOCK_BASE = 0x60000;  // first of the three rotating blocks
inline constexpr std::uint32_t SLOT_BLOCK_SIZE = 0x4000;   // one memory element per block
inline constexpr std::uint32_t WEIGHT_ADDRESS = 0x70000;   // permanent weights
inline constexpr std::uint32_t ALLOCATIONS_PER_SLOT = 4;

[[nodiscard]] Workload make_workload(const WorkloadOptions& options);

// Measured-executable reservations for transient relocation, one per tile:
// the first tiles reserve the start of their first block until at least
// `candidates` transient homes lie in reserved memory elements (each such
// tile holds every first-block home of its layers, so the count is rounded
// up to whole tiles); the other tiles reserve nothing.
[[nodiscard]] std::vector<tessel_runtime::ExecutableReservation> relocation_reservations(const Workload& workload,
                                                                                       std::uint64_t candidates);

// The number of allocations that relocation moves with `reservations`.
[[nodiscard]] std::uint64_t relocation_candidates(const Workload& workload,
                                                  const std::vector<tessel_runtime::ExecutableReservation>& reservations);

}  // namespace tessel_workload

// Profiling of the workload: the profile layout of every tile program and a
// host result for it.
#include "tessel_runtime/profiling/profile_layout.hpp"
#include "tessel_runtime/profiling/profile_records.hpp"

namespace tessel_workload {

inline constexpr std::uint64_t PROFILE_OUTPUT_OFFSET = 256;  // bytes of other results before the profile area

struct WorkloadProfile {
  tessel_runtime::ProfileLayout layout;   // one tile per program, logical order
  std::vector<std::uint8_t> host_result;  // PROFILE_OUTPUT_OFFSET bytes, then every tile's samples
};

// The steps of each tile program at `granularity` (via `profile_steps`), laid
// out tile after tile from PROFILE_OUTPUT_OFFSET: even logical tiles with
// paired samples, odd ones with boundary samples. The host result holds a
// rising cycle counter per tile, so every decoded step ends after it starts.
[[nodiscard]] WorkloadProfile make_workload_profile(const Workload& workload,
                                                    tessel_runtime::ProfileGranularity granularity);

}  // namespace tessel_workload
