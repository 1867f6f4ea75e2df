// Splitting one file into byte ranges that workers read independently and
// exactly: every record belongs to the range its text starts in.
//
// JSON Lines ranges need nothing but their own bytes: a line starts at the
// file's first line or after a line feed. A JSON array needs the state at
// each range start (inside a string or not, escaped or not, at what depth),
// which follows from the bytes before it. Each worker summarises its range
// for every start state it could have (summary.cpp); the summaries combine
// left to right in a step that costs a few integers per range, fixing each
// range's true start state; each worker then cuts its records from that
// exact state. The cutting is the record source's own: a range's stream is
// a '[' followed by the bytes of its elements and, where the array goes on,
// a ']' in place of the separator after its last one (RangeSource).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "io/file.hpp"
#include "io/range.hpp"
#include "records/source.hpp"
#include "scan/scan.hpp"

namespace quarn::api::split {

using binding::Error;
using binding::Result;
using binding::Status;

using io::FileRange;
using io::RangeSource;
using io::SharedFile;

// What a range's stream is made of: its records are those of a record source
// over it (`kind` Lines or Array).
struct ByteRange {
  bool array;
  bool first;  // the range that holds the first record (no padding needed)
  std::uint64_t start, end;
  bool close;  // an array whose elements go on past `end`: close it there
  // Containers open around each element of the array in the whole file (the
  // array included), which count towards the parser's nesting limit there.
  std::size_t depth;
};

// The piece's stream over `body`, the file's bytes [start, end) (a local
// file's FileRange, or a caller's stream of a remote file's range): the one
// place that says how a piece is made a whole array or JSON Lines text.
[[nodiscard]] std::unique_ptr<RangeSource> piece_source(std::unique_ptr<io::ByteSource> body,
                                                        const ByteRange& piece);

// The records of the piece over `body`, exactly as the whole file's
// top-level reader takes them: no holes, each element as deep as it lies in
// the file.
[[nodiscard]] records::RecordSource piece_records(std::unique_ptr<io::ByteSource> body,
                                                  const ByteRange& piece);

// --- Summaries ---------------------------------------------------------------
// The three start states a range of an array can have.
enum class Start : unsigned char { Outside, Inside, Escaped };

// A range's summary for each start state, fed block by block. Start states
// whose string states have met share the scan from there on: one scan per
// distinct string state, which past the first escaped quote of a JSON text
// is usually one.
class Summarizer {
 public:
  Summarizer();
  void feed(const std::uint8_t* p, std::size_t n);
  [[nodiscard]] const std::array<scan::RangeSummary, 3>& result() const { return acc_; }
  void set(const std::array<scan::RangeSummary, 3>& acc) { acc_ = acc; }

 private:
  std::array<scan::RangeSummary, 3> acc_;
};

// Summarises [start, end) of `file` (no interpreter calls: run it without
// the GIL).
[[nodiscard]] Result<std::array<scan::RangeSummary, 3>> summarize_file(const SharedFile& file,
                                                                       std::uint64_t start,
                                                                       std::uint64_t end);

// The first separator (',' or ']') at depth 1 outside strings at or after
// `start` (before `stop`), from `state`; -1 when there is none.
[[nodiscard]] Result<std::int64_t> find_separator(const SharedFile& file, std::uint64_t start,
                                                  std::uint64_t stop, scan::ArrayScan state);

// Counts of one piece without the interpreter: an array piece from its exact
// state (depth-1 commas and content), a JSON Lines piece its non-blank lines
// (invalid set for bad UTF-8).
struct PieceCount {
  std::uint64_t commas = 0;
  bool content = false;
  bool invalid = false;
};
[[nodiscard]] Result<PieceCount> count_array_piece(const SharedFile& file, std::uint64_t start,
                                                   std::uint64_t end, scan::ArrayScan state);
[[nodiscard]] Result<PieceCount> count_lines_piece(const SharedFile& file, std::uint64_t start,
                                                   std::uint64_t end);

// Parses every record of a piece as the reader would, without building
// objects: the number of records, or nothing when one of them (or what
// follows the array) is bad, which the caller then reports by reading the
// file in order.
[[nodiscard]] Result<std::optional<std::uint64_t>> validate_piece(
    std::shared_ptr<const SharedFile> file, const ByteRange& piece);

}  // namespace quarn::api::split
