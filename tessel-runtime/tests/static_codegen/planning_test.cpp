// Static template planning of whole tile programs.
#include <catch2/catch.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "test_support.hpp"
#include "tessel_checks/static_codegen_fixtures.hpp"
#include "tessel_runtime/static_codegen/template_planning.hpp"

using namespace static_codegen_test;
using tessel::PhaseRange;
using tessel::StepRange;
using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;
using tessel_runtime::StaticTemplateRegion;
using tessel_runtime::static_codegen::PatchSegmentAddresses;
using tessel_runtime::static_codegen::plan_static_templates;
using tessel_runtime::static_codegen::RecordWords;
using tessel_runtime::static_codegen::StaticPlanPatch;
using tessel_runtime::static_codegen::StaticTemplatePatch;
using tessel_runtime::static_codegen::StaticTemplatePlans;
using tessel_runtime::static_codegen::StaticTemplateStep;
using tessel_runtime::static_codegen::TemplatePlanWord;
using tessel_runtime::static_codegen::tests::compute;
using tessel_runtime::static_codegen::tests::compute_with_operation;
using tessel_runtime::static_codegen::tests::exchange;

namespace {

// Everything one planning call takes.
struct Planning {
  LoweredTileProgram program;
  std::vector<std::uint32_t> plan_addresses;
  std::vector<std::vector<std::uint32_t>> plan_rows;
  std::vector<std::optional<StaticPlanPatch>> plan_patches;
  std::vector<StaticTemplateRegion> regions;
  std::uint32_t cursor = 0x53002;
  bool cyclic = true;

  [[nodiscard]] tessel::Result<StaticTemplatePlans> plan() const {
    return plan_static_templates(program, plan_addresses, plan_rows, plan_patches, regions, cursor, cyclic);
  }
};

// Tile 7 doing the same work at phases 0 and 1 and again, rotated, at 2 and 3.
Planning rotated_work() {
  return {{{exchange(0, true), compute_with_operation(1, 0x54000, {}, "gemm_f16_accumulate"),
            compute_with_operation(1, 0x58000, {}, "add_f16"), exchange(2, false),
            compute_with_operation(3, 0x5C000, {}, "add_f16")},
           7},
          {0x52000, 0x52020},
          {{1, 2, 3}, {1, 2, 4}},
          {StaticPlanPatch{0x52004, 1, 0x78001238}, std::nullopt},
          {{"encoder_layer", {{0, 2}, {2, 4}}}}};
}

// `count` exchange/compute pairs from phase 0, every exchange with a plan
// address, a row and no sender patch.
Planning alternating(std::uint64_t count) {
  Planning planning;
  planning.program.tile = 7;
  for (std::uint64_t pair = 0; pair < count; ++pair) {
    planning.program.steps.push_back(exchange(2 * pair, true));
    planning.program.steps.push_back(compute(2 * pair + 1, 0x54000, {}));
    planning.plan_addresses.push_back(static_cast<std::uint32_t>(0x52000 + 0x20 * pair));
    planning.plan_rows.push_back({1, 2});
    planning.plan_patches.emplace_back();
  }
  return planning;
}

const StaticTemplateStep::Exchange& exchange_step(const StaticTemplateStep& step) {
  const auto* found = step.get_if<StaticTemplateStep::Exchange>();
  REQUIRE(found != nullptr);
  return *found;
}

const StaticTemplateStep::Compute& compute_step(const StaticTemplateStep& step) {
  const auto* found = step.get_if<StaticTemplateStep::Compute>();
  REQUIRE(found != nullptr);
  return *found;
}

}  // namespace

TEST_CASE("the rotated-work template, planned in full") {
  const auto planned = rotated_work().plan().value();
  REQUIRE(planned.plans.size() == 1);
  const auto& plan = planned.plans[0];
  CHECK(plan.name == "encoder_layer");
  CHECK(plan.instance_steps == std::vector<StepRange>{{0, 3}, {3, 5}});
  CHECK(plan.records ==
        std::vector<RecordWords>{{value(0x78001238), value(3), value(0x52000), value(1),
                                  symbol("tessel_stack_gemm_f16_accumulate"), value(0x54000)},
                                 {value(0), value(4), value(0x52020), value(0), symbol("tessel_stack_add_f16"),
                                  value(0x5C000)}});

  REQUIRE(plan.steps.size() == 3);
  const auto& epoch = exchange_step(plan.steps[0]);
  CHECK(epoch.sender_word_offset == std::optional<std::uint16_t>{1});
  CHECK_FALSE(epoch.sender_address.has_value());
  CHECK(epoch.sender_instruction == std::optional{record(0)});
  CHECK(epoch.plan_words == std::vector{TemplatePlanWord{2, record(1)}});
  CHECK(epoch.plan_address == record(2));
  CHECK(epoch.active == record(3));

  const auto& gemm = compute_step(plan.steps[1]);
  CHECK(gemm.operation == "gemm_f16_accumulate");
  CHECK(gemm.operands == std::vector{constant(0x80000), constant(0x50000), record(5)});
  CHECK(gemm.kernel == std::optional{record(4)});
  CHECK_FALSE(gemm.condition.has_value());

  const auto& add = compute_step(plan.steps[2]);
  CHECK(add.operation == "add_f16");
  CHECK(add.operands == std::vector{constant(0x80000), constant(0x50000), constant(0x58000)});
  CHECK_FALSE(add.kernel.has_value());
  CHECK(add.condition == std::optional{record(3)});

  const std::uint32_t p = 0x53004;
  CHECK(plan.record_split == 3);
  CHECK(plan.record_addresses == std::vector<std::uint32_t>{p, p});
  CHECK(plan.record_secondary_addresses == std::vector<std::uint32_t>{p + 12, p + 12});
  CHECK(plan.patches == std::vector<StaticTemplatePatch>{
                            {},
                            {word(0, value(0)), delta(1, 1), delta(2, 32), delta(3, -1),
                             word(4, symbol("tessel_stack_add_f16")), word(5, value(0x5C000))},
                            {word(0, value(0x78001238)), delta(1, -1), delta(2, -32), delta(3, 1),
                             word(4, symbol("tessel_stack_gemm_f16_accumulate")), delta(5, -32768)}});
  CHECK(plan.patch_addresses == std::vector<PatchSegmentAddresses>{{p + 24, p + 24, p + 24, p + 24},
                                                                     {p + 24, p + 44, p + 44, p + 68},
                                                                     {p + 68, p + 88, p + 88, p + 108}});
  CHECK(planned.cursor == p + 108);
  CHECK(plan.shared.empty());
  CHECK(plan.shared_address == 0);
}

TEST_CASE("templates follow one another in steps and in tile memory") {
  auto planning = alternating(4);
  planning.regions = {{"first", {{0, 2}, {2, 4}}}, {"second", {{4, 6}, {6, 8}}}};
  planning.cyclic = false;
  const auto planned = planning.plan().value();
  REQUIRE(planned.plans.size() == 2);
  CHECK(planned.plans[1].instance_steps == std::vector<StepRange>{{4, 6}, {6, 8}});
  // One slot each (the plan address): 4 bytes of record and, for the second
  // patch, a 4-word segment with one delta.
  CHECK(planned.plans[0].record_addresses == std::vector<std::uint32_t>{0x53004, 0x53004});
  CHECK(planned.plans[0].patch_addresses.back() == PatchSegmentAddresses{0x53008, 0x53008, 0x53018, 0x53018});
  CHECK(planned.plans[1].record_addresses == std::vector<std::uint32_t>{0x53018, 0x53018});
  CHECK(planned.cursor == 0x5302C);
  // The builders are per template: both start from slot 0.
  CHECK(exchange_step(planned.plans[1].steps[0]).plan_address == record(0));
  CHECK(compute_step(planned.plans[1].steps[1]).operands ==
        std::vector{constant(0x80000), constant(0x50000), constant(0x54000)});
}

TEST_CASE("no regions: no plans and the cursor unchanged") {
  auto planning = alternating(2);
  planning.cursor = 0x53003;
  const auto planned = planning.plan().value();
  CHECK(planned.plans.empty());
  CHECK(planned.cursor == 0x53003);
}

TEST_CASE("a compute phase without calls in any instance is an idle step") {
  Planning planning;
  planning.program = {{exchange(0, true), compute(1, 0x54000, {}), exchange(3, true), compute(4, 0x54000, {})}, 7};
  planning.plan_addresses = {0x52000, 0x52020};
  planning.plan_rows = {{1}, {1}};
  planning.regions = {{"layer", {{0, 3}, {3, 6}}}};
  const auto planned = planning.plan().value();
  const auto& steps = planned.plans.at(0).steps;
  REQUIRE(steps.size() == 3);
  CHECK(steps[2].get_if<StaticTemplateStep::Idle>() != nullptr);
  // Idle compute steps contribute no call either.
  planning.program.steps.insert(planning.program.steps.begin() + 2,
                                LoweredTileStep::IdleCompute{tessel_compiler::OpId(2), 2});
  planning.program.steps.push_back(LoweredTileStep::IdleCompute{tessel_compiler::OpId(5), 5});
  const auto with_idle = planning.plan().value();
  REQUIRE(with_idle.plans.at(0).steps.size() == 3);
  CHECK(with_idle.plans.at(0).steps[2].get_if<StaticTemplateStep::Idle>() != nullptr);
}

TEST_CASE("sender patches at different plan words take a per-instance address") {
  auto planning = alternating(3);
  planning.plan_patches = {StaticPlanPatch{0x52004, 1, 0x78001238}, std::nullopt,
                           StaticPlanPatch{0x52048, 2, 0x78001238}};
  planning.regions = {{"layer", {{0, 2}, {2, 4}, {4, 6}}}};
  const auto planned = planning.plan().value();
  const auto& plan = planned.plans.at(0);
  const auto& epoch = exchange_step(plan.steps.at(0));
  CHECK(epoch.sender_word_offset == std::optional<std::uint16_t>{1});
  CHECK(epoch.sender_address == std::optional{record(0)});
  CHECK(epoch.sender_instruction == std::optional{record(1)});
  CHECK(epoch.plan_words.empty());
  CHECK(epoch.plan_address == record(2));
  CHECK(epoch.active == constant(1));
  CHECK(plan.records == std::vector<RecordWords>{{value(0x52004), value(0x78001238), value(0x52000)},
                                                  {value(0), value(0), value(0x52020)},
                                                  {value(0x52048), value(0x78001238), value(0x52040)}});
}

TEST_CASE("differing plan words are listed by index, shorter rows read as 0") {
  auto planning = alternating(2);
  planning.plan_rows = {{7, 0x100000, 5}, {7, 0x100000}};
  planning.regions = {{"layer", {{0, 2}, {2, 4}}}};
  const auto planned = planning.plan().value();
  const auto& epoch = exchange_step(planned.plans.at(0).steps.at(0));
  CHECK(epoch.plan_words == std::vector{TemplatePlanWord{2, record(0)}});
  CHECK(planned.plans.at(0).records == std::vector<RecordWords>{{value(5), value(0x52000)}, {value(0), value(0x52020)}});
}

TEST_CASE("planning errors") {
  const auto alternating_with = [](std::vector<StaticTemplateRegion> regions) {
    auto planning = alternating(4);
    planning.regions = std::move(regions);
    return planning;
  };
  struct Case {
    const char* name;
    Planning planning;
    std::string message;
  };
  const auto c = GENERATE_REF(values<Case>({
      {"one instance", alternating_with({{"layer", {{0, 2}}}}), "template layer requires at least two instances"},
      {"no instances", alternating_with({{"layer", {}}}), "template layer requires at least two instances"},
      {"regions out of step order", alternating_with({{"late", {{4, 6}, {6, 8}}}, {"early", {{0, 2}, {2, 4}}}}),
       "template early instances must be ordered, contiguous, and non-overlapping"},
      {"overlapping regions", alternating_with({{"a", {{0, 2}, {2, 4}}}, {"b", {{2, 3}, {3, 4}}}}),
       "template b instances must be ordered, contiguous, and non-overlapping"},
      {"a gap between instances", alternating_with({{"layer", {{0, 2}, {4, 6}}}}),
       "template layer instances must be ordered, contiguous, and non-overlapping"},
      {"instances in reverse order", alternating_with({{"layer", {{2, 4}, {0, 2}}}}),
       "template layer instances must be ordered, contiguous, and non-overlapping"},
      {"different phase counts", alternating_with({{"layer", {{0, 2}, {2, 6}}}}),
       "template layer instances have different phase counts"},
      {"exchange against compute", alternating_with({{"layer", {{0, 1}, {1, 2}}}}),
       "template layer changes phase kind in phase 0"},
      {"an empty phase range", alternating_with({{"layer", {{2, 2}, {2, 4}}}}), "static template phase range is empty"},
      {"phases without steps", alternating_with({{"layer", {{20, 22}, {22, 24}}}}),
       "static template phase range does not map to contiguous tile steps"},
  }));
  CAPTURE(c.name);
  CHECK(error_of(c.planning.plan()) == c.message);
}

TEST_CASE("planning errors of the exchange inputs") {
  SECTION("unused entries") {
    auto planning = alternating(2);
    planning.plan_addresses.push_back(0x52100);
    CHECK(error_of(planning.plan()) == "unused exchange plan while planning static templates");
    planning = alternating(2);
    planning.plan_rows.push_back({});
    CHECK(error_of(planning.plan()) == "unused exchange plan row while planning static templates");
    planning = alternating(2);
    planning.plan_patches.emplace_back();
    CHECK(error_of(planning.plan()) == "unused exchange plan patch while planning static templates");
  }

  SECTION("missing entries of templated exchange steps") {
    auto planning = alternating(2);
    planning.regions = {{"layer", {{0, 2}, {2, 4}}}};
    planning.plan_rows.pop_back();
    CHECK(error_of(planning.plan()) == "template exchange has no normalized row");
    planning = alternating(2);
    planning.regions = {{"layer", {{0, 2}, {2, 4}}}};
    planning.plan_addresses.pop_back();
    CHECK(error_of(planning.plan()) == "template exchange has no plan address");
    // Shorter lists are fine while no template needs the missing entries.
    planning.regions.clear();
    CHECK(planning.plan().has_value());
  }
}

TEST_CASE("planning errors of phases, epochs and calls") {
  SECTION("an exchange phase with a different number of epochs") {
    Planning planning;
    planning.program = {{exchange(0, true), LoweredTileStep::Exchange{0, 1, tessel_compiler::make_row({1})},
                         exchange(1, true)},
                        7};
    planning.plan_addresses = {0x52000, 0x52020, 0x52040};
    planning.plan_rows = {{1}, {1}, {1}};
    planning.regions = {{"layer", {{0, 1}, {1, 2}}}};
    CHECK(error_of(planning.plan()) == "template layer changes exchange epoch count in phase 0");
  }

  SECTION("an exchange phase that is empty in one instance") {
    Planning planning;
    planning.program = {{exchange(0, true), compute(1, 0x54000, {}), compute(3, 0x54000, {})}, 7};
    planning.plan_addresses = {0x52000};
    planning.plan_rows = {{1}};
    planning.regions = {{"layer", {{0, 2}, {2, 4}}}};
    CHECK(error_of(planning.plan()) == "template layer changes phase kind in phase 0");
  }

  SECTION("steps out of phase order inside an instance") {
    Planning planning;
    planning.program = {{exchange(0, true), exchange(2, true), exchange(1, true), exchange(3, true), exchange(5, true),
                         exchange(4, true)},
                        7};
    planning.regions = {{"layer", {{0, 3}, {3, 6}}}};
    CHECK(error_of(planning.plan()) == "static template steps are not ordered by phase");
  }

  SECTION("calls passing different numbers of arguments") {
    auto planning = alternating(2);
    planning.program.steps[3] = compute(3, 0x54000, {16});
    planning.regions = {{"layer", {{0, 2}, {2, 4}}}};
    CHECK(error_of(planning.plan()) == "template layer changes compute ABI in phase 1 call 0");
  }

  SECTION("a layout that would pass the top of the address space") {
    auto planning = alternating(2);
    planning.regions = {{"layer", {{0, 2}, {2, 4}}}};
    planning.cursor = 0xFFFFFFFE;
    CHECK(error_of(planning.plan()) == "static template record address overflow");
  }
}
