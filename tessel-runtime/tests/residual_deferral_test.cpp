#include <catch2/catch.hpp>

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tessel_checks/siglip_fixtures.hpp"
#include "tessel_runtime/siglip/residual_deferral.hpp"

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::KernelCommand;
using tessel_compiler::LIVE_TO_END;
using tessel_compiler::OpId;
using tessel_compiler::Phase;
using tessel_compiler::Schedule;
using tessel_compiler::TensorId;
using tessel_compiler::Transfer;
using tessel_runtime::siglip::DeferredResidualAdd;
using tessel_runtime::siglip::defer_terminal_residual_add;
using tessel_runtime::siglip::fuse_deferred_residual_into_layer_norm;
using tessel_runtime::siglip::tests::command;

namespace {

using Commands = std::vector<KernelCommand>;

KernelCommand on_tile(std::uint16_t tile, KernelCommand built) {
  built.tile = tile;
  return built;
}

Allocation allocation(std::uint64_t tensor, std::uint16_t tile, std::uint64_t live_from, std::uint64_t live_until,
                      AllocationKind kind = AllocationKind::Home{}) {
  return Allocation{.tensor = TensorId(tensor),
                    .tile = tile,
                    .address = static_cast<std::uint32_t>(0x60000 + 256 * tensor),
                    .size = 32,
                    .live_from = live_from,
                    .live_until = live_until,
                    .kind = kind};
}

Phase compute(Commands commands) { return Phase::Compute{OpId(1), std::move(commands)}; }
Phase exchange(std::vector<Transfer> transfers = {}) { return Phase::Exchange{std::move(transfers)}; }

Schedule schedule_of(std::vector<Phase> phases) {
  Schedule schedule;
  schedule.phases = std::move(phases);
  schedule.allocations = {allocation(1, 0, 0, LIVE_TO_END), allocation(2, 0, 0, LIVE_TO_END),
                          allocation(3, 1, 0, LIVE_TO_END), allocation(4, 1, 0, LIVE_TO_END)};
  schedule.tile_count = 2;
  schedule.peak_sram = {{0, 1024}};
  return schedule;
}

// A layer that computes, then adds residuals 2 and 4 into tensors 1 and 3
// (tiles 0 and 1) in place after an empty exchange.
Schedule layer_ending_with(Commands additions) {
  return schedule_of({compute({command("gemm_f16", 1, {5, 6})}), exchange(), compute(std::move(additions))});
}

DeferredResidualAdd deferred(std::vector<std::pair<std::uint64_t, std::uint64_t>> pairs) {
  DeferredResidualAdd result;
  for (const auto& [updated, residual] : pairs) result.sources.emplace_back(TensorId(updated), TensorId(residual));
  return result;
}

const Commands TWO_ADDITIONS{command("add_f16", 1, {1, 2}), on_tile(1, command("add_f16", 3, {3, 4}))};

}  // namespace

TEST_CASE("terminal residual additions are taken off the schedule") {
  Schedule schedule = layer_ending_with(TWO_ADDITIONS);
  const Schedule before = schedule;

  const auto result = defer_terminal_residual_add(schedule);
  REQUIRE(result.has_value());
  REQUIRE(result->has_value());
  CHECK(**result == deferred({{1, 2}, {3, 4}}));
  CHECK(schedule.phases == std::vector<Phase>{before.phases[0]});
  CHECK(schedule.allocations == before.allocations);
  CHECK(schedule.tile_count == before.tile_count);
  CHECK(schedule.peak_sram == before.peak_sram);
}

TEST_CASE("schedules without a deferrable terminal addition are left alone") {
  const KernelCommand add = command("add_f16", 1, {1, 2});
  auto [name, schedule] = GENERATE_COPY(table<std::string, Schedule>({
      {"no phases", schedule_of({})},
      {"last phase is an exchange", schedule_of({compute({add}), exchange()})},
      {"last compute phase has no commands", schedule_of({exchange(), compute({})})},
      {"additions mixed with another kernel", schedule_of({exchange(), compute({add, command("mul_f16", 3, {3, 4})})})},
      {"the exchange before moves data",
       schedule_of({exchange({Transfer{.source_tile = 1, .destination_tile = 0, .tensor = TensorId(2), .bytes = 32, .staging_address = std::nullopt}}),
                    compute({add})})},
      {"a compute phase before", schedule_of({compute({command("gemm_f16", 1, {5, 6})}), compute({add})})},
      {"a single compute phase of additions", schedule_of({compute({add})})},
  }));
  CAPTURE(name);
  const Schedule before = schedule;
  const auto result = defer_terminal_residual_add(schedule);
  REQUIRE(result.has_value());
  CHECK_FALSE(result->has_value());
  CHECK(schedule == before);
}

TEST_CASE("terminal additions that are not in place fail and change nothing") {
  auto [name, additions] = GENERATE(table<std::string, Commands>({
      {"three inputs", {command("add_f16", 1, {1, 2, 3})}},
      {"one input", {command("add_f16", 1, {1})}},
      {"output is not the first input", {command("add_f16", 1, {2, 1})}},
      {"a later command breaks it", {command("add_f16", 1, {1, 2}), command("add_f16", 5, {3, 4})}},
  }));
  CAPTURE(name);
  Schedule schedule = layer_ending_with(additions);
  const Schedule before = schedule;
  const auto result = defer_terminal_residual_add(schedule);
  REQUIRE_FALSE(result.has_value());
  CHECK(result.error().message == "terminal residual add has an incompatible command ABI");
  CHECK(schedule == before);
}

namespace {

// The layer that follows: phase 0 exchanges, phase 1 runs another kernel,
// phase 2 normalises tensors 1 (tile 0) and 3 (tile 1), phase 4 normalises
// again.
Schedule next_layer(Commands layer_norms) {
  return schedule_of({exchange(), compute({command("gemm_f16", 1, {5, 6})}), compute(std::move(layer_norms)),
                      exchange(), compute({command("layer_norm_affine_f16", 11, {1, 12})})});
}

const Commands TWO_LAYER_NORMS{command("layer_norm_affine_f16", 7, {1, 8}),
                               on_tile(1, command("layer_norm_affine_f16", 9, {3, 10}))};

KernelCommand fused(KernelCommand layer_norm, std::uint64_t residual) {
  layer_norm.inputs.insert(layer_norm.inputs.begin() + 1, TensorId(residual));
  layer_norm.specialization.operation = "add_layer_norm_affine_f16";
  layer_norm.specialization.role = "add-and-normalize";
  layer_norm.metadata["label"] = "fused residual add and LayerNorm";
  return layer_norm;
}

const Commands& commands_of(const Schedule& schedule, std::size_t phase) {
  return std::get<Phase::Compute>(schedule.phases.at(phase).value).commands;
}

}  // namespace

TEST_CASE("deferred additions fuse into the first following LayerNorm") {
  Commands layer_norms = TWO_LAYER_NORMS;
  layer_norms[1].metadata = {{"label", "layer norm shard 1"}, {"output_block_row", "0"}};
  layer_norms[1].specialization.role = "normalize";
  Schedule schedule = next_layer(layer_norms);
  const Schedule before = schedule;

  // Pairs are matched by the tensor they update, not by position.
  const auto result = fuse_deferred_residual_into_layer_norm(schedule, 0, deferred({{3, 4}, {1, 2}}));
  REQUIRE(result.has_value());
  CHECK(commands_of(schedule, 2) == Commands{fused(layer_norms[0], 2), fused(layer_norms[1], 4)});
  CHECK(commands_of(schedule, 2)[1].metadata.at("output_block_row") == "0");
  // Nothing else changes, later LayerNorms included.
  Schedule rest = schedule;
  rest.phases[2] = before.phases[2];
  CHECK(rest == before);
}

TEST_CASE("fusion finds its LayerNorm from the starting phase") {
  auto [name, start, fused_phase] = GENERATE(table<std::string, std::uint64_t, std::size_t>({
      {"passes over exchange and other compute phases", 0, 2},
      {"starts at the LayerNorm itself", 2, 2},
      {"starts past the first LayerNorm", 3, 4},
  }));
  CAPTURE(name);
  Schedule schedule = schedule_of({exchange(), compute({command("gemm_f16", 1, {5, 6})}),
                                   compute({command("layer_norm_affine_f16", 7, {1})}), exchange(),
                                   compute({command("layer_norm_affine_f16", 11, {1, 12})})});
  const Schedule before = schedule;
  REQUIRE(fuse_deferred_residual_into_layer_norm(schedule, start, deferred({{1, 2}})).has_value());
  CHECK(commands_of(schedule, fused_phase) == Commands{fused(commands_of(before, fused_phase)[0], 2)});
  schedule.phases[fused_phase] = before.phases[fused_phase];
  CHECK(schedule == before);
}

TEST_CASE("fusion accepts a residual source of any allocation kind live in the phase") {
  Schedule schedule = next_layer({command("layer_norm_affine_f16", 7, {1, 8})});
  schedule.allocations = {allocation(2, 0, 2, 3, AllocationKind::ExchangeStaging{1})};
  REQUIRE(fuse_deferred_residual_into_layer_norm(schedule, 0, deferred({{1, 2}})).has_value());
  CHECK(commands_of(schedule, 2)[0].inputs == std::vector<TensorId>{TensorId(1), TensorId(2), TensorId(8)});
}

TEST_CASE("fusion failures before any change leave the schedule unchanged") {
  using Pairs = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
  constexpr auto NO_LAYER_NORM = "deferred residual add has no following affine LayerNorm";
  auto [name, layer_norms, start, pairs, message] =
      GENERATE(table<std::string, Commands, std::uint64_t, Pairs, std::string>({
          {"starts past every LayerNorm", TWO_LAYER_NORMS, 5, {{1, 2}, {3, 4}}, NO_LAYER_NORM},
          {"starts far past the end", TWO_LAYER_NORMS, std::numeric_limits<std::uint64_t>::max(), {{1, 2}, {3, 4}},
           NO_LAYER_NORM},
          {"more LayerNorm shards than pairs", TWO_LAYER_NORMS, 0, {{1, 2}},
           "deferred residual add and LayerNorm shard counts differ"},
          {"fewer LayerNorm shards than pairs", {TWO_LAYER_NORMS[0]}, 0, {{1, 2}, {3, 4}},
           "deferred residual add and LayerNorm shard counts differ"},
          {"LayerNorm input is not an updated tensor", TWO_LAYER_NORMS, 0, {{2, 1}, {3, 4}},
           "deferred residual add has no source for a LayerNorm shard"},
          {"LayerNorm without inputs", {command("layer_norm_affine_f16", 7, {})}, 0, {{1, 2}},
           "deferred residual add has no source for a LayerNorm shard"},
          {"residual source lives on another tile", TWO_LAYER_NORMS, 0, {{1, 4}, {3, 2}},
           "deferred residual source is not colocated with LayerNorm"},
          {"residual source has no allocation", TWO_LAYER_NORMS, 0, {{1, 6}, {3, 4}},
           "deferred residual source is not colocated with LayerNorm"},
      }));
  CAPTURE(name);
  // With the search starting past phase 2 the LayerNorm of phase 4 would be
  // found; drop it so only phase 2 can match.
  Schedule schedule = next_layer(layer_norms);
  schedule.phases.pop_back();
  const Schedule before = schedule;
  const auto result = fuse_deferred_residual_into_layer_norm(schedule, start, deferred(pairs));
  REQUIRE_FALSE(result.has_value());
  CHECK(result.error().message == message);
  CHECK(schedule == before);
}

TEST_CASE("fusion needs a LayerNorm phase whose commands all normalise") {
  Schedule schedule = schedule_of({exchange(), compute({}),
                                   compute({command("layer_norm_affine_f16", 7, {1, 8}), command("gemm_f16", 1, {5})})});
  const Schedule before = schedule;
  const auto result = fuse_deferred_residual_into_layer_norm(schedule, 0, deferred({{1, 2}, {3, 4}}));
  REQUIRE_FALSE(result.has_value());
  CHECK(result.error().message == "deferred residual add has no following affine LayerNorm");
  CHECK(schedule == before);
}

TEST_CASE("a residual source must be live in the LayerNorm phase") {
  // The LayerNorm runs in phase 2.
  auto [name, live_from, live_until] = GENERATE(table<std::string, std::uint64_t, std::uint64_t>({
      {"ends at the phase", 0, 2},
      {"starts after the phase", 3, LIVE_TO_END},
      {"empty lifetime", 2, 2},
  }));
  CAPTURE(name);
  Schedule schedule = next_layer({command("layer_norm_affine_f16", 7, {1, 8})});
  schedule.allocations = {allocation(2, 0, live_from, live_until)};
  const Schedule before = schedule;
  const auto result = fuse_deferred_residual_into_layer_norm(schedule, 0, deferred({{1, 2}}));
  REQUIRE_FALSE(result.has_value());
  CHECK(result.error().message == "deferred residual source is not colocated with LayerNorm");
  CHECK(schedule == before);
}

TEST_CASE("a failing LayerNorm shard leaves the shards before it fused") {
  Schedule schedule = next_layer(TWO_LAYER_NORMS);
  // The second shard's residual, tensor 4, is not on tile 1 any more.
  schedule.allocations.back().tile = 0;
  const auto result = fuse_deferred_residual_into_layer_norm(schedule, 0, deferred({{1, 2}, {3, 4}}));
  REQUIRE_FALSE(result.has_value());
  CHECK(result.error().message == "deferred residual source is not colocated with LayerNorm");
  CHECK(commands_of(schedule, 2) == Commands{fused(TWO_LAYER_NORMS[0], 2), TWO_LAYER_NORMS[1]});
}
