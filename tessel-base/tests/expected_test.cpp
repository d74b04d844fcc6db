#include <catch2/catch.hpp>

#include <string>
#include <vector>

#include "tessel/error.hpp"
#include "tessel/expected.hpp"
#include "tessel/internal_error.hpp"
#include "tessel/text.hpp"

namespace {

tessel::Result<int> parse_positive(int value) {
  if (value <= 0) return tessel::fail("value {} is not positive", value);
  return value;
}

tessel::Result<int> doubled(int value) {
  TESSEL_TRY(positive, parse_positive(value));
  return positive * 2;
}

tessel::Expected<void, tessel::Error> check_positive(int value) {
  TESSEL_TRY_VOID(parse_positive(value));
  return {};
}

}  // namespace

TEST_CASE("Expected holds a value or an error and passes errors up") {
  const auto ok = doubled(4);
  REQUIRE(ok.has_value());
  REQUIRE(static_cast<bool>(ok));
  CHECK(*ok == 8);
  CHECK(ok.value() == 8);

  const auto failed = doubled(-3);
  REQUIRE_FALSE(failed.has_value());
  CHECK(failed.error().message == "value -3 is not positive");
  CHECK(failed.value_or(7) == 7);

  CHECK(check_positive(1).has_value());
  REQUIRE_FALSE(check_positive(0).has_value());
  CHECK(check_positive(0).error().message == "value 0 is not positive");
}

TEST_CASE("value() on an error throws with the error's display text") {
  const tessel::Result<std::vector<int>> failed = tessel::fail("no {}-byte region in SRAM arena", 48);
  CHECK_THROWS_MATCHES(failed.value(), tessel::BadExpectedAccess,
                       Catch::Matchers::Message("no 48-byte region in SRAM arena"));
  const tessel::Expected<void, tessel::Error> void_failed = tessel::fail("broken");
  CHECK_THROWS_MATCHES(void_failed.value(), tessel::BadExpectedAccess, Catch::Matchers::Message("broken"));
}

TEST_CASE("Expected works when value and error types coincide") {
  const tessel::Expected<std::string, std::string> value = std::string("value");
  const tessel::Expected<std::string, std::string> error = tessel::unexpected(std::string("error"));
  CHECK(value.has_value());
  CHECK(*value == "value");
  CHECK_FALSE(error.has_value());
  CHECK(error.error() == "error");
}

TEST_CASE("Expected gives access to members through the arrow operator") {
  tessel::Result<std::vector<int>> list = std::vector<int>{1, 2, 3};
  CHECK(list->size() == 3);
  list->push_back(4);
  CHECK(list.value().back() == 4);
}

TEST_CASE("internal errors carry their exact texts") {
  CHECK_THROWS_MATCHES(tessel::invariant(false, "granularity.is_power_of_two()"), tessel::InternalError,
                       Catch::Matchers::Message("assertion failed: granularity.is_power_of_two()"));
  CHECK_NOTHROW(tessel::invariant(true, "never shown"));
  CHECK_THROWS_MATCHES(tessel::unreachable("expected a compute phase"), tessel::InternalError,
                       Catch::Matchers::Message("internal error: entered unreachable code: expected a compute phase"));
}

TEST_CASE("quoted text escapes like a string literal") {
  using Row = std::tuple<std::string, std::string>;
  auto [text, expected] = GENERATE(table<std::string, std::string>({
      Row{"plain", "\"plain\""},
      Row{"say \"hi\"", "\"say \\\"hi\\\"\""},
      Row{"back\\slash", "\"back\\\\slash\""},
      Row{"line\nbreak\ttab\rret", "\"line\\nbreak\\ttab\\rret\""},
      Row{std::string("nul\0", 4), "\"nul\\0\""},
      Row{"\x1b[0m", "\"\\u{1b}[0m\""},
      Row{"", "\"\""},
  }));
  CAPTURE(text);
  CHECK(tessel::quoted(text) == expected);
}
