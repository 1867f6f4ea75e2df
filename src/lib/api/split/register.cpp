// The private `_split` area: the steps that quarn.count(jobs=) and
// quarn.dask run per file and per range. Arguments are positional and the
// package supplies them; the scans run without the GIL.
#include <Python.h>

#include <optional>
#include <string_view>

#include "api/api.hpp"
#include "api/fields.hpp"
#include "api/operations/operations.hpp"
#include "api/split/split.hpp"
#include "io/decoder.hpp"
#include "io/stream.hpp"
#include "records/detect.hpp"
#include "records/format.hpp"
#include "records/nested.hpp"
#include "records/open.hpp"

namespace quarn::api::split {
namespace {

using binding::Ref;

PyObject* fail(const Error& error) {
  binding::raise(error);
  return nullptr;
}

std::optional<std::string_view> optional_text(PyObject* obj) {
  if (obj == Py_None) return std::nullopt;
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (p == nullptr) return std::nullopt;
  return std::string_view(p, static_cast<std::size_t>(n));
}

// Opens a path or binary stream as quarn's top-level functions do, in the
// format given or shown by the content, its bytes as they are: offsets are
// those of the file (a caller splits only data that is not compressed).
Result<records::RecordSource> open(PyObject* source, std::optional<std::string_view> format) {
  auto named = records::parse_format(format);
  if (!named.ok()) return std::move(named).error();
  records::ReadOptions raw;
  raw.compression = std::nullopt;
  return records::open_record_source(source, raw, named.value());
}

// plan(source, format, records) -> (kind, start, limit, depth): how the
// records of `source` lie. "lines" from `start` (after a byte-order mark);
// "array": its elements from `start` (just after its '['), up to `limit`
// (just after its ']' for the array `records` names, whose rest of document
// is checked here; otherwise the file's size, 0 for a stream), each inside
// `depth` containers (the array included); "document" or "empty" otherwise.
// Reads the source up to its records only, except for `records`, which
// walks to the array's end.
Result<Ref> plan(PyObject* source, std::optional<std::string_view> format,
                 std::optional<std::string_view> records) {
  auto opened = open(source, format);
  if (!opened.ok()) return std::move(opened).error();
  records::RecordSource& s = opened.value();
  // The elements as the top-level reader takes them, so that element_depth
  // is theirs.
  s.reject_holes();
  records::Cursor cursor(s);
  const char* kind = "document";
  std::uint64_t start = 0, limit = s.total_bytes();
  if (records) {
    auto entered = records::enter_records(s, *records);
    if (!entered.ok()) return std::move(entered).error();
    start = cursor.offset();
    scan::ArrayScan state;
    std::uint64_t separators = 0;
    for (;;) {
      auto run = cursor.skip_elements(state, separators);
      if (!run.ok()) return std::move(run).error();
      if (run.value().closed) break;
    }
    limit = cursor.offset();
    auto rest = s.check_after_array();
    if (!rest.ok()) return std::move(rest).error();
    kind = "array";
  } else {
    auto layout = s.layout();
    if (!layout.ok()) return std::move(layout).error();
    start = cursor.offset();
    switch (layout.value()) {
      case records::Layout::Lines:
        kind = "lines";
        break;
      case records::Layout::Array:
        kind = "array";
        break;
      case records::Layout::Document:
        break;
      case records::Layout::Empty:
        kind = "empty";
        break;
    }
  }
  Ref out = Ref::steal(Py_BuildValue("sKKn", kind, static_cast<unsigned long long>(start),
                                     static_cast<unsigned long long>(limit),
                                     static_cast<Py_ssize_t>(s.element_depth())));
  if (!out) return Error::python();
  return out;
}

PyObject* summaries_tuple(const std::array<scan::RangeSummary, 3>& acc) {
  Ref out = Ref::steal(PyTuple_New(3));
  if (!out) return nullptr;
  for (int i = 0; i < 3; ++i) {
    const scan::RangeSummary& r = acc[static_cast<std::size_t>(i)];
    const int end = r.scan.in_string ? (r.scan.escaped ? 2 : 1) : 0;
    PyObject* item = Py_BuildValue(
        "iLLKO", end, static_cast<long long>(r.scan.depth), static_cast<long long>(r.min_depth),
        static_cast<unsigned long long>(r.commas), r.has_content ? Py_True : Py_False);
    if (item == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), i, item);
  }
  return out.release();
}

scan::ArrayScan state_of(int start, long long depth) {
  return scan::ArrayScan{start != 0, start == 2, depth};
}

// The file a path argument names (given as the top-level functions take
// one), for positioned reads.
Result<std::shared_ptr<SharedFile>> open_shared(PyObject* path) {
  auto name = records::path_name(path);
  if (!name.ok()) return std::move(name).error();
  if (!name.value().bytes) {
    PyErr_Format(PyExc_TypeError, "expected a path, not '%.200s'", Py_TYPE(path)->tp_name);
    return Error::python();
  }
  return SharedFile::open(name.value().view());
}

// Runs `work` on the file at `path` without the interpreter lock, so that the
// scans of a file's pieces run side by side. The file is opened with it: a
// wait for a FIFO's writer polls signals.
template <class T, class Work>
Result<T> without_lock(PyObject* path, Work work) {
  auto file = open_shared(path);
  if (!file.ok()) return std::move(file).error();
  Result<T> got = Error::python();
  Py_BEGIN_ALLOW_THREADS got = work(file.value());
  Py_END_ALLOW_THREADS return got;
}

// The bytes of a piece: the range of the file a path names, or what a
// stream hands out.
Result<std::unique_ptr<io::ByteSource>> piece_bytes(PyObject* source, const ByteRange& piece) {
  auto name = records::path_name(source);
  if (!name.ok()) return std::move(name).error();
  if (!name.value().bytes) {
    auto stream = io::StreamSource::open(source);
    if (!stream.ok()) return std::move(stream).error();
    return std::unique_ptr<io::ByteSource>(std::move(stream).value());
  }
  auto file = SharedFile::open(name.value().view());
  if (!file.ok()) return std::move(file).error();
  return std::unique_ptr<io::ByteSource>(
      std::make_unique<FileRange>(std::move(file).value(), piece.start, piece.end));
}

PyObject* py_plan(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        PyObject *source, *format, *records;
        if (!PyArg_ParseTuple(args, "OOO", &source, &format, &records)) return nullptr;
        auto fmt = optional_text(format);
        auto rec = optional_text(records);
        if (PyErr_Occurred()) return nullptr;
        auto got = plan(source, fmt, rec);
        if (!got.ok()) return fail(got.error());
        return std::move(got).value().release();
      },
      static_cast<PyObject*>(nullptr));
}

// summarize(path, start, end) -> three (end state, depth, lowest depth,
// commas, content), one per start state (0 outside a string, 1 inside, 2
// inside after a backslash).
PyObject* py_summarize(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        PyObject* path;
        unsigned long long start, end;
        if (!PyArg_ParseTuple(args, "OKK", &path, &start, &end)) return nullptr;
        auto got = without_lock<std::array<scan::RangeSummary, 3>>(
            path, [&](const std::shared_ptr<SharedFile>& file) {
              return summarize_file(*file, start, end);
            });
        if (!got.ok()) return fail(got.error());
        return summaries_tuple(got.value());
      },
      static_cast<PyObject*>(nullptr));
}

// summarize_buffer(buffer, so_far) -> the summaries of so_far (as returned,
// or None at a range's start) followed by the bytes of `buffer`.
PyObject* py_summarize_buffer(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        Py_buffer view;
        PyObject* so_far;
        if (!PyArg_ParseTuple(args, "y*O", &view, &so_far)) return nullptr;
        Summarizer summary;
        if (so_far != Py_None) {
          std::array<scan::RangeSummary, 3> acc;
          for (int i = 0; i < 3; ++i) {
            int end, content;
            long long depth, low;
            unsigned long long commas;
            PyObject* item = PySequence_GetItem(so_far, i);
            const bool parsed = item != nullptr && PyArg_ParseTuple(item, "iLLKp", &end, &depth,
                                                                    &low, &commas, &content) != 0;
            Py_XDECREF(item);
            if (!parsed) {
              PyBuffer_Release(&view);
              return nullptr;
            }
            acc[static_cast<std::size_t>(i)] = {state_of(end, depth), low, commas, content != 0};
          }
          summary.set(acc);
        }
        Py_BEGIN_ALLOW_THREADS summary.feed(static_cast<const std::uint8_t*>(view.buf),
                                            static_cast<std::size_t>(view.len));
        Py_END_ALLOW_THREADS PyBuffer_Release(&view);
        return summaries_tuple(summary.result());
      },
      static_cast<PyObject*>(nullptr));
}

// find_separator(path, start, stop, state, depth) -> offset of the first
// depth-1 ',' or ']' in [start, stop) from that state (stop 0: the file's
// end), or -1.
PyObject* py_find_separator(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        PyObject* path;
        unsigned long long start, stop;
        int state;
        long long depth;
        if (!PyArg_ParseTuple(args, "OKKiL", &path, &start, &stop, &state, &depth)) return nullptr;
        auto got = without_lock<std::int64_t>(path, [&](const std::shared_ptr<SharedFile>& file) {
          return find_separator(*file, start, stop ? stop : UINT64_MAX, state_of(state, depth));
        });
        if (!got.ok()) return fail(got.error());
        return PyLong_FromLongLong(got.value());
      },
      static_cast<PyObject*>(nullptr));
}

// find_separator_buffer(buffer, state, depth) -> (index or -1, state, depth).
PyObject* py_find_separator_buffer(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        Py_buffer view;
        int state;
        long long depth;
        if (!PyArg_ParseTuple(args, "y*iL", &view, &state, &depth)) return nullptr;
        scan::ArrayScan st = state_of(state, depth);
        const auto n = static_cast<std::size_t>(view.len);
        std::size_t at;
        Py_BEGIN_ALLOW_THREADS at =
            scan::find_element_end(static_cast<const std::uint8_t*>(view.buf), n, st);
        Py_END_ALLOW_THREADS PyBuffer_Release(&view);
        return Py_BuildValue("LiL", at == n ? -1LL : static_cast<long long>(at),
                             st.in_string ? (st.escaped ? 2 : 1) : 0,
                             static_cast<long long>(st.depth));
      },
      static_cast<PyObject*>(nullptr));
}

// count_piece(path, array, start, end, state, depth) -> (count, content,
// invalid): an array piece's depth-1 commas from its exact state, or a JSON
// Lines piece's non-blank lines.
PyObject* py_count_piece(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        PyObject* path;
        int array, state;
        unsigned long long start, end;
        long long depth;
        if (!PyArg_ParseTuple(args, "OpKKiL", &path, &array, &start, &end, &state, &depth)) {
          return nullptr;
        }
        auto got = without_lock<PieceCount>(path, [&](const std::shared_ptr<SharedFile>& file) {
          return array ? count_array_piece(*file, start, end, state_of(state, depth))
                       : count_lines_piece(*file, start, end);
        });
        if (!got.ok()) return fail(got.error());
        const PieceCount& c = got.value();
        return Py_BuildValue("KOO", static_cast<unsigned long long>(c.commas),
                             c.content ? Py_True : Py_False, c.invalid ? Py_True : Py_False);
      },
      static_cast<PyObject*>(nullptr));
}

// (source, array, first, start, end, close, depth), then `fields` where it
// is taken: a piece of the file `source` names, or of the stream `source` of
// its bytes [start, end), whose array elements lie inside `depth`
// containers in the file (plan's depth).
bool parse_piece(PyObject* args, PyObject*& source, ByteRange& piece, PyObject** fields = nullptr) {
  int array, first, close;
  unsigned long long start, end;
  Py_ssize_t depth;
  if (!PyArg_ParseTuple(args, fields ? "OppKKpn|O" : "OppKKpn", &source, &array, &first, &start,
                        &end, &close, &depth, fields)) {
    return false;
  }
  if (depth < 0) {
    PyErr_SetString(PyExc_ValueError, "depth must not be negative");
    return false;
  }
  const auto around = static_cast<std::size_t>(depth);
  piece = ByteRange{array != 0, first != 0, start, end ? end : UINT64_MAX, close != 0, around};
  return true;
}

// validate_piece(path, array, first, start, end, close, depth) -> the number
// of records of the piece, or None when something in it is bad.
PyObject* py_validate_piece(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        PyObject* path;
        ByteRange piece;
        if (!parse_piece(args, path, piece)) return nullptr;
        auto got = without_lock<std::optional<std::uint64_t>>(
            path,
            [&](const std::shared_ptr<SharedFile>& file) { return validate_piece(file, piece); });
        if (!got.ok()) return fail(got.error());
        if (!got.value()) Py_RETURN_NONE;
        return PyLong_FromUnsignedLongLong(*got.value());
      },
      static_cast<PyObject*>(nullptr));
}

// iter_piece(source, array, first, start, end, close, depth, fields=None) -> a
// RecordIterator over the records of the piece (only the parts `fields`
// names, when given). `source` is the file's path, or a binary stream of the
// file's bytes [start, end) (a remote file's range).
PyObject* py_iter_piece(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        PyObject* source;
        PyObject* fields = Py_None;
        ByteRange piece;
        if (!parse_piece(args, source, piece, &fields)) return nullptr;
        std::shared_ptr<const operations::RecordParser> parser;
        if (fields != Py_None) {
          auto tree = fields::read_fields(fields);
          if (!tree.ok()) return fail(tree.error());
          parser = fields::projection(std::move(tree).value());
        }
        auto body = piece_bytes(source, piece);
        if (!body.ok()) return fail(body.error());
        // The records of a piece are those of the whole file's top-level
        // reader: no text that is not UTF-8 either.
        auto it = operations::iterate_records(piece_records(std::move(body).value(), piece),
                                              std::move(parser), operations::BadText::Reject);
        if (!it.ok()) return fail(it.error());
        return std::move(it).value().release();
      },
      static_cast<PyObject*>(nullptr));
}

// arrow_piece(source, array, first, start, end, close, depth, table) -> an
// ArrowReader over the records of the piece, with the columns `table` gives
// (its schema; see read_arrow), so that every piece's batches have one
// schema. `source` as for iter_piece.
PyObject* py_arrow_piece(PyObject*, PyObject* args) noexcept {
  return binding::guarded(
      [&]() -> PyObject* {
        PyObject* source;
        PyObject* table = Py_None;
        ByteRange piece;
        if (!parse_piece(args, source, piece, &table)) return nullptr;
        auto reader = operations::arrow_reader(
            [&]() -> Result<records::RecordSource> {
              auto body = piece_bytes(source, piece);
              if (!body.ok()) return std::move(body).error();
              return piece_records(std::move(body).value(), piece);
            },
            0, nullptr, table == Py_None ? nullptr : table);
        if (!reader.ok()) return fail(reader.error());
        return std::move(reader).value().release();
      },
      static_cast<PyObject*>(nullptr));
}

// compressed(head) -> bool: whether `head` (a file's first bytes) starts
// with the magic of a compression quarn reads.
PyObject* py_compressed(PyObject*, PyObject* head) noexcept {
  Py_buffer view;
  if (PyObject_GetBuffer(head, &view, PyBUF_SIMPLE) < 0) return nullptr;
  const bool found =
      io::sniff(std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(view.buf),
                                              static_cast<std::size_t>(view.len)))
          .has_value();
  PyBuffer_Release(&view);
  return PyBool_FromLong(found);
}

PyMethodDef functions[] = {
    {"compressed", &py_compressed, METH_O, "compressed(head) -> bool"},
    {"plan", &py_plan, METH_VARARGS,
     "plan(source, format, records) -> (kind, start, limit, depth)"},
    {"summarize", &py_summarize, METH_VARARGS, "summarize(path, start, end)"},
    {"summarize_buffer", &py_summarize_buffer, METH_VARARGS, "summarize_buffer(buffer, so_far)"},
    {"find_separator", &py_find_separator, METH_VARARGS,
     "find_separator(path, start, stop, state, depth)"},
    {"find_separator_buffer", &py_find_separator_buffer, METH_VARARGS,
     "find_separator_buffer(buffer, state, depth)"},
    {"count_piece", &py_count_piece, METH_VARARGS,
     "count_piece(path, array, start, end, state, depth)"},
    {"validate_piece", &py_validate_piece, METH_VARARGS,
     "validate_piece(path, array, first, start, end, close, depth)"},
    {"iter_piece", &py_iter_piece, METH_VARARGS,
     "iter_piece(source, array, first, start, end, close, depth, fields=None)"},
    {"arrow_piece", &py_arrow_piece, METH_VARARGS,
     "arrow_piece(source, array, first, start, end, close, depth, table)"},
};

}  // namespace

Status register_area(PyObject* parent) {
  auto made = new_submodule(parent, "_split", false);
  if (!made.ok()) return std::move(made).error();
  for (PyMethodDef& def : functions) {
    auto added = add_function(made.value().get(), &def);
    if (!added.ok()) return added;
  }
  return binding::ok_status();
}

}  // namespace quarn::api::split
