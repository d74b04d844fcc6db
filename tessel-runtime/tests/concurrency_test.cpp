// Every check of the registry, all at once, each in a thread of its own,
// several rounds: checks share no mutable state, so each must pass whatever
// runs beside it. Run under ThreadSanitizer by the tsan preset.
#include <catch2/catch.hpp>

#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "tessel_checks/check.hpp"

TEST_CASE("every check passes while all of them run concurrently") {
  const auto checks = tessel_runtime::checks::registry();
  constexpr int rounds = 3;
  for (int round = 0; round < rounds; ++round) {
    std::vector<std::string> failures(checks.size());
    {
      std::vector<std::jthread> threads;
      threads.reserve(checks.size());
      for (std::size_t i = 0; i < checks.size(); ++i) {
        threads.emplace_back([&, i] {
          try {
            checks[i].entry();
          } catch (const std::exception& error) {
            failures[i] = error.what();
          } catch (...) {
            failures[i] = "unknown exception";
          }
        });
      }
    }
    for (std::size_t i = 0; i < checks.size(); ++i) {
      CAPTURE(round, checks[i].name);
      CHECK(failures[i].empty());
      if (!failures[i].empty()) FAIL_CHECK(failures[i]);
    }
  }
}
