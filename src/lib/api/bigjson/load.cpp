// Whole-file loading: one parse of the whole text for JSON, the record
// reader for JSON Lines; objects are built straight from the parser.
#include <algorithm>
#include <memory>
#include <string>

#include "api/bigjson/format.hpp"
#include "api/bigjson/ops.hpp"
#include "api/bigjson/reader.hpp"

namespace quarn::api::bigjson {
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
// cascade, and there the result is only tracked.
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
  if (outer != nullptr) PyObject_GC_Track(outer);
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

Result<std::string> read_all(File& file) {
  std::string text;
  std::uint64_t size = file.size();
  // One byte more than the size, so that the end of the file shows without a
  // second round trip through a growing buffer. Never less than a block: a
  // file whose size is unknown (a pipe, a /proc file) may hand its content
  // only to a first read that is large enough to take all of it.
  text.resize(std::max<std::size_t>(static_cast<std::size_t>(size) + 1, 1 << 16));
  std::size_t have = 0;
  for (;;) {
    if (have == text.size()) text.resize(text.size() * 2 + (1 << 16));
    auto got = file.read(text.data() + have, text.size() - have);
    if (!got.ok()) return read_error(std::move(got).error());
    if (got.value() == 0) break;
    have += got.value();
  }
  text.resize(have);
  return text;
}

Result<Ref> load_json(std::string_view path) {
  auto opened = File::open(path);
  if (!opened.ok()) return std::move(opened).error();
  auto text = [&]() {
    File file = std::move(opened).value();
    return read_all(file);
  }();
  if (!text.ok()) return std::move(text).error();
  KeyCache keys(text.value().size());
  ShapeCache shapes(text.value().size());
  PySink sink(keys, shapes);
  sink.hold_tracking();
  auto value = parse_to_python(text.value(), sink, "invalid JSON: ");
  if (value.ok() && !settle(sink)) return Error::python();
  return value;
}

Result<Ref> load_jsonl(std::string_view path) {
  auto opened = RecordReader::open(path, InputFormat::Jsonl);
  if (!opened.ok()) return std::move(opened).error();
  auto reader = std::move(opened).value();
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return Error::python();
  // Untracked with every record until the end (see settle): a young
  // collection would otherwise visit all the records so far each time.
  PyObject_GC_UnTrack(list.get());
  reader->sink().hold_tracking();
  for (;;) {
    auto record = reader->next_record();
    if (!record.ok()) return std::move(record).error();
    if (!record.value()) break;
    if (PyList_Append(list.get(), record.value().get()) < 0) return Error::python();
  }
  if (!settle(reader->sink(), list.get())) return Error::python();
  return list;
}

}  // namespace

binding::Result<Ref> load(const CallArgs& args) {
  auto format = resolve_format(args.path, args.format);
  if (!format.ok()) return std::move(format).error();
  return format.value() == InputFormat::Json ? load_json(args.path) : load_jsonl(args.path);
}

}  // namespace quarn::api::bigjson
