// Byte scanners: every kernel set the CPU runs against the scalar one, on nasty
// random input cut at random points, plus hand-checked cases. tests/test_native.py
// builds it with sanitizers, each vector file with its own instruction set flags.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "scan/kernels.hpp"
#include "scan/scan.hpp"

using quarn::scan::ArrayScan;
using quarn::scan::CountState;
using quarn::scan::LineCount;
using quarn::scan::RangeSummary;
using quarn::scan::detail::KernelSet;

namespace {

std::mt19937_64 rng(20240611);

const auto* bytes(const std::string& s) {
  return reinterpret_cast<const std::uint8_t*>(s.data());
}

// Sorted cut points in (0, n): the input is fed as the pieces between them.
std::vector<std::size_t> random_cuts(std::size_t n) {
  std::vector<std::size_t> cuts;
  for (std::size_t at = 0; n > 1;) {
    at += 1 + rng() % (rng() % 2 ? 9 : 200);
    if (at >= n) break;
    cuts.push_back(at);
  }
  return cuts;
}

std::string random_text(const std::vector<std::string>& alphabet, std::size_t tokens) {
  std::string s;
  for (std::size_t i = 0; i < tokens; ++i) {
    const std::size_t pick = rng() % (alphabet.size() + 1);
    s += pick < alphabet.size() ? alphabet[pick] : std::string(1, static_cast<char>(rng()));
  }
  return s;
}

bool same(const ArrayScan& a, const ArrayScan& b) {
  return a.in_string == b.in_string && a.escaped == b.escaped && a.depth == b.depth;
}

// `count` on a JSON file: the first significant byte decides, then the array
// scan runs over the rest, fed in pieces.
std::uint64_t count_json(const KernelSet& k, const std::string& text,
                         const std::vector<std::size_t>& cuts) {
  const std::size_t start = text.find_first_not_of(" \t\n\f\r");
  if (start == std::string::npos || text[start] != '[') return 1;
  CountState st;
  std::size_t from = start + 1;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::size_t to = i < cuts.size() ? std::max(cuts[i], from) : text.size();
    k.count_array(bytes(text) + from, to - from, st);
    from = to;
  }
  return st.has_content ? st.commas + 1 : 0;
}

// The record reader's cut of a top-level array into raw element texts, with the
// state after every call, for comparing kernels.
struct Cut {
  std::vector<std::string> elements;
  std::vector<ArrayScan> states;
};

Cut cut_elements(const KernelSet& k, const std::string& text, const std::vector<std::size_t>& cuts,
                 bool stop_at_close = true) {
  Cut out;
  ArrayScan st;
  std::string pending;
  std::size_t pos = text.find('[') + 1;
  std::size_t next_cut = 0;
  while (pos < text.size()) {
    while (next_cut < cuts.size() && cuts[next_cut] <= pos) ++next_cut;
    const std::size_t end = next_cut < cuts.size() ? cuts[next_cut] : text.size();
    const std::size_t at = k.find_element_end(bytes(text) + pos, end - pos, st);
    out.states.push_back(st);
    pending.append(text, pos, at);
    pos += at;
    if (pos == end) continue;
    out.elements.push_back(pending);
    pending.clear();
    if (text[pos++] == ']') {
      if (stop_at_close) break;
      --st.depth;
    }
  }
  return out;
}

std::string trim(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t\n\f\r");
  return a == std::string::npos ? "" : s.substr(a, s.find_last_not_of(" \t\n\f\r") - a + 1);
}

LineCount count_lines(const KernelSet& k, const std::string& text,
                      const std::vector<std::size_t>& cuts) {
  LineCount st;
  std::size_t from = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
    k.count_lines(bytes(text) + from, to - from, st);
    from = to;
  }
  quarn::scan::finish_lines(st);
  return st;
}

void test_count_cases(const KernelSet& k) {
  struct Case {
    std::string text;
    std::uint64_t count;
  };
  std::vector<Case> cases = {
      {"[1, 2, 3]", 3}, {"[]", 0}, {"[ ]", 0}, {"[[]]", 1}, {"[{}, {}]", 2},
      {R"(["a,b", "c\",d"])", 2}, {"[1,]", 2}, {"[,]", 0}, {"[", 0}, {"[1", 1},
      {R"({"a": [1, 2]})", 1}, {"7", 1}, {"", 1}, {" \n\f", 1}, {"\xEF\xBB\xBF[1,2]", 1},
      {"[]]],1", 0}, {"[] [1,2]", 2}, {"[]\n[,]", 0}, {R"(["\\",1])", 2}, {R"(["\"",1])", 2},
      {R"([\"a",1])", 2}, {R"([1\\\"],2,"\\\\\"x,]",3])", 2}, {"[\"\\", 1},
      {"[" + std::string(100, '[') + std::string(100, ']') + ",1]", 2},
      {"[" + std::string(70, '{') + "," + std::string(70, '}') + ",1,2]", 3}};
  // Backslash runs of every length ending on either side of a block boundary:
  // an odd run escapes the quote, so the string swallows the rest.
  for (int run = 0; run <= 7; ++run) {
    for (int pad = 54; pad <= 72; ++pad) {
      cases.push_back(
          {"[\"" + std::string(pad, 'x') + std::string(run, '\\') + "\",1]", run % 2 ? 1u : 2u});
    }
  }
  for (const Case& c : cases) {
    for (int trial = 0; trial < 4; ++trial) {
      const auto cuts = trial == 0 ? std::vector<std::size_t>{} : random_cuts(c.text.size());
      const std::uint64_t got = count_json(k, c.text, cuts);
      CHECK(got == c.count, "%s count(%s) = %llu, want %llu", k.name, c.text.c_str(),
            static_cast<unsigned long long>(got), static_cast<unsigned long long>(c.count));
    }
  }
}

void test_element_cases(const KernelSet& k) {
  struct Case {
    std::string text;
    std::vector<std::string> elements;
  };
  const std::vector<Case> cases = {
      {"[1,2]", {"1", "2"}},
      {"[1,,2]", {"1", "", "2"}},
      {"[]", {""}},
      {"[1, 2", {"1"}},
      {R"(["a,]", "b\"],", "\\"] tail)", {R"("a,]")", R"("b\"],")", R"("\\")"}},
      {R"([[1,2], {"a": [3, {}]}, [[]]])", {"[1,2]", R"({"a": [3, {}]})", "[[]]"}},
      {"[}, 1]", {}},
      {"[" + std::string(90, '[') + std::string(90, ']') + " ,7]",
       {std::string(90, '[') + std::string(90, ']'), "7"}},
  };
  for (const Case& c : cases) {
    for (int trial = 0; trial < 4; ++trial) {
      const auto cuts = trial == 0 ? std::vector<std::size_t>{} : random_cuts(c.text.size());
      std::vector<std::string> got;
      for (const std::string& e : cut_elements(k, c.text, cuts).elements) got.push_back(trim(e));
      CHECK(got == c.elements, "%s elements of %s: got %zu", k.name, c.text.c_str(), got.size());
    }
  }
}

const std::vector<std::string> kArrayAlphabet = {
    "[",          "]",     "{",         "}",  ",",  ",", "\"", "\"",       "\\",
    "\\\\",       " ",     "\n",        "\r", "\f", "a", "1",  "\xC3\xA9", "\xF0\x9F\x98\x80",
    "\"x\\\"y\"", "[1,2]", "{\"k\":[]}"};

void test_array_random(const KernelSet& k) {
  const KernelSet& ref = quarn::scan::detail::kScalarKernels;
  for (int iter = 0; iter < 4000; ++iter) {
    std::string text = "[";
    text += random_text(kArrayAlphabet, rng() % 400);
    const auto cuts = random_cuts(text.size());
    CountState a, b;
    std::size_t from = 1;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
      const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
      k.count_array(bytes(text) + from, to - from, a);
      ref.count_array(bytes(text) + from, to - from, b);
      from = to;
      if (same(a.scan, b.scan) && a.commas == b.commas && a.has_content == b.has_content) continue;
      CHECK(false, "%s count_array differs on input %d, piece %zu", k.name, iter, i);
      break;
    }
    const Cut x = cut_elements(k, text, cuts, false);
    const Cut y = cut_elements(ref, text, cuts, false);
    bool states_match = x.states.size() == y.states.size();
    for (std::size_t i = 0; states_match && i < x.states.size(); ++i) {
      states_match = same(x.states[i], y.states[i]);
    }
    CHECK(x.elements == y.elements && states_match, "%s find_element_end differs on input %d",
          k.name, iter);
  }
}

bool same(const RangeSummary& a, const RangeSummary& b) {
  return same(a.scan, b.scan) && a.min_depth == b.min_depth && a.commas == b.commas &&
         a.has_content == b.has_content;
}

// Range summaries from every start state, on random arrays fed in random
// pieces, against the scalar rules; and, from the true start of an array that
// never closes, the same commas and content as the count.
void test_summary_random(const KernelSet& k) {
  const KernelSet& ref = quarn::scan::detail::kScalarKernels;
  for (int iter = 0; iter < 3000; ++iter) {
    std::string text = random_text(kArrayAlphabet, rng() % 400);
    const auto cuts = random_cuts(text.size());
    const int start = static_cast<int>(rng() % 3);
    RangeSummary a, b;
    a.scan.in_string = b.scan.in_string = start != 0;
    a.scan.escaped = b.scan.escaped = start == 2;
    std::size_t from = 0;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
      const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
      k.summarize_array(bytes(text) + from, to - from, a);
      ref.summarize_array(bytes(text) + from, to - from, b);
      from = to;
      if (same(a, b)) continue;
      CHECK(false, "%s summarize_array differs on input %d, piece %zu", k.name, iter, i);
      break;
    }
    if (start != 0 || a.min_depth < 0) continue;
    CountState c;
    k.count_array(bytes(text), text.size(), c);
    CHECK(c.commas == a.commas && c.has_content == a.has_content,
          "%s summary of input %d disagrees with its count", k.name, iter);
  }
}

void test_summary_cases(const KernelSet& k) {
  struct Case {
    std::string text;
    std::int64_t min_depth, depth;
    std::uint64_t commas;
    bool content;
  };
  // From outside a string at relative depth 0.
  const std::vector<Case> cases = {
      {"1,2,3", 0, 0, 2, true},
      {"{\"a\":[1,2]},3", 0, 0, 1, true},
      {"1,2]],3", -2, -2, 1, true},
      {"2]", -1, -1, 0, false},
      {"],[", -1, 0, 1, true},
      {"\"]]\",5", 0, 0, 1, true},
      {std::string(70, '{') + "," + std::string(71, '}') + " ,x", -1, -1, 1, true},
  };
  for (const Case& c : cases) {
    RangeSummary st;
    k.summarize_array(bytes(c.text), c.text.size(), st);
    CHECK(st.min_depth == c.min_depth && st.scan.depth == c.depth && st.commas == c.commas &&
              st.has_content == c.content,
          "%s summary of %s: min %lld depth %lld commas %llu", k.name, c.text.c_str(),
          static_cast<long long>(st.min_depth), static_cast<long long>(st.scan.depth),
          static_cast<unsigned long long>(st.commas));
  }
}

void test_line_cases(const KernelSet& k) {
  struct Case {
    std::string text;
    std::uint64_t lines;
    bool invalid;
  };
  std::string all_blank;
  for (const char* ws :
       {"\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x8A", "\xE2\x80\xA8",
        "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80", "\t\x0B\x0C\r "}) {
    all_blank += ws;
  }
  std::string wide_blank;
  for (int i = 0; i < 40; ++i) wide_blank += "\xE3\x80\x80\xC2\xA0\xE2\x80\xA8";
  const std::vector<Case> cases = {
      {"{}\n\n   \n{}", 2, false}, {"", 0, false}, {"x", 1, false}, {"\r\n\r\n", 0, false},
      {"\xC2\xA0\n", 0, false}, {all_blank + "\n" + all_blank, 0, false},
      {wide_blank + "\n" + wide_blank + "x\n" + wide_blank, 1, false}, {"\x1C\n", 1, false},
      {"\xE2\x80\x8B\n", 1, false}, {"\xE2\x80\xB0\n", 1, false}, {"\xC2\xA1\n", 1, false},
      {"\xE3\x80\x81\n", 1, false}, {"\xE1\x9A\x81", 1, false}, {"\xF0\x9F\x98\x80\n \n", 1, false},
      {"a\xFF\n", 0, true}, {"\xC0\x80\n", 0, true}, {"\xED\xA0\x80\n", 0, true},
      {"\xF4\x90\x80\x80\n", 0, true}, {"\xE3\x80", 0, true}, {"ok\n\xE3\x80\nok", 0, true},
      {"\x80", 0, true}, {"\xF5", 0, true}};
  for (const Case& c : cases) {
    for (std::size_t cut = 0; cut <= c.text.size(); ++cut) {
      const auto cuts = cut == 0 ? std::vector<std::size_t>{} : std::vector<std::size_t>{cut};
      const LineCount st = count_lines(k, c.text, cuts);
      CHECK(st.invalid == c.invalid && (c.invalid || st.lines == c.lines),
            "%s lines of case %zu cut at %zu: %llu%s", k.name,
            static_cast<std::size_t>(&c - cases.data()), cut,
            static_cast<unsigned long long>(st.lines), st.invalid ? " invalid" : "");
    }
  }
}

const std::vector<std::string> kLineAlphabet = {
    "\n", "\n", " ", "\t", "\x0B", "\r", "a", "{}", "\xC3\xA9", "\xF0\x9F\x98\x80", "\xC2\xA0",
    "\xC2\x85", "\xE3\x80\x80", "\xE2\x80\xA8", "\xE1\x9A\x80", "\xE2\x81\x9F", "\xE2\x80\x8A",
    "\xE2\x80\x8B", "\xE3\x80\x81", "\xE2\x80\xAF", "\xC2\xA0\xC2\xA0\xC2\xA0"};

void test_lines_random(const KernelSet& k) {
  const KernelSet& ref = quarn::scan::detail::kScalarKernels;
  for (int iter = 0; iter < 4000; ++iter) {
    // Mostly valid text; the random byte of random_text comes up about once in
    // 22 tokens, so only short inputs stay valid: enough of both kinds.
    const std::string text = random_text(kLineAlphabet, rng() % (iter % 2 ? 40 : 600));
    const auto cuts = random_cuts(text.size());
    const LineCount a = count_lines(k, text, cuts);
    const LineCount b = count_lines(ref, text, cuts);
    CHECK(a.invalid == b.invalid && (a.invalid || a.lines == b.lines),
          "%s count_lines differs on input %d", k.name, iter);
    CHECK(k.validate_utf8(bytes(text), text.size()) == !b.invalid,
          "%s validate_utf8 differs on input %d", k.name, iter);
  }
}

// Every 1- and 2-byte sequence, and the 3- and 4-byte ones over every value of
// the byte after a lead, placed around a block boundary and at the very end.
void test_utf8_patterns(const std::vector<const KernelSet*>& sets) {
  const std::vector<std::uint8_t> reps = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F,
                                          0xA0, 0xBF, 0xC0, 0xC2, 0xE0, 0xF0, 0xFF};
  std::vector<std::string> patterns;
  for (int a = 0; a < 256; ++a) {
    for (int b = 0; b < 256; ++b) patterns.push_back({static_cast<char>(a), static_cast<char>(b)});
    for (int b = 0; b < 256 && a >= 0xC0; ++b) {
      for (std::uint8_t c : reps) patterns.push_back({char(a), char(b), char(c)});
    }
    for (int b = 0x80; b < 0xC0 && a >= 0xE0 && a < 0xF0; ++b) {
      for (int c = 0; c < 256; ++c) patterns.push_back({char(a), char(b), char(c)});
    }
    for (int b = 0; b < 256 && a >= 0xF0; ++b) {
      for (std::uint8_t c : {0x41, 0x80, 0xBF, 0xC2}) {
        for (std::uint8_t d : {0x41, 0x80, 0xBF, 0xC2}) {
          patterns.push_back({char(a), char(b), char(c), char(d)});
        }
      }
    }
  }
  const std::size_t lead[] = {0, 61, 62, 63};
  const std::size_t trail[] = {0, 1, 5, 70};
  for (std::size_t n = 0; n < patterns.size(); ++n) {
    const std::string text =
        std::string(lead[n % 4], 'a') + patterns[n] + std::string(trail[n / 4 % 4], 'b');
    const bool want = quarn::test::valid_utf8(text);
    // A cut inside the pattern, so the sequence straddles two calls.
    const auto cuts = std::vector<std::size_t>{lead[n % 4] + 1 + n % 2};
    for (const KernelSet* k : sets) {
      if (k->validate_utf8(bytes(text), text.size()) != want) {
        CHECK(false, "%s validate_utf8 of pattern %zu: want %d", k->name, n, want);
      }
      if (n % 7 == 0 && count_lines(*k, text, cuts).invalid == want) {
        CHECK(false, "%s count_lines validity of pattern %zu: want %d", k->name, n, want);
      }
    }
  }
}

}  // namespace

int main() {
  const auto sets = quarn::scan::detail::supported_kernel_sets();
  for (const KernelSet* k : sets) {
    std::printf("kernel set %s\n", k->name);
    test_count_cases(*k);
    test_element_cases(*k);
    test_line_cases(*k);
    test_summary_cases(*k);
    test_summary_random(*k);
    if (k != &quarn::scan::detail::kScalarKernels) {
      test_array_random(*k);
      test_lines_random(*k);
    }
  }
  test_utf8_patterns(sets);
  std::printf("active: %s\n", quarn::scan::kernel_name());
  return quarn::test::finish("scanners");
}
