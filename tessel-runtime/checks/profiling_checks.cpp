// Checks of execution profiling: step profiles, profile assembly, layout
// decoding and the allocator memory profile.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessel_checks/check.hpp"
#include "tessel_compiler/schedule.hpp"
#include "tessel_exchange/instruction.hpp"
#include "tessel_exchange/topology.hpp"
#include "tessel_runtime/graph.hpp"
#include "tessel_runtime/profiling/memory_profile.hpp"
#include "tessel_runtime/profiling/profile_assembly.hpp"
#include "tessel_runtime/profiling/profile_layout.hpp"
#include "tessel_runtime/profiling/step_profiles.hpp"

namespace tessel_runtime::tests {

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::KernelCommand;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;
using tessel_compiler::OpId;
using tessel_compiler::Phase;
using tessel_compiler::Schedule;
using tessel_compiler::SpecializationKey;
using tessel_compiler::TensorId;
using tessel_package::ProfileMetadata;
using tessel_package::ProfileStep;
using tessel_package::ProfileStepKind;

namespace {

bool has_entry(const ProfileStep& step, std::string_view name, std::string_view value) {
  return std::ranges::any_of(step.metadata,
                             [&](const ProfileMetadata& entry) { return entry.name == name && entry.value == value; });
}

bool has_name(const ProfileStep& step, std::string_view name) {
  return std::ranges::any_of(step.metadata, [&](const ProfileMetadata& entry) { return entry.name == name; });
}

}  // namespace

void allocator_profile_covers_every_tile_and_labels_bindings() {
  const auto topology = tessel_exchange::Topology::slate();
  ExecutableGraph graph;
  graph.schedule.tile_count = 1472;
  graph.schedule.allocations.push_back(Allocation{
      .tensor = TensorId(3),
      .tile = 0,
      .address = 0xA0000,
      .size = 4096,
      .live_from = 0,
      .live_until = tessel_compiler::LIVE_TO_END,
      .kind = AllocationKind::Home{},
  });
  graph.host_inputs.push_back(tessel_package::Binding{
      .name = "left",
      .dtype = "f32",
      .shape = {1024},
      .slices = {{.tile = topology.physical(0).value(), .tile_address = 0xA0000, .file_offset = 0, .size = 4096}},
  });

  const auto profile = allocator_memory_profile(graph).value();
  TESSEL_CHECK_EQ(profile.tiles.size(), std::size_t{1472});
  TESSEL_CHECK_EQ(profile.tiles[0].regions.size(), std::size_t{1});
  TESSEL_CHECK_EQ(profile.tiles[0].regions[0].name, std::string("left"));
  TESSEL_CHECK(std::all_of(profile.tiles.begin() + 1, profile.tiles.end(),
                           [](const auto& tile) { return tile.regions.empty(); }));
  const auto& region = profile.tiles[0].regions[0];
  TESSEL_CHECK_EQ(region.category, std::string("home"));
  TESSEL_CHECK(region.tensor == std::optional<std::uint64_t>(3));
  TESSEL_CHECK_EQ(region.address, 0xA0000U);
  TESSEL_CHECK_EQ(region.size, 4096U);
}

namespace {

ProfileStep decoded_step(std::uint32_t index) {
  return ProfileStep{
      .local_index = index,
      .phase = index,
      .epoch = 0,
      .operation = fmt::format("step-{}", index),
      .kind = ProfileStepKind::Compute,
      .kernel = "test_kernel",
      .metadata = {},
  };
}

}  // namespace

void boundary_profile_reuses_adjacent_timestamps() {
  const ProfileLayout layout{
      .output_offset = 0,
      .tiles = {{.physical_tile = 7,
                 .file_offset = 0,
                 .steps = {decoded_step(0), decoded_step(1)},
                 .boundary_samples = true}},
  };
  const std::array<std::uint8_t, 12> output{11, 0, 0, 0, 23, 0, 0, 0, 47, 0, 0, 0};
  const auto report = layout.decode(output, 1500000000).value();
  const auto& samples = report.tiles[0].samples;
  TESSEL_CHECK_EQ(samples[0].start_cycle, 11U);
  TESSEL_CHECK_EQ(samples[0].end_cycle, 23U);
  TESSEL_CHECK_EQ(samples[1].start_cycle, 23U);
  TESSEL_CHECK_EQ(samples[1].end_cycle, 47U);
}

void compute_profile_preserves_kernel_semantics() {
  const LoweredComputeCommand command{
      .op = OpId(4),
      .phase = 7,
      .output = TensorId(11),
      .inputs = {TensorId(9), TensorId(10)},
      .output_address = 0x80000,
      .input_addresses = {0x50000, 0x54000},
      .arguments = {64},
      .specialization = SpecializationKey{.operation = "gemm_f32_accumulate",
                                          .shape = {64, 64, 64},
                                          .worker_count = 6,
                                          .role = "inner-block-3",
                                          .alignment = 32},
      .metadata = {{"label", "GEMM block (2, 5) inner block 3"}, {"output_block_row", "2"}},
  };
  const auto step = compute_profile_step(8, command);
  TESSEL_CHECK_EQ(step.kernel, std::string("gemm_f32_accumulate"));
  TESSEL_CHECK_EQ(step.operation, std::string("GEMM block (2, 5) inner block 3"));
  TESSEL_CHECK(has_entry(step, "shape", "64x64x64"));
  TESSEL_CHECK(has_entry(step, "output_block_row", "2"));
}

void exchange_profile_separates_sync_exchange_and_idle_compute() {
  const KernelCommand command{
      .tile = 1,
      .output = TensorId(3),
      .inputs = {TensorId(1), TensorId(2)},
      .arguments = {},
      .specialization =
          SpecializationKey{
              .operation = "add_u32", .shape = {64}, .worker_count = 6, .role = "elementwise", .alignment = 8},
      .metadata = {},
  };
  Schedule schedule;
  schedule.tile_count = 2;
  schedule.phases.emplace_back(Phase::Exchange{});
  schedule.phases.emplace_back(Phase::Compute{.op = OpId(2), .commands = {command}});
  const LoweredTileProgram program{
      .steps = {LoweredTileStep::Exchange{
                    .phase = 0, .epoch = 0, .row = tessel_compiler::make_row({tessel_exchange::sans(0)})},
                LoweredTileStep::IdleCompute{.op = OpId(2), .phase = 1}},
      .tile = 0,
  };

  const auto [steps, boundaries] = profile_steps(schedule, program, ProfileGranularity::Phase);
  std::vector<ProfileStepKind> kinds;
  for (const auto& step : steps) kinds.push_back(step.kind);
  const std::vector<ProfileStepKind> expected{ProfileStepKind::Synchronization, ProfileStepKind::Exchange,
                                              ProfileStepKind::Idle};
  TESSEL_CHECK_EQ(kinds, expected);
  TESSEL_CHECK(boundaries[0].after_sync);
  TESSEL_CHECK(boundaries[0].after_step);
  TESSEL_CHECK(boundaries[1].after_step);
  TESSEL_CHECK(has_entry(steps[1], "active", "false"));
}

namespace {

KernelCommand gelu_command(std::uint16_t tile, std::string label) {
  return KernelCommand{
      .tile = tile,
      .output = TensorId(3),
      .inputs = {TensorId(1), TensorId(2)},
      .arguments = {64},
      .specialization = SpecializationKey{.operation = "gelu_c16_to_a8",
                                          .shape = {64, 64},
                                          .worker_count = 6,
                                          .role = "activation",
                                          .alignment = 32},
      .metadata = {{"label", std::move(label)}, {"layer", "3"}},
  };
}

}  // namespace

void phase_profile_groups_commands_and_keeps_compact_semantics() {
  Schedule schedule;
  schedule.tile_count = 8;
  schedule.phases.emplace_back(
      Phase::Compute{.op = OpId(9), .commands = {gelu_command(7, "layer 3 GeLU"), gelu_command(7, "second command")}});
  const auto step = phase_compute_profile_step(schedule, 7, 0, 0);
  TESSEL_CHECK_EQ(step.operation, std::string("layer 3 GeLU"));
  TESSEL_CHECK_EQ(step.kernel, std::string("gelu_c16_to_a8"));
  TESSEL_CHECK(has_entry(step, "active_commands", "2"));
  TESSEL_CHECK(has_entry(step, "layer", "3"));
  TESSEL_CHECK(!has_name(step, "label"));
}

namespace {

ProfileStep phase_step(std::uint32_t phase) {
  return ProfileStep{
      .local_index = phase,
      .phase = phase,
      .epoch = 0,
      .operation = fmt::format("phase-{}", phase),
      .kind = ProfileStepKind::Compute,
      .kernel = "test",
      .metadata = {},
  };
}

std::string semantic_region(const ProfileStep& step) {
  const auto entry =
      std::ranges::find_if(step.metadata, [](const ProfileMetadata& meta) { return meta.name == "semantic_region"; });
  return entry != step.metadata.end() ? entry->value : std::string();
}

}  // namespace

void fine_profile_steps_include_their_semantic_region() {
  std::vector<ProfileStep> steps{phase_step(0), phase_step(2), phase_step(5)};
  const std::vector<StaticProfileRegion> regions{{.name = "embedding", .phases = {0, 2}},
                                                 {.name = "encoder", .phases = {2, 6}}};
  annotate_semantic_regions(steps, regions).value();
  TESSEL_CHECK_EQ(semantic_region(steps[0]), std::string("embedding"));
  TESSEL_CHECK_EQ(semantic_region(steps[1]), std::string("encoder"));
  TESSEL_CHECK_EQ(semantic_region(steps[2]), std::string("encoder"));
}

void host_phase_count_defers_the_last_rendezvous() {
  TESSEL_CHECK_EQ(host_transfer_phase_count(0).value(), 0U);
  for (std::uint32_t transfers = 1; transfers < 1024; ++transfers) {
    const std::uint32_t count = host_transfer_phase_count(transfers).value();
    TESSEL_CHECK_EQ((count + 1) / 2, transfers);
    TESSEL_CHECK(count % 2 == 1);
  }
}

}  // namespace tessel_runtime::tests

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> profiling_checks() {
  static constexpr CheckDescriptor checks[] = {
      {"tests::allocator_profile_covers_every_tile_and_labels_bindings",
       &tests::allocator_profile_covers_every_tile_and_labels_bindings},
      {"tests::boundary_profile_reuses_adjacent_timestamps", &tests::boundary_profile_reuses_adjacent_timestamps},
      {"tests::compute_profile_preserves_kernel_semantics", &tests::compute_profile_preserves_kernel_semantics},
      {"tests::exchange_profile_separates_sync_exchange_and_idle_compute",
       &tests::exchange_profile_separates_sync_exchange_and_idle_compute},
      {"tests::fine_profile_steps_include_their_semantic_region",
       &tests::fine_profile_steps_include_their_semantic_region},
      {"tests::host_phase_count_defers_the_last_rendezvous", &tests::host_phase_count_defers_the_last_rendezvous},
      {"tests::phase_profile_groups_commands_and_keeps_compact_semantics",
       &tests::phase_profile_groups_commands_and_keeps_compact_semantics},
  };
  return checks;
}

}  // namespace tessel_runtime::checks
