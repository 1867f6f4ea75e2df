// The functions behind the package's top-level functions, as the call boundary runs them.
#pragma once

#include <Python.h>

#include <memory>

#include "api/operations/reader.hpp"
#include "binding/boundary.hpp"
#include "records/source.hpp"

namespace quarn::api::toplevel {

using binding::CallArgs;
using binding::Ref;

// Opens the caller's source (a path, "-" or a binary stream) in the format
// it names or, without one, the format its content shows, positioned at the
// records `records` names.
[[nodiscard]] binding::Result<records::RecordSource> open_source(const CallArgs& args);

// What makes each record: the whole of it, or the parts `fields` names.
[[nodiscard]] binding::Result<std::shared_ptr<const operations::RecordParser>> record_parser(
    const CallArgs& args);

[[nodiscard]] binding::Result<Ref> count(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> schema(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> load(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> iter_records(const CallArgs& args);

// (schema, arrays) of one JSON document: see the function's docstring.
[[nodiscard]] binding::Result<Ref> outline(const CallArgs& args);

// The records of a list as JSON Lines bytes, each as json.dumps(record,
// ensure_ascii=False, separators=(",", ":")) writes it; None where a record
// holds something only json.dumps itself writes right (a subclass, a key
// that is not a str, ...).
[[nodiscard]] binding::Result<Ref> dump_lines(const CallArgs& args);

// The records of `source` as JSON Lines: an iterator of bytes chunks, each
// record's own bytes without the whitespace outside its strings.
[[nodiscard]] binding::Result<Ref> json_lines(const CallArgs& args);

// The records of `source` as Arrow record batches: see read_arrow's docstring.
[[nodiscard]] binding::Result<Ref> read_arrow(const CallArgs& args);

}  // namespace quarn::api::toplevel
