#pragma once

// Error and Result: the one way failures travel.

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace framepick {

// A failure that is reported rather than a bug. Its message is the whole of it: shown to the
// user as is, and the only thing callers (and tests) can tell failures apart by.
struct Error {
  std::string message;
};

template <typename T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Error error) : state_(std::move(error)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  T& value() { return std::get<T>(state_); }
  const T& value() const { return std::get<T>(state_); }
  const Error& error() const { return std::get<Error>(state_); }

 private:
  std::variant<T, Error> state_;
};

template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Error error) : error_(std::move(error)) {}

  bool ok() const { return !error_; }
  const Error& error() const { return *error_; }

 private:
  std::optional<Error> error_;
};

}  // namespace framepick
