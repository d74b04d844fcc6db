#pragma once
// The whole public API of tessel::package.

#include "tessel_package/binding.hpp"      // IWYU pragma: export
#include "tessel_package/memory_profile.hpp"  // IWYU pragma: export
#include "tessel_package/profile.hpp"      // IWYU pragma: export
#include "tessel_package/tile_memory.hpp"  // IWYU pragma: export
