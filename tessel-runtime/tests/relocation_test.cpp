#include <catch2/catch.hpp>

#include <string>
#include <vector>

#include "tessel/integer.hpp"
#include "tessel/internal_error.hpp"
#include "tessel_runtime/placement/relocation.hpp"

using namespace tessel_runtime;
using tessel::AddressRange;
using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::LIVE_TO_END;
using tessel_compiler::TensorId;

namespace {

// A four-tile board whose physical tiles are 10 + logical.
tessel_exchange::Topology small_board() { return tessel_exchange::Topology{{10, 11, 12, 13}}; }

// Tile 0's executable occupies [0x5C000, 0x68000); the other tiles have none.
std::vector<ExecutableReservation> reservations_on_tile_0(std::size_t tiles = 4) {
  std::vector<ExecutableReservation> reservations(tiles, ExecutableReservation{});
  reservations[0] = {AddressRange{0x5C000, 0x64000}, AddressRange{0x64000, 0x68000}};
  return reservations;
}

Allocation allocation(std::uint64_t tensor, std::uint32_t address, std::uint32_t size, std::uint64_t from = 1,
                      std::uint64_t until = 2, AllocationKind kind = AllocationKind::Home{}, std::uint16_t tile = 0) {
  return Allocation{TensorId(tensor), tile, address, size, from, until, kind};
}

Allocation alias_of(std::uint64_t source, std::uint64_t tensor, std::uint32_t address, std::uint32_t size) {
  return allocation(tensor, address, size, 1, 2, AllocationKind::HomeAlias{TensorId(source)});
}

ExecutableGraph graph_of(std::vector<Allocation> allocations) {
  ExecutableGraph graph;
  graph.schedule.allocations = std::move(allocations);
  graph.schedule.tile_count = 4;
  return graph;
}

tessel_package::Binding binding(std::uint32_t physical_tile, std::uint32_t address) {
  return tessel_package::Binding{"input", "u32", {1}, {{physical_tile, address, 0, 4}}};
}

std::vector<std::uint32_t> addresses(const ExecutableGraph& graph) {
  std::vector<std::uint32_t> result;
  for (const auto& a : graph.schedule.allocations) result.push_back(a.address);
  return result;
}

// The error text of a failed call, or the number of moved allocations.
std::string relocate(ExecutableGraph& graph, const std::vector<ExecutableReservation>& reservations) {
  const auto moved = relocate_transient_allocations_for_executables(graph, small_board(), reservations);
  return moved ? fmt::format("moved {}", *moved) : moved.error().message;
}

}  // namespace

TEST_CASE("only transient homes in executable memory elements move") {
  const ExecutableReservation executable = reservations_on_tile_0()[0];
  const ExecutableReservation from_0x62000{AddressRange{0x62000, 0x64000}, AddressRange{0, 0}};
  const ExecutableReservation empty_at_0x60010{AddressRange{0x60010, 0x60010}, AddressRange{0x61000, 0x60000}};
  struct Case {
    const char* name;
    Allocation allocation;
    ExecutableReservation reserved;  // tile 0's
    std::uint32_t expected;
  };
  const auto c = GENERATE_COPY(values<Case>({
      {"a transient home", allocation(1, 0x60000, 64), executable, 0x88000},
      {"sharing an element without sharing bytes", allocation(1, 0x60000, 64), from_0x62000, 0x88000},
      {"reaching one byte into a reserved element", allocation(1, 0x5B000, 0x1001), executable, 0x88000},
      {"ending where the reserved elements start", allocation(1, 0x5B000, 0x1000), executable, 0x5B000},
      {"live to the end", allocation(1, 0x60000, 64, 1, LIVE_TO_END), executable, 0x60000},
      // Backed by itself, which keeps validation quiet.
      {"an alias", allocation(1, 0x60000, 64, 1, 2, AllocationKind::HomeAlias{TensorId(1)}), executable, 0x60000},
      {"a staging buffer", allocation(1, 0x60000, 64, 1, 2, AllocationKind::ExchangeStaging{0}), executable, 0x60000},
      {"an empty home", allocation(1, 0x60000, 0), executable, 0x60000},
      {"empty and inverted reservations", allocation(1, 0x60000, 64), empty_at_0x60010, 0x60000},
      {"on a tile without reservations", allocation(1, 0x60000, 64, 1, 2, AllocationKind::Home{}, 1), executable,
       0x60000},
  }));
  CAPTURE(c.name);
  auto reservations = reservations_on_tile_0();
  reservations[0] = c.reserved;
  ExecutableGraph graph = graph_of({c.allocation});
  REQUIRE(relocate(graph, reservations) == (c.expected == c.allocation.address ? "moved 0" : "moved 1"));
  CHECK(graph.schedule.allocations[0].address == c.expected);
}

TEST_CASE("larger candidates take the lowest free addresses first") {
  ExecutableGraph graph = graph_of({
      allocation(1, 0x60000, 0x40),
      allocation(2, 0x60100, 0x100),
      allocation(3, 0x60200, 0x40, 5, 6),                             // lifetime disjoint from the others
      allocation(4, 0x88000, 0x20, 0, 3, AllocationKind::Home{}, 1),  // another tile does not block
      allocation(5, 0x60300, 0x40),
  });
  REQUIRE(relocate(graph, reservations_on_tile_0()) == "moved 4");
  CHECK(addresses(graph) == std::vector<std::uint32_t>{0x88100, 0x88000, 0x88000, 0x88000, 0x88140});
}

TEST_CASE("moved tensors take their aliases, preloaded buffers and binding slices along") {
  ExecutableGraph graph = graph_of({
      allocation(1, 0x60000, 64), alias_of(1, 2, 0x60010, 16), allocation(3, 0x61000, 32),
      alias_of(3, 4, 0x61000, 32),                                  // the whole source
      allocation(5, 0x70000, 32, 1, 2, AllocationKind::Home{}, 1),  // tile 1 is not reserved
  });
  graph.initial_buffers = {
      InitialBuffer{0, 0x60004, {1}}, InitialBuffer{0, 0x60040, {2}},  // the old end of tensor 1 stays
      InitialBuffer{1, 0x60004, {3}},                                  // another tile
      InitialBuffer{0, 0x6101F, {4}},                                  // the last byte of tensor 3
  };
  graph.outputs = {binding(10, 0x60008)};
  graph.host_weights = {binding(11, 0x60008)};  // logical tile 1
  graph.host_inputs = {binding(10, 0x61010)};
  graph.host_outputs = {binding(10, 0x60040)};
  REQUIRE(relocate(graph, reservations_on_tile_0()) == "moved 2");
  CHECK(addresses(graph) == std::vector<std::uint32_t>{0x88000, 0x88010, 0x88040, 0x88040, 0x70000});
  CHECK(graph.initial_buffers[0].address == 0x88004U);
  CHECK(graph.initial_buffers[1].address == 0x60040U);
  CHECK(graph.initial_buffers[2].address == 0x60004U);
  CHECK(graph.initial_buffers[3].address == 0x8805FU);
  CHECK(graph.outputs[0].slices[0].tile_address == 0x88008U);
  CHECK(graph.host_weights[0].slices[0].tile_address == 0x60008U);
  CHECK(graph.host_inputs[0].slices[0].tile_address == 0x88050U);
  CHECK(graph.host_outputs[0].slices[0].tile_address == 0x60040U);
}

TEST_CASE("an alias reaching past its moved source stays and fails validation") {
  ExecutableGraph graph = graph_of({allocation(1, 0x60000, 64), alias_of(1, 2, 0x60030, 32)});
  CHECK(relocate(graph, reservations_on_tile_0()) ==
        "SRAM allocation failed: tensor 2 alias 0x60030..0x60050@1..2 on tile 0 is not backed by source tensor 1 "
        "(local: 0x88000..0x88040@1..2 Home; global: "
        "tile0:0x88000..0x88040@1..2 Home)");
  CHECK(graph.schedule.allocations[1].address == 0x60030U);
}

TEST_CASE("relocation failures") {
  SECTION("no room in the high arena") {
    ExecutableGraph graph = graph_of({allocation(1, 0x60000, 64), allocation(2, 0x88000, 0x60000, 0, 9)});
    CHECK(relocate(graph, reservations_on_tile_0()) ==
          "cannot relocate transient tensor 1 on tile 0 for measured executable placement: SRAM allocation failed: "
          "no arena can hold a 64-byte SRAM allocation");
  }
  SECTION("a range ending past 2^32") {
    auto reservations = reservations_on_tile_0();
    reservations[0][1] = {0xFFFF0000, 0xFFFFFFFF};
    ExecutableGraph graph = graph_of({allocation(1, 0xFFFFFFF0, 0x20)});
    CHECK(relocate(graph, reservations) == "allocation relocation range overflow");
  }
  SECTION("a slice on a physical tile outside the topology, even with nothing to move") {
    ExecutableGraph graph = graph_of({allocation(1, 0x70000, 64)});
    graph.host_outputs = {binding(9, 0x70000)};
    CHECK(relocate(graph, reservations_on_tile_0()) == "host binding references a physical tile outside the topology");
    graph.host_outputs = {binding(14, 0x70000)};
    CHECK(relocate(graph, reservations_on_tile_0()) == "host binding references a physical tile outside the topology");
  }
  SECTION("a missing reservation entry is reported before anything moves") {
    ExecutableGraph graph =
        graph_of({allocation(1, 0x60000, 64), allocation(2, 0x60000, 64, 1, 2, AllocationKind::Home{}, 3)});
    const ExecutableGraph before = graph;
    CHECK(relocate(graph, reservations_on_tile_0(3)) == "no measured executable reservation for tile 3");
    CHECK(graph == before);
  }
  SECTION("validation of the result") {
    ExecutableGraph graph = graph_of({allocation(1, 0x70000, 64, 0, 2, AllocationKind::Home{}, 5)});
    CHECK(relocate(graph, std::vector<ExecutableReservation>(6, ExecutableReservation{})) ==
          "SRAM allocation failed: tensor 1 is allocated on tile 5, outside the 4-tile schedule");
  }
  SECTION("a topology with more tiles than 16 bits can number") {
    ExecutableGraph graph = graph_of({});
    const tessel_exchange::Topology huge{std::vector<std::uint16_t>(70000, 0)};
    const auto moved = relocate_transient_allocations_for_executables(graph, huge, reservations_on_tile_0());
    REQUIRE_FALSE(moved.has_value());
    CHECK(moved.error().message == tessel::CONVERSION_ERROR);
  }
}

TEST_CASE("literal addresses move with the first matching relocation of their tile") {
  const std::vector<Relocation> relocations{
      {TensorId(1), 1, 0x1000, 0x1100, 0x9000},
      {TensorId(2), 0, 0x1000, 0x1100, 0x8000},
      {TensorId(3), 0, 0x1080, 0x1200, 0xA000},
  };
  using Row = std::tuple<std::uint16_t, std::uint32_t, std::uint32_t>;
  auto [tile, address, expected] = GENERATE(table<std::uint16_t, std::uint32_t, std::uint32_t>({
      Row{0, 0x1000, 0x8000},
      Row{0, 0x1090, 0x8090},  // both contain it; the first in list order wins
      Row{0, 0x1100, 0xA080},  // the first record's end is excluded
      Row{0, 0x1200, 0x1200},
      Row{0, 0x0FFF, 0x0FFF},
      Row{1, 0x10FF, 0x90FF},
      Row{2, 0x1000, 0x1000},
  }));
  CAPTURE(tile, address);
  relocate_literal_address(tile, address, relocations);
  CHECK(address == expected);
}

TEST_CASE("a relocation record that would move an address past 2^32 is an internal error") {
  const std::vector<Relocation> relocations{{TensorId(1), 0, 0x1000, 0x1100, 0xFFFFFFF0}};
  std::uint32_t address = 0x1010;
  CHECK_THROWS_MATCHES(relocate_literal_address(0, address, relocations), tessel::InternalError,
                       Catch::Matchers::Message("assertion failed: relocated address fits in 32 bits"));
  CHECK(address == 0x1010U);
}
