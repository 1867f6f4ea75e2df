// The operations of the bigjson feature area, as the call boundary runs them.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>

#include "binding/boundary.hpp"
#include "records/reader.hpp"
#include "records/source.hpp"

namespace quarn::api::bigjson {

// The bigjson functions are a front end over the record source.
using namespace records;  // NOLINT(google-build-using-namespace)
using binding::KeyCache;
using binding::PySink;
using binding::ShapeCache;

using binding::CallArgs;
using binding::Ref;

[[nodiscard]] binding::Result<Ref> count(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> schema(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> load(const CallArgs& args);
[[nodiscard]] binding::Result<Ref> iter_records(const CallArgs& args);

// The four operations on a source whose format is fixed, whatever opened
// it: every feature area that reads records runs these. `parser`, when
// given, makes the value of each record (see RecordParser). load never
// repairs text.
[[nodiscard]] Result<std::uint64_t> count_records(RecordSource& source);
[[nodiscard]] Result<Ref> load_records(RecordSource source,
                                       std::shared_ptr<const RecordParser> parser = nullptr);
[[nodiscard]] Result<Ref> iterate_records(RecordSource source,
                                          std::shared_ptr<const RecordParser> parser = nullptr,
                                          BadText bad_text = BadText::Replace);
// `map_keys`: see StructureMerger (infer.hpp); the bigjson layer describes
// every key.
[[nodiscard]] Result<Ref> describe_records(RecordSource& source, std::uint64_t sample,
                                           std::size_t map_keys = SIZE_MAX,
                                           BadText bad_text = BadText::Replace);

// The RecordIterator type, built on first use and kept for the process's
// life (a borrowed reference).
[[nodiscard]] binding::Result<PyObject*> record_iterator_type();

}  // namespace quarn::api::bigjson
