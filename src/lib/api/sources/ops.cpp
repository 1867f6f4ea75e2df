#include <Python.h>

#include "api/sources/ops.hpp"

#include "api/bigjson/detect.hpp"
#include "api/bigjson/format.hpp"
#include "api/bigjson/infer.hpp"
#include "api/bigjson/nested.hpp"
#include "api/bigjson/ops.hpp"
#include "api/fields/fields.hpp"
#include "api/sources/stream.hpp"

namespace quarn::api::sources {
namespace {

using bigjson::InputFormat;
using bigjson::RecordSource;
using binding::Error;
using binding::Result;

// A path's bytes, with the format its name implies; a failed open is
// "cannot open <path>: ..." as in bigjson.
Result<RecordSource> open_path(std::string_view path, std::optional<InputFormat> format) {
  auto file = bigjson::File::open(path);
  if (!file.ok()) return std::move(file).error();
  auto opened =
      bigjson::open_by_content(std::make_unique<bigjson::FileSource>(std::move(file).value()),
                               format, bigjson::format_from_name(path));
  if (opened.ok()) return opened;
  // A read that fails while the content is looked at is placed as bigjson
  // places it.
  Error e = std::move(opened).error();
  if (e.kind == binding::ErrorKind::Python) return e;
  e.kind = binding::ErrorKind::ValueError;
  e.text = "cannot read " + std::string(path) + ": " + e.text;
  return e;
}

// Opens the caller's source (a str path or a binary stream) in the format
// it names or, without one, the format its content shows, positioned at the
// records `records` names.
Result<RecordSource> open_source(const CallArgs& args) {
  auto named = bigjson::parse_format(args.format);
  if (!named.ok()) return std::move(named).error();
  Result<RecordSource> opened = Error::python();
  if (PyUnicode_Check(args.source)) {
    Py_ssize_t len = 0;
    const char* path = PyUnicode_AsUTF8AndSize(args.source, &len);
    if (path == nullptr) return Error::python();
    opened = open_path(std::string_view(path, static_cast<std::size_t>(len)), named.value());
  } else {
    auto stream = StreamSource::open(args.source, args.compressed);
    if (!stream.ok()) return std::move(stream).error();
    opened = bigjson::open_by_content(std::move(stream).value(), named.value(), std::nullopt);
  }
  if (!opened.ok()) return opened;
  // An array's elements are exactly those a parse of the whole text finds.
  opened.value().reject_holes();
  if (args.records) {
    auto entered = bigjson::enter_records(opened.value(), *args.records);
    if (!entered.ok()) return std::move(entered).error();
  }
  return opened;
}

// What makes each record: the whole of it, or the parts `fields` names.
Result<std::shared_ptr<const bigjson::RecordParser>> record_parser(const CallArgs& args) {
  if (args.fields == nullptr) return std::shared_ptr<const bigjson::RecordParser>();
  auto tree = fields::read_fields(args.fields);
  if (!tree.ok()) return std::move(tree).error();
  return fields::projection(std::move(tree).value());
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
  return bigjson::describe_records(opened.value(), args.sample, bigjson::kMapKeys,
                                   bigjson::BadText::Reject);
}

binding::Result<Ref> outline(const CallArgs& args) {
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  RecordSource& source = opened.value();
  if (!args.records && source.format() == InputFormat::Json) {
    auto layout = source.layout();
    if (!layout.ok()) return std::move(layout).error();
    if (layout.value() == bigjson::Layout::Document) {
      return bigjson::outline_document(source, args.sample);
    }
  }
  // Records that are lines or array elements: their schema, and no arrays
  // to point at.
  auto text =
      bigjson::describe_records(source, args.sample, bigjson::kMapKeys, bigjson::BadText::Reject);
  if (!text.ok()) return std::move(text).error();
  Ref none = Ref::steal(PyList_New(0));
  if (!none) return Error::python();
  Ref result = Ref::steal(PyTuple_Pack(2, text.value().get(), none.get()));
  if (!result) return Error::python();
  return result;
}

binding::Result<Ref> load(const CallArgs& args) {
  auto parser = record_parser(args);
  if (!parser.ok()) return std::move(parser).error();
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  return bigjson::load_records(std::move(opened).value(), std::move(parser).value());
}

binding::Result<Ref> iter_records(const CallArgs& args) {
  auto parser = record_parser(args);
  if (!parser.ok()) return std::move(parser).error();
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  return bigjson::iterate_records(std::move(opened).value(), std::move(parser).value(),
                                  bigjson::BadText::Reject);
}

}  // namespace quarn::api::sources
