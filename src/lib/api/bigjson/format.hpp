// Choosing how a file is read: from the caller's format value, else from the
// file name's ending, else from the file's first significant byte.
#pragma once

#include <optional>
#include <string_view>

#include "api/bigjson/io.hpp"

namespace quarn::api::bigjson {

[[nodiscard]] Result<InputFormat> resolve_format(std::string_view path,
                                                 std::optional<std::string_view> format);

// The format value as an unknown-format message shows it: in double quotes,
// with backslash escapes for quotes, backslashes and invisible characters.
[[nodiscard]] std::string quoted(std::string_view text);

}  // namespace quarn::api::bigjson
