// f143 block encoding and decoding beside memcpy of the same input bytes.
//
// A row's size is the bytes it reads: encoding reads that many bytes of
// floats and writes a quarter as many bytes, decoding reads that many bytes
// and writes four times as many bytes of floats, the baseline copies that
// many bytes. Every row reports bytes read plus bytes written per second, so
// a row's rate over the baseline's is the share of memcpy bandwidth it
// reaches.
#include <cstring>
#include <optional>
#include <random>
#include <span>
#include <vector>

#include <fmt/format.h>

#include "bench.hpp"
#include "tessel_runtime/blocked_data/f143.hpp"

namespace {

using tessel_runtime::blocked_data::F143Kernel;

const tessel_bench::Sweep BLOCK_SIZES{{1 << 20, 64 << 20}, benchmark::oN};

std::size_t input_bytes(const benchmark::State& state) { return static_cast<std::size_t>(state.range(0)); }

void report(benchmark::State& state, std::size_t bytes_read, std::size_t bytes_written) {
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(bytes_read + bytes_written));
  state.SetComplexityN(state.range(0));
}

// Weights-like values: normally distributed, in a block scaled to them.
std::vector<float> random_values(std::size_t count) {
  std::mt19937 random(11);
  std::normal_distribution<float> distribution(0.0F, 1.0F);
  std::vector<float> values(count);
  for (float& value : values) value = distribution(random);
  return values;
}

std::vector<std::uint8_t> random_bytes(std::size_t count) {
  std::mt19937 random(13);
  std::vector<std::uint8_t> bytes(count);
  for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
  return bytes;
}

// With no kernel named, `f143_encode` picks the fastest.
void encode(benchmark::State& state, std::optional<F143Kernel> kernel) {
  if (kernel.has_value() && !tessel_runtime::blocked_data::f143_kernel_supported(*kernel)) {
    state.SkipWithError("kernel not supported by this processor");
    return;
  }
  const std::vector<float> values = random_values(input_bytes(state) / sizeof(float));
  const std::int8_t scale = tessel_runtime::blocked_data::f143_scale(values);
  std::vector<std::uint8_t> bytes(values.size());
  for (auto _ : state) {
    const auto encoded = kernel.has_value() ? tessel_runtime::blocked_data::f143_encode(values, scale, bytes, *kernel)
                                            : tessel_runtime::blocked_data::f143_encode(values, scale, bytes);
    if (!encoded.has_value()) state.SkipWithError(encoded.error().message.c_str());
    benchmark::DoNotOptimize(bytes.data());
    benchmark::ClobberMemory();
  }
  report(state, values.size() * sizeof(float), bytes.size());
}


void decode(benchmark::State& state, std::optional<F143Kernel> kernel) {
  if (kernel.has_value() && !tessel_runtime::blocked_data::f143_kernel_supported(*kernel)) {
    state.SkipWithError("kernel not supported by this processor");
    return;
  }
  const std::vector<std::uint8_t> bytes = random_bytes(input_bytes(state));
  std::vector<float> values(bytes.size());
  for (auto _ : state) {
    const auto decoded = kernel.has_value() ? tessel_runtime::blocked_data::f143_decode(bytes, -7, values, *kernel)
                                            : tessel_runtime::blocked_data::f143_decode(bytes, -7, values);
    if (!decoded.has_value()) state.SkipWithError(decoded.error().message.c_str());
    benchmark::DoNotOptimize(values.data());
    benchmark::ClobberMemory();
  }
  report(state, bytes.size(), values.size() * sizeof(float));
}

// Each direction with the kernel the library picks, then with each kernel.
const bool registered_conversions = [] {
  tessel_bench::add("f143/encode", BLOCK_SIZES, [](benchmark::State& state) { encode(state, std::nullopt); });
  for (const F143Kernel kernel : {F143Kernel::portable, F143Kernel::avx2, F143Kernel::avx512}) {
    tessel_bench::add(fmt::format("f143/encode/{}", tessel_runtime::blocked_data::f143_kernel_name(kernel)), BLOCK_SIZES,
                      [kernel](benchmark::State& state) { encode(state, kernel); });
  }
  tessel_bench::add("f143/decode", BLOCK_SIZES, [](benchmark::State& state) { decode(state, std::nullopt); });
  for (const F143Kernel kernel : {F143Kernel::portable, F143Kernel::avx2, F143Kernel::avx512}) {
    tessel_bench::add(fmt::format("f143/decode/{}", tessel_runtime::blocked_data::f143_kernel_name(kernel)), BLOCK_SIZES,
                      [kernel](benchmark::State& state) { decode(state, kernel); });
  }
  return true;
}();

const bool registered_baseline = tessel_bench::add("f143/baseline_memcpy", BLOCK_SIZES, [](benchmark::State& state) {
  const std::vector<std::uint8_t> source = random_bytes(input_bytes(state));
  std::vector<std::uint8_t> target(source.size());
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), source.size());
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  report(state, source.size(), target.size());
});

}  // namespace
