// Registration of the bigjson feature area: its function table and class.
#include <Python.h>

#include "api/api.hpp"
#include "api/bigjson/functions.hpp"
#include "api/operations/operations.hpp"

namespace quarn::api::bigjson {
namespace {

using binding::FunctionSpec;
using binding::Param;

constexpr FunctionSpec kCount = {
    "count",
    "count(path, format=None)\n"
    "--\n"
    "\n"
    "Count the number of top-level records in a JSON or JSONL file.\n"
    "\n"
    "- For JSON whose top level is an array `[ ... ]`, this is the number of\n"
    "  array elements (`[]` -> 0). Any other single JSON value counts as 1.\n"
    "- For JSONL, this is the number of non-empty lines.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"` (detected\n"
    "from the file extension, then the first byte).",
    {Param::Path, Param::Format},
    2,
    &count,
};

constexpr FunctionSpec kSchema = {
    "schema",
    "schema(path, sample=100, format=None)\n"
    "--\n"
    "\n"
    "Infer the structure of the records in a JSON / JSONL file.\n"
    "\n"
    "Reads at most `sample` records (default 100) and returns a pretty-printed\n"
    "JSON string describing their merged structure.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.",
    {Param::Path, Param::Sample, Param::Format},
    3,
    &schema,
};

constexpr FunctionSpec kLoad = {
    "load",
    "load(path, format=None)\n"
    "--\n"
    "\n"
    "Load a JSON / JSONL file fully into memory and return it as a Python object.\n"
    "\n"
    "- JSON: returns the parsed top-level document (list / dict / scalar), exactly\n"
    "  like `json.load`.\n"
    "- JSONL: returns a `list` with one entry per non-empty line.\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.\n"
    "\n"
    "This reads everything at once; use `iter_records` for constant-memory\n"
    "streaming over large files.",
    {Param::Path, Param::Format},
    2,
    &load,
};

constexpr FunctionSpec kIterRecords = {
    "iter_records",
    "iter_records(path, format=None)\n"
    "--\n"
    "\n"
    "Return a lazy iterator over the records of a JSON / JSONL file.\n"
    "\n"
    "Yields one record at a time without loading the whole file:\n"
    "- JSON array: each element;\n"
    "- JSON scalar / object: the single value (once);\n"
    "- JSONL: each non-empty line.\n"
    "\n"
    "The iterator exposes `bytes_read` and `total_bytes` for progress bars\n"
    "(percent = bytes_read / total_bytes).\n"
    "\n"
    "`format` may be `\"json\"`, `\"jsonl\"`/`\"ndjson\"`, or `None`/`\"auto\"`.",
    {Param::Path, Param::Format},
    2,
    &iter_records,
};

// Registration order is the order of __all__.
PyMethodDef functions[] = {
    method_def<kCount>(),
    method_def<kSchema>(),
    method_def<kLoad>(),
    method_def<kIterRecords>(),
};

}  // namespace

Status register_area(PyObject* parent) {
  auto made = new_submodule(parent, "bigjson");
  if (!made.ok()) return std::move(made).error();
  Ref module = std::move(made).value();
  for (PyMethodDef& def : functions) {
    auto added = add_function(module.get(), &def);
    if (!added.ok()) return added;
  }
  auto type = operations::record_iterator_type();
  if (!type.ok()) return std::move(type).error();
  return add_class(module.get(), "RecordIterator", type.value());
}

}  // namespace quarn::api::bigjson
