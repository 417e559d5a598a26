// The two failure channels shared by every layer.
//
// 1. A returned error: operations that can fail on their input return
//    Expected<T, E>, holding either the value or the error.
// 2. A hard failure: a lower layer that cannot go on abandons the whole call
//    by throwing HardFailure with its text. Only the module boundary catches
//    it; no layer in between inspects or rewrites it.
#pragma once

#include <exception>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace quillet {

class HardFailure : public std::exception {
 public:
  explicit HardFailure(std::string text) : text_(std::move(text)) {}
  const char* what() const noexcept override { return text_.c_str(); }
  const std::string& text() const noexcept { return text_; }

 private:
  std::string text_;
};

// Abandons the current call with `text`.
[[noreturn]] inline void fail_hard(std::string text) { throw HardFailure(std::move(text)); }

// The prefix every hard failure on an unwrapped error result carries.
inline constexpr const char* kUnwrapErr = "called `Result::unwrap()` on an `Err` value: ";
inline constexpr const char* kUnwrapNone = "called `Option::unwrap()` on a `None` value";

template <class E>
struct Unexpected {
  E error;
};

template <class E>
Unexpected<std::decay_t<E>> unexpected(E&& e) {
  return {std::forward<E>(e)};
}

template <class T, class E>
class Expected {
 public:
  Expected(const T& v) : v_(std::in_place_index<0>, v) {}
  Expected(T&& v) : v_(std::in_place_index<0>, std::move(v)) {}
  template <class G>
    requires std::is_constructible_v<E, G>
  Expected(Unexpected<G> u) : v_(std::in_place_index<1>, std::move(u.error)) {}

  bool has_value() const noexcept { return v_.index() == 0; }
  explicit operator bool() const noexcept { return has_value(); }

  // On input, has_value() is true.
  T& value() & { return std::get<0>(v_); }
  const T& value() const& { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }

  // On input, has_value() is false.
  E& error() & { return std::get<1>(v_); }
  const E& error() const& { return std::get<1>(v_); }
  E&& error() && { return std::get<1>(std::move(v_)); }

 private:
  std::variant<T, E> v_;
};

}  // namespace quillet
