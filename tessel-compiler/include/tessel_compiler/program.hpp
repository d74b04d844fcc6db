#pragma once
// Lowered tile programs: what one tile executes, step by step, with every
// tensor resolved to a tile-memory address.
//
// Steps of a program appear in increasing phase order and the steps of one
// phase are adjacent; readers that rely on it check it.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "tessel_compiler/ids.hpp"

namespace tessel_compiler {

// Which compiled kernel variant a command runs.
struct SpecializationKey {
  std::string operation;             // kernel name, e.g. "gemm_f16_accumulate"
  std::vector<std::uint64_t> shape;  // kernel dimensions
  std::uint8_t worker_count = 0;     // workers the variant runs on
  std::string role;                  // role within the operation, e.g. "inner-block"; may be empty
  std::uint32_t alignment = 0;       // required alignment, in bytes

  bool operator==(const SpecializationKey&) const = default;
};

using Metadata = std::map<std::string, std::string>;  // iterated in ascending key order

// One kernel invocation on one tile.
struct LoweredComputeCommand {
  OpId op;                                   // graph operation it computes part of
  std::uint64_t phase = 0;                   // schedule phase it runs in
  TensorId output;                           // tensor written
  std::vector<TensorId> inputs;              // tensors read, in operand order
  std::uint32_t output_address = 0;          // tile-memory byte address of the output
  std::vector<std::uint32_t> input_addresses;  // byte address of each input, paired with `inputs`
  std::vector<std::uint32_t> arguments;      // further scalar operands, in order
  SpecializationKey specialization;          // kernel variant
  Metadata metadata;                         // annotations; "label" is the step label

  bool operator==(const LoweredComputeCommand&) const = default;
};

// True when two commands have the same call interface: same kernel name,
// output address, input addresses and arguments.
[[nodiscard]] bool same_call_interface(const LoweredComputeCommand& left, const LoweredComputeCommand& right);

// An exchange row: the instruction words of one tile for one epoch. Shared and
// never modified; copying a step shares it.
using ExchangeRow = std::shared_ptr<const std::vector<std::uint32_t>>;

[[nodiscard]] ExchangeRow make_row(std::vector<std::uint32_t> words);

// True unless the row's first word is `sans(0)` (0x40C00000), which marks the
// tile inactive in that epoch. An empty row counts as active.
[[nodiscard]] bool row_is_active(const ExchangeRow& row);

struct LoweredTileStep {
  // One epoch of exchange phase `phase`.
  struct Exchange {
    std::uint64_t phase = 0;  // schedule phase
    std::uint64_t epoch = 0;  // epoch within the phase, from 0
    ExchangeRow row;          // instruction words of this tile for the epoch

    // Rows compare by their words, not by identity.
    bool operator==(const Exchange& other) const;
  };
  // The tile runs one command.
  struct Compute {
    LoweredComputeCommand command;
    bool operator==(const Compute&) const = default;
  };
  // Compute phase `phase` (running `op`) has no command for this tile.
  struct IdleCompute {
    OpId op;
    std::uint64_t phase = 0;
    bool operator==(const IdleCompute&) const = default;
  };

  using Value = std::variant<Exchange, Compute, IdleCompute>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  LoweredTileStep(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }
  template <class V>
  [[nodiscard]] V* get_if() noexcept {
    return std::get_if<V>(&value);
  }

  // The step's phase: the exchange phase, the command's phase, or the idle phase.
  [[nodiscard]] std::uint64_t phase() const noexcept;

  bool operator==(const LoweredTileStep&) const = default;
};

struct LoweredTileProgram {
  std::vector<LoweredTileStep> steps;  // in execution order
  std::uint16_t tile = 0;              // logical tile running the program

  bool operator==(const LoweredTileProgram&) const = default;
};

}  // namespace tessel_compiler
