#pragma once
// Deferring a schedule's terminal residual addition into the affine
// LayerNorm that starts the next schedule.
//
// A layer that ends with x = x + residual pays an empty exchange phase and a
// compute phase of in-place "add_f16" commands for it. When the next
// schedule begins with an affine LayerNorm of x, the addition moves there:
// `defer_terminal_residual_add` takes the last phase pair off the first
// schedule, and `fuse_deferred_residual_into_layer_norm` turns the LayerNorm
// commands of the second into the fused "add_layer_norm_affine_f16" kernel.
// Both edit their schedule in place; what survives a failure is given below.

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "tessel/error.hpp"
#include "tessel_compiler/ids.hpp"
#include "tessel_compiler/schedule.hpp"

namespace tessel_runtime::siglip {

// The additions taken off one schedule.
struct DeferredResidualAdd {
  // One pair per removed "add_f16" command, in command order: the tensor it
  // updated in place, then the residual tensor it added.
  std::vector<std::pair<tessel_compiler::TensorId, tessel_compiler::TensorId>> sources;

  bool operator==(const DeferredResidualAdd&) const = default;
};

// Removes the last two phases when they are an exchange phase without
// transfers followed by a compute phase whose commands are all "add_f16", and
// returns one pair per command. Returns nothing, and leaves the schedule
// alone, when the schedule does not end that way (a one-phase schedule never
// does). Fails with "terminal residual add has an incompatible command ABI",
// the schedule unchanged, when such a command does not have exactly two
// inputs with the output equal to the first.
[[nodiscard]] tessel::Result<std::optional<DeferredResidualAdd>> defer_terminal_residual_add(
    tessel_compiler::Schedule& schedule);

// Fuses `deferred` into the first compute phase at or after `phase_start`
// whose commands are all "layer_norm_affine_f16" (there must be one, with as
// many commands as `deferred` has pairs; otherwise nothing changes). Each
// command, in order, takes the residual of the first pair whose updated
// tensor is its first input, which must have an allocation on the command's
// tile live in that phase; the residual is inserted as input 1, the kernel
// becomes "add_layer_norm_affine_f16" with role "add-and-normalize" and the
// label "fused residual add and LayerNorm". A command that fails leaves the
// commands before it fused and the rest untouched.
[[nodiscard]] tessel::Result<void> fuse_deferred_residual_into_layer_norm(tessel_compiler::Schedule& schedule,
                                                                          std::uint64_t phase_start,
                                                                          DeferredResidualAdd deferred);

}  // namespace tessel_runtime::siglip
