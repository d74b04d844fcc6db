#include <algorithm>
#include <vector>

#include "tessel/internal_error.hpp"
#include "tessel_checks/check.hpp"

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> registry() {
  static const std::vector<CheckDescriptor> merged = [] {
    std::vector<CheckDescriptor> all;
    for (const auto module : {blocked_data_checks(), placement_checks(), siglip_checks(), static_codegen_checks(),
                              regions_checks(), profiling_checks()}) {
      all.insert(all.end(), module.begin(), module.end());
    }
    std::ranges::sort(all, {}, &CheckDescriptor::name);
    tessel::invariant(std::ranges::adjacent_find(all, {}, &CheckDescriptor::name) == all.end(),
                      "registered check names are unique");
    return all;
  }();
  return merged;
}

}  // namespace tessel_runtime::checks
