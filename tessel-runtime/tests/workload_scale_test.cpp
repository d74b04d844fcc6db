#include <catch2/catch.hpp>

#include <algorithm>
#include <vector>

#include "tessel_compiler/arena_allocation.hpp"
#include "tessel_package/tile_memory.hpp"
#include "tessel_runtime/placement/gap_packing.hpp"
#include "tessel_runtime/placement/regions.hpp"
#include "tessel_runtime/placement/relocation.hpp"
#include "workload.hpp"

using namespace tessel_runtime;
using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;

namespace {

constexpr std::uint32_t ARENA_BASE = tessel_package::TESSEL21_INTERLEAVED_MEMORY_LIMIT;
constexpr std::uint32_t ARENA_LIMIT = tessel_package::TILE_MEMORY_BASE + tessel_package::TILE_MEMORY_SIZE;

bool in_reserved_elements(const Allocation& allocation, const ExecutableReservation& reservation) {
  const std::uint32_t start = align_down(allocation.address, MEMORY_ELEMENT_SIZE);
  const std::uint32_t end = align_up(allocation.address + allocation.size, MEMORY_ELEMENT_SIZE);
  return std::ranges::any_of(reservation, [&](const tessel::AddressRange& reserved) {
    return !reserved.empty() && ranges_overlap(start, end, reserved.start, reserved.end);
  });
}

// The addresses relocation gives the candidates when every search is handed
// the whole allocation list, as in the plain statement of the rule.
std::vector<Allocation> relocate_one_by_one(std::vector<Allocation> allocations,
                                            const std::vector<ExecutableReservation>& reservations) {
  std::vector<std::size_t> candidates;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const Allocation& a = allocations[i];
    if (a.kind.is<AllocationKind::Home>() && a.live_until != tessel_compiler::LIVE_TO_END &&
        in_reserved_elements(a, reservations[a.tile])) {
      candidates.push_back(i);
    }
  }
  std::ranges::stable_sort(candidates, std::ranges::greater{}, [&](std::size_t i) { return allocations[i].size; });
  const tessel_compiler::MemoryArena arena = tessel_compiler::MemoryArena::low(ARENA_BASE, ARENA_LIMIT);
  for (const std::size_t i : candidates) {
    Allocation& a = allocations[i];
    a.address = tessel_compiler::find_free_region_in_arenas(allocations, a.tile, a.size, a.live_from, a.live_until,
                                                            {&arena, 1}, 32)
                    .value();
  }
  return allocations;
}

}  // namespace

TEST_CASE("generated workloads validate and relocate like the plain rule") {
  const auto [allocations, candidates] = GENERATE(table<std::uint64_t, std::uint64_t>({
      {1'000, 10},
      {12'000, 100},
      {40'000, 1'000},
  }));
  CAPTURE(allocations, candidates);
  const auto workload = tessel_workload::make_workload({allocations});
  const auto& schedule = workload.graph.schedule;
  REQUIRE(schedule.validate_allocations().has_value());
  CHECK(schedule.allocations.size() >= allocations);

  const auto reservations = tessel_workload::relocation_reservations(workload, candidates);
  const std::uint64_t expected = tessel_workload::relocation_candidates(workload, reservations);
  CHECK(expected >= candidates);
  auto graph = workload.graph;
  const auto moved = relocate_transient_allocations_for_executables(graph, tessel_exchange::Topology::slate(), reservations);
  REQUIRE(moved.has_value());
  CHECK(*moved == expected);
  CHECK(graph.schedule.validate_allocations().has_value());
  const auto plain = relocate_one_by_one(schedule.allocations, reservations);
  for (std::size_t i = 0; i < plain.size(); ++i) {
    if (!plain[i].kind.is<AllocationKind::HomeAlias>()) REQUIRE(graph.schedule.allocations[i] == plain[i]);
  }

  // Moved homes left the executables for the ordinary high part; their
  // aliases went with them; permanent weights stayed.
  std::uint64_t changed = 0;
  for (std::size_t i = 0; i < schedule.allocations.size(); ++i) {
    const Allocation& before = schedule.allocations[i];
    const Allocation& after = graph.schedule.allocations[i];
    if (before.address == after.address) continue;
    if (before.kind.is<AllocationKind::Home>()) {
      ++changed;
      CHECK(after.address >= ARENA_BASE);
      CHECK(after.address + after.size <= ARENA_LIMIT);
      CHECK_FALSE(in_reserved_elements(after, reservations[after.tile]));
    } else {
      REQUIRE(before.kind.is<AllocationKind::HomeAlias>());
      const Allocation& source = graph.schedule.allocations[i - 1];  // the output the alias lies in
      CHECK(after.address - source.address == before.address - schedule.allocations[i - 1].address);
    }
  }
  CHECK(changed == expected);
  CHECK(graph.host_weights == workload.graph.host_weights);
}
