#pragma once
// The output block width of a blocked GEMM.
//
// The output of `rows` x `columns` splits into blocks of `row_block_rows`
// rows by a width of 32, 64 or 128 columns, spread over `tile_count` tiles.
// Each block needs a weight block of `inner_block_columns` x width elements
// that must travel in one exchange transfer (MAX_TRANSFER_WORDS words).
//
// With `requested` nonzero the width is validated and returned unchanged:
// it must be 32, 64 or 128, divide `columns`, and its weight block must fit
// one transfer.
//
// With `requested` 0 the width is chosen; `columns` must be a multiple of 64.
// Width 64 is the baseline: its waves (ceil(blocks / tile_count)) bound the
// others. A width is saturated when its blocks fill at least three quarters
// of the tile slots of their waves. Among saturated widths that fit one
// transfer and cost no more waves than the baseline, fewer waves win, then
// more blocks (the narrower width); when none qualifies the result is 64,
// which is an error when its weight block does not fit one transfer.
//
// `row_block_rows` and `tile_count` must not be 0 when `requested` is 0:
// that breaks an invariant ("assertion failed: row_block_rows != 0").

#include <cstdint>

#include "tessel/error.hpp"
#include "tessel_compiler/gemm.hpp"

namespace tessel_runtime::siglip {

[[nodiscard]] tessel::Result<std::uint16_t> choose_gemm_output_block_columns(
    std::uint16_t rows, std::uint16_t row_block_rows, std::uint16_t inner_block_columns, std::uint16_t columns,
    std::uint16_t tile_count, const tessel_compiler::GemmDataType& data_type, std::uint16_t requested);

}  // namespace tessel_runtime::siglip
