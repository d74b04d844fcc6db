#include "tessel_checks/check.hpp"

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> blocked_data_checks() { return {}; }

}  // namespace tessel_runtime::checks
