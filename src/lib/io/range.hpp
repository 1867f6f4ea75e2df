// A byte range of one file, read by positioned reads, and the stream of a
// range with text before and after it: what the workers that read one file
// side by side read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "io/byte_source.hpp"
#include "io/file.hpp"

namespace quarn::io {

// Positioned reads of a file by path, shared by the threads that read its
// ranges. Never touches the interpreter, so it runs without the GIL (an
// interrupted read is simply retried).
class SharedFile {
 public:
  [[nodiscard]] static Result<std::shared_ptr<SharedFile>> open(std::string_view path);
  [[nodiscard]] Result<std::size_t> pread(std::uint64_t offset, std::uint8_t* buf,
                                          std::size_t n) const;
  [[nodiscard]] std::uint64_t size() const { return size_; }

 private:
  SharedFile(File file, std::string path, std::uint64_t size)
      : file_(std::move(file)), path_(std::move(path)), size_(size) {}
  File file_;
  std::string path_;
  std::uint64_t size_;
};

// The bytes [start, end) of a file (up to its end when it is shorter), by
// positioned reads: any number of them read one file side by side.
class FileRange final : public ByteSource {
 public:
  FileRange(std::shared_ptr<const SharedFile> file, std::uint64_t start, std::uint64_t end)
      : file_(std::move(file)), at_(start), end_(end) {}
  [[nodiscard]] Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override;

 private:
  std::shared_ptr<const SharedFile> file_;
  std::uint64_t at_, end_;
};

// The stream of one range: `prefix`, then the bytes of `body`, then `suffix`.
class RangeSource final : public ByteSource {
 public:
  RangeSource(std::string prefix, std::unique_ptr<ByteSource> body, std::string suffix)
      : prefix_(std::move(prefix)), suffix_(std::move(suffix)), body_(std::move(body)) {}
  [[nodiscard]] Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override;

 private:
  std::string prefix_, suffix_;
  std::unique_ptr<ByteSource> body_;
  std::size_t prefix_done_ = 0, suffix_done_ = 0;
  bool body_done_ = false;
};

}  // namespace quarn::io
