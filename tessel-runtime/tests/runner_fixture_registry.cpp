// A stand-in registry for testing the runner itself: one check that passes,
// one whose assertion fails and one that meets an error where it needs a
// value. Linked instead of the real registry into `tessel_runner_fixture`.
#include "tessel/error.hpp"
#include "tessel_checks/check.hpp"

namespace fixture {

void fails_an_assertion() {
  const int sum = 1 + 1;
  TESSEL_CHECK(sum == 3);
}

void meets_an_error() {
  const tessel::Result<int> result = tessel::fail("no {}-byte region in SRAM arena", 48);
  static_cast<void>(result.value());
}

void passes() { TESSEL_CHECK(1 + 1 == 2); }

}  // namespace fixture

namespace tessel_runtime::checks {

std::span<const CheckDescriptor> registry() {
  static constexpr CheckDescriptor checks[] = {
      {"fixture::fails_an_assertion", &fixture::fails_an_assertion},
      {"fixture::meets_an_error", &fixture::meets_an_error},
      {"fixture::passes", &fixture::passes},
  };
  return checks;
}

}  // namespace tessel_runtime::checks
