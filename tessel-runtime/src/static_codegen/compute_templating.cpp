#include "tessel_runtime/static_codegen/compute_templating.hpp"

#include <algorithm>

namespace tessel_runtime::static_codegen {

using tessel_compiler::LoweredComputeCommand;

namespace {

// The call's operands: output address, input addresses, arguments.
std::vector<std::uint32_t> operands_of(const LoweredComputeCommand& command) {
  std::vector<std::uint32_t> operands;
  operands.reserve(1 + command.input_addresses.size() + command.arguments.size());
  operands.push_back(command.output_address);
  operands.insert(operands.end(), command.input_addresses.begin(), command.input_addresses.end());
  operands.insert(operands.end(), command.arguments.begin(), command.arguments.end());
  return operands;
}

}  // namespace

std::string kernel_entry_symbol(std::string_view operation) { return fmt::format("tessel_stack_{}", operation); }

tessel::Result<StaticTemplateStep> plan_template_compute_step(std::span<const InstanceCommands> commands,
                                                              std::uint64_t command_index, TemplateRecords& records,
                                                              std::string_view template_name,
                                                              std::uint64_t relative_phase) {
  // The call of each instance at this position, if it has one.
  std::vector<const LoweredComputeCommand*> calls;
  calls.reserve(commands.size());
  const LoweredComputeCommand* first = nullptr;
  std::size_t active = 0;
  for (const auto& instance : commands) {
    const LoweredComputeCommand* call =
        command_index < instance.size() ? &instance[static_cast<std::size_t>(command_index)].get() : nullptr;
    calls.push_back(call);
    if (call == nullptr) continue;
    ++active;
    if (first == nullptr) first = call;
  }
  if (first == nullptr) {
    return tessel::fail("template {} has no call in phase {} call {}", template_name, relative_phase, command_index);
  }

  const bool same_shape = std::all_of(calls.begin(), calls.end(), [&](const LoweredComputeCommand* call) {
    return call == nullptr || (call->input_addresses.size() == first->input_addresses.size() &&
                               call->arguments.size() == first->arguments.size());
  });
  if (!same_shape) {
    return tessel::fail("template {} changes compute ABI in phase {} call {}", template_name, relative_phase,
                        command_index);
  }
  const std::size_t value_registers = first->input_addresses.size() + first->arguments.size();
  if (first->input_addresses.empty() || value_registers > MAX_TEMPLATE_VALUE_REGISTERS) {
    return tessel::fail("template {} has unsupported compute ABI in phase {} call {}", template_name, relative_phase,
                        command_index);
  }

  const bool conditional = active != calls.size();
  const bool dynamic_kernel = std::any_of(calls.begin(), calls.end(), [&](const LoweredComputeCommand* call) {
    return call != nullptr && call->specialization.operation != first->specialization.operation;
  });

  StaticTemplateStep::Compute step;
  step.operation = first->specialization.operation;
  if (conditional) {
    std::vector<std::uint32_t> column;
    column.reserve(calls.size());
    for (const auto* call : calls) column.push_back(call != nullptr ? 1U : 0U);
    TESSEL_TRY(condition, records.values(std::move(column)));
    step.condition = condition;
  }
  if (dynamic_kernel) {
    RecordWords column;
    column.reserve(calls.size());
    for (const auto* call : calls) {
      if (call != nullptr) {
        column.emplace_back(RecordWord::Symbol{kernel_entry_symbol(call->specialization.operation)});
      } else {
        column.emplace_back(RecordWord::Value{0});
      }
    }
    TESSEL_TRY(kernel, records.words(column));
    step.kernel = kernel;
  }

  std::vector<std::vector<std::uint32_t>> operands;
  operands.reserve(calls.size());
  for (const auto* call : calls) operands.push_back(operands_of(call != nullptr ? *call : *first));
  step.operands.reserve(value_registers + 1);
  for (std::size_t position = 0; position <= value_registers; ++position) {
    std::vector<std::uint32_t> column;
    column.reserve(operands.size());
    for (const auto& instance_operands : operands) column.push_back(instance_operands[position]);
    TESSEL_TRY(operand, records.values(std::move(column)));
    step.operands.push_back(operand);
  }
  return StaticTemplateStep{std::move(step)};
}

}  // namespace tessel_runtime::static_codegen
