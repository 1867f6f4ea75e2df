// Strings for the parser: hex escapes and the scan of plain string content,
// SSE2, NEON or eight bytes at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "json/numbers.hpp"

#if !defined(QUARN_PORTABLE_SCAN) && defined(__SSE2__)
#include <emmintrin.h>
#define QUARN_JSON_SCAN_SSE2 1
#elif !defined(QUARN_PORTABLE_SCAN) && defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>
#define QUARN_JSON_SCAN_NEON 1
#endif

namespace quarn::json::detail {

// Value of a hex digit, or -1. Signed so that OR-ing four lookups is negative
// exactly when one of them failed.
inline constexpr struct HexTable {
  signed char v[256];
  constexpr HexTable() : v() {
    for (int i = 0; i < 256; ++i) v[i] = -1;
    for (int i = 0; i < 10; ++i) v['0' + i] = static_cast<signed char>(i);
    for (int i = 0; i < 6; ++i) {
      v['a' + i] = static_cast<signed char>(10 + i);
      v['A' + i] = static_cast<signed char>(10 + i);
    }
  }
} kHex;

// Four hex digits as a code unit, or -1 when any is not a hex digit.
inline std::int32_t hex4(const char* p) {
  const std::int32_t a = kHex.v[static_cast<unsigned char>(p[0])];
  const std::int32_t b = kHex.v[static_cast<unsigned char>(p[1])];
  const std::int32_t c = kHex.v[static_cast<unsigned char>(p[2])];
  const std::int32_t d = kHex.v[static_cast<unsigned char>(p[3])];
  if ((a | b | c | d) < 0) return -1;
  return (a << 12) | (b << 8) | (c << 4) | d;
}

// Plain string content runs until a quotation mark, a backslash or a byte
// below 0x20. scan_string returns the first such byte in [p, end), or end, and
// clears `ascii` when a byte >= 0x80 comes before it.
//
// Each block yields a bit mask of "stop" bytes; its lowest set bit is the
// answer, and the high bits of the bytes below it say whether the run so far
// is ASCII. The last partial block is copied into a zero-filled buffer: the
// zeros count as stops, so a stop at or past the copied length means the text
// ended, and no load ever touches memory past `end`.
#if defined(QUARN_JSON_SCAN_SSE2)

inline unsigned sse2_stops(__m128i v) {
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i control_max = _mm_set1_epi8(0x1F);
  // min_epu8(v, 0x1F) == v exactly for the unsigned bytes <= 0x1F.
  const __m128i control = _mm_cmpeq_epi8(_mm_min_epu8(v, control_max), v);
  const __m128i hits =
      _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)), control);
  return static_cast<unsigned>(_mm_movemask_epi8(hits));
}

inline const char* scan_string(const char* p, const char* end, bool& ascii) {
  unsigned high = 0;
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned stops = sse2_stops(v);
    const auto h = static_cast<unsigned>(_mm_movemask_epi8(v));
    if (stops != 0) {
      const int k = std::countr_zero(stops);
      if ((high | (h & ((1u << k) - 1))) != 0) ascii = false;
      return p + k;
    }
    high |= h;
    p += 16;
  }
  alignas(16) char block[16] = {};
  std::memcpy(block, p, static_cast<std::size_t>(end - p));
  const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
  const int k = std::countr_zero(sse2_stops(v));
  const auto h = static_cast<unsigned>(_mm_movemask_epi8(v));
  if ((high | (h & ((1u << k) - 1))) != 0) ascii = false;
  return p + k;
}

#elif defined(QUARN_JSON_SCAN_NEON)

// NEON has no movemask: narrowing each 16-bit lane by a 4-bit shift leaves
// one nibble per byte (0xF or 0x0) in a 64-bit mask, byte i at bits 4i..4i+3.
inline std::uint64_t neon_mask(uint8x16_t bytes) {
  const uint8x8_t nibbles = vshrn_n_u16(vreinterpretq_u16_u8(bytes), 4);
  return vget_lane_u64(vreinterpret_u64_u8(nibbles), 0);
}

inline std::uint64_t neon_stops(uint8x16_t v) {
  const uint8x16_t hits =
      vorrq_u8(vorrq_u8(vceqq_u8(v, vdupq_n_u8('"')), vceqq_u8(v, vdupq_n_u8('\\'))),
               vcltq_u8(v, vdupq_n_u8(0x20)));
  return neon_mask(hits);
}

inline const char* scan_string(const char* p, const char* end, bool& ascii) {
  std::uint64_t high = 0;
  while (end - p >= 16) {
    const uint8x16_t v = vld1q_u8(reinterpret_cast<const std::uint8_t*>(p));
    const std::uint64_t stops = neon_stops(v);
    const std::uint64_t h = neon_mask(vcgeq_u8(v, vdupq_n_u8(0x80)));
    if (stops != 0) {
      const int bit = std::countr_zero(stops);
      if ((high | (h & ((std::uint64_t{1} << bit) - 1))) != 0) ascii = false;
      return p + bit / 4;
    }
    high |= h;
    p += 16;
  }
  alignas(16) std::uint8_t block[16] = {};
  std::memcpy(block, p, static_cast<std::size_t>(end - p));
  const uint8x16_t v = vld1q_u8(block);
  const int bit = std::countr_zero(neon_stops(v));
  const std::uint64_t h = neon_mask(vcgeq_u8(v, vdupq_n_u8(0x80)));
  if ((high | (h & ((std::uint64_t{1} << bit) - 1))) != 0) ascii = false;
  return p + bit / 4;
}

#else

// SWAR over 8 bytes read as a little-endian word. (x - 0x01..) & ~x & 0x80..
// flags zero bytes; the borrow can flag bytes above a real hit but never
// below one, so the lowest flag is exact. (x - 0x20..) & ~x & 0x80.. does the
// same for bytes below 0x20: a byte >= 0xA0 that wraps has its own high bit
// set and is masked by ~x.
inline constexpr std::uint64_t kOnes = 0x0101010101010101ull;
inline constexpr std::uint64_t kHighs = 0x8080808080808080ull;

inline std::uint64_t swar_stops(std::uint64_t w) {
  const std::uint64_t q = w ^ (kOnes * '"');
  const std::uint64_t b = w ^ (kOnes * '\\');
  return (((q - kOnes) & ~q) | ((b - kOnes) & ~b) | ((w - kOnes * 0x20) & ~w)) & kHighs;
}

inline const char* scan_string(const char* p, const char* end, bool& ascii) {
  std::uint64_t high = 0;
  while (end - p >= 8) {
    const std::uint64_t w = load_le64(p);
    const std::uint64_t stops = swar_stops(w);
    if (stops != 0) {
      const int bit = std::countr_zero(stops);
      // Bits below the stop's high bit cover the high bits of earlier bytes.
      if (((high | w) & kHighs & ((std::uint64_t{1} << bit) - 1)) != 0) ascii = false;
      return p + bit / 8;
    }
    high |= w;
    p += 8;
  }
  char block[8] = {};
  std::memcpy(block, p, static_cast<std::size_t>(end - p));
  const std::uint64_t w = load_le64(block);
  const int bit = std::countr_zero(swar_stops(w));
  if ((((high & kHighs) != 0) || (w & kHighs & ((std::uint64_t{1} << bit) - 1)) != 0)) {
    ascii = false;
  }
  return p + bit / 8;
}

#endif

}  // namespace quarn::json::detail
