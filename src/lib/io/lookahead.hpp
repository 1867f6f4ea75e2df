// A source that reads its first bytes ahead, so that they can be looked at
// (for a compression's magic, for the format) and then handed out again: a
// pipe loses nothing to the look and the record source above needs no change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>

#include "io/byte_source.hpp"

namespace quarn::io {

// The most bytes read ahead (leading whitespace included). A first value
// still open at this point is taken as what the name says, else as a JSON
// document: a single minified document of many megabytes is common, a JSON
// Lines record of that size rare.
inline constexpr std::size_t kDetectLimit = std::size_t{1} << 20;

// Replays the bytes it read ahead, then reads on from the source beneath.
class LookAheadSource final : public ByteSource {
 public:
  explicit LookAheadSource(std::unique_ptr<ByteSource> inner) : inner_(std::move(inner)) {}

  [[nodiscard]] Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override;
  [[nodiscard]] std::uint64_t size() const override { return inner_->size(); }
  [[nodiscard]] bool sized() const override { return inner_->sized(); }
  [[nodiscard]] bool rereadable() const override { return inner_->rereadable(); }
  [[nodiscard]] Result<std::size_t> read_at(std::uint64_t offset, std::uint8_t* buf,
                                            std::size_t n) override {
    return inner_->read_at(offset, buf, n);
  }
  [[nodiscard]] std::optional<std::uint64_t> progress() const override {
    return inner_->progress();
  }
  [[nodiscard]] bool ready() const override {
    return replayed_ < len_ || ended_ || inner_->ready();
  }
  [[nodiscard]] bool lock_free() const override { return inner_->lock_free(); }
  [[nodiscard]] Result<std::size_t> read_unlocked(std::uint8_t* buf, std::size_t n) override;

  // Reads ahead once more (up to a block); false at the end of the source.
  // The end is kept: once the look-ahead is replayed, reads end there
  // without asking the source again.
  [[nodiscard]] Result<bool> read_ahead();
  [[nodiscard]] std::span<const std::uint8_t> ahead() const { return {ahead_.get(), len_}; }
  [[nodiscard]] bool ended() const { return ended_; }

 private:
  // Hands out what was read ahead, as much of it as `n` takes; 0 once it is
  // all handed out.
  std::size_t replay(std::uint8_t* buf, std::size_t n);

  std::unique_ptr<ByteSource> inner_;
  // The bytes read ahead: never zeroed and, for a file of known size, grown
  // once past the first block to all a look may take (else doubled as they
  // come), so that a look at a document of megabytes copies nothing twice.
  std::unique_ptr<std::uint8_t[]> ahead_;
  std::size_t len_ = 0;
  std::size_t capacity_ = 0;
  std::size_t replayed_ = 0;
  bool ended_ = false;
};

}  // namespace quarn::io
