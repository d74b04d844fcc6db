// ProfileLayout::decode on arbitrary host results and layouts, with offsets
// that are sometimes close to 2^64. The oracle computes every bound in 128
// bits: either decoding fails with the message of the first tile (or of the
// output offset) that breaks a bound, or every sample holds the layout's step
// and the little-endian words at the offsets the layout names.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "tessel_runtime/profiling/profile_layout.hpp"

namespace {

using u128 = unsigned __int128;
constexpr std::uint64_t U64_MAX = std::numeric_limits<std::uint64_t>::max();

void require(bool condition) {
  if (!condition) std::abort();
}

// A 64-bit offset: mostly near the data, sometimes at the very top of the range.
std::uint64_t offset(FuzzedDataProvider& input, std::size_t near) {
  switch (input.ConsumeIntegralInRange(0, 3)) {
    case 0: return U64_MAX - input.ConsumeIntegralInRange<std::uint64_t>(0, 64);
    case 1: return input.ConsumeIntegral<std::uint64_t>();
    default: return input.ConsumeIntegralInRange<std::uint64_t>(0, near + 8);
  }
}

std::uint32_t word_at(const std::vector<std::uint8_t>& bytes, u128 position) {
  std::uint32_t value = 0;
  for (unsigned byte = 0; byte < 4; ++byte) {
    value |= std::uint32_t{bytes[static_cast<std::size_t>(position + byte)]} << (8 * byte);
  }
  return value;
}

// The sample size, computed in 128 bits: 4 (N + 1) for boundary samples, 8 N otherwise.
u128 exact_sample_bytes(std::uint64_t steps, bool boundary) {
  return boundary ? (u128{steps} + 1) * 4 : u128{steps} * 8;
}

void check_sample_bytes(std::uint64_t steps, bool boundary) {
  const auto size = tessel_runtime::profile_sample_bytes(steps, boundary);
  const u128 exact = exact_sample_bytes(steps, boundary);
  if (exact > U64_MAX) {
    require(!size && size.error().message == "profile sample size overflow");
  } else {
    require(size && *size == exact);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);

  // The size computation on its own, over the whole 64-bit range of step counts.
  const std::uint64_t step_count = input.ConsumeBool() ? U64_MAX - input.ConsumeIntegralInRange<std::uint64_t>(0, 8)
                                                       : input.ConsumeIntegral<std::uint64_t>();
  check_sample_bytes(step_count, input.ConsumeBool());

  const std::uint64_t clock_hz = input.ConsumeIntegral<std::uint64_t>();
  tessel_runtime::ProfileLayout layout;
  const auto tile_count = input.ConsumeIntegralInRange<std::size_t>(0, 6);
  const auto output_size = input.ConsumeIntegralInRange<std::size_t>(0, 512);
  layout.output_offset = offset(input, output_size);
  for (std::size_t t = 0; t < tile_count; ++t) {
    auto& tile = layout.tiles.emplace_back();
    tile.physical_tile = input.ConsumeIntegral<std::uint32_t>();
    tile.file_offset = offset(input, output_size);
    tile.boundary_samples = input.ConsumeBool();
    const auto steps = input.ConsumeIntegralInRange<std::uint32_t>(0, 24);
    for (std::uint32_t i = 0; i < steps; ++i) {
      tile.steps.push_back(tessel_package::ProfileStep{
          .local_index = i,
          .phase = static_cast<std::uint32_t>(t),
          .epoch = 0,
          .operation = "t" + std::to_string(t),
          .kind = static_cast<tessel_package::ProfileStepKind>(i % 4),
          .kernel = {},
          .metadata = {{"step", std::to_string(i)}},
      });
    }
  }
  std::vector<std::uint8_t> output = input.ConsumeBytes<std::uint8_t>(output_size);
  output.resize(output_size, 0xA5);

  const auto report = layout.decode(output, clock_hz);

  // The first bound broken, in the order decoding meets them.
  std::string expected_error;
  if (layout.output_offset > output.size()) {
    expected_error = "profile output offset exceeds host result";
  } else {
    const u128 area = output.size() - layout.output_offset;
    for (const auto& tile : layout.tiles) {
      if (u128{tile.file_offset} + exact_sample_bytes(tile.steps.size(), tile.boundary_samples) > area) {
        expected_error = "profile tile range exceeds host result";
        break;
      }
    }
  }
  if (!expected_error.empty()) {
    require(!report && report.error().message == expected_error);
    return 0;
  }

  require(report.has_value());
  require(report->clock_hz == clock_hz);
  require(report->tiles.size() == layout.tiles.size());
  for (std::size_t t = 0; t < layout.tiles.size(); ++t) {
    const auto& tile = layout.tiles[t];
    const auto& decoded = report->tiles[t];
    require(decoded.physical_tile == tile.physical_tile);
    require(decoded.samples.size() == tile.steps.size());
    const u128 first = u128{layout.output_offset} + tile.file_offset;
    for (std::size_t i = 0; i < tile.steps.size(); ++i) {
      const auto& sample = decoded.samples[i];
      require(sample.step == tile.steps[i]);
      const u128 start = tile.boundary_samples ? first + 4 * u128{i} : first + 8 * u128{i};
      require(sample.start_cycle == word_at(output, start));
      require(sample.end_cycle == word_at(output, start + 4));
    }
  }
  return 0;
}
