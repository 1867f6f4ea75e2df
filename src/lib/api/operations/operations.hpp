// The record operations every front end runs, on a source whose format is
// fixed, whatever opened it: count, load, iterate (the RecordIterator type)
// and describe. The front ends (bigjson, the top-level functions, the split
// pieces) differ only in how they open the source and what they pass here.
#pragma once

#include <Python.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "api/operations/reader.hpp"
#include "binding/ref.hpp"
#include "binding/result.hpp"
#include "records/field_tree.hpp"
#include "records/source.hpp"

namespace quarn::api::operations {

// `parser`, when given, makes the value of each record (see RecordParser).
// load never repairs text.
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

// The records of the source `open` opens (once `table` was found good) as
// Arrow record batches (an ArrowReader, see arrow_reader.cpp): columns
// inferred from the first `sample` records (only those `fields` names, when
// given) unless `table` gives them; `table` is null or (batch_rows,
// batch_bytes, on_conflict, new_keys, jobs, skip_bad, schema) as the package
// passes it.
[[nodiscard]] Result<Ref> arrow_reader(const std::function<Result<RecordSource>()>& open,
                                       std::uint64_t sample, const records::FieldTree* fields,
                                       PyObject* table);
// The ArrowReader type, made on first use and kept for the process's life (a
// borrowed reference).
[[nodiscard]] Result<PyObject*> arrow_reader_type();

// The RecordIterator type, built on first use and kept for the process's
// life (a borrowed reference).
[[nodiscard]] Result<PyObject*> record_iterator_type();

}  // namespace quarn::api::operations
