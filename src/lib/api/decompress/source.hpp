// Decompressed data as a byte source: the compressed bytes come from any
// other byte source (a file, a pipe, a caller's stream), read in the
// caller's thread, and a decoding thread of native code only turns them
// into blocks handed over through a bounded buffer.
//
// What the caller's thread sees is what a plain file gives: signals are
// checked before each read and a failed read takes nothing (a block stays
// until it has been handed out); the source beneath is read only here, and
// its exceptions pass through as they are, to be retried by the next read;
// everything decompressed before the decompressor reports damage is handed
// out before the error, which every later read raises again.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>

#include "api/bigjson/source.hpp"
#include "api/decompress/decoder.hpp"

namespace quarn::api::decompress {

class DecompressSource final : public bigjson::ByteSource {
 public:
  // Decoded blocks: this many of this size at most, whatever the ratio.
  static constexpr std::size_t kOutBlock = std::size_t{1} << 19;
  static constexpr std::size_t kOutBlocks = 4;
  // Compressed bytes read ahead: this many reads of this size.
  static constexpr std::size_t kInChunk = std::size_t{1} << 18;
  static constexpr std::size_t kInChunks = 2;

  DecompressSource(Kind kind, std::unique_ptr<Decoder> decoder,
                   std::unique_ptr<bigjson::ByteSource> inner);
  ~DecompressSource() override;

  [[nodiscard]] bigjson::Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override;
  // The compressed size, where the source beneath knows it...
  [[nodiscard]] std::uint64_t size() const override { return inner_->size(); }
  // ... and the compressed bytes decoded so far, against it.
  [[nodiscard]] std::optional<std::uint64_t> progress() const override;
  [[nodiscard]] bool damaged() const override;

 private:
  struct Shared;
  [[nodiscard]] bigjson::Status feed();
  [[nodiscard]] bigjson::Error raise_damage() const;

  Kind kind_;
  std::unique_ptr<bigjson::ByteSource> inner_;
  std::unique_ptr<Shared> shared_;
  pid_t pid_ = 0;  // the process whose thread decodes: 0 until it starts
  bool input_done_ = false;
  // The block being handed out, owned by this thread.
  std::unique_ptr<std::uint8_t[]> current_;
  std::size_t current_len_ = 0;
  std::size_t current_pos_ = 0;
  bool interrupt_due_ = false;  // the test hook's interruption before `current_`
};

// For the tests: from now on every `every`-th block a decompressing source
// hands over is preceded by a KeyboardInterrupt raised where the read would
// have returned it; 0 turns it off.
void fail_blocks(unsigned every);

}  // namespace quarn::api::decompress
