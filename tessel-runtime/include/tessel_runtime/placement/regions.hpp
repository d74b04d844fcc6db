#pragma once
// Where a tile's executable code and static data go in tile memory.
//
// Tile memory is [0x4C000, 0xE8000). Both kinds of region keep clear of its
// first 24 bytes [0x4C000, 0x4C018), of [0x50000, 0x58000), of the runtime's
// area [0x58000, runtime_end) (nothing when runtime_end <= 0x58000), of the
// caller's allocation ranges and of any additional reserved ranges.
//
// Executable code lies in [0x4C018, 0x80000) and is placed in whole memory
// elements of 16384 bytes: free regions are computed at that granularity and
// region sizes are rounded up to it. Static data may use all of tile memory,
// at byte granularity; only packed data keeps out of the 32 KiB below the
// interleaved limit, [0x80000, 0x88000), unless allowed in.
//
// Region bases are first fit (the lowest address that fits); packing uses
// the best-fit packer of gap_packing.hpp. Nothing here changes its inputs;
// every failure is an error value naming the tile, the size and the free
// space.

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <vector>

#include "tessel/error.hpp"
#include "tessel/range.hpp"
#include "tessel_compiler/schedule.hpp"
#include "tessel_runtime/graph.hpp"
#include "tessel_runtime/placement/gap_packing.hpp"

namespace tessel_runtime {

inline constexpr std::uint32_t MEMORY_ELEMENT_SIZE = 0x4000;  // bytes; the unit executable code is placed in

struct PackedExecutableObjects {
  std::map<std::uint32_t, std::uint32_t> relocations;  // source start -> placed address
  std::vector<AddressRange> storage;                   // merged ranges the code occupies
  std::vector<AddressRange> elements;                  // those ranges widened to whole memory elements, merged

  bool operator==(const PackedExecutableObjects&) const = default;
};

// `base` + `size`, or "tile memory range overflow".
[[nodiscard]] tessel::Result<std::uint32_t> tile_memory_end(std::uint32_t base, std::uint32_t size);

// (address, address + size) of an allocation, or "allocation address overflow".
[[nodiscard]] tessel::Result<AddressRange> allocation_range(const tessel_compiler::Allocation& allocation);

// The free element-aligned regions for code, ascending.
[[nodiscard]] std::vector<AddressRange> executable_regions_for_tile(std::span<const AddressRange> allocation_ranges,
                                                                    std::uint32_t runtime_end,
                                                                    std::span<const AddressRange> additional_reserved);

// The start of the first code region that holds `required_size` rounded up
// to whole elements. Fails with "no {tile 5 |common }tile-memory interval can
// hold {rounded} bytes of executable code: {free} executable bytes free,
// {largest}-byte largest gap".
[[nodiscard]] tessel::Result<std::uint32_t> executable_region_base_for_tile(
    std::span<const AddressRange> allocation_ranges, std::optional<std::uint16_t> tile, std::uint32_t runtime_end,
    std::uint32_t required_size, std::span<const AddressRange> additional_reserved);

// A code base free on every tile at once: clear of every allocation of the
// graph's schedule, whatever its tile, kind or lifetime.
[[nodiscard]] tessel::Result<std::uint32_t> executable_region_base(const ExecutableGraph& graph,
                                                                   std::uint32_t runtime_end,
                                                                   std::uint32_t required_size);

// Packs code objects into the code regions followed by `additional_available`
// gaps, with description "static executable".
[[nodiscard]] tessel::Result<PackedExecutableObjects> pack_executable_objects_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint16_t tile, std::uint32_t runtime_end,
    std::span<const AddressRange> objects, std::span<const AddressRange> additional_reserved,
    std::span<const AddressRange> additional_available);

// The lowest `alignment`-aligned address (a power of two) where
// `required_size` bytes of static data fit. Fails with "data region size must
// be nonzero and alignment must be a power of two" or "no tile-memory interval
// can hold {size} bytes of static data on tile {tile}: {free} free bytes,
// {largest}-byte largest gap".
[[nodiscard]] tessel::Result<std::uint32_t> data_region_base_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint16_t tile, std::uint32_t runtime_end,
    std::uint32_t required_size, std::uint32_t alignment, std::span<const AddressRange> additional_reserved);

// Packs static data objects into the free bytes of tile memory, with
// description "static data"; [0x80000, 0x88000) is used only when
// `allow_interleaved`.
[[nodiscard]] tessel::Result<PackedObjects> pack_data_objects_for_tile(
    std::span<const AddressRange> allocation_ranges, std::uint16_t tile, std::uint32_t runtime_end,
    std::span<const AddressRange> objects, bool allow_interleaved, std::span<const AddressRange> additional_reserved);

}  // namespace tessel_runtime
