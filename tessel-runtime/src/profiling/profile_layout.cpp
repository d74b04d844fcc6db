#include "tessel_runtime/profiling/profile_layout.hpp"

#include <optional>

#include "tessel/integer.hpp"

namespace tessel_runtime {

using tessel_package::CycleSample;
using tessel_package::ProfileReport;
using tessel_package::TileProfile;

namespace {

// The 32-bit little-endian value at `offset`; the caller keeps offset + 4
// within `bytes`.
std::uint32_t read_u32_le(std::span<const std::uint8_t> bytes, std::size_t offset) noexcept {
  return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8U |
         static_cast<std::uint32_t>(bytes[offset + 2]) << 16U | static_cast<std::uint32_t>(bytes[offset + 3]) << 24U;
}

}  // namespace

tessel::Result<std::uint64_t> profile_sample_bytes(std::uint64_t step_count, bool boundary_samples) {
  std::optional<std::uint64_t> size;
  if (!boundary_samples) {
    size = tessel::checked_mul<std::uint64_t>(step_count, 8);
  } else if (const auto timestamps = tessel::checked_add<std::uint64_t>(step_count, 1)) {
    size = tessel::checked_mul<std::uint64_t>(*timestamps, 4);
  }
  if (!size) return tessel::fail("profile sample size overflow");
  return *size;
}

tessel::Result<ProfileReport> ProfileLayout::decode(std::span<const std::uint8_t> output,
                                                    std::uint64_t clock_hz) const {
  if (output_offset > output.size()) return tessel::fail("profile output offset exceeds host result");
  const auto area = output.subspan(static_cast<std::size_t>(output_offset));

  ProfileReport report{.clock_hz = clock_hz, .tiles = {}};
  report.tiles.reserve(tiles.size());
  for (const auto& tile : tiles) {
    TESSEL_TRY(size, profile_sample_bytes(tile.steps.size(), tile.boundary_samples));
    const auto end = tessel::checked_add(tile.file_offset, size);
    if (!end || *end > area.size()) return tessel::fail("profile tile range exceeds host result");
    const auto values = area.subspan(static_cast<std::size_t>(tile.file_offset), static_cast<std::size_t>(size));

    // Step i's start is value i (boundary) or 2i (paired); its end the value after.
    const std::size_t stride = tile.boundary_samples ? 4 : 8;
    TileProfile profile{.physical_tile = tile.physical_tile, .samples = {}};
    profile.samples.reserve(tile.steps.size());
    for (std::size_t i = 0; i < tile.steps.size(); ++i) {
      profile.samples.push_back(CycleSample{
          .step = tile.steps[i],
          .start_cycle = read_u32_le(values, i * stride),
          .end_cycle = read_u32_le(values, i * stride + 4),
      });
    }
    report.tiles.push_back(std::move(profile));
  }
  return report;
}

}  // namespace tessel_runtime
