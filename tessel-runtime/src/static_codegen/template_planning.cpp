#include "tessel_runtime/static_codegen/template_planning.hpp"

#include <algorithm>
#include <functional>

#include "tessel/integer.hpp"
#include "tessel_runtime/static_codegen/step_ranges.hpp"

namespace tessel_runtime::static_codegen {

using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;

namespace {

// Per program step: what the caller supplied for it when it is an `Exchange`
// step, nothing for other steps.
struct ExchangeInputs {
  std::vector<std::optional<std::uint32_t>> plan_by_step;       // exchange plan address
  std::vector<const std::vector<std::uint32_t>*> row_by_step;  // normalized plan words
  std::vector<std::optional<StaticPlanPatch>> patch_by_step;   // sender patch
};

tessel::Result<ExchangeInputs> exchange_inputs(const LoweredTileProgram& program,
                                               std::span<const std::uint32_t> plan_addresses,
                                               std::span<const std::vector<std::uint32_t>> plan_rows,
                                               std::span<const std::optional<StaticPlanPatch>> plan_patches) {
  const std::size_t steps = program.steps.size();
  ExchangeInputs inputs{std::vector<std::optional<std::uint32_t>>(steps),
                        std::vector<const std::vector<std::uint32_t>*>(steps, nullptr),
                        std::vector<std::optional<StaticPlanPatch>>(steps)};
  std::size_t next_address = 0;
  std::size_t next_row = 0;
  std::size_t next_patch = 0;
  for (std::size_t step = 0; step < steps; ++step) {
    if (program.steps[step].get_if<LoweredTileStep::Exchange>() == nullptr) continue;
    if (next_address < plan_addresses.size()) inputs.plan_by_step[step] = plan_addresses[next_address++];
    if (next_row < plan_rows.size()) inputs.row_by_step[step] = &plan_rows[next_row++];
    if (next_patch < plan_patches.size()) inputs.patch_by_step[step] = plan_patches[next_patch++];
  }
  if (next_address < plan_addresses.size()) return tessel::fail("unused exchange plan while planning static templates");
  if (next_row < plan_rows.size()) return tessel::fail("unused exchange plan row while planning static templates");
  if (next_patch < plan_patches.size()) {
    return tessel::fail("unused exchange plan patch while planning static templates");
  }
  return inputs;
}

const LoweredTileStep& step_at(const LoweredTileProgram& program, std::uint64_t index) {
  return program.steps[static_cast<std::size_t>(index)];
}

// Ranges come from `phase_step_ranges`, so they lie inside the program.
template <class Predicate>
bool all_steps(const LoweredTileProgram& program, StepRange range, Predicate&& predicate) {
  for (std::uint64_t index = range.start; index < range.end; ++index) {
    if (!predicate(step_at(program, index))) return false;
  }
  return true;
}

// One `Exchange` template step per epoch of relative phase `relative_phase`.
tessel::Result<bool> plan_exchange_phase(const LoweredTileProgram& program, const ExchangeInputs& inputs,
                                         std::span<const StepRange> phase_steps, TemplateRecords& records,
                                         const std::string& name, std::uint64_t relative_phase,
                                         std::vector<StaticTemplateStep>& steps) {
  const std::uint64_t epoch_count = phase_steps.front().length();
  if (std::any_of(phase_steps.begin(), phase_steps.end(),
                  [&](const StepRange& range) { return range.length() != epoch_count; })) {
    return tessel::fail("template {} changes exchange epoch count in phase {}", name, relative_phase);
  }
  const std::size_t instances = phase_steps.size();
  for (std::uint64_t epoch = 0; epoch < epoch_count; ++epoch) {
    std::vector<std::size_t> step_of(instances);  // x(i): instance i's step for this epoch
    std::vector<std::uint32_t> actives(instances);
    std::vector<const StaticPlanPatch*> sender_patches(instances, nullptr);
    for (std::size_t instance = 0; instance < instances; ++instance) {
      step_of[instance] = static_cast<std::size_t>(phase_steps[instance].start + epoch);
      const auto& exchange = *step_at(program, step_of[instance]).get_if<LoweredTileStep::Exchange>();
      actives[instance] = tessel_compiler::row_is_active(exchange.row) ? 1U : 0U;
      const auto& patch = inputs.patch_by_step[step_of[instance]];
      if (patch) sender_patches[instance] = &*patch;
    }

    StaticTemplateStep::Exchange step{std::nullopt, std::nullopt, std::nullopt, {},
                                      TemplateValue::Constant{0}, TemplateValue::Constant{0}};
    const auto with_patch = std::find_if(sender_patches.begin(), sender_patches.end(),
                                         [](const StaticPlanPatch* patch) { return patch != nullptr; });
    if (with_patch != sender_patches.end()) step.sender_word_offset = (*with_patch)->word_offset;
    const bool dynamic_sender_offset =
        std::any_of(sender_patches.begin(), sender_patches.end(), [&](const StaticPlanPatch* patch) {
          return patch != nullptr && patch->word_offset != step.sender_word_offset;
        });
    const auto patch_column = [&](std::uint32_t StaticPlanPatch::*field) {
      std::vector<std::uint32_t> column;
      column.reserve(instances);
      for (const auto* patch : sender_patches) column.push_back(patch != nullptr ? patch->*field : 0U);
      return column;
    };
    if (dynamic_sender_offset) {
      TESSEL_TRY(address, records.values(patch_column(&StaticPlanPatch::word_address)));
      step.sender_address = address;
    }
    if (step.sender_word_offset) {
      TESSEL_TRY(instruction, records.values(patch_column(&StaticPlanPatch::instruction)));
      step.sender_instruction = instruction;
    }

    std::size_t plan_word_count = 0;
    for (const std::size_t index : step_of) {
      const auto* row = inputs.row_by_step[index];
      if (row == nullptr) return tessel::fail("template exchange has no normalized row");
      plan_word_count = std::max(plan_word_count, row->size());
    }
    for (std::size_t word = 0; word < plan_word_count; ++word) {
      std::vector<std::uint32_t> column;
      column.reserve(instances);
      for (const std::size_t index : step_of) {
        const auto& row = *inputs.row_by_step[index];
        column.push_back(word < row.size() ? row[word] : 0U);
      }
      if (std::equal(column.begin() + 1, column.end(), column.begin())) continue;
      TESSEL_TRY(word_index, tessel::narrow<std::uint16_t>(word));
      TESSEL_TRY(value, records.values(std::move(column)));
      step.plan_words.push_back({word_index, value});
    }

    std::vector<std::uint32_t> plan_addresses;
    plan_addresses.reserve(instances);
    for (const std::size_t index : step_of) {
      const auto& address = inputs.plan_by_step[index];
      if (!address) return tessel::fail("template exchange has no plan address");
      plan_addresses.push_back(*address);
    }
    TESSEL_TRY(plan_address, records.values(std::move(plan_addresses)));
    step.plan_address = plan_address;
    TESSEL_TRY(active, records.values(std::move(actives)));
    step.active = active;
    steps.emplace_back(std::move(step));
  }
  return true;
}

// One `Compute` template step per call position, or `Idle` without calls.
tessel::Result<bool> plan_compute_phase(const LoweredTileProgram& program, std::span<const StepRange> phase_steps,
                                        TemplateRecords& records, const std::string& name,
                                        std::uint64_t relative_phase, std::vector<StaticTemplateStep>& steps) {
  std::vector<InstanceCommands> commands(phase_steps.size());
  std::size_t command_count = 0;
  for (std::size_t instance = 0; instance < phase_steps.size(); ++instance) {
    for (std::uint64_t index = phase_steps[instance].start; index < phase_steps[instance].end; ++index) {
      if (const auto* compute = step_at(program, index).get_if<LoweredTileStep::Compute>()) {
        commands[instance].emplace_back(compute->command);
      }
    }
    command_count = std::max(command_count, commands[instance].size());
  }
  if (command_count == 0) {
    steps.emplace_back(StaticTemplateStep::Idle{});
    return true;
  }
  for (std::size_t call = 0; call < command_count; ++call) {
    TESSEL_TRY(step, plan_template_compute_step(commands, call, records, name, relative_phase));
    steps.push_back(std::move(step));
  }
  return true;
}

bool is_exchange(const LoweredTileStep& step) { return step.get_if<LoweredTileStep::Exchange>() != nullptr; }

tessel::Result<StaticTemplatePlan> plan_region(const LoweredTileProgram& program, const ExchangeInputs& inputs,
                                               const StaticTemplateRegion& region, std::uint64_t& previous_end,
                                               std::uint32_t& cursor, bool cyclic) {
  const auto& phases = region.phase_instances;
  const std::size_t instances = phases.size();
  if (instances < 2) return tessel::fail("template {} requires at least two instances", region.name);

  std::vector<StepRange> instance_steps;
  instance_steps.reserve(instances);
  for (const auto& instance : phases) {
    TESSEL_TRY(steps, phase_range_to_step_range(program, instance));
    instance_steps.push_back(steps);
  }
  bool contiguous = instance_steps.front().start >= previous_end;
  for (std::size_t instance = 0; instance + 1 < instances; ++instance) {
    contiguous = contiguous && instance_steps[instance].end == instance_steps[instance + 1].start;
  }
  if (!contiguous) {
    return tessel::fail("template {} instances must be ordered, contiguous, and non-overlapping", region.name);
  }

  const std::uint64_t phase_count = phases.front().length();
  if (phase_count == 0 || std::any_of(phases.begin(), phases.end(), [&](const tessel::PhaseRange& instance) {
        return instance.length() != phase_count;
      })) {
    return tessel::fail("template {} instances have different phase counts", region.name);
  }
  std::vector<std::vector<StepRange>> instance_phase_steps;
  instance_phase_steps.reserve(instances);
  for (std::size_t instance = 0; instance < instances; ++instance) {
    TESSEL_TRY(ranges, phase_step_ranges(program, instance_steps[instance], phases[instance]));
    instance_phase_steps.push_back(std::move(ranges));
  }

  TemplateRecords records(instances);
  std::vector<StaticTemplateStep> steps;
  std::vector<StepRange> phase_steps(instances);
  for (std::uint64_t relative = 0; relative < phase_count; ++relative) {
    for (std::size_t instance = 0; instance < instances; ++instance) {
      phase_steps[instance] = instance_phase_steps[instance][static_cast<std::size_t>(relative)];
    }
    const bool all_exchange = std::all_of(phase_steps.begin(), phase_steps.end(), [&](const StepRange& range) {
      return !range.empty() && all_steps(program, range, is_exchange);
    });
    const bool all_compute = std::all_of(phase_steps.begin(), phase_steps.end(), [&](const StepRange& range) {
      return all_steps(program, range, [](const LoweredTileStep& step) { return !is_exchange(step); });
    });
    if (all_exchange) {
      TESSEL_TRY_VOID(plan_exchange_phase(program, inputs, phase_steps, records, region.name, relative, steps));
    } else if (all_compute) {
      TESSEL_TRY_VOID(plan_compute_phase(program, phase_steps, records, region.name, relative, steps));
    } else {
      return tessel::fail("template {} changes phase kind in phase {}", region.name, relative);
    }
  }
  previous_end = instance_steps.back().end;

  TESSEL_TRY(layout, layout_template_records(records.rows, cyclic, cursor));
  cursor = layout.cursor;
  return StaticTemplatePlan{
      region.name,
      std::move(instance_steps),
      std::move(layout.record_addresses),
      std::move(layout.record_secondary_addresses),
      layout.record_split,
      std::move(records.rows),
      std::move(layout.patch_addresses),
      std::move(layout.patches),
      0,
      std::move(records.shared_words),
      std::move(steps),
  };
}

}  // namespace

tessel::Result<StaticTemplatePlans> plan_static_templates(const LoweredTileProgram& program,
                                                          std::span<const std::uint32_t> plan_addresses,
                                                          std::span<const std::vector<std::uint32_t>> plan_rows,
                                                          std::span<const std::optional<StaticPlanPatch>> plan_patches,
                                                          std::span<const StaticTemplateRegion> regions,
                                                          std::uint32_t cursor, bool cyclic) {
  TESSEL_TRY(inputs, exchange_inputs(program, plan_addresses, plan_rows, plan_patches));
  StaticTemplatePlans result{{}, cursor};
  result.plans.reserve(regions.size());
  std::uint64_t previous_end = 0;
  for (const auto& region : regions) {
    TESSEL_TRY(plan, plan_region(program, inputs, region, previous_end, result.cursor, cyclic));
    result.plans.push_back(std::move(plan));
  }
  return result;
}

}  // namespace tessel_runtime::static_codegen
