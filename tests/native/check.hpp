// What the native tests share: a CHECK that reports and counts instead of
// stopping, so one run lists every failure, and a strict UTF-8 reference.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quarn::test {

inline int failures = 0;

// The exit status of a test program, after a one-line verdict.
inline int finish(const char* name) {
  std::printf("%s: %s\n", name, failures == 0 ? "all passed" : "FAILED");
  return failures == 0 ? 0 : 1;
}

// Strict UTF-8 by code point ranges (no overlongs, surrogates or values past
// U+10FFFF), independent of the byte-range tables of the code under test.
inline bool valid_utf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    const std::size_t n = b < 0x80          ? 1
                          : (b >> 5) == 6  ? 2
                          : (b >> 4) == 14 ? 3
                          : (b >> 3) == 30 ? 4
                                           : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? b : b & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<std::uint8_t>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3F);
    }
    const std::uint32_t min[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < min[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

}  // namespace quarn::test

#define CHECK(cond, ...)                                           \
  do {                                                             \
    if (!(cond)) {                                                 \
      ++quarn::test::failures;                                     \
      std::fprintf(stderr, "%s:%d: ", __FILE__, __LINE__);         \
      std::fprintf(stderr, __VA_ARGS__), std::fputc('\n', stderr); \
    }                                                              \
  } while (0)
