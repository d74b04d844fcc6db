// f143 encoding of arbitrary float bits under an arbitrary scale against the
// nearest-code search, and the block functions against the element ones:
// every kernel the processor has, on the same floats, and block decoding of
// the raw input bytes, bit for bit.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

#include "../tessel-runtime/tests/f143_reference.hpp"
#include "tessel_runtime/blocked_data/f143.hpp"

namespace {
namespace f143 = tessel_runtime::blocked_data;

constexpr std::size_t MAX_VALUES = 1024;

void require(bool condition) {
  if (!condition) std::abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const auto scale = input.ConsumeIntegral<std::int8_t>();
  const std::vector<std::uint8_t> rest = input.ConsumeRemainingBytes<std::uint8_t>();

  std::vector<float> values(std::min(rest.size() / sizeof(float), MAX_VALUES));
  if (!values.empty()) std::memcpy(values.data(), rest.data(), values.size() * sizeof(float));
  for (const float value : values) require(f143::f143_from_f32(value, scale) == f143_reference::encode(value, scale));

  const std::span<const std::uint8_t> codes(rest.data(), std::min(rest.size(), MAX_VALUES));
  for (const auto kernel : {f143::F143Kernel::portable, f143::F143Kernel::avx2, f143::F143Kernel::avx512}) {
    if (!f143::f143_kernel_supported(kernel)) continue;
    std::vector<std::uint8_t> bytes(values.size());
    require(f143::f143_encode(values, scale, bytes, kernel).has_value());
    for (std::size_t i = 0; i < values.size(); ++i) require(bytes[i] == f143::f143_from_f32(values[i], scale));

    std::vector<float> decoded(codes.size());
    require(f143::f143_decode(codes, scale, decoded, kernel).has_value());
    for (std::size_t i = 0; i < codes.size(); ++i) {
      require(std::bit_cast<std::uint32_t>(decoded[i]) == std::bit_cast<std::uint32_t>(f143::f143_to_f32(codes[i], scale)));
    }
  }
  return 0;
}
