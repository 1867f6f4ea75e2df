// JSON Lines out: the records of a list written compactly, one per line, as
// json.dumps(record, ensure_ascii=False, separators=(",", ":")) writes each,
// in one call for the whole list (the command line's head prints millions).
#include <Python.h>

#include <string>

#include "api/toplevel/functions.hpp"
#include "json/text.hpp"

namespace quarn::api::toplevel {
namespace {

using binding::Error;
using binding::Result;

constexpr int kMaxDepth = 1000;  // json.dumps's own limit is the recursion limit

void put_string(std::string& out, PyObject* text, Result<bool>& failed) {
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(text, &len);
  if (p == nullptr) {
    failed = Error::python();
    return;
  }
  json::append_quoted(std::string_view(p, static_cast<std::size_t>(len)), out);
}

// Appends `obj`; false (with `failed` set) for what json.dumps would write
// differently or refuse: the caller then falls back to it.
bool put_value(std::string& out, PyObject* obj, int depth, Result<bool>& failed) {
  if (depth > kMaxDepth) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while encoding");
    failed = Error::python();
    return false;
  }
  if (obj == Py_None) {
    out += "null";
  } else if (obj == Py_True) {
    out += "true";
  } else if (obj == Py_False) {
    out += "false";
  } else if (PyUnicode_CheckExact(obj)) {
    put_string(out, obj, failed);
    return failed.ok();
  } else if (PyLong_CheckExact(obj)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow == 0) {
      out += std::to_string(v);
    } else {
      Ref text = Ref::steal(PyObject_Str(obj));
      if (!text) {
        failed = Error::python();
        return false;
      }
      Py_ssize_t len = 0;
      const char* p = PyUnicode_AsUTF8AndSize(text.get(), &len);
      if (p == nullptr) {
        failed = Error::python();
        return false;
      }
      out.append(p, static_cast<std::size_t>(len));
    }
  } else if (PyFloat_CheckExact(obj)) {
    double v = PyFloat_AS_DOUBLE(obj);
    if (v != v) {
      out += "NaN";
    } else if (v == Py_HUGE_VAL) {
      out += "Infinity";
    } else if (v == -Py_HUGE_VAL) {
      out += "-Infinity";
    } else {
      // float.__repr__'s own digits.
      char* text = PyOS_double_to_string(v, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
      if (text == nullptr) {
        failed = Error::python();
        return false;
      }
      out += text;
      PyMem_Free(text);
    }
  } else if (PyList_CheckExact(obj)) {
    out.push_back('[');
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) {
      if (i > 0) out.push_back(',');
      if (!put_value(out, PyList_GET_ITEM(obj, i), depth + 1, failed)) return false;
    }
    out.push_back(']');
  } else if (PyDict_CheckExact(obj)) {
    out.push_back('{');
    PyObject *key, *value;
    Py_ssize_t pos = 0;
    bool first = true;
    while (PyDict_Next(obj, &pos, &key, &value)) {
      if (!PyUnicode_CheckExact(key)) {
        failed = false;  // json.dumps turns other keys into strings: leave it to it
        return false;
      }
      if (!first) out.push_back(',');
      first = false;
      put_string(out, key, failed);
      if (!failed.ok()) return false;
      out.push_back(':');
      if (!put_value(out, value, depth + 1, failed)) return false;
    }
    out.push_back('}');
  } else {
    failed = false;
    return false;
  }
  return true;
}

}  // namespace

binding::Result<Ref> dump_lines(const CallArgs& args) {
  if (!PyList_Check(args.source)) return binding::type_check_error(args.source, "list");
  std::string out;
  Result<bool> failed = true;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(args.source); ++i) {
    if (!put_value(out, PyList_GET_ITEM(args.source, i), 0, failed)) {
      if (!failed.ok()) return std::move(failed).error();
      return Ref::borrow(Py_None);  // something only json.dumps writes as it should
    }
    out.push_back('\n');
  }
  Ref bytes =
      Ref::steal(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  if (!bytes) return Error::python();
  return bytes;
}

}  // namespace quarn::api::toplevel
