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

// Keeps the cyclic collector from running over and over while a large
// result grows: every container made counts towards a collection, and each
// collection would traverse the whole young result. Nothing here can create
// a cycle, so nothing is lost by collecting afterwards instead.
class GcPause {
 public:
  GcPause() : was_enabled_(PyGC_Disable() == 1) {}
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }

 private:
  bool was_enabled_;
};

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
  GcPause pause;
  return parse_to_python(text.value(), sink, "invalid JSON: ");
}

Result<Ref> load_jsonl(std::string_view path) {
  auto opened = RecordReader::open(path, InputFormat::Jsonl);
  if (!opened.ok()) return std::move(opened).error();
  auto reader = std::move(opened).value();
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return Error::python();
  GcPause pause;
  for (;;) {
    auto record = reader->next_record();
    if (!record.ok()) return std::move(record).error();
    if (!record.value()) return list;
    if (PyList_Append(list.get(), record.value().get()) < 0) return Error::python();
  }
}

}  // namespace

binding::Result<Ref> load(const CallArgs& args) {
  auto format = resolve_format(args.path, args.format);
  if (!format.ok()) return std::move(format).error();
  return format.value() == InputFormat::Json ? load_json(args.path) : load_jsonl(args.path);
}

}  // namespace quarn::api::bigjson
