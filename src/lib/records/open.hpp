// Opening what a caller holds as a record source, all of it native: a path
// (str, bytes or a path object; a FIFO or device included), "-" for
// standard input, or a binary stream; compressed data recognised by its
// magic bytes (a pipe is read until there are enough of them) and
// decompressed below the record source; the format from the content, with
// the name (less a compression suffix) breaking ties; progress reported to
// a callback after each read.
#pragma once

#include <Python.h>

#include <optional>
#include <string_view>

#include "binding/ref.hpp"
#include "io/file.hpp"
#include "records/source.hpp"

namespace quarn::records {

// How the bytes are read: the `compressed` argument of the native
// functions, None or (compression, on_read). `compression` is "infer", one
// of the names, or None or "none" for none (anything else is a ValueError);
// `on_read(done, total, at_end)`, when not None, is called after every read
// with the bytes read so far (compressed bytes, for compressed data) against
// the size where it is known (else 0).
struct ReadOptions {
  std::optional<std::string_view> compression = "infer";
  PyObject* on_read = nullptr;  // borrowed from the call's arguments
};

[[nodiscard]] binding::Result<ReadOptions> parse_read_options(PyObject* given);

// A path as every native entry takes one: a str (a name that is not UTF-8
// comes with surrogate escapes), bytes, or a path object, as the bytes the
// system is handed. `bytes` is empty, with no error set, when `source` is
// none of these (a stream); `standard_input` is set for the str "-".
struct PathName {
  binding::Ref bytes;
  bool standard_input = false;
  [[nodiscard]] std::string_view view() const {
    return {PyBytes_AS_STRING(bytes.get()),
            static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get()))};
  }
};
[[nodiscard]] binding::Result<PathName> path_name(PyObject* source);

[[nodiscard]] binding::Result<RecordSource> open_record_source(PyObject* source,
                                                               const ReadOptions& options,
                                                               std::optional<InputFormat> format);

}  // namespace quarn::records
