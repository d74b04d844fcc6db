#pragma once
// The fixed geometry of one tile's memory.
//
// Tile memory is [0x4C000, 0xE8000): an ordinary low part, an interleaved part
// that ends at 0x88000, and an ordinary high part above it.

#include <cstdint>

namespace tessel_package {

inline constexpr std::uint32_t TILE_MEMORY_BASE = 0x4C000;  // first address
inline constexpr std::uint32_t TILE_MEMORY_SIZE = 0x9C000;  // bytes (638,976)
inline constexpr std::uint32_t TESSEL21_INTERLEAVED_MEMORY_LIMIT = 0x88000;  // first address above the interleaved part

enum class Tessel21MemoryRegion : std::uint8_t { OrdinaryLow = 0, Interleaved = 1, OrdinaryHigh = 2 };

}  // namespace tessel_package
