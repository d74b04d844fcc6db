#include "tessel_checks/check.hpp"

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> static_codegen_checks() { return {}; }

}  // namespace tessel_runtime::checks
