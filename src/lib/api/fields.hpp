// Projection: the records with only the members a caller names, for `load`
// and `iter_records` with `fields=`.
//
// The parser reads each record whole, so it is checked as without
// projection, and a projecting sink (project.hpp) makes only what the
// fields name; the record source, the reader and the Python sink are those
// of every other way of reading.
#pragma once

#include <Python.h>

#include <memory>

#include "api/operations/reader.hpp"
#include "binding/result.hpp"
#include "records/field_tree.hpp"

namespace quarn::api::fields {

using records::FieldTree;

// The tree of a caller's fields: a list or tuple of str, each a member name
// or a JSON Pointer ("/user/screen_name").
[[nodiscard]] binding::Result<std::shared_ptr<const FieldTree>> read_fields(PyObject* fields);

// The record parser that keeps the members `tree` names (see RecordParser).
[[nodiscard]] std::shared_ptr<const operations::RecordParser> projection(
    std::shared_ptr<const FieldTree> tree);

}  // namespace quarn::api::fields
