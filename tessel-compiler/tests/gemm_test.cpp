#include <catch2/catch.hpp>

#include "tessel_compiler/gemm.hpp"

using tessel_compiler::GemmDataType;

TEST_CASE("GEMM data types give their tag and weight element size") {
  auto [data_type, tag, bytes] = GENERATE(table<GemmDataType, std::uint8_t, std::uint32_t>({
      {GemmDataType::F16{}, 0, 2},
      {GemmDataType::F16F8Weights{-3}, 1, 1},
      {GemmDataType::F8F143{2, -5}, 2, 1},
      {GemmDataType::F32{}, 3, 4},
  }));
  CAPTURE(tag);
  CHECK(data_type.tag() == tag);
  CHECK(data_type.weight_element_bytes() == bytes);
}
