#include <catch2/catch.hpp>

#include <algorithm>
#include <numeric>
#include <vector>

#include "tessel_exchange/exchange.hpp"

using tessel_exchange::ExchangeError;
using tessel_exchange::Topology;

TEST_CASE("slate mapping examples") {
  auto [logical, physical] = GENERATE(table<std::uint16_t, std::uint16_t>({
      {0, 0}, {1, 2}, {2, 64}, {3, 66}, {44, 1408}, {45, 1410}, {46, 1409}, {47, 1411},
      {90, 1}, {91, 3}, {92, 4}, {93, 6}, {1470, 61}, {1471, 63},
  }));
  CAPTURE(logical);
  CHECK(tessel_exchange::slate_logical_to_physical(logical) == physical);
  CHECK(Topology::slate().physical(logical).value() == physical);
}

TEST_CASE("the slate topology is a permutation of its 1472 tiles") {
  const auto topology = Topology::slate();
  REQUIRE(topology.tile_count() == 1472);
  auto sorted = topology.logical_to_physical;
  std::ranges::sort(sorted);
  std::vector<std::uint16_t> expected(1472);
  std::iota(expected.begin(), expected.end(), std::uint16_t{0});
  CHECK(sorted == expected);
}

TEST_CASE("a logical tile past the tile count is an error") {
  const auto topology = Topology::slate();
  const auto result = topology.physical(1472);
  REQUIRE_FALSE(result.has_value());
  CHECK(result.error() == ExchangeError{ExchangeError::Tile{1472}});
  CHECK(fmt::format("{}", result.error()) == "logical tile 1472 is out of range");
  CHECK_FALSE(Topology{}.physical(0).has_value());
}

TEST_CASE("instruction words carry the selector in the low byte") {
  CHECK(tessel_exchange::sans(0) == 0x40C00000U);
  CHECK(tessel_exchange::sans(1) == (0x40C00000U | 1U));
  CHECK(tessel_exchange::sans(0xAB) == 0x40C000ABU);
  CHECK(tessel_exchange::MAX_TRANSFER_WORDS == 4148U);
}

TEST_CASE("exchange error texts") {
  using Row = std::tuple<ExchangeError, std::string, std::string, std::uint16_t>;
  auto [error, display, debug, tag] = GENERATE(table<ExchangeError, std::string, std::string, std::uint16_t>({
      Row{ExchangeError::Tile{1500}, "logical tile 1500 is out of range", "Tile(1500)", 0},
      Row{ExchangeError::DuplicateTile{}, "exchange endpoints must be distinct", "DuplicateTile", 1},
      Row{ExchangeError::Count{0}, "exchange count 0 is outside 1..=4148", "Count(0)", 2},
      Row{ExchangeError::ReceiverSet{}, "invalid multicast receiver set", "ReceiverSet", 3},
      Row{ExchangeError::Schedule{"two \"senders\""}, "exchange schedule is not encodable: two \"senders\"",
          "Schedule(\"two \\\"senders\\\"\")", 4},
      Row{ExchangeError::Address{0x1F}, "tile address 0x1f is not encodable", "Address(31)", 5},
      Row{ExchangeError::HostPacket{}, "host exchange address or length is not encodable", "HostPacket", 6},
  }));
  CAPTURE(display);
  CHECK(fmt::format("{}", error) == display);
  CHECK(fmt::format("{:?}", error) == debug);
  CHECK(error.tag() == tag);
}
