#include <Python.h>

#include "records/open.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "binding/ref.hpp"
#include "io/decompressing.hpp"
#include "io/libraries.hpp"
#include "io/stream.hpp"
#include "io/watched.hpp"
#include "records/detect.hpp"
#include "records/format.hpp"

namespace quarn::records {

using io::File;
using io::FileSource;
using io::StreamSource;
using io::WatchedSource;

namespace {

using binding::Error;
using binding::Ref;
using binding::Result;
using binding::Status;

// The first bytes are read ahead once, and both the compression's magic and
// the format are told from them; the record source gets them again. With
// `compression` "infer", data whose first bytes are a compression's magic is
// decompressed; a name decompresses whatever comes.
Result<RecordSource> open_bytes(std::unique_ptr<ByteSource> bytes, const ReadOptions& options,
                                std::optional<InputFormat> format, std::string_view name) {
  auto ahead = std::make_unique<LookAheadSource>(std::move(bytes));
  std::optional<io::Kind> kind;
  if (options.compression && *options.compression == "infer") {
    // A pipe may hand out a byte at a time: read on until the magic shows.
    while (ahead->ahead().size() < io::kMagicBytes) {
      auto more = ahead->read_ahead();
      if (!more.ok()) {
        // The source's own failure comes again where the records are read.
        if (more.error().kind == binding::ErrorKind::Python) return std::move(more).error();
        break;
      }
      if (!more.value()) break;
    }
    kind = io::sniff(ahead->ahead());
  } else if (options.compression) {
    kind = io::kind_named(*options.compression);  // parse_read_options checked the name
  }
  if (!kind && options.on_read == nullptr)
    return open_by_content(std::move(ahead), format, format_from_name(name));
  std::unique_ptr<ByteSource> read = std::move(ahead);
  if (kind) {
    auto ready = io::prepare(*kind);
    if (!ready.ok()) return std::move(ready).error();
    std::string why;
    auto decoder = io::make_decoder(*kind, why);
    if (!decoder) {
      PyErr_SetString(PyExc_RuntimeError, why.c_str());
      return Error::python();
    }
    read = std::make_unique<io::DecompressSource>(*kind, std::move(decoder), std::move(read));
    // A compression suffix hides nothing: "a.jsonl.gz" is named JSON Lines.
    name.remove_suffix(io::compression_suffix(name));
  }
  if (options.on_read != nullptr)
    read = std::make_unique<WatchedSource>(std::move(read), options.on_read);
  return open_by_content(std::make_unique<LookAheadSource>(std::move(read)), format,
                         format_from_name(name));
}

// A file's bytes. A pipe gets a larger buffer (where the system allows), so
// that the writer and the reader swap places less often; a regular file,
// which the source has seen is one, costs no further call.
std::unique_ptr<ByteSource> file_bytes(File file) {
  const int fd = file.fd();
  auto bytes = std::make_unique<FileSource>(std::move(file));
#ifdef F_SETPIPE_SZ
  // Anything but a pipe refuses the request.
  if (!bytes->rereadable()) (void)::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#endif
  return bytes;
}

// A path's bytes; a failed open is "cannot open <path>: ..." as in bigjson,
// a read that fails while the content is looked at "cannot read ...".
Result<RecordSource> open_path(std::string_view path, const ReadOptions& options,
                               std::optional<InputFormat> format) {
  auto file = File::open(path);
  if (!file.ok()) return std::move(file).error();
  auto opened = open_bytes(file_bytes(std::move(file).value()), options, format, path);
  if (opened.ok()) return opened;
  Error e = std::move(opened).error();
  if (e.as_is()) return e;
  e.kind = binding::ErrorKind::ValueError;
  e.text = "cannot read " + std::string(path) + ": " + e.text;
  return e;
}

// Standard input on a descriptor of its own: the interpreter's stdin and
// its lock are left alone.
Result<RecordSource> open_stdin(const ReadOptions& options, std::optional<InputFormat> format) {
  int fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    int err = errno;
    return Error::os(binding::ErrorKind::ValueError,
                     "cannot open standard input: " + os_error_text(err), err, "-");
  }
  return open_bytes(file_bytes(File::adopt(fd, "-")), options, format, "");
}

}  // namespace

Result<ReadOptions> parse_read_options(PyObject* given) {
  ReadOptions out;
  if (given == nullptr || given == Py_None) return out;
  if (!PyTuple_Check(given) || PyTuple_GET_SIZE(given) != 2) {
    PyErr_SetString(PyExc_TypeError, "compressed must be None or a (compression, on_read) tuple");
    return Error::python();
  }
  PyObject* compression = PyTuple_GET_ITEM(given, 0);
  out.on_read = PyTuple_GET_ITEM(given, 1);
  if (out.on_read == Py_None) out.on_read = nullptr;
  if (compression == Py_None) {
    out.compression.reset();
    return out;
  }
  if (PyUnicode_Check(compression)) {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(compression, &len);
    if (text == nullptr) return Error::python();
    const std::string_view name(text, static_cast<std::size_t>(len));
    if (name == "none") {
      out.compression.reset();
      return out;
    }
    if (name == "infer" || io::kind_named(name)) {
      out.compression = name;
      return out;
    }
  }
  Ref shown = Ref::steal(PyObject_Repr(compression));
  if (!shown) return Error::python();
  PyErr_Format(PyExc_ValueError,
               "unknown compression %U; expected 'infer', None, 'none', 'gzip', 'bz2', 'xz', "
               "'zstd'",
               shown.get());
  return Error::python();
}

Result<PathName> path_name(PyObject* source) {
  PathName out;
  Ref path;
  if (!PyUnicode_Check(source) && !PyBytes_Check(source)) {
    // A path object (a class with __fspath__, as os.PathLike tells them) is
    // its path.
    Ref fspath = Ref::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(source)), "__fspath__"));
    if (!fspath) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Error::python();
      PyErr_Clear();
    } else if (fspath.get() != Py_None) {
      path = Ref::steal(PyOS_FSPath(source));
      if (!path) return Error::python();
      source = path.get();
    }
  }
  if (PyBytes_Check(source)) {
    out.bytes = Ref::borrow(source);
  } else if (PyUnicode_Check(source)) {
    if (PyUnicode_GetLength(source) == 1 && PyUnicode_ReadChar(source, 0) == '-') {
      out.standard_input = true;
    }
    // Names that are not UTF-8 come as str with surrogate escapes.
    out.bytes = Ref::steal(PyUnicode_EncodeFSDefault(source));
    if (!out.bytes) return Error::python();
  }
  return out;
}

Result<RecordSource> open_record_source(PyObject* source, const ReadOptions& options,
                                        std::optional<InputFormat> format) {
  auto path = path_name(source);
  if (!path.ok()) return std::move(path).error();
  if (path.value().standard_input) return open_stdin(options, format);
  if (path.value().bytes) return open_path(path.value().view(), options, format);
  auto stream = StreamSource::open(source);
  if (!stream.ok()) return std::move(stream).error();
  return open_bytes(std::move(stream).value(), options, format, "");
}

}  // namespace quarn::records
