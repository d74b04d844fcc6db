// Static template planning at encoder scale: one layer of work repeated 27
// times as one template, and table-driven exchange/compute runs over long
// tile programs. Sizes are total program steps; the baselines sort as many
// records.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bench.hpp"
#include "tessel_runtime/static_codegen/exchange_compute_runs.hpp"
#include "tessel_runtime/static_codegen/template_planning.hpp"

namespace {

namespace sc = tessel_runtime::static_codegen;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;

constexpr std::uint32_t ENCODER_LAYERS = 27;
constexpr std::uint32_t ACTIVE_ROW_WORD = 0x40C00001;
constexpr std::uint32_t INACTIVE_ROW_WORD = 0x40C00000;

LoweredTileStep exchange_step(std::uint64_t phase, bool active) {
  return LoweredTileStep::Exchange{phase, 0, tessel_compiler::make_row({active ? ACTIVE_ROW_WORD : INACTIVE_ROW_WORD})};
}

LoweredComputeCommand call(std::uint64_t phase, std::string operation, std::uint32_t output,
                           std::vector<std::uint32_t> inputs, std::vector<std::uint32_t> arguments) {
  LoweredComputeCommand command;
  command.phase = phase;
  command.output_address = output;
  command.input_addresses = std::move(inputs);
  command.arguments = std::move(arguments);
  command.specialization.operation = std::move(operation);
  return command;
}

// Everything one planning call takes.
struct TemplateCase {
  LoweredTileProgram program;
  std::vector<std::uint32_t> plan_addresses;
  std::vector<std::vector<std::uint32_t>> plan_rows;
  std::vector<std::optional<sc::StaticPlanPatch>> plan_patches;
  std::vector<tessel_runtime::StaticTemplateRegion> regions;
};

// A weight block address that no other layer's is a fixed offset from.
std::uint32_t weight_block(std::uint32_t layer, std::uint32_t position) {
  return 0x100000 + 0x40 * ((layer * 7919 + position * 104729) % 4096);
}

// 27 encoder layers of `steps_per_layer` steps each, one phase per step:
// exchange epochs alternating with GEMM blocks, layer norms and adds. Layer l
// keeps its activations 0x1000 bytes above layer l - 1's (affine columns);
// the GEMM block of every twelfth pair reads a weight block that no other
// layer's is a fixed offset from (a slot of its own); the exchange plans
// differ in one word and every other one has a sender patch.
TemplateCase encoder_layers(std::uint64_t steps_per_layer) {
  TemplateCase planning;
  planning.program.tile = 7;
  std::uint64_t phase = 0;
  for (std::uint32_t layer = 0; layer < ENCODER_LAYERS; ++layer) {
    const std::uint32_t activations = 0x60000 + 0x1000 * layer;
    for (std::uint64_t step = 0; step < steps_per_layer; ++step, ++phase) {
      const auto position = static_cast<std::uint32_t>(step / 2);
      if (step % 2 == 0) {
        const auto plan = static_cast<std::uint32_t>(0x52000 + 0x20 * planning.plan_addresses.size());
        planning.program.steps.push_back(exchange_step(phase, (layer + position) % 5 != 0));
        planning.plan_addresses.push_back(plan);
        planning.plan_rows.push_back({ACTIVE_ROW_WORD, position, layer * 8 + position % 8, 7});
        planning.plan_patches.push_back(position % 2 == 0 ? std::optional{sc::StaticPlanPatch{plan + 4, 1, 0x78001238 + layer}}
                                                          : std::nullopt);
        continue;
      }
      const std::uint32_t output = activations + 0x40 * (position % 64);
      switch (position % 3) {
        case 0:
          planning.program.steps.emplace_back(LoweredTileStep::Compute{
              call(phase, "gemm_f16_accumulate", output,
                   {activations, position % 4 == 0 ? weight_block(layer, position) : 0x90000}, {12, 64, 64})});
          break;
        case 1:
          planning.program.steps.emplace_back(
              LoweredTileStep::Compute{call(phase, "layer_norm_f16", output, {output, 0x98000}, {})});
          break;
        default:
          planning.program.steps.emplace_back(
              LoweredTileStep::Compute{call(phase, "add_f16", output, {output, activations + 0x800}, {})});
          break;
      }
    }
  }
  tessel_runtime::StaticTemplateRegion region{"encoder_layer", {}};
  for (std::uint32_t layer = 0; layer < ENCODER_LAYERS; ++layer) {
    region.phase_instances.push_back({layer * steps_per_layer, (layer + 1) * steps_per_layer});
  }
  planning.regions.push_back(std::move(region));
  return planning;
}

const std::vector<std::int64_t> TEMPLATE_STEPS = {ENCODER_LAYERS * 8, ENCODER_LAYERS * 32, ENCODER_LAYERS * 128,
                                                  ENCODER_LAYERS * 512};

const bool registered_templates =
    tessel_bench::add("plan_static_templates/27_instances", {TEMPLATE_STEPS, benchmark::oAuto}, [](benchmark::State& state) {
      const auto planning = encoder_layers(static_cast<std::uint64_t>(state.range(0)) / ENCODER_LAYERS);
      for (auto _ : state) {
        auto plans = sc::plan_static_templates(planning.program, planning.plan_addresses, planning.plan_rows,
                                               planning.plan_patches, planning.regions, 0x53002, true);
        if (!plans) state.SkipWithError(plans.error().message.c_str());
        benchmark::DoNotOptimize(plans);
      }
      state.SetComplexityN(state.range(0));
    });
const bool registered_templates_baseline =
    tessel_bench::add("plan_static_templates/baseline_sort", {TEMPLATE_STEPS}, tessel_bench::sort_baseline);

// `steps` steps of exchange/compute pairs; every 16th pair's call takes an
// argument and every 50th uses another output, so runs of up to 15 pairs
// alternate with calls that stay unrolled.
LoweredTileProgram alternating_program(std::uint64_t steps, std::vector<std::uint32_t>& plan_addresses) {
  LoweredTileProgram program;
  program.tile = 7;
  for (std::uint64_t step = 0; step < steps; ++step) {
    const std::uint64_t pair = step / 2;
    if (step % 2 == 0) {
      program.steps.push_back(exchange_step(step, pair % 7 != 3));
      plan_addresses.push_back(static_cast<std::uint32_t>(0x52000 + 0x20 * (pair % 1024)));
    } else {
      const std::uint32_t output = pair % 50 == 49 ? 0x84000 : 0x80000;
      program.steps.emplace_back(LoweredTileStep::Compute{
          call(step, "add_f16", output, {0x50000, 0x54000}, pair % 16 == 15 ? std::vector<std::uint32_t>{64} : std::vector<std::uint32_t>{})});
    }
  }
  return program;
}

// The scan streams every step once (264 bytes each), so time per step jumps
// where the program outgrows the caches, between 10^4 and 10^5 steps; the
// two sizes past 10^5 show the growth beyond that step.
const std::vector<std::int64_t> RUN_STEPS = {100, 1000, 10000, 100000, 200000, 400000};

const bool registered_runs =
    tessel_bench::add("plan_exchange_compute_runs", {RUN_STEPS, benchmark::oAuto}, [](benchmark::State& state) {
      std::vector<std::uint32_t> plan_addresses;
      const auto program = alternating_program(static_cast<std::uint64_t>(state.range(0)), plan_addresses);
      for (auto _ : state) {
        auto runs = sc::plan_exchange_compute_runs(program, plan_addresses, 0x53002, true);
        if (!runs) state.SkipWithError(runs.error().message.c_str());
        benchmark::DoNotOptimize(runs);
      }
      state.SetComplexityN(state.range(0));
    });
const bool registered_runs_baseline =
    tessel_bench::add("plan_exchange_compute_runs/baseline_sort", {RUN_STEPS}, tessel_bench::sort_baseline);

}  // namespace
