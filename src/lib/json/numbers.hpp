// Numbers for the parser: digits eight at a time, exact powers of ten, and
// the Eisel-Lemire conversion of a decimal to the nearest double over the
// 128-bit powers of five (pow5.cpp).
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quarn::json::detail {

inline bool is_digit(char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

// Powers of ten that are exact in a double: a product or quotient with one of
// them is a single correctly rounded operation.
inline constexpr double kExactPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                         1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                         1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline std::uint64_t load_le64(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
  return w;
}

// Eight ASCII digits in a little-endian word: every byte is 0x30..0x39 when
// its high nibble is 3 and adding 6 does not carry into the high nibble.
inline bool is_eight_digits(std::uint64_t w) {
  constexpr std::uint64_t kHighNibbles = 0xF0F0F0F0F0F0F0F0ull;
  return ((w & kHighNibbles) | (((w + 0x0606060606060606ull) & kHighNibbles) >> 4)) ==
         0x3333333333333333ull;
}

// Their value, combining neighbours pairwise: digits to 2-digit lanes, then
// two multiplies gather the four lanes into one 8-digit number.
inline std::uint64_t eight_digits_value(std::uint64_t w) {
  w -= 0x3030303030303030ull;
  w = w * 10 + (w >> 8);
  constexpr std::uint64_t kLanes = 0x000000FF000000FFull;
  constexpr std::uint64_t kMul1 = 100 + (1000000ull << 32);
  constexpr std::uint64_t kMul2 = 1 + (10000ull << 32);
  return (((w & kLanes) * kMul1) + (((w >> 16) & kLanes) * kMul2)) >> 32;
}

// Appends at most `limit` digits from p to s; returns the first byte not read.
inline const char* read_digits(const char* p, const char* end, std::uint64_t& s,
                               std::ptrdiff_t limit) {
  const char* const stop = p + std::min(limit, end - p);
  while (stop - p >= 8) {
    const std::uint64_t w = load_le64(p);
    if (!is_eight_digits(w)) break;
    s = s * 100000000 + eight_digits_value(w);
    p += 8;
  }
  for (; p != stop && is_digit(*p); ++p) s = s * 10 + static_cast<std::uint64_t>(*p - '0');
  return p;
}

// 128-bit approximations of 5^q for q = -342..308, most significant bit set,
// as (high, low) pairs.
inline constexpr int kPow5MinExponent = -342;
inline constexpr int kPow5MaxExponent = 308;
extern const std::uint64_t kPow5Table[(kPow5MaxExponent - kPow5MinExponent + 1) * 2];

// The double nearest to w * 10^q for 0 < w < 10^19 (Eisel-Lemire): the
// normalised w times the 128-bit 5^q gives the leading bits of the exact
// product; the 128-bit width suffices to round every such input correctly,
// and the only ambiguity left, an exact tie, can occur only for small |q|
// where the product is exact and is checked for. Returns false where the
// result would be subnormal or infinite; from_chars settles those.
__extension__ typedef unsigned __int128 Uint128;

inline bool eisel_lemire(std::uint64_t w, std::int64_t q, double& out) {
  if (q < kPow5MinExponent || q > kPow5MaxExponent) return false;
  const int lz = std::countl_zero(w);
  w <<= lz;
  const std::uint64_t* pow5 = &kPow5Table[2 * (q - kPow5MinExponent)];
  Uint128 product = static_cast<Uint128>(w) * pow5[0];
  auto upper = static_cast<std::uint64_t>(product >> 64);
  auto lower = static_cast<std::uint64_t>(product);
  // The bits below the 55 we keep are all ones: the truncated low half of
  // the power could carry into them, so add its contribution.
  if ((upper & 0x1FF) == 0x1FF) {
    const auto second = static_cast<std::uint64_t>((static_cast<Uint128>(w) * pow5[1]) >> 64);
    lower += second;
    if (second > lower) ++upper;
  }
  const int upper_bit = static_cast<int>(upper >> 63);
  const int shift = upper_bit + 9;
  std::uint64_t mantissa = upper >> shift;
  // (217706 * q) >> 16 is floor(q * log2(10)) throughout the table's range;
  // with the table's normalisation it locates the product's leading bit.
  const std::int64_t power2 = ((217706 * q) >> 16) + 63 + upper_bit - lz + 1023;
  if (power2 <= 0) return false;
  // A tie between two doubles needs an exactly representable product, so
  // only small powers; there the dropped bits are all zero exactly at a tie,
  // and the tie goes to the even neighbour instead of up.
  if (lower <= 1 && q >= -4 && q <= 23 && (mantissa & 3) == 1 && (mantissa << shift) == upper) {
    mantissa &= ~std::uint64_t{1};
  }
  mantissa += mantissa & 1;
  mantissa >>= 1;
  std::int64_t biased = power2;
  if (mantissa >= (std::uint64_t{2} << 52)) {
    mantissa = std::uint64_t{1} << 52;
    ++biased;
  }
  if (biased >= 0x7FF) return false;
  const std::uint64_t bits =
      (mantissa & ~(std::uint64_t{1} << 52)) | (static_cast<std::uint64_t>(biased) << 52);
  out = std::bit_cast<double>(bits);
  return true;
}

// Whether a finite, non-zero decimal number text that a double cannot hold is
// too large (rather than too small). Cold: only after from_chars gave up.
[[nodiscard]] bool decimal_overflows(const char* first, const char* last);

}  // namespace quarn::json::detail
