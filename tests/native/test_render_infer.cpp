// Indented rendering and structure inference, checked on exact output bytes;
// test documents are written as JSON text and read with the parser.
// tests/test_native.py builds it with sanitizers.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "json/infer.hpp"
#include "json/parser.hpp"
#include "json/render.hpp"

using quarn::json::Map;
using quarn::json::Number;
using quarn::json::Value;
using quarn::json::to_pretty_string;

static Value doc(const char* text) {
  quarn::json::ValueResult r = quarn::json::parse_value(text);
  CHECK(r, "test document %s", text);
  return r ? std::move(*r.value) : Value::null();
}

static std::string infer_text(const std::vector<std::string>& records, bool reversed) {
  std::vector<Value> docs;
  for (const auto& r : records) docs.push_back(doc(r.c_str()));
  std::vector<const Value*> refs;
  for (const auto& d : docs) refs.push_back(&d);
  if (reversed) std::reverse(refs.begin(), refs.end());
  return to_pretty_string(quarn::json::infer(refs));
}

static void test_infer() {
  struct Case {
    std::vector<std::string> records;
    const char* expected;  // one line; compared after rendering both sides
    bool order_free = true;
  };
  const Case cases[] = {
      {{R"({"id": 1, "name": "a", "tags": ["x"]})",
        R"({"id": 2, "name": null, "tags": [], "score": 1.5})", R"({"id": 3, "tags": ["y", 4]})"},
       R"({"id": "int", "name?": "null|str", "score?": "float", "tags": ["int|str"]})"},
      {{"1", "2.5", R"("x")", "null"}, R"("float|int|null|str")"},
      {{R"({"a": 1})", "[1]", "true"}, R"({"__oneof__": ["bool", ["int"], {"a": "int"}]})"},
      {{R"({"a": {"x": 1}})", R"({"a": {"y": 2}})", R"({"a": 5})"},
       R"({"a": {"__oneof__": ["int", {"x?": "int", "y?": "int"}]}})"},
      {{R"({"a": [{"x": 1}, {"x": 2, "y": "s"}]})", R"({"a": []})"},
       R"({"a": [{"x": "int", "y?": "str"}]})"},
      {{"[1, 2]", R"([[3], "a"])"}, R"([{"__oneof__": ["int|str", ["int"]]}])"},
      {{"[[1, 2], [3.5]]", "[]"}, R"([["float|int"]])"},
      {{"{}", "{}"}, "{}"}, {{"[]", "[]"}, "[]"}, {{"-0", "0"}, R"("float|int")"},
      {{}, R"("unknown")"},
      {{R"({"a?": 1})", R"({"a": "x", "a?": 2})"}, R"({"a?": "str"})", false},
      {{R"({"a": 1, "a?": true})", R"({"a?": false})"}, R"({"a?": "bool"})", false},
      {{R"({"__oneof__": 1})"}, R"({"__oneof__": "int"})"},
      {{R"({"a": {"b": null}, "c": [true]})"}, R"({"a": {"b": "null"}, "c": ["bool"]})"},
      {{R"({"a": null})", "{}"}, R"({"a?": "null"})"},
      {{R"({"a": null})", R"({"a": 1})", "{}"}, R"({"a?": "int|null"})"},
      {{R"({"a": null})", R"({"a": null})"}, R"({"a": "null"})"},
      {{R"(["x"])", "[]"}, R"(["str"])"},
      {{"[[1], [2, 3]]", "[[4.0]]"}, R"([["float|int"]])"},
      {{R"([1, {"a": 1}])"}, R"([{"__oneof__": ["int", {"a": "int"}]}])"},
      {{R"({"a": 1})", "5", "null"}, R"({"__oneof__": ["int|null", {"a": "int"}]})"},
      {{"[]", "{}", R"("")"}, R"({"__oneof__": ["str", [], {}]})"},
      {{"18446744073709551615", "-9223372036854775808"}, R"("int")"},
      {{"18446744073709551616", "-9223372036854775809", "1e3"}, R"("float")"},
      {{"true", "false", "1", "1.0", "null", R"("s")", R"("")"}, R"("bool|float|int|null|str")"},
  };
  for (const auto& c : cases) {
    const std::string expected = to_pretty_string(doc(c.expected));
    const std::string got = infer_text(c.records, false);
    CHECK(got == expected, "infer -> %s, want %s", got.c_str(), c.expected);
    if (c.order_free) {
      const std::string rev = infer_text(c.records, true);
      CHECK(rev == expected, "reversed infer -> %s, want %s", rev.c_str(), c.expected);
    }
  }
  // Byte order of entry names, and the full text of a nested description.
  CHECK(infer_text({R"({"a_b": 1, "a?": 1, "a": [], "B": 1})",
                    R"({"a_b": 1, "a?": 2, "a": [1.5]})"},
                   false) ==
            "{\n  \"B?\": \"int\",\n  \"a\": [\n    \"float\"\n  ],\n  \"a?\": \"int\",\n"
            "  \"a_b\": \"int\"\n}",
        "entry order");
}

static void test_render_layout() {
  struct Case {
    const char* doc;
    const char* text;
  };
  const Case cases[] = {
      {"null", "null"}, {"true", "true"}, {"false", "false"}, {"0", "0"}, {R"("")", R"("")"},
      {"[]", "[]"}, {"{}", "{}"}, {"[{}]", "[\n  {}\n]"},
      {"[[], [[]]]", "[\n  [],\n  [\n    []\n  ]\n]"},
      {R"({"b": [1, {}, "x\n"], "a": null, "c": []})",
       "{\n  \"a\": null,\n  \"b\": [\n    1,\n    {},\n    \"x\\n\"\n  ],\n  \"c\": []\n}"},
      {R"({"ab": 1, "a": 2, "B": 3})", "{\n  \"B\": 3,\n  \"a\": 2,\n  \"ab\": 1\n}"},
      {"18446744073709551615", "18446744073709551615"}, {"-1", "-1"}, {"1234567890", "1234567890"},
      {"-9223372036854775808", "-9223372036854775808"}, {"[1.0, 1]", "[\n  1.0,\n  1\n]"},
  };
  for (const auto& c : cases) {
    const std::string got = to_pretty_string(doc(c.doc));
    CHECK(got == c.text, "render %s -> [%s]", c.doc, got.c_str());
  }
  // Escapes: in a string and in a key, control bytes without a short form as
  // \u00xx, slash, DEL and UTF-8 untouched.
  const std::string raw = "\t\"\\/\x01\x0b\x1f\x7f\xc3\xa9\b\f\r\n";
  const std::string quoted = R"("\t\"\\/\u0001\u000b\u001f)" "\x7f\xc3\xa9" R"(\b\f\r\n")";
  CHECK(to_pretty_string(Value::string(raw)) == quoted, "escaped string");
  std::vector<Map::Entry> members;
  members.emplace_back(raw, Value::null());
  CHECK(to_pretty_string(Value::object(Map::from_members(std::move(members)))) ==
            "{\n  " + quoted + ": null\n}",
        "escaped key");
  std::string zero("a\0b", 3);
  CHECK(to_pretty_string(Value::string(zero)) == R"("a\u0000b")", "NUL byte");
}

static std::string render_double(double d) {
  return to_pretty_string(Value::number(Number::from_double(d)));
}

static void test_double_texts() {
  struct Case {
    double d;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0.0"}, {-0.0, "-0.0"}, {1.0, "1.0"}, {100.0, "100.0"},
      {1e15, "1000000000000000.0"}, {9007199254740992.0, "9007199254740992.0"},
      {1e16, "1e+16"}, {1.5e16, "1.5e+16"}, {123.456, "123.456"}, {-123.456, "-123.456"},
      {0.001, "0.001"}, {1e-5, "0.00001"}, {1.25e-5, "0.0000125"}, {1e-6, "1e-6"},
      {1.5e-7, "1.5e-7"}, {0.1 + 0.2, "0.30000000000000004"}, {-1e100, "-1e+100"},
      {1.7976931348623157e308, "1.7976931348623157e+308"}, {5e-324, "5e-324"},
      {-2.2250738585072014e-308, "-2.2250738585072014e-308"}, {12345678.9, "12345678.9"},
  };
  for (const auto& c : cases) {
    const std::string got = render_double(c.d);
    CHECK(got == c.text, "double %.17g -> %s, want %s", c.d, got.c_str(), c.text);
  }
}

// Shortest correctly rounded %e digits that read back to d; the round trip is
// monotone in the precision, so a binary search finds the least one.
static void shortest_by_printf(double d, std::string& digits, int& exponent) {
  char buf[40];
  int lo = 1, hi = 17;
  while (lo < hi) {
    const int mid = (lo + hi) / 2;
    std::snprintf(buf, sizeof buf, "%.*e", mid - 1, d);
    if (std::strtod(buf, nullptr) == d) hi = mid;
    else lo = mid + 1;
  }
  std::snprintf(buf, sizeof buf, "%.*e", lo - 1, std::fabs(d));
  digits.clear();
  char* p = buf;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits += *p;
  }
  exponent = std::atoi(p + 1);
}

// With `dump`, the first 200,000 texts are also written as "<bits hex> <text>" lines, for
// the comparison with Python's repr in tests/test_native.py.
static void test_random_doubles(std::FILE* dump) {
  std::mt19937_64 rng(20240611);
  std::string want_digits;
  int exponent = 0;
  int checked = 0;
  while (checked < 1000000) {
    std::uint64_t bits = rng();
    // Every other draw gets an exponent near 1, where the plain layouts live.
    if (checked % 2 == 1) bits = (bits & 0x800FFFFFFFFFFFFFULL) | ((1003 + bits % 80) << 52);
    const double d = std::bit_cast<double>(bits);
    if (!std::isfinite(d) || d == 0.0) continue;
    ++checked;
    const std::string text = render_double(d);
    if (dump != nullptr && checked <= 200000) {
      std::fprintf(dump, "%016llx %s\n", static_cast<unsigned long long>(bits), text.c_str());
    }
    CHECK(std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)) == bits,
          "%s does not read back", text.c_str());
    // Significant digits of the text: mantissa without sign, point and the
    // zeros the layout adds on either side.
    const std::string mantissa = text.substr(0, text.find('e'));
    std::string digits;
    for (char ch : mantissa) {
      if (ch >= '0' && ch <= '9' && !(digits.empty() && ch == '0')) digits += ch;
    }
    while (!digits.empty() && digits.back() == '0') digits.pop_back();
    shortest_by_printf(d, want_digits, exponent);
    CHECK(digits == want_digits, "%s has digits %s, want %s", text.c_str(), digits.c_str(),
          want_digits.c_str());
    const bool exp_form = exponent < -5 || exponent > 15;
    CHECK((text.find('e') != std::string::npos) == exp_form, "%s: wrong form", text.c_str());
    CHECK(text.find_first_of(".e") != std::string::npos, "%s reads as an integer", text.c_str());
    if (quarn::test::failures > 20) break;
  }
}

int main(int argc, char** argv) {
  test_infer();
  test_render_layout();
  test_double_texts();
  std::FILE* dump = argc > 1 ? std::fopen(argv[1], "w") : nullptr;
  test_random_doubles(dump);
  if (dump != nullptr) std::fclose(dump);
  return quarn::test::finish("render and infer");
}
