#pragma once
// The whole public API of tessel::exchange.

#include "tessel_exchange/error.hpp"        // IWYU pragma: export
#include "tessel_exchange/instruction.hpp"  // IWYU pragma: export
#include "tessel_exchange/topology.hpp"     // IWYU pragma: export
