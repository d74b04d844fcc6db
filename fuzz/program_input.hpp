#pragma once
// Small random tile programs for the static template fuzzers: steps, words
// biased towards the values where the planners change behaviour (the constant
// limit, 16-bit delta bounds, the top of the 32-bit range), and a matcher for
// message templates.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tessel_compiler/program.hpp"

namespace fuzz_input {

using tessel_compiler::LoweredComputeCommand;
using tessel_compiler::LoweredTileStep;

inline constexpr std::uint32_t INACTIVE_ROW_WORD = 0x40C00000;  // the instruction word marking an idle epoch
inline constexpr std::uint64_t TOP = std::uint64_t{1} << 32;

[[noreturn]] inline void fail(std::string_view what) {
  std::fprintf(stderr, "property violated: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

inline void require(bool condition, std::string_view what) {
  if (!condition) fail(what);
}

// A 32-bit word: mostly small or address-like, sometimes at a boundary.
inline std::uint32_t word(FuzzedDataProvider& input) {
  switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: return input.ConsumeIntegralInRange<std::uint32_t>(0, 15);
    case 1: return input.ConsumeIntegralInRange<std::uint32_t>(0x100000 - 4, 0x100000 + 4);
    case 2: return input.ConsumeIntegralInRange<std::uint32_t>(0xFFFFFFF0, 0xFFFFFFFF);
    case 3: return 0x40000 + input.ConsumeIntegralInRange<std::uint32_t>(0, 2) * 0x8000 -
                   input.ConsumeIntegralInRange<std::uint32_t>(0, 1);
    case 4: return input.ConsumeIntegral<std::uint32_t>();
    default: return 0x50000 + 4 * input.ConsumeIntegralInRange<std::uint32_t>(0, 7);
  }
}

inline std::vector<std::uint32_t> words(FuzzedDataProvider& input, int max_count) {
  std::vector<std::uint32_t> result(static_cast<std::size_t>(input.ConsumeIntegralInRange(0, max_count)));
  for (auto& value : result) value = word(input);
  return result;
}

// An exchange epoch, active or not by its row's first word.
inline LoweredTileStep exchange(FuzzedDataProvider& input, std::uint64_t phase) {
  std::vector<std::uint32_t> row;
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: break;  // an empty row counts as active
    case 1: row.push_back(INACTIVE_ROW_WORD); break;
    default: row.push_back(INACTIVE_ROW_WORD | input.ConsumeIntegralInRange<std::uint32_t>(1, 3)); break;
  }
  const auto more = words(input, 2);
  row.insert(row.end(), more.begin(), more.end());
  return LoweredTileStep::Exchange{phase, 0, tessel_compiler::make_row(std::move(row))};
}

// A kernel call, usually of the argument-free two-input shape.
inline LoweredComputeCommand command(FuzzedDataProvider& input, std::uint64_t phase) {
  static constexpr const char* OPERATIONS[] = {"gemm_f16_accumulate", "add_f16", "layer_norm"};
  LoweredComputeCommand command;
  command.phase = phase;
  command.specialization.operation = input.PickValueInArray(OPERATIONS);
  command.output_address = input.ConsumeBool() ? 0x80000 : word(input);
  const int inputs = input.ConsumeIntegralInRange(0, 7);
  const int input_count = inputs == 0 ? 0 : inputs == 1 ? 1 : inputs == 2 ? 4 : 2;
  for (int index = 0; index < input_count; ++index) {
    command.input_addresses.push_back(input.ConsumeBool() ? 0x50000 + 0x4000U * static_cast<std::uint32_t>(index)
                                                          : word(input));
  }
  if (input.ConsumeIntegralInRange(0, 3) == 0) command.arguments = words(input, 6);
  return command;
}

inline bool is_exchange(const LoweredTileStep& step) { return step.get_if<LoweredTileStep::Exchange>() != nullptr; }

inline const LoweredComputeCommand* command_of(const LoweredTileStep& step) {
  const auto* compute = step.get_if<LoweredTileStep::Compute>();
  return compute != nullptr ? &compute->command : nullptr;
}

// A message against a template whose `{}` stand for a region name of `names`
// (the first) or a decimal number (the others).
inline bool matches(std::string_view pattern, std::string_view message, std::span<const std::string> names) {
  bool first_hole = true;
  while (true) {
    const auto hole = pattern.find("{}");
    const auto literal = pattern.substr(0, hole);
    if (message.substr(0, literal.size()) != literal) return false;
    message.remove_prefix(literal.size());
    if (hole == std::string_view::npos) return message.empty();
    pattern.remove_prefix(hole + 2);
    if (first_hole) {
      first_hole = false;
      bool found = false;
      for (const auto& name : names) {
        // A name followed by the rest of the pattern; names share no prefix
        // that would make this ambiguous.
        if (message.substr(0, name.size()) == name) {
          message.remove_prefix(name.size());
          found = true;
          break;
        }
      }
      if (!found) return false;
    } else {
      std::size_t digits = 0;
      while (digits < message.size() && message[digits] >= '0' && message[digits] <= '9') ++digits;
      if (digits == 0) return false;
      message.remove_prefix(digits);
    }
  }
}

}  // namespace fuzz_input
