// Checks of the placement module: address-space reservation.
#include <vector>

#include "tessel_checks/check.hpp"
#include "tessel_runtime/placement/address_space.hpp"

namespace tessel_runtime::placement::tests {

void reservations_are_clipped_merged_and_granularity_aligned() {
  AddressSpace space(AddressRange{0x1000, 0x2000});
  space.reserve_all(std::vector<AddressRange>{{0x800, 0x1101}, {0x11F0, 0x1300}, {0x1200, 0x1401}, {0x1F80, 0x2800}});
  const std::vector<AddressRange> expected{{0x1500, 0x1F00}};
  TESSEL_CHECK_EQ(std::move(space).free_regions(0x100), expected);
}

}  // namespace tessel_runtime::placement::tests

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> placement_checks() {
  static constexpr CheckDescriptor checks[] = {
      {"placement::tests::reservations_are_clipped_merged_and_granularity_aligned",
       &placement::tests::reservations_are_clipped_merged_and_granularity_aligned},
  };
  return checks;
}

}  // namespace tessel_runtime::checks
