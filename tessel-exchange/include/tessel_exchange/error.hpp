#pragma once
// Errors of exchange lowering. Within the runtime only `Topology::physical`
// raises one (`Tile`); the others reach it wrapped in a compiler error.

#include <cstdint>
#include <string_view>
#include <variant>

#include <fmt/format.h>

#include "tessel/text.hpp"

namespace tessel_exchange {

struct ExchangeError {
  struct Tile {
    std::uint16_t logical_tile;  // the logical tile that does not exist
    bool operator==(const Tile&) const = default;
  };
  struct DuplicateTile {
    bool operator==(const DuplicateTile&) const = default;
  };
  struct Count {
    std::uint32_t count;  // requested transfer length, in words
    bool operator==(const Count&) const = default;
  };
  struct ReceiverSet {
    bool operator==(const ReceiverSet&) const = default;
  };
  struct Schedule {
    std::string_view reason;  // static text
    bool operator==(const Schedule&) const = default;
  };
  struct Address {
    std::uint32_t tile_address;  // byte address that cannot be encoded
    bool operator==(const Address&) const = default;
  };
  struct HostPacket {
    bool operator==(const HostPacket&) const = default;
  };

  using Value = std::variant<Tile, DuplicateTile, Count, ReceiverSet, Schedule, Address, HostPacket>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  ExchangeError(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  // The 16-bit tag: the position of the variant, 0 (`Tile`) to 6 (`HostPacket`).
  [[nodiscard]] std::uint16_t tag() const noexcept { return static_cast<std::uint16_t>(value.index()); }

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }

  bool operator==(const ExchangeError&) const = default;
};

}  // namespace tessel_exchange

// `{}` gives the display text ("logical tile 1500 is out of range"),
// `{:?}` the debug text ("Tile(1500)").
template <>
struct fmt::formatter<tessel_exchange::ExchangeError> : tessel::DebugFlagParser {
  fmt::format_context::iterator format(const tessel_exchange::ExchangeError& error,
                                       fmt::format_context& context) const;
};
