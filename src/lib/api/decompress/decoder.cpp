#include "api/decompress/decoder.hpp"

#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstring>
#include <utility>

#ifdef QUARN_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef QUARN_HAVE_BZIP2
#include <bzlib.h>
#endif
#ifdef QUARN_HAVE_LZMA
#include <lzma.h>
#endif

namespace quarn::api::decompress {
namespace {

struct Magic {
  Kind kind;
  std::string_view bytes;
};
constexpr std::array<Magic, 4> kMagic = {{
    {Kind::Gzip, std::string_view("\x1f\x8b", 2)},
    {Kind::Bz2, std::string_view("BZh", 3)},
    {Kind::Xz, std::string_view("\xfd"
                                "7zXZ\x00",
                                6)},
    {Kind::Zstd, std::string_view("\x28\xb5\x2f\xfd", 4)},
}};

// How far a step got: the bytes taken from `in` and written to `out`, for
// the libraries that count down what is left.
struct Span {
  const std::uint8_t* in;
  std::size_t in_left;
  std::uint8_t* out;
  std::size_t out_left;
};

#ifdef QUARN_HAVE_ZLIB
// The inflate functions: the system's zlib, or zlib-ng's native ones where
// they can be had (several times faster). zlib-ng's stream has zlib's
// layout on LP64 systems, up to the fields used here.
struct InflateApi {
  int (*init2)(z_stream*, int);
  int (*inflate)(z_stream*, int);
  int (*reset)(z_stream*);
  int (*end)(z_stream*);
};

const InflateApi kSystemZlib = {
    [](z_stream* s, int bits) { return inflateInit2(s, bits); },
    [](z_stream* s, int flush) { return ::inflate(s, flush); },
    [](z_stream* s) { return inflateReset(s); },
    [](z_stream* s) { return inflateEnd(s); },
};

std::atomic<const InflateApi*> zlib_ng_api{nullptr};
std::atomic<bool> zlib_ng_hidden{false};

const InflateApi& inflate_api() {
  const InflateApi* ng = zlib_ng_api.load(std::memory_order_acquire);
  return ng != nullptr && !zlib_ng_hidden.load(std::memory_order_relaxed) ? *ng : kSystemZlib;
}

// Every gzip member, one after another; zero bytes between members are
// padding, as the interpreter's gzip module takes them.
class GzipDecoder final : public Decoder {
 public:
  GzipDecoder() : api_(inflate_api()) {
    // windowBits 15 + 16: a gzip header and trailer around the deflate data,
    // both checked.
    ok_ = api_.init2(&zs_, 15 + 16) == Z_OK;
  }
  ~GzipDecoder() override {
    if (ok_) api_.end(&zs_);
  }
  [[nodiscard]] bool ok() const { return ok_; }

  State step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, bool last,
             std::size_t& consumed, std::size_t& produced) override {
    consumed = produced = 0;
    for (;;) {
      if (!inside_) {
        while (members_ > 0 && consumed < in.size() && in[consumed] == 0) ++consumed;
        if (consumed == in.size()) return last ? State::End : State::More;
        if (members_ > 0) api_.reset(&zs_);
        inside_ = true;
      }
      if (produced == out.size()) return State::More;
      zs_.next_in = const_cast<Bytef*>(in.data() + consumed);
      zs_.avail_in = static_cast<uInt>(std::min<std::size_t>(in.size() - consumed, 1u << 30));
      zs_.next_out = out.data() + produced;
      zs_.avail_out = static_cast<uInt>(std::min<std::size_t>(out.size() - produced, 1u << 30));
      const uInt in_before = zs_.avail_in, out_before = zs_.avail_out;
      int r = api_.inflate(&zs_, Z_NO_FLUSH);
      consumed += in_before - zs_.avail_in;
      produced += out_before - zs_.avail_out;
      if (r == Z_STREAM_END) {
        inside_ = false;
        ++members_;
        continue;
      }
      if (r == Z_OK) {
        if (in_before != zs_.avail_in || out_before != zs_.avail_out) continue;
        return State::More;
      }
      if (r == Z_BUF_ERROR) return State::More;  // no progress possible without more
      return damaged(zs_.msg != nullptr ? zs_.msg : "error " + std::to_string(r));
    }
  }

 private:
  const InflateApi& api_;
  z_stream zs_{};
  bool ok_ = false;
  bool inside_ = false;  // a member has begun and not ended
  std::uint64_t members_ = 0;
};
#endif

#ifdef QUARN_HAVE_BZIP2
std::string bz2_text(int r) {
  switch (r) {
    case BZ_DATA_ERROR:
    case BZ_DATA_ERROR_MAGIC:
      return "invalid data stream";
    case BZ_MEM_ERROR:
      return "out of memory";
    default:
      return "error " + std::to_string(r);
  }
}

// Every bz2 stream, one after another; data after a complete stream that
// is no stream at all is ignored, as the interpreter's BZ2File does.
class Bz2Decoder final : public Decoder {
 public:
  ~Bz2Decoder() override {
    if (inside_) BZ2_bzDecompressEnd(&bs_);
  }

  State step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, bool last,
             std::size_t& consumed, std::size_t& produced) override {
    consumed = produced = 0;
    for (;;) {
      if (!inside_) {
        if (ignore_rest_) consumed = in.size();
        if (consumed == in.size()) return last ? State::End : State::More;
        bs_ = bz_stream{};
        int r = BZ2_bzDecompressInit(&bs_, 0, 0);
        if (r != BZ_OK) return damaged(bz2_text(r));
        inside_ = true;
        stream_out_ = 0;
      }
      if (produced == out.size()) return State::More;
      bs_.next_in = const_cast<char*>(reinterpret_cast<const char*>(in.data() + consumed));
      bs_.avail_in = static_cast<unsigned>(std::min<std::size_t>(in.size() - consumed, 1u << 30));
      bs_.next_out = reinterpret_cast<char*>(out.data() + produced);
      bs_.avail_out = static_cast<unsigned>(std::min<std::size_t>(out.size() - produced, 1u << 30));
      const unsigned in_before = bs_.avail_in, out_before = bs_.avail_out;
      int r = BZ2_bzDecompress(&bs_);
      consumed += in_before - bs_.avail_in;
      produced += out_before - bs_.avail_out;
      stream_out_ += out_before - bs_.avail_out;
      if (r == BZ_STREAM_END) {
        BZ2_bzDecompressEnd(&bs_);
        inside_ = false;
        ++streams_;
        continue;
      }
      if (r == BZ_OK) {
        if (in_before != bs_.avail_in || out_before != bs_.avail_out) continue;
        return State::More;
      }
      BZ2_bzDecompressEnd(&bs_);
      inside_ = false;
      if (streams_ > 0 && stream_out_ == 0) {
        ignore_rest_ = true;
        continue;
      }
      return damaged(bz2_text(r));
    }
  }

 private:
  bz_stream bs_{};
  bool inside_ = false;
  bool ignore_rest_ = false;
  std::uint64_t streams_ = 0;
  std::uint64_t stream_out_ = 0;
};
#endif

#ifdef QUARN_HAVE_LZMA
std::string lzma_text(lzma_ret r) {
  switch (r) {
    case LZMA_FORMAT_ERROR:
      return "input format not supported by decoder";
    case LZMA_OPTIONS_ERROR:
      return "invalid or unsupported options";
    case LZMA_DATA_ERROR:
      return "corrupt input data";
    case LZMA_MEM_ERROR:
      return "memory allocation failed";
    case LZMA_MEMLIMIT_ERROR:
      return "memory usage limit exceeded";
    default:
      return "error " + std::to_string(static_cast<int>(r));
  }
}

// Concatenated xz streams and their padding, as liblzma reads them.
class XzDecoder final : public Decoder {
 public:
  XzDecoder() { ok_ = lzma_stream_decoder(&ls_, UINT64_MAX, LZMA_CONCATENATED) == LZMA_OK; }
  ~XzDecoder() override { lzma_end(&ls_); }
  [[nodiscard]] bool ok() const { return ok_; }

  State step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, bool last,
             std::size_t& consumed, std::size_t& produced) override {
    consumed = produced = 0;
    for (;;) {
      if (produced == out.size()) return State::More;
      ls_.next_in = in.data() + consumed;
      ls_.avail_in = in.size() - consumed;
      ls_.next_out = out.data() + produced;
      ls_.avail_out = out.size() - produced;
      const std::size_t in_before = ls_.avail_in, out_before = ls_.avail_out;
      lzma_ret r = lzma_code(&ls_, last ? LZMA_FINISH : LZMA_RUN);
      consumed += in_before - ls_.avail_in;
      produced += out_before - ls_.avail_out;
      if (r == LZMA_STREAM_END) return State::End;
      if (r == LZMA_OK) {
        if (in_before != ls_.avail_in || out_before != ls_.avail_out) continue;
        return State::More;
      }
      if (r == LZMA_BUF_ERROR) return State::More;
      return damaged(lzma_text(r));
    }
  }

 private:
  lzma_stream ls_ = LZMA_STREAM_INIT;
  bool ok_ = false;
};
#endif

// libzstd is loaded when first needed, from the runtime library every
// system with zstd has (no header needed to build): only the stable
// streaming functions are used, declared here as the library exports them.
struct ZstdIn {
  const void* src;
  std::size_t size;
  std::size_t pos;
};
struct ZstdOut {
  void* dst;
  std::size_t size;
  std::size_t pos;
};
struct ZstdApi {
  void* (*create)();
  std::size_t (*free)(void*);
  std::size_t (*decompress)(void*, ZstdOut*, ZstdIn*);
  unsigned (*is_error)(std::size_t);
  const char* (*error_name)(std::size_t);
};

std::atomic<bool> zstd_hidden{false};

const ZstdApi* zstd_api() {
  static const ZstdApi* api = []() -> const ZstdApi* {
    void* lib = nullptr;
    for (const char* name : {"libzstd.so.1", "libzstd.so", "libzstd.1.dylib", "libzstd.dylib"}) {
      lib = ::dlopen(name, RTLD_NOW | RTLD_LOCAL);
      if (lib != nullptr) break;
    }
    if (lib == nullptr) return nullptr;
    static ZstdApi loaded;
    loaded.create = reinterpret_cast<void* (*)()>(::dlsym(lib, "ZSTD_createDStream"));
    loaded.free = reinterpret_cast<std::size_t (*)(void*)>(::dlsym(lib, "ZSTD_freeDStream"));
    loaded.decompress = reinterpret_cast<std::size_t (*)(void*, ZstdOut*, ZstdIn*)>(
        ::dlsym(lib, "ZSTD_decompressStream"));
    loaded.is_error = reinterpret_cast<unsigned (*)(std::size_t)>(::dlsym(lib, "ZSTD_isError"));
    loaded.error_name =
        reinterpret_cast<const char* (*)(std::size_t)>(::dlsym(lib, "ZSTD_getErrorName"));
    if (!loaded.create || !loaded.free || !loaded.decompress || !loaded.is_error ||
        !loaded.error_name) {
      return nullptr;
    }
    return &loaded;
  }();
  return zstd_hidden.load(std::memory_order_relaxed) ? nullptr : api;
}

// Every zstd frame (skippable ones included), one after another; the data
// may end only between frames.
class ZstdDecoder final : public Decoder {
 public:
  explicit ZstdDecoder(const ZstdApi* api) : api_(api), ds_(api->create()) {}
  ~ZstdDecoder() override {
    if (ds_ != nullptr) api_->free(ds_);
  }
  [[nodiscard]] bool ok() const { return ds_ != nullptr; }

  State step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, bool last,
             std::size_t& consumed, std::size_t& produced) override {
    consumed = produced = 0;
    for (;;) {
      if (produced == out.size()) return State::More;
      ZstdIn ib{in.data() + consumed, in.size() - consumed, 0};
      ZstdOut ob{out.data() + produced, out.size() - produced, 0};
      std::size_t r = api_->decompress(ds_, &ob, &ib);
      consumed += ib.pos;
      produced += ob.pos;
      if (api_->is_error(r)) return damaged(api_->error_name(r));
      if (ib.pos == 0 && ob.pos == 0) break;
      inside_ = r != 0;  // 0: a frame ended and all of it is out
    }
    return last && !inside_ && consumed == in.size() ? State::End : State::More;
  }

 private:
  const ZstdApi* api_;
  void* ds_;
  bool inside_ = false;
};

}  // namespace

std::string_view name_of(Kind kind) {
  switch (kind) {
    case Kind::Gzip:
      return "gzip";
    case Kind::Bz2:
      return "bz2";
    case Kind::Xz:
      return "xz";
    case Kind::Zstd:
      return "zstd";
  }
  return "";
}

std::optional<Kind> kind_named(std::string_view name) {
  for (Kind k : {Kind::Gzip, Kind::Bz2, Kind::Xz, Kind::Zstd}) {
    if (name == name_of(k)) return k;
  }
  return std::nullopt;
}

std::optional<Kind> sniff(std::span<const std::uint8_t> head) {
  for (const Magic& m : kMagic) {
    if (head.size() >= m.bytes.size() &&
        std::memcmp(head.data(), m.bytes.data(), m.bytes.size()) == 0) {
      return m.kind;
    }
  }
  return std::nullopt;
}

std::size_t compression_suffix(std::string_view name) {
  for (std::string_view suffix : {".gz", ".gzip", ".bz2", ".xz", ".zst", ".zstd"}) {
    if (name.size() <= suffix.size()) continue;
    std::string_view tail = name.substr(name.size() - suffix.size());
    bool same = true;
    for (std::size_t i = 0; i < suffix.size() && same; ++i) {
      same = std::tolower(static_cast<unsigned char>(tail[i])) == suffix[i];
    }
    if (same) return suffix.size();
  }
  return 0;
}

void set_zstd_hidden(bool hidden) {
  zstd_hidden.store(hidden, std::memory_order_relaxed);
}

bool use_zlib_ng(const char* library) {
#ifdef QUARN_HAVE_ZLIB
  static_assert(sizeof(void*) == 8 && sizeof(uLong) == 8 && sizeof(uInt) == 4,
                "zlib-ng's stream is taken for zlib's only where their layouts agree");
  if (zlib_ng_api.load(std::memory_order_acquire) != nullptr) return true;
  void* lib = ::dlopen(library, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (lib == nullptr) lib = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) return false;
  static InflateApi ng;
  ng.init2 = reinterpret_cast<int (*)(z_stream*, int)>(::dlsym(lib, "zng_inflateInit2"));
  ng.inflate = reinterpret_cast<int (*)(z_stream*, int)>(::dlsym(lib, "zng_inflate"));
  ng.reset = reinterpret_cast<int (*)(z_stream*)>(::dlsym(lib, "zng_inflateReset"));
  ng.end = reinterpret_cast<int (*)(z_stream*)>(::dlsym(lib, "zng_inflateEnd"));
  if (!ng.init2 || !ng.inflate || !ng.reset || !ng.end) return false;
  zlib_ng_api.store(&ng, std::memory_order_release);
  return true;
#else
  (void)library;
  return false;
#endif
}

void set_zlib_ng_hidden(bool hidden) {
#ifdef QUARN_HAVE_ZLIB
  zlib_ng_hidden.store(hidden, std::memory_order_relaxed);
#else
  (void)hidden;
#endif
}

std::unique_ptr<Decoder> make_decoder(Kind kind, std::string& why) {
  switch (kind) {
    case Kind::Gzip: {
#ifdef QUARN_HAVE_ZLIB
      auto d = std::make_unique<GzipDecoder>();
      if (d->ok()) return d;
      why = "gzip: zlib could not start";
#else
      why = "gzip-compressed data needs zlib, which this build of quarn lacks";
#endif
      return nullptr;
    }
    case Kind::Bz2:
#ifdef QUARN_HAVE_BZIP2
      return std::make_unique<Bz2Decoder>();
#else
      why = "bz2-compressed data needs libbz2, which this build of quarn lacks";
      return nullptr;
#endif
    case Kind::Xz: {
#ifdef QUARN_HAVE_LZMA
      auto d = std::make_unique<XzDecoder>();
      if (d->ok()) return d;
      why = "xz: liblzma could not start";
#else
      why = "xz-compressed data needs liblzma, which this build of quarn lacks";
#endif
      return nullptr;
    }
    case Kind::Zstd: {
      const ZstdApi* api = zstd_api();
      if (api != nullptr) {
        auto d = std::make_unique<ZstdDecoder>(api);
        if (d->ok()) return d;
      }
      why = "zstd-compressed data needs libzstd (libzstd.so.1), which cannot be loaded";
      return nullptr;
    }
  }
  why = "unknown compression";
  return nullptr;
}

}  // namespace quarn::api::decompress
