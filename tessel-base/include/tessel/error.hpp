#pragma once
// The generic error of runtime operations: one message text.

#include <string>
#include <utility>

#include <fmt/format.h>

#include "tessel/expected.hpp"

namespace tessel {

struct Error {
  std::string message;  // display text: lower case, no final full stop

  bool operator==(const Error&) const = default;
};

// `return tessel::fail("no {}-byte region", size);` reads like the message it
// produces.
template <class... Args>
[[nodiscard]] Unexpected<Error> fail(fmt::format_string<Args...> format, Args&&... args) {
  return Unexpected<Error>(Error{fmt::format(format, std::forward<Args>(args)...)});
}

// Passes any displayable error on as a generic error whose message is its
// display text.
template <class E>
[[nodiscard]] Error to_error(const E& error) {
  return Error{fmt::format("{}", error)};
}

template <class T>
using Result = Expected<T, Error>;

}  // namespace tessel

template <>
struct fmt::formatter<tessel::Error> : fmt::formatter<std::string_view> {
  template <class Context>
  auto format(const tessel::Error& error, Context& context) const {
    return fmt::formatter<std::string_view>::format(error.message, context);
  }
};
