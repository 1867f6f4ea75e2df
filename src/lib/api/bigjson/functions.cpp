// The bigjson functions: a path and a format name open the record source,
// and the shared record operations do the rest.
#include <Python.h>

#include "api/bigjson/functions.hpp"

#include "api/operations/operations.hpp"
#include "records/format.hpp"

namespace quarn::api::bigjson {

using binding::CallArgs;
using binding::Error;
using binding::Ref;
using operations::count_records;
using operations::describe_records;
using operations::iterate_records;
using operations::load_records;
using records::open_records;

binding::Result<Ref> count(const CallArgs& args) {
  auto opened = open_records(args.path, args.format);
  if (!opened.ok()) return std::move(opened).error();
  auto n = count_records(opened.value());
  if (!n.ok()) return std::move(n).error();
  Ref result = Ref::steal(PyLong_FromUnsignedLongLong(n.value()));
  if (!result) return Error::python();
  return result;
}

binding::Result<Ref> schema(const CallArgs& args) {
  auto opened = open_records(args.path, args.format);
  if (!opened.ok()) return std::move(opened).error();
  return describe_records(opened.value(), args.sample);
}

binding::Result<Ref> load(const CallArgs& args) {
  auto opened = open_records(args.path, args.format);
  if (!opened.ok()) return std::move(opened).error();
  return load_records(std::move(opened).value());
}

binding::Result<Ref> iter_records(const CallArgs& args) {
  auto opened = open_records(args.path, args.format);
  if (!opened.ok()) return std::move(opened).error();
  return iterate_records(std::move(opened).value());
}

}  // namespace quarn::api::bigjson
