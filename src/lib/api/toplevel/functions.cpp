#include <Python.h>

#include "api/toplevel/functions.hpp"

#include "api/fields.hpp"
#include "api/operations/operations.hpp"
#include "io/stream.hpp"
#include "json/infer.hpp"
#include "records/detect.hpp"
#include "records/format.hpp"
#include "records/nested.hpp"
#include "records/open.hpp"

namespace quarn::api::toplevel {

using binding::Error;
using binding::Result;
using io::InputFormat;
using io::seek_back;
using io::stream_position;
using records::open_record_source;
using records::parse_read_options;
using records::RecordSource;

Result<RecordSource> open_source(const CallArgs& args) {
  auto named = records::parse_format(args.format);
  if (!named.ok()) return std::move(named).error();
  auto options = parse_read_options(args.compressed);
  if (!options.ok()) return std::move(options).error();
  auto opened = open_record_source(args.source, options.value(), named.value());
  if (!opened.ok()) return opened;
  // An array's elements are exactly those a parse of the whole text finds.
  opened.value().reject_holes();
  if (args.records) {
    auto entered = records::enter_records(opened.value(), *args.records);
    if (!entered.ok()) return std::move(entered).error();
  }
  return opened;
}

Result<std::shared_ptr<const operations::RecordParser>> record_parser(const CallArgs& args) {
  if (args.fields == nullptr) return std::shared_ptr<const operations::RecordParser>();
  auto tree = fields::read_fields(args.fields);
  if (!tree.ok()) return std::move(tree).error();
  return fields::projection(std::move(tree).value());
}

namespace {

binding::Result<Ref> count_of(const CallArgs& args) {
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  auto n = operations::count_records(opened.value());
  if (!n.ok()) return std::move(n).error();
  Ref result = Ref::steal(PyLong_FromUnsignedLongLong(n.value()));
  if (!result) return Error::python();
  return result;
}

// A description as the str schema returns.
binding::Result<Ref> python_text(const std::string& text) {
  Ref result =
      Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!result) return Error::python();
  return result;
}

binding::Result<Ref> schema_of(const CallArgs& args) {
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  // One large document is described with each of its arrays sampled.
  if (!args.records && opened.value().format() == io::InputFormat::Json) {
    auto layout = opened.value().layout();
    if (!layout.ok()) return std::move(layout).error();
    if (layout.value() == records::Layout::Document) {
      auto text = records::describe_document(opened.value(), args.sample);
      if (!text.ok()) return std::move(text).error();
      return python_text(text.value());
    }
  }
  return operations::describe_records(opened.value(), args.sample, json::kMapKeys,
                                      operations::BadText::Reject);
}

binding::Result<Ref> outline_of(const CallArgs& args) {
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  RecordSource& source = opened.value();
  Ref text;
  Ref arrays = Ref::steal(PyList_New(0));
  if (!arrays) return Error::python();
  if (!args.records && source.format() == InputFormat::Json) {
    auto layout = source.layout();
    if (!layout.ok()) return std::move(layout).error();
    if (layout.value() == records::Layout::Document) {
      auto outline = records::outline_document(source, args.sample);
      if (!outline.ok()) return std::move(outline).error();
      auto schema = python_text(outline.value().schema);
      if (!schema.ok()) return std::move(schema).error();
      text = std::move(schema).value();
      for (const records::DocumentArray& array : outline.value().arrays) {
        Ref pointer = Ref::steal(PyUnicode_DecodeUTF8(array.pointer.data(),
                                                      static_cast<Py_ssize_t>(array.pointer.size()),
                                                      "surrogateescape"));
        Ref elements = Ref::steal(PyLong_FromUnsignedLongLong(array.elements));
        if (!pointer || !elements) return Error::python();
        Ref item = Ref::steal(
            PyTuple_Pack(3, pointer.get(), elements.get(), array.skipped ? Py_True : Py_False));
        if (!item || PyList_Append(arrays.get(), item.get()) < 0) return Error::python();
      }
    }
  }
  if (!text) {
    // Records that are lines or array elements: their schema, and no arrays
    // to point at.
    auto described = operations::describe_records(source, args.sample, json::kMapKeys,
                                                  operations::BadText::Reject);
    if (!described.ok()) return std::move(described).error();
    text = std::move(described).value();
  }
  Ref result = Ref::steal(PyTuple_Pack(2, text.get(), arrays.get()));
  if (!result) return Error::python();
  return result;
}

binding::Result<Ref> load_of(const CallArgs& args) {
  auto parser = record_parser(args);
  if (!parser.ok()) return std::move(parser).error();
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  return operations::load_records(std::move(opened).value(), std::move(parser).value());
}

binding::Result<Ref> iter_records_of(const CallArgs& args) {
  auto parser = record_parser(args);
  if (!parser.ok()) return std::move(parser).error();
  auto opened = open_source(args);
  if (!opened.ok()) return std::move(opened).error();
  return operations::iterate_records(std::move(opened).value(), std::move(parser).value(),
                                     operations::BadText::Reject);
}

// Runs an operation on what the caller holds. A call that fails (a read that
// raised, a signal, bad data) puts a caller's stream that can seek back where
// it stood, so that the call can simply be made again; what an unseekable
// stream handed out goes with the call.
//
// A signal that came after the last check inside the operation is met here,
// before the result is handed over: its handler's exception would otherwise
// come just after the return, with the result lost and the stream left at
// its end.
binding::Result<Ref> in_place(const CallArgs& args, binding::Result<Ref> (*op)(const CallArgs&)) {
  const std::optional<std::uint64_t> start = stream_position(args.source);
  auto result = op(args);
  if (result.ok() && PyErr_CheckSignals() < 0) result = Error::python();
  if (!result.ok() && start) seek_back(args.source, *start);
  return result;
}

}  // namespace

binding::Result<Ref> count(const CallArgs& args) {
  return in_place(args, count_of);
}
binding::Result<Ref> schema(const CallArgs& args) {
  return in_place(args, schema_of);
}
binding::Result<Ref> outline(const CallArgs& args) {
  return in_place(args, outline_of);
}
binding::Result<Ref> load(const CallArgs& args) {
  return in_place(args, load_of);
}
binding::Result<Ref> iter_records(const CallArgs& args) {
  return in_place(args, iter_records_of);
}

binding::Result<Ref> read_arrow(const CallArgs& args) {
  std::shared_ptr<const records::FieldTree> fields;
  if (args.fields != nullptr) {
    auto tree = fields::read_fields(args.fields);
    if (!tree.ok()) return std::move(tree).error();
    fields = std::move(tree).value();
  }
  return operations::arrow_reader([&args] { return open_source(args); }, args.sample, fields.get(),
                                  args.table);
}

}  // namespace quarn::api::toplevel
