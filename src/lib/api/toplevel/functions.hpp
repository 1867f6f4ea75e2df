// The functions behind the package's top-level functions, as the call boundary runs them.
#pragma once

#include <Python.h>

#include "binding/boundary.hpp"

namespace quarn::api::toplevel {

using binding::CallArgs;
using binding::Ref;

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

}  // namespace quarn::api::toplevel
