// profile_steps at every granularity on random tile programs consistent with
// a random schedule (exchange epochs in exchange phases, compute and idle
// steps in compute phases, the steps of a phase adjacent, phases ascending).
// Checks the step count each granularity promises, local indices 0 .. n - 1,
// one set boundary flag per profile step, and that walking the flags meets
// the steps in order: after_sync at synchronisation steps of the same phase
// and epoch, after_step at the others, which have the lowered step's phase.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tessel_exchange/instruction.hpp"
#include "tessel_runtime/profiling/profile_assembly.hpp"

namespace {

using tessel_compiler::KernelCommand;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;
using tessel_compiler::OpId;
using tessel_compiler::Phase;
using tessel_compiler::Schedule;
using tessel_compiler::SpecializationKey;
using tessel_compiler::TensorId;
using tessel_package::ProfileStepKind;
using tessel_runtime::ProfileGranularity;

constexpr std::uint16_t TILES = 3;

void require(bool condition) {
  if (!condition) std::abort();
}

SpecializationKey kernel(FuzzedDataProvider& input) {
  return SpecializationKey{.operation = input.ConsumeBool() ? "gemm_f16" : "add_f16",
                           .shape = {input.ConsumeIntegralInRange<std::uint64_t>(1, 64)},
                           .worker_count = 6,
                           .role = input.ConsumeBool() ? "" : "inner",
                           .alignment = 8};
}

tessel_compiler::Metadata metadata(FuzzedDataProvider& input) {
  tessel_compiler::Metadata entries;
  if (input.ConsumeBool()) entries["label"] = "l" + std::to_string(input.ConsumeIntegralInRange(0, 3));
  if (input.ConsumeBool()) entries["layer"] = std::to_string(input.ConsumeIntegralInRange(0, 1));
  if (input.ConsumeBool()) entries["next_layer_hint"] = "x";
  return entries;
}

Schedule random_schedule(FuzzedDataProvider& input) {
  Schedule schedule;
  schedule.tile_count = TILES;
  const int phases = input.ConsumeIntegralInRange(1, 8);
  for (int p = 0; p < phases; ++p) {
    if (input.ConsumeBool()) {
      Phase::Exchange exchange;
      const int transfers = input.ConsumeIntegralInRange(0, 4);
      for (int i = 0; i < transfers; ++i) {
        exchange.transfers.push_back({.source_tile = input.ConsumeIntegralInRange<std::uint16_t>(0, TILES - 1),
                                      .destination_tile = input.ConsumeIntegralInRange<std::uint16_t>(0, TILES - 1),
                                      .tensor = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 5)),
                                      .bytes = input.ConsumeIntegral<std::uint32_t>(),
                                      .staging_address = std::nullopt});
      }
      schedule.phases.emplace_back(std::move(exchange));
    } else {
      Phase::Compute compute{OpId(static_cast<std::uint64_t>(p)), {}};
      const int commands = input.ConsumeIntegralInRange(0, 4);
      for (int i = 0; i < commands; ++i) {
        compute.commands.push_back(KernelCommand{.tile = input.ConsumeIntegralInRange<std::uint16_t>(0, TILES - 1),
                                                 .output = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 5)),
                                                 .inputs = {},
                                                 .arguments = {},
                                                 .specialization = kernel(input),
                                                 .metadata = metadata(input)});
      }
      schedule.phases.emplace_back(std::move(compute));
    }
  }
  return schedule;
}

LoweredTileProgram random_program(FuzzedDataProvider& input, const Schedule& schedule) {
  LoweredTileProgram program{.steps = {}, .tile = input.ConsumeIntegralInRange<std::uint16_t>(0, TILES - 1)};
  const auto inactive = tessel_compiler::make_row({tessel_exchange::sans(0)});
  for (std::uint64_t p = 0; p < schedule.phases.size(); ++p) {
    const int count = input.ConsumeIntegralInRange(0, 3);
    for (int i = 0; i < count; ++i) {
      if (const auto* compute = schedule.phases[p].get_if<Phase::Compute>()) {
        if (input.ConsumeBool()) {
          program.steps.emplace_back(LoweredTileStep::IdleCompute{compute->op, p});
        } else {
          LoweredComputeCommand command;
          command.op = compute->op;
          command.phase = p;
          command.output = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 5));
          command.inputs = {TensorId(1), TensorId(2), TensorId(3)};
          command.input_addresses.resize(input.ConsumeIntegralInRange<std::size_t>(0, 3), 0x60000);
          command.specialization = kernel(input);
          command.metadata = metadata(input);
          program.steps.emplace_back(LoweredTileStep::Compute{std::move(command)});
        }
      } else {
        tessel_compiler::ExchangeRow row;
        switch (input.ConsumeIntegralInRange(0, 2)) {
          case 0: row = inactive; break;
          case 1: row = tessel_compiler::make_row({}); break;
          default: row = tessel_compiler::make_row({input.ConsumeIntegral<std::uint32_t>()});
        }
        program.steps.emplace_back(LoweredTileStep::Exchange{p, static_cast<std::uint64_t>(i), row});
      }
    }
  }
  return program;
}

bool is_exchange(const LoweredTileStep& step) { return step.get_if<LoweredTileStep::Exchange>() != nullptr; }

// Profile steps each granularity yields: two per exchange epoch, and one per
// compute or idle step (Step) or per run of same-phase compute steps (Phase).
std::size_t expected_count(const LoweredTileProgram& program, ProfileGranularity granularity) {
  if (granularity == ProfileGranularity::Graph) return 0;
  std::size_t count = 0;
  for (std::size_t i = 0; i < program.steps.size(); ++i) {
    const auto& step = program.steps[i];
    if (is_exchange(step)) {
      count += 2;
    } else if (granularity == ProfileGranularity::Step || i == 0 || is_exchange(program.steps[i - 1]) ||
               program.steps[i - 1].phase() != step.phase()) {
      ++count;
    }
  }
  return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const Schedule schedule = random_schedule(input);
  const LoweredTileProgram program = random_program(input, schedule);
  const auto granularity = static_cast<ProfileGranularity>(input.ConsumeIntegralInRange(0, 2));

  const auto [steps, boundaries] = tessel_runtime::profile_steps(schedule, program, granularity);
  require(boundaries.size() == program.steps.size());
  require(steps.size() == expected_count(program, granularity));
  for (std::size_t i = 0; i < steps.size(); ++i) require(steps[i].local_index == i);

  std::size_t next = 0;
  for (std::size_t i = 0; i < program.steps.size(); ++i) {
    const auto& lowered = program.steps[i];
    const auto* exchange = lowered.get_if<LoweredTileStep::Exchange>();
    const bool profiled = granularity != ProfileGranularity::Graph;
    const bool ends_run = i + 1 == program.steps.size() || program.steps[i + 1].phase() != lowered.phase() ||
                          is_exchange(program.steps[i + 1]);
    require(boundaries[i].after_sync == (profiled && exchange != nullptr));
    require(boundaries[i].after_step ==
            (profiled && (exchange != nullptr || granularity == ProfileGranularity::Step || ends_run)));
    if (boundaries[i].after_sync) {
      require(next < steps.size());
      const auto& sync = steps[next++];
      require(sync.kind == ProfileStepKind::Synchronization && sync.phase == exchange->phase &&
              sync.epoch == exchange->epoch);
    }
    if (boundaries[i].after_step) {
      require(next < steps.size());
      const auto& step = steps[next++];
      require(step.phase == lowered.phase());
      if (exchange) {
        require(step.kind == ProfileStepKind::Exchange && step.epoch == exchange->epoch);
        if (granularity == ProfileGranularity::Phase) {
          for (const auto& entry : step.metadata) {
            require(entry.name.rfind("send_", 0) != 0 || entry.name == "send_count" || entry.name == "send_bytes");
            require(entry.name.rfind("receive_", 0) != 0 || entry.name == "receive_count" ||
                    entry.name == "receive_bytes");
          }
        }
      } else {
        require(step.kind == ProfileStepKind::Compute || step.kind == ProfileStepKind::Idle);
        require(step.epoch == 0);
      }
    }
  }
  require(next == steps.size());
  return 0;
}
