// Byte scanners behind `count` and the record reader: they walk raw file bytes
// without parsing, keep their state across blocks of any length, and never read
// outside [p, p + n). The fastest kernel set the CPU supports is chosen once, on
// first use; every set gives exactly the results of the scalar one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn::scan {

// Scan state of the top-level array, carried across blocks. It applies to the
// bytes after the opening '['. The byte rules:
//  - inside a string: if escaped, clear escaped; else '"' ends the string and
//    '\\' sets escaped;
//  - outside: ASCII whitespace (space, \t, \n, \f, \r) does nothing; '"' enters a
//    string; '[' and '{' add 1 to depth, ']' and '}' subtract 1 (no lower
//    limit); every other byte, backslashes included, changes nothing.
struct ArrayScan {
  bool in_string = false;
  bool escaped = false;    // inside a string, the previous byte was an unescaped backslash
  std::int64_t depth = 1;  // 1 = directly inside the top-level array
};

// Counting adds: ',' at depth 1 outside strings increments `commas`; a value
// byte at depth 1 (an opening quote, '[' or '{' before its increment, or any
// byte that is not whitespace, ',', ']' or '}') sets `has_content`, which stays
// set.
struct CountState {
  ArrayScan scan;
  std::uint64_t commas = 0;
  bool has_content = false;
};

void count_array(const std::uint8_t* p, std::size_t n, CountState& st);

// Index of the first byte in [p, p + n) that is ',' or ']' at depth exactly 1
// outside a string; `st` is advanced over every byte before it (so it ends
// outside strings at depth 1), not over the separator, which the caller handles
// before resuming after it. Returns n, with `st` advanced over all n bytes, when
// there is none.
[[nodiscard]] std::size_t find_element_end(const std::uint8_t* p, std::size_t n, ArrayScan& st);

// Summary of a byte range of an array whose start state is assumed, for
// splitting one array across workers. `scan.depth` is relative (start at 0,
// or at any depth the caller takes as the range start's), `min_depth` is the
// lowest depth after any byte (the start depth included), and `commas` and
// `has_content` follow the counting rules above, with "depth 1" read as "the
// lowest depth so far": both restart from zero whenever a closing bracket
// lowers `min_depth`. Fed a range's bytes in order, in blocks of any length,
// it ends with the range's end state, net depth change and lowest depth. Once
// the true depth d0 at the range start is known (from the summaries of the
// ranges before it), the range's depth-1 commas are `commas` when d0 +
// min_depth == 1 and none when it is greater; below 1 the array closes inside
// the range, and only a count from the exact state tells.
struct RangeSummary {
  ArrayScan scan{false, false, 0};
  std::int64_t min_depth = 0;
  std::uint64_t commas = 0;
  bool has_content = false;
};

void summarize_array(const std::uint8_t* p, std::size_t n, RangeSummary& st);

// JSON Lines counting: the number of non-blank lines. A line ends at '\n' (the
// last one may lack it) and is blank when it holds only Unicode White_Space
// (U+0009..U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028,
// U+2029, U+202F, U+205F, U+3000). Every byte must be valid UTF-8 as a strict
// decoder judges it (no overlongs, surrogates, code points above U+10FFFF or
// truncated sequences); once `invalid` is set the count is meaningless and
// further blocks are ignored. Feed the blocks in file order, then call
// finish_lines once.
struct LineCount {
  std::uint64_t lines = 0;
  bool invalid = false;
  // Carried between blocks: whether the unterminated current line already holds
  // a non-blank character, and the last three bytes fed (oldest first, zeros
  // before the start), which pin down a multi-byte sequence cut by a block end.
  bool line_has_content = false;
  std::uint8_t tail[3] = {0, 0, 0};
};

void count_lines(const std::uint8_t* p, std::size_t n, LineCount& st);

// End of file: counts a last line without '\n' and flags a truncated sequence.
void finish_lines(LineCount& st);

// Whether [p, p + n) is entirely valid UTF-8 by the rules above.
[[nodiscard]] bool validate_utf8(const std::uint8_t* p, std::size_t n);
[[nodiscard]] inline bool validate_utf8(std::string_view text) {
  return validate_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Name of the kernel set in use ("avx512", "avx2", "neon" or "scalar"), for
// benchmarks.
[[nodiscard]] const char* kernel_name();

}  // namespace quarn::scan
