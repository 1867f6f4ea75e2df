#include "io/file.hpp"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "binding/unlocked.hpp"

namespace quarn::io {

std::string os_error_text(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(err) + ")";
}

Error read_error(Error&& error) {
  if (error.as_is()) return std::move(error);
  // The errno and file name go along with the new text.
  error.kind = binding::ErrorKind::RuntimeError;
  error.text = "read error: " + error.text;
  return std::move(error);
}

File::File(File&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    path_ = std::move(other.path_);
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Result<File> File::open(std::string_view path) {
  std::string text(path);
  if (text.find('\0') != std::string::npos) {
    return Error::value("cannot open " + text + ": file name contained an unexpected NUL byte");
  }
  // Opening a pipe waits for its writer, possibly for ever: a signal that
  // interrupts the wait gets its handlers run, so Ctrl-C ends it.
  int fd;
  for (;;) {
    // Without the interpreter lock: the writer may be a thread of this process.
    int err = 0;
    {
      binding::Unlocked unlocked;
      fd = ::open(text.c_str(), O_RDONLY | O_CLOEXEC);
      err = errno;
    }
    errno = err;
    if (fd >= 0 || errno != EINTR) break;
    if (!binding::check_signals()) return Error::python();
  }
  if (fd < 0) {
    int err = errno;
    return Error::os(binding::ErrorKind::ValueError,
                     "cannot open " + text + ": " + os_error_text(err), err, text);
  }
  return File(fd, std::move(text));
}

Result<std::size_t> File::read(void* buf, std::size_t n) {
  // Signals are checked before the read, never after it: an exception raised
  // by a handler must not throw away bytes already taken from the file, or a
  // caller that goes on after the exception (an iterator) would skip them.
  if (!binding::check_signals()) return Error::python();
  for (;;) {
    ssize_t got = ::read(fd_, buf, n);
    if (got >= 0) return static_cast<std::size_t>(got);
    int err = errno;
    if (err != EINTR) {
      return Error::os(binding::ErrorKind::RuntimeError, os_error_text(err), err, path_);
    }
    if (!binding::check_signals()) return Error::python();
  }
}

std::uint64_t File::size() const {
  struct stat st;
  if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

bool File::seekable() const {
  return ::lseek(fd_, 0, SEEK_CUR) >= 0;
}

Result<std::size_t> File::pread_retried(std::uint64_t offset, void* buf, std::size_t n,
                                        bool run_handlers) const {
  for (;;) {
    ssize_t got = ::pread(fd_, buf, n, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<std::size_t>(got);
    int err = errno;
    if (err != EINTR) {
      return Error::os(binding::ErrorKind::RuntimeError, os_error_text(err), err, path_);
    }
    if (run_handlers && !binding::check_signals()) return Error::python();
  }
}

Result<std::size_t> File::read_at(std::uint64_t offset, void* buf, std::size_t n) const {
  return pread_retried(offset, buf, n, true);
}

Result<std::size_t> File::read_at_unlocked(std::uint64_t offset, void* buf, std::size_t n) const {
  return pread_retried(offset, buf, n, false);
}

bool File::positional() const {
  char c;
  return ::pread(fd_, &c, 0, static_cast<off_t>(position())) == 0;
}

std::uint64_t File::position() const {
  off_t at = ::lseek(fd_, 0, SEEK_CUR);
  return at > 0 ? static_cast<std::uint64_t>(at) : 0;
}

FileSource::FileSource(File file)
    : file_(std::move(file)),
      size_(file_.size()),
      rereadable_(file_.seekable()),
      positional_(rereadable_ && file_.positional()),
      offset_(positional_ ? file_.position() : 0),
      pid_(::getpid()) {}

Result<std::size_t> FileSource::read(std::uint8_t* buf, std::size_t n) {
  if (positional_) {
    // As File::read does: handlers run before the read, never after it.
    if (!binding::check_signals()) return Error::python();
    auto got = file_.read_at(offset_, buf, n);
    if (got.ok()) offset_ += got.value();
    return got;
  }
  if (::getpid() != pid_) {
    return Error::runtime(
        "a pipe opened before a fork cannot be read in the child process: open it again there");
  }
  if (!ready()) {
    // A pipe with nothing in it: waited for without the interpreter lock, as
    // its writer may be a thread of this process. A signal ends the wait,
    // and the read below runs its handlers.
    pollfd p{file_.fd(), POLLIN, 0};
    binding::Unlocked unlocked;
    ::poll(&p, 1, -1);
  }
  return file_.read(buf, n);
}

Result<std::size_t> FileSource::read_at(std::uint64_t offset, std::uint8_t* buf, std::size_t n) {
  return file_.read_at(offset, buf, n);
}

Result<std::size_t> FileSource::read_unlocked(std::uint8_t* buf, std::size_t n) {
  auto got = file_.read_at_unlocked(offset_, buf, n);
  if (got.ok()) offset_ += got.value();
  return got;
}

bool FileSource::ready() const {
  if (size_ > 0 || rereadable_) return true;
  pollfd p{file_.fd(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

}  // namespace quarn::io
