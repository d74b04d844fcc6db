#pragma once
// Phase ranges of a tile program as ranges of step indexes.
//
// Template instances are named by global schedule phases; planning works on
// the steps of the tile's lowered program. Steps must appear phase after
// phase (non-decreasing phases, the steps of one phase adjacent):
//   - `phase_range_to_step_range` finds, by binary search, the steps of a
//     phase range and rejects a range that holds no step or whose steps are
//     out of phase order;
//   - `phase_step_ranges` cuts the steps of one instance into one sub-range
//     per phase, in phase order (a phase without steps gets an empty
//     sub-range), and rejects steps that the walk does not consume.
// All ranges are half-open. Nothing is modified.

#include <cstdint>
#include <vector>

#include "tessel/error.hpp"
#include "tessel/range.hpp"
#include "tessel_compiler/program.hpp"

namespace tessel_runtime::static_codegen {

using tessel::PhaseRange;
using tessel::StepRange;

// The step's phase: the exchange phase, the command's phase or the idle phase.
[[nodiscard]] std::uint64_t step_phase(const tessel_compiler::LoweredTileStep& step) noexcept;

// The indexes of the steps whose phases lie in `phases`.
[[nodiscard]] tessel::Result<StepRange> phase_range_to_step_range(const tessel_compiler::LoweredTileProgram& program,
                                                                  PhaseRange phases);

// One range of step indexes per phase of `phases`, covering `steps` exactly.
[[nodiscard]] tessel::Result<std::vector<StepRange>> phase_step_ranges(
    const tessel_compiler::LoweredTileProgram& program, StepRange steps, PhaseRange phases);

}  // namespace tessel_runtime::static_codegen
