#include <catch2/catch.hpp>

#include "tessel_package/package.hpp"

TEST_CASE("tile memory geometry") {
  CHECK(tessel_package::TILE_MEMORY_BASE + tessel_package::TILE_MEMORY_SIZE == 0xE8000U);
  CHECK(tessel_package::TESSEL21_INTERLEAVED_MEMORY_LIMIT == 0x88000U);
}

TEST_CASE("region slice debug text") {
  const tessel_package::RegionSlice slice{2, 0x60008, 0, 4};
  CHECK(fmt::format("{}", slice) == "RegionSlice { tile: 2, tile_address: 0x60008, file_offset: 0, size: 4 }");
}
