// The JSON parser: message and position of each fault, number kinds, correctly
// rounded doubles, string decoding at every block boundary, reused sinks, and
// the conformance suite (its folder is the argument, or "--no-suite").
// tests/test_native.py builds it with sanitizers, with and without
// -DQUARN_PORTABLE_SCAN.
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "json/parser.hpp"
#include "json/pointer.hpp"

using namespace quarn::json;
using namespace std::string_view_literals;
using quarn::test::failures;

// Parses a copy in an allocation of exactly the text's size, so that the
// sanitizers see any read past its end.
static ValueResult parse_exact(std::string_view text) {
  const std::vector<char> copy(text.begin(), text.end());
  return parse_value(std::string_view(copy.data(), copy.size()));
}

template <class Sink>
static std::optional<ParseError> parse_exact(std::string_view text, Sink& sink) {
  const std::vector<char> copy(text.begin(), text.end());
  return parse(std::string_view(copy.data(), copy.size()), sink);
}

static std::string error_of(std::string_view text) {
  const ValueResult r = parse_exact(text);
  return r ? "ok" : describe(text, r.error);
}

static void test_errors() {
  struct Case {
    std::string_view text, message;
    int line = 0, column = 0;
  };
  constexpr std::string_view kControl =
      "control character (\\u0000-\\u001F) found while parsing a string";
  const std::string deep_ok = std::string(127, '[') + std::string(127, ']');
  const std::string deep_objects = [] {
    std::string s;
    for (int i = 0; i < 127; ++i) s += "{\"a\":";
    return s + "1" + std::string(127, '}');
  }();
  const std::string too_deep = std::string(128, '[');
  std::string too_deep_mixed(100, '[');
  for (int i = 0; i < 28; ++i) too_deep_mixed += "{\"k\":";
  const Case cases[] = {
      {"", "EOF while parsing a value", 1, 0}, {"   ", "EOF while parsing a value", 1, 3},
      {"[1,]", "trailing comma", 1, 4}, {"{\"a\":1,}", "trailing comma", 1, 8},
      {"[,1]", "expected value", 1, 2}, {"{,}", "key must be a string", 1, 2},
      {"{1:2}", "key must be a string", 1, 2}, {"{\"a\":1, 2}", "key must be a string", 1, 9},
      {"[1 2]", "expected `,` or `]`", 1, 4}, {"[1}", "expected `,` or `]`", 1, 3},
      {"{\"a\" 1}", "expected `:`", 1, 6}, {"{\"a\":1 \"b\":2}", "expected `,` or `}`", 1, 8},
      {"[", "EOF while parsing a list", 1, 1}, {"[1", "EOF while parsing a list", 1, 2},
      {"{", "EOF while parsing an object", 1, 1}, {"{\"a\"", "EOF while parsing an object", 1, 4},
      {"{\"a\":1", "EOF while parsing an object", 1, 6},
      {"{\"a\":", "EOF while parsing a value", 1, 5}, {"[1,", "EOF while parsing a value", 1, 3},
      {"\"abc", "EOF while parsing a string", 1, 4}, {"tru", "EOF while parsing a value", 1, 3},
      {"trux", "expected ident", 1, 4}, {"truex", "trailing characters", 1, 5},
      {"1 2", "trailing characters", 1, 3}, {"1.5.2", "trailing characters", 1, 4},
      {"]", "expected value", 1, 1}, {"01", "invalid number", 1, 2},
      {"-", "EOF while parsing a value", 1, 1}, {"-a", "invalid number", 1, 2},
      {"1.", "EOF while parsing a value", 1, 2}, {"1.a", "invalid number", 1, 3},
      {"1ea", "invalid number", 1, 3}, {"1e", "EOF while parsing a value", 1, 2},
      {"1e+", "EOF while parsing a value", 1, 3}, {"1e-x", "invalid number", 1, 4},
      {"1e309", "number out of range", 1, 5}, {"2e308", "number out of range", 1, 5},
      {"[-1.7976931348623159e308]", "number out of range", 1, 24},
      {"1e2147483648", "number out of range", 1, 12},
      {"0.001e21474836479", "number out of range", 1, 17}, {"\"a\tb\"", kControl, 1, 3},
      {"\"a\nb\"", kControl, 2, 0}, {"\"\\x\"", "invalid escape", 1, 3},
      {"\"\\", "EOF while parsing a string", 1, 2},
      {"\"\\ude00\"", "lone leading surrogate in hex escape", 1, 7},
      {"\"\\ud83d\"", "unexpected end of hex escape", 1, 8},
      {"\"\\ud83dx", "unexpected end of hex escape", 1, 8},
      {"\"\\ud83d\\x", "unexpected end of hex escape", 1, 9},
      {"\"\\ud83d", "EOF while parsing a string", 1, 7},
      {"\"\\ud83d\\", "EOF while parsing a string", 1, 8},
      {"\"\\ud83d\\u12", "EOF while parsing a string", 1, 11},
      {"\"\\ud83d\\u0041\"", "lone leading surrogate in hex escape", 1, 13},
      {"\"\\u12", "EOF while parsing a string", 1, 5}, {"\"\\u12\"]", "invalid escape", 1, 7},
      {"\xEF\xBB\xBF{}", "expected value", 1, 1}, {"1\f", "trailing characters", 1, 2},
      {"[\"\xC3\xA9\" x]", "expected `,` or `]`", 1, 7}, {"[\n1,\n]", "trailing comma", 3, 1},
      {"[1,\n", "EOF while parsing a value", 2, 0},
      {"\r\n [\r\n  1 x", "expected `,` or `]`", 3, 5}, {deep_ok, "ok"}, {deep_objects, "ok"},
      {too_deep, "recursion limit exceeded", 1, 128},
      {too_deep_mixed, "recursion limit exceeded", 1, 236},
  };
  for (const Case& c : cases) {
    const std::string got = error_of(c.text);
    const std::string want = c.line == 0 ? std::string(c.message)
                                         : std::string(c.message) + " at line " +
                                               std::to_string(c.line) + " column " +
                                               std::to_string(c.column);
    CHECK(got == want, "%.40s: got '%s', want '%s'", std::string(c.text).c_str(), got.c_str(),
          want.c_str());
  }
}

static bool same(const Number& a, const Number& b) {
  if (a.kind != b.kind) return false;
  return a.kind == Number::Kind::Double
             ? std::bit_cast<std::uint64_t>(a.d) == std::bit_cast<std::uint64_t>(b.d)
             : a.u == b.u;
}

// Expected doubles are compiler literals, which are correctly rounded.
static void test_numbers() {
  const auto U = Number::from_unsigned;
  const auto S = Number::from_signed;
  const auto D = Number::from_double;
  struct Case {
    std::string_view text;
    Number expected;
  };
  const Case cases[] = {
      {"0", U(0)}, {"-0", D(-0.0)}, {"-0.0", D(-0.0)}, {"0e999", D(0.0)}, {"0e2147483648", D(0.0)},
      {"-1e-2147483649", D(-0.0)}, {"1e-400", D(0.0)}, {"-1e-400", D(-0.0)},
      {"0.000e99999999999", D(0.0)}, {"1.0", D(1.0)}, {"1e2", D(100.0)},
      {"9999999999999999999", U(9999999999999999999ull)},
      {"18446744073709551615", U(18446744073709551615ull)},
      {"18446744073709551616", D(18446744073709551616.0)},
      {"18446744073709551615.0", D(18446744073709551615.0)},
      {"123456789012345678901234567890", D(123456789012345678901234567890.0)}, {"-1", S(-1)},
      {"-9223372036854775807", S(-9223372036854775807ll)}, {"-9223372036854775808", S(INT64_MIN)},
      {"-9223372036854775809", D(-9223372036854775809.0)},
      {"-18446744073709551615", D(-18446744073709551615.0)},
      {"9007199254740993", U(9007199254740993ull)}, {"9007199254740993.0", D(9007199254740993.0)},
      {"9007199254740995e0", D(9007199254740995e0)}, {"0.1", D(0.1)},
      {"-65.613616999999977", D(-65.613616999999977)}, {"1e23", D(1e23)},
      {"8.98846567431158e307", D(8.98846567431158e307)},
      {"17976931348623157e292", D(17976931348623157e292)},
      {"1.7976931348623158e308", D(1.7976931348623158e308)},
      {"2.2250738585072011e-308", D(2.2250738585072011e-308)},
      {"4.9406564584124654e-324", D(4.9406564584124654e-324)},
      {"2.4703282292062328e-324", D(4.9406564584124654e-324)}, {"2.4703282292062327e-324", D(0.0)},
      {"0.1000000000000000055511151231257827021181583404541015625", D(0.1)},
      {"3.14159265358979323846264338327950288419716939937510",
       D(3.14159265358979323846264338327950288419716939937510)},
      {"1.00000000000000011102230246251565404236316680908203125", D(1.0)},
      {"1.00000000000000011102230246251565404236316680908203126", D(1.0000000000000002)},
      {"0.0000000000000000000000000000000000000001e40", D(1.0)},
      {"1000000000000000000000000000000000000000e-39", D(1.0)}, {"1e-2147483647", D(0.0)},
  };
  for (const Case& c : cases) {
    const ValueResult r = parse_exact(c.text);
    CHECK(r && r.value->kind() == Value::Kind::Number && same(r.value->as_number(), c.expected),
          "%.*s", static_cast<int>(c.text.size()), c.text.data());
  }
}

// Random texts of every shape against from_chars, a separate correctly
// rounding conversion: short and long significands, exponents across and past
// the double range, and exact ties between neighbouring doubles.
static void test_random_doubles() {
  std::mt19937_64 rng(20240611);
  int mismatches = 0;
  for (int i = 0; i < 300000 && mismatches < 10; ++i) {
    std::string text = rng() & 1 ? "-" : "";
    if (i % 4 == 0) {
      // m * 2^k with m of 54 bits: odd m lies halfway between two doubles.
      const std::uint64_t m = (rng() >> 11) | (std::uint64_t{1} << 53) | (rng() & 1);
      text += std::to_string(m << (rng() % 11)) + (rng() & 1 ? "e0" : "0e-1");
    } else {
      const int n = 1 + static_cast<int>(rng() % (i % 8 == 1 ? 40 : 20));
      std::string digits;
      for (int k = 0; k < n; ++k) digits += static_cast<char>('0' + rng() % 10);
      digits[0] = static_cast<char>('1' + rng() % 9);
      const std::size_t point = 1 + rng() % n;
      if (i % 5 == 2) {
        text += "0." + std::string(rng() % 25, '0') + digits;
      } else {
        text += digits.substr(0, point);
        if (point < digits.size()) text += "." + digits.substr(point);
      }
      const int e = static_cast<int>(rng() % 700) - 350;
      if (rng() % 4 != 0)
        text += "e" + std::to_string(i % 3 == 0 ? e / 15 : e);
      else if (i % 5 != 2 && point == digits.size())
        text += ".0";
    }
    double want = 0;
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), want);
    const ValueResult r = parse_exact(text);
    if (ec == std::errc::result_out_of_range) {
      // strtod tells overflow (infinity) from underflow (zero).
      if (std::isinf(std::strtod(text.c_str(), nullptr))) {
        CHECK(!r && r.error.code == ErrorCode::NumberOutOfRange, "%s", text.c_str());
        continue;
      }
      want = text[0] == '-' ? -0.0 : 0.0;
    }
    const bool ok =
        r && r.value->as_number().kind == Number::Kind::Double &&
        std::bit_cast<std::uint64_t>(r.value->as_number().d) == std::bit_cast<std::uint64_t>(want);
    mismatches += !ok;
    CHECK(ok, "%s", text.c_str());
  }
}

// Records the strings it receives.
struct StringSink : ValueSink {
  std::vector<std::pair<std::string, bool>> seen;
  bool string(const char* p, std::size_t n, bool ascii) {
    seen.emplace_back(std::string(p, n), ascii);
    return ValueSink::string(p, n, ascii);
  }
};

static void test_strings() {
  struct Case {
    std::string_view text, decoded;
    bool ascii;
  };
  const Case cases[] = {
      {R"("")", "", true},
      {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t", true},
      {R"("\u0000")", "\0"sv, true},
      {R"("\u0041\u007f")", "A\x7f", true},
      {R"("\u00e9")", "\xC3\xA9", false},
      {R"("\u00E9x\u20AC")", "\xC3\xA9x\xE2\x82\xAC", false},
      {R"("\ud83d\ude00")", "\xF0\x9F\x98\x80", false},
      {R"("\uDBFF\uDFFF")", "\xF4\x8F\xBF\xBF", false},
      {"\"\xC3\xA9\\n\"", "\xC3\xA9\n", false},
      {"\"\x7F\"", "\x7F", true},
  };
  for (const Case& c : cases) {
    StringSink sink;
    const auto error = parse_exact(c.text, sink);
    CHECK(!error && sink.seen.size() == 1 && sink.seen[0].first == c.decoded &&
              sink.seen[0].second == c.ascii,
          "%.*s", static_cast<int>(c.text.size()), c.text.data());
  }
  // Every length and every position of one special byte, with the text ending
  // right at the closing quote (or before it), so the block scanners meet each
  // boundary and each tail length.
  const char specials[] = {'\0', '"', '\\', '\x1F', '\x80', ' '};
  for (std::size_t len = 0; len < 48; ++len) {
    for (std::size_t at = 0; at <= len; ++at) {
      for (const char special : specials) {
        std::string content(len, 'a');
        if (at < len) content[at] = special;
        const bool closed = at % 2 == 0;
        const std::string text = "\"" + content + (closed ? "\"" : "");
        StringSink sink;
        const auto error = parse_exact(text, sink);
        const std::size_t stop = content.find_first_of("\"\\\x1F\0"sv);
        if (stop == std::string::npos) {
          const bool ascii = content.find('\x80') == std::string::npos;
          CHECK(closed ? !error && sink.seen.size() == 1 && sink.seen[0].first == content &&
                             sink.seen[0].second == ascii
                       : error && error->code == ErrorCode::EofWhileParsingString,
                "len %zu at %zu special %d", len, at, special);
        } else if (content[stop] == '"' && stop + 1 == len && !closed) {
          CHECK(!error && sink.seen[0].first == content.substr(0, stop), "len %zu quote", len);
        } else if (content[stop] == '"') {
          CHECK(error && error->code == ErrorCode::TrailingCharacters && error->index == stop + 3,
                "len %zu at %zu quote", len, at);
        } else if (content[stop] == '\\') {
          CHECK(error && (error->code == ErrorCode::InvalidEscape ||
                          error->code == ErrorCode::EofWhileParsingString),
                "len %zu at %zu backslash", len, at);
        } else {
          CHECK(error && error->code == ErrorCode::ControlCharacterWhileParsingString &&
                    error->index == stop + 2,
                "len %zu at %zu control", len, at);
        }
      }
    }
  }
}

// Fails at the n-th string, leaving built values behind.
struct FailingSink : ValueSink {
  int left;
  explicit FailingSink(int n) : left(n) {}
  bool string(const char* p, std::size_t n, bool ascii) {
    return --left > 0 && ValueSink::string(p, n, ascii);
  }
};

static void test_structure() {
  const ValueResult r = parse_value(" [1, -2, 3.5, \"s\", [], {}] ");
  CHECK(r && r.value->as_array().size() == 6 && r.value->as_array()[1].as_number().i == -2 &&
            r.value->as_array()[4].as_array().empty() && r.value->as_array()[5].as_object().empty(),
        "array content");
  FailingSink sink(3);
  const auto error = parse(R"([{"k":["a",["b",{"x":"c"}]]}])", sink);
  CHECK(error && error->code == ErrorCode::SinkFailed, "sink failure ends the parse");
}

// A sink reused document after document, on the heap or in an arena that is
// reset between documents, builds what a fresh parse builds: keys in byte
// order, the last of repeated keys winning. Random objects over keys with long
// shared prefixes, NUL bytes and escapes, and repeated shapes among new ones,
// reach both sorting paths, the key table's growth and shape cache collisions.
static void test_reused_sinks() {
  std::mt19937 rng(7);
  std::vector<std::string> pool = {"", "a", "a?", "B", std::string("a\0", 2), "\xC3\xA9", "\"q\\"};
  for (int i = 0; pool.size() < 200; ++i) {
    pool.push_back((i % 3 == 0 ? "profile_background_" : i % 3 == 1 ? "k" : "") +
                   std::to_string(i * 7919 % 1000));
  }
  const auto quoted = [](const std::string& raw) {
    std::string out = "\"";
    for (const char c : raw) {
      if (c == '"' || c == '\\') out += '\\';
      if (c == '\0') out += "\\u0000";
      else out += c;
    }
    return out + '"';
  };
  std::vector<std::vector<std::size_t>> shapes;
  Arena arena;
  ValueSink heap_sink;
  ValueSink arena_sink(&arena);
  for (int n = 0; n < 600 && failures == 0; ++n) {
    if (shapes.empty() || rng() % 3 != 0) {
      std::vector<std::size_t> keys(rng() % 41);
      // Half the shapes draw from a few keys only, so that keys repeat.
      const std::size_t range = rng() % 2 == 0 ? 5 : pool.size();
      for (auto& k : keys) k = rng() % range;
      shapes.push_back(keys);
    }
    const auto& keys = shapes[rng() % shapes.size()];
    // Member i holds i, as a number, in an array, or as a long string.
    std::string text = "{";
    std::map<std::string, std::size_t> want;
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (i != 0) text += ",";
      const std::string value = std::to_string(i);
      text += quoted(pool[keys[i]]) + ":";
      text += i % 3 == 0   ? value
              : i % 3 == 1 ? "[" + value + "]"
                           : "\"longer than inline " + value + "\"";
      want[pool[keys[i]]] = i;
    }
    text += "}";
    arena.reset();
    const ValueResult results[] = {parse_exact(text), parse_value(text, heap_sink),
                                   parse_value(text, arena_sink)};
    for (const ValueResult& r : results) {
      CHECK(r && r.value->kind() == Value::Kind::Object, "%s", text.c_str());
      if (!r || r.value->kind() != Value::Kind::Object) continue;
      const Map& map = r.value->as_object();
      CHECK(map.size() == want.size(), "%zu keys, want %zu: %s", map.size(), want.size(),
            text.c_str());
      auto expected = want.begin();
      for (const auto& [key, value] : map) {
        if (expected == want.end()) break;
        const std::string i = std::to_string(expected->second);
        const std::string got =
            value.kind() == Value::Kind::Number  ? std::to_string(value.as_number().u)
            : value.kind() == Value::Kind::Array ? std::to_string(value.as_array()[0].as_number().u)
                                                 : std::string(value.as_string());
        CHECK(key == expected->first && (got == i || got == "longer than inline " + i),
              "entry %s=%s, want %s=%s in %s", std::string(key).c_str(), got.c_str(),
              expected->first.c_str(), i.c_str(), text.c_str());
        ++expected;
      }
    }
  }
}

static void test_suite(const char* folder) {
  int counts[3] = {};
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (entry.path().extension() != ".json") continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const ValueResult r = parse_exact(text);
    if (name[0] == 'y') {
      CHECK(r, "%s: %s", name.c_str(), describe(text, r.error).c_str());
      ++counts[0];
    } else if (name[0] == 'n' && quarn::test::valid_utf8(text)) {
      CHECK(!r, "%s accepted", name.c_str());
      ++counts[1];
    } else if (name[0] == 'i') {
      ++counts[2];
    }
  }
  CHECK(!ec && counts[0] > 90 && counts[1] > 150 && counts[2] > 30, "suite at %s: %d y, %d n, %d i",
        folder, counts[0], counts[1], counts[2]);
}

// Checks a text and keeps nothing; with Quiet, it does not use its numbers.
// Both count begin events against end events.
template <bool Quiet>
struct CheckSink : NullSink {
  int open = 0;
  bool begin_array() { return ++open, true; }
  bool begin_object() { return ++open, true; }
  bool end_array(std::size_t) { return --open >= 0; }
  bool end_object(std::size_t) { return --open >= 0; }
  bool numbers_unused() { return Quiet; }
};

// A sink that does not use its numbers sees the same faults at the same
// bytes, and one begin event for each end event.
static void test_unused_numbers() {
  const std::string huge = "1" + std::string(400, '0') + ".5";
  const std::string_view texts[] = {
      "1.5", "-0.25", "[1.5,2.25]", "1.", "1.e5", "1.5e", "1.5e+", "1.5x", "-.5", "01.5",
      "1.5e999", "2.5E-999", "[1.123456789012345678901234]", "12345678901234567890.5",
      "123456789012345678901234567890.5", huge, "{\"a\":[0.5,{\"b\":-1.25e-3}],\"c\":0.1",
      "[0.12345678,", "[1.2.3]", "0.5 1", "{\"a\":[0.5,{\"b\":-1.25e-3}],\"c\":0.1}"};
  for (std::string_view text : texts) {
    CheckSink<false> loud;
    CheckSink<true> quiet;
    const auto a = parse_exact(text, loud);
    const auto b = parse_exact(text, quiet);
    CHECK(a.has_value() == b.has_value() && (!a || (a->code == b->code && a->index == b->index)),
          "%.*s", static_cast<int>(text.size()), text.data());
    CHECK(a || (loud.open == 0 && quiet.open == 0), "begin/end %.*s",
          static_cast<int>(text.size()), text.data());
  }
}

// A text that is part of a larger document: the containers around it count
// towards the nesting limit, and a parse that stops part way names the
// containers it left open, outermost first.
static void test_parts() {
  const std::string deep = std::string(127, '[') + std::string(127, ']');
  struct Case {
    std::string text;
    std::size_t depth;
    std::optional<ParseError> error;
    std::string open;
  };
  const Case cases[] = {
      {deep, 0, std::nullopt, ""},
      {deep, 1, ParseError{ErrorCode::RecursionLimitExceeded, 127}, std::string(126, '[')},
      {"[[]]", 125, std::nullopt, ""},
      {"[[]]", 126, ParseError{ErrorCode::RecursionLimitExceeded, 2}, "["},
      {"{\"a\":1}", 127, ParseError{ErrorCode::RecursionLimitExceeded, 1}, ""},
      {"\"a\"", 500, std::nullopt, ""},
      {"{\"a\":[1,{\"b\":[2,", 0, ParseError{ErrorCode::EofWhileParsingValue, 16}, "{[{["},
      {"[1,\"x,", 3, ParseError{ErrorCode::EofWhileParsingString, 6}, "["},
      {"[{\"a\" 1,", 0, ParseError{ErrorCode::ExpectedColon, 7}, "[{"},
      {"[1],", 0, ParseError{ErrorCode::TrailingCharacters, 4}, ""},
  };
  for (const Case& c : cases) {
    const std::vector<char> copy(c.text.begin(), c.text.end());
    const std::string_view text(copy.data(), copy.size());
    NullSink sink;
    std::string open = "stale";
    const auto plain = parse(text, sink, c.depth);
    const auto traced = parse(text, sink, c.depth, open);
    const bool same = plain.has_value() == c.error.has_value() &&
                      traced.has_value() == c.error.has_value() &&
                      (!plain || (plain->code == c.error->code && plain->index == c.error->index &&
                                  traced->code == plain->code && traced->index == plain->index));
    CHECK(same && open == c.open, "%.40s at depth %zu: open '%s'", c.text.c_str(), c.depth,
          open.c_str());
  }
}

static void test_pointers() {
  std::vector<PointerToken> tokens;
  CHECK(pointer_tokens("", tokens) && tokens.empty(), "empty pointer");
  CHECK(pointer_tokens("/", tokens) && tokens.size() == 1 && tokens[0].name.empty(), "/");
  CHECK(pointer_tokens("/a~1b/~0/c~01//", tokens) && tokens.size() == 5 &&
            tokens[0].name == "a/b" && tokens[1].name == "~" && tokens[2].name == "c~1" &&
            tokens[3].name.empty() && tokens[4].name.empty() && tokens[0].end == 5,
        "escapes");
  for (std::string_view bad : {"/~", "/a~2", "/~a/b"}) {
    CHECK(!pointer_tokens(bad, tokens), "%.*s", static_cast<int>(bad.size()), bad.data());
  }
}

int main(int argc, char** argv) {
  test_unused_numbers();
  test_parts();
  test_pointers();
  test_errors();
  test_numbers();
  test_random_doubles();
  test_strings();
  test_structure();
  test_reused_sinks();
  // "--no-suite" where the shared conformance suite is not at hand.
  const char* suite = argc > 1 ? argv[1] : "../shared/data/jsontestsuite";
  if (std::strcmp(suite, "--no-suite") != 0) test_suite(suite);
  return quarn::test::finish("parser");
}
