// The parser once more, built with its portable string scan instead of the
// vector one. This file and a second copy of json/parser.cpp are compiled with
// -Dquarn=quarn_portable -DQUARN_PORTABLE_SCAN, so that both builds of the
// same header can live in one fuzz binary without clashing.
#include <cstddef>
#include <string>
#include <string_view>

#include "dump.hpp"
#include "json/parser.hpp"

// Parses `text`; on success fills `out` with the document's canonical form,
// on failure sets the error code and index.
bool portable_parse(std::string_view text, std::string& out, int& code, std::size_t& index) {
  auto parsed = quarn::json::parse_value(text);
  if (!parsed) {
    code = static_cast<int>(parsed.error.code);
    index = parsed.error.index;
    return false;
  }
  quarn_fuzz::dump(*parsed.value, out);
  return true;
}
