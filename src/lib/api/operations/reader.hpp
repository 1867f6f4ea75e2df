// The streaming record reader: pulls the records of one source one at a
// time, as Python objects, with the byte counters behind progress bars.
//
// The source cuts the records (array elements, lines, or the one document)
// and the reader parses each where it lies, so memory is bounded by the
// largest record.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "binding/pysink.hpp"
#include "binding/ref.hpp"
#include "json/parser.hpp"
#include "records/format.hpp"
#include "records/source.hpp"

namespace quarn::api::operations {

using binding::Error;
using binding::KeyCache;
using binding::PySink;
using binding::Ref;
using binding::Result;
using binding::ShapeCache;
using binding::Status;
using io::kInvalidUtf8;
using records::InputFormat;
using records::Layout;
using records::open_records;
using records::RecordSource;

// How the text of a record becomes its value: the whole record by default,
// or what a front end that builds part of each record supplies.
class RecordParser {
 public:
  virtual ~RecordParser() = default;
  // json::parse's contract: on success exactly one value is on the sink.
  // With `document`, `text` is a whole JSON text whose records are the
  // elements of its top-level array (or the text itself when it is not an
  // array), and the value is what `load` returns for it. `depth`: as
  // json::parse's.
  [[nodiscard]] virtual std::optional<json::ParseError> parse(std::string_view text, PySink& sink,
                                                              bool document,
                                                              std::size_t depth) const = 0;
};

// What a record reader does with an array element (or a whole document)
// that holds bytes that are not UTF-8: the bigjson layer reads them as
// U+FFFD; the top-level layer reports the record as load reports the file
// ("read error: stream did not contain valid UTF-8"). A JSON Lines line is
// always reported.
enum class BadText { Replace, Reject };

class RecordReader {
 public:
  // A reader over a source whose format is fixed (`begin` called); `parser`,
  // when given, makes the value of each record; `bad_text` says what an
  // element that is not UTF-8 gives (see BadText).
  explicit RecordReader(RecordSource source, std::shared_ptr<const RecordParser> parser = nullptr,
                        BadText bad_text = BadText::Replace);

  // Opens `path`, resolving `format` as every operation does.
  [[nodiscard]] static Result<std::unique_ptr<RecordReader>> open(
      std::string_view path, std::optional<std::string_view> format);

  // The next record (a new reference), an empty Ref at the end, or an error.
  // After an error the reader stays usable and goes on after the bad record;
  // a record whose objects a signal handler interrupted comes again.
  [[nodiscard]] Result<Ref> next_record();

  // Bytes taken from the source; 0 until the first record is asked for, even
  // where detecting the format has already read the first block.
  [[nodiscard]] std::uint64_t bytes_read() const { return started_ ? source_.bytes_read() : 0; }
  [[nodiscard]] std::uint64_t total_bytes() const { return source_.total_bytes(); }

  // The sink that builds the records, for a caller that holds their tracking.
  [[nodiscard]] PySink& sink() { return sink_; }

 private:
  // Parses one array element or document (trimmed here); an empty Ref when
  // it is blank.
  Result<Ref> finalize(std::string_view raw);
  [[nodiscard]] std::optional<json::ParseError> parse(std::string_view text);

  RecordSource source_;
  std::shared_ptr<const RecordParser> parser_;
  KeyCache keys_;
  ShapeCache shapes_;
  PySink sink_;
  BadText bad_text_;
  bool started_ = false;
};

// Parses `text` into a Python object with `sink` (and `parser`, when given,
// as a document when `document`). Invalid UTF-8 in the text is reported as a
// read error; a parse error as `prefix` + the parser's message, positions
// counted within `text`.
[[nodiscard]] Result<Ref> parse_to_python(std::string_view text, PySink& sink,
                                          std::string_view prefix,
                                          const RecordParser* parser = nullptr,
                                          bool document = false);

}  // namespace quarn::api::operations
