// NEON kernel set (every aarch64 CPU has it): a 64-byte block is four 16-byte
// registers; the block logic is in simd_kernels.hpp. NEON has no movemask, so
// a byte mask becomes bits by keeping one bit per byte (bit i % 8 in byte i)
// and adding neighbouring bytes pairwise until eight bytes hold 64 bits.
#if defined(__aarch64__)

#include <arm_neon.h>

#include <cstddef>
#include <cstdint>

#include "scan/kernels.hpp"
#include "scan/simd_kernels.hpp"

namespace quarn::scan::detail {
namespace {

uint8x16_t splat(std::uint8_t c) {
  return vdupq_n_u8(c);
}

uint8x16_t table16(const std::uint8_t (&t)[16]) {
  return vld1q_u8(t);
}

// The 16 bytes before `cur` in the stream shifted in by N: byte i is the byte N
// positions before byte i of `cur`, `prev` being the 16 bytes before `cur`.
template <int N>
uint8x16_t previous(uint8x16_t cur, uint8x16_t prev) {
  return vextq_u8(prev, cur, 16 - N);
}

// Bit i of the result is the top bit of byte i % 16 of part i / 16 (every byte
// of the parts being 0x00 or 0xFF).
std::uint64_t bits(uint8x16_t a, uint8x16_t b, uint8x16_t c, uint8x16_t d) {
  static constexpr std::uint8_t kWeights[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                                1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t w = vld1q_u8(kWeights);
  const uint8x16_t ab = vpaddq_u8(vandq_u8(a, w), vandq_u8(b, w));
  const uint8x16_t cd = vpaddq_u8(vandq_u8(c, w), vandq_u8(d, w));
  const uint8x16_t all = vpaddq_u8(ab, cd);
  return vgetq_lane_u64(vreinterpretq_u64_u8(vpaddq_u8(all, all)), 0);
}

// 0xFF in byte i where bit i of m is set (16 bits).
uint8x16_t expand16(std::uint16_t m) {
  static constexpr std::uint8_t kSelect[16] = {1, 2, 4, 8, 16, 32, 64, 128,
                                               1, 2, 4, 8, 16, 32, 64, 128};
  const uint8x16_t spread = vcombine_u8(vdup_n_u8(static_cast<std::uint8_t>(m)),
                                        vdup_n_u8(static_cast<std::uint8_t>(m >> 8)));
  return vtstq_u8(spread, vld1q_u8(kSelect));
}

// Inclusive prefix sum of the bytes of one register.
uint8x16_t prefix_sum(uint8x16_t x) {
  const uint8x16_t zero = vdupq_n_u8(0);
  x = vaddq_u8(x, vextq_u8(zero, x, 15));
  x = vaddq_u8(x, vextq_u8(zero, x, 14));
  x = vaddq_u8(x, vextq_u8(zero, x, 12));
  return vaddq_u8(x, vextq_u8(zero, x, 8));
}

struct NeonOps {
  struct Block {
    uint8x16_t q[4];
  };

  static Block load(const std::uint8_t* p) {
    return {{vld1q_u8(p), vld1q_u8(p + 16), vld1q_u8(p + 32), vld1q_u8(p + 48)}};
  }

  static std::uint64_t eq(const Block& b, std::uint8_t c) {
    const uint8x16_t v = splat(c);
    return bits(vceqq_u8(b.q[0], v), vceqq_u8(b.q[1], v), vceqq_u8(b.q[2], v), vceqq_u8(b.q[3], v));
  }

  // '[' and '{' (and ']' and '}') differ only in bit 5.
  static void brackets(const Block& b, std::uint64_t& opens, std::uint64_t& closes) {
    uint8x16_t f[4];
    for (int i = 0; i < 4; ++i) f[i] = vorrq_u8(b.q[i], splat(0x20));
    const uint8x16_t open = splat('{');
    const uint8x16_t close = splat('}');
    opens = bits(vceqq_u8(f[0], open), vceqq_u8(f[1], open), vceqq_u8(f[2], open),
                 vceqq_u8(f[3], open));
    closes = bits(vceqq_u8(f[0], close), vceqq_u8(f[1], close), vceqq_u8(f[2], close),
                  vceqq_u8(f[3], close));
  }

  static std::uint64_t high(const Block& b) {
    const uint8x16_t top = splat(0x80);
    return bits(vcgeq_u8(b.q[0], top), vcgeq_u8(b.q[1], top), vcgeq_u8(b.q[2], top),
                vcgeq_u8(b.q[3], top));
  }

  // A table lookup yields zero for an index of 16 or more; keeping bit 7 in the
  // index gives bytes of 0x80 and above the zero entry, as on x86.
  static uint8x16_t in_table(uint8x16_t table, uint8x16_t v) {
    return vceqq_u8(vqtbl1q_u8(table, vandq_u8(v, splat(0x8F))), v);
  }
  static std::uint64_t json_space(const Block& b) {
    const uint8x16_t t = table16(kJsonSpace);
    return bits(in_table(t, b.q[0]), in_table(t, b.q[1]), in_table(t, b.q[2]), in_table(t, b.q[3]));
  }
  static std::uint64_t line_space(const Block& b) {
    const uint8x16_t t = table16(kLineSpace);
    return bits(in_table(t, b.q[0]), in_table(t, b.q[1]), in_table(t, b.q[2]), in_table(t, b.q[3]));
  }

  // Without a carry-less multiply in the baseline, six shifted XORs.
  static std::uint64_t prefix_xor(std::uint64_t x) {
    x ^= x << 1;
    x ^= x << 2;
    x ^= x << 4;
    x ^= x << 8;
    x ^= x << 16;
    return x ^ (x << 32);
  }

  // Bits where (opens - closes) summed over the bytes before equals target.
  static std::uint64_t depth_equals(std::uint64_t opens, std::uint64_t closes, int target) {
    const uint8x16_t t = splat(static_cast<std::uint8_t>(target));
    uint8x16_t eqs[4];
    uint8x16_t carried = vdupq_n_u8(0);
    for (int i = 0; i < 4; ++i) {
      const auto open = static_cast<std::uint16_t>(opens >> (16 * i));
      const auto close = static_cast<std::uint16_t>(closes >> (16 * i));
      // +1 = 0x01 and -1 = 0xFF, in wrapping byte arithmetic.
      const uint8x16_t delta =
          vsubq_u8(vandq_u8(expand16(open), splat(1)), vandq_u8(expand16(close), splat(1)));
      const uint8x16_t sum = vaddq_u8(prefix_sum(delta), carried);
      eqs[i] = vceqq_u8(vsubq_u8(sum, delta), t);
      carried = vdupq_laneq_u8(sum, 15);
    }
    return bits(eqs[0], eqs[1], eqs[2], eqs[3]);
  }

  class Utf8 {
   public:
    explicit Utf8(const std::uint8_t* tail) {
      std::uint8_t last[16] = {};
      last[13] = tail[0];
      last[14] = tail[1];
      last[15] = tail[2];
      prev_ = vld1q_u8(last);
    }

    // Errors found in the first `len` bytes of `b` (those after it depend on
    // the padding); `high` marks its bytes of 0x80 and above.
    void check(const Block& b, std::uint64_t high, unsigned len) {
      if (high == 0) {
        // Only a sequence left open by the previous block can fail here: one of
        // its last three bytes is a lead longer than the bytes after it.
        static constexpr std::uint8_t kOpenLimit[16] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                        0xFF, 0xEF, 0xDF, 0xBF};
        err_ = vorrq_u8(err_, vqsubq_u8(prev_, vld1q_u8(kOpenLimit)));
        return;
      }
      uint8x16_t e[4];
      for (int i = 0; i < 4; ++i) e[i] = check_part(b.q[i], i == 0 ? prev_ : b.q[i - 1], i);
      if (len == 64) {
        err_ = vorrq_u8(err_, vorrq_u8(vorrq_u8(e[0], e[1]), vorrq_u8(e[2], e[3])));
        return;
      }
      const std::uint64_t wrong = bits(vtstq_u8(e[0], e[0]), vtstq_u8(e[1], e[1]),
                                       vtstq_u8(e[2], e[2]), vtstq_u8(e[3], e[3]));
      if ((wrong & ((std::uint64_t{1} << len) - 1)) != 0) err_ = splat(1);
    }

    // After check(b) on a block with high bytes: bits where a multi-byte
    // character that is not White_Space is certain. A lead other than C2 and
    // E1..E3 always starts one; after C2 the second byte decides (U+0085,
    // U+00A0), after E1..E3 the third (U+1680, U+2000..U+200A, U+2028, U+2029,
    // U+202F, U+205F, U+3000).
    [[nodiscard]] std::uint64_t nonblank_marks(const Block& b) const {
      return bits(marks_part(b.q[0], p1_[0], p2_[0]), marks_part(b.q[1], p1_[1], p2_[1]),
                  marks_part(b.q[2], p1_[2], p2_[2]), marks_part(b.q[3], p1_[3], p2_[3]));
    }

    void advance(const Block& b) { prev_ = b.q[3]; }

    [[nodiscard]] bool failed() const { return vmaxvq_u8(err_) != 0; }

   private:
    uint8x16_t check_part(uint8x16_t cur, uint8x16_t prev, int part) {
      const uint8x16_t nibble = splat(0x0F);
      const uint8x16_t p1 = previous<1>(cur, prev);
      const uint8x16_t p2 = previous<2>(cur, prev);
      const uint8x16_t p3 = previous<3>(cur, prev);
      p1_[part] = p1;
      p2_[part] = p2;
      const uint8x16_t prev_high = vqtbl1q_u8(table16(kPrevHigh), vshrq_n_u8(p1, 4));
      const uint8x16_t prev_low = vqtbl1q_u8(table16(kPrevLow), vandq_u8(p1, nibble));
      const uint8x16_t cur_high = vqtbl1q_u8(table16(kCurHigh), vshrq_n_u8(cur, 4));
      const uint8x16_t special = vandq_u8(vandq_u8(prev_high, prev_low), cur_high);
      // Bit 7 set where two bytes back is E0 or more, or three bytes back F0
      // or more.
      const uint8x16_t third = vqsubq_u8(p2, splat(0xE0 - 0x80));
      const uint8x16_t fourth = vqsubq_u8(p3, splat(0xF0 - 0x80));
      const uint8x16_t must_continue = vandq_u8(vorrq_u8(third, fourth), splat(0x80));
      return veorq_u8(must_continue, special);
    }

    static uint8x16_t marks_part(uint8x16_t cur, uint8x16_t p1, uint8x16_t p2) {
      const auto is = [](uint8x16_t v, std::uint8_t c) { return vceqq_u8(v, splat(c)); };
      const uint8x16_t in_e1_e3 = vcleq_u8(vsubq_u8(cur, splat(0xE1)), splat(2));
      const uint8x16_t other_lead =
          vbicq_u8(vcgeq_u8(cur, splat(0xC0)), vorrq_u8(is(cur, 0xC2), in_e1_e3));
      const uint8x16_t after_c2 = vbicq_u8(is(p1, 0xC2), vorrq_u8(is(cur, 0x85), is(cur, 0xA0)));
      const uint8x16_t cur_80 = is(cur, 0x80);
      const uint8x16_t p1_80 = is(p1, 0x80);
      const uint8x16_t general =  // U+2000..U+200A, U+2028, U+2029, U+202F
          vorrq_u8(vorrq_u8(vcleq_u8(vsubq_u8(cur, splat(0x80)), splat(0x0A)),
                            is(vorrq_u8(cur, splat(1)), 0xA9)),
                   is(cur, 0xAF));
      const uint8x16_t e2 = vandq_u8(
          is(p2, 0xE2), vorrq_u8(vandq_u8(p1_80, general), vandq_u8(is(p1, 0x81), is(cur, 0x9F))));
      const uint8x16_t e1 = vandq_u8(vandq_u8(is(p2, 0xE1), is(p1, 0x9A)), cur_80);
      const uint8x16_t e3 = vandq_u8(vandq_u8(is(p2, 0xE3), p1_80), cur_80);
      const uint8x16_t third = vcleq_u8(vsubq_u8(p2, splat(0xE1)), splat(2));
      const uint8x16_t blank3 = vorrq_u8(vorrq_u8(e1, e2), e3);
      return vorrq_u8(vorrq_u8(other_lead, after_c2), vbicq_u8(third, blank3));
    }

    uint8x16_t prev_;
    uint8x16_t err_ = vdupq_n_u8(0);
    uint8x16_t p1_[4] = {};
    uint8x16_t p2_[4] = {};
  };
};

using Kernels = SimdKernels<NeonOps>;

}  // namespace

const KernelSet kNeonKernels = {"neon",
                                Kernels::count_array,
                                Kernels::find_element_end,
                                Kernels::count_lines,
                                Kernels::validate_utf8,
                                Kernels::summarize_array};

}  // namespace quarn::scan::detail

#endif  // defined(__aarch64__)
