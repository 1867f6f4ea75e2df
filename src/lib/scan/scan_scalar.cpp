// Scalar kernels: the reference every vector set is tested against, the set used
// where no vector set applies, and the fallback for blocks the bit tricks of the
// vector sets cannot decide. One byte at a time, straight from the rules in
// scan.hpp.
#include <cstddef>
#include <cstdint>

#include "scan/kernels.hpp"

namespace quarn::scan {
namespace {

// Strict UTF-8, one byte at a time. `lo` and `hi` bound the next continuation
// byte: the second byte is where overlongs (E0 80, F0 80), surrogates (ED A0)
// and values above U+10FFFF (F4 90) show, so the lead narrows the range for it.
class Utf8Decoder {
 public:
  enum class Step { kInvalid, kPartial, kChar };

  [[nodiscard]] Step feed(std::uint8_t c) {
    if (need_ == 0) {
      if (c < 0x80) {
        cp_ = c;
        return Step::kChar;
      }
      if (c >= 0xC2 && c <= 0xDF) return start(c & 0x1F, 1, 0x80, 0xBF);
      if (c >= 0xE0 && c <= 0xEF) {
        return start(c & 0x0F, 2, c == 0xE0 ? 0xA0 : 0x80, c == 0xED ? 0x9F : 0xBF);
      }
      if (c >= 0xF0 && c <= 0xF4) {
        return start(c & 0x07, 3, c == 0xF0 ? 0x90 : 0x80, c == 0xF4 ? 0x8F : 0xBF);
      }
      return Step::kInvalid;
    }
    if (c < lo_ || c > hi_) return Step::kInvalid;
    cp_ = cp_ << 6 | (c & 0x3F);
    lo_ = 0x80;
    hi_ = 0xBF;
    return --need_ == 0 ? Step::kChar : Step::kPartial;
  }

  [[nodiscard]] bool idle() const { return need_ == 0; }
  [[nodiscard]] std::uint32_t code_point() const { return cp_; }

 private:
  Step start(std::uint32_t bits, int need, std::uint8_t lo, std::uint8_t hi) {
    cp_ = bits;
    need_ = need;
    lo_ = lo;
    hi_ = hi;
    return Step::kPartial;
  }

  std::uint32_t cp_ = 0;
  int need_ = 0;
  std::uint8_t lo_ = 0x80;
  std::uint8_t hi_ = 0xBF;
};

// Length of the unfinished sequence at the end of `tail` (0 to 3), assuming the
// bytes before were valid: a lead in the last byte, a lead of three or more in
// the one before, a four-byte lead before that.
int pending_length(const std::uint8_t (&tail)[3]) {
  if (tail[2] >= 0xC0) return 1;
  if (tail[1] >= 0xE0) return 2;
  if (tail[0] >= 0xF0) return 3;
  return 0;
}

bool is_json_space(std::uint8_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

bool is_line_space(std::uint8_t c) {
  return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

bool is_multibyte_white_space(std::uint32_t cp) {
  return cp == 0x85 || cp == 0xA0 || cp == 0x1680 || (cp >= 0x2000 && cp <= 0x200A) ||
         cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F || cp == 0x3000;
}

void count_lines_scalar(const std::uint8_t* p, std::size_t n, LineCount& st) {
  if (st.invalid || n == 0) return;
  Utf8Decoder dec;
  // Re-decode the unfinished sequence the previous block ended with; its bytes
  // were already checked, so this only restores the decoder.
  const int pending = pending_length(st.tail);
  for (int i = 3 - pending; i < 3; ++i) {
    if (dec.feed(st.tail[i]) == Utf8Decoder::Step::kInvalid) {
      st.invalid = true;
      return;
    }
  }
  bool content = st.line_has_content;
  std::uint64_t lines = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = p[i];
    if (c < 0x80 && dec.idle()) {
      if (c == '\n') {
        lines += content;
        content = false;
      } else if (!is_line_space(c)) {
        content = true;
      }
      continue;
    }
    switch (dec.feed(c)) {
      case Utf8Decoder::Step::kInvalid:
        st.invalid = true;
        return;
      case Utf8Decoder::Step::kPartial:
        break;
      case Utf8Decoder::Step::kChar:
        if (!is_multibyte_white_space(dec.code_point())) content = true;
        break;
    }
  }
  st.lines += lines;
  st.line_has_content = content;
  detail::remember_tail(st, p, n);
}

bool validate_utf8_scalar(const std::uint8_t* p, std::size_t n) {
  Utf8Decoder dec;
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] < 0x80 && dec.idle()) continue;
    if (dec.feed(p[i]) == Utf8Decoder::Step::kInvalid) return false;
  }
  return dec.idle();
}

}  // namespace

void finish_lines(LineCount& st) {
  if (pending_length(st.tail) != 0) st.invalid = true;
  if (st.line_has_content) st.lines += 1;
  st.line_has_content = false;
}

namespace detail {
namespace {

// One byte inside a string: an escaped byte is taken as it is, an unescaped
// quote ends the string, a backslash escapes the next byte.
inline void string_byte(ArrayScan& s, std::uint8_t c) {
  if (s.escaped) {
    s.escaped = false;
  } else if (c == '"') {
    s.in_string = false;
  } else if (c == '\\') {
    s.escaped = true;
  }
}

}  // namespace

void count_array_scalar(const std::uint8_t* p, std::size_t n, CountState& st) {
  ArrayScan s = st.scan;
  std::uint64_t commas = st.commas;
  bool content = st.has_content;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = p[i];
    if (s.in_string) {
      string_byte(s, c);
      continue;
    }
    if (is_json_space(c)) continue;
    switch (c) {
      case '"':
        s.in_string = true;
        break;
      case ',':
        commas += s.depth == 1;
        continue;
      case ']':
      case '}':
        --s.depth;
        continue;
      case '[':
      case '{':
        content |= s.depth == 1;
        ++s.depth;
        continue;
      default:
        break;
    }
    content |= s.depth == 1;
  }
  st.scan = s;
  st.commas = commas;
  st.has_content = content;
}

void summarize_array_scalar(const std::uint8_t* p, std::size_t n, RangeSummary& st) {
  ArrayScan s = st.scan;
  std::int64_t low = st.min_depth;
  std::uint64_t commas = st.commas;
  bool content = st.has_content;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = p[i];
    if (s.in_string) {
      string_byte(s, c);
      continue;
    }
    if (is_json_space(c)) continue;
    switch (c) {
      case '"':
        s.in_string = true;
        break;
      case ',':
        commas += s.depth == low;
        continue;
      case ']':
      case '}':
        if (--s.depth < low) {
          low = s.depth;
          commas = 0;
          content = false;
        }
        continue;
      case '[':
      case '{':
        content |= s.depth == low;
        ++s.depth;
        continue;
      default:
        break;
    }
    content |= s.depth == low;
  }
  st.scan = s;
  st.min_depth = low;
  st.commas = commas;
  st.has_content = content;
}

std::size_t find_element_end_scalar(const std::uint8_t* p, std::size_t n, ArrayScan& st) {
  ArrayScan s = st;
  std::size_t i = 0;
  for (; i < n; ++i) {
    const std::uint8_t c = p[i];
    if (s.in_string) {
      string_byte(s, c);
      continue;
    }
    if (c == '"') {
      s.in_string = true;
    } else if (c == '[' || c == '{') {
      ++s.depth;
    } else if (c == '}') {
      --s.depth;
    } else if (c == ',' || c == ']') {
      if (s.depth == 1) break;
      if (c == ']') --s.depth;
    }
  }
  st = s;
  return i;
}

void remember_tail(LineCount& st, const std::uint8_t* p, std::size_t n) {
  if (n >= 3) {
    st.tail[0] = p[n - 3];
    st.tail[1] = p[n - 2];
    st.tail[2] = p[n - 1];
    return;
  }
  for (std::size_t i = 0; i < n; ++i) {
    st.tail[0] = st.tail[1];
    st.tail[1] = st.tail[2];
    st.tail[2] = p[i];
  }
}

const KernelSet kScalarKernels = {"scalar",           count_array_scalar,   find_element_end_scalar,
                                  count_lines_scalar, validate_utf8_scalar, summarize_array_scalar};

}  // namespace detail
}  // namespace quarn::scan
