#pragma once
// Template steps, and the compute step shared by one call position of every
// instance.
//
// `plan_template_compute_step` takes, per instance in instance order, the
// compute commands of one relative phase (in program order) and builds the
// template step for call position `command_index`. Instances may call
// different kernels with different addresses, but the calls present must
// pass equal numbers of input addresses and of arguments, with at least one
// input address and at most 7 values besides the output address. Builder
// requests are made in a fixed order, which decides the record slots:
//   1. the condition (only when some instance lacks the call): 1 or 0 per instance;
//   2. the kernel (only when the kernels differ): a "tessel_stack_{}" symbol
//      per instance, 0 for an instance without the call;
//   3. the operands by position: output address, input addresses, arguments;
//      an instance without the call repeats the first call's values.
// On failure the builder keeps the columns already added by this step.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "tessel/error.hpp"
#include "tessel_compiler/program.hpp"
#include "tessel_runtime/static_codegen/template_records.hpp"

namespace tessel_runtime::static_codegen {

// A word index of an exchange plan and the value to write there.
struct TemplatePlanWord {
  std::uint16_t index = 0;  // word index within the exchange plan
  TemplateValue value;      // per-instance value of that word

  bool operator==(const TemplatePlanWord&) const = default;
};

// One step of a template's shared code.
struct StaticTemplateStep {
  // One exchange epoch.
  struct Exchange {
    std::optional<std::uint16_t> sender_word_offset;  // plan word rewritten by the sender patch, if any
    std::optional<TemplateValue> sender_address;      // byte address of that word, when it differs per instance
    std::optional<TemplateValue> sender_instruction;  // the word the sender patch writes, if any
    std::vector<TemplatePlanWord> plan_words;         // plan words that differ between instances, ascending index
    TemplateValue plan_address;                       // byte address of the instance's exchange plan
    TemplateValue active;                             // 1 when the instance takes part in the epoch, else 0
  };
  // One kernel call.
  struct Compute {
    std::string operation;                // kernel of the first instance making the call
    std::vector<TemplateValue> operands;  // output address, input addresses, arguments
    std::optional<TemplateValue> kernel;  // per-instance kernel symbol, when the kernels differ
    std::optional<TemplateValue> condition;  // 1 (call) or 0 (skip) per instance, when some skip
  };
  // A compute phase in which no instance runs a command.
  struct Idle {};

  using Value = std::variant<Exchange, Compute, Idle>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  StaticTemplateStep(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }
};

// Most values a templated call passes besides its output address.
inline constexpr std::size_t MAX_TEMPLATE_VALUE_REGISTERS = 7;

// The compute commands of one instance in one relative phase, in program order.
using InstanceCommands = std::vector<std::reference_wrapper<const tessel_compiler::LoweredComputeCommand>>;

// The "tessel_stack_{}" entry symbol of kernel `operation`.
[[nodiscard]] std::string kernel_entry_symbol(std::string_view operation);

// The `Compute` step for call position `command_index`. `template_name` and
// `relative_phase` only appear in messages.
[[nodiscard]] tessel::Result<StaticTemplateStep> plan_template_compute_step(std::span<const InstanceCommands> commands,
                                                                            std::uint64_t command_index,
                                                                            TemplateRecords& records,
                                                                            std::string_view template_name,
                                                                            std::uint64_t relative_phase);

}  // namespace tessel_runtime::static_codegen
