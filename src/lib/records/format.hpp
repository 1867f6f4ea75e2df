// Choosing how a file is read: from the caller's format value, else from the
// file name's ending, else from the file's first significant byte.
#pragma once

#include <optional>
#include <string_view>

#include "io/file.hpp"
#include "records/source.hpp"

namespace quarn::records {

// The format the caller named: nothing for detection (None, "" or "auto").
[[nodiscard]] Result<std::optional<InputFormat>> parse_format(
    std::optional<std::string_view> format);

// The format a file name implies: ".jsonl" and ".ndjson" are JSON Lines,
// ".json" is JSON (in any letter case); nothing for any other name.
[[nodiscard]] std::optional<InputFormat> format_from_name(std::string_view path);

// The format of `source` from its first significant byte: '[' is JSON,
// anything else (or nothing at all) JSON Lines. The source loses no byte to
// the look. A failed read: "cannot read <path>: ..." (ValueError).
[[nodiscard]] Result<InputFormat> detect_format(RecordSource& source, std::string_view path);

// Resolves the format of `path` (the caller's value, else the name, else
// the content) and opens it once as a source in that format.
[[nodiscard]] Result<RecordSource> open_records(std::string_view path,
                                                std::optional<std::string_view> format);

// The format value as an unknown-format message shows it: in double quotes,
// with backslash escapes for quotes, backslashes and invisible characters.
[[nodiscard]] std::string quoted(std::string_view text);

}  // namespace quarn::records
