#include "io/decoder.hpp"

#include <dlfcn.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "io/inflate.hpp"
#include "io/test_hooks.hpp"

#ifdef QUARN_HAVE_ZLIB
#include <zlib.h>
#endif
#ifdef QUARN_HAVE_BZIP2
#include <bzlib.h>
#endif
#ifdef QUARN_HAVE_LZMA
#include <lzma.h>
#endif
#ifdef QUARN_LINK_ZSTD
#include <zstd.h>
#endif

namespace quarn::io {
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

#ifdef QUARN_HAVE_ZLIB
const InflateFns<z_stream> kSystemZlib = {
    [](z_stream* s, std::int32_t bits) -> std::int32_t { return inflateInit2(s, bits); },
    [](z_stream* s, std::int32_t flush) -> std::int32_t { return ::inflate(s, flush); },
    [](z_stream* s) -> std::int32_t { return inflateReset(s); },
    [](z_stream* s) -> std::int32_t { return inflateEnd(s); },
};
static_assert(Z_OK == kZOk && Z_STREAM_END == kZStreamEnd && Z_BUF_ERROR == kZBufError &&
              Z_NO_FLUSH == kZNoFlush);
#endif

std::atomic<bool> zlib_ng_hidden{false};

// zlib-ng loaded at run time: decided once (offer_zlib_ng). `loaded_ng` is
// set, with `ng_note`, before `ng_decided` is; readers look at the flag
// first.
std::once_flag ng_once;
std::atomic<bool> ng_decided{false};
std::atomic<const InflateFns<NgStream>*> loaded_ng{nullptr};
std::string ng_note;  // the version it has, or why there is none

// "2.3.3" from zlibng_version(): the major version, or -1.
int major_of(const char* version) {
  if (version == nullptr || !std::isdigit(static_cast<unsigned char>(version[0]))) return -1;
  return std::atoi(version);
}

void load_zlib_ng(const char* path, std::string_view why) {
  if (path == nullptr) {
    ng_note = why;
    return;
  }
  // The library has been loaded by whoever found it: this only takes a
  // handle, which is kept for the process.
  void* lib = ::dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
  if (lib == nullptr) lib = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    ng_note = std::string(why) + " cannot be loaded";
    return;
  }
  auto version = reinterpret_cast<const char* (*)()>(::dlsym(lib, "zlibng_version"));
  static InflateFns<NgStream> fns;
  fns.init2 =
      reinterpret_cast<std::int32_t (*)(NgStream*, std::int32_t)>(::dlsym(lib, "zng_inflateInit2"));
  fns.inflate =
      reinterpret_cast<std::int32_t (*)(NgStream*, std::int32_t)>(::dlsym(lib, "zng_inflate"));
  fns.reset = reinterpret_cast<std::int32_t (*)(NgStream*)>(::dlsym(lib, "zng_inflateReset"));
  fns.end = reinterpret_cast<std::int32_t (*)(NgStream*)>(::dlsym(lib, "zng_inflateEnd"));
  if (!version || !fns.init2 || !fns.inflate || !fns.reset || !fns.end) {
    ng_note = std::string(why) + " lacks zlib-ng's native inflate functions";
    return;
  }
  const char* v = version();
  if (major_of(v) != 2) {
    ng_note = std::string(why) + " has zlib-ng " + (v != nullptr ? v : "?") +
              ", not the 2.x whose stream this build declares";
    return;
  }
  ng_note = std::string(v) + " (loaded from " + std::string(why) + ")";
  loaded_ng.store(&fns, std::memory_order_release);
}

const InflateFns<NgStream>* zlib_ng_fns() {
  return zlib_ng_hidden.load(std::memory_order_relaxed) ? nullptr
                                                        : loaded_ng.load(std::memory_order_acquire);
}

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

// Every xz stream, one after another, and zero bytes of padding between
// them. What follows the last stream and is no stream (it starts otherwise,
// or fails before it gives a byte) is ignored, as the interpreter's lzma
// module and the bz2 decoder here do; a stream that ends early is truncated.
class XzDecoder final : public Decoder {
 public:
  ~XzDecoder() override { lzma_end(&ls_); }

  State step(std::span<const std::uint8_t> in, std::span<std::uint8_t> out, bool last,
             std::size_t& consumed, std::size_t& produced) override {
    consumed = produced = 0;
    for (;;) {
      if (!inside_) {
        if (streams_ > 0) {
          while (consumed < in.size() && in[consumed] == 0) ++consumed;
          if (!stream_may_start(in.subspan(consumed))) ignore_rest_ = true;
        }
        if (ignore_rest_) consumed = in.size();
        if (consumed == in.size()) return last ? State::End : State::More;
        // One stream at a time (no LZMA_CONCATENATED): the end of each is
        // where junk may begin.
        lzma_ret r = lzma_stream_decoder(&ls_, UINT64_MAX, 0);
        if (r != LZMA_OK) return damaged(lzma_text(r));
        inside_ = true;
        stream_out_ = 0;
      }
      if (produced == out.size()) return State::More;
      ls_.next_in = in.data() + consumed;
      ls_.avail_in = in.size() - consumed;
      ls_.next_out = out.data() + produced;
      ls_.avail_out = out.size() - produced;
      const std::size_t in_before = ls_.avail_in, out_before = ls_.avail_out;
      lzma_ret r = lzma_code(&ls_, last ? LZMA_FINISH : LZMA_RUN);
      consumed += in_before - ls_.avail_in;
      produced += out_before - ls_.avail_out;
      stream_out_ += out_before - ls_.avail_out;
      if (r == LZMA_STREAM_END) {
        inside_ = false;
        ++streams_;
        continue;
      }
      if (r == LZMA_OK) {
        if (in_before != ls_.avail_in || out_before != ls_.avail_out) continue;
        return State::More;
      }
      if (r == LZMA_BUF_ERROR) return State::More;
      if (streams_ > 0 && stream_out_ == 0) {
        inside_ = false;
        ignore_rest_ = true;
        continue;
      }
      return damaged(lzma_text(r));
    }
  }

 private:
  // Whether `rest` could begin a stream: it begins with (a part of) the magic.
  static bool stream_may_start(std::span<const std::uint8_t> rest) {
    static constexpr std::uint8_t kXzMagic[] = {0xfd, '7', 'z', 'X', 'Z', 0};
    const std::size_t n = std::min(rest.size(), sizeof kXzMagic);
    return n == 0 || std::memcmp(rest.data(), kXzMagic, n) == 0;
  }

  lzma_stream ls_ = LZMA_STREAM_INIT;
  bool inside_ = false;
  bool ignore_rest_ = false;
  std::uint64_t streams_ = 0;
  std::uint64_t stream_out_ = 0;
};
#endif

// libzstd: linked where the build found its development files, else loaded
// when first needed from its runtime library, whose soname promises the
// stable interface of 1.x; either way a version that has every function
// used here (ZSTD_DCtx_setParameter came with 1.4.0). Only that stable
// interface is used: the buffers below are ZSTD_inBuffer and
// ZSTD_outBuffer as zstd.h declares them.
#ifdef QUARN_LINK_ZSTD
using ZstdIn = ZSTD_inBuffer;
using ZstdOut = ZSTD_outBuffer;
#else
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
#endif
constexpr unsigned kZstdMinimum = 10400;  // 1.4.0, as ZSTD_versionNumber() gives it
constexpr int kZstdWindowLogMax = 100;    // ZSTD_d_windowLogMax
// The largest window a frame may ask for unless the environment allows more:
// zstd's own default, 128 MiB, against frames made to need GiBs.
constexpr int kZstdDefaultWindowLog = 27;
constexpr const char* kZstdWindowVariable = "QUARN_ZSTD_WINDOW_LOG_MAX";

struct ZstdApi {
  void* (*create)();
  std::size_t (*free)(void*);
  std::size_t (*decompress)(void*, ZstdOut*, ZstdIn*);
  unsigned (*is_error)(std::size_t);
  const char* (*error_name)(std::size_t);
  std::size_t (*set_parameter)(void*, int, int);
  unsigned (*version)();
};

struct Zstd {
  const ZstdApi* api = nullptr;  // nullptr: `note` says why
  std::string note;              // the library and how it is bound, or why there is none
  int window_log = kZstdDefaultWindowLog;
  std::string window_error;  // the environment's setting, when it is no window log
};

std::atomic<bool> zstd_hidden{false};

// The environment's window limit, read once with the library.
void read_window_log(Zstd& z) {
  const char* text = std::getenv(kZstdWindowVariable);
  if (text == nullptr || *text == 0) return;
  char* end = nullptr;
  const long log = std::strtol(text, &end, 10);
  if (*end != 0 || log < 10 || log > 31) {
    z.window_error = std::string(kZstdWindowVariable) + " must be a number from 10 to 31 (" +
                     "a window of 2 to the power of it), not '" + text + "'";
    return;
  }
  z.window_log = static_cast<int>(log);
}

Zstd find_zstd() {
  Zstd z;
  read_window_log(z);
  static ZstdApi api;
#ifdef QUARN_LINK_ZSTD
  api.create = []() -> void* { return ZSTD_createDStream(); };
  api.free = [](void* d) { return ZSTD_freeDStream(static_cast<ZSTD_DStream*>(d)); };
  api.decompress = [](void* d, ZstdOut* out, ZstdIn* in) {
    return ZSTD_decompressStream(static_cast<ZSTD_DStream*>(d), out, in);
  };
  api.is_error = &ZSTD_isError;
  api.error_name = &ZSTD_getErrorName;
  api.set_parameter = [](void* d, int param, int value) {
    return ZSTD_DCtx_setParameter(static_cast<ZSTD_DCtx*>(d), static_cast<ZSTD_dParameter>(param),
                                  value);
  };
  api.version = &ZSTD_versionNumber;
  static_assert(ZSTD_d_windowLogMax == kZstdWindowLogMax);
  const std::string how = "linked";
#else
  // Only the versioned runtime library: an unversioned name is a
  // development link, to whatever interface its package has.
  constexpr const char* kName = "libzstd.so.1";
  void* lib = ::dlopen(kName, RTLD_NOW | RTLD_LOCAL);
  if (lib == nullptr) {
    z.note = std::string(kName) + " cannot be loaded";
    return z;
  }
  api.create = reinterpret_cast<void* (*)()>(::dlsym(lib, "ZSTD_createDStream"));
  api.free = reinterpret_cast<std::size_t (*)(void*)>(::dlsym(lib, "ZSTD_freeDStream"));
  api.decompress = reinterpret_cast<std::size_t (*)(void*, ZstdOut*, ZstdIn*)>(
      ::dlsym(lib, "ZSTD_decompressStream"));
  api.is_error = reinterpret_cast<unsigned (*)(std::size_t)>(::dlsym(lib, "ZSTD_isError"));
  api.error_name =
      reinterpret_cast<const char* (*)(std::size_t)>(::dlsym(lib, "ZSTD_getErrorName"));
  api.set_parameter =
      reinterpret_cast<std::size_t (*)(void*, int, int)>(::dlsym(lib, "ZSTD_DCtx_setParameter"));
  api.version = reinterpret_cast<unsigned (*)()>(::dlsym(lib, "ZSTD_versionNumber"));
  const std::string how = std::string("loaded: ") + kName;
#endif
  // The version first: an older library may lack some of the others.
  const unsigned v = api.version != nullptr ? api.version() : 0;
  const std::string named = "libzstd " + std::to_string(v / 10000) + "." +
                            std::to_string(v / 100 % 100) + "." + std::to_string(v % 100) + " (" +
                            how + ")";
  if (v < kZstdMinimum) {
    z.note = named + " is older than the 1.4.0 needed";
    return z;
  }
  if (!api.create || !api.free || !api.decompress || !api.is_error || !api.error_name ||
      !api.set_parameter) {
    z.note = named + " lacks functions of zstd's stable interface";
    return z;
  }
  z.note = named;
  z.api = &api;
  return z;
}

const Zstd& zstd() {
  static const Zstd z = find_zstd();  // once, whichever thread comes first
  return z;
}

std::string size_text(std::uint64_t bytes) {
  for (auto [shift, unit] : {std::pair{30, " GiB"}, {20, " MiB"}, {10, " KiB"}}) {
    if (bytes >= (std::uint64_t{1} << shift) && bytes % (std::uint64_t{1} << shift) == 0)
      return std::to_string(bytes >> shift) + unit;
  }
  return std::to_string(bytes) + " bytes";
}

// The window a zstd frame asks for, from its header (RFC 8878, 3.1.1.1):
// how much of the output the decoder keeps. 0 where `h` is not enough of a
// frame header, or a skippable frame's.
std::uint64_t zstd_window(std::span<const std::uint8_t> h) {
  if (h.size() < 6 || std::memcmp(h.data(), "\x28\xb5\x2f\xfd", 4) != 0) return 0;
  const unsigned descriptor = h[4];
  if ((descriptor & 0x20) == 0) {
    // A window descriptor: 2 to the power of (10 + exponent), plus eighths.
    const unsigned wd = h[5];
    const std::uint64_t base = std::uint64_t{1} << (10 + (wd >> 3));
    return base + base / 8 * (wd & 7);
  }
  // A single segment: the window is the content, whose size follows the
  // dictionary id.
  static constexpr unsigned kIdBytes[] = {0, 1, 2, 4};
  static constexpr unsigned kSizeBytes[] = {1, 2, 4, 8};
  const std::size_t at = 5 + kIdBytes[descriptor & 3], n = kSizeBytes[descriptor >> 6];
  if (h.size() < at + n) return 0;
  std::uint64_t size = 0;
  for (std::size_t i = 0; i < n; ++i) size |= std::uint64_t{h[at + i]} << (8 * i);
  return n == 2 ? size + 256 : size;
}

// Every zstd frame (skippable ones included), one after another; the data
// may end only between frames.
class ZstdDecoder final : public Decoder {
 public:
  ZstdDecoder(const ZstdApi* api, int window_log)
      : api_(api), ds_(api->create()), window_log_(window_log) {
    if (ds_ != nullptr && api_->is_error(api_->set_parameter(ds_, kZstdWindowLogMax, window_log))) {
      api_->free(ds_);
      ds_ = nullptr;
    }
  }
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
      // The frame's first bytes, kept to say what it asked for should it be
      // refused: a call that ends a frame takes nothing of the next, and one
      // that fails has seen the bytes it does not count as taken.
      keep_header(in.subspan(consumed, api_->is_error(r) ? in.size() - consumed : ib.pos));
      consumed += ib.pos;
      produced += ob.pos;
      if (api_->is_error(r)) return failed(r);
      if (ib.pos == 0 && ob.pos == 0) break;
      inside_ = r != 0;  // 0: a frame ended and all of it is out
      if (!inside_) header_len_ = 0;
    }
    return last && !inside_ && consumed == in.size() ? State::End : State::More;
  }

 private:
  void keep_header(std::span<const std::uint8_t> taken) {
    const std::size_t keep = std::min(taken.size(), header_.size() - header_len_);
    if (keep > 0) std::memcpy(header_.data() + header_len_, taken.data(), keep);
    header_len_ += keep;
  }

  State failed(std::size_t r) {
    const std::uint64_t window = zstd_window({header_.data(), header_len_});
    const std::uint64_t allowed = std::uint64_t{1} << window_log_;
    if (window <= allowed) return damaged(api_->error_name(r));
    int log = 10;
    while ((std::uint64_t{1} << log) < window) ++log;
    if (log > 31) {
      return damaged("a frame asks for a " + size_text(window) +
                     " window, more than zstd decoders can have");
    }
    return refused("a frame asks for a " + size_text(window) + " window, more than the " +
                   size_text(allowed) + " allowed; " + kZstdWindowVariable + "=" +
                   std::to_string(log) + " in the environment allows it (and each open zstd " +
                   "source may then take " + size_text(std::uint64_t{1} << log) + " of memory)");
  }

  const ZstdApi* api_;
  void* ds_;
  int window_log_;
  bool inside_ = false;
  std::array<std::uint8_t, 18> header_{};  // a frame header's most
  std::size_t header_len_ = 0;
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
  // A skippable frame: magic 0x184D2A50 to 0x184D2A5F, little-endian.
  if (head.size() >= 4 && (head[0] & 0xf0) == 0x50 && head[1] == 0x2a && head[2] == 0x4d &&
      head[3] == 0x18) {
    return Kind::Zstd;
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

bool zlib_ng_awaited() {
  return linked_zlib_ng_version() == nullptr && !ng_decided.load(std::memory_order_acquire);
}

void offer_zlib_ng(const char* path, std::string_view why) {
  std::call_once(ng_once, [&] {
    load_zlib_ng(path, why);
    ng_decided.store(true, std::memory_order_release);
  });
}

std::string library_of(Kind kind) {
  switch (kind) {
    case Kind::Gzip: {
      if (const char* v = linked_zlib_ng_version())
        return "zlib-ng " + std::string(v) + " (linked)";
      const bool decided = ng_decided.load(std::memory_order_acquire);
      if (decided && loaded_ng.load(std::memory_order_acquire) != nullptr)
        return "zlib-ng " + ng_note;
      const std::string why = decided ? ng_note : "not looked for yet";
#ifdef QUARN_HAVE_ZLIB
      return "zlib " + std::string(zlibVersion()) + " (zlib-ng: " + why + ")";
#else
      return "none: this build has no zlib (zlib-ng: " + why + ")";
#endif
    }
    case Kind::Bz2: {
#ifdef QUARN_HAVE_BZIP2
      const std::string v = BZ2_bzlibVersion();
      return "libbz2 " + v.substr(0, v.find(','));
#else
      return "none: this build has no libbz2";
#endif
    }
    case Kind::Xz:
#ifdef QUARN_HAVE_LZMA
      return "liblzma " + std::string(lzma_version_string());
#else
      return "none: this build has no liblzma";
#endif
    case Kind::Zstd: {
      const Zstd& z = zstd();
      return z.api != nullptr ? z.note : "none: " + z.note;
    }
  }
  return "";
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
      if (!zlib_ng_hidden.load(std::memory_order_relaxed)) {
        if (auto d = linked_zlib_ng_decoder()) return d;
      }
      if (const auto* fns = zlib_ng_fns()) {
        auto d = std::make_unique<GzipDecoder<NgStream>>(*fns);
        if (d->ok()) return d;
      }
#ifdef QUARN_HAVE_ZLIB
      auto d = std::make_unique<GzipDecoder<z_stream>>(kSystemZlib);
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
    case Kind::Xz:
#ifdef QUARN_HAVE_LZMA
      return std::make_unique<XzDecoder>();
#else
      why = "xz-compressed data needs liblzma, which this build of quarn lacks";
      return nullptr;
#endif
    case Kind::Zstd: {
      const Zstd& z = zstd();
      if (z.api == nullptr || zstd_hidden.load(std::memory_order_relaxed)) {
        why = "zstd-compressed data needs libzstd (libzstd.so.1, 1.4.0 or later): " +
              (z.api == nullptr ? z.note : "hidden by the tests");
        return nullptr;
      }
      if (!z.window_error.empty()) {
        why = z.window_error;
        return nullptr;
      }
      auto d = std::make_unique<ZstdDecoder>(z.api, z.window_log);
      if (d->ok()) return d;
      why = "zstd: libzstd could not start";
      return nullptr;
    }
  }
  why = "unknown compression";
  return nullptr;
}

}  // namespace quarn::io
