// Files as the bigjson operations see them: opened read-only and
// close-on-exec, read with interrupted reads retried after the interpreter
// has run its signal handlers, and errors reported in the system's words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "binding/result.hpp"

namespace quarn::api::bigjson {

using binding::Error;
using binding::Result;
using binding::Status;

enum class InputFormat : unsigned char { Json, Jsonl };

// "<strerror text> (os error N)".
[[nodiscard]] std::string os_error_text(int err);

// The error text of a line or file that is not valid UTF-8.
inline constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

// Wraps the error of a failed read into "read error: ..." (RuntimeError);
// interpreter exceptions pass through unchanged.
[[nodiscard]] Error read_error(Error&& error);

class File {
 public:
  File() = default;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  ~File();

  // Opens `path` for reading: "cannot open <path>: <os text>" (ValueError). A
  // pipe without a writer is waited for; a signal handler's exception ends the
  // wait.
  [[nodiscard]] static Result<File> open(std::string_view path);

  // One read of up to `n` bytes; 0 at the end of the file. Pending signal
  // handlers run first (their exception propagates, and then nothing has been
  // read), so long scans stop promptly; an interrupted read runs them too and
  // is retried. Errors carry the bare OS text (kind RuntimeError).
  [[nodiscard]] Result<std::size_t> read(void* buf, std::size_t n);

  // Reads until `n` bytes or the end of the file.
  [[nodiscard]] Result<std::size_t> read_full(void* buf, std::size_t n);

  // Size of a regular file from its status; 0 for anything else (a pipe, a
  // directory, a device) and when the status cannot be had.
  [[nodiscard]] std::uint64_t size() const;

  // Whether the file can be read again from any offset (position_of needs
  // that); pipes and sockets cannot.
  [[nodiscard]] bool seekable() const;

  // Line and column of byte `index`, counted over the file from its start
  // by line feeds (cold: used to place errors only).
  struct Position {
    std::uint64_t line, column;
  };
  [[nodiscard]] Result<Position> position_of(std::uint64_t index) const;

  [[nodiscard]] int fd() const { return fd_; }

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// Reads a file line by line through one buffer; a line longer than the
// buffer is assembled in a second one, so memory is bounded by the longest
// line.
class LineReader {
 public:
  explicit LineReader(File file);

  // The next line including its line feed, if it has one; an empty view at
  // the end of the file. The view stays valid until the next call. At the end
  // of the file a later call reads again (the file may have grown). After an
  // error nothing is lost: the next call goes on with the same line.
  [[nodiscard]] Result<std::string_view> next_line();

  [[nodiscard]] File& file() { return file_; }

 private:
  static constexpr std::size_t kBufferSize = 1 << 16;
  File file_;
  std::unique_ptr<char[]> buf_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  std::string long_line_;
  bool resume_ = false;
};

}  // namespace quarn::api::bigjson
