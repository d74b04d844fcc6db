#pragma once
// The whole public API of tessel::runtime.

#include "tessel_runtime/graph.hpp"                    // IWYU pragma: export
#include "tessel_runtime/placement/address_space.hpp"  // IWYU pragma: export
#include "tessel_runtime/profiling/memory_profile.hpp"    // IWYU pragma: export
#include "tessel_runtime/profiling/profile_assembly.hpp"  // IWYU pragma: export
#include "tessel_runtime/profiling/profile_layout.hpp"    // IWYU pragma: export
#include "tessel_runtime/profiling/profile_records.hpp"   // IWYU pragma: export
#include "tessel_runtime/profiling/step_profiles.hpp"     // IWYU pragma: export
