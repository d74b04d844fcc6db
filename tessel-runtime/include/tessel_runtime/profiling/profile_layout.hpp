#pragma once
// Profile layout decoding: turns the cycle samples a device wrote into the
// host result of a run into a `ProfileReport`.
//
// The profile area is the host result from `output_offset` to its end. Each
// tile's values are 32-bit little-endian cycle readings in a contiguous range
// of the area starting at `file_offset`:
//   - paired samples: 8 x N bytes, (start, end) per step;
//   - boundary samples: 4 x (N + 1) bytes, timestamps t0 .. tN, step i running
//     from ti to ti+1 (adjacent steps share a timestamp).
// Tiles are decoded in layout order; the first tile whose range does not lie
// inside the area ends decoding with an error and no partial report. Nothing
// outside the tile ranges is read, whatever the layout says; values are taken
// as they are (not sorted, scaled or checked for order).

#include <cstdint>
#include <span>
#include <vector>

#include "tessel/error.hpp"
#include "tessel_package/profile.hpp"

namespace tessel_runtime {

struct ProfileTileLayout {
  std::uint32_t physical_tile = 0;                 // physical tile number, copied into the report
  std::uint64_t file_offset = 0;                   // bytes from the start of the profile area
  std::vector<tessel_package::ProfileStep> steps;  // the tile's profile steps, in execution order
  bool boundary_samples = false;                   // true: boundary samples; false: paired samples

  bool operator==(const ProfileTileLayout&) const = default;
};

struct ProfileLayout {
  std::uint64_t output_offset = 0;       // bytes from the start of the host result to the profile area
  std::vector<ProfileTileLayout> tiles;  // in report order

  // The report of one host result, with `clock_hz` (hertz) copied. Fails with
  // "profile output offset exceeds host result", "profile sample size overflow"
  // or "profile tile range exceeds host result".
  [[nodiscard]] tessel::Result<tessel_package::ProfileReport> decode(std::span<const std::uint8_t> output,
                                                                     std::uint64_t clock_hz) const;

  bool operator==(const ProfileLayout&) const = default;
};

// Bytes a tile with `step_count` steps occupies in the profile area: 4 x
// (step_count + 1) with boundary samples, 8 x step_count otherwise. Fails with
// "profile sample size overflow" when that does not fit in 64 bits.
[[nodiscard]] tessel::Result<std::uint64_t> profile_sample_bytes(std::uint64_t step_count, bool boundary_samples);

}  // namespace tessel_runtime
