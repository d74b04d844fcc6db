#pragma once
// Moving transient tensor allocations out of the memory of measured
// executables.
//
// Once each tile's executable has been measured, it occupies two reserved
// ranges per tile. Every `Home` allocation that does not live to the end of
// the program and shares a 16384-byte memory element with one of its tile's
// reserved ranges is moved, largest first (equal sizes in allocation order),
// to the lowest 32-byte aligned address of [0x88000, 0xE8000) that is free on
// its tile during its lifetime. Then everything that referred to the old
// bytes follows: aliases lying wholly inside a moved range keep their offset
// in it, and preloaded buffer addresses and host-binding slice addresses
// inside a moved range (its end excluded) move with it. Finally the whole
// memory plan is validated again.
//
// The graph is edited in place and not restored on failure: a caller that
// receives an error must discard it. A reservation list without an entry for
// a tile that has a movable allocation is rejected before anything changes.

#include <array>
#include <cstdint>
#include <span>

#include "tessel/error.hpp"
#include "tessel/range.hpp"
#include "tessel_compiler/ids.hpp"
#include "tessel_exchange/topology.hpp"
#include "tessel_runtime/graph.hpp"

namespace tessel_runtime {

// The two address ranges a measured executable occupies on one tile; a range
// with start = end = 0 reserves nothing.
using ExecutableReservation = std::array<tessel::AddressRange, 2>;

// One moved allocation: [old_start, old_end) of `tile` now starts at
// `new_start`.
struct Relocation {
  tessel_compiler::TensorId tensor;
  std::uint16_t tile = 0;       // logical tile
  std::uint32_t old_start = 0;  // byte address
  std::uint32_t old_end = 0;    // byte address past the old range
  std::uint32_t new_start = 0;  // byte address

  bool operator==(const Relocation&) const = default;
};

// Moves the transient allocations of `graph` out of `reservations` (indexed
// by logical tile) and returns how many moved. Fails with "cannot relocate
// transient tensor {tensor} on tile {tile} for measured executable placement:
// {compile error}", "allocation relocation range overflow", "host binding
// references a physical tile outside the topology", "no measured executable
// reservation for tile {tile}", the display text of a validation error, or
// the error of the topology.
[[nodiscard]] tessel::Result<std::uint64_t> relocate_transient_allocations_for_executables(
    ExecutableGraph& graph, const tessel_exchange::Topology& topology,
    std::span<const ExecutableReservation> reservations);

// Moves `address` of logical `tile` with the first relocation, in list order,
// of that tile whose old range contains it (end excluded); otherwise leaves
// it unchanged. A record whose new start plus the offset passes 2^32 is an
// internal error.
void relocate_literal_address(std::uint16_t tile, std::uint32_t& address, std::span<const Relocation> relocations);

}  // namespace tessel_runtime
