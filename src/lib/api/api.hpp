// The feature-area tree: each area is a submodule of the extension with its
// own register step.
#pragma once

#include <Python.h>

#include <atomic>

#include "binding/boundary.hpp"
#include "binding/ref.hpp"
#include "binding/result.hpp"

namespace quarn::api {

using binding::Ref;
using binding::Result;
using binding::Status;

// Creates the module `name`, stores it in sys.modules under "quarn.<name>"
// and attaches it to `parent` (attribute, and __all__ when `listed`: a
// private area that only the package uses is not). Returns a new reference.
// A failing step leaves the earlier ones done.
Result<Ref> new_submodule(PyObject* parent, const char* name, bool listed = true);

// Appends `name` to `module.__all__`, creating the list when missing.
Status add_to_all(PyObject* module, PyObject* name);

// Builds a builtin function bound to `module` from `def` and publishes it
// under its __name__ (attribute and __all__).
Status add_function(PyObject* module, PyMethodDef* def);

// Publishes `type` under `name` (attribute and __all__).
Status add_class(PyObject* module, const char* name, PyObject* type);

// The method definition of a boundary function.
template <const binding::FunctionSpec& Spec>
constexpr PyMethodDef method_def() {
  return {
      Spec.name,
      reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&binding::function_entry<Spec>)),
      METH_FASTCALL | METH_KEYWORDS, Spec.doc};
}

// The class `spec` describes, made on first use and kept in `slot` for the
// process's life (a borrowed reference); threads that race each make one and
// the first to store it wins.
Result<PyObject*> type_once(std::atomic<PyObject*>& slot, PyType_Spec& spec);

// The feature areas.
namespace bigjson {
Status register_area(PyObject* parent);
}
namespace toplevel {
Status register_area(PyObject* parent);
}
namespace split {
Status register_area(PyObject* parent);
}

}  // namespace quarn::api
