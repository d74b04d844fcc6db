// Reserves two ranges in one tile's address space and prints what is free.
#include <cstdio>

#include <tessel_package/package.hpp>
#include <tessel_runtime/runtime.hpp>

int main() {
  using tessel_runtime::placement::AddressSpace;
  AddressSpace space({tessel_package::TILE_MEMORY_BASE, tessel_package::TILE_MEMORY_BASE + tessel_package::TILE_MEMORY_SIZE});
  space.reserve({0x50000, 0x58000});
  space.reserve({0x80000, 0x88000});
  const auto free = std::move(space).free_regions(0x4000);
  for (const auto& region : free) std::printf("free [0x%x, 0x%x)\n", region.start, region.end);
  return free.size() == 3 ? 0 : 1;
}
