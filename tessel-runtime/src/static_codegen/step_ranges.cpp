#include "tessel_runtime/static_codegen/step_ranges.hpp"

#include <algorithm>
#include <iterator>

namespace tessel_runtime::static_codegen {

using tessel_compiler::LoweredTileStep;

std::uint64_t step_phase(const LoweredTileStep& step) noexcept { return step.phase(); }

tessel::Result<StepRange> phase_range_to_step_range(const tessel_compiler::LoweredTileProgram& program,
                                                    PhaseRange phases) {
  if (phases.empty()) return tessel::fail("static template phase range is empty");
  const auto& steps = program.steps;
  const auto below = [](std::uint64_t bound) {
    return [bound](const LoweredTileStep& step) { return step_phase(step) < bound; };
  };
  const auto first = std::partition_point(steps.begin(), steps.end(), below(phases.start));
  const auto last = std::partition_point(steps.begin(), steps.end(), below(phases.end));
  const bool contiguous =
      first < last && std::all_of(first, last, [&](const LoweredTileStep& step) { return phases.contains(step_phase(step)); });
  if (!contiguous) return tessel::fail("static template phase range does not map to contiguous tile steps");
  return StepRange{static_cast<std::uint64_t>(std::distance(steps.begin(), first)),
                   static_cast<std::uint64_t>(std::distance(steps.begin(), last))};
}

tessel::Result<std::vector<StepRange>> phase_step_ranges(const tessel_compiler::LoweredTileProgram& program,
                                                         StepRange steps, PhaseRange phases) {
  // A step range reaching past the program cannot be covered by its steps.
  const std::uint64_t end = std::min<std::uint64_t>(steps.end, program.steps.size());
  std::vector<StepRange> ranges;
  ranges.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(phases.length(), program.steps.size() + 1)));
  std::uint64_t cursor = steps.start;
  for (std::uint64_t phase = phases.start; phase < phases.end; ++phase) {
    const std::uint64_t start = cursor;
    while (cursor < end && step_phase(program.steps[static_cast<std::size_t>(cursor)]) == phase) ++cursor;
    ranges.push_back(StepRange{start, cursor});
  }
  if (cursor != steps.end) return tessel::fail("static template steps are not ordered by phase");
  return ranges;
}

}  // namespace tessel_runtime::static_codegen
