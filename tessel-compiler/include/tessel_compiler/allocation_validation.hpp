#pragma once
// Validation of a schedule's whole memory plan: `Schedule::validate_allocations`
// (declared with `Schedule`).
//
// It reads the schedule, changes nothing and returns the first problem found
// as a `CompileError::Memory`:
//   1. in allocation order: an allocation on a tile outside the schedule, an
//      allocation whose end exceeds 32 bits, an alias (with bytes and a
//      lifetime) that no home or alias of its source on the same tile
//      contains in both address range and lifetime;
//   2. then, tile by tile in ascending order, two live homes or staging
//      buffers sharing a byte. Each tile's allocations are swept over time
//      (end events before start events at equal phase, so lifetimes that only
//      touch never conflict) with an address-ordered set of the active ones.
// Allocations of size 0 or with live_from >= live_until occupy nothing.
// Backed aliases take no part in the sweep: their bytes are their source's.
// Cost: O(n log n) for n allocations, plus, per alias, a scan of the
// allocations of its source on that tile.

#include <string>

#include "tessel_compiler/ids.hpp"
#include "tessel_compiler/schedule.hpp"

namespace tessel_compiler {

// How the compute phases use `tensor`, as named in overlap messages:
// "{phase}:{kernel name}:{role}" for each command writing or reading it,
// phases in order, at most 3 entries in all, joined by ", "; empty when no
// command uses it.
[[nodiscard]] std::string tensor_usage_text(const Schedule& schedule, TensorId tensor);

}  // namespace tessel_compiler
