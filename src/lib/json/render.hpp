// Indented JSON text of a document, as returned to Python by schema().
//
// The layout is fixed byte for byte: two blanks per level, one member or
// element per line, ", " never at a line start, ": " after keys, "[]" and
// "{}" for empty containers, no trailing line feed. Keys come out in the
// Map's byte order. Doubles use their shortest round-trip digits, always with
// a fraction or an exponent so they never read back as integers.
#pragma once

#include <string>

#include "json/value.hpp"

namespace quarn::json {

// Appends the indented text of v to out. Cannot fail other than by running
// out of memory.
void serialize_pretty(const Value& v, std::string& out);

[[nodiscard]] std::string to_pretty_string(const Value& v);

}  // namespace quarn::json
