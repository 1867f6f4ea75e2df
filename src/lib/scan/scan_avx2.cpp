// AVX2 kernel set: a 64-byte block is two 32-byte registers; the block logic is
// in simd_kernels.hpp.
#if defined(__x86_64__)

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "scan/kernels.hpp"
#include "scan/simd_kernels.hpp"

namespace quarn::scan::detail {
namespace {

__m256i splat(std::uint8_t c) {
  return _mm256_set1_epi8(static_cast<char>(c));
}

// A 16-entry byte table, the same in both 128-bit lanes. Tables are built in
// functions rather than as globals: a global would run AVX2 code at load time,
// before dispatch has checked the CPU.
__m256i table16(const std::uint8_t (&t)[16]) {
  const auto c = [&t](int i) { return static_cast<char>(t[i]); };
  return _mm256_setr_epi8(c(0), c(1), c(2), c(3), c(4), c(5), c(6), c(7), c(8), c(9), c(10), c(11),
                          c(12), c(13), c(14), c(15), c(0), c(1), c(2), c(3), c(4), c(5), c(6),
                          c(7), c(8), c(9), c(10), c(11), c(12), c(13), c(14), c(15));
}

// Unsigned a <= b, bytewise.
__m256i le_u8(__m256i a, __m256i b) {
  return _mm256_cmpeq_epi8(_mm256_min_epu8(a, b), a);
}

// The 32 bytes before `cur` in the stream shifted in by N: byte i is the byte N
// positions before byte i of `cur`, `prev` being the 32 bytes before `cur`.
template <int N>
__m256i previous(__m256i cur, __m256i prev) {
  return _mm256_alignr_epi8(cur, _mm256_permute2x128_si256(prev, cur, 0x21), 16 - N);
}

struct Avx2Ops {
  struct Block {
    __m256i lo;
    __m256i hi;
  };

  static Block load(const std::uint8_t* p) {
    return {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32))};
  }

  static std::uint64_t bits(__m256i lo, __m256i hi) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(lo)) |
           static_cast<std::uint64_t>(static_cast<std::uint32_t>(_mm256_movemask_epi8(hi))) << 32;
  }

  static std::uint64_t eq(const Block& b, std::uint8_t c) {
    const __m256i v = splat(c);
    return bits(_mm256_cmpeq_epi8(b.lo, v), _mm256_cmpeq_epi8(b.hi, v));
  }

  // '[' and '{' (and ']' and '}') differ only in bit 5.
  static void brackets(const Block& b, std::uint64_t& opens, std::uint64_t& closes) {
    const __m256i lo = _mm256_or_si256(b.lo, splat(0x20));
    const __m256i hi = _mm256_or_si256(b.hi, splat(0x20));
    opens = bits(_mm256_cmpeq_epi8(lo, splat('{')), _mm256_cmpeq_epi8(hi, splat('{')));
    closes = bits(_mm256_cmpeq_epi8(lo, splat('}')), _mm256_cmpeq_epi8(hi, splat('}')));
  }

  static std::uint64_t high(const Block& b) { return bits(b.lo, b.hi); }

  // Carry-less multiplication by all ones: bit i becomes the XOR of bits 0..i.
  static std::uint64_t prefix_xor(std::uint64_t x) {
    const __m128i all = _mm_set1_epi8(-1);
    const __m128i v = _mm_cvtsi64_si128(static_cast<long long>(x));
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(v, all, 0)));
  }

  static std::uint64_t in_table(const Block& b, __m256i table) {
    return bits(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, b.lo), b.lo),
                _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, b.hi), b.hi));
  }
  static std::uint64_t json_space(const Block& b) { return in_table(b, table16(kJsonSpace)); }
  static std::uint64_t line_space(const Block& b) { return in_table(b, table16(kLineSpace)); }

  // 0xFF in byte i where bit i of m is set.
  static __m256i expand(std::uint32_t m) {
    const __m256i spread = _mm256_setr_epi8(0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1, 2, 2, 2,
                                            2, 2, 2, 2, 2, 3, 3, 3, 3, 3, 3, 3, 3);
    const __m256i select = _mm256_set1_epi64x(static_cast<long long>(0x8040201008040201ull));
    const __m256i v = _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(m)), spread);
    return _mm256_cmpeq_epi8(_mm256_and_si256(v, select), select);
  }

  // Inclusive prefix sum of bytes within each 128-bit lane.
  static __m256i lane_prefix(__m256i x) {
    x = _mm256_add_epi8(x, _mm256_slli_si256(x, 1));
    x = _mm256_add_epi8(x, _mm256_slli_si256(x, 2));
    x = _mm256_add_epi8(x, _mm256_slli_si256(x, 4));
    return _mm256_add_epi8(x, _mm256_slli_si256(x, 8));
  }

  // Bits where (opens - closes) summed over the bytes before equals target.
  static std::uint64_t depth_equals(std::uint64_t opens, std::uint64_t closes, int target) {
    const __m256i d_lo = _mm256_sub_epi8(expand(static_cast<std::uint32_t>(closes)),
                                         expand(static_cast<std::uint32_t>(opens)));
    const __m256i d_hi = _mm256_sub_epi8(expand(static_cast<std::uint32_t>(closes >> 32)),
                                         expand(static_cast<std::uint32_t>(opens >> 32)));
    const __m256i last = splat(15);
    __m256i lo = lane_prefix(d_lo);
    __m256i hi = lane_prefix(d_hi);
    // Lane totals: lane 1 of each half adds lane 0's, the high half adds the
    // low half's.
    const __m256i lo_totals = _mm256_shuffle_epi8(lo, last);
    lo = _mm256_add_epi8(lo, _mm256_permute2x128_si256(lo_totals, lo_totals, 0x08));
    const __m256i lo_sum = _mm256_shuffle_epi8(_mm256_permute2x128_si256(lo, lo, 0x11), last);
    const __m256i hi_totals = _mm256_shuffle_epi8(hi, last);
    hi = _mm256_add_epi8(
        hi, _mm256_add_epi8(lo_sum, _mm256_permute2x128_si256(hi_totals, hi_totals, 0x08)));
    const __m256i t = splat(static_cast<std::uint8_t>(target));
    return bits(_mm256_cmpeq_epi8(_mm256_sub_epi8(lo, d_lo), t),
                _mm256_cmpeq_epi8(_mm256_sub_epi8(hi, d_hi), t));
  }

  class Utf8 {
   public:
    explicit Utf8(const std::uint8_t* tail) {
      alignas(32) std::uint8_t last[32] = {};
      last[29] = tail[0];
      last[30] = tail[1];
      last[31] = tail[2];
      prev_ = _mm256_load_si256(reinterpret_cast<const __m256i*>(last));
    }

    // Errors found in the first `len` bytes of `b` (those after it depend on
    // the padding); `high` marks its bytes of 0x80 and above.
    void check(const Block& b, std::uint64_t high, unsigned len) {
      if (high == 0) {
        // Only a sequence left open by the previous block can fail here: one of
        // its last three bytes is a lead longer than the bytes after it.
        const __m256i open_limit =
            _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                             -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, static_cast<char>(0xEF),
                             static_cast<char>(0xDF), static_cast<char>(0xBF));
        err_ = _mm256_or_si256(err_, _mm256_subs_epu8(prev_, open_limit));
        return;
      }
      const __m256i e_lo = check_half(b.lo, prev_, 0);
      const __m256i e_hi = check_half(b.hi, b.lo, 1);
      if (len == 64) {
        err_ = _mm256_or_si256(err_, _mm256_or_si256(e_lo, e_hi));
        return;
      }
      const __m256i zero = _mm256_setzero_si256();
      const std::uint64_t ok = bits(_mm256_cmpeq_epi8(e_lo, zero), _mm256_cmpeq_epi8(e_hi, zero));
      if ((~ok & ((std::uint64_t{1} << len) - 1)) != 0) err_ = _mm256_set1_epi8(1);
    }

    // After check(b) on a block with high bytes: bits where a multi-byte
    // character that is not White_Space is certain. A lead other than C2 and
    // E1..E3 always starts one; after C2 the second byte decides (U+0085,
    // U+00A0), after E1..E3 the third (U+1680, U+2000..U+200A, U+2028, U+2029,
    // U+202F, U+205F, U+3000).
    [[nodiscard]] std::uint64_t nonblank_marks(const Block& b) const {
      return bits(marks_half(b.lo, p1_[0], p2_[0]), marks_half(b.hi, p1_[1], p2_[1]));
    }

    void advance(const Block& b) { prev_ = b.hi; }

    [[nodiscard]] bool failed() const { return _mm256_testz_si256(err_, err_) == 0; }

   private:
    __m256i check_half(__m256i cur, __m256i prev, int half) {
      const __m256i nibble = splat(0x0F);
      const __m256i p1 = previous<1>(cur, prev);
      const __m256i p2 = previous<2>(cur, prev);
      const __m256i p3 = previous<3>(cur, prev);
      p1_[half] = p1;
      p2_[half] = p2;
      const __m256i prev_high = _mm256_shuffle_epi8(
          table16(kPrevHigh), _mm256_and_si256(_mm256_srli_epi16(p1, 4), nibble));
      const __m256i prev_low = _mm256_shuffle_epi8(table16(kPrevLow), _mm256_and_si256(p1, nibble));
      const __m256i cur_high = _mm256_shuffle_epi8(
          table16(kCurHigh), _mm256_and_si256(_mm256_srli_epi16(cur, 4), nibble));
      const __m256i special = _mm256_and_si256(_mm256_and_si256(prev_high, prev_low), cur_high);
      // Bit 7 set where two bytes back is E0 or more, or three bytes back F0
      // or more.
      const __m256i third = _mm256_subs_epu8(p2, splat(0xE0 - 0x80));
      const __m256i fourth = _mm256_subs_epu8(p3, splat(0xF0 - 0x80));
      const __m256i must_continue = _mm256_and_si256(_mm256_or_si256(third, fourth), splat(0x80));
      return _mm256_xor_si256(must_continue, special);
    }

    static __m256i marks_half(__m256i cur, __m256i p1, __m256i p2) {
      const auto is = [](__m256i v, std::uint8_t c) { return _mm256_cmpeq_epi8(v, splat(c)); };
      const __m256i in_e1_e3 = le_u8(_mm256_sub_epi8(cur, splat(0xE1)), splat(2));
      const __m256i other_lead =
          _mm256_andnot_si256(_mm256_or_si256(is(cur, 0xC2), in_e1_e3), le_u8(splat(0xC0), cur));
      const __m256i after_c2 =
          _mm256_andnot_si256(_mm256_or_si256(is(cur, 0x85), is(cur, 0xA0)), is(p1, 0xC2));
      const __m256i cur_80 = is(cur, 0x80);
      const __m256i p1_80 = is(p1, 0x80);
      const __m256i general =  // U+2000..U+200A, U+2028, U+2029, U+202F
          _mm256_or_si256(_mm256_or_si256(le_u8(_mm256_sub_epi8(cur, splat(0x80)), splat(0x0A)),
                                          is(_mm256_or_si256(cur, splat(1)), 0xA9)),
                          is(cur, 0xAF));
      const __m256i e2 = _mm256_and_si256(
          is(p2, 0xE2), _mm256_or_si256(_mm256_and_si256(p1_80, general),
                                        _mm256_and_si256(is(p1, 0x81), is(cur, 0x9F))));
      const __m256i e1 = _mm256_and_si256(_mm256_and_si256(is(p2, 0xE1), is(p1, 0x9A)), cur_80);
      const __m256i e3 = _mm256_and_si256(_mm256_and_si256(is(p2, 0xE3), p1_80), cur_80);
      const __m256i third = le_u8(_mm256_sub_epi8(p2, splat(0xE1)), splat(2));
      const __m256i blank3 = _mm256_or_si256(_mm256_or_si256(e1, e2), e3);
      return _mm256_or_si256(_mm256_or_si256(other_lead, after_c2),
                             _mm256_andnot_si256(blank3, third));
    }

    __m256i prev_;
    __m256i err_ = _mm256_setzero_si256();
    __m256i p1_[2] = {};
    __m256i p2_[2] = {};
  };
};

using Kernels = SimdKernels<Avx2Ops>;

}  // namespace

const KernelSet kAvx2Kernels = {"avx2",
                                Kernels::count_array,
                                Kernels::find_element_end,
                                Kernels::count_lines,
                                Kernels::validate_utf8,
                                Kernels::summarize_array};

}  // namespace quarn::scan::detail

#endif  // defined(__x86_64__)
