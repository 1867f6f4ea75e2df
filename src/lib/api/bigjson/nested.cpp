// Records nested inside a document: the array a JSON Pointer names.
//
// The walk to the array reads keys (decoded, then compared) and skips every
// other value by a scan of its bytes that tracks strings, escapes and depth;
// nothing is built. Once there, the array's elements are cut exactly as a
// top-level array's, and after its closing bracket the containers around it
// are checked to the end of the document, each sibling value by the parser
// (gathered while it is small, scanned past when it is not).
#include <Python.h>

#include "api/bigjson/nested.hpp"

#include <cstring>
#include <vector>

#include "api/bigjson/format.hpp"
#include "json/text.hpp"
#include "scan/scan.hpp"

namespace quarn::api::bigjson {
namespace {

using json::ErrorCode;

// Sibling values up to this size are checked by the parser; larger ones
// only by the skip scan, so that the check holds no more than this.
constexpr std::size_t kValidateCap = std::size_t{16} << 20;
// How many keys a "no value" message lists.
constexpr std::size_t kKeysListed = 10;

// Accepts everything: parsing into it checks a text and keeps nothing.
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
};

// Keeps the one string a key token decodes to.
struct KeySink : NullSink {
  std::string text;
  bool string(const char* p, std::size_t n, bool) {
    text.assign(p, n);
    return true;
  }
};

bool scalar_byte(std::uint8_t c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-' ||
         c == '+' || c == '.';
}

// One reference token of a pointer, decoded, and where it ends in the
// pointer text (for messages that quote the pointer so far).
struct Token {
  std::string name;
  std::size_t end;
};

Result<std::vector<Token>> parse_pointer(std::string_view pointer) {
  std::vector<Token> tokens;
  if (pointer.empty()) return tokens;
  auto malformed = [&](std::string_view why) {
    return Error::value("invalid records pointer " + std::string(quoted(pointer)) + ": " +
                        std::string(why));
  };
  if (pointer[0] != '/') return malformed("a JSON Pointer is empty or starts with \"/\"");
  for (std::size_t i = 1;; ++i) {
    Token token;
    for (; i < pointer.size() && pointer[i] != '/'; ++i) {
      if (pointer[i] != '~') {
        token.name.push_back(pointer[i]);
      } else if (i + 1 < pointer.size() && (pointer[i + 1] == '0' || pointer[i + 1] == '1')) {
        token.name.push_back(pointer[++i] == '0' ? '~' : '/');
      } else {
        return malformed("\"~\" must be followed by 0 (for \"~\") or 1 (for \"/\")");
      }
    }
    token.end = i;
    tokens.push_back(std::move(token));
    if (i >= pointer.size()) return tokens;
  }
}

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
  if (s_.pos_ == s_.len_) {
    auto refilled = s_.refill();
    if (!refilled.ok()) return read_error(std::move(refilled).error());
    if (s_.len_ == 0) return -1;
  }
  return static_cast<int>(s_.block_[s_.pos_]);
}

Result<int> Cursor::peek_significant() {
  for (;;) {
    while (s_.pos_ < s_.len_ && json::is_json_whitespace(s_.block_[s_.pos_])) ++s_.pos_;
    auto c = peek();
    if (!c.ok() || c.value() < 0 ||
        !json::is_json_whitespace(static_cast<unsigned char>(c.value())))
      return c;
  }
}

Result<std::span<const std::uint8_t>> Cursor::block() {
  if (s_.pos_ == s_.len_) {
    auto refilled = s_.refill();
    if (!refilled.ok()) return read_error(std::move(refilled).error());
  }
  return std::span<const std::uint8_t>(s_.block_.get() + s_.pos_, s_.len_ - s_.pos_);
}

Result<Cursor::ElementRun> Cursor::skip_elements(scan::ArrayScan& state, std::uint64_t& separators,
                                                 bool* content) {
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
      i = n;
      break;
    }
    i = end + 1;
    if (p[end] == ']') {
      closed = true;
      break;
    }
    ++separators;
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

Status Cursor::validate(std::string_view text, std::uint64_t start) {
  NullSink sink;
  auto err = json::parse(text, sink);
  if (!err) return binding::ok_status();
  if (err->index >= text.size()) {
    // A scalar cut short ("tru"): the whole-text parse would have seen the
    // byte after it and stopped there.
    auto next = peek();
    if (!next.ok()) return std::move(next).error();
    if (next.value() >= 0) {
      std::string longer(text);
      longer.push_back(static_cast<char>(next.value()));
      if (auto again = json::parse(longer, sink)) err = again;
    }
  }
  return error(start + err->index, err->code);
}

Status Cursor::skip_string(std::string* out) {
  bool escaped = false;
  advance();  // the opening quote
  if (out != nullptr) out->push_back('"');
  for (;;) {
    auto got = block();
    if (!got.ok()) return std::move(got).error();
    const std::uint8_t* p = got.value().data();
    const std::size_t n = got.value().size();
    if (n == 0) return error_at_end(ErrorCode::EofWhileParsingString);
    for (std::size_t i = 0; i < n; ++i) {
      if (escaped) {
        escaped = false;
      } else if (p[i] == '\\') {
        escaped = true;
      } else if (p[i] == '"') {
        if (out != nullptr) out->append(reinterpret_cast<const char*>(p), i + 1);
        consume(i + 1);
        return binding::ok_status();
      }
    }
    if (out != nullptr) out->append(reinterpret_cast<const char*>(p), n);
    consume(n);
  }
}

Status Cursor::skip_scalar(std::string* out) {
  for (;;) {
    auto got = block();
    if (!got.ok()) return std::move(got).error();
    const std::uint8_t* p = got.value().data();
    const std::size_t n = got.value().size();
    if (n == 0) return binding::ok_status();
    std::size_t i = 0;
    while (i < n && scalar_byte(p[i])) ++i;
    if (out != nullptr) out->append(reinterpret_cast<const char*>(p), i);
    consume(i);
    if (i < n) return binding::ok_status();
  }
}

Status Cursor::skip_container(std::string* out, std::size_t cap) {
  // The kinds of the containers open, innermost last: a closing bracket of
  // the other kind, or the end of the source, is reported as the parser
  // would report it.
  std::string open;
  bool in_string = false, escaped = false;
  for (;;) {
    auto got = block();
    if (!got.ok()) return std::move(got).error();
    const std::uint8_t* p = got.value().data();
    const std::size_t n = got.value().size();
    if (n == 0) {
      if (in_string) return error_at_end(ErrorCode::EofWhileParsingString);
      return error_at_end(open.back() == '[' ? ErrorCode::EofWhileParsingList
                                             : ErrorCode::EofWhileParsingObject);
    }
    std::size_t i = 0;
    bool done = false;
    for (; i < n; ++i) {
      const std::uint8_t c = p[i];
      if (in_string) {
        if (escaped) {
          escaped = false;
        } else if (c == '\\') {
          escaped = true;
        } else if (c == '"') {
          in_string = false;
        } else {
          // The rest of a plain run of text, eight bytes at a time: stop at
          // a quote or a backslash.
          while (i + 9 <= n) {
            std::uint64_t w;
            std::memcpy(&w, p + i + 1, 8);
            constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHighs = 0x8080808080808080ull;
            const std::uint64_t q = w ^ (kOnes * '"'), b = w ^ (kOnes * '\\');
            if ((((q - kOnes) & ~q) | ((b - kOnes) & ~b)) & kHighs) break;
            i += 8;
          }
        }
        continue;
      }
      if (c == '"') {
        in_string = true;
      } else if (c == '[' || c == '{') {
        open.push_back(static_cast<char>(c));
      } else if (c == ']' || c == '}') {
        const char want = c == ']' ? '[' : '{';
        if (open.back() != want) {
          const std::uint64_t at = offset() + i + 1;
          return error(at, open.back() == '[' ? ErrorCode::ExpectedListCommaOrEnd
                                              : ErrorCode::ExpectedObjectCommaOrEnd);
        }
        open.pop_back();
        if (open.empty()) {
          ++i;
          done = true;
          break;
        }
      }
    }
    if (out != nullptr) {
      out->append(reinterpret_cast<const char*>(p), i);
      if (out->size() > cap) {
        out->clear();
        out = nullptr;
      }
    }
    consume(i);
    if (done) return binding::ok_status();
  }
}

Status Cursor::skip_value(std::string* out, std::size_t cap) {
  auto c = peek_significant();
  if (!c.ok()) return std::move(c).error();
  switch (c.value()) {
    case -1:
      return error_at_end(ErrorCode::EofWhileParsingValue);
    case '"':
      return skip_string(out);
    case '[':
    case '{':
      return skip_container(out, cap);
    default:
      if (!scalar_byte(static_cast<std::uint8_t>(c.value()))) {
        return error_after_next(ErrorCode::ExpectedSomeValue);
      }
      return skip_scalar(out);
  }
}

Result<std::string> unescape_key(Cursor& cursor, std::string_view raw, std::uint64_t start) {
  KeySink sink;
  auto err = json::parse(raw, sink);
  if (err) return cursor.error(start + err->index, err->code);
  return std::move(sink.text);
}

Result<std::string> Cursor::member_key(std::string& raw) {
  auto c = peek_significant();
  if (!c.ok()) return std::move(c).error();
  if (c.value() == -1) return error_at_end(ErrorCode::EofWhileParsingObject);
  if (c.value() != '"') return error_after_next(ErrorCode::KeyMustBeAString);
  const std::uint64_t start = offset();
  auto skipped = skip_string(&raw);
  if (!skipped.ok()) return std::move(skipped).error();
  auto key = unescape_key(*this, raw, start);
  if (!key.ok()) return key;
  auto colon = peek_significant();
  if (!colon.ok()) return std::move(colon).error();
  if (colon.value() == -1) return error_at_end(ErrorCode::EofWhileParsingObject);
  if (colon.value() != ':') return error_after_next(ErrorCode::ExpectedColon);
  advance();
  return key;
}

Status RecordSource::enter(std::string_view pointer) {
  if (format_ == InputFormat::Jsonl) {
    return Error::value(
        "records= names an array inside one JSON document, but this source is read as JSON "
        "Lines, whose records are its lines; pass format=\"json\" if it is one document");
  }
  auto tokens = parse_pointer(pointer);
  if (!tokens.ok()) return std::move(tokens).error();
  auto head = fill_head();
  if (!head.ok()) return read_error(std::move(head).error());
  // Errors after the array may lie in a block that cannot be read again.
  track_lines_ = true;
  Cursor cursor(*this);
  std::size_t done = 0;  // pointer text walked so far
  auto no_value = [&](std::size_t end, const std::string& why) {
    return Error::value("no value at " + std::string(pointer.substr(0, end)) + "; " + why);
  };
  for (const Token& token : tokens.value()) {
    const std::string_view here = pointer.substr(0, done);
    auto c = cursor.peek_significant();
    if (!c.ok()) return std::move(c).error();
    if (c.value() == -1) {
      if (here.empty()) return no_value(token.end, "the document is empty");
      return cursor.error_at_end(ErrorCode::EofWhileParsingValue);
    }
    if (c.value() == '{') {
      enclosing_.push_back('{');
      cursor.advance();
      std::vector<std::string> keys;
      std::size_t count = 0;
      for (;;) {
        auto k = cursor.peek_significant();
        if (!k.ok()) return std::move(k).error();
        if (k.value() == '}' && count == 0) {
          return no_value(token.end, where(here, "object") + " has no keys");
        }
        std::string raw;
        auto key = cursor.member_key(raw);
        if (!key.ok()) return std::move(key).error();
        if (key.value() == token.name) break;
        ++count;
        if (keys.size() < kKeysListed) keys.push_back(std::move(key).value());
        auto value = cursor.skip_value(nullptr);
        if (!value.ok()) return value;
        auto sep = cursor.peek_significant();
        if (!sep.ok()) return std::move(sep).error();
        if (sep.value() == ',') {
          cursor.advance();
          continue;
        }
        if (sep.value() == '}') {
          std::string why = where(here, "object") + " has keys: ";
          for (std::size_t i = 0; i < keys.size(); ++i) {
            if (i > 0) why += ", ";
            why += keys[i];
          }
          if (count > keys.size()) why += ", ... (" + std::to_string(count) + " in all)";
          return no_value(token.end, why);
        }
        if (sep.value() == -1) return cursor.error_at_end(ErrorCode::EofWhileParsingObject);
        return cursor.error_after_next(ErrorCode::ExpectedObjectCommaOrEnd);
      }
    } else if (c.value() == '[') {
      auto index = array_index(token.name);
      if (!index) {
        return no_value(token.end, where(here, "value") +
                                       " is an array, whose elements are named by their "
                                       "index (0, 1, ...), not by " +
                                       quoted(token.name));
      }
      enclosing_.push_back('[');
      cursor.advance();
      auto first = cursor.peek_significant();
      if (!first.ok()) return std::move(first).error();
      if (first.value() == ']') {
        return no_value(token.end, where(here, "array") + " is empty");
      }
      for (std::uint64_t i = 0; i < *index; ++i) {
        auto value = cursor.skip_value(nullptr);
        if (!value.ok()) return value;
        auto sep = cursor.peek_significant();
        if (!sep.ok()) return std::move(sep).error();
        if (sep.value() == ']') {
          return no_value(token.end, where(here, "array") + " has " + std::to_string(i + 1) +
                                         (i == 0 ? " element" : " elements"));
        }
        if (sep.value() == -1) return cursor.error_at_end(ErrorCode::EofWhileParsingList);
        if (sep.value() != ',') return cursor.error_after_next(ErrorCode::ExpectedListCommaOrEnd);
        cursor.advance();
      }
    } else {
      return no_value(
          token.end, where(here, "value") + " is " + kind_of(c.value()) + ", which has no members");
    }
    done = token.end;
  }
  auto c = cursor.peek_significant();
  if (!c.ok()) return std::move(c).error();
  if (c.value() != '[') {
    if (c.value() == -1 && pointer.empty())
      return Error::value("no value at \"\": the document is empty");
    if (c.value() == -1) return cursor.error_at_end(ErrorCode::EofWhileParsingValue);
    return Error::value("the value at " +
                        (pointer.empty() ? std::string("\"\"") : std::string(pointer)) + " is " +
                        kind_of(c.value()) +
                        ", not an array: records= names the array whose elements are the records");
  }
  cursor.advance();
  layout_ = Layout::Array;
  laid_out_ = entered_ = true;
  scan_ = scan::ArrayScan{};
  return binding::ok_status();
}

Status RecordSource::check_rest() {
  Cursor cursor(*this);
  auto fail = [&](Error error) {
    after_done_ = true;
    return error;
  };
  while (!enclosing_.empty()) {
    const bool object = enclosing_.back() == '{';
    auto c = cursor.peek_significant();
    if (!c.ok()) return std::move(c).error();
    if (c.value() == -1) {
      return fail(cursor.error_at_end(object ? ErrorCode::EofWhileParsingObject
                                             : ErrorCode::EofWhileParsingList));
    }
    if (c.value() == (object ? '}' : ']')) {
      cursor.advance();
      enclosing_.pop_back();
      continue;
    }
    if (c.value() != ',') {
      return fail(cursor.error_after_next(object ? ErrorCode::ExpectedObjectCommaOrEnd
                                                 : ErrorCode::ExpectedListCommaOrEnd));
    }
    cursor.advance();
    c = cursor.peek_significant();
    if (!c.ok()) return std::move(c).error();
    if (c.value() == (object ? '}' : ']')) {
      return fail(cursor.error_after_next(ErrorCode::TrailingComma));
    }
    if (c.value() == -1) return fail(cursor.error_at_end(ErrorCode::EofWhileParsingValue));
    if (object) {
      if (c.value() != '"') return fail(cursor.error_after_next(ErrorCode::KeyMustBeAString));
      const std::uint64_t start = cursor.offset();
      std::string raw;
      auto skipped = cursor.skip_string(&raw);
      if (!skipped.ok()) return fail(std::move(skipped).error());
      auto key = unescape_key(cursor, raw, start);
      if (!key.ok()) return fail(std::move(key).error());
      auto colon = cursor.peek_significant();
      if (!colon.ok()) return std::move(colon).error();
      if (colon.value() == -1) return fail(cursor.error_at_end(ErrorCode::EofWhileParsingValue));
      if (colon.value() != ':') return fail(cursor.error_after_next(ErrorCode::ExpectedColon));
      cursor.advance();
      auto value_start = cursor.peek_significant();
      if (!value_start.ok()) return std::move(value_start).error();
    }
    const std::uint64_t start = cursor.offset();
    std::string text;
    auto skipped = cursor.skip_value(&text, kValidateCap);
    if (!skipped.ok()) return fail(std::move(skipped).error());
    if (!text.empty()) {
      auto valid = cursor.validate(text, start);
      if (!valid.ok()) return fail(std::move(valid).error());
    }
  }
  return binding::ok_status();
}

Result<std::uint64_t> count_entered(RecordSource& source) {
  Cursor cursor(source);
  scan::ArrayScan state;
  std::uint64_t separators = 0;
  bool content = false;
  for (;;) {
    auto run = cursor.skip_elements(state, separators, &content);
    if (!run.ok()) return std::move(run).error();
    if (run.value().closed) break;
  }
  auto rest = source.check_after_array();
  if (!rest.ok()) return std::move(rest).error();
  return content ? separators + 1 : std::uint64_t{0};
}

}  // namespace quarn::api::bigjson
