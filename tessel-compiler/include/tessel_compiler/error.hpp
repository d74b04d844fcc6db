#pragma once
// The error of compiler-side operations.

#include <string>
#include <variant>

#include <fmt/format.h>

#include "tessel_exchange/error.hpp"

namespace tessel_compiler {

struct CompileError {
  struct Graph {
    std::string reason;
    bool operator==(const Graph&) const = default;
  };
  struct Memory {
    std::string reason;
    bool operator==(const Memory&) const = default;
  };
  struct Exchange {
    tessel_exchange::ExchangeError error;
    bool operator==(const Exchange&) const = default;
  };

  using Value = std::variant<Graph, Memory, Exchange>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  CompileError(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  [[nodiscard]] static CompileError graph(std::string reason) { return CompileError{Graph{std::move(reason)}}; }
  [[nodiscard]] static CompileError memory(std::string reason) { return CompileError{Memory{std::move(reason)}}; }

  // The cause: the wrapped exchange error of `Exchange`, nothing otherwise.
  [[nodiscard]] const tessel_exchange::ExchangeError* source() const noexcept;

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }

  bool operator==(const CompileError&) const = default;
};

}  // namespace tessel_compiler

// `{}` gives the display text ("SRAM allocation failed: ..."), `{:?}` the
// debug text (Memory("..."), Exchange(Tile(1500))).
template <>
struct fmt::formatter<tessel_compiler::CompileError> : tessel::DebugFlagParser {
  fmt::format_context::iterator format(const tessel_compiler::CompileError& error,
                                       fmt::format_context& context) const;
};
