// The pieces of a file: the stream of one piece as the record source reads
// it, and the scans a piece needs, none of which calls into the interpreter.
#include <Python.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "api/split/split.hpp"
#include "json/parser.hpp"
#include "json/text.hpp"

namespace quarn::api::split {
namespace {

constexpr std::size_t kChunk = 1 << 16;

// Reads [start, end) of `file` in chunks, handing each to `use`, which
// returns false to stop early.
template <class F>
Status for_chunks(const SharedFile& file, std::uint64_t start, std::uint64_t end, F&& use) {
  std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kChunk]);
  for (std::uint64_t at = start; at < end;) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, end - at));
    auto got = file.pread(at, buf.get(), want);
    if (!got.ok()) return std::move(got).error();
    if (got.value() == 0) break;
    if (!use(buf.get(), got.value(), at)) break;
    at += got.value();
  }
  return binding::ok_status();
}

using json::NullSink;

}  // namespace

std::unique_ptr<RangeSource> piece_source(std::unique_ptr<io::ByteSource> body,
                                          const ByteRange& piece) {
  // An array piece is a whole array to the record source. A JSON Lines piece
  // after the first starts with a blank line, so that a byte-order mark at
  // its start is a line's content, as it is to a reader of the whole file.
  std::string prefix = piece.array ? "[" : (piece.first ? "" : "\n");
  std::string suffix = piece.array && piece.close ? "]" : "";
  return std::make_unique<RangeSource>(std::move(prefix), std::move(body), std::move(suffix));
}

records::RecordSource piece_records(std::unique_ptr<io::ByteSource> body, const ByteRange& piece) {
  records::RecordSource source(piece_source(std::move(body), piece));
  source.begin(piece.array ? io::InputFormat::Json : io::InputFormat::Jsonl);
  // Good means good to the whole file's top-level reader: a hole, a
  // trailing comma or text that is not UTF-8 anywhere sends the file back
  // to it, which reports the first fault in order.
  source.reject_holes();
  // The piece's stream opens the array itself: an element nested too deep
  // for where it lies in the file is too deep here as well.
  source.set_element_depth(piece.depth);
  return source;
}

Result<std::array<scan::RangeSummary, 3>> summarize_file(const SharedFile& file,
                                                         std::uint64_t start, std::uint64_t end) {
  Summarizer summary;
  auto read = for_chunks(file, start, end, [&](const std::uint8_t* p, std::size_t n, auto) {
    summary.feed(p, n);
    return true;
  });
  if (!read.ok()) return std::move(read).error();
  return summary.result();
}

Result<std::int64_t> find_separator(const SharedFile& file, std::uint64_t start, std::uint64_t stop,
                                    scan::ArrayScan state) {
  std::int64_t found = -1;
  auto read = for_chunks(file, start, stop, [&](const std::uint8_t* p, std::size_t n, auto at) {
    const std::size_t i = scan::find_element_end(p, n, state);
    if (i == n) return true;
    found = static_cast<std::int64_t>(at + i);
    return false;
  });
  if (!read.ok()) return std::move(read).error();
  return found;
}

Result<PieceCount> count_array_piece(const SharedFile& file, std::uint64_t start, std::uint64_t end,
                                     scan::ArrayScan state) {
  scan::CountState count;
  count.scan = state;
  auto read = for_chunks(file, start, end, [&](const std::uint8_t* p, std::size_t n, auto) {
    scan::count_array(p, n, count);
    return true;
  });
  if (!read.ok()) return std::move(read).error();
  return PieceCount{count.commas, count.has_content, false};
}

Result<PieceCount> count_lines_piece(const SharedFile& file, std::uint64_t start,
                                     std::uint64_t end) {
  scan::LineCount lines;
  auto read = for_chunks(file, start, end, [&](const std::uint8_t* p, std::size_t n, auto) {
    scan::count_lines(p, n, lines);
    return !lines.invalid;
  });
  if (!read.ok()) return std::move(read).error();
  scan::finish_lines(lines);
  return PieceCount{lines.lines, false, lines.invalid};
}

Result<std::optional<std::uint64_t>> validate_piece(std::shared_ptr<const SharedFile> file,
                                                    const ByteRange& piece) {
  records::RecordSource source =
      piece_records(std::make_unique<FileRange>(std::move(file), piece.start, piece.end), piece);
  NullSink sink;
  std::uint64_t records = 0;
  for (;;) {
    auto got = source.next();
    if (!got.ok()) return std::optional<std::uint64_t>();
    const auto cut = got.value().cut;
    if (cut == records::RecordSource::Cut::Truncated) return std::optional<std::uint64_t>();
    if (cut == records::RecordSource::Cut::End) break;
    const std::string_view text = json::trim_unicode_whitespace(got.value().text);
    if (text.empty()) continue;
    if (json::parse(text, sink, source.element_depth())) return std::optional<std::uint64_t>();
    if (!scan::validate_utf8(text)) {
      return std::optional<std::uint64_t>();
    }
    ++records;
  }
  if (piece.array && !source.check_after_array().ok()) return std::optional<std::uint64_t>();
  return std::optional<std::uint64_t>(records);
}

}  // namespace quarn::api::split
