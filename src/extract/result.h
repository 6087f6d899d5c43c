#pragma once

#include <string>
#include <utility>
#include <variant>

namespace framepick {

// A failure that the caller reports rather than a bug: its message is shown to the user as is.
struct Failure {
  std::string message;
};

template <typename T>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}
  Result(Failure failure) : state_(std::move(failure)) {}

  bool ok() const { return std::holds_alternative<T>(state_); }
  T& value() { return std::get<T>(state_); }
  const T& value() const { return std::get<T>(state_); }
  const std::string& error() const { return std::get<Failure>(state_).message; }

 private:
  std::variant<T, Failure> state_;
};

}  // namespace framepick
