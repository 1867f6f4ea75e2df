// A ByteSource hands out bytes: an open file, a Python stream, a decompressor,
// a byte range of a file. The record source reads any of them the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "binding/result.hpp"

namespace quarn::io {

using binding::Error;
using binding::Result;
using binding::Status;

// The bytes a reader asks a source for at a time.
inline constexpr std::size_t kReadBlock = std::size_t{1} << 16;

class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;

  // One read of up to `n` bytes into `buf`; 0 at the end. Errors carry the
  // bare cause (RuntimeError) or an interpreter exception. A failed read
  // takes nothing, so the caller may simply read again.
  [[nodiscard]] virtual Result<std::size_t> read(std::uint8_t* buf, std::size_t n) = 0;

  // The size in bytes when it is known up front (a regular file), else 0.
  [[nodiscard]] virtual std::uint64_t size() const { return 0; }

  // Whether size() is what the source hands out (a regular file, as it was
  // when opened), so that a look at its content may stop there without
  // another read to see the end.
  [[nodiscard]] virtual bool sized() const { return false; }

  // Bytes of progress when the source measures it itself (a decompressor:
  // compressed bytes, against a compressed size()), else nothing, and the
  // bytes handed out are counted instead.
  [[nodiscard]] virtual std::optional<std::uint64_t> progress() const { return std::nullopt; }

  // Whether a read now would not wait (a regular file); false when unknown.
  [[nodiscard]] virtual bool ready() const { return false; }

  // Whether bytes already read can be had again with read_at, which is
  // how an error deep in a file is placed without counting line feeds on
  // the way there.
  [[nodiscard]] virtual bool rereadable() const { return false; }
  [[nodiscard]] virtual Result<std::size_t> read_at(std::uint64_t offset, std::uint8_t* buf,
                                                    std::size_t n);

  // Whether read_unlocked may stand in for read: the bytes come from the
  // system alone and never keep the reader waiting for long (a regular
  // file), so that a long scan can leave the interpreter lock to other
  // threads.
  [[nodiscard]] virtual bool lock_free() const { return false; }
  // One read as `read` makes it, called without the interpreter lock: it
  // runs no signal handler (the caller runs them between reads) and touches
  // no Python object. Only where lock_free() says so.
  [[nodiscard]] virtual Result<std::size_t> read_unlocked(std::uint8_t* buf, std::size_t n);
};

}  // namespace quarn::io
