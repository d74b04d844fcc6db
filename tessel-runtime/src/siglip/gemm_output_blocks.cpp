#include "tessel_runtime/siglip/gemm_output_blocks.hpp"

#include <algorithm>
#include <array>

#include "tessel/internal_error.hpp"
#include "tessel_exchange/instruction.hpp"

namespace tessel_runtime::siglip {
namespace {

constexpr std::array<std::uint16_t, 3> WIDTHS{32, 64, 128};  // candidate order
constexpr std::uint16_t BASELINE_WIDTH = 64;

// Every product below stays far inside 32 bits: widths are at most 128,
// element sizes at most 4 bytes, block counts below 2^27 for 16-bit shapes.
bool fits_one_transfer(std::uint16_t inner_block_columns, std::uint16_t width,
                       const tessel_compiler::GemmDataType& data_type) {
  const std::uint32_t bytes = std::uint32_t{inner_block_columns} * width * data_type.weight_element_bytes();
  return bytes <= tessel_exchange::MAX_TRANSFER_WORDS * 4;
}

std::uint32_t ceiling_div(std::uint32_t numerator, std::uint32_t denominator) {
  return numerator / denominator + (numerator % denominator != 0 ? 1U : 0U);
}

struct Blocking {
  std::uint32_t blocks = 0;  // output blocks of one width
  std::uint32_t waves = 0;   // rounds of `tile_count` tiles needed for them

  bool saturated(std::uint32_t tile_count) const { return blocks * 4 >= waves * tile_count * 3; }
};

tessel::Unexpected<tessel::Error> unsupported_width(std::uint16_t width, std::uint16_t columns) {
  return tessel::fail("GEMM output block width {} must be supported, divide {}, and fit one weight transfer", width,
                      columns);
}

}  // namespace

tessel::Result<std::uint16_t> choose_gemm_output_block_columns(std::uint16_t rows, std::uint16_t row_block_rows,
                                                               std::uint16_t inner_block_columns,
                                                               std::uint16_t columns, std::uint16_t tile_count,
                                                               const tessel_compiler::GemmDataType& data_type,
                                                               std::uint16_t requested) {
  const auto usable = [&](std::uint16_t width) {
    return columns % width == 0 && fits_one_transfer(inner_block_columns, width, data_type);
  };

  if (requested != 0) {
    const bool supported = std::find(WIDTHS.begin(), WIDTHS.end(), requested) != WIDTHS.end();
    if (!supported || !usable(requested)) return unsupported_width(requested, columns);
    return requested;
  }

  if (columns % BASELINE_WIDTH != 0) return tessel::fail("GEMM output columns {} are not divisible by 64", columns);
  tessel::invariant(row_block_rows != 0, "row_block_rows != 0");
  tessel::invariant(tile_count != 0, "tile_count != 0");

  const std::uint32_t row_shards = ceiling_div(rows, row_block_rows);
  const auto blocking = [&](std::uint16_t width) {
    const std::uint32_t blocks = std::uint32_t{columns} / width * row_shards;
    return Blocking{blocks, ceiling_div(blocks, tile_count)};
  };

  const Blocking baseline = blocking(BASELINE_WIDTH);
  std::uint16_t best_width = BASELINE_WIDTH;
  Blocking best = baseline;
  bool best_saturated = baseline.saturated(tile_count);
  for (const std::uint16_t width : WIDTHS) {
    if (!usable(width)) continue;
    const Blocking candidate = blocking(width);
    if (!candidate.saturated(tile_count) || candidate.waves > baseline.waves) continue;
    if (!best_saturated || candidate.waves < best.waves ||
        (candidate.waves == best.waves && candidate.blocks > best.blocks)) {
      best_width = width;
      best = candidate;
      best_saturated = true;
    }
  }
  // The baseline is kept without having passed the transfer test; a width
  // whose weight block cannot be sent is no answer.
  if (!fits_one_transfer(inner_block_columns, best_width, data_type)) return unsupported_width(best_width, columns);
  return best_width;
}

}  // namespace tessel_runtime::siglip
