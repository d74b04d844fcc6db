#pragma once
// Memory-map records: which ranges of each tile's memory are occupied, by
// what, and during which phases.
//
// A `MemoryProfile` lists every logical tile in ascending order; each tile's
// regions are sorted by address, then `live_from`, then `live_until`.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace tessel_package::memory_profile {

// One occupied range of a tile's memory, live in phases [live_from, live_until).
struct MemoryRegion {
  std::uint32_t address = 0;            // tile-memory byte address of the first byte
  std::uint32_t size = 0;               // bytes
  std::string category;                 // "home", "home_alias" or "exchange_staging"
  std::string name;                     // human-readable owner of the bytes
  std::optional<std::uint64_t> tensor;  // tensor index stored there, if any
  std::uint64_t live_from = 0;          // first phase in use
  std::uint64_t live_until = 0;         // first phase free again

  bool operator==(const MemoryRegion&) const = default;
};

// The memory map of one tile.
struct TileMemory {
  std::uint16_t logical_tile = 0;     // logical tile number
  std::uint16_t physical_tile = 0;    // physical number of the same tile
  std::vector<MemoryRegion> regions;  // by address, then live_from, then live_until

  bool operator==(const TileMemory&) const = default;
};

// The memory map of all tiles.
struct MemoryProfile {
  std::uint32_t memory_base = 0;  // lowest tile-memory address covered
  std::uint32_t memory_size = 0;  // bytes covered from memory_base
  std::vector<TileMemory> tiles;  // one per logical tile, ascending

  bool operator==(const MemoryProfile&) const = default;
};

}  // namespace tessel_package::memory_profile

// Debug text, for check and test failure reports:
// MemoryRegion { address: 0xa0000, size: 4096, category: "home", name: "left",
// tensor: Some(3), live_from: 0, live_until: 18446744073709551615 }.
template <>
struct fmt::formatter<tessel_package::memory_profile::MemoryRegion> {
  constexpr auto parse(fmt::format_parse_context& context) {
    auto it = context.begin();
    if (it != context.end() && *it == '?') ++it;
    return it;
  }
  fmt::format_context::iterator format(const tessel_package::memory_profile::MemoryRegion& region,
                                       fmt::format_context& context) const;
};
