// read_arrow: the records of a source as Arrow record batches, built by the
// column builder straight from the parser's events, with no Python object in
// between. The batches are handed out one at a time (next_batch, for the
// package's reader) or through the Arrow C stream interface (stream, for any
// consumer that takes one: pyarrow, polars, DuckDB).
//
// The records are those iter_records gives, cut by the same record source,
// and a bad record fails as it fails there (a conflict with its column's
// type is a failure of its own, naming the record and the value's place).
// The column types come from the first `sample` records, which are kept and
// become the first rows. A batch ends at `batch_rows` rows, or earlier once
// its records' text reaches 1 GiB, so that no column's 32-bit offsets can
// overflow and every batch has the stream's one schema.
//
// A batch is built with the interpreter lock let go where the source allows
// (a file), taken back between blocks for signal handlers. A failure leaves
// the rows before it in the builder: they come with the next batch, and the
// failed record is not read again, so a caller that goes on after an error
// loses nothing but that record.
#include <Python.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/capsules.hpp"
#include "api/fields.hpp"
#include "api/toplevel/functions.hpp"
#include "arrow/builder.hpp"
#include "arrow/types.hpp"
#include "binding/boundary.hpp"
#include "json/text.hpp"
#include "records/field_tree.hpp"
#include "records/format.hpp"
#include "scan/scan.hpp"

namespace quarn::api::toplevel {
namespace {

using binding::Error;
using binding::Result;
using binding::Status;
using records::Layout;
using records::RecordSource;

// Text of records in one batch: strings and lists are bounded by it, so their
// 32-bit offsets cannot overflow (kept as text, a value is at most about
// twice its source).
constexpr std::size_t kBatchText = std::size_t{1} << 30;

struct TableOptions {
  std::uint64_t batch_rows = 65536;
  arrow::ConflictPolicy policy = arrow::ConflictPolicy::Error;
};

// (batch_rows, on_conflict), as the package passes them.
Result<TableOptions> table_options(PyObject* table) {
  TableOptions out;
  if (table == nullptr) return out;
  if (!PyTuple_Check(table) || PyTuple_GET_SIZE(table) != 2) {
    return binding::type_check_error(table, "tuple");
  }
  const long long rows = PyLong_AsLongLong(PyTuple_GET_ITEM(table, 0));
  if (rows == -1 && PyErr_Occurred()) return Error::python();
  if (rows < 1) return Error::value("batch_rows must be at least 1");
  out.batch_rows = static_cast<std::uint64_t>(rows);
  PyObject* policy = PyTuple_GET_ITEM(table, 1);
  if (!PyUnicode_Check(policy)) return binding::type_check_error(policy, "str");
  const char* name = PyUnicode_AsUTF8(policy);
  if (name == nullptr) return Error::python();
  const std::string_view n(name);
  if (n == "error") {
    out.policy = arrow::ConflictPolicy::Error;
  } else if (n == "null") {
    out.policy = arrow::ConflictPolicy::AsNull;
  } else if (n == "text") {
    out.policy = arrow::ConflictPolicy::AsText;
  } else {
    return Error::value("on_conflict must be 'error', 'null' or 'text', not '" + std::string(n) +
                        "'");
  }
  return out;
}

// The part of an inferred type that `node` names: the fields it keeps, in the
// order the sample met them, then those the sample never met (null type, or
// structs of such when the field goes deeper).
arrow::Type selected(const arrow::Type& from, const records::FieldNode& node) {
  std::vector<arrow::Field> fields;
  const bool structure = from.kind == arrow::Kind::Struct;
  if (structure) {
    for (const arrow::Field& field : from.fields) {
      const records::FieldNode* want = node.find(field.name.data(), field.name.size());
      if (want == nullptr) continue;
      fields.push_back({field.name, want->whole ? field.type : selected(field.type, *want)});
    }
  }
  for (const records::FieldNode& member : node.members) {
    if (structure && from.find(member.name) >= 0) continue;
    fields.push_back({member.name, member.whole
                                       ? arrow::Type::of(arrow::Kind::Null)
                                       : selected(arrow::Type::of(arrow::Kind::Null), member)});
  }
  return arrow::Type::structure(std::move(fields));
}

// The records of one source as batches. Used by one thread at a time (the
// owner's lock); Python-free but for what the record source itself needs.
class TableReader {
 public:
  TableReader(RecordSource source, arrow::Schema schema, const TableOptions& options)
      : source_(std::move(source)),
        sink_(std::move(schema), options.policy),
        batch_rows_(options.batch_rows) {}

  // Reads the first `sample` records, keeping them for the first batch, and
  // infers the columns from them (`fields`, when given, keeps only those).
  static Result<std::unique_ptr<TableReader>> open(RecordSource source, std::uint64_t sample,
                                                   const records::FieldTree* fields,
                                                   const TableOptions& options) {
    std::deque<Piece> sampled;
    // Under AsText, a place whose sample mixes kinds holds them all as text.
    arrow::Inferrer inferrer(options.policy == arrow::ConflictPolicy::AsText);
    std::uint64_t rows = 0;
    auto walked = source.unlocked([&]() -> Status {
      while (rows < sample) {
        auto got = source.next();
        if (!got.ok()) {
          // Bad data ends the sample and fails where the rows reach it; the
          // interpreter's own exceptions (a signal, a stream's read) fail now.
          if (got.error().kind == binding::ErrorKind::Python) return std::move(got).error();
          sampled.push_back({RecordSource::Cut::Text, {}, std::move(got).error()});
          break;
        }
        const RecordSource::Piece& piece = got.value();
        sampled.push_back({piece.cut, std::string(piece.text), std::nullopt});
        if (piece.cut != RecordSource::Cut::Text) break;
        const std::string_view text = record_text(source, sampled.back().text);
        if (text.empty()) continue;
        // A bad record is reported where the rows reach it; the sample goes
        // on without it.
        if (inferrer.add(text).ok()) ++rows;
      }
      return binding::ok_status();
    });
    if (!walked.ok()) return std::move(walked).error();
    arrow::Schema schema = inferrer.schema();
    if (fields != nullptr) {
      schema.record =
          selected(schema.wrapped ? arrow::Type::structure({}) : schema.record, fields->root());
      schema.wrapped = false;
    }
    auto reader = std::make_unique<TableReader>(std::move(source), std::move(schema), options);
    reader->pending_ = std::move(sampled);
    return reader;
  }

  // The next batch, or none at the end.
  Result<std::optional<arrow::Batch>> next() {
    if (ended_) return std::optional<arrow::Batch>();
    auto filled = source_.unlocked([this]() -> Status { return fill(); });
    if (!filled.ok()) return std::move(filled).error();
    if (sink_.rows() == 0) return std::optional<arrow::Batch>();
    text_ = 0;
    return std::optional<arrow::Batch>(sink_.finish_batch());
  }

  void export_schema(ArrowSchema& out) const { sink_.export_batch_schema(out); }

 private:
  struct Piece {
    RecordSource::Cut cut;
    std::string text;
    std::optional<Error> error;  // the source failed here
  };

  // A record's text as the record reader parses it: a line, or an element
  // or document without the whitespace around it unless they are taken as a
  // whole document's parse takes them. The layout is known once a piece was
  // cut.
  static std::string_view record_text(RecordSource& source, std::string_view raw) {
    if (source.layout().value() != Layout::Lines && source.rejects_holes()) return raw;
    return json::trim_unicode_whitespace(raw);
  }

  Status fill() {
    while (static_cast<std::uint64_t>(sink_.rows()) < batch_rows_ && text_ < kBatchText) {
      bool end = false;
      if (!pending_.empty()) {
        // Taken off first: a failed record is not read again.
        Piece piece = std::move(pending_.front());
        pending_.pop_front();
        if (piece.error) return std::move(*piece.error);
        auto took = take(piece.cut, piece.text);
        if (!took.ok()) return std::move(took).error();
        end = took.value();
      } else {
        auto got = source_.next();
        if (!got.ok()) return std::move(got).error();
        auto took = take(got.value().cut, got.value().text);
        if (!took.ok()) return std::move(took).error();
        end = took.value();
      }
      if (end) {
        ended_ = true;
        break;
      }
    }
    return binding::ok_status();
  }

  // One piece of the source into the builder; true at the end.
  Result<bool> take(RecordSource::Cut cut, std::string_view raw) {
    if (cut == RecordSource::Cut::Truncated) return source_.truncation_error(raw);
    if (cut == RecordSource::Cut::End) {
      auto layout = source_.layout();
      if (!layout.ok()) return std::move(layout).error();
      if (layout.value() == Layout::Array) {
        auto rest = source_.check_after_array();
        if (!rest.ok()) return std::move(rest).error();
      }
      return true;
    }
    const std::string_view text = record_text(source_, raw);
    if (text.empty()) return false;
    text_ += text.size();
    const auto err = sink_.parse_record(text, source_.element_depth());
    if (!err) return false;
    // As iter_records words it: bytes that are not text first, then the
    // parser's error; a conflict is the builder's own.
    std::string conflict = sink_.take_error();
    if (!scan::validate_utf8(raw))
      return Error::runtime("read error: " + std::string(io::kInvalidUtf8));
    if (err->code == json::ErrorCode::SinkFailed) return Error::value(std::move(conflict));
    const Layout layout = source_.layout().value();
    if (layout == Layout::Lines)
      return Error::value("invalid JSONL line: " + json::describe(text, *err));
    if (source_.rejects_holes() && layout == Layout::Document) {
      return source_.document_error(text, err->index, json::message(err->code));
    }
    return Error::value("invalid JSON element: " + json::describe(text, *err));
  }

  RecordSource source_;
  arrow::ColumnSink sink_;
  std::uint64_t batch_rows_;
  std::deque<Piece> pending_;
  std::size_t text_ = 0;  // of the records in the batch being built
  bool ended_ = false;
};

// --- The Python object --------------------------------------------------------

// The reader is shared by the object and a stream exported from it; one
// thread at a time takes it.
struct Shared {
  std::mutex lock;
  std::unique_ptr<TableReader> reader;
  // A batch built whose hand-over failed (a signal handler raised while
  // pyarrow took it): the next one handed out, by either way.
  std::optional<arrow::Batch> held;
  std::atomic<bool> streamed{false};  // a stream took the batches not yet read

  Result<std::optional<arrow::Batch>> next() {
    if (held) return std::exchange(held, std::nullopt);
    return reader->next();
  }
};

struct ReaderObject {
  PyObject_HEAD std::shared_ptr<Shared>* shared;
};

ReaderObject* as_reader(PyObject* self) {
  return reinterpret_cast<ReaderObject*>(self);
}

// The reader, taken for this thread; null with the exception set when a
// stream took it or another thread holds it.
class Taken {
 public:
  explicit Taken(PyObject* self) : shared_(*as_reader(self)->shared) {
    if (shared_->streamed.load(std::memory_order_acquire)) {
      PyErr_SetString(PyExc_RuntimeError, "the batches were handed over as a stream");
      shared_.reset();
      return;
    }
    if (!shared_->lock.try_lock()) {
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
      shared_.reset();
    }
  }
  Taken(const Taken&) = delete;
  Taken& operator=(const Taken&) = delete;
  ~Taken() {
    if (shared_) shared_->lock.unlock();
  }
  [[nodiscard]] Shared* get() const { return shared_.get(); }

 private:
  std::shared_ptr<Shared> shared_;
};

// pyarrow's `name` attribute, or null with the exception set.
binding::Ref pyarrow_attribute(const char* name) {
  binding::Ref module = binding::Ref::steal(PyImport_ImportModule("pyarrow"));
  if (!module) return module;
  return binding::Ref::steal(PyObject_GetAttrString(module.get(), name));
}

PyObject* schema_capsule(Shared& shared) {
  ArrowSchema schema{};
  shared.reader->export_schema(schema);
  return capsule_of(schema, "arrow_schema", free_schema_capsule);
}

PyObject* reader_arrow_schema(PyObject* self, PyObject* /*unused*/) noexcept {
  return binding::guarded(
      [self]() -> PyObject* {
        Taken taken(self);
        if (taken.get() == nullptr) return nullptr;
        return schema_capsule(*taken.get());
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* reader_get_schema(PyObject* self, void* /*unused*/) noexcept {
  return binding::guarded(
      [self]() -> PyObject* {
        binding::Ref capsule = binding::Ref::steal(reader_arrow_schema(self, nullptr));
        if (!capsule) return nullptr;
        binding::Ref type = pyarrow_attribute("Schema");
        if (!type) return nullptr;
        return PyObject_CallMethod(type.get(), "_import_from_c_capsule", "O", capsule.get());
      },
      static_cast<PyObject*>(nullptr));
}

// The next batch as a pyarrow.RecordBatch. Runs in C from the caller's next()
// to its return, so that a signal handler's exception can only come from
// inside; the batch whose hand-over it interrupted is handed out next time.
PyObject* reader_next(PyObject* self) noexcept {
  return binding::guarded(
      [self]() -> PyObject* {
        Taken taken(self);
        Shared* shared = taken.get();
        if (shared == nullptr) return nullptr;
        auto batch = shared->next();
        if (!batch.ok()) {
          binding::raise(batch.error());
          return nullptr;
        }
        if (!batch.value()) return nullptr;  // the end: no exception set
        arrow::Batch& b = *batch.value();
        binding::Ref type = pyarrow_attribute("RecordBatch");
        binding::Ref schema, array;
        if (type)
          schema = binding::Ref::steal(capsule_of(b.schema, "arrow_schema", free_schema_capsule));
        if (schema)
          array = binding::Ref::steal(capsule_of(b.array, "arrow_array", free_array_capsule));
        PyObject* made = nullptr;
        if (array) {
          made = PyObject_CallMethod(type.get(), "_import_from_c_capsule", "OO", schema.get(),
                                     array.get());
        }
        if (made == nullptr) {
          // Not handed over: kept for the next call, with what the capsules
          // still own.
          if (schema) reclaim(schema.get(), "arrow_schema", b.schema);
          if (array) reclaim(array.get(), "arrow_array", b.array);
          if (b.array.release != nullptr) shared->held.emplace(std::move(b));
        }
        return made;
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* reader_iter(PyObject* self) noexcept {
  return Py_NewRef(self);
}

PyObject* reader_read_all(PyObject* self, PyObject* /*unused*/) noexcept {
  return binding::guarded(
      [self]() -> PyObject* {
        binding::Ref schema = binding::Ref::steal(reader_get_schema(self, nullptr));
        if (!schema) return nullptr;
        binding::Ref batches = binding::Ref::steal(PySequence_List(self));
        if (!batches) return nullptr;
        binding::Ref table = pyarrow_attribute("Table");
        if (!table) return nullptr;
        binding::Ref from_batches =
            binding::Ref::steal(PyObject_GetAttrString(table.get(), "from_batches"));
        if (!from_batches) return nullptr;
        binding::Ref args = binding::Ref::steal(PyTuple_Pack(1, batches.get()));
        binding::Ref kwargs = binding::Ref::steal(Py_BuildValue("{s:O}", "schema", schema.get()));
        if (!args || !kwargs) return nullptr;
        return PyObject_Call(from_batches.get(), args.get(), kwargs.get());
      },
      static_cast<PyObject*>(nullptr));
}

// --- The C stream -------------------------------------------------------------

struct StreamState {
  std::shared_ptr<Shared> shared;
  std::string error;
};

// The interpreter is needed by the record source (signal handlers, a
// caller's stream, progress callbacks) and the stream may be read from any
// thread, with or without it; none is there once the interpreter is gone.
bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

class Interpreter {
 public:
  Interpreter() : alive_(Py_IsInitialized() != 0 && !finalizing()) {
    if (alive_) state_ = PyGILState_Ensure();
  }
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;
  ~Interpreter() {
    if (alive_) PyGILState_Release(state_);
  }
  [[nodiscard]] bool alive() const { return alive_; }

 private:
  bool alive_;
  PyGILState_STATE state_{};
};

StreamState* state_of(ArrowArrayStream* stream) {
  return static_cast<StreamState*>(stream->private_data);
}

// The interpreter's current exception as the stream's error text; an
// interrupt is raised again at the interpreter's next check, so that Ctrl-C
// still stops the program that reads the stream.
int stream_error(StreamState* state, const Error& error) {
  binding::raise(error);
  binding::Ref exc = binding::Ref::steal(binding::fetch_exception());
  if (!exc) {
    state->error = "error";
    return EIO;
  }
  const bool interrupt = PyErr_GivenExceptionMatches(exc.get(), PyExc_KeyboardInterrupt);
  const bool value_error = PyErr_GivenExceptionMatches(exc.get(), PyExc_ValueError);
  state->error = Py_TYPE(exc.get())->tp_name;
  binding::Ref text = binding::Ref::steal(PyObject_Str(exc.get()));
  const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (utf8 != nullptr) state->error += std::string(": ") + utf8;
  PyErr_Clear();
  if (interrupt) PyErr_SetInterrupt();
  return value_error ? EINVAL : EIO;
}

// Another thread reads the batches (a next_batch() that began before the
// stream was taken): waiting for it here, perhaps with the interpreter lock
// held, could wait for ever.
int busy(StreamState* state) {
  state->error = "Already borrowed: another thread is reading these batches";
  return EBUSY;
}

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
  StreamState* state = state_of(stream);
  try {
    std::unique_lock lock(state->shared->lock, std::try_to_lock);
    if (!lock.owns_lock()) return busy(state);
    state->shared->reader->export_schema(*out);
    return 0;
  } catch (const std::exception& e) {
    state->error = e.what();
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
  StreamState* state = state_of(stream);
  Interpreter interpreter;
  if (!interpreter.alive()) {
    state->error = "the interpreter has ended";
    return EIO;
  }
  try {
    std::unique_lock lock(state->shared->lock, std::try_to_lock);
    if (!lock.owns_lock()) return busy(state);
    auto batch = state->shared->next();
    if (!batch.ok()) return stream_error(state, batch.error());
    if (!batch.value()) {
      out->release = nullptr;  // the end
      return 0;
    }
    *out = batch.value()->array;
    batch.value()->array.release = nullptr;
    return 0;
  } catch (const std::bad_alloc&) {
    state->error = "out of memory";
    return ENOMEM;
  } catch (const std::exception& e) {
    state->error = e.what();
    return EIO;
  }
}

const char* stream_last_error(ArrowArrayStream* stream) noexcept {
  const std::string& error = state_of(stream)->error;
  return error.empty() ? nullptr : error.c_str();
}

void stream_release(ArrowArrayStream* stream) noexcept {
  StreamState* state = state_of(stream);
  {
    // What the source holds (a caller's stream, a callback) goes with the
    // interpreter; without one it is left as it is.
    Interpreter interpreter;
    if (interpreter.alive()) {
      delete state;
    }
  }
  stream->release = nullptr;
}

// __arrow_c_stream__(requested_schema=None): a requested schema is not
// applied (the columns are those inferred or named), as the protocol allows.
PyObject* reader_stream(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  static const char* kwlist[] = {"requested_schema", nullptr};
  PyObject* requested = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:__arrow_c_stream__",
                                   const_cast<char**>(kwlist), &requested)) {
    return nullptr;
  }
  return binding::guarded(
      [self]() -> PyObject* {
        const std::shared_ptr<Shared>& shared = *as_reader(self)->shared;
        if (shared->streamed.exchange(true, std::memory_order_acq_rel)) {
          PyErr_SetString(PyExc_RuntimeError, "the batches were handed over as a stream");
          return nullptr;
        }
        auto state = std::make_unique<StreamState>();
        state->shared = shared;
        ArrowArrayStream stream{};
        stream.get_schema = stream_get_schema;
        stream.get_next = stream_get_next;
        stream.get_last_error = stream_last_error;
        stream.release = stream_release;
        stream.private_data = state.get();
        (void)state.release();  // the stream's now
        // A failure releases the stream, and the state with it.
        return capsule_of(stream, "arrow_array_stream", free_stream_capsule);
      },
      static_cast<PyObject*>(nullptr));
}

void reader_dealloc(PyObject* self) noexcept {
  PyTypeObject* tp = Py_TYPE(self);
  delete as_reader(self)->shared;
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef kReaderMethods[] = {
    {"__arrow_c_schema__", reader_arrow_schema, METH_NOARGS,
     "__arrow_c_schema__()\n--\n\nThe batches' schema as an \"arrow_schema\" capsule."},
    {"__arrow_c_stream__",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(reader_stream)),
     METH_VARARGS | METH_KEYWORDS,
     "__arrow_c_stream__(requested_schema=None)\n--\n\nThe batches not yet read as an "
     "\"arrow_array_stream\" capsule; the reader hands out nothing more (a requested schema "
     "is not applied)."},
    {"read_all", reader_read_all, METH_NOARGS,
     "read_all()\n--\n\nEvery batch not yet read, as one pyarrow.Table."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kReaderGetSet[] = {
    {"schema", reader_get_schema, nullptr, "The batches' schema, a pyarrow.Schema.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kReaderDoc =
    "The records of one source as Arrow record batches, in file order (see read_arrow).\n"
    "\n"
    "Any library that takes the Arrow PyCapsule stream interface takes it without a copy\n"
    "of the data: pyarrow.table(r), pyarrow.RecordBatchReader.from_stream(r),\n"
    "polars.DataFrame(r), DuckDB's duckdb.sql(\"from r\"). It is an iterator of\n"
    "pyarrow.RecordBatch objects, and read_all() gives a pyarrow.Table (both need\n"
    "pyarrow). The batches are read once: a consumer that takes the stream takes every\n"
    "batch not yet read, and the reader hands out nothing more. A bad record raises where\n"
    "its batch would come, as iter_records raises; the next batch goes on after it.";

PyType_Slot kReaderSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kReaderMethods},
    {Py_tp_getset, kReaderGetSet},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_doc, const_cast<char*>(kReaderDoc)},
    {0, nullptr},
};

PyType_Spec kReaderSpec = {
    "quarn.ArrowReader",
    sizeof(ReaderObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    kReaderSlots,
};

std::atomic<PyObject*> reader_type{nullptr};

}  // namespace

Result<PyObject*> arrow_reader_type() {
  PyObject* existing = reader_type.load(std::memory_order_acquire);
  if (existing != nullptr) return existing;
  PyObject* made = PyType_FromSpec(&kReaderSpec);
  if (made == nullptr) return Error::python();
  // First writer wins; the winner lives as long as the process.
  if (!reader_type.compare_exchange_strong(existing, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);
    return existing;
  }
  return made;
}

binding::Result<Ref> read_arrow(const CallArgs& args) {
  auto options = table_options(args.table);
  if (!options.ok()) return std::move(options).error();
  std::shared_ptr<const records::FieldTree> fields;
  if (args.fields != nullptr) {
    auto tree = fields::read_fields(args.fields);
    if (!tree.ok()) return std::move(tree).error();
    fields = std::move(tree).value();
  }
  auto type = arrow_reader_type();
  if (!type.ok()) return std::move(type).error();
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  auto reader =
      TableReader::open(std::move(opened).value(), args.sample, fields.get(), options.value());
  if (!reader.ok()) return std::move(reader).error();
  auto shared = std::make_unique<std::shared_ptr<Shared>>(std::make_shared<Shared>());
  (*shared)->reader = std::move(reader).value();
  auto* tp = reinterpret_cast<PyTypeObject*>(type.value());
  PyObject* obj = tp->tp_alloc(tp, 0);
  if (obj == nullptr) return Error::python();
  as_reader(obj)->shared = shared.release();
  return Ref::steal(obj);
}

}  // namespace quarn::api::toplevel
