#include "tessel_runtime/profiling/profile_assembly.hpp"

#include <algorithm>

#include "schedule_phases.hpp"
#include "tessel/integer.hpp"
#include "tessel/internal_error.hpp"
#include "tessel_runtime/profiling/step_profiles.hpp"

namespace tessel_runtime {

using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;
using tessel_compiler::Schedule;
using tessel_package::ProfileMetadata;
using tessel_package::ProfileStep;
using tessel_package::ProfileStepKind;

namespace {

void append_step_granularity(const Schedule& schedule, const LoweredTileProgram& program, ProfileSteps& profile) {
  auto& [steps, boundaries] = profile;
  for (std::size_t i = 0; i < program.steps.size(); ++i) {
    const auto& step = program.steps[i];
    if (const auto* compute = step.get_if<LoweredTileStep::Compute>()) {
      steps.push_back(compute_profile_step(steps.size(), compute->command));
      boundaries[i].after_step = true;
    } else if (const auto* idle = step.get_if<LoweredTileStep::IdleCompute>()) {
      steps.push_back(idle_compute_profile_step(schedule, steps.size(), idle->op, idle->phase));
      boundaries[i].after_step = true;
    } else {
      append_exchange_profile(schedule, program, steps, boundaries, i, false);
    }
  }
}

void append_phase_granularity(const Schedule& schedule, const LoweredTileProgram& program, ProfileSteps& profile) {
  auto& [steps, boundaries] = profile;
  const auto& lowered = program.steps;
  std::size_t start = 0;
  while (start < lowered.size()) {
    const std::uint64_t phase = lowered_step_phase(lowered[start]);
    std::size_t end = start + 1;
    while (end < lowered.size() && lowered_step_phase(lowered[end]) == phase) ++end;
    if (lowered[start].get_if<LoweredTileStep::Exchange>()) {
      for (std::size_t i = start; i < end; ++i) {
        if (!lowered[i].get_if<LoweredTileStep::Exchange>()) {
          tessel::unreachable("one phase lowered to mixed step kinds");
        }
        append_exchange_profile(schedule, program, steps, boundaries, i, true);
      }
    } else {
      steps.push_back(phase_compute_profile_step(schedule, program.tile, steps.size(), phase));
      boundaries[end - 1].after_step = true;
    }
    start = end;
  }
}

bool kept_by_compaction(const ProfileMetadata& entry) {
  return entry.name == "active" || entry.name == "send_count" || entry.name == "receive_count" ||
         entry.name == "send_bytes" || entry.name == "receive_bytes" || entry.name.starts_with("next_");
}

}  // namespace

ProfileSteps profile_steps(const Schedule& schedule, const LoweredTileProgram& program,
                           ProfileGranularity granularity) {
  ProfileSteps profile{.steps = {}, .boundaries = std::vector<ProfileBoundary>(program.steps.size())};
  switch (granularity) {
    case ProfileGranularity::Graph: break;
    case ProfileGranularity::Step: append_step_granularity(schedule, program, profile); break;
    case ProfileGranularity::Phase: append_phase_granularity(schedule, program, profile); break;
  }
  return profile;
}

std::uint64_t lowered_step_phase(const LoweredTileStep& step) noexcept { return step.phase(); }

void append_exchange_profile(const Schedule& schedule, const LoweredTileProgram& program,
                             std::vector<ProfileStep>& steps, std::vector<ProfileBoundary>& boundaries,
                             std::uint64_t step_index, bool compact) {
  const auto* exchange =
      step_index < program.steps.size() ? program.steps[step_index].get_if<LoweredTileStep::Exchange>() : nullptr;
  if (!exchange) tessel::unreachable("expected a lowered exchange step");
  tessel::invariant(step_index < boundaries.size(), "step_index < boundaries.size()");
  const bool active = tessel_compiler::row_is_active(exchange->row);
  auto& boundary = boundaries[step_index];

  const std::uint64_t local = steps.size();
  steps.push_back(
      synchronization_profile_step(schedule, program.tile, local, exchange->phase, exchange->epoch, active));
  boundary.after_sync = true;

  ProfileStep step = exchange_profile_step(schedule, program.tile, local + 1, exchange->phase, exchange->epoch, active);
  if (compact) compact_exchange_profile(step);
  steps.push_back(std::move(step));
  boundary.after_step = true;
}

void compact_exchange_profile(ProfileStep& step) {
  std::erase_if(step.metadata, [](const ProfileMetadata& entry) { return !kept_by_compaction(entry); });
}

ProfileStep phase_compute_profile_step(const Schedule& schedule, std::uint16_t tile, std::uint64_t local_index,
                                       std::uint64_t phase) {
  const auto* compute = compute_phase(schedule, phase);
  if (!compute) tessel::unreachable("expected a compute phase");

  const tessel_compiler::KernelCommand* first = nullptr;
  std::uint64_t active_commands = 0;
  for (const auto& command : compute->commands) {
    if (command.tile != tile) continue;
    if (!first) first = &command;
    ++active_commands;
  }
  if (!first) return idle_compute_profile_step(schedule, local_index, compute->op, phase);

  const auto& key = first->specialization;
  const auto label = first->metadata.find("label");
  ProfileStep step{
      .local_index = low_32_bits(local_index),
      .phase = low_32_bits(phase),
      .epoch = 0,
      .operation = label != first->metadata.end() ? label->second : key.operation,
      .kind = ProfileStepKind::Compute,
      .kernel = key.operation,
      .metadata = {},
  };
  auto& metadata = step.metadata;
  metadata.push_back(profile_metadata("role", key.role));
  metadata.push_back(profile_metadata("shape", profile_shape_text(key.shape)));
  metadata.push_back(profile_metadata("worker_count", key.worker_count));
  metadata.push_back(profile_metadata("active_commands", active_commands));
  for (const auto& [name, value] : first->metadata) {
    if (name != "label") metadata.push_back(profile_metadata(name, value));
  }
  return step;
}

tessel::Result<void> annotate_semantic_regions(std::span<ProfileStep> steps,
                                               std::span<const StaticProfileRegion> regions) {
  for (auto& step : steps) {
    const std::uint64_t phase = step.phase;
    const auto region = std::ranges::partition_point(
        regions, [phase](const StaticProfileRegion& candidate) { return candidate.phases.end <= phase; });
    if (region == regions.end() || phase < region->phases.start) {
      return tessel::fail("profile phase {} is outside the semantic regions", phase);
    }
    step.metadata.push_back(profile_metadata("semantic_region", region->name));
  }
  return {};
}

tessel::Result<std::uint32_t> host_transfer_phase_count(std::uint32_t transfers) {
  if (transfers == 0) return std::uint32_t{0};
  const auto doubled = tessel::checked_mul<std::uint32_t>(transfers, 2);
  if (!doubled) return tessel::fail("host phase count overflow");
  return static_cast<std::uint32_t>(*doubled - 1U);
}

}  // namespace tessel_runtime
