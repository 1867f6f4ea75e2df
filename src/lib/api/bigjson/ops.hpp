// The operations of the bigjson feature area, as the call boundary runs them.
#pragma once

#include <Python.h>

#include "binding/boundary.hpp"

namespace quarn::api::bigjson {

using binding::CallArgs;
using binding::Ref;

[[nodiscard]] binding::Result<Ref> count(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> schema(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> load(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> iter_records(const CallArgs& args);

// The RecordIterator type, built on first use and kept for the process's
// life (a borrowed reference).
[[nodiscard]] binding::Result<PyObject*> record_iterator_type();

}  // namespace quarn::api::bigjson
