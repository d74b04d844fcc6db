// Phase step ranges, compute step templating and exchange/compute runs.
#include <catch2/catch.hpp>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "tessel_checks/static_codegen_fixtures.hpp"
#include "tessel_runtime/static_codegen/compute_templating.hpp"
#include "tessel_runtime/static_codegen/exchange_compute_runs.hpp"
#include "tessel_runtime/static_codegen/step_ranges.hpp"

using namespace static_codegen_test;
using tessel::PhaseRange;
using tessel::StepRange;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;
using tessel_runtime::static_codegen::ExchangeComputeRun;
using tessel_runtime::static_codegen::InstanceCommands;
using tessel_runtime::static_codegen::phase_range_to_step_range;
using tessel_runtime::static_codegen::phase_step_ranges;
using tessel_runtime::static_codegen::plan_exchange_compute_runs;
using tessel_runtime::static_codegen::plan_template_compute_step;
using tessel_runtime::static_codegen::RecordWords;
using tessel_runtime::static_codegen::same_compute_abi;
using tessel_runtime::static_codegen::StaticTemplateStep;
using tessel_runtime::static_codegen::step_phase;
using tessel_runtime::static_codegen::TemplateRecords;
using tessel_runtime::static_codegen::tests::compute;
using tessel_runtime::static_codegen::tests::compute_with_operation;
using tessel_runtime::static_codegen::tests::exchange;

namespace {

// Steps of phases 0, 1, 1, 2, 3.
LoweredTileProgram rotated_program() {
  return {{exchange(0, true), compute_with_operation(1, 0x54000, {}, "gemm_f16_accumulate"),
           compute_with_operation(1, 0x58000, {}, "add_f16"), exchange(2, false),
           compute_with_operation(3, 0x5C000, {}, "add_f16")},
          7};
}

LoweredComputeCommand command_of(const LoweredTileStep& step) { return step.get_if<LoweredTileStep::Compute>()->command; }

std::string text(const std::vector<StepRange>& ranges) { return fmt::format("{}", ranges); }

}  // namespace

TEST_CASE("every kind of step has a phase") {
  CHECK(step_phase(exchange(4, false)) == 4);
  CHECK(step_phase(compute(9, 0x54000, {})) == 9);
  CHECK(step_phase(LoweredTileStep::IdleCompute{tessel_compiler::OpId(2), 11}) == 11);
}

TEST_CASE("phase ranges map to the step ranges that carry them") {
  const auto program = rotated_program();
  const auto [start, end, first_step, last_step] = GENERATE(table<std::uint64_t, std::uint64_t, std::uint64_t, std::uint64_t>({
      {0, 2, 0, 3},
      {2, 4, 3, 5},
      {1, 2, 1, 3},
      {0, 9, 0, 5},
      {3, 100, 4, 5},
  }));
  CAPTURE(start, end);
  CHECK(phase_range_to_step_range(program, PhaseRange{start, end}).value() == StepRange{first_step, last_step});
}

TEST_CASE("phase ranges without steps, empty or out of phase order are refused") {
  const auto empty_range = "static template phase range is empty";
  const auto not_contiguous = "static template phase range does not map to contiguous tile steps";
  const auto program = rotated_program();
  CHECK(error_of(phase_range_to_step_range(program, PhaseRange{2, 2})) == empty_range);
  CHECK(error_of(phase_range_to_step_range(program, PhaseRange{3, 1})) == empty_range);
  CHECK(error_of(phase_range_to_step_range(program, PhaseRange{5, 7})) == not_contiguous);
  CHECK(error_of(phase_range_to_step_range(LoweredTileProgram{{}, 7}, PhaseRange{0, 1})) == not_contiguous);
  // Phases 0, 5, 1, 1, 1: the binary search for [0, 2) ends after the last
  // step and meets phase 5 inside.
  const LoweredTileProgram unordered{
      {exchange(0, true), exchange(5, true), exchange(1, true), exchange(1, true), exchange(1, true)}, 7};
  CHECK(error_of(phase_range_to_step_range(unordered, PhaseRange{0, 2})) == not_contiguous);
}

TEST_CASE("step ranges are cut into one sub-range per phase") {
  const auto program = rotated_program();
  CHECK(text(phase_step_ranges(program, {0, 3}, {0, 2}).value()) == "[[0, 1), [1, 3)]");
  CHECK(text(phase_step_ranges(program, {3, 5}, {2, 4}).value()) == "[[3, 4), [4, 5)]");
  CHECK(text(phase_step_ranges(program, {0, 3}, {0, 3}).value()) == "[[0, 1), [1, 3), [3, 3)]");
  // A phase without steps in the middle keeps the cursor where it is.
  const LoweredTileProgram gapped{{exchange(0, true), exchange(2, true)}, 7};
  CHECK(text(phase_step_ranges(gapped, {0, 2}, {0, 3}).value()) == "[[0, 1), [1, 1), [1, 2)]");

  const auto not_ordered = "static template steps are not ordered by phase";
  CHECK(error_of(phase_step_ranges(program, {0, 3}, {1, 2})) == not_ordered);
  CHECK(error_of(phase_step_ranges(program, {0, 5}, {0, 2})) == not_ordered);
  // Step ranges that are inverted or reach past the program are never read past its end.
  CHECK(error_of(phase_step_ranges(program, {4, 9}, {3, 4})) == not_ordered);
  CHECK(error_of(phase_step_ranges(program, {3, 1}, {2, 4})) == not_ordered);
}

TEST_CASE("a compute call position becomes one template step") {
  SECTION("three inputs with three arguments: the differing output address takes a slot") {
    LoweredComputeCommand first = command_of(compute(3, 0x54000, {8, 64, 1024}));
    first.inputs.push_back(tessel_compiler::TensorId(4));
    first.input_addresses.push_back(0x58000);
    LoweredComputeCommand second = first;
    second.output_address += 4096;
    const std::vector<InstanceCommands> commands{{std::cref(first)}, {std::cref(second)}};
    TemplateRecords records(2);
    const auto step = plan_template_compute_step(commands, 0, records, "test", 3).value();
    const auto& call = *step.get_if<StaticTemplateStep::Compute>();
    CHECK(call.operation == "gemm_f16_accumulate");
    CHECK(call.operands == std::vector{record(0), constant(0x50000), constant(0x54000), constant(0x58000), constant(8),
                                       constant(64), constant(1024)});
    CHECK_FALSE(call.kernel.has_value());
    CHECK_FALSE(call.condition.has_value());
    CHECK(records.rows == std::vector<RecordWords>{{value(0x80000)}, {value(0x81000)}});
  }

  SECTION("different kernels take a symbol column") {
    const auto gemm = command_of(compute_with_operation(1, 0x54000, {}, "gemm_f16_accumulate"));
    const auto add = command_of(compute_with_operation(1, 0x54000, {}, "add_f16"));
    const std::vector<InstanceCommands> commands{{std::cref(gemm)}, {std::cref(add)}};
    TemplateRecords records(2);
    const auto step = plan_template_compute_step(commands, 0, records, "test", 1).value();
    const auto& call = *step.get_if<StaticTemplateStep::Compute>();
    CHECK(call.operation == "gemm_f16_accumulate");
    CHECK(call.kernel == std::optional{record(0)});
    CHECK_FALSE(call.condition.has_value());
    CHECK(records.rows == std::vector<RecordWords>{{symbol("tessel_stack_gemm_f16_accumulate")},
                                                    {symbol("tessel_stack_add_f16")}});
  }

  SECTION("a call only some instances make: condition first, then kernel, then operands") {
    const auto gemm = command_of(compute_with_operation(1, 0x54000, {}, "gemm_f16_accumulate"));
    const auto add = command_of(compute_with_operation(1, 0x58000, {}, "add_f16"));
    const auto other = command_of(compute_with_operation(1, 0x5C000, {}, "add_f16"));
    // Instance 0 calls gemm then add; instance 1 calls add once; instance 2 calls add then gemm.
    const std::vector<InstanceCommands> commands{
        {std::cref(gemm), std::cref(add)}, {std::cref(add)}, {std::cref(other), std::cref(gemm)}};
    TemplateRecords records(3);
    const auto step = plan_template_compute_step(commands, 1, records, "test", 1).value();
    const auto& call = *step.get_if<StaticTemplateStep::Compute>();
    CHECK(call.operation == "add_f16");
    CHECK(call.condition == std::optional{record(0)});
    CHECK(call.kernel == std::optional{record(1)});
    // The instance without the call repeats the first call's addresses.
    CHECK(call.operands == std::vector{constant(0x80000), constant(0x50000), record(2)});
    CHECK(records.rows == std::vector<RecordWords>{{value(1), symbol("tessel_stack_add_f16"), value(0x58000)},
                                                    {value(0), value(0), value(0x58000)},
                                                    {value(1), symbol("tessel_stack_gemm_f16_accumulate"),
                                                     value(0x54000)}});
  }

  SECTION("an instance without the call is covered by the condition alone") {
    const auto first = command_of(compute(1, 0x54000, {}));
    const auto second = command_of(compute(1, 0x58000, {}));
    const std::vector<InstanceCommands> commands{{std::cref(first), std::cref(second)}, {std::cref(first)}};
    TemplateRecords records(2);
    const auto step = plan_template_compute_step(commands, 1, records, "test", 1).value();
    const auto& call = *step.get_if<StaticTemplateStep::Compute>();
    CHECK(call.condition == std::optional{record(0)});
    CHECK_FALSE(call.kernel.has_value());
    CHECK(call.operands == std::vector{constant(0x80000), constant(0x50000), constant(0x58000)});
  }
}

TEST_CASE("compute calls of unsupported or differing shapes are refused") {
  const auto with = [](std::size_t inputs, std::size_t arguments) {
    LoweredComputeCommand command = command_of(compute(1, 0x54000, {}));
    command.input_addresses.assign(inputs, 0x50000);
    command.arguments.assign(arguments, 1);
    return command;
  };
  const auto [first_inputs, first_arguments, second_inputs, second_arguments, message] =
      GENERATE(table<std::size_t, std::size_t, std::size_t, std::size_t, std::string>({
          {4, 4, 4, 4, "template layer has unsupported compute ABI in phase 2 call 0"},
          {0, 3, 0, 3, "template layer has unsupported compute ABI in phase 2 call 0"},
          {1, 6, 1, 6, ""},
          {7, 0, 7, 0, ""},
          {2, 2, 2, 3, "template layer changes compute ABI in phase 2 call 0"},
          {2, 2, 3, 2, "template layer changes compute ABI in phase 2 call 0"},
          // The shape check comes first: differing counts are reported even when
          // the first call's own shape is unsupported.
          {0, 1, 1, 1, "template layer changes compute ABI in phase 2 call 0"},
      }));
  CAPTURE(first_inputs, first_arguments, second_inputs, second_arguments);
  const auto first = with(first_inputs, first_arguments);
  const auto second = with(second_inputs, second_arguments);
  const std::vector<InstanceCommands> commands{{std::cref(first)}, {std::cref(second)}};
  TemplateRecords records(2);
  const auto result = plan_template_compute_step(commands, 0, records, "layer", 2);
  if (message.empty()) {
    CHECK(result.has_value());
  } else {
    CHECK(error_of(result) == message);
  }
}

TEST_CASE("a call position that no instance reaches is an error") {
  const auto first = command_of(compute(1, 0x54000, {}));
  const std::vector<InstanceCommands> commands{{std::cref(first)}, {}};
  TemplateRecords records(2);
  CHECK(error_of(plan_template_compute_step(commands, 1, records, "layer", 4)) ==
        "template layer has no call in phase 4 call 1");
}

TEST_CASE("the compute ABI compares kernel name, output, inputs and arguments only") {
  const auto base = command_of(compute(1, 0x54000, {4}));
  auto other_phase = command_of(compute(9, 0x54000, {4}));
  other_phase.specialization.shape = {1};
  other_phase.inputs = {};
  CHECK(same_compute_abi(base, other_phase));
  CHECK_FALSE(same_compute_abi(base, command_of(compute(1, 0x58000, {4}))));
  CHECK_FALSE(same_compute_abi(base, command_of(compute(1, 0x54000, {5}))));
  CHECK_FALSE(same_compute_abi(base, command_of(compute_with_operation(1, 0x54000, {4}, "add_f16"))));
  auto moved_output = base;
  moved_output.output_address += 4;
  CHECK_FALSE(same_compute_abi(base, moved_output));
}

namespace {

std::vector<LoweredTileStep> pairs(std::uint64_t count, std::uint32_t input_address, std::uint64_t first_phase = 0) {
  std::vector<LoweredTileStep> steps;
  for (std::uint64_t pair = 0; pair < count; ++pair) {
    steps.push_back(exchange(first_phase + 2 * pair, true));
    steps.push_back(compute(first_phase + 2 * pair + 1, input_address, {}));
  }
  return steps;
}

}  // namespace

TEST_CASE("repeated exchange/compute pairs become table-driven runs") {
  SECTION("two pairs, enabled") {
    const LoweredTileProgram program{pairs(2, 0x54000), 7};
    const std::vector<std::uint32_t> plans{0x52000, 0x52020};
    const auto planned = plan_exchange_compute_runs(program, plans, 0x53000, true).value();
    CHECK(planned.runs == std::vector{ExchangeComputeRun{0, 2, 0x53000, {0x52001, 0x52021}}});
    CHECK(planned.cursor == 0x53008);
  }

  SECTION("two runs get consecutive tables; the scan resumes after each run") {
    auto steps = pairs(2, 0x54000);
    const auto second = pairs(3, 0x58000, 4);
    steps.insert(steps.end(), second.begin(), second.end());
    const LoweredTileProgram program{steps, 7};
    const std::vector<std::uint32_t> plans{0x100, 0x200, 0x300, 0x400, 0x500};
    const auto planned = plan_exchange_compute_runs(program, plans, 0x53001, true).value();
    CHECK(planned.runs == std::vector{ExchangeComputeRun{0, 2, 0x53004, {0x101, 0x201}},
                                      ExchangeComputeRun{4, 3, 0x5300C, {0x301, 0x401, 0x501}}});
    CHECK(planned.cursor == 0x53018);
  }

  SECTION("an empty row counts as active, a sans(0) row as inactive") {
    auto steps = pairs(2, 0x54000);
    steps[0] = LoweredTileStep::Exchange{0, 0, tessel_compiler::make_row({})};
    steps[2] = exchange(2, false);
    const LoweredTileProgram program{steps, 7};
    const std::vector<std::uint32_t> plans{0x52000, 0x52020};
    const auto planned = plan_exchange_compute_runs(program, plans, 0x53000, true).value();
    REQUIRE(planned.runs.size() == 1);
    CHECK(planned.runs[0].table_entries == std::vector<std::uint32_t>{0x52001, 0x52020});
  }

  SECTION("too short or once-repeated stretches stay unrolled and leave the cursor unaligned") {
    auto three = pairs(2, 0x54000);
    three.pop_back();
    auto once = pairs(1, 0x54000);
    const auto different = pairs(1, 0x58000, 2);
    once.insert(once.end(), different.begin(), different.end());
    once.push_back(exchange(4, true));
    for (const auto& steps : {three, once}) {
      const LoweredTileProgram program{steps, 7};
      const std::vector<std::uint32_t> plans(static_cast<std::size_t>(
          std::count_if(steps.begin(), steps.end(),
                        [](const LoweredTileStep& step) { return step.get_if<LoweredTileStep::Exchange>() != nullptr; })),
          0x52000);
      const auto planned = plan_exchange_compute_runs(program, plans, 0x53003, true).value();
      CHECK(planned.runs.empty());
      CHECK(planned.cursor == 0x53003);
    }
  }

  SECTION("a run starts at an exchange followed by a call with two inputs and no arguments") {
    auto steps = pairs(3, 0x54000);
    steps.insert(steps.begin(), compute(0, 0x54000, {}));
    const LoweredTileProgram program{steps, 7};
    const std::vector<std::uint32_t> plans{0x10, 0x20, 0x30};
    const auto planned = plan_exchange_compute_runs(program, plans, 0, true).value();
    CHECK(planned.runs == std::vector{ExchangeComputeRun{1, 3, 0, {0x11, 0x21, 0x31}}});

    auto three_inputs = pairs(2, 0x54000);
    for (const std::size_t index : {std::size_t{1}, std::size_t{3}}) {
      three_inputs[index].get_if<LoweredTileStep::Compute>()->command.input_addresses.push_back(0x5C000);
    }
    const std::vector<std::uint32_t> two_plans{0x10, 0x20};
    CHECK(plan_exchange_compute_runs(LoweredTileProgram{three_inputs, 7}, two_plans, 0, true).value().runs.empty());
  }
}

TEST_CASE("exchange/compute run errors") {
  const LoweredTileProgram program{pairs(2, 0x54000), 7};
  const auto run_error = [&](std::vector<std::uint32_t> plans, std::uint32_t cursor) {
    return error_of(plan_exchange_compute_runs(program, plans, cursor, true));
  };
  CHECK(run_error({0x52000, 0x52020, 0x52040}, 0x53000) == "unused exchange plan while finding compact compute runs");
  CHECK(run_error({0x52000}, 0x53000) == "compact compute run exchange has no plan address");
  CHECK(run_error({0x52000, 0x52022}, 0x53000) == "exchange plan address is not word aligned");
  CHECK(run_error({0x52000, 0x52020}, 0xFFFFFFFC) == "compact exchange/compute run table address overflow");
  // Aligning a cursor this close to 2^32 would wrap the table to address 0.
  CHECK(run_error({0x52000, 0x52020}, 0xFFFFFFFD) == "compact exchange/compute run table address overflow");
  CHECK(run_error({0x52000, 0x52020}, 0xFFFFFFF8) == "compact exchange/compute run table address overflow");
  CHECK(plan_exchange_compute_runs(program, std::vector<std::uint32_t>{0x52000, 0x52020}, 0xFFFFFFF3, true).value().cursor ==
        0xFFFFFFFC);
  // Disabled, nothing is checked and nothing moves.
  const std::vector<std::uint32_t> too_many{1, 2, 3, 4, 5};
  const auto disabled = plan_exchange_compute_runs(program, too_many, 0xFFFFFFFF, false).value();
  CHECK(disabled.runs.empty());
  CHECK(disabled.cursor == 0xFFFFFFFF);
}
