// Whole-file loading: one parse of the whole text for JSON, the record
// reader for JSON Lines; objects are built straight from the parser.
#include <Python.h>

#include <algorithm>
#include <memory>
#include <string>

#include "api/operations/operations.hpp"
#include "api/operations/reader.hpp"
#include "records/format.hpp"

namespace quarn::api::operations {
namespace {

// The result meets the cyclic collector in one piece: its containers are
// built untracked and tracked together at the end (see PySink), so the
// collections that run while it grows never visit it and nothing here
// touches the interpreter's switch.
//
// Tracked at once, a large result would still be visited three times within
// the program's next few thousand allocations by the generational collector
// of 3.11-3.13: by the youngest collection, by the middle one that makes it
// old, and by the full collection that follows because the old generation
// grew by more than a quarter. When the result is at least a quarter of what
// the interpreter held before, that full collection is due in any case, so it
// is made here, once, and the young ones find nothing of the result left.
// A smaller result is left to the collector: a full collection would visit
// more than the young ones it spares. PyGC_Collect does nothing while the
// collector is disabled or already running, so `gc.disable()` keeps its
// meaning.
//
// 3.14 replaced the generations with an incremental collector, and the
// free-threaded build scans everything at each collection: neither has that
// cascade. On 3.14 the result is only tracked at the end; a free-threaded
// build tracks it as it is made (see PySink::hold_tracking).
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
// Below this many containers a result is mostly still in the processor's
// caches when the young collections pass over it.
constexpr std::size_t kSettleContainers = std::size_t{1} << 16;

// Memory blocks in use by the interpreter, 0 when it cannot tell.
std::size_t allocated_blocks() {
  PyObject* fn = PySys_GetObject("getallocatedblocks");  // borrowed
  if (fn == nullptr) return 0;
  Ref n = Ref::steal(PyObject_CallNoArgs(fn));
  Py_ssize_t blocks = n ? PyLong_AsSsize_t(n.get()) : -1;
  if (blocks < 0) {
    PyErr_Clear();
    return 0;
  }
  return static_cast<std::size_t>(blocks);
}
#endif

// Tracks `outer` (if any) and then everything the sink held back. Fails
// only when a signal handler raised.
[[nodiscard]] bool settle(PySink& sink, PyObject* outer = nullptr) {
  if (outer != nullptr && !PyObject_GC_IsTracked(outer)) PyObject_GC_Track(outer);
  std::size_t containers = sink.track_untracked();
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
  if (containers < kSettleContainers) return true;
  std::size_t blocks = allocated_blocks();
  // `blocks` includes the result: the rest is blocks - made.
  if (blocks == 0 || blocks > 5 * sink.blocks_made()) return true;
  // A collection runs Python code (gc callbacks, finalizers), which would
  // take a pending signal's exception and lose it as unraisable: a Ctrl-C
  // that came during the build is raised here first.
  if (PyErr_CheckSignals() < 0) return false;
  PyGC_Collect();
#else
  (void)containers;
#endif
  return true;
}

Result<Ref> load_json(RecordSource& source, const std::shared_ptr<const RecordParser>& parser) {
  auto text = source.read_all();
  if (!text.ok()) return std::move(text).error();
  KeyCache keys(text.value().size());
  ShapeCache shapes(text.value().size());
  PySink sink(keys, shapes);
  sink.hold_tracking();
  auto value = parse_to_python(text.value(), sink, "invalid JSON: ", parser.get(), true);
  if (value.ok() && !settle(sink)) return Error::python();
  return value;
}

Result<Ref> load_list(RecordSource source, std::shared_ptr<const RecordParser> parser) {
  // Text that is not UTF-8 fails the load, as it fails a whole-file parse.
  RecordReader reader(std::move(source), std::move(parser), BadText::Reject);
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return Error::python();
  // Untracked with every record until the end (see settle): a young
  // collection would otherwise visit all the records so far each time.
  reader.sink().hold_tracking();
  if (reader.sink().held()) PyObject_GC_UnTrack(list.get());
  for (;;) {
    auto record = reader.next_record();
    if (!record.ok()) return std::move(record).error();
    if (!record.value()) break;
    if (PyList_Append(list.get(), record.value().get()) < 0) return Error::python();
  }
  if (!settle(reader.sink(), list.get())) return Error::python();
  return list;
}

}  // namespace

Result<Ref> load_records(RecordSource source, std::shared_ptr<const RecordParser> parser) {
  // A JSON text is parsed whole, from its first byte; records cut by the
  // source (lines, or the elements of an array inside a document) make a
  // list.
  if (source.format() == InputFormat::Json && !source.entered()) return load_json(source, parser);
  return load_list(std::move(source), std::move(parser));
}

}  // namespace quarn::api::operations
