#pragma once
// Identifiers of tensors and operations of the compiled graph.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>

#include <fmt/format.h>

namespace tessel_compiler {

struct TensorId {
  std::uint64_t index = 0;  // tensor number given by the graph

  constexpr TensorId() = default;
  constexpr explicit TensorId(std::uint64_t tensor) : index(tensor) {}
  constexpr auto operator<=>(const TensorId&) const = default;
};

struct OpId {
  std::uint64_t index = 0;  // operation (node) number given by the graph

  constexpr OpId() = default;
  constexpr explicit OpId(std::uint64_t op) : index(op) {}
  constexpr auto operator<=>(const OpId&) const = default;
};

}  // namespace tessel_compiler

template <>
struct std::hash<tessel_compiler::TensorId> {
  std::size_t operator()(tessel_compiler::TensorId id) const noexcept { return std::hash<std::uint64_t>{}(id.index); }
};

// Debug texts: TensorId(7), OpId(4).
template <>
struct fmt::formatter<tessel_compiler::TensorId> {
  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') ++it;
    return it;
  }
  template <class Context>
  auto format(tessel_compiler::TensorId id, Context& context) const {
    return fmt::format_to(context.out(), "TensorId({})", id.index);
  }
};

template <>
struct fmt::formatter<tessel_compiler::OpId> {
  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') ++it;
    return it;
  }
  template <class Context>
  auto format(tessel_compiler::OpId id, Context& context) const {
    return fmt::format_to(context.out(), "OpId({})", id.index);
  }
};
