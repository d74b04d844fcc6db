#include "tessel_runtime/siglip/residual_deferral.hpp"

#include <algorithm>
#include <cstddef>
#include <string_view>

namespace tessel_runtime::siglip {
namespace {

using tessel_compiler::KernelCommand;
using tessel_compiler::Phase;
using tessel_compiler::TensorId;

constexpr std::string_view RESIDUAL_ADD_KERNEL = "add_f16";
constexpr std::string_view LAYER_NORM_KERNEL = "layer_norm_affine_f16";
constexpr std::string_view FUSED_KERNEL = "add_layer_norm_affine_f16";
constexpr std::string_view FUSED_ROLE = "add-and-normalize";
constexpr std::string_view FUSED_LABEL = "fused residual add and LayerNorm";

// A compute phase with at least one command, every command running `kernel`.
const Phase::Compute* uniform_compute(const Phase& phase, std::string_view kernel) {
  const auto* compute = phase.get_if<Phase::Compute>();
  if (compute == nullptr || compute->commands.empty()) return nullptr;
  const bool uniform = std::ranges::all_of(
      compute->commands, [&](const KernelCommand& command) { return command.specialization.operation == kernel; });
  return uniform ? compute : nullptr;
}

bool is_empty_exchange(const Phase& phase) {
  const auto* exchange = phase.get_if<Phase::Exchange>();
  return exchange != nullptr && exchange->transfers.empty();
}

bool live_on_tile(const tessel_compiler::Allocation& allocation, TensorId tensor, std::uint16_t tile,
                  std::uint64_t phase) {
  return allocation.tensor == tensor && allocation.tile == tile && allocation.live_from <= phase &&
         phase < allocation.live_until;
}

}  // namespace

tessel::Result<std::optional<DeferredResidualAdd>> defer_terminal_residual_add(tessel_compiler::Schedule& schedule) {
  auto& phases = schedule.phases;
  if (phases.empty()) return std::nullopt;
  const Phase::Compute* additions = uniform_compute(phases.back(), RESIDUAL_ADD_KERNEL);
  if (additions == nullptr) return std::nullopt;
  // With a single phase the phase before the last is the last itself, a
  // compute phase, so nothing is deferred.
  const std::size_t before_last = phases.size() >= 2 ? phases.size() - 2 : 0;
  if (!is_empty_exchange(phases[before_last])) return std::nullopt;

  DeferredResidualAdd deferred;
  deferred.sources.reserve(additions->commands.size());
  for (const KernelCommand& command : additions->commands) {
    if (command.inputs.size() != 2 || command.output != command.inputs[0]) {
      return tessel::fail("terminal residual add has an incompatible command ABI");
    }
    deferred.sources.emplace_back(command.output, command.inputs[1]);
  }
  phases.erase(phases.begin() + static_cast<std::ptrdiff_t>(before_last), phases.end());
  return deferred;
}

tessel::Result<void> fuse_deferred_residual_into_layer_norm(tessel_compiler::Schedule& schedule,
                                                            std::uint64_t phase_start, DeferredResidualAdd deferred) {
  auto& phases = schedule.phases;
  std::uint64_t phase = phase_start;
  for (; phase < phases.size(); ++phase) {
    if (uniform_compute(phases[phase], LAYER_NORM_KERNEL) != nullptr) break;
  }
  if (phase >= phases.size()) return tessel::fail("deferred residual add has no following affine LayerNorm");
  auto& commands = std::get<Phase::Compute>(phases[phase].value).commands;
  if (commands.size() != deferred.sources.size()) {
    return tessel::fail("deferred residual add and LayerNorm shard counts differ");
  }

  for (KernelCommand& command : commands) {
    const auto pair = command.inputs.empty()
                          ? deferred.sources.end()
                          : std::ranges::find(deferred.sources, command.inputs[0],
                                              &std::pair<TensorId, TensorId>::first);
    if (pair == deferred.sources.end()) {
      return tessel::fail("deferred residual add has no source for a LayerNorm shard");
    }
    const TensorId source = pair->second;
    const bool colocated = std::ranges::any_of(schedule.allocations, [&](const tessel_compiler::Allocation& allocation) {
      return live_on_tile(allocation, source, command.tile, phase);
    });
    if (!colocated) return tessel::fail("deferred residual source is not colocated with LayerNorm");

    command.inputs.insert(command.inputs.begin() + 1, source);
    command.specialization.operation = FUSED_KERNEL;
    command.specialization.role = FUSED_ROLE;
    command.metadata.insert_or_assign("label", std::string(FUSED_LABEL));
  }
  return {};
}

}  // namespace tessel_runtime::siglip
