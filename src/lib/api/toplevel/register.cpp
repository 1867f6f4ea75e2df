// The sources feature area: the record operations over every kind of source
// a caller holds, for the package's top-level functions. It opens and
// resolves sources its own way and runs the same record operations as
// bigjson on them.
#include <Python.h>

#include "api/api.hpp"
#include "api/operations/operations.hpp"
#include "api/toplevel/functions.hpp"
#include "records/format.hpp"
#include "records/nested.hpp"

namespace quarn::api::toplevel {
namespace {

using binding::FunctionSpec;
using binding::Param;

constexpr FunctionSpec kOutline = {
    "outline",
    "outline(source, sample=100, format=None, records=None, compressed=None)\n"
    "--\n"
    "\n"
    "(schema, arrays): the schema of `source`, as `schema` gives it, and where the records\n"
    "could be. For one JSON document (not an array), each array is described from its\n"
    "first `sample` elements, and arrays lists (pointer, elements seen, skipped) for each\n"
    "array outside any other array and each array whose rest was skipped. Skips scan at\n"
    "most a few MiB in all; past that reading stops and what follows is not described.\n"
    "For anything else arrays is empty.",
    {Param::Source, Param::Sample, Param::Format, Param::Records, Param::Compressed},
    5,
    &outline,
};

constexpr FunctionSpec kCount = {
    "count",
    "count(source, format=None, records=None, compressed=None)\n"
    "--\n"
    "\n"
    "The number of records of `source` (a str or bytes path, '-' for standard input, or a\n"
    "binary stream), found without parsing. Without `format`, the content decides it.\n"
    "`compressed` says how the bytes are read: None, or (compression, on_read) with\n"
    "compression 'infer', a compression's name or None, and on_read None or a callable\n"
    "called as on_read(bytes read, total bytes or 0, at end) after every read.",
    {Param::Source, Param::Format, Param::Records, Param::Compressed},
    4,
    &count,
};

constexpr FunctionSpec kSchema = {
    "schema",
    "schema(source, sample=100, format=None, records=None, compressed=None)\n"
    "--\n"
    "\n"
    "The merged structure of the first `sample` records of `source`, as indented JSON.",
    {Param::Source, Param::Sample, Param::Format, Param::Records, Param::Compressed},
    5,
    &schema,
};

constexpr FunctionSpec kLoad = {
    "load",
    "load(source, format=None, records=None, compressed=None, fields=None)\n"
    "--\n"
    "\n"
    "The whole of `source` as Python objects; with `fields` (names and JSON Pointers),\n"
    "each record holds only those.",
    {Param::Source, Param::Format, Param::Records, Param::Compressed, Param::Fields},
    5,
    &load,
};

constexpr FunctionSpec kIterRecords = {
    "iter_records",
    "iter_records(source, format=None, records=None, compressed=None, fields=None)\n"
    "--\n"
    "\n"
    "A lazy iterator over the records of `source`; with `fields`, as for `load`.",
    {Param::Source, Param::Format, Param::Records, Param::Compressed, Param::Fields},
    5,
    &iter_records,
};

constexpr FunctionSpec kDumpLines = {
    "dump_lines",
    "dump_lines(source)\n"
    "--\n"
    "\n"
    "The records of the list `source` as JSON Lines bytes, each written as\n"
    "json.dumps(record, ensure_ascii=False, separators=(',', ':')) writes it; None\n"
    "when a record holds anything json.dumps alone writes right.",
    {Param::Source},
    1,
    &dump_lines,
};

constexpr FunctionSpec kReadArrow = {
    "read_arrow",
    "read_arrow(source, format=None, records=None, compressed=None, fields=None, sample=1000,\n"
    "           table=None)\n"
    "--\n"
    "\n"
    "The records of `source` as Arrow record batches (an ArrowReader). The columns are\n"
    "inferred from the first `sample`\n"
    "records (only those `fields` names, with `fields`); `table` is None or (batch_rows,\n"
    "batch_bytes, on_conflict, new_keys, jobs, skip_bad, schema): on_conflict 'error', 'null' or "
    "'text',\n"
    "new_keys 'ignore' or 'error', schema None (inferred) or the columns as given.",
    {Param::Source, Param::Format, Param::Records, Param::Compressed, Param::Fields, Param::Sample,
     Param::Table},
    7,
    &read_arrow,
};

constexpr FunctionSpec kJsonLines = {
    "json_lines",
    "json_lines(source, format=None, records=None, compressed=None)\n"
    "--\n"
    "\n"
    "The records of `source` as JSON Lines: an iterator of bytes chunks of about 1 MiB,\n"
    "each record on one line as its own bytes without the whitespace outside its strings,\n"
    "checked as iter_records checks it (a bad record raises its error after the lines\n"
    "before it). bytes_read, total_bytes and records count what was read and written.",
    {Param::Source, Param::Format, Param::Records, Param::Compressed},
    4,
    &json_lines,
};

PyMethodDef functions[] = {
    method_def<kCount>(),       method_def<kSchema>(),    method_def<kLoad>(),
    method_def<kIterRecords>(), method_def<kDumpLines>(), method_def<kOutline>(),
    method_def<kReadArrow>(),   method_def<kJsonLines>(),
};

}  // namespace

Status register_area(PyObject* parent) {
  auto made = new_submodule(parent, "_sources", false);
  if (!made.ok()) return std::move(made).error();
  for (PyMethodDef& def : functions) {
    auto added = add_function(made.value().get(), &def);
    if (!added.ok()) return added;
  }
  auto type = operations::arrow_reader_type();
  if (!type.ok()) return std::move(type).error();
  return add_class(made.value().get(), "ArrowReader", type.value());
}

}  // namespace quarn::api::toplevel
