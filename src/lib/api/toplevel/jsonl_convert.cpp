// json_lines: the records of a source as JSON Lines, each record's own bytes
// with the whitespace between its tokens taken out, so that numbers and
// strings stay byte for byte what the file holds and no value is built.
//
// Every record is checked as iter_records checks it (the parser with a sink
// that keeps nothing, then the UTF-8 check its strings would have had), and
// a bad record fails with iter_records' error. Lines come in chunks of about
// 1 MiB, made with the interpreter lock let go where the source allows (a
// file). A failure keeps the lines before it: they come first, the error
// with the next call, and the call after that goes on after the bad record,
// as iter_records does.
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "api/api.hpp"
#include "api/toplevel/functions.hpp"
#include "binding/boundary.hpp"
#include "json/parser.hpp"
#include "json/text.hpp"
#include "records/format.hpp"
#include "scan/scan.hpp"

namespace quarn::api::toplevel {
namespace {

using binding::Error;
using binding::Result;
using binding::Status;
using records::Layout;
using records::RecordSource;

// Large enough that the per-chunk costs (a bytes object, a write, taking the
// interpreter lock back) vanish, small enough to stay in cache-sized reach.
constexpr std::size_t kChunk = std::size_t{1} << 20;

bool is_json_space(char c) {
  return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// Appends `text`, a value the parser accepted, without the whitespace
// outside its strings. Runs of kept bytes are copied whole; a string is
// skipped to its closing quote with memchr, a quote being escaped exactly
// when an odd number of backslashes precedes it.
void append_compact(std::string_view text, std::string& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  const char* run = p;
  while (p < end) {
    const char c = *p;
    if (c == '"') {
      ++p;
      for (;;) {
        // The parse succeeded, so the string closes before `end`.
        const auto* quote = static_cast<const char*>(std::memchr(p, '"', end - p));
        if (quote == nullptr) {
          p = end;
          break;
        }
        const char* back = quote;
        while (back > p && back[-1] == '\\') --back;
        p = quote + 1;
        if (((quote - back) & 1) == 0) break;
      }
    } else if (is_json_space(c)) {
      out.append(run, p);
      do ++p;
      while (p < end && is_json_space(*p));
      run = p;
    } else {
      ++p;
    }
  }
  out.append(run, end);
  out.push_back('\n');
}

// The records of one source as lines. Used by one thread at a time (the
// owner's lock); Python-free but for what the record source itself needs.
class LineWriter {
 public:
  explicit LineWriter(RecordSource source) : source_(std::move(source)) {
    // Errors name their line and column, as the record reader's do.
    source_.track_lines();
  }

  // The next chunk of lines into `out` (which may hold lines from a call
  // that failed); false at the end, with `out` empty.
  Result<bool> next(std::string& out) {
    if (pending_) return std::exchange(pending_, std::nullopt).value();
    if (ended_ && out.empty()) return false;
    started_ = true;
    auto filled = source_.unlocked([&]() -> Status { return fill(out); });
    if (!filled.ok()) {
      // Lines before the bad record come first; an exception the
      // interpreter already holds cannot wait, and the lines wait for it.
      if (out.empty() || filled.error().kind == binding::ErrorKind::Python) {
        return std::move(filled).error();
      }
      pending_ = std::move(filled).error();
    }
    return !out.empty();
  }

  [[nodiscard]] std::uint64_t bytes_read() const { return started_ ? source_.bytes_read() : 0; }
  [[nodiscard]] std::uint64_t total_bytes() const { return source_.total_bytes(); }
  [[nodiscard]] std::uint64_t records() const { return records_; }

 private:
  Status fill(std::string& out) {
    while (!ended_ && out.size() < kChunk) {
      auto got = source_.next();
      if (!got.ok()) return std::move(got).error();
      const RecordSource::Piece piece = got.value();
      if (piece.cut == RecordSource::Cut::Truncated) return source_.truncation_error(piece.text);
      if (piece.cut == RecordSource::Cut::End) {
        auto layout = source_.layout();
        if (!layout.ok()) return std::move(layout).error();
        if (layout.value() == Layout::Array) {
          auto rest = source_.check_after_array();
          if (!rest.ok()) return std::move(rest).error();
        }
        ended_ = true;
        break;
      }
      auto taken = take(piece.text, out);
      if (!taken.ok()) return taken;
    }
    return binding::ok_status();
  }

  // One record, checked as the record reader checks it, onto `out`.
  Status take(std::string_view raw, std::string& out) {
    const Layout layout = source_.layout().value();
    // Where holes are errors, an element is parsed as a whole-document parse
    // takes it, with only the parser's whitespace around it.
    const std::string_view text = layout != Layout::Lines && source_.rejects_holes()
                                      ? raw
                                      : json::trim_unicode_whitespace(raw);
    if (text.empty()) return binding::ok_status();
    json::NullSink sink;
    const auto err = json::parse(text, sink, source_.element_depth());
    // Bytes that are not text are reported as such, whether or not the
    // parse failed first: the strings a record's objects are built from are
    // checked as they are made.
    if (!scan::validate_utf8(raw)) {
      return Error::runtime("read error: " + std::string(io::kInvalidUtf8));
    }
    if (err) {
      if (layout == Layout::Lines) {
        return Error::value("invalid JSONL line: " + json::describe(text, *err));
      }
      if (source_.rejects_holes() && layout == Layout::Document) {
        return source_.document_error(text, err->index, json::message(err->code));
      }
      return Error::value("invalid JSON element: " + json::describe(text, *err));
    }
    append_compact(text, out);
    ++records_;
    return binding::ok_status();
  }

  RecordSource source_;
  std::optional<Error> pending_;  // the failure after lines handed out first
  std::uint64_t records_ = 0;     // records written to lines so far
  bool started_ = false;
  bool ended_ = false;
};

// --- The Python object --------------------------------------------------------

struct Shared {
  std::mutex lock;
  std::unique_ptr<LineWriter> writer;
  std::string out;  // lines made and not yet handed out
};

struct ChunksObject {
  PyObject_HEAD Shared* shared;
};

Shared& shared_of(PyObject* self) {
  return *reinterpret_cast<ChunksObject*>(self)->shared;
}

PyObject* chunks_next(PyObject* self) noexcept {
  return binding::guarded(
      [self]() -> PyObject* {
        Shared& shared = shared_of(self);
        std::unique_lock taken(shared.lock, std::try_to_lock);
        if (!taken.owns_lock()) {
          PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
          return nullptr;
        }
        auto more = shared.writer->next(shared.out);
        if (!more.ok()) {
          binding::raise(more.error());
          return nullptr;
        }
        if (!more.value()) return nullptr;  // the end: no exception set
        PyObject* chunk = PyBytes_FromStringAndSize(shared.out.data(),
                                                    static_cast<Py_ssize_t>(shared.out.size()));
        // Not made: the lines stay for the next call.
        if (chunk != nullptr) shared.out.clear();
        return chunk;
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* chunks_iter(PyObject* self) noexcept {
  return Py_NewRef(self);
}

// A counter of the writer; read while another thread makes a chunk, it may
// be a chunk behind.
template <std::uint64_t (LineWriter::*Counter)() const>
PyObject* chunks_counter(PyObject* self, void* /*unused*/) noexcept {
  Shared& shared = shared_of(self);
  std::unique_lock taken(shared.lock, std::try_to_lock);
  if (!taken.owns_lock()) {
    PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong((shared.writer.get()->*Counter)());
}

void chunks_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  delete reinterpret_cast<ChunksObject*>(self)->shared;
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyGetSetDef kChunksGetSet[] = {
    {"bytes_read", chunks_counter<&LineWriter::bytes_read>, nullptr,
     "Bytes taken from the source so far, as RecordIterator.bytes_read counts them.", nullptr},
    {"total_bytes", chunks_counter<&LineWriter::total_bytes>, nullptr,
     "The source's size where it is known, else 0.", nullptr},
    {"records", chunks_counter<&LineWriter::records>, nullptr,
     "Records written to lines so far (handed out or about to be).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kChunksDoc =
    "The records of one source as JSON Lines, in bytes chunks of about 1 MiB (see json_lines).";

PyType_Slot kChunksSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(chunks_dealloc)},
    {Py_tp_getset, kChunksGetSet},
    {Py_tp_iter, reinterpret_cast<void*>(chunks_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(chunks_next)},
    {Py_tp_doc, const_cast<char*>(kChunksDoc)},
    {0, nullptr},
};

PyType_Spec kChunksSpec = {
    "quarn.JsonLinesChunks",
    sizeof(ChunksObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kChunksSlots,
};

std::atomic<PyObject*> chunks_type{nullptr};

Result<PyObject*> json_lines_type() {
  return type_once(chunks_type, kChunksSpec);
}

}  // namespace

binding::Result<Ref> json_lines(const CallArgs& args) {
  auto type = json_lines_type();
  if (!type.ok()) return std::move(type).error();
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  auto shared = std::make_unique<Shared>();
  shared->writer = std::make_unique<LineWriter>(std::move(opened).value());
  auto* tp = reinterpret_cast<PyTypeObject*>(type.value());
  PyObject* obj = tp->tp_alloc(tp, 0);
  if (obj == nullptr) return Error::python();
  reinterpret_cast<ChunksObject*>(obj)->shared = shared.release();
  return Ref::steal(obj);
}

}  // namespace quarn::api::toplevel
