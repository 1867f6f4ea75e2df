// Files as the bigjson operations see them: opened read-only and
// close-on-exec, read with interrupted reads retried after the interpreter
// has run its signal handlers, and errors reported in the system's words.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "binding/result.hpp"
#include "io/byte_source.hpp"

namespace quarn::io {

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

  // Takes ownership of an open descriptor; `name` stands in errors for its path.
  [[nodiscard]] static File adopt(int fd, std::string name) { return File(fd, std::move(name)); }

  // One read of up to `n` bytes; 0 at the end of the file. Pending signal
  // handlers run first (their exception propagates, and then nothing has been
  // read), so long scans stop promptly; an interrupted read runs them too and
  // is retried. Errors carry the bare OS text (kind RuntimeError).
  [[nodiscard]] Result<std::size_t> read(void* buf, std::size_t n);

  // Size of a regular file from its status; 0 for anything else (a pipe, a
  // directory, a device) and when the status cannot be had.
  [[nodiscard]] std::uint64_t size() const;

  // Whether the file can be read again from any offset (position_of needs
  // that); pipes and sockets cannot.
  [[nodiscard]] bool seekable() const;

  // One read of up to `n` bytes at `offset`, leaving the file position
  // alone; an interrupted read runs the signal handlers and is retried.
  [[nodiscard]] Result<std::size_t> read_at(std::uint64_t offset, void* buf, std::size_t n) const;

  // The same read made without the interpreter lock: it runs no handler (an
  // interrupted read is simply retried) and touches no Python object.
  [[nodiscard]] Result<std::size_t> read_at_unlocked(std::uint64_t offset, void* buf,
                                                     std::size_t n) const;

  // Whether read_at works on this file (a regular file or a device with
  // offsets), which a descriptor that can seek does not always promise.
  [[nodiscard]] bool positional() const;

  // The descriptor's file position; 0 where it has none.
  [[nodiscard]] std::uint64_t position() const;

  [[nodiscard]] int fd() const { return fd_; }

 private:
  File(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  // pread, retried when a signal interrupts it (after the handlers ran,
  // with `run_handlers`, which needs the interpreter lock).
  [[nodiscard]] Result<std::size_t> pread_retried(std::uint64_t offset, void* buf, std::size_t n,
                                                  bool run_handlers) const;
  int fd_ = -1;
  std::string path_;  // as opened, for the errors of later reads
};

// A file opened by path (or any descriptor the File owns).
//
// A file with offsets is read at the source's own offset, never through the
// descriptor's: a forked child shares the descriptor, and its reads would
// otherwise move the parent's position (and take the parent's data). A pipe
// has only the shared position, so a child refuses to read one the parent
// opened, as it refuses compressed data.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(File file);
  [[nodiscard]] Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override;
  [[nodiscard]] std::uint64_t size() const override { return size_; }
  [[nodiscard]] bool sized() const override { return size_ > 0; }
  [[nodiscard]] bool rereadable() const override { return rereadable_; }
  [[nodiscard]] Result<std::size_t> read_at(std::uint64_t offset, std::uint8_t* buf,
                                            std::size_t n) override;
  [[nodiscard]] bool ready() const override;
  [[nodiscard]] bool lock_free() const override { return positional_; }
  [[nodiscard]] Result<std::size_t> read_unlocked(std::uint8_t* buf, std::size_t n) override;

 private:
  File file_;
  std::uint64_t size_;
  bool rereadable_;
  bool positional_;       // read at offset_ (pread), else through the descriptor
  std::uint64_t offset_;  // the next byte's, where positional_
  pid_t pid_;             // the process that opened it
};

}  // namespace quarn::io
