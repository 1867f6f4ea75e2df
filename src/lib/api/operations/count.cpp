// Counting records without parsing: a bracket-depth scan of JSON arrays and a
// non-blank line count of JSON Lines, both over the source's blocks.
#include <Python.h>

#include "api/operations/operations.hpp"
#include "records/format.hpp"
#include "records/nested.hpp"
#include "records/source.hpp"
#include "scan/scan.hpp"

namespace quarn::api::operations {
namespace {

// The scans touch nothing but their state: a file is counted without the
// interpreter lock (see RecordSource::scan_rest).
Result<std::uint64_t> count_array(RecordSource& source) {
  scan::CountState state;
  auto scanned = source.scan_rest([&state](std::span<const std::uint8_t> bytes) {
    scan::count_array(bytes.data(), bytes.size(), state);
    return true;
  });
  if (!scanned.ok()) return std::move(scanned).error();
  return state.has_content ? state.commas + 1 : std::uint64_t{0};
}

Result<std::uint64_t> count_lines(RecordSource& source) {
  scan::LineCount state;
  auto scanned = source.scan_rest([&state](std::span<const std::uint8_t> bytes) {
    scan::count_lines(bytes.data(), bytes.size(), state);
    return !state.invalid;
  });
  if (!scanned.ok()) return std::move(scanned).error();
  scan::finish_lines(state);
  if (state.invalid) return Error::runtime("read error: " + std::string(kInvalidUtf8));
  return state.lines;
}

}  // namespace

Result<std::uint64_t> count_records(RecordSource& source) {
  // An array inside a document ends at its own bracket, not at the file's end.
  if (source.entered()) return count_entered(source);
  auto layout = source.layout();
  if (!layout.ok()) return std::move(layout).error();
  switch (layout.value()) {
    case Layout::Lines:
      return count_lines(source);
    case Layout::Array:
      return count_array(source);
    case Layout::Document:
      // Anything but an array is one record, whatever follows.
      return std::uint64_t{1};
    case Layout::Empty:
      break;
  }
  return std::uint64_t{0};
}

}  // namespace quarn::api::operations
