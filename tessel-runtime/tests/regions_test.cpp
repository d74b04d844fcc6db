#include <catch2/catch.hpp>

#include <string>
#include <vector>

#include "tessel_runtime/placement/regions.hpp"

using namespace tessel_runtime;
using tessel_compiler::Allocation;
using tessel_compiler::TensorId;
using Ranges = std::vector<AddressRange>;

namespace {

template <class T>
std::string outcome(const tessel::Result<T>& result) {
  return result ? std::string("ok") : result.error().message;
}

ExecutableGraph graph_with(std::vector<Allocation> allocations) {
  ExecutableGraph graph;
  graph.schedule.allocations = std::move(allocations);
  graph.schedule.tile_count = 2;
  return graph;
}

Allocation home(std::uint16_t tile, std::uint32_t address, std::uint32_t size) {
  return Allocation{TensorId(1), tile, address, size, 0, 1, tessel_compiler::AllocationKind::Home{}};
}

}  // namespace

TEST_CASE("tile memory end and allocation ranges report overflow") {
  CHECK(tile_memory_end(0x4C000, 0x9C000).value() == 0xE8000U);
  CHECK(outcome(tile_memory_end(0xFFFFF000, 0x1000)) == "tile memory range overflow");
  CHECK(allocation_range(home(0, 0x60000, 4)).value() == AddressRange{0x60000, 0x60004});
  CHECK(allocation_range(home(0, 0xFFFFFFE0, 0x20)).has_value() == false);
  CHECK(outcome(allocation_range(home(0, 0xFFFFFFF0, 0x20))) == "allocation address overflow");
}

TEST_CASE("code regions are whole free elements below 0x80000") {
  struct Case {
    const char* name;
    Ranges allocations;
    std::uint32_t runtime_end;
    Ranges additional_reserved;
    Ranges expected;
  };
  const auto c = GENERATE(values<Case>({
      {"nothing but the fixed layout", {}, 0x58000, {}, {{0x58000, 0x80000}}},
      {"a runtime end below its area reserves nothing", {}, 0, {}, {{0x58000, 0x80000}}},
      {"the runtime area is widened to elements", {}, 0x5A000, {}, {{0x5C000, 0x80000}}},
      {"allocations and further reservations",
       {{0x60080, 0x60100}},
       0x58000,
       {{0x70000, 0x70001}},
       {{0x58000, 0x60000}, {0x64000, 0x70000}, {0x74000, 0x80000}}},
      {"ranges above the code bounds do not matter", {{0x80000, 0xE8000}}, 0x58000, {}, {{0x58000, 0x80000}}},
  }));
  CAPTURE(c.name);
  CHECK(executable_regions_for_tile(c.allocations, c.runtime_end, c.additional_reserved) == c.expected);
}

TEST_CASE("executable region bases are first fit on whole elements") {
  const Ranges allocations{{0x60000, 0x60004}};
  CHECK(executable_region_base_for_tile(allocations, 5, 0x5A000, 0x4001, {}).value() == 0x64000U);
  CHECK(executable_region_base_for_tile(allocations, 5, 0x5A000, 0x4000, {}).value() == 0x5C000U);
  CHECK(executable_region_base(graph_with({home(0, 0x60000, 4)}), 0x5A000, 0x4001).value() == 0x64000U);
  // Allocations of every tile count for the common base.
  CHECK(executable_region_base(graph_with({home(0, 0x60000, 4), home(1, 0x64000, 4)}), 0x5A000, 0x4001).value() ==
        0x68000U);
}

TEST_CASE("executable region failures name the tile or say common") {
  const Ranges allocations{{0x60000, 0x60004}};
  CHECK(outcome(executable_region_base_for_tile(allocations, 5, 0x5A000, 0x1C001, {})) ==
        "no tile 5 tile-memory interval can hold 131072 bytes of executable code: 131072 executable bytes free, "
        "114688-byte largest gap");
  CHECK(outcome(executable_region_base_for_tile(allocations, std::nullopt, 0x5A000, 0x1C001, {})) ==
        "no common tile-memory interval can hold 131072 bytes of executable code: 131072 executable bytes free, "
        "114688-byte largest gap");
  CHECK(outcome(executable_region_base_for_tile({{{0, 0xFFFFFFFF}}}, 5, 0, 1, {})) ==
        "no tile 5 tile-memory interval can hold 16384 bytes of executable code: 0 executable bytes free, 0-byte "
        "largest gap");
  // A size that cannot be rounded up to whole elements fits nowhere and is
  // reported as requested.
  CHECK(outcome(executable_region_base_for_tile(allocations, 5, 0x5A000, 0xFFFFFFFF, {})) ==
        "no tile 5 tile-memory interval can hold 4294967295 bytes of executable code: 131072 executable bytes "
        "free, 114688-byte largest gap");
  CHECK(outcome(executable_region_base(graph_with({home(0, 0xFFFFFFF0, 0x20)}), 0x5A000, 1)) ==
        "allocation address overflow");
}

TEST_CASE("executable objects occupy whole elements") {
  const Ranges objects{{0x1000, 0x1080}, {0x2000, 0x2080}};
  const auto packed = pack_executable_objects_for_tile({{{0x60080, 0x60100}}}, 0, 0x58000, objects, {}, {});
  REQUIRE(outcome(packed) == "ok");
  CHECK(packed->relocations == std::map<std::uint32_t, std::uint32_t>{{0x1000, 0x58000}, {0x2000, 0x58080}});
  CHECK(packed->storage == Ranges{{0x58000, 0x58100}});
  CHECK(packed->elements == Ranges{{0x58000, 0x5C000}});

  SECTION("objects in neighbouring elements merge into one element range") {
    const Ranges large{{0x1000, 0x1000 + 0x4000}, {0x9000, 0x9100}};
    const auto spread = pack_executable_objects_for_tile({{{0x58000, 0x60000}}}, 0, 0x58000, large, {}, {});
    REQUIRE(outcome(spread) == "ok");
    CHECK(spread->storage == Ranges{{0x60000, 0x64100}});
    CHECK(spread->elements == Ranges{{0x60000, 0x68000}});
  }
  SECTION("additional gaps come after the computed regions") {
    const auto extra =
        pack_executable_objects_for_tile({{{0x58000, 0x80000}}}, 0, 0x58000, objects, {}, {{{0x90000, 0x90100}}});
    REQUIRE(outcome(extra) == "ok");
    CHECK(extra->elements == Ranges{{0x90000, 0x94000}});
  }
  SECTION("failures carry the packer's message") {
    CHECK(outcome(pack_executable_objects_for_tile({{{0x58000, 0x80000}}}, 2, 0x58000, objects, {}, {})) ==
          "no tile-memory gap can hold a 128-byte static executable object on tile 2: 0 free bytes, 0-byte largest "
          "gap");
  }
  SECTION("an element that would end at 2^32 is an overflow") {
    CHECK(outcome(pack_executable_objects_for_tile({{{0x58000, 0x80000}}}, 0, 0x58000, objects, {},
                                                   {{{0xFFFFF000, 0xFFFFFFFF}}})) ==
          "static executable placement overflow");
  }
}

TEST_CASE("data region bases are the lowest aligned fit") {
  const Ranges allocations{{0x4C008, 0x50000}, {0x59014, 0x5A014}};
  const auto first = data_region_base_for_tile(allocations, 0, 0x59000, 16, 4, {});
  REQUIRE(outcome(first) == "ok");
  CHECK(*first == 0x59000U);
  const Ranges taken{{*first, *first + 16}};
  CHECK(data_region_base_for_tile(allocations, 0, 0x59000, 16, 4, taken).value() == 0x5A014U);
  CHECK(data_region_base_for_tile(allocations, 0, 0x59000, 0x20, 0x40, {}).value() == 0x5A040U);
  // The 32 KiB below the interleaved limit is open to data regions.
  CHECK(data_region_base_for_tile({{{0x4C000, 0x80000}, {0x88000, 0xE8000}}}, 0, 0, 16, 4, {}).value() == 0x80000U);
}

TEST_CASE("data region failures") {
  using Row = std::tuple<std::uint32_t, std::uint32_t, std::string>;
  auto [size, alignment, message] = GENERATE(table<std::uint32_t, std::uint32_t, std::string>({
      Row{0, 4, "data region size must be nonzero and alignment must be a power of two"},
      Row{16, 0, "data region size must be nonzero and alignment must be a power of two"},
      Row{16, 12, "data region size must be nonzero and alignment must be a power of two"},
      Row{0x101, 1,
          "no tile-memory interval can hold 257 bytes of static data on tile 7: 512 free bytes, 256-byte largest gap"},
      Row{0xFFFFFFFF, 1,
          "no tile-memory interval can hold 4294967295 bytes of static data on tile 7: 512 free bytes, 256-byte "
          "largest gap"},
  }));
  CAPTURE(size, alignment);
  const Ranges allocations{{0x4C000, 0x60000}, {0x60100, 0x70000}, {0x70100, 0xE8000}};
  CHECK(outcome(data_region_base_for_tile(allocations, 7, 0x58000, size, alignment, {})) == message);
}

TEST_CASE("packed data keeps out of the interleaved tail unless allowed") {
  const Ranges allocations{{0x4C000, 0x80000}, {0x88000, 0xE8000}};
  const Ranges objects{{0x1000, 0x1080}};
  const auto allowed = pack_data_objects_for_tile(allocations, 0, 0x58000, objects, true, {});
  REQUIRE(outcome(allowed) == "ok");
  CHECK(allowed->relocations.at(0x1000) == 0x80000U);
  CHECK(outcome(pack_data_objects_for_tile(allocations, 0, 0x58000, objects, false, {})) ==
        "no tile-memory gap can hold a 128-byte static data object on tile 0: 0 free bytes, 0-byte largest gap");
}

TEST_CASE("static data objects spread over several gaps") {
  const Ranges allocations{{0x4C000, 0x90000}, {0x900A0, 0x90200}, {0x902A0, 0xE8000}};
  const Ranges objects{{0x1000, 0x1080}, {0x2000, 0x2080}};
  const auto packed = pack_data_objects_for_tile(allocations, 0, 0x58000, objects, false, {});
  REQUIRE(outcome(packed) == "ok");
  CHECK(packed->relocations == std::map<std::uint32_t, std::uint32_t>{{0x1000, 0x90000}, {0x2000, 0x90200}});
  CHECK(packed->placed == Ranges{{0x90000, 0x90080}, {0x90200, 0x90280}});
  // Reserved runtime and additional ranges are respected.
  const auto shifted = pack_data_objects_for_tile(allocations, 0, 0x58000, objects, false, {{{0x90000, 0x90020}}});
  REQUIRE(outcome(shifted) == "ok");
  CHECK(shifted->placed == Ranges{{0x90020, 0x900A0}, {0x90200, 0x90280}});
}
