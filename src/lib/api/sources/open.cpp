#include <Python.h>

#include "api/sources/open.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "api/bigjson/detect.hpp"
#include "api/bigjson/format.hpp"
#include "api/decompress/source.hpp"
#include "api/sources/stream.hpp"
#include "binding/ref.hpp"

namespace quarn::api::sources {
namespace {

using bigjson::ByteSource;
using bigjson::InputFormat;
using bigjson::RecordSource;
using binding::Error;
using binding::Ref;
using binding::Result;
using binding::Status;

// Tells a callback how far the reading has got, after every read. Should
// the callback raise, the bytes just read wait for the next read.
class WatchedSource final : public ByteSource {
 public:
  WatchedSource(std::unique_ptr<ByteSource> inner, PyObject* on_read)
      : inner_(std::move(inner)), on_read_(Ref::borrow(on_read)) {}

  Result<std::size_t> read(std::uint8_t* buf, std::size_t n) override {
    std::size_t got;
    if (!pending_.empty()) {
      got = std::min(n, pending_.size());
      std::memcpy(buf, pending_.data(), got);
      pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(got));
    } else {
      auto read = inner_->read(buf, n);
      if (!read.ok()) return read;
      got = read.value();
      handed_ += got;
    }
    Ref done = Ref::steal(PyLong_FromUnsignedLongLong(inner_->progress().value_or(handed_)));
    Ref total = Ref::steal(PyLong_FromUnsignedLongLong(inner_->size()));
    Ref called;
    if (done && total) {
      called = Ref::steal(PyObject_CallFunctionObjArgs(on_read_.get(), done.get(), total.get(),
                                                       got == 0 ? Py_True : Py_False, nullptr));
    }
    if (!called) {
      pending_.insert(pending_.begin(), buf, buf + got);
      return Error::python();
    }
    return got;
  }
  std::uint64_t size() const override { return inner_->size(); }
  std::optional<std::uint64_t> progress() const override { return inner_->progress(); }
  bool rereadable() const override { return inner_->rereadable(); }
  Result<std::size_t> read_at(std::uint64_t offset, std::uint8_t* buf, std::size_t n) override {
    return inner_->read_at(offset, buf, n);
  }
  bool ready() const override { return !pending_.empty() || inner_->ready(); }
  bool damaged() const override { return inner_->damaged(); }

 private:
  std::unique_ptr<ByteSource> inner_;
  Ref on_read_;
  std::vector<std::uint8_t> pending_;
  std::uint64_t handed_ = 0;
};

// zlib-ng's inflate, from the zlib-ng package where it is installed (the
// `fast-gzip` extra): looked for once per process, in the caller's thread.
void find_zlib_ng() {
  static bool tried = false;
  if (tried) return;
  tried = true;
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  Ref module = Ref::steal(PyImport_ImportModule("zlib_ng.zlib_ng"));
  Ref file = module ? Ref::steal(PyObject_GetAttrString(module.get(), "__file__")) : Ref();
  Ref encoded = file ? Ref::steal(PyUnicode_EncodeFSDefault(file.get())) : Ref();
  if (encoded) decompress::use_zlib_ng(PyBytes_AS_STRING(encoded.get()));
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
}

// `bytes` behind a decompressor when `compression` names one or, for
// "infer", when its first bytes are a compression's magic (looked at
// without losing any). `decompressed` says which.
Result<std::unique_ptr<ByteSource>> decompressing(std::unique_ptr<ByteSource> bytes, const How& how,
                                                  bool at_start, bool& decompressed) {
  decompressed = false;
  if (!how.compression) return bytes;
  std::optional<decompress::Kind> kind;
  if (*how.compression == "infer" && at_start && bytes->rereadable()) {
    // A file just opened: its first bytes are looked at where they lie.
    std::uint8_t head[decompress::kMagicBytes];
    auto got = bytes->read_at(0, head, sizeof head);
    if (!got.ok()) {
      if (got.error().kind == binding::ErrorKind::Python) return std::move(got).error();
      return bytes;  // the failure comes again where the records are read
    }
    kind = decompress::sniff(std::span<const std::uint8_t>(head, got.value()));
    if (!kind) return bytes;
  } else if (*how.compression == "infer") {
    auto ahead = std::make_unique<bigjson::LookAheadSource>(std::move(bytes));
    // A pipe may hand out a byte at a time: read on until the magic shows.
    while (ahead->ahead().size() < decompress::kMagicBytes) {
      auto more = ahead->read_ahead();
      if (!more.ok()) {
        // The source's own failure comes again where the records are read.
        if (more.error().kind == binding::ErrorKind::Python) return std::move(more).error();
        break;
      }
      if (!more.value()) break;
    }
    kind = decompress::sniff(ahead->ahead());
    bytes = std::move(ahead);
    if (!kind) return bytes;
  } else {
    kind = decompress::kind_named(*how.compression);
    if (!kind) return Error::value("unknown compression '" + std::string(*how.compression) + "'");
  }
  if (*kind == decompress::Kind::Gzip) find_zlib_ng();
  std::string why;
  auto decoder = decompress::make_decoder(*kind, why);
  if (!decoder) {
    PyErr_SetString(PyExc_RuntimeError, why.c_str());
    return Error::python();
  }
  decompressed = true;
  return std::unique_ptr<ByteSource>(
      std::make_unique<decompress::DecompressSource>(*kind, std::move(decoder), std::move(bytes)));
}

Result<RecordSource> open_bytes(std::unique_ptr<ByteSource> bytes, const How& how,
                                std::optional<InputFormat> format, std::string_view name,
                                bool at_start = false) {
  bool decompressed = false;
  auto opened = decompressing(std::move(bytes), how, at_start, decompressed);
  if (!opened.ok()) return std::move(opened).error();
  bytes = std::move(opened).value();
  if (how.on_read != nullptr)
    bytes = std::make_unique<WatchedSource>(std::move(bytes), how.on_read);
  // A compression suffix hides nothing: "a.jsonl.gz" is named JSON Lines.
  if (decompressed) name.remove_suffix(decompress::compression_suffix(name));
  return bigjson::open_by_content(std::move(bytes), format,
                                  name.empty() ? std::nullopt : bigjson::format_from_name(name));
}

// Gives a pipe a larger buffer (where the system allows), so that the
// writer and the reader swap places less often.
void widen_pipe(int fd) {
  struct stat st;
  if (::fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode)) {
#ifdef F_SETPIPE_SZ
    (void)::fcntl(fd, F_SETPIPE_SZ, 1 << 20);
#endif
  }
}

// A path's bytes; a failed open is "cannot open <path>: ..." as in bigjson,
// a read that fails while the content is looked at "cannot read ...".
Result<RecordSource> open_path(std::string_view path, const How& how,
                               std::optional<InputFormat> format) {
  auto file = bigjson::File::open(path);
  if (!file.ok()) return std::move(file).error();
  widen_pipe(file.value().fd());
  auto opened = open_bytes(std::make_unique<bigjson::FileSource>(std::move(file).value()), how,
                           format, path, true);
  if (opened.ok()) return opened;
  Error e = std::move(opened).error();
  if (e.kind == binding::ErrorKind::Python) return e;
  e.kind = binding::ErrorKind::ValueError;
  e.text = "cannot read " + std::string(path) + ": " + e.text;
  return e;
}

// Standard input on a descriptor of its own: the interpreter's stdin and
// its lock are left alone.
Result<RecordSource> open_stdin(const How& how, std::optional<InputFormat> format) {
  int fd = ::fcntl(0, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) {
    int err = errno;
    return Error::os(binding::ErrorKind::ValueError,
                     "cannot open standard input: " + bigjson::os_error_text(err), err, "-");
  }
  widen_pipe(fd);
  auto file = bigjson::File::adopt(fd, "-");
  return open_bytes(std::make_unique<bigjson::FileSource>(std::move(file)), how, format, "");
}

}  // namespace

Result<How> parse_how(PyObject* how) {
  How out;
  if (how == nullptr || how == Py_None) return out;
  PyObject* compression = nullptr;
  if (!PyArg_ParseTuple(how, "OO", &compression, &out.on_read)) return Error::python();
  if (out.on_read == Py_None) out.on_read = nullptr;
  if (compression == Py_None) {
    out.compression.reset();
  } else {
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(compression, &len);
    if (text == nullptr) return Error::python();
    out.compression = std::string_view(text, static_cast<std::size_t>(len));
  }
  return out;
}

Result<RecordSource> open_record_source(PyObject* source, const How& how,
                                        std::optional<InputFormat> format) {
  if (PyUnicode_Check(source) || PyBytes_Check(source)) {
    Ref encoded;
    if (PyUnicode_Check(source)) {
      if (PyUnicode_GetLength(source) == 1 && PyUnicode_ReadChar(source, 0) == '-') {
        return open_stdin(how, format);
      }
      // Names that are not UTF-8 come as str with surrogate escapes.
      encoded = Ref::steal(PyUnicode_EncodeFSDefault(source));
    } else {
      encoded = Ref::borrow(source);
    }
    if (!encoded) return Error::python();
    return open_path(std::string_view(PyBytes_AS_STRING(encoded.get()),
                                      static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))),
                     how, format);
  }
  auto stream = StreamSource::open(source);
  if (!stream.ok()) return std::move(stream).error();
  return open_bytes(std::move(stream).value(), how, format, "");
}

}  // namespace quarn::api::sources
