#pragma once
// Step profiles: the `ProfileStep` of one compute command, of the data
// movement of one exchange epoch, of the synchronisation before it, and of a
// compute phase in which a tile is idle.
//
// Every builder reads its arguments only and never fails. Position, phase and
// epoch arguments are stored as their low 32 bits. Metadata entries follow a
// fixed order (documented per builder); entries copied from a command's
// metadata follow its ascending key order.
//
// A `phase` past the end of the schedule's phases is read as a phase without
// transfers or commands: the exchange and synchronisation steps then have no
// transfers and no next command, and the idle step is named after `op` alone.

#include <cstdint>
#include <span>
#include <string>

#include "tessel_compiler/ids.hpp"
#include "tessel_compiler/program.hpp"
#include "tessel_compiler/schedule.hpp"
#include "tessel_package/profile.hpp"

namespace tessel_runtime {

// Dimensions in decimal joined by "x" ("64x64x64"); empty text for no dimensions.
[[nodiscard]] std::string profile_shape_text(std::span<const std::uint64_t> shape);

// A `Compute` step named by the command's "label", else by its kernel (with
// the role in parentheses when there is one). Metadata: "role", "shape",
// "worker_count", "alignment", "output_tensor", "output_address", then
// "input_{i}_tensor" and "input_{i}_address" per input (paired with its
// address, stopping at the shorter list), "argument_{i}" per argument, then
// every entry of the command's metadata, "label" included.
[[nodiscard]] tessel_package::ProfileStep compute_profile_step(std::uint64_t local_index,
                                                               const tessel_compiler::LoweredComputeCommand& command);

// An `Exchange` step for `tile` in exchange phase `phase`, named after the next
// compute command ("exchange for {kernel} ({role})") or "exchange phase {phase}"
// when there is none. The next command is the first command of `tile` in phase
// `phase` + 1, or that phase's first command when the tile has none there; a
// missing, exchange or empty next phase gives none. Metadata: "active",
// "send_count", "receive_count", "send_bytes", "receive_bytes", one "send_{i}"
// per sent and one "receive_{i}" per received transfer, then with a next
// command "next_kernel", "next_role" and "next_{key}" for each of its metadata
// entries except "label".
[[nodiscard]] tessel_package::ProfileStep exchange_profile_step(const tessel_compiler::Schedule& schedule,
                                                                std::uint16_t tile, std::uint64_t local_index,
                                                                std::uint64_t phase, std::uint64_t epoch, bool active);

// The `Synchronization` step before the same exchange epoch: named
// "sync before {exchange step name}", keeping only the exchange step's
// "active", "next_kernel" and "next_role" entries and those beginning with
// "next_layer", in their order.
[[nodiscard]] tessel_package::ProfileStep synchronization_profile_step(const tessel_compiler::Schedule& schedule,
                                                                       std::uint16_t tile, std::uint64_t local_index,
                                                                       std::uint64_t phase, std::uint64_t epoch,
                                                                       bool active);

// An `Idle` step for compute phase `phase` (running `op`) in which the tile has
// no command. With commands in the phase it is named "idle during {kernel}
// ({role})" after the phase's first command and carries "active" = "false",
// "scheduled_kernel", "scheduled_role", "scheduled_shape" and the first
// command's metadata entries (except "label") that every command of the phase
// shares with an equal value, in key order. Without commands it is named
// "idle compute op {op}" and carries only "active" = "false".
[[nodiscard]] tessel_package::ProfileStep idle_compute_profile_step(const tessel_compiler::Schedule& schedule,
                                                                    std::uint64_t local_index, tessel_compiler::OpId op,
                                                                    std::uint64_t phase);

}  // namespace tessel_runtime
