#pragma once
// Profile assembly: divides one tile program into profile steps at a chosen
// granularity and records where in the lowered program each of them ends.
//
// `profile_steps` returns the profile steps (each `local_index` is its
// position) and one `ProfileBoundary` per lowered step:
//   - Graph: no steps, every flag false;
//   - Step: each exchange epoch gives a Synchronization and a full Exchange
//     step (both flags of its lowered step set); each compute or idle lowered
//     step gives one step (`after_step`);
//   - Phase: runs of adjacent lowered steps of one phase are taken together;
//     an exchange run gives a Synchronization and a compacted Exchange step per
//     epoch, a compute run one phase compute step that ends after the run's
//     last lowered step.
// A program consistent with its schedule (exchange steps in exchange phases,
// compute and idle steps in compute phases, the steps of one phase adjacent)
// never breaks the internal invariants below; breaking one throws
// `tessel::InternalError`.

#include <cstdint>
#include <span>
#include <vector>

#include "tessel/error.hpp"
#include "tessel_compiler/program.hpp"
#include "tessel_compiler/schedule.hpp"
#include "tessel_package/profile.hpp"
#include "tessel_runtime/profiling/profile_records.hpp"

namespace tessel_runtime {

struct ProfileSteps {
  std::vector<tessel_package::ProfileStep> steps;  // in execution order; local_index = position
  std::vector<ProfileBoundary> boundaries;         // entry i belongs to lowered step i
};

[[nodiscard]] ProfileSteps profile_steps(const tessel_compiler::Schedule& schedule,
                                         const tessel_compiler::LoweredTileProgram& program,
                                         ProfileGranularity granularity);

// The phase of a lowered step: its exchange or idle phase, or its command's phase.
[[nodiscard]] std::uint64_t lowered_step_phase(const tessel_compiler::LoweredTileStep& step) noexcept;

// Appends the Synchronization and the Exchange step of lowered step
// `step_index` (compacted when `compact`) and sets both flags of its boundary.
// Internal error "expected a lowered exchange step" unless that step exists
// and is an exchange step; `boundaries` must cover it.
void append_exchange_profile(const tessel_compiler::Schedule& schedule,
                             const tessel_compiler::LoweredTileProgram& program,
                             std::vector<tessel_package::ProfileStep>& steps, std::vector<ProfileBoundary>& boundaries,
                             std::uint64_t step_index, bool compact);

// Keeps only "active", "send_count", "receive_count", "send_bytes",
// "receive_bytes" and the entries beginning with "next_", in their order.
void compact_exchange_profile(tessel_package::ProfileStep& step);

// One Compute step for all of `tile`'s commands in compute phase `phase`,
// named after the first of them ("label", else its kernel). Metadata: "role",
// "shape", "worker_count", "active_commands", then the first command's
// metadata except "label". A tile without commands there gets the idle step.
// Internal error "expected a compute phase" when phase `phase` is missing or
// is an exchange phase.
[[nodiscard]] tessel_package::ProfileStep phase_compute_profile_step(const tessel_compiler::Schedule& schedule,
                                                                     std::uint16_t tile, std::uint64_t local_index,
                                                                     std::uint64_t phase);

// Appends "semantic_region" with the name of the region containing each step's
// phase. `regions` are sorted by phase and disjoint. Fails with "profile phase
// {} is outside the semantic regions" at the first step no region contains;
// the steps before it keep their new entry.
[[nodiscard]] tessel::Result<void> annotate_semantic_regions(std::span<tessel_package::ProfileStep> steps,
                                                             std::span<const StaticProfileRegion> regions);

// Phases that `transfers` host transfers occupy, two each with the last
// rendezvous deferred: 0, or 2 x transfers - 1. Fails with "host phase count
// overflow" when 2 x transfers does not fit in 32 bits.
[[nodiscard]] tessel::Result<std::uint32_t> host_transfer_phase_count(std::uint32_t transfers);

}  // namespace tessel_runtime
