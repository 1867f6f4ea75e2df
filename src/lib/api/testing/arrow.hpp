// The testing hook of the Arrow column builder.
#pragma once

#include <Python.h>

#include "binding/result.hpp"

namespace quarn::api::testing {

// Adds arrow_batch to the `_testing` module.
binding::Status register_arrow(PyObject* module);

}  // namespace quarn::api::testing
