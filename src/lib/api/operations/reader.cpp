#include <Python.h>

#include "api/operations/reader.hpp"

#include <cstring>

#include "json/parser.hpp"
#include "json/text.hpp"
#include "records/format.hpp"

namespace quarn::api::operations {
namespace {

Error invalid_utf8_error() {
  return Error::runtime("read error: " + std::string(kInvalidUtf8));
}

// Turns a failed parse into its error; `sink` still holds what the parse left.
Error parse_failure(std::string_view text, PySink& sink, const json::ParseError& err,
                    std::string_view prefix) {
  bool bad_text = sink.invalid_utf8();
  sink.reset();
  if (err.code == json::ErrorCode::SinkFailed && !bad_text) return Error::python();
  // A parse that stopped early may have stopped at bytes that are not text at
  // all: those are reported as such, whichever came first.
  if (bad_text || !scan::validate_utf8(text)) return invalid_utf8_error();
  return Error::value(std::string(prefix) + json::describe(text, err));
}

}  // namespace

Result<Ref> parse_to_python(std::string_view text, PySink& sink, std::string_view prefix,
                            const RecordParser* parser, bool document) {
  auto err = parser != nullptr ? parser->parse(text, sink, document, 0) : json::parse(text, sink);
  if (!err) return Ref::steal(sink.take());
  return parse_failure(text, sink, *err, prefix);
}

Result<std::unique_ptr<RecordReader>> RecordReader::open(std::string_view path,
                                                         std::optional<std::string_view> format) {
  auto opened = open_records(path, format);
  if (!opened.ok()) return std::move(opened).error();
  return std::make_unique<RecordReader>(std::move(opened).value());
}

RecordReader::RecordReader(RecordSource source, std::shared_ptr<const RecordParser> parser,
                           BadText bad_text)
    : source_(std::move(source)),
      parser_(std::move(parser)),
      keys_(source_.total_bytes() ? source_.total_bytes() : SIZE_MAX),
      shapes_(source_.total_bytes() ? source_.total_bytes() : SIZE_MAX),
      sink_(keys_, shapes_),
      bad_text_(bad_text) {
  source_.track_lines();
}

std::optional<json::ParseError> RecordReader::parse(std::string_view text) {
  const std::size_t depth = source_.element_depth();
  if (parser_) return parser_->parse(text, sink_, false, depth);
  return json::parse(text, sink_, depth);
}

Result<Ref> RecordReader::finalize(std::string_view raw) {
  // Where holes are errors, an element is taken as a whole-document parse
  // takes it: only the parser's own whitespace around it.
  std::string_view text = source_.rejects_holes() ? raw : json::trim_unicode_whitespace(raw);
  if (text.empty()) return Ref();
  auto err = parse(text);
  if (!err) return Ref::steal(sink_.take());
  bool bad_text = sink_.invalid_utf8();
  sink_.reset();
  if (err->code == json::ErrorCode::SinkFailed && !bad_text) return Error::python();
  // The sink validated every string it built, so only a failed parse looks
  // at the bytes again; as in load, bytes that are not text are reported as
  // such, whichever came first.
  if (!bad_text && scan::validate_utf8(raw)) {
    // Where records are those of a whole-document parse, a document that is
    // no array fails as `load` fails on it.
    if (source_.rejects_holes() && source_.layout().value() == Layout::Document) {
      return source_.document_error(text, err->index, json::message(err->code));
    }
    return Error::value("invalid JSON element: " + json::describe(text, *err));
  }
  if (bad_text_ == BadText::Reject) return invalid_utf8_error();
  // Bytes that are not UTF-8 become U+FFFD, and the repaired text is parsed.
  std::string repaired = json::decode_replacing(raw);
  text = json::trim_unicode_whitespace(repaired);
  if (text.empty()) return Ref();
  err = parse(text);
  if (!err) return Ref::steal(sink_.take());
  sink_.reset();
  if (err->code == json::ErrorCode::SinkFailed) return Error::python();
  return Error::value("invalid JSON element: " + json::describe(text, *err));
}

Result<Ref> RecordReader::next_record() {
  started_ = true;
  for (;;) {
    auto got = source_.next();
    if (!got.ok()) return std::move(got).error();
    const RecordSource::Piece piece = got.value();
    if (piece.cut == RecordSource::Cut::Truncated) {
      // The file ended inside the array: the unfinished element is not a
      // record, and the error is the one a whole-file parse reports.
      return source_.truncation_error(piece.text);
    }
    if (piece.cut == RecordSource::Cut::End) {
      if (source_.layout().value() == Layout::Array) {
        auto rest = source_.check_after_array();
        if (!rest.ok()) return std::move(rest).error();
      }
      return Ref();
    }
    Result<Ref> record = Ref();
    if (source_.layout().value() == Layout::Lines) {
      std::string_view text = json::trim_unicode_whitespace(piece.text);
      if (text.empty()) continue;
      record = parse_to_python(text, sink_, "invalid JSONL line: ", parser_.get());
    } else {
      record = finalize(piece.text);
    }
    // A signal handler that raised while the record's objects were built
    // has not consumed the record: the next call builds it again.
    if (sink_.take_interrupted()) source_.unread();
    if (!record.ok() || record.value()) return record;
  }
}

}  // namespace quarn::api::operations
