// Text helpers around the parser: Unicode White_Space trimming, lossy UTF-8
// repair, and strings quoted as Python's json.dumps quotes them.
#pragma once

#include <string>
#include <string_view>

namespace quarn::json {

// Removes characters with the Unicode White_Space property from both ends.
// Only complete, well-formed whitespace sequences are removed, so bytes of an
// invalid sequence always stay in the result.
[[nodiscard]] std::string_view trim_unicode_whitespace(std::string_view text);

// Decodes `bytes` as UTF-8, replacing every maximal invalid subsequence with
// U+FFFD, as Python's "replace" error handler does.
[[nodiscard]] std::string decode_replacing(std::string_view bytes);

// Appends `s` (UTF-8) quoted as json.dumps(s, ensure_ascii=False) writes it:
// '"' and '\\' escaped, the control characters as \n, \t, ... or \u00XX, every
// other byte as it is.
void append_quoted(std::string_view s, std::string& out);

// The parser's whitespace: space, tab, line feed, carriage return.
[[nodiscard]] inline bool is_json_whitespace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Space, tab, line feed, form feed, carriage return (not vertical tab).
[[nodiscard]] inline bool is_ascii_whitespace(unsigned char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

}  // namespace quarn::json
