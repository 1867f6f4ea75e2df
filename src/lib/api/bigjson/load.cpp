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

Result<Ref> load_json(RecordSource& source) {
  auto text = source.read_all();
  if (!text.ok()) return std::move(text).error();
  KeyCache keys(text.value().size());
  ShapeCache shapes(text.value().size());
  PySink sink(keys, shapes);
  GcPause pause;
  return parse_to_python(text.value(), sink, "invalid JSON: ");
}

Result<Ref> load_list(RecordSource source) {
  RecordReader reader(std::move(source));
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return Error::python();
  GcPause pause;
  for (;;) {
    auto record = reader.next_record();
    if (!record.ok()) return std::move(record).error();
    if (!record.value()) return list;
    if (PyList_Append(list.get(), record.value().get()) < 0) return Error::python();
  }
}

}  // namespace

Result<Ref> load_records(RecordSource source) {
  // A JSON text is parsed whole, from its first byte; records cut by the
  // source (lines, or the elements of an array inside a document) make a
  // list.
  if (source.format() == InputFormat::Json && !source.entered()) return load_json(source);
  return load_list(std::move(source));
}

binding::Result<Ref> load(const CallArgs& args) {
  auto opened = open_records(args.path, args.format);
  if (!opened.ok()) return std::move(opened).error();
  return load_records(std::move(opened).value());
}

}  // namespace quarn::api::bigjson
