// Checks of the runtime's tile-memory placement: gap packing, executable and
// data regions, and the relocation of transient allocations.
#include <algorithm>
#include <vector>

#include "tessel_checks/check.hpp"
#include "tessel_exchange/topology.hpp"
#include "tessel_package/tile_memory.hpp"
#include "tessel_runtime/graph.hpp"
#include "tessel_runtime/placement/gap_packing.hpp"
#include "tessel_runtime/placement/regions.hpp"
#include "tessel_runtime/placement/relocation.hpp"

namespace tessel_runtime::tests {
namespace {

using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::TensorId;
using Ranges = std::vector<AddressRange>;

constexpr std::uint32_t element = MEMORY_ELEMENT_SIZE;

Allocation allocation(std::uint64_t tensor, std::uint32_t address, std::uint32_t size, std::uint64_t from,
                      std::uint64_t until, AllocationKind kind) {
  return Allocation{TensorId(tensor), 0, address, size, from, until, kind};
}

bool within_one(const Ranges& ranges, std::uint32_t start, std::uint32_t end) {
  return std::ranges::any_of(ranges, [&](const AddressRange& r) { return r.start <= start && end <= r.end; });
}

}  // namespace

void executable_objects_are_packed_without_order_induced_fragmentation() {
  const Ranges gaps{{0x10000, 0x18000}, {0x20000, 0x20000 + element}};
  const std::vector<std::uint32_t> sizes{element, 2 * element};
  const auto result = pack_sized_objects_in_gaps(0, sizes, gaps, element, "test executable").value();
  TESSEL_CHECK_EQ(result[0].end - result[0].start, element);
  TESSEL_CHECK_EQ(result[1].end - result[1].start, 2 * element);
  TESSEL_CHECK(!ranges_overlap(result[0].start, result[0].end, result[1].start, result[1].end));
}

void executable_objects_reserve_complete_memory_elements() {
  const Ranges allocation_ranges{{0x60080, 0x60100}};
  const Ranges objects{{0x1000, 0x1080}, {0x2000, 0x2080}};
  const auto packed = pack_executable_objects_for_tile(allocation_ranges, 0, 0x58000, objects, {}, {}).value();
  const auto& relocations = packed.relocations;
  const auto& storage = packed.storage;
  const auto& elements = packed.elements;
  TESSEL_CHECK_EQ(relocations.size(), 2U);
  TESSEL_CHECK(std::ranges::all_of(elements, [&](const AddressRange& e) {
    return e.start % element == 0 && e.end % element == 0 &&
           !ranges_overlap(e.start, e.end, allocation_ranges[0].start, allocation_ranges[0].end);
  }));
  TESSEL_CHECK(std::ranges::all_of(relocations, [&](const auto& relocation) {
    return std::ranges::any_of(storage, [&](const AddressRange& r) { return r.contains(relocation.second); });
  }));
}

void executable_placement_reserves_complete_memory_elements() {
  const std::uint32_t runtime_end = 0x5A000;
  const std::uint32_t allocation_address = align_up(runtime_end, element) + element;
  const std::uint32_t allocation_size = 4;
  ExecutableGraph graph;
  graph.schedule.allocations = {allocation(1, allocation_address, allocation_size, 0, 1, AllocationKind::Home{})};
  graph.schedule.tile_count = 1;
  const std::uint32_t required_size = 0x4001;
  const std::uint32_t base = executable_region_base(graph, runtime_end, required_size).value();
  const std::uint32_t end = base + align_up(required_size, element);
  TESSEL_CHECK_EQ(base % element, 0U);
  TESSEL_CHECK(base >= align_up(runtime_end, element));
  TESSEL_CHECK(!ranges_overlap(base, end, align_down(allocation_address, element),
                               align_up(allocation_address + allocation_size, element)));
}

void static_data_placement_uses_multiple_available_intervals() {
  const std::uint32_t memory_base = tessel_package::TILE_MEMORY_BASE;
  const std::uint32_t runtime_end = 0x59000;
  const std::uint32_t first_gap_end = 0x59014;
  const Ranges allocation_ranges{{0x4C008, 0x50000}, {first_gap_end, first_gap_end + 0x1000}};
  const std::uint32_t first = data_region_base_for_tile(allocation_ranges, 0, runtime_end, 16, 4, {}).value();
  const Ranges first_reserved{{first, first + 16}};
  const std::uint32_t second =
      data_region_base_for_tile(allocation_ranges, 0, runtime_end, 16, 4, first_reserved).value();
  for (const std::uint32_t address : {first, second}) {
    TESSEL_CHECK_EQ(address % 4, 0U);
    TESSEL_CHECK(address >= memory_base);
    TESSEL_CHECK(address + 16 <= memory_base + tessel_package::TILE_MEMORY_SIZE);
    TESSEL_CHECK(std::ranges::none_of(allocation_ranges, [&](const AddressRange& range) {
      return ranges_overlap(address, address + 16, range.start, range.end);
    }));
  }
  TESSEL_CHECK(!ranges_overlap(first, first + 16, second, second + 16));
  TESSEL_CHECK(second >= first_gap_end + 0x1000);
}

void static_objects_use_multiple_gaps_when_no_single_gap_is_large_enough() {
  const Ranges allocation_ranges{{0x4C000, 0x90000}, {0x900A0, 0x90200}, {0x902A0, 0xE8000}};
  const Ranges objects{{0x1000, 0x1080}, {0x2000, 0x2080}};
  const auto packed = pack_data_objects_for_tile(allocation_ranges, 0, 0x58000, objects, false, {}).value();
  const auto& relocations = packed.relocations;
  const auto& ranges = packed.placed;
  TESSEL_CHECK_EQ(ranges.size(), 2U);
  TESSEL_CHECK(std::ranges::all_of(objects, [&](const AddressRange& object) {
    const auto placed = relocations.find(object.start);
    return placed != relocations.end() && within_one(ranges, placed->second, placed->second + 0x80);
  }));
}

void measured_executable_relocation_updates_aliases_and_literal_addresses() {
  const auto topology = tessel_exchange::Topology::slate();
  std::vector<ExecutableReservation> reservations(topology.tile_count(), ExecutableReservation{});
  reservations[0] = {AddressRange{0x5C000, 0x64000}, AddressRange{0x64000, 0x68000}};

  ExecutableGraph graph;
  graph.schedule.tile_count = static_cast<std::uint16_t>(topology.tile_count());
  graph.schedule.allocations = {
      allocation(1, 0x60000, 64, 1, 2, AllocationKind::Home{}),
      allocation(2, 0x60010, 16, 1, 2, AllocationKind::HomeAlias{TensorId(1)}),
  };
  graph.initial_buffers = {InitialBuffer{0, 0x60004, {1}}};
  const std::uint32_t physical_tile = topology.physical(0).value();
  graph.host_inputs = {tessel_package::Binding{"input", "u32", {1}, {{physical_tile, 0x60008, 0, 4}}}};

  const auto moved = relocate_transient_allocations_for_executables(graph, topology, reservations).value();
  TESSEL_CHECK_EQ(moved, 1U);
  const std::uint32_t relocated = graph.schedule.allocations[0].address;
  TESSEL_CHECK(relocated >= tessel_package::TESSEL21_INTERLEAVED_MEMORY_LIMIT);
  TESSEL_CHECK_EQ(graph.schedule.allocations[1].address, relocated + 16);
  TESSEL_CHECK_EQ(graph.initial_buffers[0].address, relocated + 4);
  TESSEL_CHECK_EQ(graph.host_inputs[0].slices[0].tile_address, relocated + 8);
}

}  // namespace tessel_runtime::tests

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> regions_checks() {
  static constexpr CheckDescriptor checks[] = {
      {"tests::executable_objects_are_packed_without_order_induced_fragmentation",
       &tests::executable_objects_are_packed_without_order_induced_fragmentation},
      {"tests::executable_objects_reserve_complete_memory_elements",
       &tests::executable_objects_reserve_complete_memory_elements},
      {"tests::executable_placement_reserves_complete_memory_elements",
       &tests::executable_placement_reserves_complete_memory_elements},
      {"tests::measured_executable_relocation_updates_aliases_and_literal_addresses",
       &tests::measured_executable_relocation_updates_aliases_and_literal_addresses},
      {"tests::static_data_placement_uses_multiple_available_intervals",
       &tests::static_data_placement_uses_multiple_available_intervals},
      {"tests::static_objects_use_multiple_gaps_when_no_single_gap_is_large_enough",
       &tests::static_objects_use_multiple_gaps_when_no_single_gap_is_large_enough},
  };
  return checks;
}

}  // namespace tessel_runtime::checks
