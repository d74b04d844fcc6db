#pragma once
// The whole public API of tessel::runtime.

#include "tessel_runtime/blocked_data/f143.hpp"  // IWYU pragma: export
#include "tessel_runtime/graph.hpp"                    // IWYU pragma: export
#include "tessel_runtime/placement/address_space.hpp"  // IWYU pragma: export
#include "tessel_runtime/placement/gap_packing.hpp"    // IWYU pragma: export
#include "tessel_runtime/placement/regions.hpp"        // IWYU pragma: export
#include "tessel_runtime/placement/relocation.hpp"     // IWYU pragma: export
#include "tessel_runtime/profiling/memory_profile.hpp"    // IWYU pragma: export
#include "tessel_runtime/profiling/profile_assembly.hpp"  // IWYU pragma: export
#include "tessel_runtime/profiling/profile_layout.hpp"    // IWYU pragma: export
#include "tessel_runtime/profiling/profile_records.hpp"   // IWYU pragma: export
#include "tessel_runtime/profiling/step_profiles.hpp"     // IWYU pragma: export
#include "tessel_runtime/siglip/gemm_output_blocks.hpp"  // IWYU pragma: export
#include "tessel_runtime/siglip/residual_deferral.hpp"  // IWYU pragma: export
#include "tessel_runtime/static_codegen/compute_templating.hpp"     // IWYU pragma: export
#include "tessel_runtime/static_codegen/exchange_compute_runs.hpp"  // IWYU pragma: export
#include "tessel_runtime/static_codegen/step_ranges.hpp"            // IWYU pragma: export
#include "tessel_runtime/static_codegen/template_layout.hpp"        // IWYU pragma: export
#include "tessel_runtime/static_codegen/template_patches.hpp"       // IWYU pragma: export
#include "tessel_runtime/static_codegen/template_planning.hpp"      // IWYU pragma: export
#include "tessel_runtime/static_codegen/template_records.hpp"       // IWYU pragma: export
