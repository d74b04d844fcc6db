#include "tessel_exchange/topology.hpp"

namespace tessel_exchange {

Topology Topology::slate() {
  Topology topology;
  topology.logical_to_physical.reserve(SLATE_TILE_COUNT);
  for (std::uint16_t logical = 0; logical < SLATE_TILE_COUNT; ++logical) {
    topology.logical_to_physical.push_back(slate_logical_to_physical(logical));
  }
  return topology;
}

tessel::Expected<std::uint16_t, ExchangeError> Topology::physical(std::uint16_t logical) const {
  if (logical >= logical_to_physical.size()) return tessel::unexpected(ExchangeError{ExchangeError::Tile{logical}});
  return logical_to_physical[logical];
}

}  // namespace tessel_exchange
