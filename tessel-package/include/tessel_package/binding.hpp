#pragma once
// Host bindings: named tensors that live in tile memory in pieces and are
// read or written by the host.

#include <cstdint>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace tessel_package {

// One piece of a binding.
struct RegionSlice {
  std::uint32_t tile = 0;          // PHYSICAL tile number, unlike every other tile field
  std::uint32_t tile_address = 0;  // tile-memory byte address of the piece
  std::uint64_t file_offset = 0;   // offset of the piece in the binding's host-side data
  std::uint64_t size = 0;          // bytes

  bool operator==(const RegionSlice&) const = default;
};

struct Binding {
  std::string name;                  // e.g. "input", "left"
  std::string dtype;                 // element type name, e.g. "f32"
  std::vector<std::uint32_t> shape;  // dimensions
  std::vector<RegionSlice> slices;   // where its bytes lie

  bool operator==(const Binding&) const = default;
};

}  // namespace tessel_package

// Debug texts, for check and test failure reports:
// RegionSlice { tile: 2, tile_address: 0x60008, file_offset: 0, size: 4 }.
template <>
struct fmt::formatter<tessel_package::RegionSlice> {
  constexpr auto parse(fmt::format_parse_context& context) { return context.begin(); }
  fmt::format_context::iterator format(const tessel_package::RegionSlice& slice, fmt::format_context& context) const;
};
