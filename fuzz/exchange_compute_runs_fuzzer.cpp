// plan_exchange_compute_runs on small random tile programs that mostly
// alternate exchange epochs with calls drawn from a few interfaces.
//
// Either the call fails with one of its messages (for a reason the input
// shows), or the runs are exactly the greedy front-to-back ones:
//   - each run alternates exchange and compute steps, at least twice, every
//     call repeating the first one's argument-free two-input interface;
//   - no run can be extended, and no uncovered position starts two such
//     pairs;
//   - each table lists the plan address and activity of its epochs and
//     follows the previous one, word aligned, from the cursor.
// With compaction disabled nothing is placed.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "program_input.hpp"
#include "tessel_runtime/static_codegen/exchange_compute_runs.hpp"

namespace {

namespace sc = tessel_runtime::static_codegen;
using fuzz_input::require;
using fuzz_input::TOP;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileStep;

constexpr std::size_t MAX_STEPS = 48;

struct Input {
  tessel_compiler::LoweredTileProgram program;
  std::vector<std::uint32_t> plan_addresses;
  std::uint32_t cursor = 0;
  bool enabled = true;
};

Input make_input(FuzzedDataProvider& provider) {
  Input input;
  // A few call interfaces, reused so that runs of equal calls appear.
  std::vector<LoweredComputeCommand> calls;
  const int interfaces = provider.ConsumeIntegralInRange(1, 3);
  for (int index = 0; index < interfaces; ++index) calls.push_back(fuzz_input::command(provider, 0));

  const std::size_t steps = provider.ConsumeIntegralInRange<std::size_t>(0, MAX_STEPS);
  for (std::size_t index = 0; index < steps; ++index) {
    const std::uint64_t phase = index;
    const bool natural_exchange = index % 2 == 0;
    switch (provider.ConsumeIntegralInRange(0, 15)) {
      case 0: input.program.steps.emplace_back(LoweredTileStep::IdleCompute{tessel_compiler::OpId(0), phase}); continue;
      case 1:
        input.program.steps.emplace_back(LoweredTileStep::Compute{fuzz_input::command(provider, phase)});
        continue;
      case 2:
        input.program.steps.push_back(fuzz_input::exchange(provider, phase));
        continue;
      default: break;
    }
    if (natural_exchange) {
      input.program.steps.push_back(fuzz_input::exchange(provider, phase));
    } else {
      auto call = calls[provider.ConsumeIntegralInRange<std::size_t>(0, calls.size() - 1)];
      call.phase = phase;
      input.program.steps.emplace_back(LoweredTileStep::Compute{std::move(call)});
    }
  }

  const auto exchanges = static_cast<std::size_t>(
      std::count_if(input.program.steps.begin(), input.program.steps.end(), fuzz_input::is_exchange));
  std::size_t addresses = exchanges;
  switch (provider.ConsumeIntegralInRange(0, 11)) {
    case 0: addresses = exchanges + 1; break;
    case 1: addresses = provider.ConsumeIntegralInRange<std::size_t>(0, exchanges); break;
    default: break;
  }
  for (std::size_t index = 0; index < addresses; ++index) {
    input.plan_addresses.push_back(provider.ConsumeIntegralInRange(0, 15) == 0
                                       ? fuzz_input::word(provider)
                                       : static_cast<std::uint32_t>(0x52000 + 0x20 * (index % 64)));
  }
  switch (provider.ConsumeIntegralInRange(0, 5)) {
    case 0: input.cursor = 0xFFFFFFFF - provider.ConsumeIntegralInRange<std::uint32_t>(0, 200); break;
    case 1: input.cursor = provider.ConsumeIntegral<std::uint32_t>(); break;
    default: input.cursor = 0x53000 + provider.ConsumeIntegralInRange<std::uint32_t>(0, 7); break;
  }
  input.enabled = provider.ConsumeIntegralInRange(0, 7) != 0;
  return input;
}

bool same_interface(const LoweredComputeCommand& left, const LoweredComputeCommand& right) {
  return left.specialization.operation == right.specialization.operation &&
         left.output_address == right.output_address && left.input_addresses == right.input_addresses &&
         left.arguments == right.arguments;
}

// True when an exchange/compute pair starts at `index` and its call repeats
// `first`'s interface.
bool pair_at(const std::vector<LoweredTileStep>& steps, std::size_t index, const LoweredComputeCommand& first) {
  if (index + 1 >= steps.size() || !fuzz_input::is_exchange(steps[index])) return false;
  const auto* call = fuzz_input::command_of(steps[index + 1]);
  return call != nullptr && same_interface(first, *call);
}

// True when two compactable pairs start at `index`.
bool run_starts_at(const std::vector<LoweredTileStep>& steps, std::size_t index) {
  if (index + 1 >= steps.size()) return false;
  const auto* first = fuzz_input::command_of(steps[index + 1]);
  if (first == nullptr || !first->arguments.empty() || first->input_addresses.size() != 2) return false;
  return pair_at(steps, index, *first) && pair_at(steps, index + 2, *first);
}

void check_runs(const Input& input, const sc::ExchangeComputeRuns& result) {
  const auto& steps = input.program.steps;
  std::vector<std::size_t> ordinal(steps.size(), 0);
  for (std::size_t index = 0, next = 0; index < steps.size(); ++index) {
    if (fuzz_input::is_exchange(steps[index])) ordinal[index] = next++;
  }
  std::vector<bool> covered(steps.size(), false);
  std::uint64_t cursor = input.cursor;
  std::uint64_t previous_end = 0;
  for (const auto& run : result.runs) {
    const std::uint64_t end = run.start_step + 2 * run.iterations;
    require(run.iterations >= 2 && run.start_step >= previous_end && end <= steps.size(), "runs in order, inside the program");
    previous_end = end;
    const auto* first = fuzz_input::command_of(steps[run.start_step + 1]);
    require(run_starts_at(steps, run.start_step), "a run starts with two compactable pairs");
    for (std::uint64_t pair = run.start_step; pair < end; pair += 2) {
      require(pair_at(steps, pair, *first), "every pair of a run repeats the first call");
      covered[pair] = covered[pair + 1] = true;
    }
    require(!pair_at(steps, end, *first), "a run takes every repeating pair that follows");

    const std::uint64_t table = (cursor + 3) / 4 * 4;
    cursor = table + 4 * run.iterations;
    require(cursor <= TOP - 1 && run.table_address == table, "tables follow one another, word aligned");
    require(run.table_entries.size() == run.iterations, "one table entry per iteration");
    for (std::uint64_t iteration = 0; iteration < run.iterations; ++iteration) {
      const auto& exchange = *steps[run.start_step + 2 * iteration].get_if<LoweredTileStep::Exchange>();
      const std::size_t plan = ordinal[run.start_step + 2 * iteration];
      require(plan < input.plan_addresses.size() && input.plan_addresses[plan] % 4 == 0, "aligned plan addresses");
      require(run.table_entries[iteration] ==
                  (input.plan_addresses[plan] | (tessel_compiler::row_is_active(exchange.row) ? 1U : 0U)),
              "entry is the plan address with the activity bit");
    }
  }
  for (std::size_t index = 0; index < steps.size(); ++index) {
    require(covered[index] || !run_starts_at(steps, index), "no compactable stretch is left unrolled");
  }
  require(result.cursor == cursor, "the returned cursor ends the last table");
}

// The message of a failed call, checked against what the input shows.
void check_error(const Input& input, const std::string& message, std::size_t exchanges) {
  const bool addresses_left = input.plan_addresses.size() > exchanges;
  if (addresses_left) {
    require(message == "unused exchange plan while finding compact compute runs", "unused addresses reported first");
  } else if (message == "compact compute run exchange has no plan address") {
    require(input.plan_addresses.size() < exchanges, "a missing plan address when there are fewer");
  } else if (message == "exchange plan address is not word aligned") {
    require(std::any_of(input.plan_addresses.begin(), input.plan_addresses.end(),
                        [](std::uint32_t address) { return address % 4 != 0; }),
            "a misaligned plan address exists");
  } else if (message == "compact exchange/compute run table address overflow") {
    require(input.cursor > 0xFFFFFFFF - 4 * (input.program.steps.size() / 2) - 3, "the tables pass the top");
  } else {
    fuzz_input::fail(message);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const Input input = make_input(provider);
  const auto result = sc::plan_exchange_compute_runs(input.program, input.plan_addresses, input.cursor, input.enabled);
  if (!input.enabled) {
    require(result && result->runs.empty() && result->cursor == input.cursor, "disabled: nothing placed");
    return 0;
  }
  const auto exchanges = static_cast<std::size_t>(
      std::count_if(input.program.steps.begin(), input.program.steps.end(), fuzz_input::is_exchange));
  if (!result) {
    check_error(input, result.error().message, exchanges);
    return 0;
  }
  require(input.plan_addresses.size() <= exchanges, "unused plan addresses fail");
  check_runs(input, *result);
  return 0;
}
