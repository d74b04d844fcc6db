#include "tessel_package/binding.hpp"

fmt::format_context::iterator fmt::formatter<tessel_package::RegionSlice>::format(
    const tessel_package::RegionSlice& slice, fmt::format_context& context) const {
  return fmt::format_to(context.out(), "RegionSlice {{ tile: {}, tile_address: {:#x}, file_offset: {}, size: {} }}",
                        slice.tile, slice.tile_address, slice.file_offset, slice.size);
}
