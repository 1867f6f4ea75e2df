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
    case Param::Table:
      return "table";
  }
  return "?";
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
      case Param::Table:
        if (obj != Py_None) out.table = obj;
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

// The classes below are made at run time and found by no import, so pickle
// cannot name them: their instances pickle as a call of the module function
// _rebuild_error, which finds the same class in the process that unpickles
// (making it there if need be). The function, once registered, is kept for
// the process's life, as the classes are.
std::atomic<PyObject*> rebuild_function{nullptr};

PyObject* reduce_error(PyObject* self, PyObject* /*unused*/) noexcept;

PyMethodDef kReduceDef = {"__reduce__", reduce_error, METH_NOARGS,
                          "Pickles the exception as a call that rebuilds it in its own class."};

// A new dict holding the __reduce__ shared by every class made here.
Ref class_dict() {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  Ref reduce = Ref::steal(
      PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(PyExc_BaseException), &kReduceDef));
  if (!reduce || PyDict_SetItemString(dict.get(), "__reduce__", reduce.get()) < 0) return Ref();
  return dict;
}

std::atomic<PyObject*> panic_type{nullptr};

PyObject* get_panic_type() {
  PyObject* existing = panic_type.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  Ref dict = class_dict();
  if (!dict) return nullptr;
  PyObject* made = PyErr_NewExceptionWithDoc(
      "quarn.PanicException",
      "Raised when native code called from Python fails unrecoverably.\n\n"
      "Like SystemExit, it derives from BaseException rather than Exception, so that it "
      "typically propagates all the way up and ends the interpreter.",
      PyExc_BaseException, dict.get());
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
PyObject* os_error_type_at(int k, int i) {
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
  Ref dict = class_dict();
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

PyObject* os_error_type(ErrorKind kind, int err) {
  return os_error_type_at(kind == ErrorKind::ValueError ? 0 : 1, os_class_index(err));
}

// The names an instance of a class made here is rebuilt by: the kind
// ("ValueError", "RuntimeError" or "PanicException") and, for the OS errors,
// the OSError subclass's name. False for any other class (a subclass of ours
// among them).
bool class_names(PyObject* type, const char** kind, const char** os_name) {
  if (type == panic_type.load(std::memory_order_acquire)) {
    *kind = "PanicException";
    *os_name = nullptr;
    return true;
  }
  for (int k = 0; k < 2; ++k) {
    for (int i = 0; i < kOsClasses; ++i) {
      if (os_error_types[k][i].load(std::memory_order_acquire) != type) continue;
      *kind = k == 0 ? "ValueError" : "RuntimeError";
      *os_name = reinterpret_cast<PyTypeObject*>(os_class_at(i))->tp_name;
      return true;
    }
  }
  return false;
}

// An attribute of `obj`, or None when it has none.
Ref attribute_or_none(PyObject* obj, const char* name) {
  Ref value = Ref::steal(PyObject_GetAttrString(obj, name));
  if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
    PyErr_Clear();
    return Ref::borrow(Py_None);
  }
  return value;
}

// (_rebuild_error, (kind, os name, args, errno, strerror, filename), state):
// the class by its names, the arguments it was made with, the attributes
// OSError keeps outside the instance dict, and the dict (notes among it).
PyObject* reduce_error(PyObject* self, PyObject* /*unused*/) noexcept {
  return guarded(
      [self]() -> PyObject* {
        const char* kind = nullptr;
        const char* os_name = nullptr;
        PyObject* rebuild = rebuild_function.load(std::memory_order_acquire);
        if (rebuild == nullptr ||
            !class_names(reinterpret_cast<PyObject*>(Py_TYPE(self)), &kind, &os_name)) {
          // Someone else's class: pickled as BaseException pickles it.
          return PyObject_CallMethod(PyExc_BaseException, "__reduce__", "O", self);
        }
        Ref args = Ref::steal(PyObject_GetAttrString(self, "args"));
        if (!args) return nullptr;
        Ref err = Ref::borrow(Py_None);
        Ref strerror = Ref::borrow(Py_None);
        Ref filename = Ref::borrow(Py_None);
        if (os_name != nullptr) {
          err = attribute_or_none(self, "errno");
          strerror = attribute_or_none(self, "strerror");
          filename = attribute_or_none(self, "filename");
          if (!err || !strerror || !filename) return nullptr;
        }
        Ref state = attribute_or_none(self, "__dict__");
        if (!state) return nullptr;
        Ref os_text =
            os_name != nullptr ? Ref::steal(PyUnicode_FromString(os_name)) : Ref::borrow(Py_None);
        if (!os_text) return nullptr;
        return Py_BuildValue("O(sOOOOO)O", rebuild, kind, os_text.get(), args.get(), err.get(),
                             strerror.get(), filename.get(), state.get());
      },
      static_cast<PyObject*>(nullptr));
}

// _rebuild_error(kind, os_name, args, errno, strerror, filename): an
// instance of the class reduce_error named, made as the boundary makes it.
PyObject* rebuild_error(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) noexcept {
  return guarded(
      [args, nargs]() -> PyObject* {
        if (nargs != 6) {
          PyErr_Format(PyExc_TypeError, "_rebuild_error() takes 6 arguments (%zd given)", nargs);
          return nullptr;
        }
        auto kind = text_argument(args[0]);
        if (!kind.ok()) return nullptr;
        if (!PyTuple_Check(args[2])) {
          raise(type_check_error(args[2], "tuple"));
          return nullptr;
        }
        PyObject* type = nullptr;
        const bool panic = kind.value() == "PanicException";
        if (panic) {
          type = get_panic_type();
        } else {
          const int k = kind.value() == "ValueError" ? 0 : kind.value() == "RuntimeError" ? 1 : -1;
          auto os_name = text_argument(args[1]);
          if (!os_name.ok()) return nullptr;
          int i = 0;
          while (i < kOsClasses &&
                 os_name.value() != reinterpret_cast<PyTypeObject*>(os_class_at(i))->tp_name) {
            ++i;
          }
          if (k < 0 || i == kOsClasses) {
            PyErr_Format(PyExc_ValueError, "no quarn exception class is named %R, %R", args[0],
                         args[1]);
            return nullptr;
          }
          type = os_error_type_at(k, i);
        }
        if (type == nullptr) return nullptr;
        Ref exc = Ref::steal(PyObject_Call(type, args[2], nullptr));
        if (!exc) return nullptr;
        if (!panic) {
          const char* names[] = {"errno", "strerror", "filename"};
          for (int a = 0; a < 3; ++a) {
            if (args[3 + a] == Py_None) continue;
            if (PyObject_SetAttrString(exc.get(), names[a], args[3 + a]) < 0) return nullptr;
          }
        }
        return exc.release();
      },
      static_cast<PyObject*>(nullptr));
}

PyMethodDef kErrorFunctions[] = {
    {"_rebuild_error", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(rebuild_error)),
     METH_FASTCALL,
     "_rebuild_error(kind, os_name, args, errno, strerror, filename)\n--\n\n"
     "An exception of one of the classes quarn makes at run time, as pickled."},
    {nullptr, nullptr, 0, nullptr},
};

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

// quarn.CompressedDataError: made once, with the module, and raised from here
// only. An instance pickles as a call of its class with its args (and its
// notes), the class found by name in the package.
std::atomic<PyObject*> compressed_data_type{nullptr};

PyObject* reduce_compressed(PyObject* self, PyObject* /*unused*/) noexcept {
  Ref args = Ref::steal(PyObject_GetAttrString(self, "args"));
  if (!args) return nullptr;
  PyObject* dict = PyObject_GenericGetDict(self, nullptr);
  if (dict == nullptr) return nullptr;
  Ref state = Ref::steal(dict);
  PyObject* kept = PyDict_GET_SIZE(state.get()) > 0 ? state.get() : Py_None;
  return Py_BuildValue("(OOO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get(), kept);
}

PyMethodDef kReduceCompressedDef = {
    "__reduce__", reduce_compressed, METH_NOARGS,
    "Pickles the exception as a call of its class with its args and notes."};

Result<PyObject*> make_compressed_data_type() {
  Ref bases = Ref::steal(PyTuple_Pack(2, PyExc_RuntimeError, PyExc_OSError));
  Ref dict = Ref::steal(PyDict_New());
  if (!bases || !dict) return Error::python();
  Ref reduce = Ref::steal(PyDescr_NewMethod(reinterpret_cast<PyTypeObject*>(PyExc_BaseException),
                                            &kReduceCompressedDef));
  // Its str() is its text, not OSError's "[Errno N] ...".
  Ref str = Ref::steal(PyObject_GetAttrString(PyExc_BaseException, "__str__"));
  if (!reduce || !str || PyDict_SetItemString(dict.get(), "__reduce__", reduce.get()) < 0 ||
      PyDict_SetItemString(dict.get(), "__str__", str.get()) < 0) {
    return Error::python();
  }
  PyObject* made = PyErr_NewExceptionWithDoc(
      "quarn.CompressedDataError",
      "Compressed data that is corrupt or truncated, as the decompressor reports it.\n\n"
      "A ``RuntimeError`` like every other failure to read, and an ``OSError`` like the\n"
      "interpreter's own ``gzip.BadGzipFile``: everything decompressed before the damage has\n"
      "been handed out, and every later read raises it again.",
      bases.get(), dict.get());
  if (made == nullptr) return Error::python();
  return made;
}

Status register_errors(PyObject* module) noexcept {
  if (PyModule_AddFunctions(module, kErrorFunctions) < 0) return Error::python();
  PyObject* compressed = compressed_data_type.load(std::memory_order_acquire);
  if (compressed == nullptr) {
    auto made = make_compressed_data_type();
    if (!made.ok()) return std::move(made).error();
    compressed = made.value();
    compressed_data_type.store(compressed, std::memory_order_release);  // kept for the process
  }
  if (PyModule_AddObjectRef(module, "CompressedDataError", compressed) < 0) return Error::python();
  // Made now, not when first raised: a panic may come where making a class
  // would fail too (memory exhausted). The OS-error classes, 32 of them, are
  // made when first raised: all of them now would add a tenth to the import.
  if (get_panic_type() == nullptr) return Error::python();
  Ref function = Ref::steal(PyObject_GetAttrString(module, kErrorFunctions[0].ml_name));
  if (!function) return Error::python();
  // The first module's function stays (a module made again keeps pickles
  // rebuilding through the same one); a later one is dropped.
  PyObject* expected = nullptr;
  if (rebuild_function.compare_exchange_strong(expected, function.get(),
                                               std::memory_order_acq_rel)) {
    (void)function.release();  // the slot owns it now
  }
  return ok_status();
}

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
    case ErrorKind::CompressedData:
      type = compressed_data_type.load(std::memory_order_acquire);
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
