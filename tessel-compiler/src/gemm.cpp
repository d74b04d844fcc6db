#include "tessel_compiler/gemm.hpp"

#include "tessel/text.hpp"

namespace tessel_compiler {

std::uint8_t GemmDataType::tag() const noexcept {
  static_assert(std::variant_size_v<Value> <= 256, "the tag is 8 bits");
  return static_cast<std::uint8_t>(value.index());
}

std::uint32_t GemmDataType::weight_element_bytes() const noexcept {
  return std::visit(tessel::Overloaded{
                        [](const F16&) { return 2U; },
                        [](const F16F8Weights&) { return 1U; },
                        [](const F8F143&) { return 1U; },
                        [](const F32&) { return 4U; },
                    },
                    value);
}

}  // namespace tessel_compiler
