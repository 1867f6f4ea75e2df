#include "api/sources/ops.hpp"

#include "api/bigjson/format.hpp"
#include "api/bigjson/nested.hpp"
#include "api/bigjson/ops.hpp"

namespace quarn::api::sources {
namespace {

using bigjson::RecordSource;
using binding::Error;
using binding::Result;

// Opens the caller's source in its resolved format, positioned at the
// records `records` names.
Result<RecordSource> open_source(const CallArgs& args) {
  if (!PyUnicode_Check(args.source)) return binding::type_check_error(args.source, "str");
  Py_ssize_t len = 0;
  const char* path = PyUnicode_AsUTF8AndSize(args.source, &len);
  if (path == nullptr) return Error::python();
  auto opened =
      bigjson::open_records(std::string_view(path, static_cast<std::size_t>(len)), args.format);
  if (!opened.ok()) return std::move(opened).error();
  if (args.records) {
    auto entered = opened.value().enter(*args.records);
    if (!entered.ok()) return std::move(entered).error();
  }
  return opened;
}

}  // namespace

binding::Result<Ref> count(const CallArgs& args) {
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  auto n = bigjson::count_records(opened.value());
  if (!n.ok()) return std::move(n).error();
  Ref result = Ref::steal(PyLong_FromUnsignedLongLong(n.value()));
  if (!result) return Error::python();
  return result;
}

binding::Result<Ref> schema(const CallArgs& args) {
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  // One large document is described with each of its arrays sampled.
  if (!args.records && opened.value().format() == bigjson::InputFormat::Json) {
    auto layout = opened.value().layout();
    if (!layout.ok()) return std::move(layout).error();
    if (layout.value() == bigjson::Layout::Document) {
      return bigjson::describe_document(opened.value(), args.sample);
    }
  }
  return bigjson::describe_records(opened.value(), args.sample);
}

binding::Result<Ref> load(const CallArgs& args) {
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  return bigjson::load_records(std::move(opened).value());
}

binding::Result<Ref> iter_records(const CallArgs& args) {
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  return bigjson::iterate_records(std::move(opened).value());
}

}  // namespace quarn::api::sources
