#pragma once
// Registration helpers of the benchmark suite.
//
// Each planner registers a size sweep and, beside it, a lower-bound baseline
// measured in the same run over the same number of records. `--smoke` keeps
// only the smallest size of each sweep (used by the test suite).

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace tessel_bench {

struct Sweep {
  std::vector<std::int64_t> sizes;
  benchmark::BigO complexity = benchmark::oNLogN;
};

// Registered in main, after the command line is parsed.
struct Registration {
  std::string name;
  std::function<void(benchmark::State&)> body;
  Sweep sweep;
};

std::vector<Registration>& registrations();

// Adds a benchmark to the suite; the sweep's sizes reach the body as
// `state.range(0)`.
inline bool add(std::string name, Sweep sweep, std::function<void(benchmark::State&)> body) {
  registrations().push_back({std::move(name), std::move(body), std::move(sweep)});
  return true;
}

// The sort baseline: sorting n (tile, phase, address) records.
struct Record {
  std::uint16_t tile;
  std::uint64_t phase;
  std::uint32_t address;
};

inline std::vector<Record> random_records(std::size_t count, std::uint64_t seed = 7) {
  std::mt19937_64 random(seed);
  std::vector<Record> records(count);
  for (auto& record : records) {
    record = {static_cast<std::uint16_t>(random() % 1472), random() % 400, static_cast<std::uint32_t>(random())};
  }
  return records;
}

inline void sort_baseline(benchmark::State& state) {
  const auto records = random_records(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) {
    auto copy = records;
    std::sort(copy.begin(), copy.end(), [](const Record& left, const Record& right) {
      if (left.tile != right.tile) return left.tile < right.tile;
      if (left.phase != right.phase) return left.phase < right.phase;
      return left.address < right.address;
    });
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetComplexityN(state.range(0));
}

}  // namespace tessel_bench
