#include <catch2/catch.hpp>

#include <cstdint>
#include <string>

#include "tessel/internal_error.hpp"
#include "tessel_runtime/siglip/gemm_output_blocks.hpp"

using tessel_compiler::GemmDataType;
using tessel_runtime::siglip::choose_gemm_output_block_columns;

namespace {

struct Shape {
  std::uint16_t rows;
  std::uint16_t row_block_rows;
  std::uint16_t inner_block_columns;
  std::uint16_t columns;
  std::uint16_t tile_count;
};

tessel::Result<std::uint16_t> choose(const Shape& shape, const GemmDataType& data_type, std::uint16_t requested) {
  return choose_gemm_output_block_columns(shape.rows, shape.row_block_rows, shape.inner_block_columns, shape.columns,
                                          shape.tile_count, data_type, requested);
}

// 228 row shards over 1472 tiles: 64 gives 4104 blocks in 3 saturated
// waves, 32 needs 6 waves, a 128-wide F16 weight block is 32,768 bytes.
constexpr Shape SIGLIP_MLP{4096, 18, 128, 1152, 1472};

}  // namespace

TEST_CASE("automatic GEMM output block widths") {
  auto [name, shape, data_type, width] = GENERATE(table<std::string, Shape, GemmDataType, std::uint16_t>({
      {"64 is saturated in the fewest waves", SIGLIP_MLP, GemmDataType::F16{}, 64},
      {"128 needs 4 waves against 7 for 64", {4096, 16, 64, 2304, 1472}, GemmDataType::F16{}, 128},
      {"64 is not saturated, 32 fills its wave", {16, 16, 64, 128, 4}, GemmDataType::F16{}, 32},
      {"8-bit weights let 128 fit, its 2 waves are not saturated", SIGLIP_MLP, GemmDataType::F8F143{0, 0}, 64},
      {"8-bit weights let 128 win", {4096, 16, 128, 2304, 1472}, GemmDataType::F16F8Weights{-2}, 128},
      {"no saturated width: the baseline", {16, 16, 64, 64, 4}, GemmDataType::F32{}, 64},
      {"a partial last row shard still counts", {17, 16, 64, 128, 8}, GemmDataType::F16{}, 32},
  }));
  CAPTURE(name);
  const auto chosen = choose(shape, data_type, 0);
  REQUIRE(chosen.has_value());
  CHECK(*chosen == width);
}

TEST_CASE("explicit GEMM output block widths are validated") {
  auto [name, shape, data_type, requested] = GENERATE(table<std::string, Shape, GemmDataType, std::uint16_t>({
      {"accepted though automatic would pick 64", SIGLIP_MLP, GemmDataType::F16{}, 32},
      {"accepted width 64", SIGLIP_MLP, GemmDataType::F16{}, 64},
      {"16,576 bytes fit one transfer", {16, 16, 518, 256, 4}, GemmDataType::F16F8Weights{0}, 32},
      {"columns need not divide by 64", {16, 16, 64, 96, 4}, GemmDataType::F16{}, 32},
      {"zero tiles and row blocks are not read", {16, 0, 64, 128, 0}, GemmDataType::F16{}, 128},
  }));
  CAPTURE(name);
  const auto chosen = choose(shape, data_type, requested);
  REQUIRE(chosen.has_value());
  CHECK(*chosen == requested);
}

TEST_CASE("GEMM output block width failures") {
  auto [name, shape, data_type, requested, message] =
      GENERATE(table<std::string, Shape, GemmDataType, std::uint16_t, std::string>({
          {"128 does not fit one transfer", SIGLIP_MLP, GemmDataType::F16{}, 128,
           "GEMM output block width 128 must be supported, divide 1152, and fit one weight transfer"},
          {"96 is not a supported width", {16, 16, 1, 192, 4}, GemmDataType::F16{}, 96,
           "GEMM output block width 96 must be supported, divide 192, and fit one weight transfer"},
          {"32 does not divide the columns", {16, 16, 64, 1000, 4}, GemmDataType::F16{}, 32,
           "GEMM output block width 32 must be supported, divide 1000, and fit one weight transfer"},
          {"16,608 bytes do not fit one transfer", {16, 16, 519, 256, 4}, GemmDataType::F16F8Weights{0}, 32,
           "GEMM output block width 32 must be supported, divide 256, and fit one weight transfer"},
          {"automatic needs columns divisible by 64", {16, 16, 64, 1000, 4}, GemmDataType::F16{}, 0,
           "GEMM output columns 1000 are not divisible by 64"},
          // 64 needs a 32,768-byte weight block; 32 fits but needs 8 waves
          // against the baseline's 4, so only 64 is left, and it cannot be sent.
          {"the baseline does not fit one transfer", {64, 16, 256, 256, 4}, GemmDataType::F16{}, 0,
           "GEMM output block width 64 must be supported, divide 256, and fit one weight transfer"},
          {"32-bit weights leave only the baseline", SIGLIP_MLP, GemmDataType::F32{}, 0,
           "GEMM output block width 64 must be supported, divide 1152, and fit one weight transfer"},
      }));
  CAPTURE(name);
  const auto chosen = choose(shape, data_type, requested);
  REQUIRE_FALSE(chosen.has_value());
  CHECK(chosen.error().message == message);
}

TEST_CASE("automatic GEMM block search rejects zero row blocks and tile counts as broken invariants") {
  CHECK_THROWS_MATCHES(choose({16, 0, 64, 128, 4}, GemmDataType::F16{}, 0), tessel::InternalError,
                       Catch::Matchers::Message("assertion failed: row_block_rows != 0"));
  CHECK_THROWS_MATCHES(choose({16, 16, 64, 128, 0}, GemmDataType::F16{}, 0), tessel::InternalError,
                       Catch::Matchers::Message("assertion failed: tile_count != 0"));
}
