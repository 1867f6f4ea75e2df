// The operations of the sources feature area, as the call boundary runs them.
#pragma once

#include <Python.h>

#include "binding/boundary.hpp"

namespace quarn::api::sources {

using binding::CallArgs;
using binding::Ref;

[[nodiscard]] binding::Result<Ref> count(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> schema(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> load(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> iter_records(const CallArgs& args);

}  // namespace quarn::api::sources
