// Decompressors of the four formats quarn recognises, behind one interface
// that runs without the interpreter: a decoding thread may drive one while
// the caller's thread builds objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quarn::io {

enum class Kind : unsigned char { Gzip, Bz2, Xz, Zstd };

// "gzip", "bz2", "xz", "zstd".
[[nodiscard]] std::string_view name_of(Kind kind);
[[nodiscard]] std::optional<Kind> kind_named(std::string_view name);

// The longest magic: a head this long (or the whole data) decides.
inline constexpr std::size_t kMagicBytes = 6;

// The compression whose magic `head` starts with, if any (for zstd, a
// frame's or a skippable frame's, which parallel compressors write first).
[[nodiscard]] std::optional<Kind> sniff(std::span<const std::uint8_t> head);

// The length of a name's compression suffix (".gz", ".bz2", ".xz", ".zst",
// ...), or 0: what the name says about the format lies before it.
[[nodiscard]] std::size_t compression_suffix(std::string_view name);

class Decoder {
 public:
  enum class State : unsigned char {
    More,     // give it more input (or more room)
    End,      // the data ended where it may end
    Damaged,  // error() says what the decompressor reported
  };

  Decoder() = default;
  Decoder(const Decoder&) = delete;
  Decoder& operator=(const Decoder&) = delete;
  virtual ~Decoder() = default;

  // Decompresses from `in` into `out` until the input is used up or the
  // output full; `consumed` and `produced` say how far. `last`: no input
  // follows this. End only with `last`, once everything is out.
  [[nodiscard]] virtual State step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out,
                                   bool last, std::size_t& consumed, std::size_t& produced) = 0;

  [[nodiscard]] const std::string& error() const { return error_; }
  // With Damaged: the data may well be sound, but asks for more than this
  // decoder is allowed to give it (error() says what, and how to allow it).
  [[nodiscard]] bool over_limit() const { return over_limit_; }

 protected:
  State damaged(std::string text) {
    error_ = std::move(text);
    return State::Damaged;
  }
  State refused(std::string text) {
    over_limit_ = true;
    return damaged(std::move(text));
  }
  std::string error_;
  bool over_limit_ = false;
};

// A decoder for `kind`, or nothing with `why` set (a library this build or
// this machine lacks).
[[nodiscard]] std::unique_ptr<Decoder> make_decoder(Kind kind, std::string& why);

// The truncation text the interpreter's decompressors use.
inline constexpr std::string_view kTruncated =
    "compressed file ended before the end-of-stream marker was reached";

// What decodes `kind` in this process: the library, its version, how it is
// bound and, for a fallback, why the faster one is not used; or why nothing
// can ("zlib-ng 2.3.3 (linked)", "zlib 1.2.13 (zlib-ng: ...)").
[[nodiscard]] std::string library_of(Kind kind);

// gzip is inflated by zlib-ng where this build links it; else by zlib-ng's
// native functions from a library that exports them (the zlib-ng package's
// extension module does) once one is offered whose zlibng_version() is 2.x,
// the major version whose stream this code declares; else by the system's
// zlib.
//
// Whether an offer is still awaited: no linked zlib-ng, no offer taken.
[[nodiscard]] bool zlib_ng_awaited();
// Offers the library at `path`, or (nullptr) tells that there is none, with
// `why`. The first call decides for the process, whichever thread makes it;
// later ones change nothing. Native only: no lock is held while the caller
// looks for the library.
void offer_zlib_ng(const char* path, std::string_view why);

}  // namespace quarn::io
