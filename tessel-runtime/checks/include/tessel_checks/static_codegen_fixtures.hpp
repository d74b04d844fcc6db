#pragma once
// Fixture steps of the static template checks; the unit tests share them.

#include <cstdint>
#include <string>
#include <vector>

#include "tessel_compiler/program.hpp"

namespace tessel_runtime::static_codegen::tests {

// An `Exchange` step of `phase`, epoch 0, with the one-word row `sans(1)`
// when `active` and `sans(0)` (0x40C00000) when not.
[[nodiscard]] tessel_compiler::LoweredTileStep exchange(std::uint64_t phase, bool active);

// A `Compute` step of `phase` calling `operation` with input addresses
// 0x50000 and `input_address`, output address 0x80000 and `arguments`.
[[nodiscard]] tessel_compiler::LoweredTileStep compute_with_operation(std::uint64_t phase, std::uint32_t input_address,
                                                                      std::vector<std::uint32_t> arguments,
                                                                      std::string operation);

// `compute_with_operation` of "gemm_f16_accumulate".
[[nodiscard]] tessel_compiler::LoweredTileStep compute(std::uint64_t phase, std::uint32_t input_address,
                                                       std::vector<std::uint32_t> arguments);

}  // namespace tessel_runtime::static_codegen::tests
