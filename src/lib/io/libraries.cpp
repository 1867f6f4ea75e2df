#include "io/libraries.hpp"

#include <string>

#include "binding/boundary.hpp"
#include "binding/ref.hpp"

namespace quarn::io {
namespace {

using binding::Error;
using binding::Ref;

constexpr const char* kPackageModule = "zlib_ng.zlib_ng";

PyObject* build_info(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return binding::guarded(
      []() -> PyObject* {
        // Say what the next gzip source would be read with: look first.
        auto ready = prepare(Kind::Gzip);
        if (!ready.ok()) {
          binding::raise(ready.error());
          return nullptr;
        }
        Ref info = Ref::steal(PyDict_New());
        if (!info) return nullptr;
        for (Kind k : {Kind::Gzip, Kind::Bz2, Kind::Xz, Kind::Zstd}) {
          const std::string text = library_of(k);
          Ref value = Ref::steal(PyUnicode_FromStringAndSize(text.data(), text.size()));
          if (!value || PyDict_SetItemString(info.get(), name_of(k).data(), value.get()) < 0)
            return nullptr;
        }
        return info.release();
      },
      static_cast<PyObject*>(nullptr));
}

PyMethodDef kMethods[] = {
    {"build_info", build_info, METH_NOARGS,
     "build_info()\n--\n\nWhich library decodes each compression in this process ('gzip', "
     "'bz2', 'xz', 'zstd'): its name, version and how it is bound, or why a faster one is "
     "not used."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::Status prepare(Kind kind) {
  if (kind != Kind::Gzip || !zlib_ng_awaited()) return binding::ok_status();
  // Importing twice (two threads at once) is harmless; offer_zlib_ng takes
  // the first answer.
  Ref module = Ref::steal(PyImport_ImportModule(kPackageModule));
  Ref file = module ? Ref::steal(PyObject_GetAttrString(module.get(), "__file__")) : Ref();
  Ref encoded = file ? Ref::steal(PyUnicode_EncodeFSDefault(file.get())) : Ref();
  if (!encoded) {
    // KeyboardInterrupt, SystemExit: not ours to swallow.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) return Error::python();
    const bool missing = PyErr_ExceptionMatches(PyExc_ModuleNotFoundError);
    PyErr_Clear();
    offer_zlib_ng(nullptr, missing ? "the zlib_ng package is not installed"
                                   : "the zlib_ng package failed to import");
    return binding::ok_status();
  }
  offer_zlib_ng(PyBytes_AS_STRING(encoded.get()), "the zlib_ng package");
  return binding::ok_status();
}

binding::Status register_area(PyObject* module) {
  if (PyModule_AddFunctions(module, kMethods) < 0) return Error::python();
  return binding::ok_status();
}

}  // namespace quarn::io
