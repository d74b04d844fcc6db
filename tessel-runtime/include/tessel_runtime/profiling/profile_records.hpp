#pragma once
// Records that steer the runtime's profiling code, and the one constructor of
// profile metadata entries.
//
// `profile_metadata(name, value)` stores `value` as its display text: unsigned
// integers in decimal, booleans as "true" or "false", text unchanged. Every
// metadata entry the profiling code writes is built through it.

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "tessel/range.hpp"
#include "tessel_package/profile.hpp"

namespace tessel_runtime {

// How finely a tile program is divided into profile steps.
enum class ProfileGranularity : std::uint8_t {
  Graph = 0,  // no per-step entries
  Phase = 1,  // one entry per compute phase; exchange entries compacted
  Step = 2,   // one entry per lowered compute or idle step; full exchange entries
};

// For one lowered step: at which of its points a profile step ends. Walking
// a tile's lowered steps in order (first `after_sync`, then `after_step`) meets
// the set flags in the order of the profile steps.
struct ProfileBoundary {
  bool after_sync = false;  // a Synchronization profile step ends after its synchronisation
  bool after_step = false;  // a profile step ends after the step itself

  bool operator==(const ProfileBoundary&) const = default;
};

// A named, contiguous range of phases, such as a model's "embedding".
struct StaticProfileRegion {
  std::string name;
  tessel::PhaseRange phases;  // [start, end), schedule phases

  bool operator==(const StaticProfileRegion&) const = default;
};

// Values a metadata entry accepts: 8-, 16-, 32- or 64-bit unsigned integers,
// booleans and text.
template <class Value>
concept ProfileMetadataValue = std::same_as<Value, bool> || std::same_as<Value, std::uint8_t> ||
    std::same_as<Value, std::uint16_t> || std::same_as<Value, std::uint32_t> || std::same_as<Value, std::uint64_t> ||
    std::convertible_to<const Value&, std::string_view>;

// An entry named `name` holding the display text of `value`. `name` may be a
// literal, owned or borrowed text; owned text passed as an rvalue is moved.
template <class Name, class Value>
requires std::constructible_from<std::string, Name&&> && ProfileMetadataValue<std::remove_cvref_t<Value>>
[[nodiscard]] tessel_package::ProfileMetadata profile_metadata(Name&& name, Value&& value) {
  using Plain = std::remove_cvref_t<Value>;
  std::string text;
  if constexpr (std::same_as<Plain, bool>) {
    text = value ? "true" : "false";
  } else if constexpr (std::unsigned_integral<Plain>) {
    text = std::to_string(static_cast<std::uint64_t>(value));
  } else if constexpr (std::same_as<Plain, std::string>) {
    text = std::forward<Value>(value);
  } else {
    text = std::string(std::string_view(value));
  }
  return tessel_package::ProfileMetadata{std::string(std::forward<Name>(name)), std::move(text)};
}

}  // namespace tessel_runtime
