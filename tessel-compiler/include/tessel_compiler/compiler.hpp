#pragma once
// The whole public API of tessel::compiler.

#include "tessel_compiler/allocation_validation.hpp"  // IWYU pragma: export
#include "tessel_compiler/arena_allocation.hpp"       // IWYU pragma: export
#include "tessel_compiler/error.hpp"     // IWYU pragma: export
#include "tessel_compiler/gemm.hpp"      // IWYU pragma: export
#include "tessel_compiler/ids.hpp"       // IWYU pragma: export
#include "tessel_compiler/program.hpp"   // IWYU pragma: export
#include "tessel_compiler/schedule.hpp"  // IWYU pragma: export
