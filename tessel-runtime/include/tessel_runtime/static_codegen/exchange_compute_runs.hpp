#pragma once
// Table-driven runs of repeated exchange/compute pairs.
//
// `plan_exchange_compute_runs` scans one tile program for stretches of at
// least two (exchange epoch, kernel call) pairs in which every call has the
// call interface of the first one (same kernel, output address and two input
// addresses, no arguments). Such a stretch runs as a loop over a table with
// one word per iteration: the iteration's exchange plan address (a multiple
// of 4) with bit 0 set when the tile is active in that epoch.
//   - Scanning goes front to back and resumes right after each run; calls
//     that take arguments or have other than two inputs stay unrolled.
//   - Tables are placed one after another from `cursor`, each aligned up to
//     a multiple of 4; the end cursor is returned.
//   - With compaction disabled nothing is placed and the cursor is returned
//     unchanged.
// An error abandons the whole call.

#include <cstdint>
#include <span>
#include <vector>

#include "tessel/error.hpp"
#include "tessel_compiler/program.hpp"

namespace tessel_runtime::static_codegen {

struct ExchangeComputeRun {
  std::uint64_t start_step = 0;              // index of the run's first (exchange) step
  std::uint64_t iterations = 0;              // exchange/compute pairs, at least 2
  std::uint32_t table_address = 0;           // byte address of the table, a multiple of 4
  std::vector<std::uint32_t> table_entries;  // per iteration: plan address | active bit

  bool operator==(const ExchangeComputeRun&) const = default;
};

struct ExchangeComputeRuns {
  std::vector<ExchangeComputeRun> runs;  // increasing `start_step`
  std::uint32_t cursor = 0;              // first byte after the last table
};

// True when both commands have equal kernel name, output address, input
// addresses and arguments.
[[nodiscard]] bool same_compute_abi(const tessel_compiler::LoweredComputeCommand& left,
                                    const tessel_compiler::LoweredComputeCommand& right);

// `plan_addresses` holds one exchange plan address per `Exchange` step of
// `program`, in program order.
[[nodiscard]] tessel::Result<ExchangeComputeRuns> plan_exchange_compute_runs(
    const tessel_compiler::LoweredTileProgram& program, std::span<const std::uint32_t> plan_addresses,
    std::uint32_t cursor, bool enabled);

}  // namespace tessel_runtime::static_codegen
