#include <Python.h>

#include "io/stream.hpp"

#include <sys/stat.h>

#include <climits>
#include <cstring>

#include "binding/boundary.hpp"

namespace quarn::io {
namespace {

using binding::Error;

// The object's position (tell()), or nothing where it has none.
std::optional<std::uint64_t> position_of(PyObject* obj) {
  Ref pos = Ref::steal(PyObject_CallMethod(obj, "tell", nullptr));
  if (!pos) {
    PyErr_Clear();
    return std::nullopt;
  }
  long long v = PyLong_AsLongLong(pos.get());
  if (v < 0) {
    PyErr_Clear();
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(v);
}

// The bytes from the object's position to its end, where a regular file
// lies beneath it (fileno()); 0 otherwise.
std::uint64_t remaining_size(PyObject* obj) {
  Ref fd = Ref::steal(PyObject_CallMethod(obj, "fileno", nullptr));
  if (!fd) {
    PyErr_Clear();
    return 0;
  }
  long n = PyLong_AsLong(fd.get());
  if (n < 0 || n > INT_MAX) {
    PyErr_Clear();
    return 0;
  }
  struct stat st;
  if (::fstat(static_cast<int>(n), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size <= 0) return 0;
  auto size = static_cast<std::uint64_t>(st.st_size);
  auto at = position_of(obj).value_or(0);
  return at < size ? size - at : 0;
}

// The attribute, or an empty Ref where there is none.
Result<Ref> optional_attr(PyObject* obj, const char* name) {
  Ref got = Ref::steal(PyObject_GetAttrString(obj, name));
  if (!got) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::python();
    PyErr_Clear();
  }
  return got;
}

Error binary_mode_error(PyObject* stream) {
  PyErr_Format(PyExc_TypeError,
               "'%s' object is a text stream: quarn reads bytes; open the file in binary mode "
               "(open(path, 'rb'))",
               Py_TYPE(stream)->tp_name);
  binding::add_processing_note("source");
  return Error::python();
}

}  // namespace

std::optional<std::uint64_t> stream_position(PyObject* source) {
  if (PyUnicode_Check(source) || PyBytes_Check(source)) return std::nullopt;
  Ref seekable = Ref::steal(PyObject_CallMethod(source, "seekable", nullptr));
  const int can_seek = seekable ? PyObject_IsTrue(seekable.get()) : -1;
  PyErr_Clear();
  return can_seek > 0 ? position_of(source) : std::nullopt;
}

void seek_back(PyObject* stream, std::uint64_t to) noexcept {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref done =
      Ref::steal(PyObject_CallMethod(stream, "seek", "K", static_cast<unsigned long long>(to)));
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

// Whether `stream` is one of the interpreter's own binary file classes,
// whose position is that of the file beneath.
Result<bool> is_plain_file(PyObject* io, PyObject* stream) {
  for (const char* name : {"FileIO", "BufferedReader", "BufferedRandom"}) {
    Ref type = Ref::steal(PyObject_GetAttrString(io, name));
    if (!type) return Error::python();
    int is = PyObject_IsInstance(stream, type.get());
    if (is < 0) return Error::python();
    if (is) return true;
  }
  return false;
}

Result<std::unique_ptr<StreamSource>> StreamSource::open(PyObject* stream) {
  Ref io = Ref::steal(PyImport_ImportModule("io"));
  if (!io) return Error::python();
  Ref text_base = Ref::steal(PyObject_GetAttrString(io.get(), "TextIOBase"));
  if (!text_base) return Error::python();
  int is_text = PyObject_IsInstance(stream, text_base.get());
  if (is_text < 0) return Error::python();
  if (is_text) return binary_mode_error(stream);

  std::unique_ptr<StreamSource> source(new StreamSource());
  source->stream_ = Ref::borrow(stream);
  // readinto1 where there is one: a buffered stream over a pipe then hands
  // out what has arrived instead of waiting to fill the whole block.
  for (const char* name : {"readinto1", "readinto"}) {
    auto readinto = optional_attr(stream, name);
    if (!readinto.ok()) return std::move(readinto).error();
    source->readinto_ = std::move(readinto).value();
    if (source->readinto_) break;
  }
  if (!source->readinto_) {
    auto read = optional_attr(stream, "read");
    if (!read.ok()) return std::move(read).error();
    source->read_ = std::move(read).value();
    if (!source->read_) {
      PyErr_Format(PyExc_TypeError,
                   "'%s' object is neither a path nor a binary file object (it has no "
                   "readinto or read method)",
                   Py_TYPE(stream)->tp_name);
      binding::add_processing_note("source");
      return Error::python();
    }
  }
  auto plain = is_plain_file(io.get(), stream);
  if (!plain.ok()) return std::move(plain).error();
  if (plain.value()) source->size_ = remaining_size(stream);
  return source;
}

Result<std::size_t> StreamSource::read(std::uint8_t* buf, std::size_t n) {
  // As with files, signals are checked before a read, never after it.
  if (PyErr_CheckSignals() < 0) return Error::python();
  return readinto_ ? read_with_readinto(buf, n) : read_with_read(buf, n);
}

Result<std::size_t> StreamSource::read_with_readinto(std::uint8_t* buf, std::size_t n) {
  Ref view = Ref::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(buf),
                                                static_cast<Py_ssize_t>(n), PyBUF_WRITE));
  if (!view) return Error::python();
  Ref got = Ref::steal(PyObject_CallOneArg(readinto_.get(), view.get()));
  // The view must not outlive the call: the block it shows is ours. The
  // stream's exception waits while it is released.
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref released = Ref::steal(PyObject_CallMethod(view.get(), "release", nullptr));
  if (!released) {
    Py_XDECREF(type);
    Py_XDECREF(value);
    Py_XDECREF(tb);
    return Error::python();
  }
  PyErr_Restore(type, value, tb);
  if (!got) return Error::python();
  if (got.get() == Py_None) {
    return Error::runtime("the stream has no data ready (a non-blocking stream is not supported)");
  }
  Py_ssize_t count = PyLong_AsSsize_t(got.get());
  if (count == -1 && PyErr_Occurred()) return Error::python();
  if (count < 0 || static_cast<std::size_t>(count) > n) {
    PyErr_Format(PyExc_ValueError, "readinto() returned %zd for a buffer of %zu bytes", count, n);
    return Error::python();
  }
  return static_cast<std::size_t>(count);
}

Result<std::size_t> StreamSource::read_with_read(std::uint8_t* buf, std::size_t n) {
  Ref got = Ref::steal(PyObject_CallFunction(read_.get(), "n", static_cast<Py_ssize_t>(n)));
  if (!got) return Error::python();
  if (PyUnicode_Check(got.get())) return binary_mode_error(stream_.get());
  if (got.get() == Py_None) {
    return Error::runtime("the stream has no data ready (a non-blocking stream is not supported)");
  }
  Py_buffer view;
  if (PyObject_GetBuffer(got.get(), &view, PyBUF_SIMPLE) < 0) return Error::python();
  std::size_t len = static_cast<std::size_t>(view.len);
  if (len > n) {
    PyBuffer_Release(&view);
    PyErr_Format(PyExc_ValueError, "read(%zu) returned %zu bytes", n, len);
    return Error::python();
  }
  std::memcpy(buf, view.buf, len);
  PyBuffer_Release(&view);
  return len;
}

}  // namespace quarn::io
