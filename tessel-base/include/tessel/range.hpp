#pragma once
// Half-open ranges [start, end): tile-memory addresses (32-bit) and
// phase or step positions (64-bit).

#include <algorithm>
#include <compare>
#include <cstdint>

#include <fmt/format.h>

namespace tessel {

template <class T>
struct Range {
  T start{};  // first element
  T end{};    // first element past the range

  [[nodiscard]] constexpr bool empty() const noexcept { return start >= end; }
  // Number of elements; 0 for an empty or inverted range.
  [[nodiscard]] constexpr T length() const noexcept { return empty() ? T{0} : static_cast<T>(end - start); }
  [[nodiscard]] constexpr bool contains(T value) const noexcept { return start <= value && value < end; }
  // True when both ranges share at least one element; touching ranges do not.
  [[nodiscard]] constexpr bool overlaps(const Range& other) const noexcept {
    return start < other.end && other.start < end;
  }

  constexpr auto operator<=>(const Range&) const = default;
};

using AddressRange = Range<std::uint32_t>;  // tile-memory byte addresses
using PhaseRange = Range<std::uint64_t>;    // schedule phases
using StepRange = Range<std::uint64_t>;     // positions in a tile program

}  // namespace tessel

// Printed as [start, end); addresses are conventionally shown in hexadecimal,
// so 32-bit ranges print as [0x1500, 0x1f00) and 64-bit ones in decimal.
template <class T>
struct fmt::formatter<tessel::Range<T>> {
  constexpr auto parse(fmt::format_parse_context& context) { return context.begin(); }
  template <class Context>
  auto format(const tessel::Range<T>& range, Context& context) const {
    if constexpr (sizeof(T) == 4) {
      return fmt::format_to(context.out(), "[{:#x}, {:#x})", range.start, range.end);
    } else {
      return fmt::format_to(context.out(), "[{}, {})", range.start, range.end);
    }
  }
};
