#include <cstring>
#include <string>
#include <vector>

#include "bench.hpp"

namespace tessel_bench {
std::vector<Registration>& registrations() {
  static std::vector<Registration> all;
  return all;
}
}  // namespace tessel_bench

int main(int argc, char** argv) {
  bool smoke = false;
  std::vector<char*> arguments;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smoke") == 0) {
      smoke = true;
    } else {
      arguments.push_back(argv[i]);
    }
  }
  for (auto& registration : tessel_bench::registrations()) {
    auto* benchmark = benchmark::RegisterBenchmark(registration.name.c_str(), registration.body);
    const auto& sizes = registration.sweep.sizes;
    if (smoke) {
      benchmark->Arg(sizes.front())->Iterations(1);
      continue;
    }
    for (const auto size : sizes) benchmark->Arg(size);
    if (sizes.size() > 1) benchmark->Complexity(registration.sweep.complexity);
    benchmark->Unit(benchmark::kMillisecond);
  }
  int count = static_cast<int>(arguments.size());
  benchmark::Initialize(&count, arguments.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
