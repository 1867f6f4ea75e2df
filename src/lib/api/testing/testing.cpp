// set_kernels(name) switches the byte scanners to another kernel set, so the
// Python tests can run every set this CPU supports, not only the fastest;
// fail_blocks(every) interrupts decompressed reads; refuse_threads(refused)
// stands in for a process that can start no thread; hide_zstd(hidden) for a
// machine without libzstd.
#include <Python.h>

#include "api/testing/testing.hpp"

#include <string>

#include "api/testing/arrow.hpp"
#include "binding/boundary.hpp"
#include "binding/ref.hpp"
#include "io/test_hooks.hpp"
#include "scan/kernels.hpp"
#include "scan/scan.hpp"

namespace quarn::api::testing {
namespace {

using binding::Error;
using binding::Ref;

PyObject* kernels(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
  return binding::guarded(
      []() -> PyObject* {
        Ref names = Ref::steal(PyList_New(0));
        if (!names) return nullptr;
        for (const auto* k : scan::detail::supported_kernel_sets()) {
          Ref name = Ref::steal(PyUnicode_FromString(k->name));
          if (!name || PyList_Append(names.get(), name.get()) < 0) return nullptr;
        }
        return names.release();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* set_kernels(PyObject* /*module*/, PyObject* arg) noexcept {
  return binding::guarded(
      [arg]() -> PyObject* {
        if (!PyUnicode_Check(arg)) {
          binding::raise(binding::type_check_error(arg, "str"));
          return nullptr;
        }
        const char* name = PyUnicode_AsUTF8(arg);
        if (name == nullptr) return nullptr;
        const auto* previous = scan::detail::select_kernels(name);
        if (previous == nullptr) {
          binding::raise(
              Error::value(std::string("kernel set '") + name + "' is not supported on this CPU"));
          return nullptr;
        }
        return PyUnicode_FromString(previous->name);
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* fail_blocks(PyObject* /*module*/, PyObject* arg) noexcept {
  unsigned long every = PyLong_AsUnsignedLong(arg);
  if (every == static_cast<unsigned long>(-1) && PyErr_Occurred()) return nullptr;
  if (every > 0xFFFFFFFFul) {
    PyErr_SetString(PyExc_OverflowError, "every is too large");
    return nullptr;
  }
  io::fail_blocks(static_cast<unsigned>(every));
  Py_RETURN_NONE;
}

PyObject* refuse_threads(PyObject* /*module*/, PyObject* arg) noexcept {
  int refused = PyObject_IsTrue(arg);
  if (refused < 0) return nullptr;
  io::refuse_threads(refused != 0);
  Py_RETURN_NONE;
}

PyObject* hide_zstd(PyObject* /*module*/, PyObject* arg) noexcept {
  int hidden = PyObject_IsTrue(arg);
  if (hidden < 0) return nullptr;
  io::set_zstd_hidden(hidden != 0);
  Py_RETURN_NONE;
}

PyObject* hide_zlib_ng(PyObject* /*module*/, PyObject* arg) noexcept {
  int hidden = PyObject_IsTrue(arg);
  if (hidden < 0) return nullptr;
  io::set_zlib_ng_hidden(hidden != 0);
  Py_RETURN_NONE;
}

PyMethodDef kMethods[] = {
    {"hide_zlib_ng", hide_zlib_ng, METH_O,
     "hide_zlib_ng(hidden)\n--\n\nWhile true, inflate gzip data with the system's zlib even "
     "where zlib-ng's is loaded."},
    {"fail_blocks", fail_blocks, METH_O,
     "fail_blocks(every)\n--\n\nFrom now on every `every`-th block a decompressing source hands "
     "over is preceded by a KeyboardInterrupt raised where the read would have returned it; 0 "
     "turns it off."},
    {"refuse_threads", refuse_threads, METH_O,
     "refuse_threads(refused)\n--\n\nWhile true, no decoding thread can be started, as in a "
     "process at its limit of threads."},
    {"hide_zstd", hide_zstd, METH_O,
     "hide_zstd(hidden)\n--\n\nWhile true, act as if libzstd could not be loaded."},
    {"kernels", kernels, METH_NOARGS,
     "kernels()\n--\n\nNames of the kernel sets this CPU supports, the scalar one first."},
    {"set_kernels", set_kernels, METH_O,
     "set_kernels(name)\n--\n\nMake the scanners use kernel set `name`; returns the previous "
     "one's name."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

binding::Status register_area(PyObject* parent) {
  Ref module = Ref::steal(PyModule_New("_testing"));
  if (!module) return Error::python();
  if (PyModule_AddFunctions(module.get(), kMethods) < 0) return Error::python();
  if (auto arrow = register_arrow(module.get()); !arrow.ok()) return arrow;
  if (PyObject_SetAttrString(parent, "_testing", module.get()) < 0) return Error::python();
  return binding::ok_status();
}

}  // namespace quarn::api::testing
