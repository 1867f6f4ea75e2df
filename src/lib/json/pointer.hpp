// JSON Pointers (RFC 6901): the reference tokens of a pointer text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quarn::json {

struct PointerToken {
  std::string name;  // decoded: "~1" is "/", "~0" is "~"
  std::size_t end;   // where the token ends in the pointer text
};

// The tokens of `pointer` ("" has none; any other pointer starts with "/"),
// or false when a "~" is followed by anything but 0 or 1 (`tokens` then
// holds those before it).
[[nodiscard]] bool pointer_tokens(std::string_view pointer, std::vector<PointerToken>& tokens);

// Appends "/" and `name` as a reference token ("~" as "~0", "/" as "~1").
void append_pointer_token(std::string_view name, std::string& out);

}  // namespace quarn::json
