#include "api/bigjson/reader.hpp"

#include <cstring>

#include "json/parser.hpp"
#include "json/text.hpp"

namespace quarn::api::bigjson {
namespace {

bool valid_utf8(std::string_view text) {
  return scan::validate_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

Error invalid_utf8_error() { return Error::runtime("read error: " + std::string(kInvalidUtf8)); }

// Turns a failed parse into its error; `sink` still holds what the parse left.
Error parse_failure(std::string_view text, PySink& sink, const json::ParseError& err,
                    std::string_view prefix) {
  bool bad_text = sink.invalid_utf8();
  sink.reset();
  if (err.code == json::ErrorCode::SinkFailed && !bad_text) return Error::python();
  // A parse that stopped early may have stopped at bytes that are not text at
  // all: those are reported as such, whichever came first.
  if (bad_text || !valid_utf8(text)) return invalid_utf8_error();
  return Error::value(std::string(prefix) + json::describe(text, err));
}

}  // namespace

Result<Ref> parse_to_python(std::string_view text, PySink& sink, std::string_view prefix) {
  auto err = json::parse(text, sink);
  if (!err) return Ref::steal(sink.take());
  return parse_failure(text, sink, *err, prefix);
}

Result<std::unique_ptr<RecordReader>> RecordReader::open(std::string_view path,
                                                         InputFormat format) {
  auto opened = File::open(path);
  if (!opened.ok()) return std::move(opened).error();
  return std::unique_ptr<RecordReader>(new RecordReader(std::move(opened).value(), format));
}

RecordReader::RecordReader(File file, InputFormat format)
    : format_(format),
      lines_(std::move(file)),
      total_bytes_(lines_.file().size()),
      keys_(total_bytes_ ? total_bytes_ : SIZE_MAX),
      shapes_(total_bytes_ ? total_bytes_ : SIZE_MAX),
      sink_(keys_, shapes_),
      rereadable_(lines_.file().seekable()) {}

Result<Ref> RecordReader::next_record() {
  return format_ == InputFormat::Jsonl ? next_line_record() : next_json();
}

Result<Ref> RecordReader::next_line_record() {
  for (;;) {
    auto got = lines_.next_line();
    if (!got.ok()) return read_error(std::move(got).error());
    std::string_view line = got.value();
    if (line.empty()) return Ref();
    // Counted even when the line turns out to be bad, so that the counter
    // reaches the file size at the end of every file.
    bytes_read_ += line.size();
    std::string_view text = json::trim_unicode_whitespace(line);
    if (text.empty()) continue;
    return parse_to_python(text, sink_, "invalid JSONL line: ");
  }
}

Result<Ref> RecordReader::finalize(std::string_view raw) {
  std::string_view text = json::trim_unicode_whitespace(raw);
  if (text.empty()) return Ref();
  auto err = json::parse(text, sink_);
  if (!err) return Ref::steal(sink_.take());
  bool bad_text = sink_.invalid_utf8();
  sink_.reset();
  if (err->code == json::ErrorCode::SinkFailed && !bad_text) return Error::python();
  if (!bad_text && valid_utf8(raw)) {
    return Error::value("invalid JSON element: " + json::describe(text, *err));
  }
  // Bytes that are not UTF-8 become U+FFFD, and the repaired text is parsed.
  std::string repaired = json::decode_replacing(raw);
  text = json::trim_unicode_whitespace(repaired);
  if (text.empty()) return Ref();
  err = json::parse(text, sink_);
  if (!err) return Ref::steal(sink_.take());
  sink_.reset();
  if (err->code == json::ErrorCode::SinkFailed) return Error::python();
  return Error::value("invalid JSON element: " + json::describe(text, *err));
}

Error RecordReader::error_at(std::uint64_t file_index, std::string_view message) {
  File::Position pos;
  if (rereadable_) {
    auto found = lines_.file().position_of(file_index);
    if (!found.ok()) return read_error(std::move(found).error());
    pos = found.value();
  } else {
    // The index lies in the current block (or just past its end).
    const std::uint64_t block_start = bytes_read_ - block_len_;
    const auto* p = block_.get();
    const std::size_t n = static_cast<std::size_t>(file_index - block_start);
    std::uint64_t line_start = line_start_before_block_;
    pos.line = lines_before_block_ + 1;
    for (std::size_t i = 0; i < n && i < block_len_; ++i) {
      if (p[i] == '\n') {
        ++pos.line;
        line_start = block_start + i + 1;
      }
    }
    pos.column = file_index - line_start;
  }
  return Error::value("invalid JSON: " + std::string(message) + " at line " +
                      std::to_string(pos.line) + " column " + std::to_string(pos.column));
}

void RecordReader::count_lines_of_block() {
  const std::uint64_t block_start = bytes_read_ - block_len_;
  for (std::size_t i = 0; i < block_len_; ++i) {
    if (block_[i] == '\n') {
      ++lines_before_block_;
      line_start_before_block_ = block_start + i + 1;
    }
  }
}

// After the closing bracket only whitespace may follow; anything else is
// reported where it stands, once, and the records end there.
Result<Ref> RecordReader::after_array() {
  for (;;) {
    for (; block_pos_ < block_len_; ++block_pos_) {
      if (!json::is_json_whitespace(block_[block_pos_])) {
        finished_ = true;
        std::uint64_t offset = bytes_read_ - block_len_ + block_pos_;
        return error_at(offset + 1, json::message(json::ErrorCode::TrailingCharacters));
      }
    }
    auto refilled = refill();
    if (!refilled.ok()) return std::move(refilled).error();
    if (block_len_ == 0) {
      finished_ = true;
      return Ref();
    }
  }
}

// One read into the block; a failed read leaves every field as it was, so
// the next call reads again.
Status RecordReader::refill() {
  if (!rereadable_) {
    count_lines_of_block();
    // The block is used up either way; emptied, it is not counted twice when
    // the read below fails and the next call comes back here.
    block_len_ = 0;
    block_pos_ = 0;
  }
  auto got = lines_.file().read(block_.get(), kBlock);
  if (!got.ok()) return read_error(std::move(got).error());
  block_len_ = got.value();
  block_pos_ = 0;
  bytes_read_ += block_len_;
  return binding::ok_status();
}

Result<Ref> RecordReader::next_json() {
  if (finished_) return Ref();
  if (!block_) block_.reset(new std::uint8_t[kBlock]);
  for (;;) {
    if (array_closed_) return after_array();
    if (block_pos_ == block_len_) {
      auto refilled = refill();
      if (!refilled.ok()) return std::move(refilled).error();
      if (block_len_ == 0) {
        finished_ = true;
        if (!started_) return Ref();
        if (in_array_) {
          // The file ended inside the array: the unfinished element is not a
          // record, and the truncation is an error, placed at the end of the
          // file as a whole-file parse would place it.
          element_.clear();
          return error_at(bytes_read_, json::message(json::ErrorCode::EofWhileParsingList));
        }
        auto record = finalize(element_);
        element_.clear();
        return record;
      }
    }
    const std::uint8_t* p = block_.get() + block_pos_;
    std::size_t n = block_len_ - block_pos_;
    if (!started_) {
      std::size_t i = 0;
      while (i < n && json::is_ascii_whitespace(p[i])) ++i;
      block_pos_ += i;
      if (i == n) continue;
      started_ = true;
      if (p[i] == '[') {
        in_array_ = true;
        ++block_pos_;
        continue;
      }
    }
    if (!in_array_) {
      // A single document: the rest of the file is its text.
      element_.append(reinterpret_cast<const char*>(block_.get() + block_pos_),
                      block_len_ - block_pos_);
      block_pos_ = block_len_;
      continue;
    }
    if (element_.empty()) {
      // Between elements the scanner is outside strings, and whitespace there
      // is trimmed from the element anyway: skipping it keeps a long run of
      // padding out of memory.
      std::size_t i = 0;
      while (i < n && json::is_ascii_whitespace(p[i])) ++i;
      block_pos_ += i;
      if (i == n) continue;
      p += i;
      n -= i;
    }
    std::size_t end = scan::find_element_end(p, n, scan_);
    if (end == n) {
      element_.append(reinterpret_cast<const char*>(p), n);
      block_pos_ = block_len_;
      continue;
    }
    block_pos_ += end + 1;
    if (p[end] == ']') {
      array_closed_ = true;
      --scan_.depth;
    }
    Result<Ref> record = Ref();
    if (element_.empty()) {
      // The whole element lies in this block: parse it where it stands.
      record = finalize(std::string_view(reinterpret_cast<const char*>(p), end));
    } else {
      element_.append(reinterpret_cast<const char*>(p), end);
      record = finalize(element_);
      element_.clear();
    }
    if (!record.ok() || record.value()) return record;
  }
}

}  // namespace quarn::api::bigjson
