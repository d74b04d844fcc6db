#pragma once
// Fixtures of the siglip checks, shared with the unit tests.

#include <cstdint>
#include <string>
#include <vector>

#include "tessel_compiler/schedule.hpp"

namespace tessel_runtime::siglip::tests {

// A command on tile 0 running `operation`, writing TensorId(output) and
// reading the TensorIds of `inputs`, with arguments (1, 16, 1), shape
// (1, 16), an empty role, 6 workers, alignment 8 and no metadata.
[[nodiscard]] tessel_compiler::KernelCommand command(std::string operation, std::uint64_t output,
                                                     const std::vector<std::uint64_t>& inputs);

}  // namespace tessel_runtime::siglip::tests
