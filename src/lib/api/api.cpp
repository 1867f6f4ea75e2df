#include <Python.h>

#include "api/api.hpp"

#include <string>

#include "binding/boundary.hpp"

namespace quarn::api {

using binding::Error;

Status add_to_all(PyObject* module, PyObject* name) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::python();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all) return Error::python();
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return Error::python();
  }
  if (!PyList_Check(all.get())) return binding::type_check_error(all.get(), "list");
  if (PyList_Append(all.get(), name) < 0) return Error::python();
  return binding::ok_status();
}

namespace {

Status publish(PyObject* module, PyObject* name, PyObject* obj) {
  auto added = add_to_all(module, name);
  if (!added.ok()) return added;
  if (PyObject_SetAttr(module, name, obj) < 0) return Error::python();
  return binding::ok_status();
}

}  // namespace

Result<Ref> new_submodule(PyObject* parent, const char* name, bool listed) {
  Ref module = Ref::steal(PyModule_New(name));
  if (!module) return Error::python();
  std::string key = std::string("quarn.") + name;
  Ref sys = Ref::steal(PyImport_ImportModule("sys"));
  if (!sys) return Error::python();
  Ref modules = Ref::steal(PyObject_GetAttrString(sys.get(), "modules"));
  if (!modules) return Error::python();
  if (PyObject_SetItem(modules.get(), Ref::steal(PyUnicode_FromString(key.c_str())).get(),
                       module.get()) < 0) {
    return Error::python();
  }
  // Attach under the last dotted component of the submodule's own name.
  Ref full = Ref::steal(PyObject_GetAttrString(module.get(), "__name__"));
  if (!full) return Error::python();
  if (!PyUnicode_Check(full.get())) return binding::type_check_error(full.get(), "str");
  Ref dot = Ref::steal(PyUnicode_FromString("."));
  if (!dot) return Error::python();
  Py_ssize_t len = PyUnicode_GetLength(full.get());
  Py_ssize_t at = PyUnicode_FindChar(full.get(), '.', 0, len, -1);
  if (at == -2) return Error::python();
  Ref last =
      at < 0 ? Ref::borrow(full.get()) : Ref::steal(PyUnicode_Substring(full.get(), at + 1, len));
  if (!last) return Error::python();
  if (!listed) {
    if (PyObject_SetAttr(parent, last.get(), module.get()) < 0) return Error::python();
    return module;
  }
  auto published = publish(parent, last.get(), module.get());
  if (!published.ok()) return std::move(published).error();
  return module;
}

Status add_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  if (!module_name) return Error::python();
  Ref fn = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!fn) return Error::python();
  Ref name = Ref::steal(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!name) return Error::python();
  if (!PyUnicode_Check(name.get())) return binding::type_check_error(name.get(), "str");
  return publish(module, name.get(), fn.get());
}

Status add_class(PyObject* module, const char* name, PyObject* type) {
  Ref key = Ref::steal(PyUnicode_FromString(name));
  if (!key) return Error::python();
  return publish(module, key.get(), type);
}

Result<PyObject*> type_once(std::atomic<PyObject*>& slot, PyType_Spec& spec) {
  PyObject* existing = slot.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* made = PyType_FromSpec(&spec);
  if (made == nullptr) return Error::python();
  if (!slot.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return existing;
  }
  return made;
}

}  // namespace quarn::api
