// A Python binary stream as a byte source: read block by block with
// `readinto` (or `read`), from wherever the caller left it, never closed
// here (the caller owns it).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "binding/ref.hpp"
#include "io/byte_source.hpp"

namespace quarn::io {

using binding::Ref;
using binding::Result;

// Where a caller's stream that can seek (seekable() says so) stands; nothing
// for a path or any other object.
[[nodiscard]] std::optional<std::uint64_t> stream_position(PyObject* source);

// Seeks `stream` to `to`, keeping the exception being raised.
void seek_back(PyObject* stream, std::uint64_t to) noexcept;

class StreamSource final : public ByteSource {
 public:
  // A text stream, or an object that cannot be read, is a TypeError. The
  // size is known for the interpreter's own file classes over a regular
  // file (bytes from the position to the end); any other stream (one that
  // decompresses, say) counts the bytes it hands out, and has no size.
  [[nodiscard]] static Result<std::unique_ptr<StreamSource>> open(PyObject* stream);

  [[nodiscard]] Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override;
  [[nodiscard]] std::uint64_t size() const override { return size_; }
  [[nodiscard]] bool ready() const override { return size_ > 0; }

 private:
  StreamSource() = default;
  [[nodiscard]] Result<std::size_t> read_with_readinto(std::uint8_t* buf, std::size_t n);
  [[nodiscard]] Result<std::size_t> read_with_read(std::uint8_t* buf, std::size_t n);

  Ref stream_;
  Ref readinto_;  // the bound method, or empty: then read_
  Ref read_;
  std::uint64_t size_ = 0;
};

}  // namespace quarn::io
