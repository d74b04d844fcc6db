#include "tessel_runtime/placement/relocation.hpp"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

#include "tessel/integer.hpp"
#include "tessel/internal_error.hpp"
#include "tessel_compiler/arena_allocation.hpp"
#include "tessel_package/tile_memory.hpp"
#include "tessel_runtime/placement/gap_packing.hpp"

namespace tessel_runtime {
namespace {

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::MemoryArena;

constexpr std::uint32_t ELEMENT = 0x4000;           // bytes; reservations are tested on whole elements
constexpr std::uint32_t RELOCATION_ALIGNMENT = 32;  // bytes
constexpr MemoryArena RELOCATION_ARENAS[] = {
    MemoryArena::low(tessel_package::TESSEL21_INTERLEAVED_MEMORY_LIMIT,
                     tessel_package::TILE_MEMORY_BASE + tessel_package::TILE_MEMORY_SIZE)};

struct Candidate {
  std::size_t position = 0;  // index into the schedule's allocations
  std::uint32_t size = 0;    // bytes
};

// Logical tile of each physical tile of the topology, indexed by physical
// tile; empty where no logical tile maps.
using LogicalTiles = std::vector<std::optional<std::uint16_t>>;

tessel::Result<LogicalTiles> logical_tiles(const tessel_exchange::Topology& topology) {
  TESSEL_TRY(count, tessel::narrow<std::uint16_t>(topology.tile_count()));
  LogicalTiles logical_of;
  for (std::uint32_t logical = 0; logical < count; ++logical) {
    const auto physical = topology.physical(static_cast<std::uint16_t>(logical));
    if (!physical) return tessel::unexpected(tessel::to_error(physical.error()));
    if (*physical >= logical_of.size()) logical_of.resize(std::size_t{*physical} + 1);
    logical_of[*physical] = static_cast<std::uint16_t>(logical);
  }
  return logical_of;
}

// Whether the whole memory elements under an allocation meet a reserved
// range. An end that cannot be rounded up stays at 2^32 - 1, which still
// covers every reservable byte. An empty reserved range reserves nothing,
// wherever it lies.
bool in_executable_memory(const Allocation& allocation, const ExecutableReservation& reservation) {
  const std::uint32_t start = align_down(allocation.address, ELEMENT);
  const std::uint32_t end =
      tessel::checked_align_up(tessel::saturating_add(allocation.address, allocation.size), ELEMENT)
          .value_or(UINT32_MAX);
  return std::ranges::any_of(reservation, [&](const tessel::AddressRange& reserved) {
    return !reserved.empty() && ranges_overlap(start, end, reserved.start, reserved.end);
  });
}

// The movable allocations, largest first, equal sizes in allocation order.
tessel::Result<std::vector<Candidate>> select_candidates(const std::vector<Allocation>& allocations,
                                                         std::span<const ExecutableReservation> reservations) {
  std::vector<Candidate> candidates;
  for (std::size_t position = 0; position < allocations.size(); ++position) {
    const Allocation& allocation = allocations[position];
    // Allocations of size 0 occupy nothing and never need to move.
    const bool movable = allocation.kind.is<AllocationKind::Home>() &&
                         allocation.live_until != tessel_compiler::LIVE_TO_END && allocation.size > 0;
    if (!movable) continue;
    if (allocation.tile >= reservations.size()) {
      return tessel::fail("no measured executable reservation for tile {}", allocation.tile);
    }
    if (in_executable_memory(allocation, reservations[allocation.tile])) {
      candidates.push_back({position, allocation.size});
    }
  }
  std::ranges::stable_sort(candidates, std::ranges::greater{}, &Candidate::size);
  return candidates;
}

// Positions of the allocations of each tile that has a candidate, so each
// search looks at its own tile only.
std::vector<std::vector<std::size_t>> positions_by_tile(const std::vector<Allocation>& allocations,
                                                        const std::vector<Candidate>& candidates,
                                                        std::size_t tile_count) {
  std::vector<bool> wanted(tile_count, false);
  for (const auto& candidate : candidates) wanted[allocations[candidate.position].tile] = true;
  std::vector<std::vector<std::size_t>> positions(tile_count);
  for (std::size_t position = 0; position < allocations.size(); ++position) {
    const std::uint16_t tile = allocations[position].tile;
    if (tile < tile_count && wanted[tile]) positions[tile].push_back(position);
  }
  return positions;
}

// `address` moved from inside [old_start, old_end) to the same offset from
// `new_start`. Records made here place the new range inside the relocation
// arena, so only a record built elsewhere can ask for an address past 2^32.
std::uint32_t moved(std::uint32_t address, const Relocation& relocation) {
  const auto relocated = tessel::checked_add(relocation.new_start, address - relocation.old_start);
  tessel::invariant(relocated.has_value(), "relocated address fits in 32 bits");
  return *relocated;
}

// The records of `sorted` (stably sorted by `key`) whose key is `wanted`, in
// relocation-list order.
template <class Key, class Value>
std::span<const Relocation> records_with(const std::vector<Relocation>& sorted, Key key, const Value& wanted) {
  const auto first = std::ranges::lower_bound(sorted, wanted, std::ranges::less{}, key);
  const auto last = std::ranges::upper_bound(first, sorted.end(), wanted, std::ranges::less{}, key);
  return {first, last};
}

void move_aliases(std::vector<Allocation>& allocations, const std::vector<Relocation>& relocations) {
  auto by_source = relocations;
  const auto key = [](const Relocation& r) { return std::pair{r.tile, r.tensor}; };
  std::ranges::stable_sort(by_source, std::ranges::less{}, key);
  for (Allocation& alias : allocations) {
    const auto* kind = alias.kind.get_if<AllocationKind::HomeAlias>();
    if (kind == nullptr) continue;
    const std::uint32_t end = tessel::saturating_add(alias.address, alias.size);
    for (const Relocation& relocation : records_with(by_source, key, std::pair{alias.tile, kind->source})) {
      if (relocation.old_start <= alias.address && end <= relocation.old_end) {
        alias.address = moved(alias.address, relocation);
        break;
      }
    }
  }
}

tessel::Result<void> move_literal_addresses(ExecutableGraph& graph, const std::vector<Relocation>& relocations,
                                            const LogicalTiles& logical_of) {
  auto by_tile = relocations;
  const auto key = [](const Relocation& r) { return r.tile; };
  std::ranges::stable_sort(by_tile, std::ranges::less{}, key);
  const auto relocate = [&](std::uint16_t tile, std::uint32_t& address) {
    relocate_literal_address(tile, address, records_with(by_tile, key, tile));
  };
  for (InitialBuffer& buffer : graph.initial_buffers) relocate(buffer.tile, buffer.address);
  for (auto* bindings : {&graph.outputs, &graph.host_weights, &graph.host_inputs, &graph.host_outputs}) {
    for (tessel_package::Binding& binding : *bindings) {
      for (tessel_package::RegionSlice& slice : binding.slices) {
        if (slice.tile >= logical_of.size() || !logical_of[slice.tile]) {
          return tessel::fail("host binding references a physical tile outside the topology");
        }
        relocate(*logical_of[slice.tile], slice.tile_address);
      }
    }
  }
  return {};
}

}  // namespace

void relocate_literal_address(std::uint16_t tile, std::uint32_t& address, std::span<const Relocation> relocations) {
  for (const Relocation& relocation : relocations) {
    if (relocation.tile == tile && relocation.old_start <= address && address < relocation.old_end) {
      address = moved(address, relocation);
      return;
    }
  }
}

tessel::Result<std::uint64_t> relocate_transient_allocations_for_executables(
    ExecutableGraph& graph, const tessel_exchange::Topology& topology,
    std::span<const ExecutableReservation> reservations) {
  TESSEL_TRY(logical_of, logical_tiles(topology));
  auto& allocations = graph.schedule.allocations;
  TESSEL_TRY(candidates, select_candidates(allocations, reservations));
  const auto positions = positions_by_tile(allocations, candidates, reservations.size());

  std::vector<Relocation> relocations;
  relocations.reserve(candidates.size());
  for (const Candidate& candidate : candidates) {
    Allocation& allocation = allocations[candidate.position];
    const auto address = tessel_compiler::find_free_region_in_arenas(
        allocations, positions[allocation.tile], allocation.tile, allocation.size, allocation.live_from,
        allocation.live_until, RELOCATION_ARENAS, RELOCATION_ALIGNMENT);
    if (!address) {
      return tessel::fail("cannot relocate transient tensor {} on tile {} for measured executable placement: {}",
                          allocation.tensor.index, allocation.tile, address.error());
    }
    const auto old_end = tessel::checked_add(allocation.address, allocation.size);
    if (!old_end) return tessel::fail("allocation relocation range overflow");
    relocations.push_back({allocation.tensor, allocation.tile, allocation.address, *old_end, *address});
    allocation.address = *address;
  }

  move_aliases(allocations, relocations);
  TESSEL_TRY_VOID(move_literal_addresses(graph, relocations, logical_of));
  const auto valid = graph.schedule.validate_allocations();
  if (!valid) return tessel::unexpected(tessel::to_error(valid.error()));
  return std::uint64_t{relocations.size()};
}

}  // namespace tessel_runtime
