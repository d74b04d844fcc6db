#include <catch2/catch.hpp>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "profiling_fixtures.hpp"
#include "tessel/internal_error.hpp"
#include "tessel_exchange/instruction.hpp"
#include "tessel_runtime/profiling/profile_assembly.hpp"
#include "tessel_runtime/profiling/step_profiles.hpp"

using namespace profiling_fixtures;
using Catch::Matchers::Message;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;
using tessel_compiler::OpId;
using tessel_compiler::TensorId;
using tessel_exchange::sans;
using tessel_package::ProfileStep;
using tessel_package::ProfileStepKind;
using tessel_runtime::profile_steps;
using tessel_runtime::ProfileBoundary;
using tessel_runtime::ProfileGranularity;
using tessel_runtime::StaticProfileRegion;

namespace {

LoweredTileStep exchange_step(std::uint64_t phase, std::uint64_t epoch, std::vector<std::uint32_t> row) {
  return LoweredTileStep::Exchange{.phase = phase, .epoch = epoch, .row = tessel_compiler::make_row(std::move(row))};
}

LoweredTileStep compute_step(std::uint64_t phase, std::uint64_t output) {
  return LoweredTileStep::Compute{LoweredComputeCommand{
      .op = OpId(1),
      .phase = phase,
      .output = TensorId(output),
      .inputs = {},
      .output_address = 0x60000,
      .input_addresses = {},
      .arguments = {},
      .specialization = kernel("copy_u32", {16}, ""),
      .metadata = {},
  }};
}

LoweredTileStep idle_step(std::uint64_t op, std::uint64_t phase) {
  return LoweredTileStep::IdleCompute{.op = OpId(op), .phase = phase};
}

// The schedule and tile-0 program of the sync/exchange/idle check.
tessel_compiler::Schedule exchange_then_idle_schedule() {
  return schedule(2, {exchange(), compute(2, {command(1, 3, {1, 2}, kernel("add_u32", {64}, "elementwise"))})});
}

LoweredTileProgram exchange_then_idle_program() {
  return LoweredTileProgram{.steps = {exchange_step(0, 0, {sans(0)}), idle_step(2, 1)}, .tile = 0};
}

std::vector<ProfileStepKind> kinds(const std::vector<ProfileStep>& steps) {
  std::vector<ProfileStepKind> result;
  for (const auto& step : steps) result.push_back(step.kind);
  return result;
}

// Walking the lowered steps in order meets one set flag per profile step.
std::size_t set_flags(const std::vector<ProfileBoundary>& boundaries) {
  std::size_t count = 0;
  for (const auto& boundary : boundaries) count += std::size_t{boundary.after_sync} + std::size_t{boundary.after_step};
  return count;
}

}  // namespace

TEST_CASE("phase granularity splits an exchange epoch into synchronisation and exchange, then the idle phase") {
  const auto [steps, boundaries] =
      profile_steps(exchange_then_idle_schedule(), exchange_then_idle_program(), ProfileGranularity::Phase);
  REQUIRE(steps.size() == 3);
  CHECK(boundaries == std::vector<ProfileBoundary>{{true, true}, {false, true}});

  CHECK(steps[0].kind == ProfileStepKind::Synchronization);
  CHECK(steps[0].operation == "sync before exchange for add_u32 (elementwise)");
  CHECK(steps[0].local_index == 0);
  CHECK(steps[0].metadata == Entries{{"active", "false"}, {"next_kernel", "add_u32"}, {"next_role", "elementwise"}});

  CHECK(steps[1].kind == ProfileStepKind::Exchange);
  CHECK(steps[1].operation == "exchange for add_u32 (elementwise)");
  CHECK(steps[1].local_index == 1);
  CHECK(steps[1].metadata == Entries{{"active", "false"},
                                     {"send_count", "0"},
                                     {"receive_count", "0"},
                                     {"send_bytes", "0"},
                                     {"receive_bytes", "0"},
                                     {"next_kernel", "add_u32"},
                                     {"next_role", "elementwise"}});

  CHECK(steps[2].kind == ProfileStepKind::Idle);
  CHECK(steps[2].operation == "idle during add_u32 (elementwise)");
  CHECK(steps[2].local_index == 2);
  CHECK(steps[2].phase == 1);
  CHECK(steps[2].metadata == Entries{{"active", "false"},
                                     {"scheduled_kernel", "add_u32"},
                                     {"scheduled_role", "elementwise"},
                                     {"scheduled_shape", "64"}});
}

TEST_CASE("graph granularity yields no steps and one clear boundary per lowered step") {
  const auto [steps, boundaries] =
      profile_steps(exchange_then_idle_schedule(), exchange_then_idle_program(), ProfileGranularity::Graph);
  CHECK(steps.empty());
  CHECK(boundaries == std::vector<ProfileBoundary>(2));
}

TEST_CASE("step granularity keeps per-transfer entries that phase granularity compacts away") {
  const auto schedule = profiling_fixtures::schedule(
      2, {exchange({transfer(0, 1, 5, 64), transfer(1, 0, 6, 32)}),
          compute(3, {command(0, 7, {6}, kernel("add_u32", {64}, "elementwise"), {{"layer", "1"}})})});
  const LoweredTileProgram program{.steps = {exchange_step(0, 0, {sans(1)}), compute_step(1, 7)}, .tile = 0};
  const auto full = tessel_runtime::exchange_profile_step(schedule, 0, 1, 0, 0, true);

  const auto fine = profile_steps(schedule, program, ProfileGranularity::Step);
  REQUIRE(fine.steps.size() == 3);
  CHECK(fine.steps[1] == full);
  CHECK(fine.steps[1].metadata == Entries{{"active", "true"},
                                          {"send_count", "1"},
                                          {"receive_count", "1"},
                                          {"send_bytes", "64"},
                                          {"receive_bytes", "32"},
                                          {"send_0", "tensor=5,destination_tile=1,bytes=64"},
                                          {"receive_0", "tensor=6,source_tile=1,bytes=32"},
                                          {"next_kernel", "add_u32"},
                                          {"next_role", "elementwise"},
                                          {"next_layer", "1"}});
  CHECK(fine.steps[2] ==
        tessel_runtime::compute_profile_step(2, std::get<LoweredTileStep::Compute>(program.steps[1].value).command));

  const auto coarse = profile_steps(schedule, program, ProfileGranularity::Phase);
  REQUIRE(coarse.steps.size() == 3);
  CHECK(coarse.steps[1].operation == full.operation);
  CHECK(coarse.steps[1].metadata == Entries{{"active", "true"},
                                            {"send_count", "1"},
                                            {"receive_count", "1"},
                                            {"send_bytes", "64"},
                                            {"receive_bytes", "32"},
                                            {"next_kernel", "add_u32"},
                                            {"next_role", "elementwise"},
                                            {"next_layer", "1"}});
}

TEST_CASE("step granularity gives every compute and idle step its own entry") {
  const auto schedule = profiling_fixtures::schedule(1, {compute(1), compute(2)});
  const LoweredTileProgram program{.steps = {compute_step(0, 1), compute_step(0, 2), idle_step(2, 1)}, .tile = 0};
  const auto [steps, boundaries] = profile_steps(schedule, program, ProfileGranularity::Step);
  CHECK(kinds(steps) == std::vector{ProfileStepKind::Compute, ProfileStepKind::Compute, ProfileStepKind::Idle});
  for (std::size_t i = 0; i < steps.size(); ++i) CHECK(steps[i].local_index == i);
  CHECK(steps[2] == tessel_runtime::idle_compute_profile_step(schedule, 2, OpId(2), 1));
  CHECK(boundaries == std::vector<ProfileBoundary>{{false, true}, {false, true}, {false, true}});
}

TEST_CASE("phase granularity takes a compute phase together and every exchange epoch apart") {
  const auto add = kernel("add_u32", {64}, "elementwise");
  const auto schedule = profiling_fixtures::schedule(
      1, {compute(1, {command(0, 1, {}, add), command(0, 2, {}, add), command(0, 3, {}, add)}), exchange()});
  const LoweredTileProgram program{.steps = {compute_step(0, 1), compute_step(0, 2), compute_step(0, 3),
                                             exchange_step(1, 0, {sans(1)}), exchange_step(1, 1, {sans(0)})},
                                   .tile = 0};
  const auto [steps, boundaries] = profile_steps(schedule, program, ProfileGranularity::Phase);
  CHECK(kinds(steps) == std::vector{ProfileStepKind::Compute, ProfileStepKind::Synchronization,
                                    ProfileStepKind::Exchange, ProfileStepKind::Synchronization,
                                    ProfileStepKind::Exchange});
  for (std::size_t i = 0; i < steps.size(); ++i) CHECK(steps[i].local_index == i);
  CHECK(steps[0] == tessel_runtime::phase_compute_profile_step(schedule, 0, 0, 0));
  CHECK(steps[3].epoch == 1);
  CHECK(steps[4].metadata[0] == tessel_package::ProfileMetadata{"active", "false"});
  CHECK(boundaries ==
        std::vector<ProfileBoundary>{{false, false}, {false, false}, {false, true}, {true, true}, {true, true}});
}

TEST_CASE("every granularity sets one boundary flag per profile step") {
  const auto schedule = profiling_fixtures::schedule(
      2, {exchange({transfer(0, 1, 1, 4)}), compute(1, {command(0, 2, {1}, kernel("k", {1}, ""))}), compute(2),
          exchange(), compute(3, {command(1, 3, {}, kernel("j", {2}, "r"))})});
  const LoweredTileProgram program{
      .steps = {exchange_step(0, 0, {sans(1)}), exchange_step(0, 1, {sans(0)}), compute_step(1, 2), compute_step(1, 4),
                idle_step(2, 2), exchange_step(3, 0, {}), idle_step(3, 4)},
      .tile = 0};
  const auto granularity = GENERATE(ProfileGranularity::Graph, ProfileGranularity::Phase, ProfileGranularity::Step);
  CAPTURE(static_cast<int>(granularity));
  const auto [steps, boundaries] = profile_steps(schedule, program, granularity);
  CHECK(boundaries.size() == program.steps.size());
  CHECK(set_flags(boundaries) == steps.size());
  for (std::size_t i = 0; i < steps.size(); ++i) CHECK(steps[i].local_index == i);
}

TEST_CASE("an exchange epoch with an empty row counts as active") {
  const auto schedule = profiling_fixtures::schedule(1, {exchange()});
  const LoweredTileProgram program{.steps = {exchange_step(0, 0, {})}, .tile = 0};
  const auto [steps, boundaries] = profile_steps(schedule, program, ProfileGranularity::Phase);
  REQUIRE(steps.size() == 2);
  CHECK(steps[0].metadata == Entries{{"active", "true"}});
  CHECK(steps[1].metadata[0] == tessel_package::ProfileMetadata{"active", "true"});
}

TEST_CASE("a phase compute step groups the tile's commands under the first one") {
  const auto gelu = kernel("gelu_c16_to_a8", {64, 64}, "activation");
  const auto schedule = profiling_fixtures::schedule(
      8, {compute(9, {command(3, 1, {}, kernel("other", {1}, "x"), {{"label", "elsewhere"}}),
                      command(7, 3, {1, 2}, gelu, {{"label", "layer 3 GeLU"}, {"layer", "3"}}),
                      command(7, 4, {1, 2}, gelu, {{"label", "second command"}, {"layer", "4"}})})});
  const auto step = tessel_runtime::phase_compute_profile_step(schedule, 7, 5, 0);
  CHECK(step.kind == ProfileStepKind::Compute);
  CHECK(step.operation == "layer 3 GeLU");
  CHECK(step.kernel == "gelu_c16_to_a8");
  CHECK(step.local_index == 5);
  CHECK(step.phase == 0);
  CHECK(step.epoch == 0);
  CHECK(
      step.metadata ==
      Entries{
          {"role", "activation"}, {"shape", "64x64"}, {"worker_count", "6"}, {"active_commands", "2"}, {"layer", "3"}});

  SECTION("named by its kernel alone without a label") {
    auto unlabelled = schedule;
    std::get<tessel_compiler::Phase::Compute>(unlabelled.phases[0].value).commands[1].metadata.erase("label");
    CHECK(tessel_runtime::phase_compute_profile_step(unlabelled, 7, 5, 0).operation == "gelu_c16_to_a8");
  }
  SECTION("a tile without commands gets the idle step") {
    CHECK(tessel_runtime::phase_compute_profile_step(schedule, 2, 5, 0) ==
          tessel_runtime::idle_compute_profile_step(schedule, 5, OpId(9), 0));
  }
}

TEST_CASE("profile assembly stops with an internal error on a program that contradicts its schedule") {
  const auto schedule = profiling_fixtures::schedule(1, {exchange(), compute(1)});
  std::vector<ProfileStep> steps;
  std::vector<ProfileBoundary> boundaries(2);
  const LoweredTileProgram program{.steps = {exchange_step(0, 0, {sans(1)}), compute_step(0, 1)}, .tile = 0};

  CHECK_THROWS_MATCHES(profile_steps(schedule, program, ProfileGranularity::Phase), tessel::InternalError,
                       Message("internal error: entered unreachable code: one phase lowered to mixed step kinds"));
  for (const std::uint64_t index : {std::uint64_t{1}, std::uint64_t{2}}) {
    CAPTURE(index);
    CHECK_THROWS_MATCHES(tessel_runtime::append_exchange_profile(schedule, program, steps, boundaries, index, false),
                         tessel::InternalError,
                         Message("internal error: entered unreachable code: expected a lowered exchange step"));
  }
  for (const std::uint64_t phase : {std::uint64_t{0}, std::uint64_t{2}, std::numeric_limits<std::uint64_t>::max()}) {
    CAPTURE(phase);
    CHECK_THROWS_MATCHES(tessel_runtime::phase_compute_profile_step(schedule, 0, 0, phase), tessel::InternalError,
                         Message("internal error: entered unreachable code: expected a compute phase"));
  }
  const LoweredTileProgram two_epochs{.steps = {exchange_step(0, 0, {}), exchange_step(0, 1, {})}, .tile = 0};
  std::vector<ProfileBoundary> too_few(1);
  CHECK_THROWS_MATCHES(tessel_runtime::append_exchange_profile(schedule, two_epochs, steps, too_few, 1, false),
                       tessel::InternalError, Message("assertion failed: step_index < boundaries.size()"));
  const LoweredTileProgram compute_in_exchange{.steps = {compute_step(0, 1)}, .tile = 0};
  CHECK_THROWS_MATCHES(profile_steps(schedule, compute_in_exchange, ProfileGranularity::Phase), tessel::InternalError,
                       Message("internal error: entered unreachable code: expected a compute phase"));
  CHECK(steps.empty());
}

TEST_CASE("exchange compaction keeps the counts, sums, activity and next-command entries in order") {
  ProfileStep step{.local_index = 3,
                   .phase = 1,
                   .epoch = 2,
                   .operation = "exchange phase 1",
                   .kind = ProfileStepKind::Exchange,
                   .kernel = {},
                   .metadata = {{"active", "true"},
                                {"send_count", "1"},
                                {"send_0", "tensor=1,destination_tile=2,bytes=4"},
                                {"receive_count", "1"},
                                {"receive_0", "tensor=2,source_tile=2,bytes=8"},
                                {"send_bytes", "4"},
                                {"receive_bytes", "8"},
                                {"next_kernel", "k"},
                                {"nextkernel", "x"},
                                {"next_layer", "2"},
                                {"semantic_region", "encoder"}}};
  auto expected = step;
  expected.metadata = {{"active", "true"},     {"send_count", "1"},  {"receive_count", "1"}, {"send_bytes", "4"},
                       {"receive_bytes", "8"}, {"next_kernel", "k"}, {"next_layer", "2"}};
  tessel_runtime::compact_exchange_profile(step);
  CHECK(step == expected);
}

namespace {

ProfileStep at_phase(std::uint32_t phase) {
  return ProfileStep{.local_index = phase,
                     .phase = phase,
                     .epoch = 0,
                     .operation = fmt::format("phase-{}", phase),
                     .kind = ProfileStepKind::Compute,
                     .kernel = "test",
                     .metadata = {}};
}

}  // namespace

TEST_CASE("semantic regions annotate every step whose phase they contain") {
  std::vector<ProfileStep> steps{at_phase(0), at_phase(1), at_phase(3), at_phase(4), at_phase(9)};
  const std::vector<StaticProfileRegion> regions{
      {"embedding", {0, 2}}, {"gap-free", {2, 3}}, {"encoder", {3, 5}}, {"head", {5, 10}}};
  REQUIRE(tessel_runtime::annotate_semantic_regions(steps, regions).has_value());
  const std::vector<std::string> expected{"embedding", "embedding", "encoder", "encoder", "head"};
  for (std::size_t i = 0; i < steps.size(); ++i) {
    CAPTURE(i);
    CHECK(steps[i].metadata == Entries{{"semantic_region", expected[i]}});
  }
}

TEST_CASE("a step outside every semantic region fails and leaves the later steps unchanged") {
  const auto [name, regions] = GENERATE_REF(table<std::string, std::vector<StaticProfileRegion>>({
      {"no regions", {}},
      {"between regions", {{"embedding", {0, 2}}, {"encoder", {3, 5}}}},
      {"after the last region", {{"embedding", {0, 2}}}},
  }));
  CAPTURE(name);
  std::vector<ProfileStep> steps{at_phase(2), at_phase(4)};
  const auto original = steps;
  const auto result = tessel_runtime::annotate_semantic_regions(steps, regions);
  REQUIRE_FALSE(result.has_value());
  CHECK(result.error().message == "profile phase 2 is outside the semantic regions");
  CHECK(steps == original);

  SECTION("steps before the failure keep their entry") {
    std::vector<ProfileStep> later{at_phase(0), at_phase(2), at_phase(4)};
    const std::vector<StaticProfileRegion> first_only{{"embedding", {0, 2}}};
    CHECK(tessel_runtime::annotate_semantic_regions(later, first_only).error().message ==
          "profile phase 2 is outside the semantic regions");
    CHECK(later[0].metadata == Entries{{"semantic_region", "embedding"}});
    CHECK(later[1].metadata.empty());
    CHECK(later[2].metadata.empty());
  }
}

TEST_CASE("host transfers occupy two phases each but the last rendezvous") {
  const auto [transfers, expected] = GENERATE(table<std::uint32_t, std::uint32_t>({
      {0, 0},
      {1, 1},
      {2, 3},
      {1000, 1999},
      {2147483647, 4294967293},
  }));
  CAPTURE(transfers);
  CHECK(tessel_runtime::host_transfer_phase_count(transfers).value() == expected);
}

TEST_CASE("host transfer phase counts beyond 32 bits fail") {
  const auto transfers = GENERATE(2147483648U, std::numeric_limits<std::uint32_t>::max());
  CAPTURE(transfers);
  const auto count = tessel_runtime::host_transfer_phase_count(transfers);
  REQUIRE_FALSE(count.has_value());
  CHECK(count.error().message == "host phase count overflow");
}
