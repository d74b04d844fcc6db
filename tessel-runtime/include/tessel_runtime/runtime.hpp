#pragma once
// The whole public API of tessel::runtime.

#include "tessel_runtime/graph.hpp"                    // IWYU pragma: export
#include "tessel_runtime/placement/address_space.hpp"  // IWYU pragma: export
#include "tessel_runtime/placement/gap_packing.hpp"    // IWYU pragma: export
#include "tessel_runtime/placement/regions.hpp"        // IWYU pragma: export
#include "tessel_runtime/placement/relocation.hpp"     // IWYU pragma: export
