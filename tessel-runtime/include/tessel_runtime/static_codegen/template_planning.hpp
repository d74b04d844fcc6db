#pragma once
// Static template planning for one tile program.
//
// Each `StaticTemplateRegion` names a stretch of the program that repeats:
// per instance, the global phases it spans. `plan_static_templates` checks
// that the instances line up and plans, per region in region order, one list
// of template steps shared by all instances, the instances' records of
// differing values and the tile-memory layout of the record buffer and its
// patches (placed from `cursor`, one template after another).
//
// Instances share a template when there are at least two; each maps to one
// unbroken run of steps; they follow one another directly, after the
// previous region; they span equally many phases; at every relative phase
// (the k-th phase of an instance's own range) all exchange or all compute;
// exchange phases have equal epoch counts; and calls at each position pass
// equal numbers of inputs and arguments. Everything else becomes record
// data. Each exchange epoch gives an `Exchange` step, each call position of
// a compute phase a `Compute` step, a compute phase without calls an `Idle`
// step. Builder requests are made in a fixed order (which fixes the slots):
// per epoch the sender address, sender instruction, differing plan words,
// plan address and activity. An error abandons the whole call.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tessel/error.hpp"
#include "tessel/range.hpp"
#include "tessel_compiler/program.hpp"
#include "tessel_runtime/static_codegen/compute_templating.hpp"
#include "tessel_runtime/static_codegen/template_layout.hpp"
#include "tessel_runtime/static_codegen/template_patches.hpp"
#include "tessel_runtime/static_codegen/template_records.hpp"

namespace tessel_runtime {

// One template to plan.
struct StaticTemplateRegion {
  std::string name;                               // template name, used in the plan and in messages
  std::vector<tessel::PhaseRange> phase_instances;  // per instance, in order: the global phases it spans
};

}  // namespace tessel_runtime

namespace tessel_runtime::static_codegen {

// The sender patch of one exchange step: a word of its exchange plan to rewrite.
struct StaticPlanPatch {
  std::uint32_t word_address = 0;  // byte address of the plan word
  std::uint16_t word_offset = 0;   // index of that word within the exchange plan
  std::uint32_t instruction = 0;   // instruction word written there

  bool operator==(const StaticPlanPatch&) const = default;
};

struct StaticTemplatePlan {
  std::string name;                                        // the region's name
  std::vector<tessel::StepRange> instance_steps;           // per instance, the program steps it covers
  std::vector<std::uint32_t> record_addresses;             // per instance, primary record part address
  std::vector<std::uint32_t> record_secondary_addresses;   // per instance, secondary record part address
  std::uint16_t record_split = 0;                          // record slots in the primary part
  std::vector<RecordWords> records;                        // per instance, its record
  std::vector<PatchSegmentAddresses> patch_addresses;      // per patch, its four segment addresses
  std::vector<StaticTemplatePatch> patches;                // record patches, in application order
  std::uint32_t shared_address = 0;                        // address of the shared list; always 0 here
  RecordWords shared;                                      // the shared word list
  std::vector<StaticTemplateStep> steps;                   // shared template steps, in execution order
};

struct StaticTemplatePlans {
  std::vector<StaticTemplatePlan> plans;  // one per region, in region order
  std::uint32_t cursor = 0;               // first byte after the last template's patches
};

// `plan_addresses`, `plan_rows` and `plan_patches` hold one entry per
// `Exchange` step of `program`, in program order (the exchange plan's
// address, its normalized words, its sender patch); they may be shorter but
// not longer. `regions` are in increasing step order.
[[nodiscard]] tessel::Result<StaticTemplatePlans> plan_static_templates(
    const tessel_compiler::LoweredTileProgram& program, std::span<const std::uint32_t> plan_addresses,
    std::span<const std::vector<std::uint32_t>> plan_rows, std::span<const std::optional<StaticPlanPatch>> plan_patches,
    std::span<const StaticTemplateRegion> regions, std::uint32_t cursor, bool cyclic);

}  // namespace tessel_runtime::static_codegen
