// Module entry: the init hooks, the static module definition and its exec
// step. The extension module itself only carries the feature areas.
#include <Python.h>

#include "api/api.hpp"
#include "api/testing/testing.hpp"
#include "binding/boundary.hpp"
#include "io/libraries.hpp"

namespace {

int module_exec(PyObject* module) noexcept {
  return quarn::binding::guarded(
      [&]() -> int {
        if (!PyModule_Check(module)) {
          quarn::binding::raise(quarn::binding::type_check_error(module, PyModule_Type.tp_name));
          return -1;
        }
        auto errors = quarn::binding::register_errors(module);
        if (!errors.ok()) {
          quarn::binding::raise(errors.error());
          return -1;
        }
        for (auto* register_area :
             {&quarn::api::bigjson::register_area, &quarn::api::toplevel::register_area,
              &quarn::api::split::register_area, &quarn::api::testing::register_area,
              &quarn::io::register_area}) {
          auto registered = register_area(module);
          if (!registered.ok()) {
            quarn::binding::raise(registered.error());
            return -1;
          }
        }
        return 0;
      },
      -1);
}

constexpr const char* kModuleDoc =
    "The native extension module. Compiled as `quarn.lib._quarn`.\n"
    "\n"
    "`lib` stays intentionally thin: it only delegates to the `api`\n"
    "module tree, where each feature area registers its own functions\n"
    "and submodules.";

#ifdef PyABIInfo_VAR
PyABIInfo_VAR(abi_info);
#endif

// The types behind the module's objects are static, shared by every
// interpreter of the process, so a second interpreter must not import it.

// The definition used by the classic init hook.
PyModuleDef_Slot definition_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef PyABIInfo_VAR
    {Py_mod_abi, &abi_info},
#endif
    {0, nullptr},
};

#ifdef PyMODEXPORT_FUNC
// The same module for the export hook, which also carries name and doc. Its
// slot type became PySlot (id, flags, value) before 3.15's release; the
// earlier 3.15 headers used PyModuleDef_Slot here too.
#ifdef PySlot_END
using ExportSlot = PySlot;
#define QUARN_EXPORT_SLOT(id, value) PySlot_PTR(id, value)
#define QUARN_EXPORT_END \
  {                      \
    0, 0, {0}, {         \
      nullptr            \
    }                    \
  }  // PySlot_END, every member named
#else
using ExportSlot = PyModuleDef_Slot;
#define QUARN_EXPORT_SLOT(id, value) \
  { id, value }
#define QUARN_EXPORT_END \
  { 0, nullptr }
#endif

ExportSlot export_slots[] = {
    QUARN_EXPORT_SLOT(Py_mod_abi, &abi_info),
    QUARN_EXPORT_SLOT(Py_mod_name, const_cast<char*>("_quarn")),
    QUARN_EXPORT_SLOT(Py_mod_doc, const_cast<char*>(kModuleDoc)),
    QUARN_EXPORT_SLOT(Py_mod_exec, reinterpret_cast<void*>(&module_exec)),
    QUARN_EXPORT_SLOT(Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED),
    QUARN_EXPORT_SLOT(Py_mod_gil, Py_MOD_GIL_NOT_USED),
    QUARN_EXPORT_END,
};
#endif

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_quarn", kModuleDoc, 0,       nullptr,
    definition_slots,      nullptr,  nullptr,    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__quarn() {
  return PyModuleDef_Init(&module_def);
}

#ifdef PyMODEXPORT_FUNC
PyMODEXPORT_FUNC PyModExport__quarn(void) {
  return export_slots;
}
#endif
