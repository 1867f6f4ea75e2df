// Records nested inside a document: the array a JSON Pointer names.
//
// The walk to the array reads keys (decoded, then compared) and passes every
// other value, checking it with the parser into a sink that keeps nothing.
// Once there, the array's elements are cut exactly as a top-level array's,
// and after its closing bracket the containers around it are checked to the
// end of the document the same way.
#include "records/nested.hpp"

#include <cstring>
#include <vector>

#include "json/text.hpp"
#include "records/format.hpp"
#include "scan/scan.hpp"

namespace quarn::records {
namespace {

using json::ErrorCode;

// A value's text past this size is parsed up to its last separator and
// dropped (ValueCheck): what the check of any value holds.
constexpr std::size_t kPiece = std::size_t{1} << 20;
// How many keys a "no value" message lists.
constexpr std::size_t kKeysListed = 10;

using json::NullSink;

// Keeps the one string a key token decodes to.
struct KeySink : NullSink {
  std::string text;
  bool string(const char* p, std::size_t n, bool) {
    text.assign(p, n);
    return true;
  }
};

// Text that is not UTF-8 fails a value or key as it fails `load` of the
// whole file.
Status utf8(std::string_view text) {
  if (scan::validate_utf8(text)) {
    return binding::ok_status();
  }
  return Error::runtime("read error: " + std::string(kInvalidUtf8));
}

bool scalar_byte(std::uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
         c == '+' || c == '.';
}

// Inside a string at `p[i]`, a plain byte: the index of the last byte of
// the plain run from there, eight bytes at a time (a word with a quote or a
// backslash in it ends the run, whose bytes are then taken one by one).
std::size_t plain_run(const std::uint8_t* p, std::size_t i, std::size_t n) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHighs = 0x8080808080808080ull;
  while (i + 9 <= n) {
    std::uint64_t w;
    std::memcpy(&w, p + i + 1, 8);
    const std::uint64_t q = w ^ (kOnes * '"'), b = w ^ (kOnes * '\\');
    if ((((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs) break;
    i += 8;
  }
  return i;
}

}  // namespace

Result<std::vector<PointerToken>> parse_pointer(std::string_view pointer) {
  std::vector<PointerToken> tokens;
  if (!pointer.empty() && pointer[0] != '/') {
    return Error::value("invalid records pointer " + std::string(quoted(pointer)) +
                        ": a JSON Pointer is empty or starts with \"/\"");
  }
  if (!json::pointer_tokens(pointer, tokens)) {
    return Error::value("invalid records pointer " + std::string(quoted(pointer)) +
                        ": \"~\" must be followed by 0 (for \"~\") or 1 (for \"/\")");
  }
  return tokens;
}

namespace {

// An array index as RFC 6901 writes it: "0" or digits without a leading
// zero.
std::optional<std::uint64_t> array_index(std::string_view token) {
  if (token.empty() || token.size() > 18 || (token.size() > 1 && token[0] == '0')) return {};
  std::uint64_t n = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return {};
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

const char* kind_of(int c) {
  switch (c) {
    case '{':
      return "an object";
    case '[':
      return "an array";
    case '"':
      return "a string";
    case 't':
    case 'f':
      return "a boolean";
    case 'n':
      return "null";
    default:
      return "a number";
  }
}

std::string where(std::string_view pointer, std::string_view kind) {
  if (pointer.empty()) return "the top-level " + std::string(kind);
  return "the " + std::string(kind) + " at " + std::string(pointer);
}

}  // namespace

Result<int> Cursor::peek() {
  auto got = block();
  if (!got.ok()) return std::move(got).error();
  if (got.value().empty()) return -1;
  return static_cast<int>(got.value()[0]);
}

Result<int> Cursor::peek_significant() {
  for (;;) {
    auto got = block();
    if (!got.ok()) return std::move(got).error();
    const std::span<const std::uint8_t> p = got.value();
    if (p.empty()) return -1;
    std::size_t i = 0;
    while (i < p.size() && json::is_json_whitespace(p[i])) ++i;
    consume(i);
    if (i < p.size()) return static_cast<int>(p[i]);
  }
}

Result<Cursor::ElementRun> Cursor::skip_elements(scan::ArrayScan& state, std::uint64_t& separators,
                                                 bool* content, Tail* tail) {
  auto got = block();
  if (!got.ok()) return std::move(got).error();
  const std::uint8_t* p = got.value().data();
  const std::size_t n = got.value().size();
  if (n == 0) return error_at_end(ErrorCode::EofWhileParsingList);
  std::size_t i = 0;
  bool closed = false;
  while (i < n) {
    const std::size_t end = i + scan::find_element_end(p + i, n - i, state);
    if (content != nullptr) {
      for (std::size_t j = i; !*content && j < end; ++j) {
        *content = !json::is_ascii_whitespace(p[j]);
      }
    }
    if (end == n) {
      if (tail != nullptr && !tail->cut) {
        tail->text.append(reinterpret_cast<const char*>(p + i), n - i);
        if (tail->text.size() > kPiece) {
          tail->text = std::string();
          tail->cut = true;
        }
      }
      i = n;
      break;
    }
    i = end + 1;
    if (p[end] == ']') {
      closed = true;
      break;
    }
    ++separators;
    if (tail != nullptr) {
      tail->text.clear();
      tail->cut = false;
    }
  }
  consume(i);
  return ElementRun{i, closed};
}

Error Cursor::error(std::uint64_t offset, ErrorCode code) {
  return s_.error_at(offset, json::message(code));
}

Error Cursor::error_at_end(ErrorCode code) {
  return error(offset(), code);
}

Status Cursor::validate(std::string_view text, std::uint64_t start, ErrorCode trailing,
                        std::size_t depth, std::size_t head) {
  NullSink sink;
  auto err = json::parse(text, sink, depth);
  if (!err) return binding::ok_status();
  if (err->index >= text.size()) {
    // A scalar cut short ("tru"): the whole-text parse would have seen the
    // byte after it and stopped there.
    auto next = peek();
    if (!next.ok()) return std::move(next).error();
    if (next.value() >= 0) {
      std::string longer(text);
      longer.push_back(static_cast<char>(next.value()));
      if (auto again = json::parse(longer, sink, depth)) err = again;
    }
  }
  return error(start + (err->index > head ? err->index - head : 0),
               err->code == ErrorCode::TrailingCharacters ? trailing : err->code);
}

namespace {

// Index one past the last byte of the value that `scan` is inside of, or
// `n` when it goes on past the block; `scan` follows the bytes taken. Depth
// alone finds the end: a closing bracket of the wrong kind ends the value
// as well, and its parse then reports it where a whole parse does.
std::size_t value_end(const std::uint8_t* p, std::size_t n, scan::ArrayScan& scan) {
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t c = p[i];
    if (scan.in_string) {
      if (scan.escaped) {
        scan.escaped = false;
      } else if (c == '\\') {
        scan.escaped = true;
      } else if (c == '"') {
        scan.in_string = false;
        if (scan.depth == 0) return i + 1;
      } else {
        i = plain_run(p, i, n);
      }
    } else if (c == '"') {
      scan.in_string = true;
    } else if (c == '[' || c == '{') {
      ++scan.depth;
    } else if ((c == ']' || c == '}') && --scan.depth == 0) {
      return i + 1;
    }
  }
  return n;
}

// Whether the value that `scan` is inside of goes on past the block, found
// by the block scanner; `scan` then follows the whole block.
bool goes_past(const std::uint8_t* p, std::size_t n, scan::ArrayScan& scan) {
  scan::RangeSummary summary;
  summary.scan = scan::ArrayScan{scan.in_string, scan.escaped, 0};
  scan::summarize_array(p, n, summary);
  if (scan.depth + summary.min_depth <= 0) return false;
  scan = scan::ArrayScan{summary.scan.in_string, summary.scan.escaped,
                         scan.depth + summary.scan.depth};
  return true;
}

// Index just past the last separator outside strings in text[from, end),
// read backwards from the end, where `in_string` holds; 0 when there is
// none. A quote is escaped when an odd run of backslashes precedes it.
std::size_t last_separator(std::string_view text, std::size_t from, bool in_string) {
  for (std::size_t k = text.size(); k > from; --k) {
    const char c = text[k - 1];
    if (c == ',' && !in_string) return k;
    if (c != '"') continue;
    if (!in_string) {
      in_string = true;
      continue;
    }
    std::size_t slashes = 0;
    while (k - 1 - slashes > 0 && text[k - 2 - slashes] == '\\') ++slashes;
    if (slashes % 2 == 0) in_string = false;
  }
  return 0;
}

// Index just past a byte of a string in text[from, end) after which the
// string can be taken up again on its own: a byte below 0x80 (never inside
// a multi-byte character) with no backslash in the twelve bytes up to it,
// so that no escape (`\uD83D\uDE00` is the longest) is cut; 0 when none of
// the last few bytes will do.
std::size_t string_cut(std::string_view text, std::size_t from) {
  constexpr std::size_t kEscape = 12;
  for (std::size_t k = text.size(); k > from + kEscape && k + 64 > text.size(); --k) {
    if (static_cast<std::uint8_t>(text[k - 1]) >= 0x80) continue;
    if (text.substr(k - kEscape, kEscape).find('\\') == std::string_view::npos) return k;
  }
  return 0;
}

}  // namespace

Status Cursor::check_value(ValueCheck& st, ErrorCode trailing) {
  if (!st.started) {
    auto c = peek_significant();
    if (!c.ok()) return std::move(c).error();
    if (c.value() == -1) return error_at_end(ErrorCode::EofWhileParsingValue);
    if (c.value() != '"' && c.value() != '[' && c.value() != '{') {
      if (!scalar_byte(static_cast<std::uint8_t>(c.value()))) {
        return error_after_next(ErrorCode::ExpectedSomeValue);
      }
      st.scalar = true;
    }
    st.start = st.base = offset();
    st.started = true;
  }
  while (!st.done) {
    auto got = block();
    if (!got.ok()) return std::move(got).error();
    const std::uint8_t* p = got.value().data();
    const std::size_t n = got.value().size();
    if (n == 0) {
      // The end of the source: the parse names what is missing.
      st.done = st.scalar;
      break;
    }
    std::size_t i = n;
    if (st.scalar) {
      i = 0;
      while (i < n && scalar_byte(p[i])) ++i;
      st.done = i < n;
    } else if (!st.wide || !goes_past(p, n, st.scan)) {
      i = value_end(p, n, st.scan);
      st.done = i < n || (st.scan.depth == 0 && !st.scan.in_string);
    }
    const std::size_t kept = st.text.size();
    st.text.append(reinterpret_cast<const char*>(p), i);
    consume(i);
    if (st.done || st.scalar) continue;
    st.wide = true;
    if (st.text.size() - st.head < kPiece) continue;
    // A large value: its text so far is checked up to the last separator
    // in this block (or, in a long string, up to a plain byte near the
    // block's end) and dropped.
    const std::size_t from = std::max(kept, st.head);
    std::size_t cut = last_separator(st.text, from, st.scan.in_string);
    const bool in_string = cut == 0;
    if (in_string && st.scan.in_string && !st.scan.escaped) cut = string_cut(st.text, from);
    if (cut == 0) continue;
    const std::string_view piece = std::string_view(st.text).substr(0, cut);
    auto text = utf8(piece);
    if (!text.ok()) return text;
    NullSink sink;
    auto err = json::parse(piece, sink, st.depth, st.open);
    if (!err) continue;
    if (err->index < cut || (err->code != ErrorCode::EofWhileParsingValue &&
                             err->code != ErrorCode::EofWhileParsingList &&
                             err->code != ErrorCode::EofWhileParsingObject &&
                             err->code != ErrorCode::EofWhileParsingString)) {
      return error(st.base + (err->index > st.head ? err->index - st.head : 0),
                   err->code == ErrorCode::TrailingCharacters ? trailing : err->code);
    }
    // Anything but the end right after a separator, or inside the string:
    // the text was not read right (it is not JSON); the whole parse at the
    // end reports it.
    if (err->code !=
        (in_string ? ErrorCode::EofWhileParsingString : ErrorCode::EofWhileParsingValue)) {
      continue;
    }
    const bool in_key = !st.open.empty() && st.open.back() == '"';
    if (in_key) st.open.pop_back();
    if (st.open.empty() && !in_string) continue;
    std::string head;
    for (std::size_t k = 0; k < st.open.size(); ++k) {
      const bool object = st.open[k] == '{';
      const bool last = k + 1 == st.open.size();
      head += !object ? "[" : last && in_key ? "{" : "{\"\":";
      if (last && !in_string) head += "0,";
    }
    if (in_string) head += '"';
    st.base += cut - st.head;
    st.text.replace(0, cut, head);
    st.head = head.size();
  }
  auto text = utf8(st.text);
  if (!text.ok()) return text;
  return validate(st.text, st.base, trailing, st.depth, st.head);
}

Status Cursor::scan_value(ValueScan& st) {
  if (!st.started) {
    auto c = peek_significant();
    if (!c.ok()) return std::move(c).error();
    if (c.value() == -1) return error_at_end(ErrorCode::EofWhileParsingValue);
    st.start = offset();
    if (c.value() == '"') {
      // The opening quote is taken here: the loop below sees the string's
      // body and its closing quote.
      st.in_string = true;
      advance();
      if (st.gather) st.text.push_back('"');
    } else if (c.value() != '[' && c.value() != '{') {
      if (!scalar_byte(static_cast<std::uint8_t>(c.value()))) {
        return error_after_next(ErrorCode::ExpectedSomeValue);
      }
      st.scalar = true;
    }
    st.started = true;
  }
  for (;;) {
    auto got = block();
    if (!got.ok()) return std::move(got).error();
    const std::uint8_t* p = got.value().data();
    const std::size_t n = got.value().size();
    if (n == 0) {
      if (st.scalar) break;
      // Cut short: the parser's message for the text kept, which names what
      // it was inside of (a list, or a literal in it).
      if (st.gather) {
        auto valid = validate(st.text, st.start);
        if (!valid.ok()) return valid;
      }
      if (st.in_string) return error_at_end(ErrorCode::EofWhileParsingString);
      return error_at_end(st.open.back() == '[' ? ErrorCode::EofWhileParsingList
                                                : ErrorCode::EofWhileParsingObject);
    }
    std::size_t i = 0;
    bool done = false;
    if (st.scalar) {
      while (i < n && scalar_byte(p[i])) ++i;
      done = i < n;
    } else {
      for (; i < n; ++i) {
        const std::uint8_t c = p[i];
        if (st.in_string) {
          if (st.escaped) {
            st.escaped = false;
          } else if (c == '\\') {
            st.escaped = true;
          } else if (c == '"') {
            st.in_string = false;
            if (st.open.empty()) {
              ++i;
              done = true;
              break;
            }
          } else {
            i = plain_run(p, i, n);
          }
          continue;
        }
        if (c == '"') {
          st.in_string = true;
        } else if (c == '[' || c == '{') {
          st.open.push_back(static_cast<char>(c));
        } else if (c == ']' || c == '}') {
          // A closing bracket of the other kind, as the parser reports it.
          if (st.open.back() != (c == ']' ? '[' : '{')) {
            // The parser may have stopped earlier in the text kept.
            if (st.gather) {
              st.text.append(reinterpret_cast<const char*>(p), i + 1);
              st.gather = false;
              auto valid = validate(st.text, st.start);
              if (!valid.ok()) return valid;
            }
            return error(offset() + i + 1, st.open.back() == '['
                                               ? ErrorCode::ExpectedListCommaOrEnd
                                               : ErrorCode::ExpectedObjectCommaOrEnd);
          }
          st.open.pop_back();
          if (st.open.empty()) {
            ++i;
            done = true;
            break;
          }
        }
      }
    }
    if (st.gather) {
      st.text.append(reinterpret_cast<const char*>(p), i);
      if (st.text.size() > st.cap) {
        st.text.clear();
        st.gather = false;
      }
    }
    consume(i);
    if (done) break;
    if (st.budget != UINT64_MAX) {
      if (i >= st.budget) {
        st.budget = 0;
        return binding::ok_status();
      }
      st.budget -= i;
    }
  }
  st.done = true;
  return binding::ok_status();
}

Status Cursor::skip_value(std::string* out) {
  ValueScan scan = out != nullptr ? ValueScan::gathering() : ValueScan{};
  auto scanned = scan_value(scan);
  if (!scanned.ok()) return scanned;
  if (out != nullptr) out->append(scan.text);
  return binding::ok_status();
}

Result<std::string> unescape_key(Cursor& cursor, std::string_view raw, std::uint64_t start) {
  KeySink sink;
  auto err = json::parse(raw, sink);
  if (err) return cursor.error(start + err->index, err->code);
  return std::move(sink.text);
}

Result<std::string> Cursor::member_key(KeyScan& st) {
  if (!st.decoded) {
    if (!st.raw.started) {
      auto c = peek_significant();
      if (!c.ok()) return std::move(c).error();
      if (c.value() == -1) return error_at_end(ErrorCode::EofWhileParsingObject);
      if (c.value() != '"') return error_after_next(ErrorCode::KeyMustBeAString);
    }
    auto scanned = scan_value(st.raw);
    if (!scanned.ok()) return std::move(scanned).error();
    auto text = utf8(st.raw.text);
    if (!text.ok()) return std::move(text).error();
    auto key = unescape_key(*this, st.raw.text, st.raw.start);
    if (!key.ok()) return key;
    st.key = std::move(key).value();
    st.decoded = true;
  }
  auto colon = peek_significant();
  if (!colon.ok()) return std::move(colon).error();
  if (colon.value() == -1) return error_at_end(ErrorCode::EofWhileParsingObject);
  if (colon.value() != ':') return error_after_next(ErrorCode::ExpectedColon);
  advance();
  return st.key;
}

Result<std::string> Cursor::member_key(std::string& raw) {
  KeyScan scan;
  auto key = member_key(scan);
  raw += scan.raw.text;
  return key;
}

std::string_view DocumentWalk::prefix(std::size_t tokens) const {
  return std::string_view(pointer_).substr(0, tokens == 0 ? 0 : tokens_[tokens - 1].end);
}

Error DocumentWalk::repeated(Cursor& cursor, const Level& level, std::uint64_t at) const {
  const std::string& name = tokens_[level.token].name;
  Error e = cursor.source().error_at(
      at + 1, "repeated key " + quoted(name) + " in " + where(prefix(level.token), "object"), "");
  e.text += ": records=" + quoted(pointer_) +
            " has read the elements of the key's first value, where a parse of the whole "
            "document keeps the last";
  return e;
}

Result<DocumentWalk::Stop> DocumentWalk::close_levels(Cursor& cursor, bool finding,
                                                      std::size_t stop_at, Listing* listing) {
  while (!levels_.empty()) {
    Level& level = levels_.back();
    const bool object = level.kind == '{';
    const int close = object ? '}' : ']';
    switch (step_) {
      case Step::Open:
      case Step::Separator: {
        auto c = cursor.peek_significant();
        if (!c.ok()) return std::move(c).error();
        if (c.value() == close) {
          cursor.advance();
          if (listing != nullptr && levels_.size() - 1 == stop_at && !object) {
            listing->count = level.elements;
          }
          levels_.pop_back();
          step_ = Step::Separator;
          if (levels_.size() == stop_at) return Stop::Closed;
          continue;
        }
        if (c.value() == -1) {
          return cursor.error_at_end(object ? ErrorCode::EofWhileParsingObject
                                            : ErrorCode::EofWhileParsingList);
        }
        if (step_ == Step::Open) {
          step_ = object ? Step::Key : Step::Element;
          continue;
        }
        if (c.value() != ',') {
          return cursor.error_after_next(object ? ErrorCode::ExpectedObjectCommaOrEnd
                                                : ErrorCode::ExpectedListCommaOrEnd);
        }
        cursor.advance();
        step_ = Step::Member;
        continue;
      }
      case Step::Member: {
        auto c = cursor.peek_significant();
        if (!c.ok()) return std::move(c).error();
        if (c.value() == close) return cursor.error_after_next(ErrorCode::TrailingComma);
        if (c.value() == -1) return cursor.error_at_end(ErrorCode::EofWhileParsingValue);
        step_ = object ? Step::Key : Step::Element;
        continue;
      }
      case Step::Key: {
        auto key = cursor.member_key(key_);
        if (!key.ok()) return std::move(key).error();
        const std::uint64_t at = key_.raw.start;
        key_ = KeyScan{};
        if (key.value() == tokens_[level.token].name) {
          // The key the pointer takes here, again (or for the first time).
          if (!finding) return repeated(cursor, level, at);
          step_ = Step::Separator;
          return Stop::Found;
        }
        if (listing != nullptr && levels_.size() - 1 == stop_at) {
          if (listing->keys.size() < kKeysListed) listing->keys.push_back(std::move(key).value());
          ++listing->count;
        }
        value_ = ValueCheck::inside(levels_.size());
        step_ = Step::Value;
        continue;
      }
      case Step::Element: {
        // Past the element the pointer names, it is never found again.
        const bool named = finding && level.elements == level.index;
        ++level.elements;
        if (named) {
          step_ = Step::Separator;
          return Stop::Found;
        }
        value_ = ValueCheck::inside(levels_.size());
        step_ = Step::Value;
        continue;
      }
      case Step::Value: {
        auto checked = cursor.check_value(value_, object ? ErrorCode::ExpectedObjectCommaOrEnd
                                                         : ErrorCode::ExpectedListCommaOrEnd);
        if (!checked.ok()) return std::move(checked).error();
        value_ = ValueCheck{};
        step_ = Step::Separator;
        continue;
      }
    }
  }
  return Stop::End;
}

Status DocumentWalk::descend(RecordSource& source) {
  Cursor cursor(source);
  std::size_t depth = 0;  // pointer tokens taken
  for (;;) {
    const std::string_view here = prefix(depth);
    const std::string_view so_far = depth < tokens_.size()
                                        ? std::string_view(pointer_).substr(0, tokens_[depth].end)
                                        : std::string_view(pointer_);
    auto no_value = [&](const std::string& why) {
      return Error::value("no value at " + std::string(so_far) + "; " + why);
    };
    auto c = cursor.peek_significant();
    if (!c.ok()) return std::move(c).error();
    if (c.value() == -1) {
      if (depth == 0 && tokens_.empty()) {
        return Error::value("no value at \"\": the document is empty");
      }
      if (depth == 0) return no_value("the document is empty");
      return cursor.error_at_end(ErrorCode::EofWhileParsingValue);
    }
    // The value here does not lead to the array: why, for the message.
    Error miss = Error::value("");
    if (depth == tokens_.size()) {
      if (c.value() == '[') {
        cursor.advance();
        step_ = Step::Separator;
        depth_ = levels_.size() + 1;
        return binding::ok_status();
      }
      miss =
          Error::value("the value at " + (pointer_.empty() ? std::string("\"\"") : pointer_) +
                       " is " + kind_of(c.value()) +
                       ", not an array: records= names the array whose elements are the records");
      value_ = ValueCheck::inside(levels_.size());
      step_ = Step::Value;
    } else if (c.value() == '{' || c.value() == '[') {
      const bool object = c.value() == '{';
      std::optional<std::uint64_t> index;
      if (!object) index = array_index(tokens_[depth].name);
      if (!object && !index) {
        miss = no_value(where(here, "value") +
                        " is an array, whose elements are named by their index (0, 1, ...), not "
                        "by " +
                        quoted(tokens_[depth].name));
        value_ = ValueCheck::inside(levels_.size());
        step_ = Step::Value;
      } else {
        levels_.push_back(Level{static_cast<char>(c.value()), depth, index.value_or(0)});
        cursor.advance();
        step_ = Step::Open;
        Listing listing;
        auto stop = close_levels(cursor, true, levels_.size() - 1, &listing);
        if (!stop.ok()) return std::move(stop).error();
        if (stop.value() == Stop::Found) {
          ++depth;
          continue;
        }
        if (object && listing.count == 0) {
          miss = no_value(where(here, "object") + " has no keys");
        } else if (object) {
          std::string why = where(here, "object") + " has keys: ";
          for (std::size_t i = 0; i < listing.keys.size(); ++i) {
            if (i > 0) why += ", ";
            why += quoted(listing.keys[i]);
          }
          if (listing.count > listing.keys.size()) {
            why += ", ... (" + std::to_string(listing.count) + " in all)";
          }
          miss = no_value(why);
        } else if (listing.count == 0) {
          miss = no_value(where(here, "array") + " is empty");
        } else {
          miss = no_value(where(here, "array") + " has " + std::to_string(listing.count) +
                          (listing.count == 1 ? " element" : " elements"));
        }
      }
    } else {
      miss =
          no_value(where(here, "value") + " is " + kind_of(c.value()) + ", which has no members");
      value_ = ValueCheck::inside(levels_.size());
      step_ = Step::Value;
    }
    // A later value of a key on the way may still lead to the array (the
    // last of repeated keys is the document's); with no object around,
    // none can.
    bool in_object = false;
    for (const Level& level : levels_) in_object = in_object || level.kind == '{';
    if (!in_object) return miss;
    auto stop = close_levels(cursor, true, SIZE_MAX, nullptr);
    if (!stop.ok()) return std::move(stop).error();
    if (stop.value() != Stop::Found) return miss;
    depth = levels_.back().token + 1;
  }
}

Result<std::unique_ptr<DocumentWalk>> DocumentWalk::find(RecordSource& source,
                                                         std::string_view pointer) {
  auto tokens = parse_pointer(pointer);
  if (!tokens.ok()) return std::move(tokens).error();
  std::unique_ptr<DocumentWalk> walk(new DocumentWalk());
  walk->pointer_ = std::string(pointer);
  walk->tokens_ = std::move(tokens).value();
  auto walked = walk->descend(source);
  if (!walked.ok()) return std::move(walked).error();
  return walk;
}

Status DocumentWalk::check_rest(RecordSource& source) {
  // The walk touches no Python object: a file is walked without the
  // interpreter lock, so that a large value beside the array holds up no
  // other thread.
  return source.unlocked([this, &source]() -> Status {
    Cursor cursor(source);
    auto stop = close_levels(cursor, false, SIZE_MAX, nullptr);
    if (!stop.ok()) return std::move(stop).error();
    return binding::ok_status();
  });
}

Status enter_records(RecordSource& source, std::string_view pointer) {
  if (source.format() == InputFormat::Jsonl) {
    // A source that fails before its first byte (damaged compressed data
    // that decoded to nothing) says so, rather than what its name guessed.
    auto first = source.peek();
    if (!first.ok()) return std::move(first).error();
    return Error::value(
        "records= names an array inside one JSON document, but this source is read as JSON "
        "Lines, whose records are its lines; pass format=\"json\" if it is one document");
  }
  // Errors on the way, and after the array, may lie in a block that cannot
  // be read again: its lines are counted as the blocks go by.
  source.track_lines();
  // Without the interpreter lock, as the check after the array.
  std::unique_ptr<DocumentWalk> walk;
  auto found = source.unlocked([&]() -> Status {
    auto got = DocumentWalk::find(source, pointer);
    if (!got.ok()) return std::move(got).error();
    walk = std::move(got).value();
    return binding::ok_status();
  });
  if (!found.ok()) return found;
  source.enter_array(std::move(walk));
  return binding::ok_status();
}

namespace {

// The end of the source inside the array, after `tail`, the unfinished
// element: what a parse of the whole text meets first, a fault inside the
// element or the end inside it or after it.
Error truncated(Cursor& cursor, const Cursor::Tail& tail, bool separated, std::size_t depth) {
  const std::uint64_t end = cursor.offset();
  if (tail.cut) return cursor.error(end, ErrorCode::EofWhileParsingList);
  bool blank = true;
  for (char c : tail.text) blank = blank && json::is_json_whitespace(static_cast<std::uint8_t>(c));
  if (blank && !separated) return cursor.error(end, ErrorCode::EofWhileParsingList);
  NullSink sink;
  auto err = json::parse(tail.text, sink, depth);
  if (!err) return cursor.error(end, ErrorCode::EofWhileParsingList);
  return cursor.error(
      end - tail.text.size() + err->index,
      err->code == ErrorCode::TrailingCharacters ? ErrorCode::ExpectedListCommaOrEnd : err->code);
}

}  // namespace

Result<std::uint64_t> count_entered(RecordSource& source) {
  Cursor cursor(source);
  scan::ArrayScan state;
  std::uint64_t separators = 0;
  bool content = false;
  Cursor::Tail tail;
  // The scan and the check after it touch no Python object: a file is
  // counted without the interpreter lock, as a top-level array is.
  auto counted = source.unlocked([&]() -> Status {
    for (;;) {
      auto next = cursor.peek();
      if (!next.ok()) return std::move(next).error();
      if (next.value() == -1) {
        return truncated(cursor, tail, separators > 0, source.element_depth());
      }
      auto run = cursor.skip_elements(state, separators, &content, &tail);
      if (!run.ok()) return std::move(run).error();
      if (run.value().closed) break;
    }
    return source.check_after_array();
  });
  if (!counted.ok()) return std::move(counted).error();
  return content ? separators + 1 : std::uint64_t{0};
}

}  // namespace quarn::records
