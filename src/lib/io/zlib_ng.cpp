// zlib-ng linked at build time, where pkg-config found its development
// files. A file of its own: zlib-ng.h and zlib.h declare the same macros
// differently and must not meet in one translation unit.
#include "io/inflate.hpp"

#ifdef QUARN_LINK_ZLIB_NG
#include <zlib-ng.h>

#include <cstddef>
#endif

namespace quarn::io {

#ifdef QUARN_LINK_ZLIB_NG
namespace {

// The stream declared for the builds that load zlib-ng must be the header's.
#define QUARN_SAME_FIELD(f)                                         \
  static_assert(offsetof(NgStream, f) == offsetof(zng_stream, f) && \
                    sizeof(NgStream::f) == sizeof(zng_stream::f),   \
                "NgStream::" #f " is not where zlib-ng.h puts it")
QUARN_SAME_FIELD(next_in);
QUARN_SAME_FIELD(avail_in);
QUARN_SAME_FIELD(total_in);
QUARN_SAME_FIELD(next_out);
QUARN_SAME_FIELD(avail_out);
QUARN_SAME_FIELD(total_out);
QUARN_SAME_FIELD(msg);
QUARN_SAME_FIELD(state);
QUARN_SAME_FIELD(zalloc);
QUARN_SAME_FIELD(zfree);
QUARN_SAME_FIELD(opaque);
QUARN_SAME_FIELD(data_type);
QUARN_SAME_FIELD(adler);
QUARN_SAME_FIELD(reserved);
#undef QUARN_SAME_FIELD
static_assert(sizeof(NgStream) == sizeof(zng_stream));
static_assert(ZLIBNG_VER_MAJOR == 2, "written for zlib-ng 2.x");
static_assert(Z_OK == kZOk && Z_STREAM_END == kZStreamEnd && Z_BUF_ERROR == kZBufError &&
              Z_NO_FLUSH == kZNoFlush);

constexpr InflateFns<zng_stream> kLinked = {&zng_inflateInit2, &zng_inflate, &zng_inflateReset,
                                            &zng_inflateEnd};

}  // namespace

std::unique_ptr<Decoder> linked_zlib_ng_decoder() {
  auto d = std::make_unique<GzipDecoder<zng_stream>>(kLinked);
  if (!d->ok()) return nullptr;
  return d;
}

const char* linked_zlib_ng_version() {
  return zlibng_version();
}
#else
std::unique_ptr<Decoder> linked_zlib_ng_decoder() {
  return nullptr;
}

const char* linked_zlib_ng_version() {
  return nullptr;
}
#endif

}  // namespace quarn::io
