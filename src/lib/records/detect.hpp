// Detection of the format by what the data holds rather than by its name:
// one JSON value is JSON, several values on separate lines are JSON Lines.
//
// The bytes looked at are read ahead into a buffer of their own and handed
// out again by a LookAheadSource (io/lookahead.hpp), so that a pipe loses
// nothing and the record source above needs no change.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "io/file.hpp"
#include "io/lookahead.hpp"
#include "records/source.hpp"

namespace quarn::records {

using io::LookAheadSource;

// Decides the format of what `source` holds, reading ahead at most
// kDetectLimit bytes (all of them stay in the source):
// - a first value that spans lines cannot be a JSON Lines record: JSON;
// - another value on a later line after the first: JSON Lines;
// - a value on the same line after it: JSON (the parser reports the rest);
// - one value on one line and nothing after it, no value at all, or a first
//   value longer than the limit: the content cannot tell, so `by_name`
//   decides; without it, JSON for a value and JSON Lines for nothing (an
//   empty file counts 0 either way and loads as []).
[[nodiscard]] Result<InputFormat> detect_content(LookAheadSource& source,
                                                 std::optional<InputFormat> by_name);

// Opens the bytes of `ahead` (those it has read ahead, then the rest) as a
// record source in `format`, or, without one, in the format its content
// shows (`by_name` breaking ties as above).
[[nodiscard]] Result<RecordSource> open_by_content(std::unique_ptr<LookAheadSource> ahead,
                                                   std::optional<InputFormat> format,
                                                   std::optional<InputFormat> by_name);

}  // namespace quarn::records
