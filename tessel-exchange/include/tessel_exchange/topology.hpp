#pragma once
// Mapping of logical tiles to the physical tiles of a board.
//
// Physical tiles of the `slate` board are numbered row x 64 + column, with 23
// rows and 64 columns. Logical tiles come in pairs that share a row (lane 0 in
// column c, lane 1 in column c + 2); each block of 23 pairs walks the rows in
// serpentine order, even blocks top down and odd blocks bottom up.

#include <cstdint>
#include <vector>

#include "tessel/expected.hpp"
#include "tessel_exchange/error.hpp"

namespace tessel_exchange {

inline constexpr std::uint16_t SLATE_TILE_COUNT = 1472;

// Physical tile of logical tile `logical` of the slate board; defined for
// 0 to 1471.
[[nodiscard]] constexpr std::uint16_t slate_logical_to_physical(std::uint16_t logical) noexcept {
  const unsigned pair = logical / 2U;
  const unsigned lane = logical % 2U;
  const unsigned block = pair / 23U;
  unsigned row = pair % 23U;
  if (block % 2U == 1U) row = 22U - row;
  const unsigned column = (block / 2U) * 4U + block % 2U;
  return static_cast<std::uint16_t>(row * 64U + column + lane * 2U);
}

struct Topology {
  std::vector<std::uint16_t> logical_to_physical;  // entry i: physical tile of logical tile i

  // The slate board: 1472 tiles, a permutation of 0 to 1471.
  [[nodiscard]] static Topology slate();

  // Number of logical tiles.
  [[nodiscard]] std::uint64_t tile_count() const noexcept { return logical_to_physical.size(); }

  // Physical tile of `logical`, or `ExchangeError::Tile` when it is not below
  // the tile count.
  [[nodiscard]] tessel::Expected<std::uint16_t, ExchangeError> physical(std::uint16_t logical) const;

  bool operator==(const Topology&) const = default;
};

}  // namespace tessel_exchange
