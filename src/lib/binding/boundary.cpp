#include <Python.h>

#include "binding/boundary.hpp"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

namespace quarn::binding {
namespace {

const char* param_name(Param p) {
  switch (p) {
    case Param::Path:
      return "path";
    case Param::Sample:
      return "sample";
    case Param::Format:
      return "format";
    case Param::Source:
      return "source";
    case Param::Records:
      return "records";
    case Param::Compressed:
      return "compressed";
    case Param::Fields:
      return "fields";
  }
  return "?";
}

// Takes the current exception out of the interpreter, normalised.
PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

// Gives the exception back to the interpreter (steals the reference).
void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (exc == nullptr) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

void set_type_error(const std::string& text) {
  PyErr_SetString(PyExc_TypeError, text.c_str());
}

// Binding failures, in the interpreter's own wording.
void too_many_positional(const FunctionSpec& spec, Py_ssize_t given) {
  std::string text = std::string(spec.name) + "()";
  if (spec.param_count != 1) {
    text += " takes from 1 to " + std::to_string(spec.param_count);
  } else {
    text += " takes 1";
  }
  text += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
          " given";
  set_type_error(text);
}

Result<CallArgs> convert(const FunctionSpec& spec, PyObject* const slots[kMaxParams]);

bool bind(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject* slots[kMaxParams]) {
  if (nargs > spec.param_count) {
    too_many_positional(spec, nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
  if (kwnames != nullptr) {
    Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t len = 0;
      const char* name = PyUnicode_AsUTF8AndSize(key, &len);
      if (name == nullptr) return false;
      std::string_view kw(name, static_cast<std::size_t>(len));
      int index = -1;
      for (int p = 0; p < spec.param_count; ++p) {
        if (kw == param_name(spec.params[p])) index = p;
      }
      if (index < 0) {
        set_type_error(std::string(spec.name) + "() got an unexpected keyword argument '" +
                       std::string(kw) + "'");
        return false;
      }
      if (slots[index] != nullptr) {
        set_type_error(std::string(spec.name) + "() got multiple values for argument '" +
                       std::string(kw) + "'");
        return false;
      }
      slots[index] = args[nargs + k];
    }
  }
  if (slots[0] == nullptr) {
    set_type_error(std::string(spec.name) + "() missing 1 required positional argument: '" +
                   param_name(spec.params[0]) + "'");
    return false;
  }
  return true;
}

Result<std::string_view> text_argument(PyObject* obj) {
  if (!PyUnicode_Check(obj)) return type_check_error(obj, "str");
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &len);
  if (text == nullptr) return Error::python();
  return std::string_view(text, static_cast<std::size_t>(len));
}

Result<std::uint64_t> count_argument(PyObject* obj) {
  Ref index = Ref::steal(PyNumber_Index(obj));
  if (!index) return Error::python();
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::python();
  return static_cast<std::uint64_t>(v);
}

Result<CallArgs> convert(const FunctionSpec& spec, PyObject* const slots[kMaxParams]) {
  CallArgs out;
  for (int p = 0; p < spec.param_count; ++p) {
    PyObject* obj = slots[p];
    Param which = spec.params[p];
    if (obj == nullptr) continue;  // omitted: keep the default
    Status status = ok_status();
    switch (which) {
      case Param::Path: {
        auto r = text_argument(obj);
        if (r.ok()) {
          out.path = r.value();
        } else {
          status = std::move(r).error();
        }
        break;
      }
      case Param::Format: {
        if (obj == Py_None) break;
        auto r = text_argument(obj);
        if (r.ok()) {
          out.format = r.value();
        } else {
          status = std::move(r).error();
        }
        break;
      }
      case Param::Source:
        out.source = obj;
        break;
      case Param::Compressed:
        if (obj != Py_None) out.compressed = obj;
        break;
      case Param::Fields:
        if (obj != Py_None) out.fields = obj;
        break;
      case Param::Records: {
        if (obj == Py_None) break;
        auto r = text_argument(obj);
        if (r.ok()) {
          out.records = r.value();
        } else {
          status = std::move(r).error();
        }
        break;
      }
      case Param::Sample: {
        auto r = count_argument(obj);
        if (r.ok()) {
          out.sample = r.value();
        } else {
          status = std::move(r).error();
        }
        break;
      }
    }
    if (!status.ok()) {
      raise(status.error());
      add_processing_note(param_name(which));
      return Error::python();
    }
  }
  return out;
}

std::atomic<PyObject*> panic_type{nullptr};

PyObject* get_panic_type() {
  PyObject* existing = panic_type.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* made = PyErr_NewExceptionWithDoc(
      "quarn.PanicException",
      "Raised when native code called from Python fails unrecoverably.\n\n"
      "Like SystemExit, it derives from BaseException rather than Exception, so that it "
      "typically propagates all the way up and ends the interpreter.",
      PyExc_BaseException, nullptr);
  if (made == nullptr) return nullptr;
  // First writer wins; a concurrent loser drops its copy. The winner is never
  // freed.
  if (!panic_type.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return existing;
  }
  return made;
}

// The OSError subclasses the interpreter maps errnos to, and OSError itself
// first: each pairs with ValueError and RuntimeError in a class built on
// first use and kept for the process's life.
constexpr int kOsClasses = 16;

PyObject* os_class_at(int i) {
  PyObject* const classes[kOsClasses] = {
      PyExc_OSError,
      PyExc_BlockingIOError,
      PyExc_ChildProcessError,
      PyExc_ConnectionError,
      PyExc_BrokenPipeError,
      PyExc_ConnectionAbortedError,
      PyExc_ConnectionRefusedError,
      PyExc_ConnectionResetError,
      PyExc_FileExistsError,
      PyExc_FileNotFoundError,
      PyExc_InterruptedError,
      PyExc_IsADirectoryError,
      PyExc_NotADirectoryError,
      PyExc_PermissionError,
      PyExc_ProcessLookupError,
      PyExc_TimeoutError,
  };
  return classes[i];
}

std::atomic<PyObject*> os_error_types[2][kOsClasses] = {};

// The subclass `OSError(err, ...)` would be: the interpreter's own mapping,
// asked once per errno (stored as index + 1; 0 is not yet known).
constexpr int kErrnos = 256;
std::atomic<int> os_class_of_errno[kErrnos] = {};

int os_class_index_uncached(int err);

int os_class_index(int err) {
  if (err <= 0 || err >= kErrnos) return os_class_index_uncached(err);
  int known = os_class_of_errno[err].load(std::memory_order_relaxed);
  if (known > 0) return known - 1;
  int found = os_class_index_uncached(err);
  os_class_of_errno[err].store(found + 1, std::memory_order_relaxed);
  return found;
}

int os_class_index_uncached(int err) {
  Ref probe = Ref::steal(PyObject_CallFunction(PyExc_OSError, "is", err, ""));
  if (!probe) {
    PyErr_Clear();
    return 0;
  }
  for (int i = 0; i < kOsClasses; ++i) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(probe.get())) == os_class_at(i)) return i;
  }
  return 0;
}

// The class for `kind` and the errno's OSError subclass, named as that
// subclass in the module quarn. Its str() is the text given, as the kind's
// own would be, not OSError's "[Errno N] ...".
PyObject* os_error_type(ErrorKind kind, int err) {
  const int k = kind == ErrorKind::ValueError ? 0 : 1;
  const int i = os_class_index(err);
  std::atomic<PyObject*>& slot = os_error_types[k][i];
  PyObject* existing = slot.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* os_class = os_class_at(i);
  const char* os_name = reinterpret_cast<PyTypeObject*>(os_class)->tp_name;
  // Fixed buffers: raise() is noexcept, so nothing here may allocate with new.
  char name[96];
  char doc[160];
  std::snprintf(name, sizeof name, "quarn.%s", os_name);
  std::snprintf(doc, sizeof doc, "A %s that the operating system caused: also a %s.",
                k == 0 ? "ValueError" : "RuntimeError", os_name);
  Ref bases = Ref::steal(PyTuple_Pack(2, k == 0 ? PyExc_ValueError : PyExc_RuntimeError, os_class));
  Ref dict = Ref::steal(PyDict_New());
  if (!bases || !dict) return nullptr;
  // Asked of the class, not read from its tp_dict: from 3.12 on a built-in
  // class keeps its dict elsewhere and tp_dict is NULL.
  Ref str = Ref::steal(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
  if (!str || PyDict_SetItemString(dict.get(), "__str__", str.get()) < 0) return nullptr;
  PyObject* made = PyErr_NewExceptionWithDoc(name, doc, bases.get(), dict.get());
  if (made == nullptr) return nullptr;
  // First writer wins; a concurrent loser drops its copy.
  if (!slot.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return existing;
  }
  return made;
}

// Raises `error` (with os_errno set) as its OSError-derived class.
void raise_os_error(const Error& error, PyObject* text) {
  PyObject* type = os_error_type(error.kind, error.os_errno);
  if (type == nullptr) return;
  Ref exc = Ref::steal(PyObject_CallOneArg(type, text));
  if (!exc) return;
  char buf[256];
  const char* reason = strerror_r(error.os_errno, buf, sizeof buf);
  Ref err = Ref::steal(PyLong_FromLong(error.os_errno));
  Ref strerror = Ref::steal(PyUnicode_DecodeLocale(reason, "surrogateescape"));
  Ref filename = Ref::steal(PyUnicode_DecodeFSDefaultAndSize(
      error.filename.data(), static_cast<Py_ssize_t>(error.filename.size())));
  if (!err || !strerror || !filename) return;
  if (PyObject_SetAttrString(exc.get(), "errno", err.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "strerror", strerror.get()) < 0 ||
      PyObject_SetAttrString(exc.get(), "filename", filename.get()) < 0) {
    return;
  }
  PyErr_SetObject(type, exc.get());
}

}  // namespace

Error type_check_error(PyObject* obj, const char* expected) noexcept {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return Error::python();
  }
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!qualname) return Error::python();
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", qualname.get(), expected);
  return Error::python();
}

void add_processing_note(const char* param) noexcept {
  PyObject* exc = fetch_exception();
  if (exc == nullptr) return;
  // Built by the interpreter: nothing here may throw.
  Ref note = Ref::steal(PyUnicode_FromFormat("while processing '%s'", param));
  PyObject* r = note ? PyObject_CallMethod(exc, "add_note", "O", note.get()) : nullptr;
  if (r == nullptr) {
    PyErr_Clear();
  } else {
    Py_DECREF(r);
  }
  restore_exception(exc);
}

void raise(const Error& error) noexcept {
  PyObject* type = nullptr;
  switch (error.kind) {
    case ErrorKind::Python:
      if (!PyErr_Occurred()) raise_panic("an operation failed without an exception");
      return;
    case ErrorKind::ValueError:
      type = PyExc_ValueError;
      break;
    case ErrorKind::RuntimeError:
      type = PyExc_RuntimeError;
      break;
  }
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(
      error.text.data(), static_cast<Py_ssize_t>(error.text.size()), "replace"));
  if (!text) return;
  if (error.os_errno != 0) {
    raise_os_error(error, text.get());
    return;
  }
  PyErr_SetObject(type, text.get());
}

void raise_panic(const char* message) noexcept {
  PyObject* type = get_panic_type();
  if (type == nullptr) return;  // the failure to build it is the exception
  PyErr_SetString(
      type, message != nullptr && *message != '\0' ? message : "native code failed unrecoverably");
}

PyObject* call_function(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  return guarded(
      [&]() -> PyObject* {
        PyObject* slots[kMaxParams] = {};
        if (!bind(spec, args, PyVectorcall_NARGS(nargs), kwnames, slots)) return nullptr;
        auto converted = convert(spec, slots);
        if (!converted.ok()) return nullptr;
        auto result = spec.op(converted.value());
        if (!result.ok()) {
          raise(result.error());
          return nullptr;
        }
        return std::move(result).value().release();
      },
      static_cast<PyObject*>(nullptr));
}

}  // namespace quarn::binding
