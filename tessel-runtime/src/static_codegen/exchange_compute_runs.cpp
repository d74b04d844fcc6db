#include "tessel_runtime/static_codegen/exchange_compute_runs.hpp"

#include <optional>

#include "tessel/integer.hpp"

namespace tessel_runtime::static_codegen {

using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileStep;

namespace {

const LoweredComputeCommand* compute_command(const LoweredTileStep& step) {
  const auto* compute = step.get_if<LoweredTileStep::Compute>();
  return compute != nullptr ? &compute->command : nullptr;
}

bool is_exchange(const LoweredTileStep& step) { return step.get_if<LoweredTileStep::Exchange>() != nullptr; }

}  // namespace

bool same_compute_abi(const LoweredComputeCommand& left, const LoweredComputeCommand& right) {
  return tessel_compiler::same_call_interface(left, right);
}

tessel::Result<ExchangeComputeRuns> plan_exchange_compute_runs(const tessel_compiler::LoweredTileProgram& program,
                                                               std::span<const std::uint32_t> plan_addresses,
                                                               std::uint32_t cursor, bool enabled) {
  if (!enabled) return ExchangeComputeRuns{{}, cursor};
  const auto& steps = program.steps;

  std::vector<std::optional<std::uint32_t>> plan_by_step(steps.size());
  std::size_t next_plan = 0;
  for (std::size_t index = 0; index < steps.size(); ++index) {
    if (is_exchange(steps[index]) && next_plan < plan_addresses.size()) plan_by_step[index] = plan_addresses[next_plan++];
  }
  if (next_plan < plan_addresses.size()) return tessel::fail("unused exchange plan while finding compact compute runs");

  ExchangeComputeRuns result{{}, cursor};
  std::size_t step_index = 0;
  while (step_index + 3 < steps.size()) {
    const LoweredComputeCommand* first = compute_command(steps[step_index + 1]);
    if (!is_exchange(steps[step_index]) || first == nullptr || !first->arguments.empty() ||
        first->input_addresses.size() != 2) {
      ++step_index;
      continue;
    }
    std::size_t end = step_index + 2;
    while (end + 1 < steps.size() && is_exchange(steps[end])) {
      const LoweredComputeCommand* next = compute_command(steps[end + 1]);
      if (next == nullptr || !same_compute_abi(*first, *next)) break;
      end += 2;
    }
    const std::size_t iterations = (end - step_index) / 2;
    if (iterations < 2) {
      ++step_index;
      continue;
    }

    // Aligning a cursor within 3 bytes of 2^32 would wrap to address 0.
    const auto table_address = tessel::checked_align_up<std::uint32_t>(result.cursor, 4);
    if (!table_address) return tessel::fail("compact exchange/compute run table address overflow");
    ExchangeComputeRun run{step_index, iterations, *table_address, {}};
    run.table_entries.reserve(iterations);
    for (std::size_t exchange = step_index; exchange < end; exchange += 2) {
      const auto plan_address = plan_by_step[exchange];
      if (!plan_address) return tessel::fail("compact compute run exchange has no plan address");
      if (*plan_address % 4 != 0) return tessel::fail("exchange plan address is not word aligned");
      const auto& row = steps[exchange].get_if<LoweredTileStep::Exchange>()->row;
      run.table_entries.push_back(*plan_address | (tessel_compiler::row_is_active(row) ? 1U : 0U));
    }
    TESSEL_TRY(entries, tessel::narrow<std::uint32_t>(run.table_entries.size()));
    const auto size = tessel::checked_mul<std::uint32_t>(entries, 4);
    if (!size) return tessel::fail("compact exchange/compute run table size overflow");
    const auto table_end = tessel::checked_add(run.table_address, *size);
    if (!table_end) return tessel::fail("compact exchange/compute run table address overflow");
    result.cursor = *table_end;
    result.runs.push_back(std::move(run));
    step_index = end;
  }
  return result;
}

}  // namespace tessel_runtime::static_codegen
