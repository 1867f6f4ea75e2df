// The block logic shared by the vector kernel sets, written once over 64-bit
// masks (bit i = byte i of a 64-byte block). A set supplies `Ops`: the byte
// classifiers, the depth prefix sum and a UTF-8 checker in its own instruction
// set, and the prefix XOR of a mask. Include this only from a translation unit built for that set,
// and give `Ops` a name of its own there: every function here is a member of the class template, so
// each set gets its own copies and none leaks into baseline code.
//
// Array blocks. Quotes preceded by an odd run of backslashes are escaped (the
// run may start in an earlier block: one carry bit). A prefix XOR of the
// remaining quotes, flipped when the block starts inside a string, marks the
// bytes inside strings (opening quote in, closing quote out). That equals the
// byte rules only while every backslash sits inside a string, since outside one
// a backslash escapes nothing; a block with a backslash outside the computed
// strings is handed to the scalar rules. Where that check passes, the masks are
// exact: the first byte where they could differ from the rules would be a quote
// right after such a backslash.
//
// Depth. Outside strings '[' '{' count +1 and ']' '}' count -1; an exclusive
// prefix sum over the block's bytes, compared with 1 - depth, marks the bytes
// seen at depth 1, which is where commas, separators and value bytes matter.
// The sum is skipped when the block has no brackets (depth is constant) or when
// its bracket counts cannot bring depth to 1, so it also never leaves int8.
//
// Line blocks. Bit i of `content` is set where byte i proves its line is not
// blank: an ASCII byte other than 09..0D and 20, or a multi-byte character that
// is not White_Space. Adding `content` to the mask of non-newline bytes carries
// a 1 from every content bit up to the next newline bit, so the newline bits set
// in the sum end non-blank lines, and the carry out of bit 63 is the state of
// the unterminated line. Multi-byte characters are judged at the byte where
// their class is known without looking ahead (see Ops::Utf8::nonblank_marks),
// and only when some line in the block has no ASCII content.
//
// UTF-8. Every byte is judged together with the one to three bytes before it
// (the previous block's last bytes shifted in): three 16-entry lookups on the
// previous byte's nibbles and the current byte's high nibble catch every bad
// pair, and a lead of three or four bytes two or three positions back demands a
// continuation byte. A block without high bytes only has to check that the
// previous block did not end inside a sequence.
//
// Tails shorter than 64 bytes are copied into a stack block padded with spaces
// (array and lines: a space changes no state and marks nothing; the UTF-8 errors
// it provokes past the real bytes are masked off) or zeros (one-shot validation,
// where the end of input is final).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scan/kernels.hpp"

namespace quarn::scan::detail {

// Whitespace by table lookup on the low nibble: the entry equals the byte only
// for a whitespace byte (0x20 at index 0, the control at its own index; 0xFF
// elsewhere matches no byte with that low nibble, and bytes of 0x80 and above
// look up zero).
inline constexpr std::uint8_t kJsonSpace[16] = {0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                0xFF, 0x09, 0x0A, 0xFF, 0x0C, 0x0D, 0xFF, 0xFF};
inline constexpr std::uint8_t kLineSpace[16] = {0x20, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                                0xFF, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0xFF, 0xFF};

// UTF-8 error classes by lookup (one bit per class): the high nibble of the
// previous byte, its low nibble and the high nibble of the current byte each
// name the classes they allow, and a pair is wrong when all three agree on one.
// Continuation-after-continuation (kTwoConts) is an error unless two or three
// bytes back sits a lead of three or four bytes, so that bit is XORed with the
// "must be a continuation" bit.
inline constexpr std::uint8_t kTooShort = 1 << 0;      // lead then no continuation
inline constexpr std::uint8_t kTooLong = 1 << 1;       // ASCII then continuation
inline constexpr std::uint8_t kOverlong3 = 1 << 2;     // E0 80..9F
inline constexpr std::uint8_t kTooLarge = 1 << 3;      // F4 90..BF, F5..FF then continuation
inline constexpr std::uint8_t kSurrogate = 1 << 4;     // ED A0..BF
inline constexpr std::uint8_t kOverlong2 = 1 << 5;     // C0, C1 then continuation
inline constexpr std::uint8_t kTooLarge1000 = 1 << 6;  // F5..FF 80..8F
inline constexpr std::uint8_t kOverlong4 = 1 << 6;     // F0 80..8F
inline constexpr std::uint8_t kTwoConts = 1 << 7;
inline constexpr std::uint8_t kCarry = kTooShort | kTooLong | kTwoConts;

inline constexpr std::uint8_t kPrevHigh[16] = {kTooLong,
                                               kTooLong,
                                               kTooLong,
                                               kTooLong,
                                               kTooLong,
                                               kTooLong,
                                               kTooLong,
                                               kTooLong,
                                               kTwoConts,
                                               kTwoConts,
                                               kTwoConts,
                                               kTwoConts,
                                               kTooShort | kOverlong2,
                                               kTooShort,
                                               kTooShort | kOverlong3 | kSurrogate,
                                               kTooShort | kTooLarge | kTooLarge1000 | kOverlong4};
inline constexpr std::uint8_t kPrevLow[16] = {kCarry | kOverlong3 | kOverlong2 | kOverlong4,
                                              kCarry | kOverlong2,
                                              kCarry,
                                              kCarry,
                                              kCarry | kTooLarge,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000 | kSurrogate,
                                              kCarry | kTooLarge | kTooLarge1000,
                                              kCarry | kTooLarge | kTooLarge1000};
inline constexpr std::uint8_t kCurHigh[16] = {
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
    kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
    kTooShort,
    kTooShort,
    kTooShort,
    kTooShort};

template <class Ops>
class SimdKernels {
 public:
  using Block = typename Ops::Block;

  // The drivers work on local copies of the caller's state whose address never
  // escapes (the scalar fallbacks get another copy), so the carries between
  // blocks stay in registers instead of making a store-reload round trip.
  static void count_array(const std::uint8_t* p, std::size_t n, CountState& st) {
    every_block(p, n, st, [](Block b, const std::uint8_t* q, unsigned k, CountState& s) {
      count_block(b, q, k, s);
    });
  }

  static std::size_t find_element_end(const std::uint8_t* p, std::size_t n, ArrayScan& st) {
    ArrayScan s = st;
    std::size_t done = 0;
    std::size_t found = n;
    for (; n - done >= 64; done += 64) {
      prefetch_ahead(p + done);
      const unsigned at = find_block(Ops::load(p + done), p + done, 64, s);
      if (at < 64) {
        found = done + at;
        break;
      }
    }
    if (found == n && done < n) {
      std::uint8_t buf[64];
      std::memset(buf, ' ', sizeof buf);
      std::memcpy(buf, p + done, n - done);
      found = done + find_block(Ops::load(buf), buf, static_cast<unsigned>(n - done), s);
    }
    st = s;
    return found;
  }

  static void summarize_array(const std::uint8_t* p, std::size_t n, RangeSummary& st) {
    every_block(p, n, st, [](Block b, const std::uint8_t* q, unsigned k, RangeSummary& s) {
      summary_block(b, q, k, s);
    });
  }

  static void count_lines(const std::uint8_t* p, std::size_t n, LineCount& st) {
    if (st.invalid || n == 0) return;
    typename Ops::Utf8 utf8(st.tail);
    bool carry = st.line_has_content;
    std::uint64_t lines = 0;
    std::size_t i = 0;
    for (; n - i >= 64; i += 64) {
      prefetch_ahead(p + i);
      lines += line_block(Ops::load(p + i), 64, utf8, carry);
    }
    if (i < n) {
      std::uint8_t buf[64];
      std::memset(buf, ' ', sizeof buf);
      std::memcpy(buf, p + i, n - i);
      lines += line_block(Ops::load(buf), static_cast<unsigned>(n - i), utf8, carry);
    }
    if (utf8.failed()) {
      st.invalid = true;
      return;
    }
    st.lines += lines;
    st.line_has_content = carry;
    remember_tail(st, p, n);
  }

  static bool validate_utf8(const std::uint8_t* p, std::size_t n) {
    const std::uint8_t start[3] = {0, 0, 0};
    typename Ops::Utf8 utf8(start);
    for (; n >= 64; p += 64, n -= 64) {
      prefetch_ahead(p);
      const Block b = Ops::load(p);
      utf8.check(b, Ops::high(b), 64);
      utf8.advance(b);
    }
    // Always one more, zero-padded block: a sequence cut by the end of input
    // then fails on the padding.
    std::uint8_t buf[64] = {};
    if (n != 0) std::memcpy(buf, p, n);
    const Block b = Ops::load(buf);
    utf8.check(b, Ops::high(b), 64);
    return !utf8.failed();
  }

 private:
  // Feeds `p` to `block` 64 bytes at a time, the tail padded with spaces
  // (whitespace moves no count and no summary), on a local copy of `st`.
  template <class State, class BlockFn>
  static void every_block(const std::uint8_t* p, std::size_t n, State& st, BlockFn block) {
    State s = st;
    for (; n >= 64; p += 64, n -= 64) {
      prefetch_ahead(p);
      block(Ops::load(p), p, 64, s);
    }
    if (n != 0) {
      std::uint8_t buf[64];
      std::memset(buf, ' ', sizeof buf);
      std::memcpy(buf, p, n);
      block(Ops::load(buf), buf, static_cast<unsigned>(n), s);
    }
    st = s;
  }

  static constexpr std::uint64_t kOddBits = 0xAAAAAAAAAAAAAAAAull;

  // The hardware prefetchers alone leave these loops waiting on memory for
  // inputs that are not in cache; a hint 2 KiB ahead keeps them fed. A prefetch
  // never faults, and the address is formed as an integer so that running past
  // the end of the input is not pointer arithmetic out of bounds.
  static void prefetch_ahead(const std::uint8_t* at) {
    __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(at) + 2048));
  }

  static unsigned popcount(std::uint64_t x) {
    return static_cast<unsigned>(__builtin_popcountll(x));
  }

  // Bytes escaped by a backslash run; `carry` says byte 0 is escaped on entry
  // and, on return, whether byte `len` of the stream is. A backslash that is
  // itself escaped starts nothing, so the runs are taken without it. In a run
  // the escaping backslashes are those at an even distance from its start, and
  // the byte after the run is escaped when the run is odd. In
  // ((runs << 1 | odd bits) - runs) the borrow walks along each run and
  // re-anchors the odd-bit pattern at the run's own start; XOR with the odd
  // bits leaves the escaping backslashes plus the byte after each odd run, and
  // XOR with the runs turns that into the escaped bytes.
  static std::uint64_t escaped_bytes(std::uint64_t backslash, unsigned len, bool& carry) {
    const std::uint64_t first = carry ? 1u : 0u;
    const std::uint64_t runs = backslash & ~first;
    const std::uint64_t alternating = ((runs << 1 | kOddBits) - runs) ^ kOddBits;
    const std::uint64_t escapers = alternating & runs;
    carry = ((escapers >> (len - 1)) & 1) != 0;
    return alternating ^ (runs | first);
  }

  // Per-block facts both array kernels need.
  struct Layout {
    std::uint64_t outside;    // bytes under the outside-string rules, opening quotes excluded
    std::uint64_t openers;    // opening quotes (value bytes too)
    std::uint64_t opens;      // '[' and '{' outside strings
    std::uint64_t closes;     // ']' and '}' outside strings
    std::uint64_t at_depth1;  // bytes whose depth before them is 1
  };

  // Classifies the block and advances `st` over its first `len` bytes; false
  // (with `st` untouched) when the block needs the scalar rules.
  static bool layout(const Block& b, unsigned len, ArrayScan& st, Layout& out) {
    const std::uint64_t backslash = Ops::eq(b, '\\');
    const std::uint64_t quote = Ops::eq(b, '"');
    bool carry = st.escaped;
    std::uint64_t escaped = 0;
    if ((backslash | static_cast<std::uint64_t>(carry)) != 0) {
      escaped = escaped_bytes(backslash, len, carry);
    }
    const std::uint64_t real_quotes = quote & ~escaped;
    const std::uint64_t inside =
        Ops::prefix_xor(real_quotes) ^ (st.in_string ? ~std::uint64_t{0} : std::uint64_t{0});
    if ((backslash & ~inside) != 0) return false;

    out.outside = ~(inside | real_quotes);
    out.openers = real_quotes & inside;
    std::uint64_t opens = 0;
    std::uint64_t closes = 0;
    Ops::brackets(b, opens, closes);
    opens &= out.outside;
    closes &= out.outside;
    out.opens = opens;
    out.closes = closes;
    out.at_depth1 = depth_one(st.depth, opens, closes);

    st.in_string = (inside >> 63) != 0;
    st.escaped = carry;
    st.depth += static_cast<std::int64_t>(popcount(opens)) - popcount(closes);
    return true;
  }

  static std::uint64_t depth_one(std::int64_t depth, std::uint64_t opens, std::uint64_t closes) {
    if ((opens | closes) == 0) return depth == 1 ? ~std::uint64_t{0} : 0;
    if (depth - popcount(closes) > 1 || depth + popcount(opens) < 1) return 0;
    return Ops::depth_equals(opens, closes, static_cast<int>(1 - depth));
  }

  static void count_block(const Block& b, const std::uint8_t* raw, unsigned len, CountState& st) {
    Layout l;
    if (!layout(b, len, st.scan, l)) {
      CountState copy = st;
      count_array_scalar(raw, len, copy);
      st = copy;
      return;
    }
    if (l.at_depth1 == 0) return;
    const std::uint64_t commas = Ops::eq(b, ',') & l.outside;
    st.commas += popcount(commas & l.at_depth1);
    if (st.has_content) return;
    const std::uint64_t values =
        (l.outside & ~(Ops::json_space(b) | l.closes | commas)) | l.openers;
    st.has_content = (values & l.at_depth1) != 0;
  }

  static unsigned find_block(const Block& b, const std::uint8_t* raw, unsigned len, ArrayScan& st) {
    Layout l;
    if (!layout(b, len, st, l)) {
      ArrayScan copy = st;
      const std::size_t at = find_element_end_scalar(raw, len, copy);
      st = copy;
      return static_cast<unsigned>(at);
    }
    if (l.at_depth1 == 0) return len;
    const std::uint64_t seps = (Ops::eq(b, ',') | Ops::eq(b, ']')) & l.outside & l.at_depth1;
    if (seps == 0) return len;
    st = ArrayScan{};
    return static_cast<unsigned>(__builtin_ctzll(seps));
  }

  // The summary runs the counting rules with the lowest depth so far in the
  // place of depth 1: the depth is shifted so that the lowest depth reads 1,
  // and layout's depth-1 mask marks the bytes at the lowest depth. A block
  // that goes below it (a byte whose depth before it is 0 after the shift,
  // or an end below 1) lowers the minimum, which restarts the counts part
  // way through the block: such blocks, rare past a range's first element,
  // take the scalar rules.
  static void summary_block(const Block& b, const std::uint8_t* raw, unsigned len,
                            RangeSummary& st) {
    ArrayScan shifted = st.scan;
    shifted.depth = st.scan.depth - st.min_depth + 1;
    const std::int64_t before = shifted.depth;
    Layout l;
    const bool simple = layout(b, len, shifted, l) && shifted.depth >= 1 &&
                        (before - popcount(l.closes) >= 1 ||
                         Ops::depth_equals(l.opens, l.closes, static_cast<int>(-before)) == 0);
    if (!simple) {
      RangeSummary copy = st;
      summarize_array_scalar(raw, len, copy);
      st = copy;
      return;
    }
    st.scan.in_string = shifted.in_string;
    st.scan.escaped = shifted.escaped;
    st.scan.depth = shifted.depth + st.min_depth - 1;
    if (l.at_depth1 == 0) return;
    const std::uint64_t commas = Ops::eq(b, ',') & l.outside;
    st.commas += popcount(commas & l.at_depth1);
    if (st.has_content) return;
    const std::uint64_t values =
        (l.outside & ~(Ops::json_space(b) | l.closes | commas)) | l.openers;
    st.has_content = (values & l.at_depth1) != 0;
  }

  // Non-blank lines ended by the newlines of this block.
  static unsigned line_block(const Block& b, unsigned len, typename Ops::Utf8& utf8, bool& carry) {
    const std::uint64_t high = Ops::high(b);
    utf8.check(b, high, len);
    const std::uint64_t newlines = Ops::eq(b, '\n');
    std::uint64_t content = ~(Ops::line_space(b) | high);
    std::uint64_t sum = 0;
    bool out = add_carry(~newlines, content, carry, sum);
    if (high != 0 && (!out || (newlines & ~sum) != 0)) {
      content |= utf8.nonblank_marks(b) & high;
      out = add_carry(~newlines, content, carry, sum);
    }
    utf8.advance(b);
    carry = out;
    return popcount(sum & newlines);
  }

  static bool add_carry(std::uint64_t a, std::uint64_t b, bool carry_in, std::uint64_t& sum) {
    unsigned long long s1 = 0;
    unsigned long long s2 = 0;
    const bool c1 = __builtin_uaddll_overflow(a, b, &s1);
    const bool c2 = __builtin_uaddll_overflow(s1, carry_in ? 1ull : 0ull, &s2);
    sum = s2;
    return c1 || c2;
  }
};

}  // namespace quarn::scan::detail
