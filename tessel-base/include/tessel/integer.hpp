#pragma once
// Integer helpers: checked narrowing and overflow-checked address arithmetic.
//
// Nothing here relies on unsigned wrap-around: every helper either reports
// the overflow (an empty optional or an error) or saturates by name.

#include <bit>
#include <concepts>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>

#include "tessel/error.hpp"

namespace tessel {

// The message of a failed narrowing conversion; it passes through callers
// unchanged.
inline constexpr std::string_view CONVERSION_ERROR = "out of range integral type conversion attempted";

// `value` as `To` when it is representable, otherwise nothing.
template <std::integral To, std::integral From>
[[nodiscard]] constexpr std::optional<To> try_narrow(From value) noexcept {
  if (!std::in_range<To>(value)) return std::nullopt;
  return static_cast<To>(value);
}

// `value` as `To`, or the conversion error.
template <std::integral To, std::integral From>
[[nodiscard]] Result<To> narrow(From value) {
  if (!std::in_range<To>(value)) return unexpected(Error{std::string(CONVERSION_ERROR)});
  return static_cast<To>(value);
}

template <std::unsigned_integral T>
[[nodiscard]] constexpr std::optional<T> checked_add(T left, T right) noexcept {
  if (right > std::numeric_limits<T>::max() - left) return std::nullopt;
  return static_cast<T>(left + right);
}

template <std::unsigned_integral T>
[[nodiscard]] constexpr std::optional<T> checked_mul(T left, T right) noexcept {
  if (left != 0 && right > std::numeric_limits<T>::max() / left) return std::nullopt;
  return static_cast<T>(left * right);
}

template <std::unsigned_integral T>
[[nodiscard]] constexpr T saturating_add(T left, T right) noexcept {
  return right > std::numeric_limits<T>::max() - left ? std::numeric_limits<T>::max()
                                                      : static_cast<T>(left + right);
}

template <std::unsigned_integral T>
[[nodiscard]] constexpr bool is_power_of_two(T value) noexcept {
  return std::has_single_bit(value);
}

// The smallest multiple of `alignment` (a power of two) not below `value`, or
// nothing when that multiple does not fit in T.
template <std::unsigned_integral T>
[[nodiscard]] constexpr std::optional<T> checked_align_up(T value, T alignment) noexcept {
  const auto mask = static_cast<T>(alignment - 1);
  const auto bumped = checked_add(value, mask);
  if (!bumped) return std::nullopt;
  return static_cast<T>(*bumped & static_cast<T>(~mask));
}

}  // namespace tessel
