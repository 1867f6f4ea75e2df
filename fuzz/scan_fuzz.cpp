// libFuzzer target for the byte scanners: every kernel set the CPU runs
// against the scalar set, and the scalar set against byte-at-a-time models of
// the rules written in scan.hpp, on the input cut into pieces at points the
// input itself chooses (the scanners carry their state across pieces, and the
// vector kernels have their own paths for block ends and short tails).
//
// Input layout: two bytes that seed the cut points, then the text.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "json/text.hpp"
#include "fuzz_check.hpp"
#include "scan/kernels.hpp"
#include "scan/scan.hpp"

namespace {

using quarn::scan::ArrayScan;
using quarn::scan::CountState;
using quarn::scan::LineCount;
using quarn::scan::detail::KernelSet;

bool same(const ArrayScan& a, const ArrayScan& b) {
  return a.in_string == b.in_string && a.escaped == b.escaped && a.depth == b.depth;
}

// Piece boundaries: mostly short pieces, some long ones, so that vector
// blocks start at every alignment and also run whole.
std::vector<std::size_t> cuts_for(std::uint16_t seed, std::size_t n) {
  std::vector<std::size_t> cuts;
  if (seed == 0) return cuts;
  std::minstd_rand rng(seed);
  for (std::size_t at = 0;;) {
    at += 1 + rng() % ((rng() & 3) != 0 ? 17 : 300);
    if (at >= n) break;
    cuts.push_back(at);
  }
  return cuts;
}

template <class F>
void for_pieces(std::string_view text, const std::vector<std::size_t>& cuts, F&& f) {
  std::size_t from = 0;
  for (std::size_t i = 0; i <= cuts.size(); ++i) {
    const std::size_t to = i < cuts.size() ? cuts[i] : text.size();
    f(reinterpret_cast<const std::uint8_t*>(text.data()) + from, to - from);
    from = to;
  }
}

// The array byte rules, one byte at a time.
void model_step(ArrayScan& st, std::uint8_t b) {
  if (st.in_string) {
    if (st.escaped) {
      st.escaped = false;
    } else if (b == '"') {
      st.in_string = false;
    } else if (b == '\\') {
      st.escaped = true;
    }
    return;
  }
  if (b == '"') st.in_string = true;
  if (b == '[' || b == '{') ++st.depth;
  if (b == ']' || b == '}') --st.depth;
}

bool model_is_separator(const ArrayScan& st, std::uint8_t b) {
  return !st.in_string && st.depth == 1 && (b == ',' || b == ']');
}

void model_count(std::string_view text, CountState& st) {
  for (unsigned char b : text) {
    if (!st.scan.in_string && st.scan.depth == 1) {
      if (b == ',') {
        ++st.commas;
      } else if (b != ']' && b != '}' && !quarn::json::is_ascii_whitespace(b)) {
        st.has_content = true;
      }
    }
    model_step(st.scan, b);
  }
}

struct Cut {
  std::vector<std::string> elements;
  std::vector<ArrayScan> states;
  ArrayScan last;
};

// The record reader's use of find_element_end: resume after each separator,
// stepping out of the array at a closing bracket and scanning on.
Cut cut_elements(const KernelSet& k, std::string_view text, const std::vector<std::size_t>& cuts) {
  Cut out;
  ArrayScan st;
  std::string pending;
  for_pieces(text, cuts, [&](const std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      const std::size_t at = k.find_element_end(p, n, st);
      FUZZ_CHECK(at <= n);
      out.states.push_back(st);
      pending.append(reinterpret_cast<const char*>(p), at);
      if (at == n) return;
      FUZZ_CHECK(model_is_separator(st, p[at]));
      out.elements.push_back(pending);
      pending.clear();
      if (p[at] == ']') --st.depth;
      p += at + 1;
      n -= at + 1;
    }
  });
  out.elements.push_back(pending);
  out.last = st;
  return out;
}

Cut model_cut(std::string_view text) {
  Cut out;
  ArrayScan st;
  std::string pending;
  for (unsigned char b : text) {
    if (model_is_separator(st, b)) {
      out.elements.push_back(pending);
      pending.clear();
      if (b == ']') --st.depth;
      continue;
    }
    model_step(st, b);
    pending.push_back(static_cast<char>(b));
  }
  out.elements.push_back(pending);
  out.last = st;
  return out;
}

LineCount count_lines(const KernelSet& k, std::string_view text,
                      const std::vector<std::size_t>& cuts) {
  LineCount st;
  for_pieces(text, cuts, [&](const std::uint8_t* p, std::size_t n) { k.count_lines(p, n, st); });
  quarn::scan::finish_lines(st);
  return st;
}

// Non-blank lines of valid UTF-8 text, by the trimming the record reader uses.
std::uint64_t model_lines(std::string_view text) {
  std::uint64_t lines = 0;
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    if (!quarn::json::trim_unicode_whitespace(line).empty()) ++lines;
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const auto seed = static_cast<std::uint16_t>(data[0] | data[1] << 8);
  const std::string_view text(reinterpret_cast<const char*>(data) + 2, size - 2);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  const auto cuts = cuts_for(seed, text.size());

  // UTF-8: the repairing decoder changes exactly the texts the validator
  // refuses, and its output is always valid.
  const KernelSet& ref = quarn::scan::detail::kScalarKernels;
  const bool valid = ref.validate_utf8(bytes, text.size());
  const std::string repaired = quarn::json::decode_replacing(text);
  FUZZ_CHECK(valid == (repaired == text));
  FUZZ_CHECK(
      ref.validate_utf8(reinterpret_cast<const std::uint8_t*>(repaired.data()), repaired.size()));

  CountState model;
  model_count(text, model);
  const Cut model_elements = model_cut(text);
  const LineCount ref_lines = count_lines(ref, text, cuts);
  FUZZ_CHECK(ref_lines.invalid == !valid);
  if (valid) FUZZ_CHECK(ref_lines.lines == model_lines(text));

  for (const KernelSet* k : quarn::scan::detail::supported_kernel_sets()) {
    FUZZ_CHECK(k->validate_utf8(bytes, text.size()) == valid);

    CountState counted;
    for_pieces(text, cuts,
               [&](const std::uint8_t* p, std::size_t n) { k->count_array(p, n, counted); });
    FUZZ_CHECK(counted.commas == model.commas);
    FUZZ_CHECK(counted.has_content == model.has_content);
    FUZZ_CHECK(same(counted.scan, model.scan));

    const Cut cut = cut_elements(*k, text, cuts);
    FUZZ_CHECK(cut.elements == model_elements.elements);
    FUZZ_CHECK(same(cut.last, model_elements.last));
    if (k != &ref) {
      const Cut ref_cut = cut_elements(ref, text, cuts);
      FUZZ_CHECK(cut.states.size() == ref_cut.states.size());
      for (std::size_t i = 0; i < cut.states.size(); ++i) {
        FUZZ_CHECK(same(cut.states[i], ref_cut.states[i]));
      }
    }

    const LineCount lines = count_lines(*k, text, cuts);
    FUZZ_CHECK(lines.invalid == ref_lines.invalid);
    if (!lines.invalid) FUZZ_CHECK(lines.lines == ref_lines.lines);
  }
  return 0;
}
