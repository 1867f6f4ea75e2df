// A Python binary stream as a byte source: read block by block with
// `readinto` (or `read`), from wherever the caller left it, never closed
// here (the caller owns it).
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>

#include "api/bigjson/source.hpp"
#include "binding/ref.hpp"

namespace quarn::api::sources {

using binding::Ref;
using binding::Result;

class StreamSource final : public bigjson::ByteSource {
 public:
  // `compressed`, when given, is the file a decompressing `stream` reads:
  // progress is its position against its size. A text stream, or an object
  // that cannot be read, is a TypeError.
  [[nodiscard]] static Result<std::unique_ptr<StreamSource>> open(PyObject* stream,
                                                                  PyObject* compressed);

  [[nodiscard]] Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override;
  [[nodiscard]] std::uint64_t size() const override { return size_; }
  [[nodiscard]] std::optional<std::uint64_t> progress() const override;

 private:
  StreamSource() = default;
  [[nodiscard]] Result<std::size_t> read_with_readinto(std::uint8_t* buf, std::size_t n);
  [[nodiscard]] Result<std::size_t> read_with_read(std::uint8_t* buf, std::size_t n);
  void note_position();

  Ref stream_;
  Ref readinto_;  // the bound method, or empty: then read_
  Ref read_;
  Ref compressed_;
  std::uint64_t size_ = 0;
  std::uint64_t start_ = 0;     // the compressed file's position at the start
  std::uint64_t position_ = 0;  // and after the last read
};

}  // namespace quarn::api::sources
