// Value-or-error results for every fallible step.
//
// Errors travel as values up to the call boundary, which is the only place
// that turns them into Python exceptions.
#pragma once

#include <cassert>
#include <string>
#include <utility>
#include <variant>

namespace quarn::binding {

enum class ErrorKind : unsigned char {
  ValueError,
  RuntimeError,
  // The interpreter already holds the exception (a failed C API call, a
  // signal handler that raised); the boundary passes it through unchanged.
  Python,
  // Compressed data that is damaged, truncated or past the decoder's limits:
  // raised as quarn.CompressedDataError with its text as it is.
  CompressedData,
};

struct Error {
  ErrorKind kind;
  std::string text;
  // Set when the operating system reported the failure: its errno and the
  // file it concerned. The boundary then raises a class that is also the
  // matching OSError subclass.
  int os_errno = 0;
  std::string filename;

  [[nodiscard]] static Error value(std::string text) {
    return {ErrorKind::ValueError, std::move(text), 0, {}};
  }
  [[nodiscard]] static Error runtime(std::string text) {
    return {ErrorKind::RuntimeError, std::move(text), 0, {}};
  }
  [[nodiscard]] static Error python() { return {ErrorKind::Python, {}, 0, {}}; }
  [[nodiscard]] static Error compressed_data(std::string text) {
    return {ErrorKind::CompressedData, std::move(text), 0, {}};
  }
  [[nodiscard]] static Error os(ErrorKind kind, std::string text, int err, std::string filename) {
    return {kind, std::move(text), err, std::move(filename)};
  }

  // Whether the error reaches the caller as it is, wherever it passes: the
  // steps that add context to a failure ("read error: ", "cannot read ...")
  // leave these alone.
  [[nodiscard]] bool as_is() const {
    return kind == ErrorKind::Python || kind == ErrorKind::CompressedData;
  }
};

struct Unit {};

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}      // NOLINT: implicit by design
  Result(Error error) : v_(std::move(error)) {}  // NOLINT: implicit by design

  [[nodiscard]] bool ok() const noexcept { return v_.index() == 0; }
  [[nodiscard]] T& value() & {
    assert(ok());
    return *std::get_if<0>(&v_);
  }
  [[nodiscard]] T&& value() && {
    assert(ok());
    return std::move(*std::get_if<0>(&v_));
  }
  [[nodiscard]] Error& error() & {
    assert(!ok());
    return *std::get_if<1>(&v_);
  }
  [[nodiscard]] Error&& error() && {
    assert(!ok());
    return std::move(*std::get_if<1>(&v_));
  }

 private:
  std::variant<T, Error> v_;
};

using Status = Result<Unit>;

inline Status ok_status() {
  return Unit{};
}

}  // namespace quarn::binding
