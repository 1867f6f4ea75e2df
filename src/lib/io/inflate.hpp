// The gzip decoder over any inflater with zlib's streaming interface: the
// system's zlib, or zlib-ng's native one (linked, or loaded at run time).
// Only the decoder files include this; it needs neither library's header.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "io/decoder.hpp"

namespace quarn::io {

// An inflater's functions over its own stream type.
template <class Stream>
struct InflateFns {
  std::int32_t (*init2)(Stream*, std::int32_t);
  std::int32_t (*inflate)(Stream*, std::int32_t);
  std::int32_t (*reset)(Stream*);
  std::int32_t (*end)(Stream*);
};

// zlib-ng's stream (zng_stream of zlib-ng.h) as every 2.x release declares
// it, for a build that loads zlib-ng without its header; a build that has
// the header checks this against it.
struct NgStream {
  const std::uint8_t* next_in;
  std::uint32_t avail_in;
  std::size_t total_in;
  std::uint8_t* next_out;
  std::uint32_t avail_out;
  std::size_t total_out;
  const char* msg;
  void* state;
  void* (*zalloc)(void*, unsigned int, unsigned int);
  void (*zfree)(void*, void*);
  void* opaque;
  int data_type;
  std::uint32_t adler;
  unsigned long reserved;
};

// The return codes both libraries share.
inline constexpr std::int32_t kZOk = 0, kZStreamEnd = 1, kZBufError = -5, kZNoFlush = 0;

// Every gzip member, one after another; zero bytes between members are
// padding, as the interpreter's gzip module takes them.
template <class Stream>
class GzipDecoder final : public Decoder {
 public:
  explicit GzipDecoder(const InflateFns<Stream>& fns) : fns_(fns) {
    // windowBits 15 + 16: a gzip header and trailer around the deflate data,
    // both checked.
    ok_ = fns_.init2(&zs_, 15 + 16) == kZOk;
  }
  ~GzipDecoder() override {
    if (ok_) fns_.end(&zs_);
  }
  [[nodiscard]] bool ok() const { return ok_; }

  State step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, bool last,
             std::size_t& consumed, std::size_t& produced) override {
    using InPtr = decltype(zs_.next_in);
    using Avail = decltype(zs_.avail_in);
    consumed = produced = 0;
    for (;;) {
      if (!inside_) {
        while (members_ > 0 && consumed < in.size() && in[consumed] == 0) ++consumed;
        if (consumed == in.size()) return last ? State::End : State::More;
        if (members_ > 0) fns_.reset(&zs_);
        inside_ = true;
      }
      if (produced == out.size()) return State::More;
      // zlib's next_in is not const unless ZLIB_CONST; it only reads.
      zs_.next_in = const_cast<InPtr>(in.data() + consumed);
      zs_.avail_in = static_cast<Avail>(std::min<std::size_t>(in.size() - consumed, 1u << 30));
      zs_.next_out = out.data() + produced;
      zs_.avail_out = static_cast<Avail>(std::min<std::size_t>(out.size() - produced, 1u << 30));
      const Avail in_before = zs_.avail_in, out_before = zs_.avail_out;
      const std::int32_t r = fns_.inflate(&zs_, kZNoFlush);
      consumed += in_before - zs_.avail_in;
      produced += out_before - zs_.avail_out;
      if (r == kZStreamEnd) {
        inside_ = false;
        ++members_;
        continue;
      }
      if (r == kZOk) {
        if (in_before != zs_.avail_in || out_before != zs_.avail_out) continue;
        return State::More;
      }
      if (r == kZBufError) return State::More;  // no progress possible without more
      return damaged(zs_.msg != nullptr ? zs_.msg : "error " + std::to_string(r));
    }
  }

 private:
  const InflateFns<Stream>& fns_;
  Stream zs_{};
  bool ok_ = false;
  bool inside_ = false;  // a member has begun and not ended
  std::uint64_t members_ = 0;
};

// The zlib-ng this build links (with the build's -DQUARN_LINK_ZLIB_NG),
// else nullptr; `version` is its zlibng_version().
[[nodiscard]] std::unique_ptr<Decoder> linked_zlib_ng_decoder();
[[nodiscard]] const char* linked_zlib_ng_version();

}  // namespace quarn::io
