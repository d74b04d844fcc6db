#pragma once
// Element types of a blocked matrix multiplication (GEMM): what its inputs
// and weights are stored as, with the power-of-two scales of the 8-bit ones.

#include <cstdint>
#include <type_traits>
#include <utility>
#include <variant>

namespace tessel_compiler {

struct GemmDataType {
  // 16-bit floating-point inputs and weights.
  struct F16 {
    bool operator==(const F16&) const = default;
  };
  // 16-bit inputs with 8-bit weights under the power-of-two `scale`.
  struct F16F8Weights {
    std::int8_t scale = 0;  // weight scale exponent
    bool operator==(const F16F8Weights&) const = default;
  };
  // 8-bit f143 inputs and weights, each with its own scale exponent.
  struct F8F143 {
    std::int8_t input_scale = 0;
    std::int8_t weight_scale = 0;
    bool operator==(const F8F143&) const = default;
  };
  // 32-bit floating-point inputs and weights.
  struct F32 {
    bool operator==(const F32&) const = default;
  };

  using Value = std::variant<F16, F16F8Weights, F8F143, F32>;
  Value value;

  template <class V>
    requires std::is_constructible_v<Value, V>
  GemmDataType(V variant) : value(std::move(variant)) {}  // NOLINT(google-explicit-constructor)

  template <class V>
  [[nodiscard]] const V* get_if() const noexcept {
    return std::get_if<V>(&value);
  }

  // The variant's tag: 0 `F16`, 1 `F16F8Weights`, 2 `F8F143`, 3 `F32`.
  [[nodiscard]] std::uint8_t tag() const noexcept;

  // Bytes of one weight element: 2 for `F16`, 1 for the 8-bit weights of
  // `F16F8Weights` and `F8F143`, 4 for `F32`.
  [[nodiscard]] std::uint32_t weight_element_bytes() const noexcept;

  bool operator==(const GemmDataType&) const = default;
};

}  // namespace tessel_compiler
