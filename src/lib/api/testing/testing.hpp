// A private area for the test suite: quarn.lib._quarn._testing. It reads no
// environment; only tests that import it change anything.
#pragma once

#include <Python.h>

#include "binding/result.hpp"

namespace quarn::api::testing {

// Attaches the `_testing` submodule to `parent` as a plain attribute (not in
// __all__, not in sys.modules).
binding::Status register_area(PyObject* parent);

}  // namespace quarn::api::testing
