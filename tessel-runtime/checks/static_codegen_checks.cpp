// Checks of the static_codegen module: template records, compute templating,
// exchange/compute runs, record patches and template planning.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessel_checks/check.hpp"
#include "tessel_checks/static_codegen_fixtures.hpp"
#include "tessel_exchange/instruction.hpp"
#include "tessel_runtime/static_codegen/compute_templating.hpp"
#include "tessel_runtime/static_codegen/exchange_compute_runs.hpp"
#include "tessel_runtime/static_codegen/template_patches.hpp"
#include "tessel_runtime/static_codegen/template_planning.hpp"
#include "tessel_runtime/static_codegen/template_records.hpp"

namespace tessel_runtime::static_codegen::tests {

using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;
using tessel_compiler::TensorId;

LoweredTileStep exchange(std::uint64_t phase, bool active) {
  const std::uint32_t word = active ? tessel_exchange::sans(1) : tessel_exchange::sans(0);
  return LoweredTileStep::Exchange{phase, 0, tessel_compiler::make_row({word})};
}

LoweredTileStep compute_with_operation(std::uint64_t phase, std::uint32_t input_address,
                                       std::vector<std::uint32_t> arguments, std::string operation) {
  LoweredComputeCommand command;
  command.op = tessel_compiler::OpId(phase);
  command.phase = phase;
  command.output = TensorId(3);
  command.inputs = {TensorId(1), TensorId(2)};
  command.output_address = 0x80000;
  command.input_addresses = {0x50000, input_address};
  command.arguments = std::move(arguments);
  command.specialization = {std::move(operation), {12, 64, 64}, 6, "inner-block", 32};
  return LoweredTileStep::Compute{std::move(command)};
}

LoweredTileStep compute(std::uint64_t phase, std::uint32_t input_address, std::vector<std::uint32_t> arguments) {
  return compute_with_operation(phase, input_address, std::move(arguments), "gemm_f16_accumulate");
}

namespace {

constexpr std::uint16_t TILE = 7;

TemplateValue record(std::uint16_t slot) { return TemplateValue::Record{slot}; }
TemplateValue record_offset(std::uint16_t slot, std::int32_t offset) { return TemplateValue::RecordOffset{slot, offset}; }
TemplateValue shared(std::uint16_t index) { return TemplateValue::Shared{index}; }

// Asserts that `patch` turns `previous` into `next`.
void check_patch_turns(const RecordWords& previous, const RecordWords& next, const StaticTemplatePatch& patch) {
  RecordWords applied = previous;
  for (const auto& [slot, change] : patch) {
    TESSEL_CHECK(slot < previous.size() && slot < next.size());
    const auto& before = previous[slot];
    const auto& expected = next[slot];
    if (const auto* delta = change.get_if<StaticTemplatePatchValue::Delta>()) {
      const auto* before_value = before.get_if<RecordWord::Value>();
      const auto* expected_value = expected.get_if<RecordWord::Value>();
      if (before_value == nullptr || expected_value == nullptr) {
        throw checks::CheckFailure("invalid template patch encoding");
      }
      TESSEL_CHECK_EQ(std::int64_t{before_value->value} + delta->delta, std::int64_t{expected_value->value});
      applied[slot] = expected;
    } else {
      const auto& word = change.get_if<StaticTemplatePatchValue::Word>()->word;
      TESSEL_CHECK_EQ(word, expected);
      applied[slot] = word;
    }
    TESSEL_CHECK(before != expected);
  }
  TESSEL_CHECK_EQ(applied, next);
}

}  // namespace

void leaves_irregular_or_argument_taking_calls_unrolled() {
  const LoweredTileProgram program{{exchange(0, true), compute(1, 0x54000, {}), exchange(2, true),
                                    compute(3, 0x58000, {}), exchange(4, true), compute(5, 0x58000, {64}),
                                    exchange(6, true), compute(7, 0x58000, {64})},
                                   TILE};
  const std::vector<std::uint32_t> plan_addresses{0x52000, 0x52020, 0x52040, 0x52060};
  const auto planned = plan_exchange_compute_runs(program, plan_addresses, 0x53000, true).value();
  TESSEL_CHECK(planned.runs.empty());
  TESSEL_CHECK_EQ(planned.cursor, 0x53000U);
}

void plans_fixed_compute_abi_run_with_per_exchange_table() {
  const LoweredTileProgram program{{exchange(0, true), compute(1, 0x54000, {}), exchange(2, false),
                                    compute(3, 0x54000, {}), exchange(4, true), compute(5, 0x54000, {})},
                                   TILE};
  const std::vector<std::uint32_t> plan_addresses{0x52000, 0x52020, 0x52040};
  const auto planned = plan_exchange_compute_runs(program, plan_addresses, 0x53002, true).value();
  TESSEL_CHECK_EQ(planned.runs.size(), 1U);
  const auto& run = planned.runs.front();
  TESSEL_CHECK_EQ(run.start_step, 0U);
  TESSEL_CHECK_EQ(run.iterations, 3U);
  TESSEL_CHECK(run.table_address % 4 == 0);
  TESSEL_CHECK_EQ(run.table_address, 0x53002U + 2);
  TESSEL_CHECK_EQ(run.table_entries.size(), 3U);
  for (std::size_t entry = 0; entry < run.table_entries.size(); ++entry) {
    TESSEL_CHECK_EQ(run.table_entries[entry] & ~1U, plan_addresses[entry]);
    TESSEL_CHECK_EQ((run.table_entries[entry] & 1U) == 1U, entry != 1);
  }
  TESSEL_CHECK_EQ(planned.cursor - run.table_address, 4 * run.iterations);
}

void profiling_can_disable_compaction_without_changing_plan_extent() {
  const LoweredTileProgram program{
      {exchange(0, true), compute(1, 0x54000, {}), exchange(2, true), compute(3, 0x54000, {})}, TILE};
  const std::vector<std::uint32_t> plan_addresses{0x52000, 0x52020};
  const auto planned = plan_exchange_compute_runs(program, plan_addresses, 0x53000, false).value();
  TESSEL_CHECK(planned.runs.empty());
  TESSEL_CHECK_EQ(planned.cursor, 0x53000U);
}

void template_affine_reuse_requires_net_sram_savings() {
  TemplateRecords two(2);
  TESSEL_CHECK_EQ(two.values({1, 2}).value(), record(0));
  TESSEL_CHECK_EQ(two.values({0x20001, 0x20002}).value(), record(1));

  std::vector<std::uint32_t> base;
  std::vector<std::uint32_t> shifted;
  for (std::uint32_t value = 1; value <= 27; ++value) {
    base.push_back(value);
    shifted.push_back(value + 0x20000);
  }
  TemplateRecords many(27);
  TESSEL_CHECK_EQ(many.values(base).value(), record(0));
  TESSEL_CHECK_EQ(many.values(shifted).value(), record_offset(0, 131072));
}

void template_compute_accepts_three_inputs_with_three_arguments() {
  LoweredComputeCommand first = compute(3, 0x54000, {8, 64, 1024}).get_if<LoweredTileStep::Compute>()->command;
  first.inputs.push_back(TensorId(4));
  first.input_addresses.push_back(0x58000);
  LoweredComputeCommand second = first;
  second.output_address += 4096;
  const std::vector<InstanceCommands> commands{{std::cref(first)}, {std::cref(second)}};
  TemplateRecords records(2);
  const auto step = plan_template_compute_step(commands, 0, records, "test", 3).value();
  const auto* call = step.get_if<StaticTemplateStep::Compute>();
  TESSEL_CHECK(call != nullptr);
  TESSEL_CHECK_EQ(call->operands.size(), 7U);
}

void template_patch_span_omits_empty_segment_groups() {
  const StaticTemplatePatch patch{{131, StaticTemplatePatchValue::Delta{4}},
                                  {134, StaticTemplatePatchValue::Word{RecordWord::Value{9}}}};
  const SlotRange slots{64, 256};
  const auto span = template_patch_group_span(slots, patch);
  TESSEL_CHECK(span.has_value());
  TESSEL_CHECK_EQ(*span, (SlotRange{64, 96}));
  TESSEL_CHECK_EQ(template_patch_storage_words_range(slots, patch), 5U);
}

void template_records_intern_repeated_instance_columns() {
  TemplateRecords records(3);
  const auto first = records.values({10, 20, 30}).value();
  TESSEL_CHECK_EQ(first, record(0));
  TESSEL_CHECK_EQ(records.values({10, 20, 30}).value(), first);
  TESSEL_CHECK_EQ(records.values({11, 21, 31}).value(), record_offset(0, 1));
  TESSEL_CHECK_EQ(records.values({0x3F800000, 0x3F800000, 0x3F800000}).value(), shared(0));
  const std::vector<RecordWords> rows{{RecordWord::Value{10}}, {RecordWord::Value{20}}, {RecordWord::Value{30}}};
  TESSEL_CHECK_EQ(records.rows, rows);
  TESSEL_CHECK_EQ(records.shared_words, RecordWords{RecordWord::Value{0x3F800000}});
}

void templates_align_rotated_tile_work_by_global_phase() {
  const LoweredTileProgram program{{exchange(0, true), compute_with_operation(1, 0x54000, {}, "gemm_f16_accumulate"),
                                    compute_with_operation(1, 0x58000, {}, "add_f16"), exchange(2, false),
                                    compute_with_operation(3, 0x5C000, {}, "add_f16")},
                                   TILE};
  const std::vector<StaticTemplateRegion> regions{{"encoder_layer", {{0, 2}, {2, 4}}}};
  const std::vector<std::uint32_t> plan_addresses{0x52000, 0x52020};
  const std::vector<std::vector<std::uint32_t>> plan_rows{{1, 2, 3}, {1, 2, 4}};
  const std::vector<std::optional<StaticPlanPatch>> plan_patches{StaticPlanPatch{0x52004, 1, 0x78001238},
                                                                 std::nullopt};
  const auto planned =
      plan_static_templates(program, plan_addresses, plan_rows, plan_patches, regions, 0x53002, true).value();

  TESSEL_CHECK_EQ(planned.plans.size(), 1U);
  const auto& plan = planned.plans.front();
  TESSEL_CHECK_EQ(plan.name, "encoder_layer");
  TESSEL_CHECK_EQ(plan.instance_steps, (std::vector<tessel::StepRange>{{0, 3}, {3, 5}}));
  TESSEL_CHECK_EQ(plan.steps.size(), 3U);

  const auto* exchange_step = plan.steps[0].get_if<StaticTemplateStep::Exchange>();
  TESSEL_CHECK(exchange_step != nullptr);
  TESSEL_CHECK(exchange_step->sender_word_offset == std::optional<std::uint16_t>{1});
  TESSEL_CHECK(!exchange_step->sender_address.has_value());
  TESSEL_CHECK(exchange_step->sender_instruction.has_value());
  TESSEL_CHECK_EQ(exchange_step->plan_words.size(), 1U);
  TESSEL_CHECK(exchange_step->plan_address.get_if<TemplateValue::Record>() != nullptr);
  TESSEL_CHECK(exchange_step->active.get_if<TemplateValue::Record>() != nullptr);

  const auto* first_call = plan.steps[1].get_if<StaticTemplateStep::Compute>();
  TESSEL_CHECK(first_call != nullptr);
  TESSEL_CHECK(first_call->kernel.has_value());
  TESSEL_CHECK(!first_call->condition.has_value());
  const auto* second_call = plan.steps[2].get_if<StaticTemplateStep::Compute>();
  TESSEL_CHECK(second_call != nullptr);
  TESSEL_CHECK(second_call->condition.has_value());

  TESSEL_CHECK_EQ(plan.records.size(), 2U);
  TESSEL_CHECK_EQ(plan.records[0].size(), plan.records[1].size());
  TESSEL_CHECK(planned.cursor > plan.record_secondary_addresses.front());
  TESSEL_CHECK_EQ(plan.patch_addresses.size(), 3U);
  TESSEL_CHECK_EQ(plan.patches.size(), 3U);
  TESSEL_CHECK(plan.patches[0].empty());
  check_patch_turns(plan.records[0], plan.records[1], plan.patches[1]);
  check_patch_turns(plan.records[1], plan.records[0], plan.patches[2]);
}

}  // namespace tessel_runtime::static_codegen::tests

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> static_codegen_checks() {
  namespace tests = static_codegen::tests;
  static constexpr CheckDescriptor checks[] = {
      {"static_codegen::tests::leaves_irregular_or_argument_taking_calls_unrolled",
       &tests::leaves_irregular_or_argument_taking_calls_unrolled},
      {"static_codegen::tests::plans_fixed_compute_abi_run_with_per_exchange_table",
       &tests::plans_fixed_compute_abi_run_with_per_exchange_table},
      {"static_codegen::tests::profiling_can_disable_compaction_without_changing_plan_extent",
       &tests::profiling_can_disable_compaction_without_changing_plan_extent},
      {"static_codegen::tests::template_affine_reuse_requires_net_sram_savings",
       &tests::template_affine_reuse_requires_net_sram_savings},
      {"static_codegen::tests::template_compute_accepts_three_inputs_with_three_arguments",
       &tests::template_compute_accepts_three_inputs_with_three_arguments},
      {"static_codegen::tests::template_patch_span_omits_empty_segment_groups",
       &tests::template_patch_span_omits_empty_segment_groups},
      {"static_codegen::tests::template_records_intern_repeated_instance_columns",
       &tests::template_records_intern_repeated_instance_columns},
      {"static_codegen::tests::templates_align_rotated_tile_work_by_global_phase",
       &tests::templates_align_rotated_tile_work_by_global_phase},
  };
  return checks;
}

}  // namespace tessel_runtime::checks
