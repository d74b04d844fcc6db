// Transient relocation on small random graphs, checked against what it
// promises:
//   - exactly the transient, non-empty homes whose memory elements meet a
//     reserved range of their tile move, and the count says how many;
//   - each moved allocation lies 32-byte aligned inside [0x88000, 0xE8000),
//     so its elements meet no reserved range that ends at or below 0x88000
//     (executable code lies below 0x80000); a reserved range inside the
//     arena is not avoided;
//   - nothing else changes except aliases wholly inside a moved source's old
//     range (which keep their offset in it) and literal addresses inside a
//     moved old range, end excluded;
//   - success exactly when the moved schedule validates, and a validation
//     error is the one the moved schedule gives;
//   - "cannot relocate" only for an unmoved candidate for which the arena
//     search on the moved-so-far schedule really fails.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "tessel_compiler/arena_allocation.hpp"
#include "tessel_runtime/placement/gap_packing.hpp"
#include "tessel_runtime/placement/relocation.hpp"

namespace {

using tessel::AddressRange;
using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::LIVE_TO_END;
using tessel_compiler::TensorId;
using tessel_runtime::ExecutableGraph;
using tessel_runtime::ExecutableReservation;

constexpr std::uint32_t ELEMENT = 0x4000;
constexpr std::uint32_t ARENA_BASE = 0x88000;
constexpr std::uint32_t ARENA_LIMIT = 0xE8000;
constexpr std::uint16_t TILES = 4;

void require(bool condition) {
  if (!condition) std::abort();
}

std::uint64_t end_of(const Allocation& a) { return std::uint64_t{a.address} + a.size; }

bool starts_with(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

bool movable(const Allocation& a) { return a.kind.is<AllocationKind::Home>() && a.live_until != LIVE_TO_END && a.size > 0; }

bool in_reserved_elements(const Allocation& a, const ExecutableReservation& reservation) {
  const std::uint64_t start = a.address / ELEMENT * ELEMENT;
  const std::uint64_t end = std::min<std::uint64_t>((std::min<std::uint64_t>(end_of(a), UINT32_MAX) + ELEMENT - 1) / ELEMENT * ELEMENT, UINT32_MAX);
  return std::any_of(reservation.begin(), reservation.end(), [&](const AddressRange& r) {
    return r.start < r.end && start < r.end && r.start < end;
  });
}

struct Record {
  TensorId tensor;
  std::uint16_t tile;
  std::uint64_t old_start;
  std::uint64_t old_end;
  std::uint64_t new_start;
};

std::uint32_t literal(std::uint16_t tile, std::uint32_t address, const std::vector<Record>& records) {
  for (const Record& r : records) {
    if (r.tile == tile && r.old_start <= address && address < r.old_end) {
      return static_cast<std::uint32_t>(r.new_start + (address - r.old_start));
    }
  }
  return address;
}

Allocation make_allocation(FuzzedDataProvider& input) {
  Allocation a;
  a.tensor = TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 7));
  a.tile = static_cast<std::uint16_t>(input.ConsumeIntegralInRange(0, 31) == 0 ? TILES : input.ConsumeIntegralInRange(0, TILES - 1));
  switch (input.ConsumeIntegralInRange(0, 7)) {
    case 0: a.address = static_cast<std::uint32_t>(ARENA_BASE + input.ConsumeIntegralInRange(0U, 0x200U) * 0x100U); break;
    case 1: a.address = 0xFFFFF000U + input.ConsumeIntegralInRange<std::uint32_t>(0, 0xFFF); break;
    default: a.address = static_cast<std::uint32_t>(0x4C000 + input.ConsumeIntegralInRange(0U, 0x1000U) * 0x20U); break;
  }
  a.size = input.ConsumeIntegralInRange(0, 15) == 0 ? 0 : input.ConsumeIntegralInRange<std::uint32_t>(1, 0x8000);
  a.live_from = input.ConsumeIntegralInRange<std::uint64_t>(0, 4);
  a.live_until = input.ConsumeIntegralInRange(0, 7) == 0 ? LIVE_TO_END : input.ConsumeIntegralInRange<std::uint64_t>(0, 6);
  if (input.ConsumeIntegralInRange(0, 3) == 0) {
    a.kind = AllocationKind::HomeAlias{TensorId(input.ConsumeIntegralInRange<std::uint64_t>(0, 7))};
  } else if (input.ConsumeIntegralInRange(0, 5) == 0) {
    a.kind = AllocationKind::ExchangeStaging{0};
  }
  return a;
}

// A literal address near the allocations: inside one, at its end, or anywhere.
std::uint32_t make_literal(FuzzedDataProvider& input, const std::vector<Allocation>& allocations) {
  if (allocations.empty() || input.ConsumeIntegralInRange(0, 3) == 0) return input.ConsumeIntegral<std::uint32_t>();
  const Allocation& a = allocations[input.ConsumeIntegralInRange<std::size_t>(0, allocations.size() - 1)];
  return static_cast<std::uint32_t>(a.address + input.ConsumeIntegralInRange<std::uint32_t>(0, a.size));
}

ExecutableGraph make_graph(FuzzedDataProvider& input, const tessel_exchange::Topology& topology) {
  ExecutableGraph graph;
  graph.schedule.tile_count = TILES;
  const int count = input.ConsumeIntegralInRange(0, 12);
  for (int i = 0; i < count; ++i) graph.schedule.allocations.push_back(make_allocation(input));
  // Aliases placed inside some home of their source, most of the time.
  for (Allocation& a : graph.schedule.allocations) {
    const auto* alias = a.kind.get_if<AllocationKind::HomeAlias>();
    if (alias == nullptr || input.ConsumeIntegralInRange(0, 3) == 0) continue;
    for (const Allocation& home : graph.schedule.allocations) {
      if (home.tensor != alias->source || home.tile != a.tile || !home.kind.is<AllocationKind::Home>() || home.size == 0) continue;
      const std::uint32_t offset = input.ConsumeIntegralInRange<std::uint32_t>(0, home.size - 1);
      a.address = home.address + offset;
      a.size = input.ConsumeIntegralInRange<std::uint32_t>(0, home.size - offset);
      a.live_from = home.live_from;
      a.live_until = home.live_until;
      break;
    }
  }
  const auto& allocations = graph.schedule.allocations;
  const int buffers = input.ConsumeIntegralInRange(0, 3);
  for (int i = 0; i < buffers; ++i) {
    const auto tile = static_cast<std::uint16_t>(input.ConsumeIntegralInRange(0, TILES - 1));
    graph.initial_buffers.push_back({tile, make_literal(input, allocations), {1}});
  }
  for (auto* bindings : {&graph.outputs, &graph.host_weights, &graph.host_inputs, &graph.host_outputs}) {
    if (!input.ConsumeBool()) continue;
    tessel_package::Binding binding{"b", "u32", {1}, {}};
    const int slices = input.ConsumeIntegralInRange(0, 2);
    for (int i = 0; i < slices; ++i) {
      const std::uint32_t physical = input.ConsumeIntegralInRange(0, 31) == 0
                                         ? 99U
                                         : topology.logical_to_physical[input.ConsumeIntegralInRange<std::size_t>(0, TILES - 1)];
      binding.slices.push_back({physical, make_literal(input, allocations), 0, 4});
    }
    bindings->push_back(std::move(binding));
  }
  return graph;
}

std::vector<ExecutableReservation> make_reservations(FuzzedDataProvider& input) {
  const std::size_t count = input.ConsumeIntegralInRange(0, 15) == 0 ? TILES - 1 : TILES;
  std::vector<ExecutableReservation> reservations(count, ExecutableReservation{});
  for (auto& reservation : reservations) {
    for (auto& range : reservation) {
      if (input.ConsumeBool()) continue;
      const bool anywhere = input.ConsumeIntegralInRange(0, 7) == 0;
      const std::uint32_t start = anywhere ? input.ConsumeIntegral<std::uint32_t>()
                                           : 0x4C000 + input.ConsumeIntegralInRange<std::uint32_t>(0, 0x3C000);
      const std::uint32_t end = start + std::min(UINT32_MAX - start, input.ConsumeIntegralInRange<std::uint32_t>(0, 0x10000));
      range = {start, end};
    }
  }
  return reservations;
}

struct Candidate {
  std::size_t position;
  std::uint32_t size;
};

// Every postcondition on allocations, given the allocations before and after.
void check_moves(const std::vector<Allocation>& before, const std::vector<Allocation>& after,
                 const std::vector<Candidate>& candidates, const std::vector<ExecutableReservation>& reservations,
                 std::vector<Record>& records) {
  for (const Candidate& c : candidates) {
    const Allocation& old = before[c.position];
    const Allocation& moved = after[c.position];
    require(moved.address % 32 == 0 && moved.address >= ARENA_BASE && end_of(moved) <= ARENA_LIMIT);
    for (const AddressRange& reserved : reservations[moved.tile]) {
      if (reserved.end <= ARENA_BASE) require(!in_reserved_elements(moved, ExecutableReservation{reserved, {}}));
    }
    records.push_back({old.tensor, old.tile, old.address, end_of(old), moved.address});
  }
  for (std::size_t i = 0; i < before.size(); ++i) {
    const Allocation& old = before[i];
    Allocation expected = old;
    expected.address = after[i].address;
    require(after[i] == expected);  // only addresses change
    const bool candidate = std::any_of(candidates.begin(), candidates.end(), [&](const Candidate& c) { return c.position == i; });
    if (candidate) continue;
    std::uint64_t address = old.address;
    if (const auto* alias = old.kind.get_if<AllocationKind::HomeAlias>()) {
      const std::uint64_t end = std::min<std::uint64_t>(end_of(old), UINT32_MAX);
      for (const Record& r : records) {
        if (r.tensor == alias->source && r.tile == old.tile && r.old_start <= old.address && end <= r.old_end) {
          address = r.new_start + (old.address - r.old_start);
          break;
        }
      }
    }
    require(after[i].address == address);
  }
}

void check_literals(const ExecutableGraph& before, const ExecutableGraph& after, const std::vector<Record>& records,
                    const tessel_exchange::Topology& topology) {
  for (std::size_t i = 0; i < before.initial_buffers.size(); ++i) {
    const auto& old = before.initial_buffers[i];
    require(after.initial_buffers[i].address == literal(old.tile, old.address, records));
  }
  const auto logical_of = [&](std::uint32_t physical) -> std::uint16_t {
    const auto& map = topology.logical_to_physical;
    return static_cast<std::uint16_t>(std::find(map.begin(), map.end(), physical) - map.begin());
  };
  const std::vector<const std::vector<tessel_package::Binding>*> lists_before{&before.outputs, &before.host_weights,
                                                                              &before.host_inputs, &before.host_outputs};
  const std::vector<const std::vector<tessel_package::Binding>*> lists_after{&after.outputs, &after.host_weights,
                                                                             &after.host_inputs, &after.host_outputs};
  for (std::size_t l = 0; l < lists_before.size(); ++l) {
    for (std::size_t b = 0; b < lists_before[l]->size(); ++b) {
      const auto& slices = (*lists_before[l])[b].slices;
      for (std::size_t s = 0; s < slices.size(); ++s) {
        const auto expected = literal(logical_of(slices[s].tile), slices[s].tile_address, records);
        require((*lists_after[l])[b].slices[s].tile_address == expected);
      }
    }
  }
}

bool has_foreign_slice(const ExecutableGraph& graph, const tessel_exchange::Topology& topology) {
  const auto& map = topology.logical_to_physical;
  for (const auto* bindings : {&graph.outputs, &graph.host_weights, &graph.host_inputs, &graph.host_outputs}) {
    for (const auto& binding : *bindings) {
      for (const auto& slice : binding.slices) {
        if (std::find(map.begin(), map.end(), slice.tile) == map.end()) return true;
      }
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  tessel_exchange::Topology topology{{10, 11, 12, 13}};
  for (std::size_t i = TILES; i > 1; --i) {
    std::swap(topology.logical_to_physical[i - 1], topology.logical_to_physical[input.ConsumeIntegralInRange<std::size_t>(0, i - 1)]);
  }
  const ExecutableGraph before = make_graph(input, topology);
  const auto reservations = make_reservations(input);
  ExecutableGraph graph = before;
  const auto result = tessel_runtime::relocate_transient_allocations_for_executables(graph, topology, reservations);

  const auto& allocations = before.schedule.allocations;
  const auto missing = std::find_if(allocations.begin(), allocations.end(),
                                    [&](const Allocation& a) { return movable(a) && a.tile >= reservations.size(); });
  if (missing != allocations.end()) {
    require(!result && result.error().message == fmt::format("no measured executable reservation for tile {}", missing->tile));
    require(graph == before);
    return 0;
  }
  std::vector<Candidate> candidates;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    if (movable(allocations[i]) && in_reserved_elements(allocations[i], reservations[allocations[i].tile])) {
      candidates.push_back({i, allocations[i].size});
    }
  }
  std::stable_sort(candidates.begin(), candidates.end(), [](const Candidate& l, const Candidate& r) { return l.size > r.size; });

  const std::string error = result ? std::string{} : result.error().message;
  if (!result && starts_with(error, "cannot relocate transient tensor ")) {
    // An unmoved candidate for which the search on the current state fails.
    const bool explained = std::any_of(candidates.begin(), candidates.end(), [&](const Candidate& c) {
      const Allocation& a = graph.schedule.allocations[c.position];
      if (a.address != allocations[c.position].address) return false;
      const tessel_compiler::MemoryArena arena = tessel_compiler::MemoryArena::low(ARENA_BASE, ARENA_LIMIT);
      const auto search = tessel_compiler::find_free_region_in_arenas(graph.schedule.allocations, a.tile, a.size,
                                                                      a.live_from, a.live_until, {&arena, 1}, 32);
      return !search &&
             error == fmt::format("cannot relocate transient tensor {} on tile {} for measured executable placement: {}",
                                  a.tensor.index, a.tile, search.error());
    });
    require(explained);
    return 0;
  }
  if (!result && error == "allocation relocation range overflow") {
    require(std::any_of(candidates.begin(), candidates.end(), [&](const Candidate& c) {
      return end_of(allocations[c.position]) > UINT32_MAX &&
             graph.schedule.allocations[c.position].address == allocations[c.position].address;
    }));
    return 0;
  }

  // Every candidate moved and the aliases followed.
  std::vector<Record> records;
  check_moves(allocations, graph.schedule.allocations, candidates, reservations, records);
  if (!result && error == "host binding references a physical tile outside the topology") {
    require(has_foreign_slice(before, topology));
    return 0;
  }
  require(!has_foreign_slice(before, topology));
  check_literals(before, graph, records, topology);
  const auto valid = graph.schedule.validate_allocations();
  if (result) {
    require(*result == candidates.size() && valid.has_value());
  } else {
    require(!valid && error == fmt::format("{}", valid.error()));
  }
  return 0;
}
