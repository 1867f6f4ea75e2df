// The call boundary: every call from Python enters the module here.
//
// A function is a static FunctionSpec (name, parameters, docstring and the
// operation); the boundary binds the vectorcall arguments to the parameters
// with the interpreter's own message forms, converts them, runs the operation
// under the internal-failure barrier and turns its Result into an object or
// an exception. Adding a function means adding a table entry and an operation.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <new>
#include <optional>
#include <string_view>

#include "binding/ref.hpp"
#include "binding/result.hpp"

namespace quarn::binding {

// Path: a str. Source: any object, handed over as it is (borrowed).
// Records: None or a str. Compressed: None or any object (borrowed): the
// compressed file beneath a decompressing source. Fields: None or any object
// (borrowed), which the operation reads. Table: None or any object
// (borrowed): how records become a table, read by the operation.
enum class Param : unsigned char {
  Path,
  Sample,
  Format,
  Source,
  Records,
  Compressed,
  Fields,
  Table
};

inline constexpr int kMaxParams = 7;

// Converted arguments; the texts borrow the caller's str objects, which stay
// alive for the whole call.
struct CallArgs {
  std::string_view path;
  std::uint64_t sample = 100;
  std::optional<std::string_view> format;
  PyObject* source = nullptr;
  std::optional<std::string_view> records;
  PyObject* compressed = nullptr;
  PyObject* fields = nullptr;
  PyObject* table = nullptr;
};

using Operation = Result<Ref> (*)(const CallArgs&);

struct FunctionSpec {
  const char* name;
  const char* doc;  // begins with the text-signature line and "--"
  Param params[kMaxParams];
  int param_count;
  Operation op;
};

// Vectorcall body shared by every function entry.
PyObject* call_function(const FunctionSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept;

// The PyCFunctionFastWithKeywords entry for one spec.
template <const FunctionSpec& Spec>
PyObject* function_entry(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) noexcept {
  return call_function(Spec, args, nargs, kwnames);
}

// Takes the current exception out of the interpreter, normalised: a new
// reference, or null when there is none.
PyObject* fetch_exception();

// Makes `error` the interpreter's current exception (a no-op for Python
// errors, whose exception is already set). An error from the operating
// system (os_errno set) is raised as a class derived from both its kind and
// the OSError subclass the errno maps to, with errno, strerror and filename
// set and the same text.
void raise(const Error& error) noexcept;

// Adds _rebuild_error to `module` (the extension module itself): the
// function through which the exception classes made here (the OS-error
// classes and PanicException, which no import finds) pickle their instances,
// so that an error raised in a worker process reaches its parent as the same
// class with the same errno, filename and text.
Status register_errors(PyObject* module) noexcept;

// The TypeError of a failed instance check: "'int' object is not an instance
// of 'str'", or "'None' is not an instance of 'str'".
Error type_check_error(PyObject* obj, const char* expected) noexcept;

// Raises PanicException (derived from BaseException) with `message`, or a
// fixed text when there is none.
void raise_panic(const char* message) noexcept;

// Runs `body` under the internal-failure barrier: memory exhaustion becomes
// MemoryError and any other escaping exception a PanicException; `failed` is
// returned in both cases.
template <class F, class R>
R guarded(F&& body, R failed) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic(nullptr);
  }
  return failed;
}

// Adds the note "while processing '<param>'" to the current exception; a
// failure to add it is ignored.
void add_processing_note(const char* param) noexcept;

}  // namespace quarn::binding
