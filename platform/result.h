// Errors as values: a Result<T> holds either a T or an Error, never both and never neither.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace tamsel {

// A failure: the errno (or platform status) read right after it, and a human-readable text.
struct Error {
  int code = 0;
  std::string description;

  // An Error for the errno of a failed call, described as "<what>: <strerror>".
  static Error fromErrno(int err, std::string_view what);
};

// The system's text for an errno value ("No such file or directory").
std::string errnoText(int err);

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}  // NOLINT: implicit by design
  Result(Error error) : v_(std::in_place_index<1>, std::move(error)) {}  // NOLINT

  bool ok() const { return v_.index() == 0; }
  explicit operator bool() const { return ok(); }

  T& value() & {
    assert(ok());
    return std::get<0>(v_);
  }
  const T& value() const& {
    assert(ok());
    return std::get<0>(v_);
  }
  T&& value() && {
    assert(ok());
    return std::get<0>(std::move(v_));
  }
  T* operator->() { return &value(); }
  const T* operator->() const { return &value(); }
  T& operator*() & { return value(); }
  const T& operator*() const& { return value(); }

  const Error& error() const {
    assert(!ok());
    return std::get<1>(v_);
  }

 private:
  std::variant<T, Error> v_;
};

// Success or an Error, for operations that produce nothing else.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(Error error) : error_(std::move(error)), failed_(true) {}  // NOLINT: implicit by design

  static Status success() { return {}; }
  bool ok() const { return !failed_; }
  explicit operator bool() const { return ok(); }
  const Error& error() const {
    assert(failed_);
    return error_;
  }

 private:
  Error error_;
  bool failed_ = false;
};

}  // namespace tamsel
