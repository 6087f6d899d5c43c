#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace framepick {

// Where a run or a sample stopped.
enum class Stage { kInput, kOutputDirectory, kDecode, kConvert, kEncode, kWrite };

// Why, in the few kinds that callers and tests tell apart.
enum class Cause {
  kUnusableInput,  // the file is not a video that can be read (no duration, no track, damaged)
  kNoFrame,        // nothing on screen at the requested time
  kUnsupported,    // a codec, pixel format or picture size this build cannot handle
  kOutOfTime,      // a time budget ran out
  kOutOfMemory,    // an allocation or the picture budget failed
  kSystem,         // a system call failed; the message is the system's text
};

// A failure that is reported rather than a bug: its message is shown to the user as is.
struct Error {
  Stage stage;
  Cause cause;
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
