// The libraries behind the decoders, as far as the interpreter is concerned:
// looking for zlib-ng's functions in the zlib-ng package, and telling the
// caller which library decodes what.
#pragma once

#include <Python.h>

#include "binding/result.hpp"
#include "io/decoder.hpp"

namespace quarn::io {

// What a decoder of `kind` needs from the interpreter before it is made:
// for gzip, the first call looks for zlib-ng in the zlib-ng package (where
// this build does not link it). An interrupt or an exit raised during that
// import is the caller's (a Python error), and the next call looks again;
// a package that is missing or fails to import is a fallback, said by
// build_info().
[[nodiscard]] binding::Status prepare(Kind kind);

// Adds build_info() to the extension module (not to its __all__).
[[nodiscard]] binding::Status register_area(PyObject* module);

}  // namespace quarn::io
