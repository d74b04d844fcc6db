#include <catch2/catch.hpp>

#include <cstdint>
#include <limits>
#include <string>

#include "profiling_fixtures.hpp"
#include "tessel_runtime/profiling/step_profiles.hpp"

using namespace profiling_fixtures;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::OpId;
using tessel_compiler::TensorId;
using tessel_package::ProfileStepKind;
using tessel_runtime::compute_profile_step;
using tessel_runtime::exchange_profile_step;
using tessel_runtime::idle_compute_profile_step;
using tessel_runtime::synchronization_profile_step;

namespace {

LoweredComputeCommand gemm_block_command() {
  return LoweredComputeCommand{
      .op = OpId(4),
      .phase = 7,
      .output = TensorId(11),
      .inputs = {TensorId(9), TensorId(10)},
      .output_address = 0x80000,
      .input_addresses = {0x50000, 0x54000},
      .arguments = {64},
      .specialization = {.operation = "gemm_f32_accumulate",
                         .shape = {64, 64, 64},
                         .worker_count = 6,
                         .role = "inner-block-3",
                         .alignment = 32},
      .metadata = {{"label", "GEMM block (2, 5) inner block 3"}, {"output_block_row", "2"}},
  };
}

constexpr std::uint64_t NO_PHASE = std::numeric_limits<std::uint64_t>::max();

}  // namespace

TEST_CASE("a compute step lists the kernel, its operands and the command's metadata in order") {
  const auto step = compute_profile_step(8, gemm_block_command());
  CHECK(step.kind == ProfileStepKind::Compute);
  CHECK(step.kernel == "gemm_f32_accumulate");
  CHECK(step.operation == "GEMM block (2, 5) inner block 3");
  CHECK(step.local_index == 8);
  CHECK(step.phase == 7);
  CHECK(step.epoch == 0);
  CHECK(step.metadata == Entries{{"role", "inner-block-3"},
                                 {"shape", "64x64x64"},
                                 {"worker_count", "6"},
                                 {"alignment", "32"},
                                 {"output_tensor", "11"},
                                 {"output_address", "0x80000"},
                                 {"input_0_tensor", "9"},
                                 {"input_0_address", "0x50000"},
                                 {"input_1_tensor", "10"},
                                 {"input_1_address", "0x54000"},
                                 {"argument_0", "64"},
                                 {"label", "GEMM block (2, 5) inner block 3"},
                                 {"output_block_row", "2"}});
}

TEST_CASE("a compute step without a label is named by its kernel and role") {
  const auto [role, expected] = GENERATE(table<std::string, std::string>({
      {"inner-block-3", "gemm_f32_accumulate (inner-block-3)"},
      {"", "gemm_f32_accumulate"},
  }));
  CAPTURE(role);
  auto command = gemm_block_command();
  command.metadata.erase("label");
  command.specialization.role = role;
  CHECK(compute_profile_step(0, command).operation == expected);
}

TEST_CASE("a compute step pairs inputs with addresses up to the shorter list") {
  auto command = gemm_block_command();
  command.inputs = {TensorId(1), TensorId(2), TensorId(3)};
  command.input_addresses = {0x60000, 0x60100};
  command.arguments = {};
  command.metadata = {};
  command.specialization.shape = {};
  const auto step = compute_profile_step(0, command);
  CHECK(step.metadata == Entries{{"role", "inner-block-3"},
                                 {"shape", ""},
                                 {"worker_count", "6"},
                                 {"alignment", "32"},
                                 {"output_tensor", "11"},
                                 {"output_address", "0x80000"},
                                 {"input_0_tensor", "1"},
                                 {"input_0_address", "0x60000"},
                                 {"input_1_tensor", "2"},
                                 {"input_1_address", "0x60100"}});
}

TEST_CASE("step positions, phases and epochs keep their low 32 bits") {
  auto command = gemm_block_command();
  command.phase = (std::uint64_t{1} << 32) + 7;
  const auto compute_step = compute_profile_step((std::uint64_t{3} << 32) + 8, command);
  CHECK(compute_step.local_index == 8);
  CHECK(compute_step.phase == 7);

  const auto schedule = profiling_fixtures::schedule(2, {exchange()});
  const auto exchange_step =
      exchange_profile_step(schedule, 0, (std::uint64_t{1} << 32) + 1, 0, (std::uint64_t{1} << 33) + 2, true);
  CHECK(exchange_step.local_index == 1);
  CHECK(exchange_step.epoch == 2);
}

namespace {

// Phase 0 moves data between tiles 0, 1 and 2; phase 1 computes on tiles 1 and 2.
tessel_compiler::Schedule exchange_then_compute() {
  const auto add = kernel("add_u32", {64}, "elementwise");
  return schedule(
      3, {exchange({transfer(1, 0, 5, 256), transfer(0, 2, 6, 64), transfer(2, 1, 7, 128), transfer(1, 2, 8, 512)}),
          compute(2, {command(2, 9, {5}, kernel("mul_u32", {8}, "other")),
                      command(1, 3, {7, 8}, add,
                              {{"label", "x"}, {"layer", "3"}, {"layer_norm", "pre"}, {"zone", "a"}})})});
}

}  // namespace

TEST_CASE("an exchange step counts and lists the tile's transfers and names the next command") {
  const auto step = exchange_profile_step(exchange_then_compute(), 1, 4, 0, 2, true);
  CHECK(step.kind == ProfileStepKind::Exchange);
  CHECK(step.operation == "exchange for add_u32 (elementwise)");
  CHECK(step.kernel.empty());
  CHECK(step.local_index == 4);
  CHECK(step.phase == 0);
  CHECK(step.epoch == 2);
  CHECK(step.metadata == Entries{{"active", "true"},
                                 {"send_count", "2"},
                                 {"receive_count", "1"},
                                 {"send_bytes", "768"},
                                 {"receive_bytes", "128"},
                                 {"send_0", "tensor=5,destination_tile=0,bytes=256"},
                                 {"send_1", "tensor=8,destination_tile=2,bytes=512"},
                                 {"receive_0", "tensor=7,source_tile=2,bytes=128"},
                                 {"next_kernel", "add_u32"},
                                 {"next_role", "elementwise"},
                                 {"next_layer", "3"},
                                 {"next_layer_norm", "pre"},
                                 {"next_zone", "a"}});
}

TEST_CASE("a synchronisation step keeps the activity and the next command's kernel, role and layer") {
  const auto step = synchronization_profile_step(exchange_then_compute(), 1, 4, 0, 2, false);
  CHECK(step.kind == ProfileStepKind::Synchronization);
  CHECK(step.operation == "sync before exchange for add_u32 (elementwise)");
  CHECK(step.kernel.empty());
  CHECK(step.local_index == 4);
  CHECK(step.epoch == 2);
  CHECK(step.metadata == Entries{{"active", "false"},
                                 {"next_kernel", "add_u32"},
                                 {"next_role", "elementwise"},
                                 {"next_layer", "3"},
                                 {"next_layer_norm", "pre"}});
}

TEST_CASE("an exchange step of a tile without transfers or own next command") {
  // Tile 0 has no command in phase 1, so the step is named after its first command.
  auto schedule = exchange_then_compute();
  const auto step = exchange_profile_step(schedule, 0, 0, 0, 0, true);
  CHECK(step.operation == "exchange for mul_u32 (other)");

  schedule.phases[0] = exchange({transfer(1, 2, 5, 4)});
  CHECK(exchange_profile_step(schedule, 0, 0, 0, 0, true).metadata == Entries{{"active", "true"},
                                                                              {"send_count", "0"},
                                                                              {"receive_count", "0"},
                                                                              {"send_bytes", "0"},
                                                                              {"receive_bytes", "0"},
                                                                              {"next_kernel", "mul_u32"},
                                                                              {"next_role", "other"}});
}

TEST_CASE("byte sums of an exchange step are 64-bit") {
  const auto schedule =
      profiling_fixtures::schedule(2, {exchange({transfer(0, 1, 1, 0xFFFF'FFFF), transfer(0, 1, 2, 0xFFFF'FFFF)})});
  const auto step = exchange_profile_step(schedule, 0, 0, 0, 0, true);
  CHECK(step.metadata[3] == tessel_package::ProfileMetadata{"send_bytes", "8589934590"});
}

TEST_CASE("an exchange step without a next command is named after its phase") {
  const auto add = kernel("add_u32", {64}, "");
  const auto [name, phases, phase] =
      GENERATE_REF(table<std::string, std::vector<tessel_compiler::Phase>, std::uint64_t>({
          {"last phase", {compute(1, {command(0, 1, {}, add)}), exchange({transfer(0, 1, 2, 8)})}, 1},
          {"followed by an exchange", {exchange(), exchange(), compute(1, {command(0, 1, {}, add)})}, 0},
          {"followed by an empty compute phase", {exchange(), compute(1)}, 0},
          {"past the end of the schedule", {exchange(), compute(1, {command(0, 1, {}, add)})}, 5},
          {"largest phase index", {exchange(), compute(1, {command(0, 1, {}, add)})}, NO_PHASE},
      }));
  CAPTURE(name);
  const auto schedule = profiling_fixtures::schedule(2, phases);
  const auto step = exchange_profile_step(schedule, 0, 0, phase, 0, true);
  CHECK(step.operation == fmt::format("exchange phase {}", phase));
  const bool sends_one_transfer = phase == 1;
  CHECK(step.metadata.size() == (sends_one_transfer ? 6 : 5));
  for (const auto& entry : step.metadata) CHECK_FALSE(entry.name.starts_with("next_"));
  const auto sync = synchronization_profile_step(schedule, 0, 0, phase, 0, true);
  CHECK(sync.operation == fmt::format("sync before exchange phase {}", phase));
  CHECK(sync.metadata == Entries{{"active", "true"}});
}

TEST_CASE("an exchange step in a compute phase has no transfers") {
  const auto schedule =
      profiling_fixtures::schedule(2, {compute(1, {command(0, 1, {}, kernel("copy", {4}, "r"))}), compute(2)});
  const auto step = exchange_profile_step(schedule, 0, 0, 0, 0, false);
  CHECK(step.metadata == Entries{{"active", "false"},
                                 {"send_count", "0"},
                                 {"receive_count", "0"},
                                 {"send_bytes", "0"},
                                 {"receive_bytes", "0"}});
}

TEST_CASE("an idle step is named after the phase's first command and keeps the metadata all commands share") {
  const auto gelu = kernel("gelu_c16_to_a8", {64, 64}, "activation");
  const auto [name, second, expected] = GENERATE_REF(table<std::string, tessel_compiler::Metadata, Entries>({
      {"equal layer, different labels",
       {{"label", "b"}, {"layer", "3"}, {"zone", "a"}},
       {{"layer", "3"}, {"zone", "a"}}},
      {"different layers", {{"label", "b"}, {"layer", "4"}, {"zone", "a"}}, {{"zone", "a"}}},
      {"a key missing from one command", {{"label", "a"}, {"layer", "3"}}, {{"layer", "3"}}},
  }));
  CAPTURE(name);
  const auto schedule = profiling_fixtures::schedule(
      3, {compute(2, {command(1, 3, {}, gelu, {{"label", "a"}, {"layer", "3"}, {"zone", "a"}}),
                      command(2, 4, {}, kernel("other", {1}, "x"), second)})});
  const auto step = idle_compute_profile_step(schedule, 2, OpId(2), 0);
  CHECK(step.kind == ProfileStepKind::Idle);
  CHECK(step.operation == "idle during gelu_c16_to_a8 (activation)");
  CHECK(step.kernel.empty());
  CHECK(step.local_index == 2);
  CHECK(step.phase == 0);
  CHECK(step.epoch == 0);
  Entries full{{"active", "false"},
               {"scheduled_kernel", "gelu_c16_to_a8"},
               {"scheduled_role", "activation"},
               {"scheduled_shape", "64x64"}};
  full.insert(full.end(), expected.begin(), expected.end());
  CHECK(step.metadata == full);
}

TEST_CASE("an idle step without commands is named after its operation") {
  const auto [name, phases, phase] =
      GENERATE_REF(table<std::string, std::vector<tessel_compiler::Phase>, std::uint64_t>({
          {"compute phase without commands", {compute(4)}, 0},
          {"exchange phase", {exchange({transfer(0, 1, 1, 4)})}, 0},
          {"past the end of the schedule", {compute(4)}, 3},
          {"largest phase index", {compute(4)}, NO_PHASE},
      }));
  CAPTURE(name);
  const auto step = idle_compute_profile_step(profiling_fixtures::schedule(2, phases), 1, OpId(12), phase);
  CHECK(step.operation == "idle compute op 12");
  CHECK(step.metadata == Entries{{"active", "false"}});
  CHECK(step.kind == ProfileStepKind::Idle);
}
