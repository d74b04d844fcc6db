#include "tessel_package/memory_profile.hpp"

#include <string>

#include "tessel/text.hpp"

fmt::format_context::iterator fmt::formatter<tessel_package::memory_profile::MemoryRegion>::format(
    const tessel_package::memory_profile::MemoryRegion& region, fmt::format_context& context) const {
  const std::string tensor = region.tensor ? fmt::format("Some({})", *region.tensor) : std::string("None");
  return fmt::format_to(context.out(),
                        "MemoryRegion {{ address: {:#x}, size: {}, category: {}, name: {}, tensor: {}, "
                        "live_from: {}, live_until: {} }}",
                        region.address, region.size, tessel::quoted(region.category), tessel::quoted(region.name),
                        tensor, region.live_from, region.live_until);
}
