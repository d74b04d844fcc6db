#pragma once
// Internal errors: invariants that valid input cannot break.
//
// They are not error values. Breaking one throws `InternalError`, whose
// `what()` is the exact text ("assertion failed: ...", "internal error:
// entered unreachable code: ..."); uncaught it ends the program with that
// text, and tests observe it by catching the exception.

#include <stdexcept>
#include <string>
#include <string_view>

namespace tessel {

class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Throws "assertion failed: {expression}" unless `condition` holds.
// `expression` is the invariant as the message should name it.
inline void invariant(bool condition, std::string_view expression) {
  if (!condition) throw InternalError("assertion failed: " + std::string(expression));
}

// Throws "internal error: entered unreachable code: {what}".
[[noreturn]] inline void unreachable(std::string_view what) {
  throw InternalError("internal error: entered unreachable code: " + std::string(what));
}

}  // namespace tessel
