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
// its records' text reaches `batch_bytes` (at most 1 GiB, so that no
// column's 32-bit offsets can overflow and every batch has the stream's one
// schema).
//
// A batch is built with the interpreter lock let go where the source allows
// (a file), taken back between blocks for signal handlers. A failure leaves
// the rows before it in the builder: they come with the next batch, and the
// failed record is not read again, so a caller that goes on after an error
// loses nothing but that record.
#include <Python.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "api/api.hpp"
#include "api/capsules.hpp"
#include "api/operations/operations.hpp"
#include "arrow/builder.hpp"
#include "arrow/types.hpp"
#include "binding/boundary.hpp"
#include "binding/unlocked.hpp"
#include "json/infer.hpp"
#include "json/pointer.hpp"
#include "json/text.hpp"
#include "records/field_tree.hpp"
#include "records/format.hpp"
#include "scan/scan.hpp"

namespace quarn::api::operations {
namespace {

using binding::Error;
using binding::Result;
using binding::Status;
using records::Layout;
using records::RecordSource;

// Text of records in one batch at most: strings and lists are bounded by it,
// so their 32-bit offsets cannot overflow (kept as text, a value is at most
// about twice its source).
constexpr std::size_t kBatchText = std::size_t{1} << 30;

struct TableOptions {
  std::uint64_t batch_rows = 65536;
  std::size_t batch_bytes = std::size_t{16} << 20;
  arrow::ConflictPolicy policy = arrow::ConflictPolicy::Error;
  arrow::KeyPolicy keys = arrow::KeyPolicy::Ignore;
  std::size_t jobs = 1;
  bool skip_bad = false;
  std::optional<arrow::Schema> schema;  // the caller's: nothing is inferred
};

Result<std::string_view> utf8_of(PyObject* text) {
  if (!PyUnicode_Check(text)) return binding::type_check_error(text, "str");
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(text, &len);
  if (p == nullptr) return Error::python();
  return std::string_view(p, static_cast<std::size_t>(len));
}

// A type through the C data interface, from an object that offers one (a
// pyarrow DataType, Field or Schema); the capsule keeps it alive meanwhile.
Result<arrow::Type> type_from(PyObject* obj, const std::string& where) {
  binding::Ref capsule =
      binding::Ref::steal(PyObject_CallMethod(obj, "__arrow_c_schema__", nullptr));
  if (!capsule) return Error::python();
  auto* c = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule.get(), "arrow_schema"));
  if (c == nullptr) return Error::python();
  return arrow::type_of(*c, where);
}

// schema=: a pyarrow schema (anything with __arrow_c_schema__ describing a
// struct), or a mapping of column names or JSON Pointers to type names (or
// pyarrow types), in the order of the columns.
Result<arrow::Schema> given_schema(PyObject* given) {
  arrow::Schema out;
  if (PyObject_HasAttrString(given, "__arrow_c_schema__") != 0) {
    auto t = type_from(given, "");
    if (!t.ok()) return std::move(t).error();
    if (t.value().kind != arrow::Kind::Struct) {
      return Error::value(std::string("schema must describe columns (a pyarrow.Schema or a "
                                      "struct type), not a single ") +
                          arrow::kind_name(t.value().kind));
    }
    out.record = std::move(t).value();
    return out;
  }
  if (!PyDict_Check(given)) {
    PyErr_Format(PyExc_TypeError,
                 "schema must be a pyarrow.Schema or a dict of column names to type names, "
                 "not %.200s",
                 Py_TYPE(given)->tp_name);
    return Error::python();
  }
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t at = 0;
  while (PyDict_Next(given, &at, &key, &value)) {
    auto name = utf8_of(key);
    if (!name.ok()) return std::move(name).error();
    std::vector<std::string> path;
    if (name.value().starts_with('/')) {
      std::vector<json::PointerToken> tokens;
      if (!json::pointer_tokens(name.value(), tokens)) {
        return Error::value("invalid JSON Pointer in schema: '" + std::string(name.value()) + "'");
      }
      for (json::PointerToken& token : tokens) path.push_back(std::move(token.name));
    } else {
      path.emplace_back(name.value());
    }
    const std::string where =
        "/" + std::string(name.value().starts_with('/') ? name.value().substr(1) : name.value());
    Result<arrow::Type> type = arrow::Type{};
    if (PyUnicode_Check(value)) {
      auto text = utf8_of(value);
      if (!text.ok()) return std::move(text).error();
      type = arrow::type_named(text.value());
    } else if (PyObject_HasAttrString(value, "__arrow_c_schema__") != 0) {
      type = type_from(value, where);
    } else {
      PyErr_Format(PyExc_TypeError,
                   "the type of column '%U' in schema must be a str or a pyarrow type, "
                   "not %.200s",
                   key, Py_TYPE(value)->tp_name);
      return Error::python();
    }
    if (!type.ok()) return std::move(type).error();
    auto placed = arrow::place(out.record, path, std::move(type).value());
    if (!placed.ok()) return std::move(placed).error();
  }
  return out;
}

// (batch_rows, batch_bytes, on_conflict, new_keys, jobs, skip_bad, schema
// [, wrapped]), as the package passes them; `wrapped` says that a given schema
// is that of records taken whole as the column "value" (a plan that read the
// schema of one reader hands it to the readers of the file's pieces).
Result<TableOptions> table_options(PyObject* table) {
  TableOptions out;
  if (table == nullptr) return out;
  if (!PyTuple_Check(table) || PyTuple_GET_SIZE(table) < 7 || PyTuple_GET_SIZE(table) > 8) {
    return binding::type_check_error(table, "tuple");
  }
  const long long rows = PyLong_AsLongLong(PyTuple_GET_ITEM(table, 0));
  if (rows == -1 && PyErr_Occurred()) return Error::python();
  if (rows < 1) return Error::value("batch_rows must be at least 1");
  out.batch_rows = static_cast<std::uint64_t>(rows);
  const long long bytes = PyLong_AsLongLong(PyTuple_GET_ITEM(table, 1));
  if (bytes == -1 && PyErr_Occurred()) return Error::python();
  if (bytes < 1 || static_cast<unsigned long long>(bytes) > kBatchText) {
    return Error::value("batch_bytes must be between 1 and " + std::to_string(kBatchText) +
                        ", not " + std::to_string(bytes));
  }
  out.batch_bytes = static_cast<std::size_t>(bytes);
  auto policy = utf8_of(PyTuple_GET_ITEM(table, 2));
  if (!policy.ok()) return std::move(policy).error();
  const std::string_view n = policy.value();
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
  auto keys = utf8_of(PyTuple_GET_ITEM(table, 3));
  if (!keys.ok()) return std::move(keys).error();
  if (keys.value() == "error") {
    out.keys = arrow::KeyPolicy::Error;
  } else if (keys.value() != "ignore") {
    return Error::value("new_keys must be 'ignore' or 'error', not '" + std::string(keys.value()) +
                        "'");
  }
  const long long jobs = PyLong_AsLongLong(PyTuple_GET_ITEM(table, 4));
  if (jobs == -1 && PyErr_Occurred()) return Error::python();
  if (jobs < 1) return Error::value("jobs must be at least 1, not " + std::to_string(jobs));
  // More builders than this only queue behind one another.
  out.jobs = static_cast<std::size_t>(std::min<long long>(jobs, 256));
  const int skip = PyObject_IsTrue(PyTuple_GET_ITEM(table, 5));
  if (skip < 0) return Error::python();
  out.skip_bad = skip != 0;
  PyObject* schema = PyTuple_GET_ITEM(table, 6);
  if (schema != Py_None) {
    auto given = given_schema(schema);
    if (!given.ok()) return std::move(given).error();
    out.schema = std::move(given).value();
    if (PyTuple_GET_SIZE(table) == 8) {
      const int wrapped = PyObject_IsTrue(PyTuple_GET_ITEM(table, 7));
      if (wrapped < 0) return Error::python();
      const auto& columns = out.schema->record.fields;
      if (wrapped != 0 && (columns.size() != 1 || columns.front().name != "value")) {
        return Error::value("a schema of whole records has the one column \"value\"");
      }
      out.schema->wrapped = wrapped != 0;
    }
  }
  return out;
}

// The part of an inferred type that `node` names: the fields it keeps, in the
// order the sample met them, then those the sample never met (null type, or
// structs of such when the field goes deeper; under a map, the map's value
// type).
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
  // Under a map, a named key is a field of the map's value type.
  const arrow::Type unmet =
      from.kind == arrow::Kind::Map ? from.value() : arrow::Type::of(arrow::Kind::Null);
  for (const records::FieldNode& member : node.members) {
    if (structure && from.find(member.name) >= 0) continue;
    fields.push_back({member.name, member.whole ? unmet : selected(unmet, member)});
  }
  return arrow::Type::structure(std::move(fields));
}

// --- Building batches on several threads ---------------------------------------
// With jobs > 1 the reader's thread cuts records as it always does and hands
// each batch's records to a builder thread, which parses them into columns
// of its own; batches come back in order. A batch holds exactly the records
// one reader would put in it (the same cutting rule, counted before they are
// parsed), so the batches are the same whatever the number of builders. A
// batch in which a record fails, or after whose records the source failed,
// is not built in parallel: it and every batch cut after it are read again
// by the reader's own thread from their records, exactly as one reader reads
// them (errors, skipped records and all), and the builders take over again
// at the next batch boundary once those records are used up.

// One batch's records: cut by the reader's thread, built by a builder.
struct Job {
  std::string text;               // the records' texts, trimmed, back to back
  std::vector<std::size_t> ends;  // where each ends in `text`
  std::uint64_t first_index = 0;  // records given to a sink before these
  std::size_t depth = 0;          // as RecordSource::element_depth
  bool end = false;               // the source ended after these records
  std::optional<Error> tail;      // the source failed after these records

  // The builder's side, guarded by `lock`.
  std::mutex lock;
  std::condition_variable ready;
  bool dispatched = false;
  bool done = false;
  std::optional<arrow::Batch> batch;  // none when a record failed

  [[nodiscard]] std::string_view record(std::size_t i) const {
    const std::size_t from = i == 0 ? 0 : ends[i - 1];
    return std::string_view(text).substr(from, ends[i] - from);
  }
};

class Builders {
 public:
  Builders(std::size_t n, const arrow::Schema& schema, const TableOptions& options)
      : schema_(schema), policy_(options.policy), keys_(options.keys) {
    threads_.reserve(n);
    for (std::size_t i = 0; i < n; ++i) threads_.emplace_back([this] { run(); });
  }
  Builders(const Builders&) = delete;
  Builders& operator=(const Builders&) = delete;
  ~Builders() {
    {
      std::lock_guard guard(lock_);
      stop_.store(true, std::memory_order_relaxed);
    }
    wake_.notify_all();
    for (std::thread& t : threads_) t.join();
  }

  void submit(std::shared_ptr<Job> job) {
    job->dispatched = true;
    {
      std::lock_guard guard(lock_);
      queue_.push_back(std::move(job));
    }
    wake_.notify_one();
  }

  static void wait(Job& job) {
    std::unique_lock guard(job.lock);
    job.ready.wait(guard, [&job] { return job.done; });
  }

 private:
  void run() {
    std::optional<arrow::ColumnSink> sink;
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock guard(lock_);
        wake_.wait(guard,
                   [this] { return stop_.load(std::memory_order_relaxed) || !queue_.empty(); });
        if (stop_.load(std::memory_order_relaxed)) return;
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      std::optional<arrow::Batch> built;
      try {
        if (!sink) sink.emplace(schema_, policy_, std::int64_t{INT32_MAX}, keys_);
        build(*job, *sink, built);
      } catch (...) {
        // Out of memory, most likely: the reader's thread builds this batch
        // again and reports it there.
        sink.reset();
      }
      {
        std::lock_guard guard(job->lock);
        if (built) job->batch.emplace(std::move(*built));
        job->done = true;
      }
      job->ready.notify_all();
    }
  }

  // The job's batch into `out`, unless a record fails.
  void build(const Job& job, arrow::ColumnSink& sink, std::optional<arrow::Batch>& out) {
    sink.set_first_index(job.first_index);
    bool failed = false;
    for (std::size_t i = 0; i < job.ends.size() && !failed; ++i) {
      // A reader that goes away stops its builders between records.
      if (stop_.load(std::memory_order_relaxed)) failed = true;
      if (!failed && sink.parse_record(job.record(i), job.depth)) failed = true;
    }
    arrow::Batch batch = sink.finish_batch();
    if (failed) {
      (void)sink.take_error();
      return;
    }
    out.emplace(std::move(batch));
  }

  arrow::Schema schema_;
  arrow::ConflictPolicy policy_;
  arrow::KeyPolicy keys_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::atomic<bool> stop_{false};
  std::vector<std::thread> threads_;
};

// The records of one source as batches. Used by one thread at a time (the
// owner's lock); Python-free but for what the record source itself needs.
class TableReader {
 public:
  TableReader(RecordSource source, arrow::Schema schema, const TableOptions& options)
      : source_(std::move(source)),
        schema_(schema),
        sink_(std::move(schema), options.policy, std::int64_t{INT32_MAX}, options.keys),
        options_(options) {}

  // Reads the first `sample` records, keeping them for the first batch, and
  // infers the columns from them (`fields`, when given, keeps only those);
  // with the caller's schema, nothing is read yet.
  static Result<std::unique_ptr<TableReader>> open(RecordSource source, std::uint64_t sample,
                                                   const records::FieldTree* fields,
                                                   const TableOptions& options) {
    if (options.schema) {
      return std::make_unique<TableReader>(std::move(source), *options.schema, options);
    }
    std::deque<Piece> sampled;
    // Under AsText, a place whose sample mixes kinds holds them all as text;
    // places with keys as data are maps where schema calls them maps.
    arrow::Inferrer inferrer(options.policy == arrow::ConflictPolicy::AsText, json::kMapKeys);
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
    if (options_.jobs > 1 && !one_reader_) {
      auto built = next_built();
      // Falling back to one reader gives no batch here: that reader goes on.
      if (!built.ok() || built.value() || !one_reader_) return built;
    }
    if (ended_) return std::optional<arrow::Batch>();
    auto filled = source_.unlocked([this]() -> Status { return fill(); });
    if (!filled.ok()) return std::move(filled).error();
    if (sink_.rows() == 0) return std::optional<arrow::Batch>();
    text_ = 0;
    // A batch boundary with nothing left over: the builders may take over.
    if (pending_.empty()) one_reader_ = false;
    return std::optional<arrow::Batch>(sink_.finish_batch());
  }

  void export_schema(ArrowSchema& out) const { sink_.export_batch_schema(out); }

  [[nodiscard]] bool wrapped() const { return schema_.wrapped; }
  [[nodiscard]] std::uint64_t skipped() const { return skipped_.load(std::memory_order_relaxed); }

 private:
  struct Piece {
    RecordSource::Cut cut;
    std::string text;
    std::optional<Error> error;  // the source failed here
    bool settled = false;        // an End whose check after the array was made
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
    while (static_cast<std::uint64_t>(sink_.rows()) < options_.batch_rows &&
           text_ < options_.batch_bytes) {
      bool end = false;
      if (!pending_.empty()) {
        // Taken off first: a failed record is not read again.
        Piece piece = std::move(pending_.front());
        pending_.pop_front();
        if (piece.error) return std::move(*piece.error);
        auto took = piece.settled ? Result<bool>(true) : take(piece.cut, piece.text);
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

  // After an array's last element: only whitespace may follow it.
  Status check_end() {
    auto layout = source_.layout();
    if (!layout.ok()) return std::move(layout).error();
    if (layout.value() == Layout::Array) return source_.check_after_array();
    return binding::ok_status();
  }

  // One piece of the source into the builder; true at the end.
  Result<bool> take(RecordSource::Cut cut, std::string_view raw) {
    if (cut == RecordSource::Cut::Truncated) return source_.truncation_error(raw);
    if (cut == RecordSource::Cut::End) {
      auto checked = check_end();
      if (!checked.ok()) return std::move(checked).error();
      return true;
    }
    const std::string_view text = record_text(source_, raw);
    if (text.empty()) return false;
    text_ += text.size();
    ++given_;
    const auto err = sink_.parse_record(text, source_.element_depth());
    if (!err) return false;
    Error failed = record_error(raw, text, *err);
    if (!options_.skip_bad) return failed;
    skipped_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }

  // As iter_records words it: bytes that are not text first, then the
  // parser's error; a conflict is the builder's own.
  Error record_error(std::string_view raw, std::string_view text, const json::ParseError& err) {
    std::string conflict = sink_.take_error();
    if (!scan::validate_utf8(raw))
      return Error::runtime("read error: " + std::string(io::kInvalidUtf8));
    if (err.code == json::ErrorCode::SinkFailed) return Error::value(std::move(conflict));
    const Layout layout = source_.layout().value();
    if (layout == Layout::Lines)
      return Error::value("invalid JSONL line: " + json::describe(text, err));
    if (source_.rejects_holes() && layout == Layout::Document) {
      return source_.document_error(text, err.index, json::message(err.code));
    }
    return Error::value("invalid JSON element: " + json::describe(text, err));
  }

  // --- With builders ---

  Result<std::optional<arrow::Batch>> next_built() {
    if (ended_) return std::optional<arrow::Batch>();
    if (!builders_) builders_ = std::make_unique<Builders>(options_.jobs, schema_, options_);
    // Keeps every builder busy while the caller takes this batch.
    while (flight_.size() < options_.jobs && !cut_all_) {
      auto cut = source_.unlocked([this]() -> Status { return gather(); });
      if (!cut.ok()) return std::move(cut).error();
    }
    if (flight_.empty()) {
      ended_ = true;
      return std::optional<arrow::Batch>();
    }
    Job& job = *flight_.front();
    if (job.dispatched) {
      binding::Unlocked unlocked;
      Builders::wait(job);
    }
    if (!job.tail && (job.batch || job.ends.empty())) {
      std::optional<arrow::Batch> batch = std::move(job.batch);
      if (job.end) ended_ = true;
      // Its text's memory, already paged in, serves a later batch.
      job.text.clear();
      spare_ = std::move(job.text);
      flight_.pop_front();
      if (!batch && ended_) flight_.clear();
      return batch;
    }
    fall_back();
    return std::optional<arrow::Batch>();
  }

  // Cuts the next batch's records (or goes on with those cut before an
  // interruption) and hands them to a builder.
  Status gather() {
    if (!gathering_) {
      gathering_ = std::make_shared<Job>();
      gathering_->first_index = given_;
      gathering_->text = std::move(spare_);
      spare_.clear();
    }
    Job& job = *gathering_;
    while (job.ends.size() < options_.batch_rows && job.text.size() < options_.batch_bytes) {
      RecordSource::Cut cut;
      std::string_view raw;
      Piece piece{RecordSource::Cut::Text, {}, std::nullopt};
      if (!pending_.empty()) {
        piece = std::move(pending_.front());
        pending_.pop_front();
        if (piece.error) {
          job.tail = std::move(*piece.error);
          break;
        }
        cut = piece.cut;
        raw = piece.text;
      } else {
        auto got = source_.next();
        if (!got.ok()) {
          // A signal handler's exception or a stream's is the caller's now;
          // the records cut so far wait for the next call.
          if (got.error().kind == binding::ErrorKind::Python) return std::move(got).error();
          job.tail = std::move(got).error();
          break;
        }
        cut = got.value().cut;
        raw = got.value().text;
      }
      if (cut == RecordSource::Cut::Text) {
        const std::string_view text = record_text(source_, raw);
        if (text.empty()) continue;
        job.text.append(text);
        job.ends.push_back(job.text.size());
        continue;
      }
      if (cut == RecordSource::Cut::Truncated) {
        job.tail = source_.truncation_error(raw);
        break;
      }
      if (!piece.settled) {
        auto checked = check_end();
        if (!checked.ok()) {
          if (checked.error().kind == binding::ErrorKind::Python) {
            // Not checked yet: looked at again by the next call.
            pending_.push_front({RecordSource::Cut::End, {}, std::nullopt});
            return std::move(checked).error();
          }
          job.tail = std::move(checked).error();
          break;
        }
      }
      job.end = true;
      break;
    }
    given_ += job.ends.size();
    if (!job.ends.empty()) job.depth = source_.element_depth();
    if (job.end || job.tail) cut_all_ = true;
    std::shared_ptr<Job> done = std::move(gathering_);
    if (!done->tail && !done->ends.empty()) builders_->submit(done);
    flight_.push_back(std::move(done));
    return binding::ok_status();
  }

  // One reader reads again from the first batch in flight, from the records
  // cut for it and every later one.
  void fall_back() {
    // The builders may still be at the later batches: their work is dropped.
    binding::Unlocked unlocked;
    std::deque<Piece> again;
    for (auto& job : flight_) {
      if (job->dispatched) Builders::wait(*job);
      job->batch.reset();
      for (std::size_t i = 0; i < job->ends.size(); ++i) {
        again.push_back({RecordSource::Cut::Text, std::string(job->record(i)), std::nullopt});
      }
      if (job->tail) again.push_back({RecordSource::Cut::Text, {}, std::move(job->tail)});
      if (job->end) again.push_back({RecordSource::Cut::End, {}, std::nullopt, true});
    }
    if (gathering_) {
      for (std::size_t i = 0; i < gathering_->ends.size(); ++i) {
        again.push_back(
            {RecordSource::Cut::Text, std::string(gathering_->record(i)), std::nullopt});
      }
    }
    for (auto it = again.rbegin(); it != again.rend(); ++it) pending_.push_front(std::move(*it));
    given_ = flight_.front()->first_index;
    sink_.set_first_index(given_);
    flight_.clear();
    gathering_.reset();
    cut_all_ = false;
    one_reader_ = true;
  }

  RecordSource source_;
  arrow::Schema schema_;
  arrow::ColumnSink sink_;
  TableOptions options_;
  std::deque<Piece> pending_;
  std::size_t text_ = 0;     // of the records in the batch being built
  std::uint64_t given_ = 0;  // records given to a sink (the next one's index)
  std::atomic<std::uint64_t> skipped_{0};
  bool ended_ = false;
  // Builders: the batches cut and not yet handed out, in order, and the one
  // being cut.
  std::unique_ptr<Builders> builders_;
  std::deque<std::shared_ptr<Job>> flight_;
  std::shared_ptr<Job> gathering_;
  std::string spare_;        // a handed-out batch's text buffer, for reuse
  bool cut_all_ = false;     // the source's end (or a failure) was cut
  bool one_reader_ = false;  // reading on from a fallen-back batch
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

PyObject* reader_get_skipped(PyObject* self, void* /*unused*/) noexcept {
  return PyLong_FromUnsignedLongLong((*as_reader(self)->shared)->reader->skipped());
}

PyObject* reader_get_wrapped(PyObject* self, void* /*unused*/) noexcept {
  return PyBool_FromLong((*as_reader(self)->shared)->reader->wrapped() ? 1 : 0);
}

PyGetSetDef kReaderGetSet[] = {
    {"schema", reader_get_schema, nullptr, "The batches' schema, a pyarrow.Schema.", nullptr},
    {"skipped", reader_get_skipped, nullptr,
     "The bad records passed over so far (with skip_bad=True; else 0).", nullptr},
    {"_wrapped", reader_get_wrapped, nullptr,
     "Whether each record is the column \"value\" (records that are not objects).", nullptr},
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
  return type_once(reader_type, kReaderSpec);
}

Result<Ref> arrow_reader(const std::function<Result<RecordSource>()>& open, std::uint64_t sample,
                         const records::FieldTree* fields, PyObject* table) {
  auto options = table_options(table);
  if (!options.ok()) return std::move(options).error();
  auto type = arrow_reader_type();
  if (!type.ok()) return std::move(type).error();
  auto source = open();
  if (!source.ok()) return std::move(source).error();
  auto reader = TableReader::open(std::move(source).value(), sample, fields, options.value());
  if (!reader.ok()) return std::move(reader).error();
  auto shared = std::make_unique<std::shared_ptr<Shared>>(std::make_shared<Shared>());
  (*shared)->reader = std::move(reader).value();
  auto* tp = reinterpret_cast<PyTypeObject*>(type.value());
  PyObject* obj = tp->tp_alloc(tp, 0);
  if (obj == nullptr) return Error::python();
  as_reader(obj)->shared = shared.release();
  return Ref::steal(obj);
}

}  // namespace quarn::api::operations
