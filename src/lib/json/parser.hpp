// The JSON parser: one forward pass of recursive descent over a complete
// text, reporting each value to a sink as soon as it is complete. This file
// holds the grammar; numbers.hpp reads numbers, strings.hpp scans strings.
//
// Texts are not padded: the parser never reads a byte outside `text`. Callers
// guarantee valid UTF-8; bytes at or above 0x80 inside strings are copied
// through unchecked and are not allowed outside strings by the grammar.
//
// A sink is a class with these members, each returning false to abort the
// parse (which then reports ErrorCode::SinkFailed; the sink keeps its own
// reason):
//
//   bool null();
//   bool boolean(bool);
//   bool unsigned_integer(std::uint64_t);
//   bool signed_integer(std::int64_t);   // always below zero
//   bool floating(double);               // always finite
//   bool string(const char* p, std::size_t n, bool ascii);
//   bool key(const char* p, std::size_t n, bool ascii);  // its value follows
//   bool end_array(std::size_t count);   // the last `count` values, in order
//   bool end_object(std::size_t count);  // the last `count` key/value pairs
//
// Values arrive in postfix order, so a sink is naturally a stack: containers
// get no "begin" event, the sink collects their members when the end event
// names how many there were. The bytes behind string/key are valid only during
// the call (they may point into the text or into a scratch buffer that the
// next escaped string overwrites); `ascii` is true when no decoded byte is
// 0x80 or above. On failure the sink may still hold unfinished values; it
// owns them and must release them when it is destroyed.
//
// A sink that must know where a container starts (one that keeps some members
// and passes over the rest) may also have
//
//   bool begin_array();                  // just after the '['
//   bool begin_object();                 // just after the '{'
//
// which the parser calls when they exist; and one that does not use every
// number it is given may have
//
//   bool numbers_unused();               // the next number's value is not used
//
// and, while it returns true, gets 0.0 in place of a fraction whose value
// would take work to find (its text is still checked in full).
#pragma once

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "json/numbers.hpp"
#include "json/strings.hpp"
#include "json/value.hpp"

namespace quarn::json {

enum class ErrorCode : std::uint8_t {
  EofWhileParsingList,
  EofWhileParsingObject,
  EofWhileParsingString,
  EofWhileParsingValue,
  ExpectedColon,
  ExpectedListCommaOrEnd,
  ExpectedObjectCommaOrEnd,
  ExpectedSomeIdent,
  ExpectedSomeValue,
  InvalidEscape,
  InvalidNumber,
  NumberOutOfRange,
  ControlCharacterWhileParsingString,
  KeyMustBeAString,
  LoneLeadingSurrogateInHexEscape,
  TrailingComma,
  TrailingCharacters,
  UnexpectedEndOfHexEscape,
  RecursionLimitExceeded,
  // A sink call returned false; the sink's own state says why and `index` is 0.
  SinkFailed,
};

// `index` is the byte offset that position_of turns into line and column:
// one past the offending byte, or the length of the text when it ended early.
struct ParseError {
  ErrorCode code;
  std::size_t index;
};

[[nodiscard]] std::string_view message(ErrorCode code);

struct Position {
  std::uint64_t line;    // 1-based
  std::uint64_t column;  // bytes since the start of the line
};

// Counts line feeds before `index`; meant for error paths only.
[[nodiscard]] Position position_of(std::string_view text, std::size_t index);

// "<message> at line L column C".
[[nodiscard]] std::string describe(std::string_view text, const ParseError& error);

namespace detail {

inline bool is_space(char c) {
  constexpr std::uint64_t kSpaces =
      (1ull << ' ') | (1ull << '\t') | (1ull << '\n') | (1ull << '\r');
  const auto u = static_cast<unsigned char>(c);
  return u <= ' ' && ((kSpaces >> u) & 1) != 0;
}

// The first byte in [p, end) that is not whitespace, or end.
inline const char* skip_space_run(const char* p, const char* end) {
  while (p != end && is_space(*p)) {
#if defined(QUARN_JSON_SCAN_SSE2)
    // Indentation: after a newline, take whole blocks of blanks.
    if (*p++ == '\n' && end - p >= 16) {
      do {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const auto blanks =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_set1_epi8(' '))));
        if (blanks != 0xFFFF) {
          p += std::countr_one(blanks);
          break;
        }
        p += 16;
      } while (end - p >= 16);
    }
#else
    ++p;
#endif
  }
  return p;
}

template <class Sink>
class Parser {
 public:
  Parser(std::string_view text, Sink& sink, std::size_t depth = 0, std::string* open = nullptr)
      : begin_(text.data()),
        cur_(text.data()),
        end_(text.data() + text.size()),
        sink_(sink),
        budget_(depth < kNestingBudget ? kNestingBudget - static_cast<int>(depth) : 1),
        open_(open) {}

  [[nodiscard]] std::optional<ParseError> run() {
    if (!parse_value(budget_)) return error_;
    skip_space();
    if (cur_ != end_) return ParseError{ErrorCode::TrailingCharacters, index_after(cur_)};
    return std::nullopt;
  }

  static constexpr std::size_t kNestingBudget = 128;

 private:
  // Failure paths only: the kind of each container left open by the failure,
  // innermost first, for a caller that goes on from where the text stopped.
  [[gnu::cold, gnu::noinline]] bool unwind(char kind) {
    if (open_ != nullptr) open_->push_back(kind);
    return false;
  }

  std::size_t index_after(const char* p) const { return static_cast<std::size_t>(p - begin_) + 1; }

  // Errors are built out of line so the hot paths stay small. `at` is one
  // past the offending byte: reading it (or not) never changes what is
  // reported, only whether the caller advanced first.
  [[gnu::cold, gnu::noinline]] bool fail(ErrorCode code, const char* at) {
    error_ = ParseError{code, static_cast<std::size_t>(at - begin_)};
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool fail_eof(ErrorCode code) {
    error_ = ParseError{code, static_cast<std::size_t>(end_ - begin_)};
    return false;
  }
  [[gnu::cold, gnu::noinline]] bool sink_failed() {
    error_ = ParseError{ErrorCode::SinkFailed, 0};
    return false;
  }

  // Most values follow their delimiter directly; pretty-printed texts put a
  // newline and a run of indentation there instead.
  void skip_space() {
    if (cur_ != end_ && static_cast<unsigned char>(*cur_) > ' ') [[likely]]
      return;
    cur_ = skip_space_run(cur_, end_);
  }

  bool parse_value(int budget) {
    skip_space();
    if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingValue);
    switch (*cur_) {
      case '"':
        ++cur_;
        return parse_string<false>();
      case '{':
        return parse_object(budget);
      case '[':
        return parse_array(budget);
      case '-':
        ++cur_;
        return parse_number(cur_ - 1, true);
      case '0':
      case '1':
      case '2':
      case '3':
      case '4':
      case '5':
      case '6':
      case '7':
      case '8':
      case '9':
        return parse_number(cur_, false);
      case 't':
        if (!parse_literal("true", 4)) return false;
        return sink_.boolean(true) || sink_failed();
      case 'f':
        if (!parse_literal("false", 5)) return false;
        return sink_.boolean(false) || sink_failed();
      case 'n':
        if (!parse_literal("null", 4)) return false;
        return sink_.null() || sink_failed();
      default:
        return fail(ErrorCode::ExpectedSomeValue, cur_ + 1);
    }
  }

  bool parse_literal(const char* word, std::size_t n) {
    if (static_cast<std::size_t>(end_ - cur_) >= n && std::memcmp(cur_, word, n) == 0) [[likely]] {
      cur_ += n;
      return true;
    }
    ++cur_;
    for (std::size_t i = 1; i < n; ++i) {
      if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingValue);
      if (*cur_++ != word[i]) return fail(ErrorCode::ExpectedSomeIdent, cur_);
    }
    return true;
  }

  bool parse_array(int budget) {
    if (--budget == 0) return fail(ErrorCode::RecursionLimitExceeded, cur_ + 1);
    return array_members(budget) || unwind('[');
  }

  bool array_members(int budget) {
    ++cur_;
    if constexpr (requires { sink_.begin_array(); }) {
      if (!sink_.begin_array()) return sink_failed();
    }
    skip_space();
    if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingList);
    std::size_t count = 0;
    if (*cur_ != ']') {
      for (;;) {
        if (!parse_value(budget)) return false;
        ++count;
        skip_space();
        if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingList);
        if (*cur_ == ']') break;
        if (*cur_ != ',') return fail(ErrorCode::ExpectedListCommaOrEnd, cur_ + 1);
        ++cur_;
        skip_space();
        if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingValue);
        if (*cur_ == ']') return fail(ErrorCode::TrailingComma, cur_ + 1);
      }
    }
    ++cur_;
    return sink_.end_array(count) || sink_failed();
  }

  bool parse_object(int budget) {
    if (--budget == 0) return fail(ErrorCode::RecursionLimitExceeded, cur_ + 1);
    return object_members(budget) || unwind('{');
  }

  bool object_members(int budget) {
    ++cur_;
    if constexpr (requires { sink_.begin_object(); }) {
      if (!sink_.begin_object()) return sink_failed();
    }
    skip_space();
    if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingObject);
    std::size_t count = 0;
    if (*cur_ != '}') {
      if (*cur_ != '"') return fail(ErrorCode::KeyMustBeAString, cur_ + 1);
      for (;;) {
        ++cur_;
        if (!parse_string<true>()) return unwind('"');
        skip_space();
        if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingObject);
        if (*cur_ != ':') return fail(ErrorCode::ExpectedColon, cur_ + 1);
        ++cur_;
        if (!parse_value(budget)) return false;
        ++count;
        skip_space();
        if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingObject);
        if (*cur_ == '}') break;
        if (*cur_ != ',') return fail(ErrorCode::ExpectedObjectCommaOrEnd, cur_ + 1);
        ++cur_;
        skip_space();
        if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingValue);
        if (*cur_ == '}') return fail(ErrorCode::TrailingComma, cur_ + 1);
        if (*cur_ != '"') return fail(ErrorCode::KeyMustBeAString, cur_ + 1);
      }
    }
    ++cur_;
    return sink_.end_object(count) || sink_failed();
  }

  template <bool IsKey>
  bool emit_string(const char* p, std::size_t n, bool ascii) {
    if constexpr (IsKey) {
      return sink_.key(p, n, ascii) || sink_failed();
    } else {
      return sink_.string(p, n, ascii) || sink_failed();
    }
  }

  // Entered just after the opening quotation mark.
  template <bool IsKey>
  bool parse_string() {
    const char* run = cur_;
    bool ascii = true;
    const char* stop = scan_string(run, end_, ascii);
    if (stop == end_) return fail_eof(ErrorCode::EofWhileParsingString);
    if (*stop == '"') [[likely]] {
      cur_ = stop + 1;
      return emit_string<IsKey>(run, static_cast<std::size_t>(stop - run), ascii);
    }
    return parse_escaped_string<IsKey>(run, stop, ascii);
  }

  // Decodes into the scratch buffer from the first backslash or control byte
  // on; runs between escapes are still found by scan_string.
  template <bool IsKey>
  bool parse_escaped_string(const char* run, const char* stop, bool ascii) {
    scratch_.clear();
    for (;;) {
      const char c = *stop;
      if (c == '"') {
        scratch_.append(run, stop);
        cur_ = stop + 1;
        return emit_string<IsKey>(scratch_.data(), scratch_.size(), ascii);
      }
      if (c != '\\') return fail(ErrorCode::ControlCharacterWhileParsingString, stop + 1);
      scratch_.append(run, stop);
      cur_ = stop + 1;
      if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingString);
      switch (*cur_++) {
        case '"':
          scratch_.push_back('"');
          break;
        case '\\':
          scratch_.push_back('\\');
          break;
        case '/':
          scratch_.push_back('/');
          break;
        case 'b':
          scratch_.push_back('\b');
          break;
        case 'f':
          scratch_.push_back('\f');
          break;
        case 'n':
          scratch_.push_back('\n');
          break;
        case 'r':
          scratch_.push_back('\r');
          break;
        case 't':
          scratch_.push_back('\t');
          break;
        case 'u':
          if (!parse_unicode_escape(ascii)) return false;
          break;
        default:
          return fail(ErrorCode::InvalidEscape, cur_);
      }
      run = cur_;
      stop = scan_string(run, end_, ascii);
      if (stop == end_) return fail_eof(ErrorCode::EofWhileParsingString);
    }
  }

  // Entered after "\u"; reads four hex digits, and for a leading surrogate
  // the "\uXXXX" of its trailing half too.
  bool parse_unicode_escape(bool& ascii) {
    if (end_ - cur_ < 4) return fail_eof(ErrorCode::EofWhileParsingString);
    const std::int32_t n = hex4(cur_);
    cur_ += 4;
    if (n < 0) return fail(ErrorCode::InvalidEscape, cur_);
    if (n < 0x80) {
      scratch_.push_back(static_cast<char>(n));
      return true;
    }
    ascii = false;
    if (n < 0x800) {
      const char utf8[2] = {static_cast<char>(0xC0 | (n >> 6)),
                            static_cast<char>(0x80 | (n & 0x3F))};
      scratch_.append(utf8, 2);
      return true;
    }
    if (n < 0xD800 || n > 0xDFFF) {
      const char utf8[3] = {static_cast<char>(0xE0 | (n >> 12)),
                            static_cast<char>(0x80 | ((n >> 6) & 0x3F)),
                            static_cast<char>(0x80 | (n & 0x3F))};
      scratch_.append(utf8, 3);
      return true;
    }
    if (n >= 0xDC00) return fail(ErrorCode::LoneLeadingSurrogateInHexEscape, cur_);
    if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingString);
    if (*cur_++ != '\\') return fail(ErrorCode::UnexpectedEndOfHexEscape, cur_);
    if (cur_ == end_) return fail_eof(ErrorCode::EofWhileParsingString);
    if (*cur_++ != 'u') return fail(ErrorCode::UnexpectedEndOfHexEscape, cur_);
    if (end_ - cur_ < 4) return fail_eof(ErrorCode::EofWhileParsingString);
    const std::int32_t m = hex4(cur_);
    cur_ += 4;
    if (m < 0) return fail(ErrorCode::InvalidEscape, cur_);
    if (m < 0xDC00 || m > 0xDFFF) return fail(ErrorCode::LoneLeadingSurrogateInHexEscape, cur_);
    const std::int32_t cp = 0x10000 + ((n - 0xD800) << 10) + (m - 0xDC00);
    const char utf8[4] = {
        static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
        static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
    scratch_.append(utf8, 4);
    return true;
  }

  bool emit_zero(bool negative) { return sink_.floating(negative ? -0.0 : 0.0) || sink_failed(); }

  // `first` is the start of the number text (its minus sign, if any); cur_ is
  // just past the sign. Up to 19 significant digits are accumulated in one
  // integer, which is all an integer kind needs and all the fast double
  // conversions take; longer texts go to from_chars.
  bool parse_number(const char* first, bool negative) {
    const char* p = cur_;
    if (p == end_) return fail_eof(ErrorCode::EofWhileParsingValue);
    std::uint64_t s = 0;
    int digits = 0;
    bool truncated = false;  // digits past the 19th are missing from s
    bool long_integer = false;
    if (*p == '0') {
      ++p;
      if (p != end_ && is_digit(*p)) return fail(ErrorCode::InvalidNumber, p + 1);
    } else if (is_digit(*p)) {
      const char* integer = p;
      p = read_digits(p, end_, s, 19);
      digits = static_cast<int>(p - integer);
      if (p != end_ && is_digit(*p)) {
        // A 20th digit still gives an integer while s * 10 + d <= 2^64 - 1.
        const auto d = static_cast<std::uint64_t>(*p++ - '0');
        truncated = true;
        if ((s < 1844674407370955161ull || (s == 1844674407370955161ull && d <= 5)) &&
            (p == end_ || !is_digit(*p))) {
          s = s * 10 + d;
        } else {
          long_integer = true;
          while (p != end_ && is_digit(*p)) ++p;
        }
      }
    } else {
      return fail(ErrorCode::InvalidNumber, p + 1);
    }
    cur_ = p;
    if (p == end_ || (*p != '.' && (*p | 0x20) != 'e')) [[likely]] {
      if (long_integer) return convert_slow(first, negative);
      return emit_integer(s, negative);
    }
    return parse_decimal(first, negative, s, digits, truncated);
  }

  bool emit_integer(std::uint64_t s, bool negative) {
    if (!negative) return sink_.unsigned_integer(s) || sink_failed();
    if (s == 0) return emit_zero(true);
    if (s <= 9223372036854775808ull) {
      // Modular conversion (well defined since C++20) maps 2^63 to INT64_MIN.
      return sink_.signed_integer(static_cast<std::int64_t>(0 - s)) || sink_failed();
    }
    // Converting an exact integer is itself correctly rounded.
    return sink_.floating(-static_cast<double>(s)) || sink_failed();
  }

  // cur_ is at the '.', 'e' or 'E' after the integer part, whose `digits`
  // significant digits are in s.
  bool parse_decimal(const char* first, bool negative, std::uint64_t s, int digits,
                     bool truncated) {
    if constexpr (requires { sink_.numbers_unused(); }) {
      if (sink_.numbers_unused() && !truncated && skip_fraction())
        return sink_.floating(0.0) || sink_failed();
    }
    const char* p = cur_;
    std::int64_t exp10 = 0;
    bool nonzero_tail = false;
    if (*p == '.') {
      ++p;
      if (p == end_) return fail_eof(ErrorCode::EofWhileParsingValue);
      if (!is_digit(*p)) return fail(ErrorCode::InvalidNumber, p + 1);
      if (!truncated) {
        const char* fraction = p;
        p = read_digits(p, end_, s, 19 - digits);
        exp10 = fraction - p;
      }
      for (; p != end_ && is_digit(*p); ++p) {
        truncated = true;
        nonzero_tail = nonzero_tail || *p != '0';
      }
    }
    const bool nonzero = s != 0 || nonzero_tail;
    if (p != end_ && (*p | 0x20) == 'e') {
      ++p;
      bool exp_negative = false;
      if (p != end_ && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
      if (p == end_) return fail_eof(ErrorCode::EofWhileParsingValue);
      if (!is_digit(*p)) return fail(ErrorCode::InvalidNumber, p + 1);
      std::int32_t x = *p++ - '0';
      while (p != end_ && is_digit(*p)) {
        const std::int32_t d = *p++ - '0';
        if (x > 214748364 || (x == 214748364 && d >= 8)) {
          // An exponent beyond 32 bits: a non-zero number with it can only
          // be too large; a zero, or a number scaled down by it, is zero.
          if (nonzero && !exp_negative) return fail(ErrorCode::NumberOutOfRange, p);
          while (p != end_ && is_digit(*p)) ++p;
          cur_ = p;
          return emit_zero(negative);
        }
        x = x * 10 + d;
      }
      exp10 += exp_negative ? -x : x;
    }
    cur_ = p;
    if (!nonzero) return emit_zero(negative);
    if (!truncated) {
      double d;
      if (s <= (std::uint64_t{1} << 53) && exp10 >= -22 && exp10 <= 22) {
        // Both factors exact: the one IEEE operation rounds correctly.
        d = static_cast<double>(s);
        d = exp10 < 0 ? d / kExactPow10[-exp10] : d * kExactPow10[exp10];
        return sink_.floating(negative ? -d : d) || sink_failed();
      }
      if (eisel_lemire(s, exp10, d)) return sink_.floating(negative ? -d : d) || sink_failed();
    }
    return convert_slow(first, negative);
  }

  // For a sink whose numbers_unused() is true: a fraction without an exponent
  // after an integer part of at most 19 digits cannot be out of range, so
  // its grammar is all there is to check, and its value is not worked out.
  // Anything else (an exponent, a malformed fraction) is left to the full
  // path, which finds its error or its range. cur_ is at the '.' or 'e'.
  bool skip_fraction() {
    const char* p = cur_;
    if (*p != '.' || ++p == end_ || !is_digit(*p)) return false;
    while (end_ - p >= 8 && is_eight_digits(load_le64(p))) p += 8;
    while (p != end_ && is_digit(*p)) ++p;
    if (p != end_ && (*p | 0x20) == 'e') return false;
    cur_ = p;
    return true;
  }

  // The number text is [first, cur_), already checked against the grammar.
  [[gnu::noinline]] bool convert_slow(const char* first, bool negative) {
    double d = 0;
    const auto result = std::from_chars(first, cur_, d);
    if (result.ec == std::errc()) [[likely]] {
      return sink_.floating(d) || sink_failed();
    }
    // from_chars refuses both ends of the range alike; the number is not zero
    // here, so either it rounds to infinity or to zero.
    if (decimal_overflows(first, cur_)) return fail(ErrorCode::NumberOutOfRange, cur_);
    return emit_zero(negative);
  }

  const char* const begin_;
  const char* cur_;
  const char* const end_;
  Sink& sink_;
  const int budget_;
  std::string* const open_;
  std::string scratch_;
  ParseError error_{ErrorCode::SinkFailed, 0};
};

}  // namespace detail

// Parses exactly one complete JSON text. On success the sink has received
// exactly one top-level value; on failure it may hold partial values.
// `depth` containers open around the text (it is a part of a larger
// document) count towards the nesting limit, as in a parse of the whole.
template <class Sink>
[[nodiscard]] std::optional<ParseError> parse(std::string_view text, Sink& sink,
                                              std::size_t depth = 0) {
  return detail::Parser<Sink>(text, sink, depth).run();
}

// The same for a text that may stop part way through a value: on failure
// `open` holds the kinds ('[' or '{') of the containers the text left open
// where the parse stopped, outermost first, and a '"' after the last when
// it stopped in one of that object's keys, so that a caller holding a
// longer text in pieces can go on from a piece's end.
template <class Sink>
[[nodiscard]] std::optional<ParseError> parse(std::string_view text, Sink& sink, std::size_t depth,
                                              std::string& open) {
  open.clear();
  auto err = detail::Parser<Sink>(text, sink, depth, &open).run();
  std::reverse(open.begin(), open.end());
  return err;
}

namespace detail {

// Keys are interned: each distinct key is stored once, and every map built by
// one sink views that copy. Equal keys then have equal data pointers, which
// lets object shapes be recognised by pointer and keys be compared by
// pointer before bytes.
class KeyTable {
 public:
  // The interned copy of key, valid as long as the table.
  [[nodiscard]] std::string_view intern(std::string_view key) {
    if (key.empty()) return {kEmptyKey, 0};
    if (2 * (used_ + 1) > slots_.size()) grow();
    const std::uint64_t hash = hash_key(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.data == nullptr) return insert(slot, hash, key);
      if (slot.hash == hash && slot.size == key.size() &&
          std::memcmp(slot.data, key.data(), key.size()) == 0) {
        return {slot.data, slot.size};
      }
    }
  }

 private:
  struct Slot {
    std::uint64_t hash;
    const char* data;  // null while free
    std::size_t size;
  };

  static constexpr char kEmptyKey[1] = "";

  static std::uint64_t hash_key(std::string_view key) {
    const char* p = key.data();
    const std::size_t n = key.size();
    std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    std::size_t i = 0;
    for (; i + 8 < n; i += 8) {
      h = (h ^ load_le64(p + i)) * 0xBF58476D1CE4E5B9ull;
      h ^= h >> 31;
    }
    // The last 1 to 8 bytes, read without a call: overlapping loads are fine
    // for a hash, which mixes in the length anyway.
    std::uint64_t tail;
    if (n >= 8) {
      tail = load_le64(p + n - 8);
    } else if (n >= 4) {
      std::uint32_t lo, hi;
      std::memcpy(&lo, p, 4);
      std::memcpy(&hi, p + n - 4, 4);
      tail = lo | (std::uint64_t{hi} << 32);
    } else {
      const auto b = [p](std::size_t k) { return std::uint64_t{static_cast<unsigned char>(p[k])}; };
      tail = b(0) | (b(n / 2) << 8) | (b(n - 1) << 16);
    }
    h = (h ^ tail) * 0x94D049BB133111EBull;
    return h ^ (h >> 29);
  }

  std::string_view insert(Slot& slot, std::uint64_t hash, std::string_view key);
  void grow();

  std::vector<Slot> slots_;  // a power of two in size, at most half full
  std::size_t used_ = 0;
  Arena bytes_;
};

// The key order of recently seen objects, by the interned keys in document
// order. Records of one file mostly share a few shapes, so the sort is paid
// once per shape instead of once per object.
class ShapeCache {
 public:
  // unique_key_order of these interned keys; valid until the next call.
  [[nodiscard]] std::span<const std::uint32_t> order(std::span<const std::string_view> keys);

 private:
  struct Shape {
    std::uint64_t hash = 0;
    std::vector<const char*> keys;
    std::vector<std::uint32_t> order;
  };

  static constexpr std::size_t kShapes = 64;  // direct mapped by hash

  std::vector<Shape> shapes_ = std::vector<Shape>(kShapes);
  std::vector<SortKey> scratch_;
  std::vector<std::uint32_t> order_;
};

}  // namespace detail

// Takes every value and keeps nothing: what a parse into it accepts is what
// the parse accepts when it builds values, so it checks a text.
struct NullSink {
  bool null() { return true; }
  bool boolean(bool) { return true; }
  bool unsigned_integer(std::uint64_t) { return true; }
  bool signed_integer(std::int64_t) { return true; }
  bool floating(double) { return true; }
  bool string(const char*, std::size_t, bool) { return true; }
  bool key(const char*, std::size_t, bool) { return true; }
  bool end_array(std::size_t) { return true; }
  bool end_object(std::size_t) { return true; }
  // A fraction is checked, not converted: nothing keeps its value.
  bool numbers_unused() { return true; }
};

// The sink that builds Value trees. One sink can build many documents in
// turn (see parse_value below), keeping its buffers, interned keys and known
// object shapes between them.
//
// Without an arena every document owns its blocks and is independent of the
// sink. Given an arena, the sink builds every string, array and map block
// there, and maps view the sink's interned keys instead of copying them:
// such documents cost a pointer bump per block and nothing to free, and are
// valid while both the arena (until its reset) and the sink live.
class ValueSink {
 public:
  explicit ValueSink(Arena* arena = nullptr) : arena_(arena) {}

  bool null() {
    values_.emplace_back();
    return true;
  }
  bool boolean(bool b) {
    values_.push_back(Value::boolean(b));
    return true;
  }
  bool unsigned_integer(std::uint64_t v) {
    values_.push_back(Value::number(Number::from_unsigned(v)));
    return true;
  }
  bool signed_integer(std::int64_t v) {
    values_.push_back(Value::number(Number::from_signed(v)));
    return true;
  }
  bool floating(double v) {
    values_.push_back(Value::number(Number::from_double(v)));
    return true;
  }
  bool string(const char* p, std::size_t n, bool /*ascii*/) {
    values_.push_back(Value::string(std::string_view(p, n), arena_));
    return true;
  }
  bool key(const char* p, std::size_t n, bool /*ascii*/) {
    keys_.push_back(key_table_.intern(std::string_view(p, n)));
    return true;
  }
  bool end_array(std::size_t count);
  bool end_object(std::size_t count);

  // The finished document; only after a successful parse.
  [[nodiscard]] Value take() { return std::move(values_.back()); }

  // Drops whatever the last parse left behind, keeping the capacity.
  void clear() {
    values_.clear();
    keys_.clear();
  }

 private:
  Arena* arena_;
  detail::KeyTable key_table_;
  detail::ShapeCache shapes_;
  std::vector<Value> values_;
  // The keys of the objects still open, each waiting for its value.
  std::vector<std::string_view> keys_;
};

struct ValueResult {
  std::optional<Value> value;  // set on success
  ParseError error{};          // meaningful only without a value

  explicit operator bool() const { return value.has_value(); }
};

[[nodiscard]] ValueResult parse_value(std::string_view text);

// The same with a sink that the caller keeps for the next text: parsing many
// small documents then allocates only for the documents themselves. `depth`:
// as parse's.
[[nodiscard]] ValueResult parse_value(std::string_view text, ValueSink& sink,
                                      std::size_t depth = 0);

}  // namespace quarn::json
