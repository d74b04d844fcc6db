// plan_static_templates on small random tile programs and regions.
//
// Either the call fails with one of the planner's messages, or every plan
// passes three independent oracles:
//   - replaying the template steps against each instance's record and the
//     shared list reproduces that instance's own work, step by step (plan
//     addresses, activity, plan words, sender patches, calls and operands);
//   - patch k turns record k - 1 into record k (with `cyclic`, one more turns
//     the last record back into the first), changing only differing slots,
//     with a delta exactly when both words are numbers 16 bits apart;
//   - the records and patch segments are laid out one after another from
//     the cursor, word aligned, each template from the previous one's end,
//     every address inside [cursor, returned cursor].
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "program_input.hpp"
#include "tessel_runtime/static_codegen/template_planning.hpp"

namespace {

namespace sc = tessel_runtime::static_codegen;
using fuzz_input::fail;
using fuzz_input::require;
using fuzz_input::TOP;
using tessel::PhaseRange;
using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileProgram;
using tessel_compiler::LoweredTileStep;
using tessel_runtime::StaticTemplateRegion;

constexpr std::size_t MAX_STEPS = 40;
const std::array<std::string, 3> NAMES = {"layer_a", "layer_b", "layer_c"};

struct Input {
  LoweredTileProgram program;
  std::vector<std::uint32_t> plan_addresses;
  std::vector<std::vector<std::uint32_t>> plan_rows;
  std::vector<std::optional<sc::StaticPlanPatch>> plan_patches;
  std::vector<StaticTemplateRegion> regions;
  std::uint32_t cursor = 0;
  bool cyclic = false;
  std::size_t exchanges = 0;  // exchange steps of the program
};

// Phases mostly non-decreasing, even phases exchanging and odd ones
// computing, so that rotated instances often line up.
LoweredTileProgram make_program(FuzzedDataProvider& input) {
  LoweredTileProgram program;
  const std::size_t steps = input.ConsumeIntegralInRange<std::size_t>(0, MAX_STEPS);
  std::uint64_t phase = input.ConsumeIntegralInRange<std::uint64_t>(0, 2);
  for (std::size_t index = 0; index < steps; ++index) {
    switch (input.ConsumeIntegralInRange(0, 15)) {
      case 0: phase = input.ConsumeIntegralInRange<std::uint64_t>(0, 20); break;
      case 1: case 2: case 3: case 4: case 5: ++phase; break;
      case 6: phase += 2; break;
      default: break;
    }
    const bool natural_exchange = phase % 2 == 0;
    const int kind = input.ConsumeIntegralInRange(0, 15);
    const bool exchange = kind == 0 ? !natural_exchange : natural_exchange;
    if (kind == 1) {
      program.steps.emplace_back(LoweredTileStep::IdleCompute{tessel_compiler::OpId(0), phase});
    } else if (exchange) {
      program.steps.push_back(fuzz_input::exchange(input, phase));
    } else {
      program.steps.emplace_back(LoweredTileStep::Compute{fuzz_input::command(input, phase)});
    }
  }
  return program;
}

// How many entries a per-exchange list gets: usually one per exchange step.
std::size_t list_length(FuzzedDataProvider& input, std::size_t exchanges) {
  switch (input.ConsumeIntegralInRange(0, 11)) {
    case 0: return exchanges + 1;
    case 1: return exchanges > 0 ? exchanges - 1 : 0;
    case 2: return input.ConsumeIntegralInRange<std::size_t>(0, exchanges);
    default: return exchanges;
  }
}

std::vector<StaticTemplateRegion> make_regions(FuzzedDataProvider& input) {
  std::vector<StaticTemplateRegion> regions(input.ConsumeIntegralInRange<std::size_t>(0, NAMES.size()));
  std::uint64_t start = input.ConsumeIntegralInRange<std::uint64_t>(0, 3);
  for (std::size_t region = 0; region < regions.size(); ++region) {
    regions[region].name = NAMES[region];
    const std::uint64_t length = input.ConsumeIntegralInRange<std::uint64_t>(1, 4);
    const std::size_t instances = input.ConsumeIntegralInRange<std::size_t>(input.ConsumeBool() ? 0 : 2, 4);
    for (std::size_t instance = 0; instance < instances; ++instance) {
      if (input.ConsumeIntegralInRange(0, 15) == 0) {
        const auto first = input.ConsumeIntegralInRange<std::uint64_t>(0, 24);
        regions[region].phase_instances.push_back({first, first + input.ConsumeIntegralInRange<std::uint64_t>(0, 4)});
      } else {
        regions[region].phase_instances.push_back({start, start + length});
      }
      start = regions[region].phase_instances.back().end;
    }
    start += input.ConsumeIntegralInRange<std::uint64_t>(0, 2);
  }
  return regions;
}

// One operand of a repeated call: instance i passes `base` + i x `stride`
// (wrapping), so that columns of equal strides are affine to each other.
std::uint32_t strided(std::uint32_t base, std::uint32_t stride, std::size_t instance) {
  return static_cast<std::uint32_t>(base + stride * static_cast<std::uint32_t>(instance));
}

std::uint32_t stride(FuzzedDataProvider& input) {
  static constexpr std::uint32_t STRIDES[] = {0, 4, 0x7FFF, 0x8000, 0x20000, 0xFFFF8000, 0x1000};
  return input.ConsumeIntegralInRange(0, 7) == 0 ? input.ConsumeIntegral<std::uint32_t>() : input.PickValueInArray(STRIDES);
}

// Regions whose instances repeat one layer of work, mostly with strided
// operands, sometimes with another kernel, a fresh call or a call left out.
// Returns the regions' true phase ranges.
std::vector<StaticTemplateRegion> make_layered(FuzzedDataProvider& input, LoweredTileProgram& program) {
  std::vector<StaticTemplateRegion> regions(input.ConsumeIntegralInRange<std::size_t>(1, NAMES.size()));
  std::uint64_t phase = input.ConsumeIntegralInRange<std::uint64_t>(0, 2);
  for (std::size_t region = 0; region < regions.size(); ++region) {
    regions[region].name = NAMES[region];
    const std::size_t instances = input.ConsumeIntegralInRange<std::size_t>(2, 4);
    const std::uint64_t phases = input.ConsumeIntegralInRange<std::uint64_t>(1, 3);
    // Per relative phase: exchange epochs, or calls with per-operand strides.
    struct Call {
      LoweredComputeCommand base;
      std::vector<std::uint32_t> strides;  // per operand: output, inputs, arguments
    };
    struct LayerPhase {
      std::size_t epochs = 0;  // 0 for a compute phase
      std::vector<Call> calls;
    };
    std::vector<LayerPhase> layer(phases);
    for (auto& layer_phase : layer) {
      if (input.ConsumeBool()) {
        layer_phase.epochs = input.ConsumeIntegralInRange<std::size_t>(1, 2);
        continue;
      }
      layer_phase.calls.resize(input.ConsumeIntegralInRange<std::size_t>(0, 3));
      for (auto& call : layer_phase.calls) {
        call.base = fuzz_input::command(input, 0);
        call.strides.resize(1 + call.base.input_addresses.size() + call.base.arguments.size());
        for (auto& value : call.strides) value = stride(input);
      }
    }
    for (std::size_t instance = 0; instance < instances; ++instance) {
      regions[region].phase_instances.push_back({phase, phase + phases});
      for (const auto& layer_phase : layer) {
        for (std::size_t epoch = 0; epoch < layer_phase.epochs; ++epoch) {
          program.steps.push_back(fuzz_input::exchange(input, phase));
        }
        if (layer_phase.epochs == 0 && (layer_phase.calls.empty() || input.ConsumeIntegralInRange(0, 7) == 0)) {
          program.steps.emplace_back(LoweredTileStep::IdleCompute{tessel_compiler::OpId(0), phase});
        }
        for (const auto& call : layer_phase.calls) {
          LoweredComputeCommand command = call.base;
          switch (input.ConsumeIntegralInRange(0, 15)) {
            case 0: continue;  // this instance leaves the call out
            case 1: command = fuzz_input::command(input, phase); break;
            case 2: command.specialization.operation = "add_f16"; break;
            default: {
              std::size_t operand = 0;
              command.output_address = strided(command.output_address, call.strides[operand++], instance);
              for (auto& address : command.input_addresses) address = strided(address, call.strides[operand++], instance);
              for (auto& argument : command.arguments) argument = strided(argument, call.strides[operand++], instance);
              break;
            }
          }
          command.phase = phase;
          program.steps.emplace_back(LoweredTileStep::Compute{std::move(command)});
        }
        ++phase;
      }
    }
    phase += input.ConsumeIntegralInRange<std::uint64_t>(0, 1);
    if (program.steps.size() > MAX_STEPS) {
      regions.resize(region + 1);
      break;
    }
  }
  return regions;
}

Input make_input(FuzzedDataProvider& input) {
  Input result;
  const bool layered = input.ConsumeBool();
  if (layered) {
    result.regions = make_layered(input, result.program);
  } else {
    result.program = make_program(input);
  }
  result.program.tile = 7;
  result.exchanges = static_cast<std::size_t>(
      std::count_if(result.program.steps.begin(), result.program.steps.end(), fuzz_input::is_exchange));
  result.plan_addresses.resize(list_length(input, result.exchanges));
  for (std::size_t index = 0; index < result.plan_addresses.size(); ++index) {
    result.plan_addresses[index] = input.ConsumeIntegralInRange(0, 3) == 0
                                       ? fuzz_input::word(input)
                                       : static_cast<std::uint32_t>(0x52000 + 0x20 * (index % 8));
  }
  result.plan_rows.resize(list_length(input, result.exchanges));
  for (auto& row : result.plan_rows) {
    row.resize(static_cast<std::size_t>(input.ConsumeIntegralInRange(0, 4)));
    for (auto& value : row) value = input.ConsumeBool() ? input.ConsumeIntegralInRange<std::uint32_t>(1, 3) : fuzz_input::word(input);
  }
  result.plan_patches.resize(list_length(input, result.exchanges));
  for (std::size_t index = 0; index < result.plan_patches.size(); ++index) {
    if (input.ConsumeBool()) continue;
    const auto offset = input.ConsumeIntegralInRange<std::uint16_t>(0, 3);
    const std::uint32_t address = input.ConsumeBool() ? static_cast<std::uint32_t>(0x52000 + 0x20 * (index % 8) + 4U * offset)
                                                      : fuzz_input::word(input);
    result.plan_patches[index] = sc::StaticPlanPatch{address, offset, fuzz_input::word(input)};
  }
  if (!layered) result.regions = make_regions(input);
  switch (input.ConsumeIntegralInRange(0, 5)) {
    case 0: result.cursor = 0xFFFFFFFF - input.ConsumeIntegralInRange<std::uint32_t>(0, 400); break;
    case 1: result.cursor = input.ConsumeIntegral<std::uint32_t>(); break;
    default: result.cursor = 0x53000 + input.ConsumeIntegralInRange<std::uint32_t>(0, 7); break;
  }
  result.cyclic = input.ConsumeBool();
  return result;
}

// ---------------------------------------------------------------------------
// Errors.

bool known_error(const Input& input, const std::string& message) {
  // Counts beyond 16 or 32 bits and patch segments of 2^30 words are out of
  // reach of these small inputs, so their messages would be faults here.
  static constexpr std::string_view MESSAGES[] = {
      "template exchange has no normalized row",
      "template exchange has no plan address",
      "static template phase range is empty",
      "static template phase range does not map to contiguous tile steps",
      "static template steps are not ordered by phase",
      "static template record address overflow",
      "static template patch address overflow",
      "template {} requires at least two instances",
      "template {} instances must be ordered, contiguous, and non-overlapping",
      "template {} instances have different phase counts",
      "template {} changes phase kind in phase {}",
      "template {} changes exchange epoch count in phase {}",
      "template {} changes compute ABI in phase {} call {}",
      "template {} has unsupported compute ABI in phase {} call {}",
  };
  std::vector<std::string> names;
  for (const auto& region : input.regions) names.push_back(region.name);
  return std::any_of(std::begin(MESSAGES), std::end(MESSAGES),
                     [&](std::string_view pattern) { return fuzz_input::matches(pattern, message, names); });
}

// The per-exchange lists are checked before anything else.
std::optional<std::string_view> unused_list_error(const Input& input) {
  if (input.plan_addresses.size() > input.exchanges) return "unused exchange plan while planning static templates";
  if (input.plan_rows.size() > input.exchanges) return "unused exchange plan row while planning static templates";
  if (input.plan_patches.size() > input.exchanges) return "unused exchange plan patch while planning static templates";
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// Replaying template steps against one instance.

struct Evaluation {
  const sc::RecordWords& record;
  const sc::RecordWords& shared;
  std::size_t instances;

  [[nodiscard]] sc::RecordWord word(const sc::TemplateValue& value) const {
    if (const auto* record_value = value.get_if<sc::TemplateValue::Record>()) {
      require(record_value->slot < record.size(), "record slot inside the record");
      return record[record_value->slot];
    }
    if (const auto* shared_value = value.get_if<sc::TemplateValue::Shared>()) {
      require(shared_value->index < shared.size(), "shared index inside the shared list");
      return shared[shared_value->index];
    }
    if (const auto* constant = value.get_if<sc::TemplateValue::Constant>()) {
      require(constant->value < sc::TEMPLATE_CONSTANT_LIMIT, "constants below the constant limit");
      return sc::RecordWord::Value{constant->value};
    }
    const auto& offset = *value.get_if<sc::TemplateValue::RecordOffset>();
    require(sc::add_immediate_steps(offset.offset) < instances, "an offset costs fewer steps than a slot");
    require(offset.slot < record.size(), "offset slot inside the record");
    const auto* base = record[offset.slot].get_if<sc::RecordWord::Value>();
    require(base != nullptr, "an offset applies to a number");
    const std::int64_t sum = std::int64_t{base->value} + offset.offset;
    require(sum >= 0 && sum < static_cast<std::int64_t>(TOP), "an offset stays inside 32 bits");
    return sc::RecordWord::Value{static_cast<std::uint32_t>(sum)};
  }

  [[nodiscard]] std::uint32_t number(const sc::TemplateValue& value) const {
    const auto result = word(value);
    const auto* number = result.get_if<sc::RecordWord::Value>();
    require(number != nullptr, "a numeric operand evaluates to a number");
    return number->value;
  }
};

std::vector<std::uint32_t> operands_of(const LoweredComputeCommand& command) {
  std::vector<std::uint32_t> operands{command.output_address};
  operands.insert(operands.end(), command.input_addresses.begin(), command.input_addresses.end());
  operands.insert(operands.end(), command.arguments.begin(), command.arguments.end());
  return operands;
}

// What one instance did at one template step, for the checks across instances.
struct Observed {
  const std::vector<std::uint32_t>* row = nullptr;       // exchange: the plan row
  const sc::StaticPlanPatch* patch = nullptr;            // exchange: the sender patch
  const LoweredComputeCommand* call = nullptr;           // compute: the call made, if any
};

// Replays `plan` for instance `instance` and returns what it observed per
// template step.
std::vector<Observed> replay(const Input& input, const std::vector<std::size_t>& exchange_ordinal,
                             const sc::StaticTemplatePlan& plan, std::size_t instance) {
  const auto& steps = input.program.steps;
  const Evaluation evaluate{plan.records[instance], plan.shared, plan.records.size()};
  std::uint64_t cursor = plan.instance_steps[instance].start;
  const std::uint64_t end = plan.instance_steps[instance].end;
  // The next exchange or compute step of the instance.
  const auto next_step = [&]() -> const LoweredTileStep& {
    while (cursor < end && steps[cursor].get_if<LoweredTileStep::IdleCompute>() != nullptr) ++cursor;
    require(cursor < end, "the template does not run past the instance's steps");
    return steps[cursor++];
  };

  std::vector<Observed> observed(plan.steps.size());
  for (std::size_t index = 0; index < plan.steps.size(); ++index) {
    const auto& template_step = plan.steps[index];
    if (const auto* exchange = template_step.get_if<sc::StaticTemplateStep::Exchange>()) {
      const auto& step = next_step();
      const auto* lowered = step.get_if<LoweredTileStep::Exchange>();
      require(lowered != nullptr, "an exchange template step meets an exchange step");
      const std::size_t ordinal = exchange_ordinal[cursor - 1];
      require(ordinal < input.plan_addresses.size() && ordinal < input.plan_rows.size(),
              "a planned exchange has a plan address and a row");
      require(evaluate.number(exchange->plan_address) == input.plan_addresses[ordinal], "plan address reproduced");
      require(evaluate.number(exchange->active) == (tessel_compiler::row_is_active(lowered->row) ? 1U : 0U),
              "activity reproduced");
      const auto& row = input.plan_rows[ordinal];
      for (std::size_t word = 0; word < exchange->plan_words.size(); ++word) {
        const auto& [word_index, value] = exchange->plan_words[word];
        require(word == 0 || exchange->plan_words[word - 1].index < word_index, "plan words by increasing index");
        require(evaluate.number(value) == (word_index < row.size() ? row[word_index] : 0U), "plan word reproduced");
      }
      const sc::StaticPlanPatch* patch =
          ordinal < input.plan_patches.size() && input.plan_patches[ordinal] ? &*input.plan_patches[ordinal] : nullptr;
      require(exchange->sender_instruction.has_value() == exchange->sender_word_offset.has_value(),
              "a sender instruction exactly when there is a sender word");
      if (exchange->sender_instruction) {
        require(evaluate.number(*exchange->sender_instruction) == (patch != nullptr ? patch->instruction : 0U),
                "sender instruction reproduced");
      }
      if (exchange->sender_address) {
        require(evaluate.number(*exchange->sender_address) == (patch != nullptr ? patch->word_address : 0U),
                "sender address reproduced");
      } else if (patch != nullptr) {
        require(exchange->sender_word_offset == patch->word_offset, "a shared sender word offset reproduced");
      }
      observed[index] = {&row, patch, nullptr};
    } else if (const auto* compute = template_step.get_if<sc::StaticTemplateStep::Compute>()) {
      bool called = true;
      if (compute->condition) {
        const std::uint32_t condition = evaluate.number(*compute->condition);
        require(condition <= 1, "a condition is 0 or 1");
        called = condition == 1;
      }
      if (!called) {
        if (compute->kernel) require(evaluate.word(*compute->kernel) == sc::RecordWord::Value{0}, "skipped kernel 0");
        continue;
      }
      const auto* call = fuzz_input::command_of(next_step());
      require(call != nullptr, "a compute template step meets a compute step");
      const auto operands = operands_of(*call);
      require(compute->operands.size() == operands.size(), "operand count reproduced");
      for (std::size_t operand = 0; operand < operands.size(); ++operand) {
        require(evaluate.number(compute->operands[operand]) == operands[operand], "operand reproduced");
      }
      if (compute->kernel) {
        require(compute->kernel->get_if<sc::TemplateValue::RecordOffset>() == nullptr, "kernels are never offset");
        require(evaluate.word(*compute->kernel) ==
                    sc::RecordWord::Symbol{sc::kernel_entry_symbol(call->specialization.operation)},
                "kernel symbol reproduced");
      } else {
        require(compute->operation == call->specialization.operation, "the shared kernel reproduced");
      }
      observed[index].call = call;
    }
  }
  while (cursor < end && steps[cursor].get_if<LoweredTileStep::IdleCompute>() != nullptr) ++cursor;
  require(cursor == end, "the template covers all the instance's work");
  return observed;
}

// Facts about a template step that only show across instances.
void check_across_instances(const sc::StaticTemplateStep& step, const std::vector<const Observed*>& observed) {
  if (const auto* exchange = step.get_if<sc::StaticTemplateStep::Exchange>()) {
    const auto with_patch = std::find_if(observed.begin(), observed.end(), [](const Observed* o) { return o->patch; });
    require((with_patch != observed.end()) == exchange->sender_word_offset.has_value(),
            "a sender word offset exactly when some instance has a sender patch");
    if (with_patch != observed.end()) {
      require(*exchange->sender_word_offset == (*with_patch)->patch->word_offset, "the first sender patch's offset");
      const bool dynamic = std::any_of(observed.begin(), observed.end(), [&](const Observed* o) {
        return o->patch != nullptr && o->patch->word_offset != *exchange->sender_word_offset;
      });
      require(dynamic == exchange->sender_address.has_value(), "a sender address exactly when offsets differ");
    }
    std::size_t longest = 0;
    for (const auto* o : observed) longest = std::max(longest, o->row->size());
    std::size_t listed = 0;
    for (std::size_t word = 0; word < longest; ++word) {
      const auto at = [&](const Observed* o) { return word < o->row->size() ? (*o->row)[word] : 0U; };
      const bool equal = std::all_of(observed.begin(), observed.end(), [&](const Observed* o) { return at(o) == at(observed.front()); });
      const bool is_listed = listed < exchange->plan_words.size() && exchange->plan_words[listed].index == word;
      require(is_listed != equal, "exactly the differing plan words are listed");
      if (is_listed) ++listed;
    }
    require(listed == exchange->plan_words.size(), "no plan word past the longest row");
  } else if (const auto* compute = step.get_if<sc::StaticTemplateStep::Compute>()) {
    const auto first = std::find_if(observed.begin(), observed.end(), [](const Observed* o) { return o->call; });
    require(first != observed.end(), "some instance makes each call");
    require(compute->operation == (*first)->call->specialization.operation, "the first caller's kernel named");
    const bool all_call = std::all_of(observed.begin(), observed.end(), [](const Observed* o) { return o->call; });
    require(all_call != compute->condition.has_value(), "a condition exactly when some instance skips");
    const bool kernels_differ = std::any_of(observed.begin(), observed.end(), [&](const Observed* o) {
      return o->call != nullptr && o->call->specialization.operation != compute->operation;
    });
    require(kernels_differ == compute->kernel.has_value(), "a kernel word exactly when kernels differ");
  }
}

// ---------------------------------------------------------------------------
// Patches and layout, recomputed independently.

using Slots = tessel::Range<std::uint64_t>;

std::array<Slots, 2> halves_of(Slots range) {
  const std::uint64_t length = range.end - range.start;
  const std::uint64_t half = length / 2;
  const std::uint64_t midpoint = std::min((half + 31) / 32 * 32, length);
  return {Slots{range.start, range.start + midpoint}, Slots{range.start + midpoint, range.end}};
}

std::uint64_t segment_words(Slots range, const sc::StaticTemplatePatch& patch) {
  std::uint64_t narrow = 0;
  std::uint64_t wide = 0;
  std::optional<std::uint64_t> first;
  std::uint64_t last = 0;
  for (const auto& change : patch) {
    if (change.slot < range.start || change.slot >= range.end) continue;
    const std::uint64_t offset = change.slot - range.start;
    if (!first) first = offset;
    last = offset;
    (change.change.get_if<sc::StaticTemplatePatchValue::Delta>() != nullptr ? narrow : wide) += 1;
  }
  if (!first) return 0;
  const std::uint64_t span_start = *first / 32 * 32;
  const std::uint64_t span_end = std::min((last + 1 + 31) / 32 * 32, range.end - range.start);
  return 1 + (span_end - span_start + 31) / 32 + (narrow + wide + 31) / 32 + (narrow + 1) / 2 + wide;
}

void check_patch(const sc::RecordWords& previous, const sc::RecordWords& next, const sc::StaticTemplatePatch& patch) {
  sc::RecordWords patched = previous;
  for (std::size_t index = 0; index < patch.size(); ++index) {
    const auto& [slot, change] = patch[index];
    require(index == 0 || patch[index - 1].slot < slot, "patch slots increase");
    require(slot < previous.size(), "patch slots inside the record");
    require(previous[slot] != next[slot], "only changed slots are patched");
    const auto* before = previous[slot].get_if<sc::RecordWord::Value>();
    const auto* after = next[slot].get_if<sc::RecordWord::Value>();
    const std::optional<std::int64_t> difference =
        before != nullptr && after != nullptr ? std::optional{std::int64_t{after->value} - before->value} : std::nullopt;
    const bool narrow = difference && *difference >= -32768 && *difference <= 32767;
    if (const auto* delta = change.get_if<sc::StaticTemplatePatchValue::Delta>()) {
      require(narrow && *difference == delta->delta, "a delta is the 16-bit difference of two numbers");
      patched[slot] = next[slot];
    } else {
      require(!narrow, "a whole word only when no delta fits");
      patched[slot] = change.get_if<sc::StaticTemplatePatchValue::Word>()->word;
    }
  }
  require(patched == next, "the patch turns one record into the next");
}

// Checks the layout of `plan` from `cursor` and returns the cursor after it.
std::uint64_t check_layout(const sc::StaticTemplatePlan& plan, std::uint64_t cursor, bool cyclic) {
  const std::size_t instances = plan.records.size();
  const std::uint64_t words = plan.records.front().size();
  for (const auto& record : plan.records) require(record.size() == words, "records of one length");
  const std::uint64_t split = (words + 1) / 2;
  require(plan.record_split == split, "the primary part holds half the record, rounded up");

  require(plan.patches.size() == instances + (cyclic ? 1 : 0), "one patch per instance, one more when cyclic");
  require(plan.patches.front().empty(), "the first patch is empty");
  for (std::size_t patch = 1; patch < plan.patches.size(); ++patch) {
    check_patch(plan.records[patch - 1], plan.records[patch % instances], plan.patches[patch]);
  }

  const std::uint64_t start = cursor;
  const auto piece = [&](std::uint64_t bytes) {
    const std::uint64_t address = (cursor + 3) / 4 * 4;
    cursor = address + bytes;
    require(cursor <= TOP - 1, "the layout ends inside the address space");
    return address;
  };
  const std::uint64_t primary = piece(4 * split);
  const std::uint64_t secondary = piece(4 * (words - split));
  require(plan.record_addresses.size() == instances && plan.record_secondary_addresses.size() == instances,
          "record addresses per instance");
  for (std::size_t instance = 0; instance < instances; ++instance) {
    require(plan.record_addresses[instance] == primary, "primary part at the aligned cursor");
    require(plan.record_secondary_addresses[instance] == secondary, "secondary part right after the primary");
  }
  const auto [primary_first, primary_second] = halves_of({0, split});
  const auto [secondary_first, secondary_second] = halves_of({split, words});
  const std::array<Slots, 4> ranges = {primary_first, primary_second, secondary_first, secondary_second};
  require(plan.patch_addresses.size() == plan.patches.size(), "segment addresses per patch");
  for (std::size_t patch = 0; patch < plan.patches.size(); ++patch) {
    for (std::size_t range = 0; range < ranges.size(); ++range) {
      const std::uint64_t address = piece(4 * segment_words(ranges[range], plan.patches[patch]));
      require(plan.patch_addresses[patch][range] == address, "segments one after another in range order");
    }
  }
  for (const std::uint64_t address : {primary, secondary}) {
    require(address >= start && address <= cursor && address % 4 == 0, "record parts inside the laid-out span");
  }
  for (const auto& addresses : plan.patch_addresses) {
    for (const std::uint32_t address : addresses) {
      require(address >= start && address <= cursor && address % 4 == 0, "segments inside the laid-out span");
    }
  }
  return cursor;
}

void check_plans(const Input& input, const sc::StaticTemplatePlans& result) {
  const auto& steps = input.program.steps;
  require(result.plans.size() == input.regions.size(), "one plan per region");
  std::vector<std::size_t> exchange_ordinal(steps.size(), 0);
  for (std::size_t index = 0, ordinal = 0; index < steps.size(); ++index) {
    if (fuzz_input::is_exchange(steps[index])) exchange_ordinal[index] = ordinal++;
  }

  const bool phase_ordered = std::is_sorted(steps.begin(), steps.end(), [](const LoweredTileStep& left, const LoweredTileStep& right) {
    return left.phase() < right.phase();
  });
  std::uint64_t cursor = input.cursor;
  std::uint64_t previous_end = 0;
  for (std::size_t region = 0; region < input.regions.size(); ++region) {
    const auto& plan = result.plans[region];
    const auto& phases = input.regions[region].phase_instances;
    require(plan.name == input.regions[region].name, "the region's name");
    require(plan.shared_address == 0, "the shared list is not placed");
    require(phases.size() >= 2 && plan.instance_steps.size() == phases.size() && plan.records.size() == phases.size(),
            "one step range and record per instance");
    for (std::size_t instance = 0; instance < phases.size(); ++instance) {
      const auto& range = plan.instance_steps[instance];
      require(phases[instance].length() == phases.front().length() && !phases[instance].empty(),
              "instances span equally many phases");
      require(range.start < range.end && range.end <= steps.size(), "an instance has steps");
      require(instance == 0 ? range.start >= previous_end : range.start == plan.instance_steps[instance - 1].end,
              "instances follow one another after the previous template");
      // Phase ranges are found by binary search, which assumes steps in
      // phase order; only then are all steps of the phases covered.
      for (std::size_t index = 0; index < steps.size(); ++index) {
        const bool in_phases = phases[instance].contains(steps[index].phase());
        if (range.contains(index)) require(in_phases, "an instance holds only steps of its phases");
        if (phase_ordered) require(range.contains(index) == in_phases, "an instance covers every step of its phases");
      }
    }
    previous_end = plan.instance_steps.back().end;

    std::vector<std::vector<Observed>> observed;
    for (std::size_t instance = 0; instance < phases.size(); ++instance) {
      observed.push_back(replay(input, exchange_ordinal, plan, instance));
    }
    for (std::size_t step = 0; step < plan.steps.size(); ++step) {
      std::vector<const Observed*> at_step;
      for (const auto& instance : observed) at_step.push_back(&instance[step]);
      check_across_instances(plan.steps[step], at_step);
    }
    cursor = check_layout(plan, cursor, input.cyclic);
  }
  require(result.cursor == cursor, "the returned cursor ends the last template");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider provider(data, size);
  const Input input = make_input(provider);
  const auto result = sc::plan_static_templates(input.program, input.plan_addresses, input.plan_rows,
                                                input.plan_patches, input.regions, input.cursor, input.cyclic);
  const auto unused = unused_list_error(input);
  if (!result) {
    const std::string& message = result.error().message;
    if (unused) {
      require(message == *unused, "a per-exchange list longer than the exchange steps is reported first");
    } else if (!known_error(input, message)) {
      fail(message);
    }
    return 0;
  }
  require(!unused, "a per-exchange list longer than the exchange steps fails");
  check_plans(input, *result);
  return 0;
}
