// Decompressed data as a byte source: the compressed bytes come from any
// other byte source (a file, a pipe, a caller's stream), read in the
// caller's thread; the decompressor runs without the interpreter lock.
//
// A source starts small and in the caller's thread: its first reads decode
// straight into the caller's buffer, a little more each time, so that an
// open (which looks at the first bytes) is quick and a source opened and
// left holds no thread and no buffer of its own. Once the reader has taken
// kInline bytes, a decoding thread of native code works ahead of it through
// a bounded ring of blocks, which start at kFirstBlock and grow only while
// the reader keeps up with the decoder (finds no block ready).
//
// What the caller's thread sees is what a plain file gives: signals are
// checked before each read and a failed read takes nothing (a block stays
// until it has been handed out); the source beneath is read only here, and
// its exceptions pass through as they are, to be retried by the next read;
// everything decompressed before the decompressor reports damage is handed
// out before the error, which every later read raises again. A read is made
// holding the interpreter lock, and lets it go while it decodes or waits
// for the decoding thread.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "io/byte_source.hpp"
#include "io/decoder.hpp"

namespace quarn::io {

class DecompressSource final : public ByteSource {
 public:
  // Decoded in the caller's thread: at most kFirstRead bytes by the first
  // read, twice as many by each next one, until kInline bytes are out.
  static constexpr std::size_t kFirstRead = std::size_t{1} << 14;
  static constexpr std::uint64_t kInline = std::uint64_t{1} << 20;
  // Decoded by the thread: this many blocks at most, each between the first
  // size and the largest, whatever the ratio.
  static constexpr std::size_t kFirstBlock = std::size_t{1} << 16;
  static constexpr std::size_t kOutBlock = std::size_t{1} << 19;
  static constexpr std::size_t kOutBlocks = 4;
  // Compressed bytes read ahead: this many reads, each of half a block
  // within these bounds (and no more than the source has left).
  static constexpr std::size_t kFirstChunk = std::size_t{1} << 16;
  static constexpr std::size_t kInChunk = std::size_t{1} << 18;
  static constexpr std::size_t kInChunks = 2;

  DecompressSource(Kind kind, std::unique_ptr<Decoder> decoder, std::unique_ptr<ByteSource> inner);
  ~DecompressSource() override;

  [[nodiscard]] Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override;
  // The compressed size, where the source beneath knows it...
  [[nodiscard]] std::uint64_t size() const override { return inner_->size(); }
  // ... and the compressed bytes decoded so far, against it.
  [[nodiscard]] std::optional<std::uint64_t> progress() const override;

 private:
  struct Shared;
  [[nodiscard]] Result<std::size_t> read_inline(std::uint8_t* buf, std::size_t n);
  [[nodiscard]] Result<std::size_t> read_blocks(std::uint8_t* buf, std::size_t n);
  [[nodiscard]] bool start_thread();
  [[nodiscard]] Status feed();
  // The error every read after the damage returns.
  [[nodiscard]] Error damage_error() const;

  Kind kind_;
  std::unique_ptr<ByteSource> inner_;
  std::unique_ptr<Shared> shared_;
  pid_t pid_;  // the process that opened it: only it may read
  bool input_done_ = false;
  std::uint64_t fed_ = 0;  // compressed bytes read from `inner_`
  // Before the thread: the next read's limit, and the bytes handed out.
  std::size_t inline_cap_ = kFirstRead;
  std::uint64_t inline_out_ = 0;
  bool hook_checked_ = false;  // the test hook has had its say on the next read's bytes
  bool no_thread_ = false;     // none could be started: decoded here to the end
  // The block being handed out, owned by this thread.
  std::unique_ptr<std::uint8_t[]> current_;
  std::size_t current_cap_ = 0;
  std::size_t current_len_ = 0;
  std::size_t current_pos_ = 0;
  bool interrupt_due_ = false;  // the test hook's interruption before `current_`
};

}  // namespace quarn::io
