// AVX-512BW kernel set: a 64-byte block is one register and byte compares give
// the 64-bit masks directly; the block logic is in simd_kernels.hpp.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "scan/kernels.hpp"
#include "scan/simd_kernels.hpp"

namespace quarn::scan::detail {
namespace {

__m512i splat(std::uint8_t c) {
  return _mm512_set1_epi8(static_cast<char>(c));
}

// A 16-entry byte table in every 128-bit lane. Built in a function, not as a
// global, so no AVX-512 code runs at load time before dispatch has checked the
// CPU. (The 128-bit broadcast intrinsic is avoided: with GCC 12 its undefined
// pass-through operand trips -Wmaybe-uninitialized.)
__m512i table16(const std::uint8_t (&t)[16]) {
  const auto c = [&t](int i) { return static_cast<char>(t[i & 15]); };
  return _mm512_set_epi8(
      c(63), c(62), c(61), c(60), c(59), c(58), c(57), c(56), c(55), c(54), c(53), c(52), c(51),
      c(50), c(49), c(48), c(47), c(46), c(45), c(44), c(43), c(42), c(41), c(40), c(39), c(38),
      c(37), c(36), c(35), c(34), c(33), c(32), c(31), c(30), c(29), c(28), c(27), c(26), c(25),
      c(24), c(23), c(22), c(21), c(20), c(19), c(18), c(17), c(16), c(15), c(14), c(13), c(12),
      c(11), c(10), c(9), c(8), c(7), c(6), c(5), c(4), c(3), c(2), c(1), c(0));
}

__mmask64 is(__m512i v, std::uint8_t c) {
  return _mm512_cmpeq_epi8_mask(v, splat(c));
}

// Bytes in lo..lo+span (unsigned).
__mmask64 in_range(__m512i v, std::uint8_t lo, std::uint8_t span) {
  return _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, splat(lo)), splat(span));
}

// Byte i is the byte N positions before byte i of `cur`, `prev` being the 64
// bytes before `cur`: the qword permute lines up each lane with the lane before
// it, the byte align then shifts across that pair.
template <int N>
__m512i previous(__m512i cur, __m512i prev) {
  const __m512i lane_before =
      _mm512_permutex2var_epi64(prev, _mm512_setr_epi64(6, 7, 8, 9, 10, 11, 12, 13), cur);
  return _mm512_alignr_epi8(cur, lane_before, 16 - N);
}

struct Avx512Ops {
  using Block = __m512i;

  static Block load(const std::uint8_t* p) { return _mm512_loadu_si512(p); }

  static std::uint64_t eq(const Block& b, std::uint8_t c) { return is(b, c); }

  // '[' and '{' (and ']' and '}') differ only in bit 5.
  static void brackets(const Block& b, std::uint64_t& opens, std::uint64_t& closes) {
    const __m512i folded = _mm512_or_si512(b, splat(0x20));
    opens = is(folded, '{');
    closes = is(folded, '}');
  }

  static std::uint64_t high(const Block& b) { return _mm512_movepi8_mask(b); }

  // Carry-less multiplication by all ones: bit i becomes the XOR of bits 0..i.
  static std::uint64_t prefix_xor(std::uint64_t x) {
    const __m128i all = _mm_set1_epi8(-1);
    const __m128i v = _mm_cvtsi64_si128(static_cast<long long>(x));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(v, all, 0)));
  }

  static std::uint64_t json_space(const Block& b) {
    return _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(table16(kJsonSpace), b), b);
  }
  static std::uint64_t line_space(const Block& b) {
    return _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(table16(kLineSpace), b), b);
  }

  // Bits where (opens - closes) summed over the bytes before equals target.
  static std::uint64_t depth_equals(std::uint64_t opens, std::uint64_t closes, int target) {
    const __m512i delta =
        _mm512_mask_mov_epi8(_mm512_maskz_mov_epi8(opens, splat(1)), closes, splat(0xFF));
    __m512i x = _mm512_add_epi8(delta, _mm512_bslli_epi128(delta, 1));
    x = _mm512_add_epi8(x, _mm512_bslli_epi128(x, 2));
    x = _mm512_add_epi8(x, _mm512_bslli_epi128(x, 4));
    x = _mm512_add_epi8(x, _mm512_bslli_epi128(x, 8));
    // Each lane adds the totals of the lanes below it.
    const __m512i totals = _mm512_shuffle_epi8(x, splat(15));
    const __m512i one_up = _mm512_maskz_alignr_epi64(0xFC, totals, totals, 6);
    const __m512i two_up = _mm512_maskz_alignr_epi64(0xF0, totals, totals, 4);
    const __m512i three_up = _mm512_maskz_alignr_epi64(0xC0, totals, totals, 2);
    x = _mm512_add_epi8(x, _mm512_add_epi8(one_up, _mm512_add_epi8(two_up, three_up)));
    return _mm512_cmpeq_epi8_mask(_mm512_sub_epi8(x, delta),
                                  splat(static_cast<std::uint8_t>(target)));
  }

  class Utf8 {
   public:
    explicit Utf8(const std::uint8_t* tail) {
      alignas(64) std::uint8_t last[64] = {};
      last[61] = tail[0];
      last[62] = tail[1];
      last[63] = tail[2];
      prev_ = _mm512_load_si512(last);
    }

    // Errors found in the first `len` bytes of `b` (those after it depend on
    // the padding); `high` marks its bytes of 0x80 and above.
    void check(const Block& b, std::uint64_t high, unsigned len) {
      if (high == 0) {
        // Only a sequence left open by the previous block can fail here: one of
        // its last three bytes is a lead longer than the bytes after it.
        const __m512i open_limit = _mm512_set_epi64(static_cast<long long>(0xBFDFEFFFFFFFFFFFull),
                                                    -1, -1, -1, -1, -1, -1, -1);
        err_ = _mm512_or_si512(err_, _mm512_subs_epu8(prev_, open_limit));
        return;
      }
      const __m512i nibble = splat(0x0F);
      p1_ = previous<1>(b, prev_);
      p2_ = previous<2>(b, prev_);
      const __m512i p3 = previous<3>(b, prev_);
      const __m512i prev_high = _mm512_shuffle_epi8(
          table16(kPrevHigh), _mm512_and_si512(_mm512_srli_epi16(p1_, 4), nibble));
      const __m512i prev_low =
          _mm512_shuffle_epi8(table16(kPrevLow), _mm512_and_si512(p1_, nibble));
      const __m512i cur_high =
          _mm512_shuffle_epi8(table16(kCurHigh), _mm512_and_si512(_mm512_srli_epi16(b, 4), nibble));
      const __m512i special = _mm512_and_si512(_mm512_and_si512(prev_high, prev_low), cur_high);
      // Bit 7 set where two bytes back is E0 or more, or three bytes back F0
      // or more.
      const __m512i must_continue =
          _mm512_and_si512(_mm512_or_si512(_mm512_subs_epu8(p2_, splat(0xE0 - 0x80)),
                                           _mm512_subs_epu8(p3, splat(0xF0 - 0x80))),
                           splat(0x80));
      const __m512i errors = _mm512_xor_si512(must_continue, special);
      if (len == 64) {
        err_ = _mm512_or_si512(err_, errors);
      } else if ((_mm512_test_epi8_mask(errors, errors) & ((std::uint64_t{1} << len) - 1)) != 0) {
        err_ = splat(1);
      }
    }

    // After check(b) on a block with high bytes: bits where a multi-byte
    // character that is not White_Space is certain. A lead other than C2 and
    // E1..E3 always starts one; after C2 the second byte decides (U+0085,
    // U+00A0), after E1..E3 the third (U+1680, U+2000..U+200A, U+2028, U+2029,
    // U+202F, U+205F, U+3000).
    [[nodiscard]] std::uint64_t nonblank_marks(const Block& b) const {
      const __mmask64 other_lead =
          _mm512_cmpge_epu8_mask(b, splat(0xC0)) & ~(is(b, 0xC2) | in_range(b, 0xE1, 2));
      const __mmask64 after_c2 = is(p1_, 0xC2) & ~(is(b, 0x85) | is(b, 0xA0));
      const __mmask64 cur_80 = is(b, 0x80);
      const __mmask64 p1_80 = is(p1_, 0x80);
      const __mmask64 general =  // U+2000..U+200A, U+2028, U+2029, U+202F
          in_range(b, 0x80, 0x0A) | is(_mm512_or_si512(b, splat(1)), 0xA9) | is(b, 0xAF);
      const __mmask64 blank3 =
          (is(p2_, 0xE1) & is(p1_, 0x9A) & cur_80) |
          (is(p2_, 0xE2) & ((p1_80 & general) | (is(p1_, 0x81) & is(b, 0x9F)))) |
          (is(p2_, 0xE3) & p1_80 & cur_80);
      return other_lead | after_c2 | (in_range(p2_, 0xE1, 2) & ~blank3);
    }

    void advance(const Block& b) { prev_ = b; }

    [[nodiscard]] bool failed() const { return _mm512_test_epi8_mask(err_, err_) != 0; }

   private:
    __m512i prev_;
    __m512i err_ = _mm512_setzero_si512();
    __m512i p1_ = _mm512_setzero_si512();
    __m512i p2_ = _mm512_setzero_si512();
  };
};

using Kernels = SimdKernels<Avx512Ops>;

}  // namespace

const KernelSet kAvx512Kernels = {"avx512",
                                  Kernels::count_array,
                                  Kernels::find_element_end,
                                  Kernels::count_lines,
                                  Kernels::validate_utf8,
                                  Kernels::summarize_array};

}  // namespace quarn::scan::detail

#endif  // defined(__x86_64__)
