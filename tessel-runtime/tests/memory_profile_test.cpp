#include <catch2/catch.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "profiling_fixtures.hpp"
#include "tessel_exchange/topology.hpp"
#include "tessel_runtime/profiling/memory_profile.hpp"

using namespace profiling_fixtures;
using tessel_compiler::Allocation;
using tessel_compiler::AllocationKind;
using tessel_compiler::LIVE_TO_END;
using tessel_compiler::TensorId;
using tessel_package::Binding;
using tessel_package::RegionSlice;
using tessel_package::memory_profile::MemoryRegion;
using tessel_runtime::allocator_memory_profile;
using tessel_runtime::ExecutableGraph;

namespace {

const tessel_exchange::Topology SLATE = tessel_exchange::Topology::slate();

std::uint32_t physical(std::uint16_t logical) { return SLATE.physical(logical).value(); }

Allocation home(std::uint64_t tensor, std::uint16_t tile, std::uint32_t address, std::uint32_t size,
                std::uint64_t from = 0, std::uint64_t until = LIVE_TO_END) {
  return Allocation{.tensor = TensorId(tensor),
                    .tile = tile,
                    .address = address,
                    .size = size,
                    .live_from = from,
                    .live_until = until,
                    .kind = AllocationKind::Home{}};
}

Allocation with_kind(Allocation allocation, AllocationKind kind) {
  allocation.kind = std::move(kind);
  return allocation;
}

RegionSlice slice(std::uint32_t physical_tile, std::uint32_t address, std::uint64_t size) {
  return RegionSlice{.tile = physical_tile, .tile_address = address, .file_offset = 0, .size = size};
}

Binding binding(std::string name, std::vector<RegionSlice> slices) {
  return Binding{.name = std::move(name), .dtype = "f32", .shape = {1024}, .slices = std::move(slices)};
}

ExecutableGraph graph_of(std::uint16_t tile_count, std::vector<Allocation> allocations,
                         std::vector<tessel_compiler::Phase> phases = {}) {
  ExecutableGraph graph;
  graph.schedule = schedule(tile_count, std::move(phases));
  graph.schedule.allocations = std::move(allocations);
  return graph;
}

// The one region of logical tile `tile`.
MemoryRegion only_region(const ExecutableGraph& graph, std::uint16_t tile) {
  const auto profile = allocator_memory_profile(graph).value();
  REQUIRE(profile.tiles.at(tile).regions.size() == 1);
  return profile.tiles[tile].regions[0];
}

std::string error_of(const ExecutableGraph& graph) {
  const auto profile = allocator_memory_profile(graph);
  REQUIRE_FALSE(profile.has_value());
  return profile.error().message;
}

}  // namespace

TEST_CASE("every logical tile gets its memory map with its physical tile") {
  const auto graph = graph_of(100, {home(3, 99, 0xA0000, 16)});
  const auto profile = allocator_memory_profile(graph).value();
  CHECK(profile.memory_base == 0x4C000);
  CHECK(profile.memory_size == 0x9C000);
  REQUIRE(profile.tiles.size() == 100);
  for (std::uint16_t tile = 0; tile < 100; ++tile) {
    CAPTURE(tile);
    CHECK(profile.tiles[tile].logical_tile == tile);
    CHECK(profile.tiles[tile].physical_tile == physical(tile));
  }
  CHECK(profile.tiles[99].regions ==
        std::vector<MemoryRegion>{{0xA0000, 16, "home", "tensor 3 home", 3, 0, LIVE_TO_END}});
}

TEST_CASE("a schedule without tiles has an empty memory map") {
  const auto profile = allocator_memory_profile(graph_of(0, {home(1, 0, 0x60000, 4)})).value();
  CHECK(profile.tiles.empty());
  CHECK(profile.memory_base == 0x4C000);
  CHECK(profile.memory_size == 0x9C000);
}

TEST_CASE("allocations are named after the host bindings that overlap them on their tile") {
  // The allocation: 4096 bytes at 0xA0000 on logical tile 2.
  const auto [name, bindings, expected] = GENERATE_REF(table<std::string, std::vector<Binding>, std::string>({
      {"no binding", {}, "tensor 3 home"},
      {"the same bytes", {binding("left", {slice(physical(2), 0xA0000, 4096)})}, "left"},
      {"touching the end", {binding("left", {slice(physical(2), 0xA1000, 4096)})}, "tensor 3 home"},
      {"touching the start", {binding("left", {slice(physical(2), 0x9F000, 4096)})}, "tensor 3 home"},
      {"one byte inside", {binding("left", {slice(physical(2), 0x9F001, 4096)})}, "left"},
      {"on another physical tile", {binding("left", {slice(physical(3), 0xA0000, 4096)})}, "tensor 3 home"},
      {"on the logical number of the tile", {binding("left", {slice(2, 0xA0000, 4096)})}, "tensor 3 home"},
      {"two bindings, sorted",
       {binding("b", {slice(physical(2), 0xA0800, 16)}), binding("a", {slice(physical(2), 0x9FFF0, 32)})},
       "a, b"},
      {"two slices of one binding",
       {binding("w", {slice(physical(2), 0xA0000, 8), slice(physical(2), 0xA0010, 8)})},
       "w"},
      {"a long slice ending before a short one starts",
       {binding("long", {slice(physical(2), 0x90000, 0x11000)}), binding("short", {slice(physical(2), 0x9F000, 16)}),
        binding("after", {slice(physical(2), 0xA0FF0, 64)})},
       "after, long"},
      {"a slice wider than 32 bits", {binding("huge", {slice(physical(2), 0x60000, std::uint64_t{1} << 33)})}, "huge"},
  }));
  CAPTURE(name);
  auto graph = graph_of(4, {home(3, 2, 0xA0000, 4096)});
  graph.host_inputs = bindings;
  CHECK(only_region(graph, 2).name == expected);
}

TEST_CASE("bindings of all four lists name allocations") {
  auto graph = graph_of(1, {home(1, 0, 0x60000, 64)});
  graph.outputs = {binding("out", {slice(physical(0), 0x60000, 4)})};
  graph.host_weights = {binding("weight", {slice(physical(0), 0x60004, 4)})};
  graph.host_inputs = {binding("in", {slice(physical(0), 0x60008, 4)})};
  graph.host_outputs = {binding("host_out", {slice(physical(0), 0x6000C, 4), slice(physical(0), 0x60000, 4)})};
  CHECK(only_region(graph, 0).name == "host_out, in, out, weight");
}

TEST_CASE("allocations of produced tensors are named after their first producer") {
  const auto gemm = kernel("gemm_f32_accumulate", {64, 64, 64}, "inner-block");
  const auto [name, producer, expected] = GENERATE_REF(table<std::string, tessel_compiler::KernelCommand, std::string>({
      {"labelled", command(2, 5, {}, kernel("gelu", {64}, ""), {{"label", "layer 3 GeLU"}}), "output of layer 3 GeLU"},
      {"unlabelled", command(2, 5, {}, kernel("gelu", {64}, ""), {}), "output of gelu"},
      {"GEMM block", command(2, 5, {}, gemm, {{"label", "x"}, {"output_block_row", "2"}, {"output_block_column", "5"}}),
       "GEMM accumulator block (2, 5)"},
      {"GEMM with one block key", command(2, 5, {}, gemm, {{"label", "layer 3 GeLU"}, {"output_block_row", "2"}}),
       "output of layer 3 GeLU"},
      {"block keys without a GEMM kernel",
       command(2, 5, {}, kernel("agemm_f32", {64}, ""), {{"output_block_row", "2"}, {"output_block_column", "5"}}),
       "output of agemm_f32"},
  }));
  CAPTURE(name);
  CHECK(tessel_runtime::allocation_command_name(producer) == expected);
  const auto graph = graph_of(3, {home(5, 2, 0x60000, 64)},
                              {compute(1, {command(1, 5, {}, kernel("elsewhere", {1}, ""))}), exchange(),
                               compute(2, {producer, command(2, 5, {}, kernel("later", {1}, ""))}),
                               compute(3, {command(2, 5, {}, kernel("last", {1}, ""))})});
  CHECK(only_region(graph, 2).name == expected);
}

TEST_CASE("producer and staging names apply to every kind of allocation, bindings first") {
  const auto graph =
      graph_of(2,
               {home(5, 1, 0x60000, 64), with_kind(home(5, 1, 0x60000, 8), AllocationKind::HomeAlias{TensorId(9)}),
                with_kind(home(5, 1, 0x60100, 8), AllocationKind::ExchangeStaging{0})},
               {compute(1, {command(1, 5, {}, kernel("producer", {1}, ""))})});
  const auto output_names = tessel_runtime::allocation_output_names(graph.schedule);
  for (const auto& allocation : graph.schedule.allocations) {
    CHECK(tessel_runtime::allocation_profile_name(graph, allocation, {}, output_names) == "output of producer");
  }
  const std::vector<std::string> names{"a", "b"};
  CHECK(tessel_runtime::allocation_profile_name(graph, graph.schedule.allocations[0], names, output_names) == "a, b");
}

TEST_CASE("allocations without binding or producer are named after their kind") {
  const auto [name, kind, expected] = GENERATE_REF(table<std::string, AllocationKind, std::string>({
      {"home", AllocationKind::Home{}, "tensor 7 home"},
      {"alias", AllocationKind::HomeAlias{TensorId(2)}, "tensor 7 alias of 2"},
      {"staging", AllocationKind::ExchangeStaging{4}, "tensor 7 staging for phase 4"},
  }));
  CAPTURE(name);
  const auto region = only_region(graph_of(2, {with_kind(home(7, 1, 0x60000, 64, 4, 6), kind)}), 1);
  CHECK(region.name == expected);
  CHECK(region.category == (name == "home" ? "home" : name == "alias" ? "home_alias" : "exchange_staging"));
  CHECK(region.tensor == std::optional<std::uint64_t>(7));
  CHECK(region.live_from == 4);
  CHECK(region.live_until == 6);
}

TEST_CASE("staging allocations are named after the next phase's command that reads them") {
  const auto reader = [](std::uint16_t tile, std::vector<std::uint64_t> inputs, tessel_compiler::Metadata metadata) {
    return command(tile, 20, std::move(inputs), kernel("consume", {1}, ""), std::move(metadata));
  };
  using Phases = std::vector<tessel_compiler::Phase>;
  const auto [name, phases, staging_phase, expected] =
      GENERATE_REF(table<std::string, Phases, std::uint64_t, std::string>({
          {"labelled reader",
           {exchange(), exchange(), exchange(), exchange(), exchange(),
            compute(1, {reader(0, {7}, {{"label", "other tile"}}), reader(1, {6}, {{"label", "other input"}}),
                        reader(1, {6, 7}, {{"label", "second command"}}), reader(1, {7}, {{"label", "third"}})})},
           4,
           "input to second command"},
          {"unlabelled reader", {exchange(), compute(1, {reader(1, {7}, {})})}, 0, "input to consume"},
          {"no reader",
           {exchange(), exchange(), exchange(), exchange(), exchange(), compute(1, {reader(0, {7}, {})})},
           4,
           "tensor 7 staging for phase 4"},
          {"next phase is an exchange", {exchange(), exchange()}, 0, "tensor 7 staging for phase 0"},
          {"next phase is missing", {exchange()}, 0, "tensor 7 staging for phase 0"},
          {"largest phase index",
           {compute(1, {reader(1, {7}, {})})},
           std::numeric_limits<std::uint64_t>::max(),
           "tensor 7 staging for phase 18446744073709551615"},
      }));
  CAPTURE(name);
  const auto graph =
      graph_of(2, {with_kind(home(7, 1, 0x60000, 64), AllocationKind::ExchangeStaging{staging_phase})}, phases);
  CHECK(only_region(graph, 1).name == expected);
}

TEST_CASE("staging transfers add one-phase regions on their destination tile") {
  const auto graph = graph_of(3, {},
                              {compute(1), exchange(),
                               exchange({transfer(1, 0, 9, 256, 0x60000), transfer(0, 1, 4, 32),
                                         transfer(2, 0, 8, 16, 0x50000), transfer(0, 5, 3, 16, 0x50000)})});
  const auto profile = allocator_memory_profile(graph).value();
  CHECK(profile.tiles[0].regions ==
        std::vector<MemoryRegion>{{0x50000, 16, "exchange_staging", "exchange staging tensor 8", 8, 2, 3},
                                  {0x60000, 256, "exchange_staging", "exchange staging tensor 9", 9, 2, 3}});
  CHECK(profile.tiles[1].regions.empty());
  CHECK(profile.tiles[2].regions.empty());
}

TEST_CASE("regions are sorted by address and lifetime, allocations first among equals") {
  const auto graph = graph_of(
      1,
      {home(1, 0, 0x60000, 8, 2, 3), home(2, 0, 0x50000, 8, 5, 9), home(3, 0, 0x50000, 8, 5, 7),
       home(4, 0, 0x50000, 8, 1, 9), with_kind(home(5, 0, 0x60000, 4, 2, 3), AllocationKind::ExchangeStaging{1})},
      {exchange(), exchange(), exchange({transfer(1, 0, 6, 4, 0x60000)})});
  const auto profile = allocator_memory_profile(graph).value();
  std::vector<std::uint64_t> tensors;
  for (const auto& region : profile.tiles[0].regions) tensors.push_back(region.tensor.value());
  CHECK(tensors == std::vector<std::uint64_t>{4, 3, 2, 1, 5, 6});
}

TEST_CASE("allocations and transfers on tiles beyond the tile count are left out") {
  const auto graph =
      graph_of(2, {home(1, 2, 0x60000, 8), home(2, 1, 0x60000, 8)}, {exchange({transfer(0, 7, 3, 4, 0x60000)})});
  const auto profile = allocator_memory_profile(graph).value();
  REQUIRE(profile.tiles.size() == 2);
  CHECK(profile.tiles[0].regions.empty());
  CHECK(profile.tiles[1].regions.size() == 1);
}

TEST_CASE("an allocation at the top of the address space saturates its end") {
  auto graph = graph_of(1, {home(1, 0, 0xFFFF'FFF0, 0x100)});
  graph.host_weights = {binding("top", {slice(physical(0), 0xFFFF'FFFE, 0x100)})};
  CHECK(only_region(graph, 0).name == "top");
}

TEST_CASE("a memory profile fails for tiles or bindings outside the topology") {
  CHECK(error_of(graph_of(1473, {})) == "logical tile 1472 is out of range");
  CHECK(allocator_memory_profile(graph_of(1472, {})).has_value());

  const auto physical_tile = GENERATE(1472U, 65536U, std::numeric_limits<std::uint32_t>::max());
  CAPTURE(physical_tile);
  auto graph = graph_of(1, {home(1, 0, 0x60000, 8)});
  graph.outputs = {binding("fine", {slice(0, 0x60000, 8)}), binding("broken", {slice(physical_tile, 0x60000, 8)})};
  CHECK(error_of(graph) == "host binding references a physical tile outside the topology");
}

TEST_CASE("binding names match a brute-force overlap search") {
  std::mt19937 random(20261211);
  const auto draw = [&](std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
  };
  constexpr std::uint16_t TILES = 4;
  ExecutableGraph graph = graph_of(TILES, {});
  const std::vector<std::string> names{"e", "a", "d", "b", "c", "f"};
  for (const auto& name : names) {
    auto& bound = graph.host_inputs.emplace_back(binding(name, {}));
    for (int i = 0; i < 12; ++i) {
      // Mostly short slices, a few long ones, some on a tile without allocations.
      const std::uint32_t size = draw(0, 9) == 0 ? draw(0, 0x800) : draw(0, 64);
      bound.slices.push_back(
          slice(physical(static_cast<std::uint16_t>(draw(0, TILES))), 0x60000 + draw(0, 0x400), size));
    }
  }
  for (std::uint64_t tensor = 0; tensor < 400; ++tensor) {
    graph.schedule.allocations.push_back(
        home(tensor, static_cast<std::uint16_t>(draw(0, TILES - 1)), 0x60000 + draw(0, 0x480), draw(0, 48)));
  }

  const auto profile = allocator_memory_profile(graph).value();
  std::size_t checked = 0;
  for (const auto& tile : profile.tiles) {
    for (const auto& region : tile.regions) {
      const auto& allocation = graph.schedule.allocations[region.tensor.value()];
      const std::uint64_t end = std::uint64_t{allocation.address} + allocation.size;
      std::set<std::string> overlapping;
      for (const auto& bound : graph.host_inputs) {
        for (const auto& piece : bound.slices) {
          if (piece.tile == tile.physical_tile && piece.tile_address < end &&
              piece.tile_address + piece.size > allocation.address) {
            overlapping.insert(bound.name);
          }
        }
      }
      const std::string expected = overlapping.empty() ? fmt::format("tensor {} home", allocation.tensor.index)
                                                       : fmt::format("{}", fmt::join(overlapping, ", "));
      CAPTURE(allocation.address, allocation.size, tile.logical_tile);
      CHECK(region.name == expected);
      ++checked;
    }
  }
  CHECK(checked == graph.schedule.allocations.size());
}

TEST_CASE("region names match the straightforward naming on random graphs") {
  // Few tensors, tiles and phases, so producers, readers and staging phases collide often.
  std::mt19937 random(GENERATE(1U, 2U, 3U, 4U, 5U));
  const auto draw = [&](std::uint32_t low, std::uint32_t high) {
    return std::uniform_int_distribution<std::uint32_t>(low, high)(random);
  };
  constexpr std::uint16_t TILES = 3;
  std::vector<tessel_compiler::Phase> phases;
  for (int p = 0; p < 8; ++p) {
    if (draw(0, 2) == 0) {
      phases.push_back(exchange());
      continue;
    }
    std::vector<tessel_compiler::KernelCommand> commands;
    for (std::uint32_t c = draw(0, 6); c > 0; --c) {
      tessel_compiler::Metadata metadata;
      if (draw(0, 1) == 0) metadata["label"] = fmt::format("c{}", draw(0, 20));
      if (draw(0, 1) == 0) metadata["output_block_row"] = "1";
      if (draw(0, 1) == 0) metadata["output_block_column"] = "2";
      commands.push_back(command(static_cast<std::uint16_t>(draw(0, TILES)), draw(0, 9), {draw(0, 9), draw(0, 9)},
                                 kernel(draw(0, 1) == 0 ? "gemm_f16" : "add_f16", {1}, ""), metadata));
    }
    phases.push_back(compute(static_cast<std::uint64_t>(p), std::move(commands)));
  }
  std::vector<Allocation> allocations;
  for (int i = 0; i < 200; ++i) {
    const std::uint32_t kind = draw(0, 2);
    const AllocationKind kinds[] = {AllocationKind::Home{}, AllocationKind::HomeAlias{TensorId(draw(0, 9))},
                                    AllocationKind::ExchangeStaging{draw(0, 8)}};
    allocations.push_back(with_kind(home(draw(0, 9), static_cast<std::uint16_t>(draw(0, TILES)), 0x60000 + draw(0, 64),
                                         draw(0, 16), draw(0, 3), draw(0, 6)),
                                    kinds[kind]));
  }
  auto graph = graph_of(TILES, allocations, phases);
  graph.host_inputs = {binding("in", {slice(physical(1), 0x60000, 8)})};

  const auto output_names = tessel_runtime::allocation_output_names(graph.schedule);
  const auto profile = allocator_memory_profile(graph).value();
  for (std::uint16_t tile = 0; tile < TILES; ++tile) {
    std::vector<std::pair<const Allocation*, std::string>> expected;
    for (const auto& allocation : allocations) {
      if (allocation.tile != tile) continue;
      const bool bound = tile == 1 && allocation.address < 0x60008 && allocation.address + allocation.size > 0x60000;
      const auto names = bound ? std::vector<std::string>{"in"} : std::vector<std::string>{};
      expected.emplace_back(&allocation,
                            tessel_runtime::allocation_profile_name(graph, allocation, names, output_names));
    }
    std::ranges::stable_sort(expected, {}, [](const auto& entry) {
      return std::tuple(entry.first->address, entry.first->live_from, entry.first->live_until);
    });
    std::vector<std::string> expected_names;
    for (const auto& entry : expected) expected_names.push_back(entry.second);
    std::vector<std::string> actual;
    for (const auto& region : profile.tiles[tile].regions) actual.push_back(region.name);
    CAPTURE(tile);
    CHECK(actual == expected_names);
  }
}

TEST_CASE("a whole board with a million allocations", "[.scale]") {
  ExecutableGraph graph = graph_of(1472, {});
  auto& allocations = graph.schedule.allocations;
  allocations.reserve(1'000'000);
  for (std::uint64_t i = 0; i < 1'000'000; ++i) {
    const auto tile = static_cast<std::uint16_t>(i % 1472);
    allocations.push_back(home(i, tile, 0x4C000 + static_cast<std::uint32_t>(i / 1472) * 64, 64));
  }
  std::vector<tessel_compiler::Transfer> transfers;
  for (std::uint32_t i = 0; i < 100'000; ++i) {
    transfers.push_back(transfer(static_cast<std::uint16_t>(i % 1472), static_cast<std::uint16_t>((i + 1) % 1472), i,
                                 64, 0xE0000 + (i / 1472) * 64));
  }
  graph.schedule.phases = {exchange(std::move(transfers))};
  for (std::uint16_t tile = 0; tile < 1472; ++tile) {
    graph.host_weights.push_back(binding(fmt::format("w{}", tile),
                                         {slice(physical(tile), 0x4C000, 4096), slice(physical(tile), 0x80000, 4096)}));
  }
  const auto start = std::chrono::steady_clock::now();
  const auto profile = allocator_memory_profile(graph).value();
  const auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  WARN(fmt::format("allocator_memory_profile: {:.3f} s", elapsed));
  std::size_t regions = 0;
  for (const auto& tile : profile.tiles) regions += tile.regions.size();
  CHECK(regions == 1'100'000);
}
