// How a step of the vyr command reports failure: a Result is either the step's value or one line
// saying what failed, for the user as it stands. The one convention of the command's own code;
// the exit status is decided where the line is printed.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <variant>

namespace vyr {

// What failed, in one line.
struct Failure {
  std::string line;
};

inline Failure failed(std::string line) {
  return Failure{std::move(line)};
}

// The value of a step that worked, or its Failure.
template <class T = void>
class [[nodiscard]] Result {
 public:
  Result(T value) : state_(std::move(value)) {}  // NOLINT(google-explicit-constructor)
  Result(Failure f) : state_(std::move(f)) {}    // NOLINT(google-explicit-constructor)

  bool ok() const { return state_.index() == 0; }
  explicit operator bool() const { return ok(); }
  // The value; only when ok().
  const T& operator*() const& { return std::get<0>(state_); }
  T&& operator*() && { return std::get<0>(std::move(state_)); }
  const T* operator->() const { return &std::get<0>(state_); }
  // The line saying what failed; only when !ok().
  const std::string& error() const { return std::get<1>(state_).line; }

 private:
  std::variant<T, Failure> state_;
};

// A step with nothing to give back but whether it worked.
template <>
class [[nodiscard]] Result<void> {
 public:
  Result() = default;
  Result(Failure f) : failure_(std::move(f.line)) {}  // NOLINT(google-explicit-constructor)

  bool ok() const { return !failure_; }
  explicit operator bool() const { return ok(); }
  const std::string& error() const { return *failure_; }

 private:
  std::optional<std::string> failure_;
};

}  // namespace vyr
