#pragma once
// Value-or-error result used by every fallible operation.
//
// `Expected<T, E>` follows the subset of `std::expected` that we use, so it can
// be swapped for the standard type once every supported compiler ships it.
// The one deliberate difference: `value()` on an error throws
// `BadExpectedAccess`, whose `what()` is the error's display text, so a caller
// that requires a value fails with the error's own message.

#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

#include <fmt/format.h>

namespace tessel {

// Thrown by `Expected::value()` when it holds an error.
class BadExpectedAccess : public std::exception {
 public:
  explicit BadExpectedAccess(std::string message) : message_(std::move(message)) {}
  [[nodiscard]] const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

template <class E>
class Unexpected {
 public:
  explicit Unexpected(E error) : error_(std::move(error)) {}
  [[nodiscard]] const E& error() const& { return error_; }
  [[nodiscard]] E& error() & { return error_; }
  [[nodiscard]] E&& error() && { return std::move(error_); }

 private:
  E error_;
};

template <class E>
[[nodiscard]] Unexpected<std::decay_t<E>> unexpected(E&& error) {
  return Unexpected<std::decay_t<E>>(std::forward<E>(error));
}

namespace detail {
template <class T>
struct is_unexpected : std::false_type {};
template <class E>
struct is_unexpected<Unexpected<E>> : std::true_type {};

template <class E>
[[noreturn]] void throw_bad_access(const E& error) {
  if constexpr (fmt::is_formattable<E>::value) {
    throw BadExpectedAccess(fmt::format("{}", error));
  } else {
    throw BadExpectedAccess("bad expected access");
  }
}
}  // namespace detail

template <class T, class E>
class [[nodiscard]] Expected {
 public:
  using value_type = T;
  using error_type = E;

  template <class U = T>
    requires(std::is_constructible_v<T, U &&> &&
             !std::is_same_v<std::remove_cvref_t<U>, Expected> &&
             !detail::is_unexpected<std::remove_cvref_t<U>>::value)
  Expected(U&& value)  // NOLINT(google-explicit-constructor,bugprone-forwarding-reference-overload): constrained as std::expected's
      : storage_(std::in_place_index<0>, std::forward<U>(value)) {}

  template <class G>
    requires std::is_constructible_v<E, const G&>
  Expected(const Unexpected<G>& error)  // NOLINT(google-explicit-constructor)
      : storage_(std::in_place_index<1>, error.error()) {}

  template <class G>
    requires std::is_constructible_v<E, G &&>
  Expected(Unexpected<G>&& error)  // NOLINT(google-explicit-constructor)
      : storage_(std::in_place_index<1>, std::move(error).error()) {}

  [[nodiscard]] bool has_value() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  [[nodiscard]] T& value() & {
    if (!has_value()) detail::throw_bad_access(error());
    return std::get<0>(storage_);
  }
  [[nodiscard]] const T& value() const& {
    if (!has_value()) detail::throw_bad_access(error());
    return std::get<0>(storage_);
  }
  [[nodiscard]] T&& value() && {
    if (!has_value()) detail::throw_bad_access(error());
    return std::get<0>(std::move(storage_));
  }

  // Precondition: holds an error.
  [[nodiscard]] const E& error() const& { return std::get<1>(storage_); }
  [[nodiscard]] E& error() & { return std::get<1>(storage_); }
  [[nodiscard]] E&& error() && { return std::get<1>(std::move(storage_)); }

  // Precondition: holds a value.
  [[nodiscard]] T& operator*() & { return std::get<0>(storage_); }
  [[nodiscard]] const T& operator*() const& { return std::get<0>(storage_); }
  [[nodiscard]] T&& operator*() && { return std::get<0>(std::move(storage_)); }
  [[nodiscard]] T* operator->() { return &std::get<0>(storage_); }
  [[nodiscard]] const T* operator->() const { return &std::get<0>(storage_); }

  template <class U>
  [[nodiscard]] T value_or(U&& fallback) const& {
    return has_value() ? **this : static_cast<T>(std::forward<U>(fallback));
  }

 private:
  std::variant<T, E> storage_;
};

template <class E>
class [[nodiscard]] Expected<void, E> {
 public:
  using value_type = void;
  using error_type = E;

  Expected() = default;

  template <class G>
    requires std::is_constructible_v<E, const G&>
  Expected(const Unexpected<G>& error)  // NOLINT(google-explicit-constructor)
      : storage_(std::in_place_index<1>, error.error()) {}

  template <class G>
    requires std::is_constructible_v<E, G &&>
  Expected(Unexpected<G>&& error)  // NOLINT(google-explicit-constructor)
      : storage_(std::in_place_index<1>, std::move(error).error()) {}

  [[nodiscard]] bool has_value() const noexcept { return storage_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  void value() const {
    if (!has_value()) detail::throw_bad_access(error());
  }

  [[nodiscard]] const E& error() const& { return std::get<1>(storage_); }
  [[nodiscard]] E& error() & { return std::get<1>(storage_); }
  [[nodiscard]] E&& error() && { return std::get<1>(std::move(storage_)); }

 private:
  std::variant<std::monostate, E> storage_;
};

}  // namespace tessel

// Evaluates `expr` (an Expected); on error returns that error from the
// enclosing function, otherwise binds the value to a new variable `var`.
// NOLINTBEGIN(bugprone-macro-parentheses): `var` names a variable
#define TESSEL_TRY(var, expr)                                        \
  auto var##_expected_ = (expr);                                     \
  if (!var##_expected_.has_value())                                  \
    return ::tessel::unexpected(std::move(var##_expected_).error()); \
  auto var = std::move(*var##_expected_)
// NOLINTEND(bugprone-macro-parentheses)

// Like TESSEL_TRY for an Expected<void, E>: returns its error, if any.
#define TESSEL_TRY_VOID(expr)                                           \
  do {                                                                  \
    auto tessel_expected_ = (expr);                                     \
    if (!tessel_expected_.has_value())                                  \
      return ::tessel::unexpected(std::move(tessel_expected_).error()); \
  } while (false)
