#pragma once
// The self-checks: named functions without arguments or result that build
// their fixtures in memory, call a planner and assert properties of the
// result. A check passes by returning and fails by throwing `CheckFailure`
// (a failed assertion) or any other exception (an error where a value was
// required: `Expected::value()` throws with the error's message).

#include <exception>
#include <span>
#include <string>
#include <string_view>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace tessel_runtime::checks {

struct CheckDescriptor {
  std::string_view name;     // registered name, e.g. "placement::tests::..."
  void (*entry)();           // the check
  bool ignored = false;      // skipped unless asked for by name
  bool should_fail = false;  // passes only by failing an assertion
};

// The 28 checks, sorted by name, names unique.
[[nodiscard]] std::span<const CheckDescriptor> registry();

// The checks of each module; `registry` merges them.
[[nodiscard]] std::span<const CheckDescriptor> blocked_data_checks();
[[nodiscard]] std::span<const CheckDescriptor> placement_checks();
[[nodiscard]] std::span<const CheckDescriptor> siglip_checks();
[[nodiscard]] std::span<const CheckDescriptor> static_codegen_checks();
[[nodiscard]] std::span<const CheckDescriptor> regions_checks();    // tests:: of tile-memory placement
[[nodiscard]] std::span<const CheckDescriptor> profiling_checks();  // tests:: of execution profiling

class CheckFailure : public std::exception {
 public:
  explicit CheckFailure(std::string message) : message_(std::move(message)) {}
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

namespace detail {
template <class T>
std::string printable(const T& value) {
  if constexpr (fmt::is_formattable<T>::value) {
    return fmt::format("{}", value);
  } else {
    return "<value without a text form>";
  }
}

template <class Left, class Right>
void check_equal(const Left& left, const Right& right, std::string_view left_text, std::string_view right_text) {
  if (left == right) return;
  throw CheckFailure(fmt::format("assertion failed: {} == {}\n  left: {}\n right: {}", left_text, right_text,
                                 printable(left), printable(right)));
}
}  // namespace detail

}  // namespace tessel_runtime::checks

// "assertion failed: <expression as written>" unless the expression holds.
#define TESSEL_CHECK(...)                                                                  \
  do {                                                                                     \
    if (!(__VA_ARGS__)) throw ::tessel_runtime::checks::CheckFailure("assertion failed: " #__VA_ARGS__); \
  } while (false)

// Equality assertion: reports both expressions and both values.
#define TESSEL_CHECK_EQ(left, right) ::tessel_runtime::checks::detail::check_equal((left), (right), #left, #right)
