#include "io/range.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quarn::io {

Result<std::shared_ptr<SharedFile>> SharedFile::open(std::string_view path) {
  auto opened = File::open(path);
  if (!opened.ok()) return std::move(opened).error();
  const std::uint64_t size = opened.value().size();
  return std::shared_ptr<SharedFile>(
      new SharedFile(std::move(opened).value(), std::string(path), size));
}

Result<std::size_t> SharedFile::pread(std::uint64_t offset, std::uint8_t* buf,
                                      std::size_t n) const {
  for (;;) {
    const ssize_t got = ::pread(file_.fd(), buf, n, static_cast<off_t>(offset));
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) {
      const int err = errno;
      return Error::os(binding::ErrorKind::RuntimeError, os_error_text(err), err, path_);
    }
  }
}

Result<std::size_t> FileRange::read(std::uint8_t* buf, std::size_t n) {
  if (at_ >= end_) return std::size_t{0};
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(n, end_ - at_));
  auto got = file_->pread(at_, buf, want);
  if (!got.ok()) return got;
  // A file shorter than the range ends it.
  at_ = got.value() > 0 ? at_ + got.value() : end_;
  return got;
}

Result<std::size_t> RangeSource::read(std::uint8_t* buf, std::size_t n) {
  if (prefix_done_ < prefix_.size()) {
    const std::size_t k = std::min(n, prefix_.size() - prefix_done_);
    std::memcpy(buf, prefix_.data() + prefix_done_, k);
    prefix_done_ += k;
    return k;
  }
  if (!body_done_) {
    auto got = body_->read(buf, n);
    if (!got.ok() || got.value() > 0) return got;
    body_done_ = true;
  }
  const std::size_t k = std::min(n, suffix_.size() - suffix_done_);
  std::memcpy(buf, suffix_.data() + suffix_done_, k);
  suffix_done_ += k;
  return k;
}

}  // namespace quarn::io
