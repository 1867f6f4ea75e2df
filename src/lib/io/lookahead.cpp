#include "io/lookahead.hpp"

#include <algorithm>
#include <cstring>

namespace quarn::io {

std::size_t LookAheadSource::replay(std::uint8_t* buf, std::size_t n) {
  if (replayed_ == len_) return 0;
  std::size_t take = std::min(n, len_ - replayed_);
  std::memcpy(buf, ahead_.get() + replayed_, take);
  replayed_ += take;
  if (replayed_ == len_) {
    // Handed out: the look-ahead's memory goes back.
    ahead_.reset();
    len_ = capacity_ = replayed_ = 0;
  }
  return take;
}

Result<std::size_t> LookAheadSource::read(std::uint8_t* buf, std::size_t n) {
  if (std::size_t took = replay(buf, n); took > 0 || ended_) return took;
  return inner_->read(buf, n);
}

Result<std::size_t> LookAheadSource::read_unlocked(std::uint8_t* buf, std::size_t n) {
  if (std::size_t took = replay(buf, n); took > 0 || ended_) return took;
  return inner_->read_unlocked(buf, n);
}

Result<bool> LookAheadSource::read_ahead() {
  // A file of known size needs room for the rest of it and one byte more
  // (to see its end; just that byte once the rest is in): small files are
  // common.
  const std::uint64_t size = inner_->size();
  std::size_t want = kReadBlock;
  if (size > 0 && size >= len_) {
    want = static_cast<std::size_t>(std::min<std::uint64_t>(want, size - len_ + 1));
  }
  if (capacity_ - len_ < want) {
    std::size_t capacity = std::max(len_ + want, capacity_ * 2);
    if (capacity_ > 0 && size > 0) {
      // A first block that did not tell: all a look may take of the file,
      // at once.
      capacity = std::max<std::size_t>(capacity, static_cast<std::size_t>(std::min<std::uint64_t>(
                                                     size + 1, kDetectLimit + want)));
    }
    std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[capacity]);
    if (len_ > 0) std::memcpy(grown.get(), ahead_.get(), len_);
    ahead_ = std::move(grown);
    capacity_ = capacity;
  }
  auto got = inner_->read(ahead_.get() + len_, want);
  if (!got.ok()) return std::move(got).error();
  len_ += got.value();
  ended_ = got.value() == 0;
  return !ended_;
}

}  // namespace quarn::io
