#include <catch2/catch.hpp>

#include <algorithm>
#include <string>

#include "tessel_checks/check.hpp"

using tessel_runtime::checks::registry;

TEST_CASE("the registry is sorted, unique and holds runnable checks") {
  const auto checks = registry();
  REQUIRE_FALSE(checks.empty());
  for (std::size_t i = 1; i < checks.size(); ++i) {
    CAPTURE(checks[i].name);
    CHECK(checks[i - 1].name < checks[i].name);
  }
  for (const auto& check : checks) {
    CAPTURE(check.name);
    CHECK(check.entry != nullptr);
    CHECK_FALSE(check.ignored);
    CHECK_FALSE(check.should_fail);
  }
}

TEST_CASE("check assertions report their expression and values") {
  const int relocated = 3;
  CHECK_THROWS_MATCHES([&] { TESSEL_CHECK(relocated >= 4); }(), tessel_runtime::checks::CheckFailure,
                       Catch::Matchers::Message("assertion failed: relocated >= 4"));
  CHECK_THROWS_MATCHES(TESSEL_CHECK_EQ(relocated, 4), tessel_runtime::checks::CheckFailure,
                       Catch::Matchers::Message("assertion failed: relocated == 4\n  left: 3\n right: 4"));
  CHECK_NOTHROW(TESSEL_CHECK_EQ(relocated, 3));
}
