#include "records/source.hpp"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "binding/unlocked.hpp"
#include "json/parser.hpp"
#include "json/text.hpp"

namespace quarn::records {

using io::File;
using io::FileSource;

namespace {

constexpr std::uint8_t kBom[3] = {0xEF, 0xBB, 0xBF};

using json::NullSink;

}  // namespace

Result<RecordSource> open_file_source(std::string_view path) {
  auto opened = File::open(path);
  if (!opened.ok()) return std::move(opened).error();
  return RecordSource(std::make_unique<FileSource>(std::move(opened).value()));
}

RecordSource::RecordSource(std::unique_ptr<ByteSource> bytes)
    : bytes_(std::move(bytes)), block_(new std::uint8_t[kBlock]), total_bytes_(bytes_->size()) {}

void RecordSource::note_lines(const std::uint8_t* p, std::size_t n, std::uint64_t start) {
  for (const void* hit; n > 0 && (hit = std::memchr(p, '\n', n)) != nullptr;) {
    std::size_t i = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - p);
    ++lines_before_;
    line_start_before_ = start + i + 1;
    p += i + 1;
    n -= i + 1;
    start += i + 1;
  }
}

Result<std::size_t> RecordSource::take(std::uint8_t* buf, std::size_t n) {
  if (released_ == nullptr) return bytes_->read(buf, n);
  if (!released_->next()) return Error::python();
  return bytes_->read_unlocked(buf, n);
}

Status RecordSource::refill() {
  // Positions in a source that cannot be read twice come from line feeds
  // counted as blocks go by. Whatever detection dropped is counted as well,
  // since `read_all` stands in for it with the same lines.
  if (len_ > 0 &&
      (!begun_ || (track_lines_ && format_ == InputFormat::Json && !bytes_->rereadable()))) {
    note_lines(block_.get(), len_, taken_ - len_);
  }
  // The block is used up either way: emptied, it is not counted twice when
  // the read below fails and the caller comes back.
  pos_ = len_ = 0;
  auto got = take(block_.get(), kBlock);
  if (!got.ok()) {
    ++failed_reads_;
    return std::move(got).error();
  }
  len_ = got.value();
  taken_ += len_;
  return binding::ok_status();
}

Status RecordSource::fill_head() {
  if (head_) return binding::ok_status();
  // A pipe may hand out a byte at a time: three are needed to see a mark.
  while (len_ < sizeof kBom) {
    auto got = take(block_.get() + len_, kBlock - len_);
    if (!got.ok()) {
      ++failed_reads_;
      return std::move(got).error();
    }
    if (got.value() == 0) break;
    len_ += got.value();
    taken_ += got.value();
  }
  head_ = true;
  if (len_ >= sizeof kBom && std::memcmp(block_.get(), kBom, sizeof kBom) == 0) {
    bom_ = pos_ = sizeof kBom;
    line_start_before_ = bom_;
  }
  return binding::ok_status();
}

Result<std::optional<std::uint8_t>> RecordSource::peek() {
  auto head = fill_head();
  if (!head.ok()) return std::move(head).error();
  for (;;) {
    for (std::size_t i = pos_; i < len_; ++i) {
      if (!json::is_ascii_whitespace(block_[i])) return std::optional<std::uint8_t>(block_[i]);
    }
    // A block of nothing but whitespace is dropped, so that padding does
    // not fill memory; `read_all` can stand in for it exactly.
    if (!dropped_form_feed_) {
      const void* ff = std::memchr(block_.get() + pos_, '\f', len_ - pos_);
      if (ff != nullptr) {
        std::size_t at =
            static_cast<std::size_t>(static_cast<const std::uint8_t*>(ff) - block_.get());
        std::uint64_t lines = lines_before_, start = line_start_before_;
        std::uint64_t base = taken_ - len_;
        for (std::size_t i = 0; i < at; ++i) {
          if (block_[i] == '\n') {
            ++lines;
            start = base + i + 1;
          }
        }
        dropped_form_feed_.emplace(lines, base + at - start);
      }
    }
    dropped_ += len_ - pos_;
    pos_ = len_;
    auto refilled = refill();
    if (!refilled.ok()) return std::move(refilled).error();
    if (len_ == 0) return std::optional<std::uint8_t>();
  }
}

void RecordSource::begin(InputFormat format) {
  format_ = format;
  begun_ = true;
}

Result<Layout> RecordSource::layout() {
  if (laid_out_) return layout_;
  auto head = fill_head();
  if (!head.ok()) return read_error(std::move(head).error());
  if (format_ == InputFormat::Jsonl) {
    // Whatever came before the first line (a mark, dropped whitespace) is
    // counted with it.
    line_base_ = taken_ - len_ + pos_;
    layout_ = Layout::Lines;
    laid_out_ = true;
    return layout_;
  }
  for (;;) {
    // A form feed is not the parser's whitespace: where records must be
    // those of a whole-document parse, the document starts there, and its
    // parse fails at it as `load`'s does.
    while (pos_ < len_ && json::is_ascii_whitespace(block_[pos_]) &&
           !(reject_holes_ && block_[pos_] == '\f')) {
      ++pos_;
    }
    if (pos_ < len_) break;
    auto refilled = refill();
    if (!refilled.ok()) return read_error(std::move(refilled).error());
    if (len_ == 0) {
      layout_ = Layout::Empty;
      laid_out_ = ended_ = true;
      return layout_;
    }
  }
  if (block_[pos_] == '[') {
    ++pos_;
    layout_ = Layout::Array;
  } else {
    layout_ = Layout::Document;
  }
  laid_out_ = true;
  return layout_;
}

RecordSource::Piece RecordSource::hand_out(std::string_view text, std::uint64_t bytes) {
  if (layout_ == Layout::Lines) {
    line_bytes_ += bytes + std::exchange(line_base_, 0);
  }
  last_ = Piece{Cut::Text, text};
  last_bytes_ = bytes;
  return last_;
}

void RecordSource::unread() {
  if (last_.cut != Cut::Text || replay_) return;
  replay_ = true;
  if (layout_ == Layout::Lines) line_bytes_ -= last_bytes_;
}

Result<RecordSource::Piece> RecordSource::next() {
  if (replay_) {
    // The last piece is still where it was: nothing has touched the block
    // or the gathering buffer since it was handed out.
    replay_ = false;
    if (layout_ == Layout::Lines) line_bytes_ += last_bytes_;
    return last_;
  }
  if (gathered_) {
    gather_.clear();
    gathered_ = false;
  }
  last_ = Piece{Cut::End, {}};
  auto laid = layout();
  if (!laid.ok()) return std::move(laid).error();
  switch (laid.value()) {
    case Layout::Lines:
      return next_line();
    case Layout::Array:
      return next_element();
    case Layout::Document:
      return next_document();
    case Layout::Empty:
      break;
  }
  return Piece{Cut::End, {}};
}

Result<RecordSource::Piece> RecordSource::next_line() {
  for (;;) {
    if (pos_ < len_) {
      const char* start = reinterpret_cast<const char*>(block_.get() + pos_);
      const void* nl = std::memchr(start, '\n', len_ - pos_);
      if (nl != nullptr) {
        std::size_t n = static_cast<std::size_t>(static_cast<const char*>(nl) - start) + 1;
        pos_ += n;
        if (gather_.empty()) return hand_out(std::string_view(start, n), n);
        gather_.append(start, n);
        gathered_ = true;
        return hand_out(gather_, gather_.size());
      }
      gather_.append(start, len_ - pos_);
      pos_ = len_;
    }
    auto refilled = refill();
    if (!refilled.ok()) return read_error(std::move(refilled).error());
    if (len_ == 0) {
      // A last line without a line feed; at the end a later call reads
      // again, so lines appended meanwhile are found.
      if (gather_.empty()) {
        line_bytes_ += std::exchange(line_base_, 0);
        return Piece{Cut::End, {}};
      }
      gathered_ = true;
      return hand_out(gather_, gather_.size());
    }
  }
}

Result<RecordSource::Piece> RecordSource::next_element() {
  for (;;) {
    if (closed_ || ended_) return Piece{Cut::End, {}};
    if (pos_ == len_) {
      auto refilled = refill();
      if (!refilled.ok()) return read_error(std::move(refilled).error());
      if (len_ == 0) {
        // The unfinished element is not a record, and the end of the source
        // inside the array is its one error: nothing after it is checked.
        // Its text stays until the next call, for the message.
        ended_ = after_done_ = gathered_ = true;
        return Piece{Cut::Truncated, gather_};
      }
    }
    const std::uint8_t* p = block_.get() + pos_;
    std::size_t n = len_ - pos_;
    if (gather_.empty()) {
      // Between elements the scanner is outside strings, and whitespace
      // there is trimmed from the element anyway: skipping it keeps a long
      // run of padding out of memory.
      std::size_t i = 0;
      if (reject_holes_) {
        // A form feed is not the parser's whitespace: it stays in the
        // element, whose parse rejects it.
        while (i < n && json::is_json_whitespace(p[i])) ++i;
      } else {
        while (i < n && json::is_ascii_whitespace(p[i])) ++i;
      }
      pos_ += i;
      if (i == n) continue;
      p += i;
      n -= i;
    }
    std::size_t end = scan::find_element_end(p, n, scan_);
    if (end == n) {
      gather_.append(reinterpret_cast<const char*>(p), n);
      pos_ = len_;
      continue;
    }
    pos_ += end + 1;
    if (p[end] == ']') {
      closed_ = true;
      --scan_.depth;
    }
    const bool first = !std::exchange(cut_any_, true);
    if (reject_holes_ && end == 0 && gather_.empty() && !(first && p[end] == ']')) {
      // A blank element (leading whitespace was skipped above): where a
      // whole-document parse stops, at the separator or bracket after it.
      return error_at(position(),
                      json::message(p[end] == ']' ? json::ErrorCode::TrailingComma
                                                  : json::ErrorCode::ExpectedSomeValue));
    }
    const char* text = reinterpret_cast<const char*>(p);
    if (gather_.empty()) return hand_out(std::string_view(text, end), end);
    gather_.append(text, end);
    gathered_ = true;
    return hand_out(gather_, gather_.size());
  }
}

Result<RecordSource::Piece> RecordSource::next_document() {
  if (ended_) return Piece{Cut::End, {}};
  if (gather_.empty()) {
    // Where an error in it will be placed: a source that cannot be read
    // twice has only the line feeds counted so far and the current block.
    document_start_ = position();
    if (!bytes_->rereadable()) {
      document_line_ = lines_before_ + 1;
      std::uint64_t line_start = line_start_before_;
      const std::uint64_t block_start = taken_ - len_;
      for (std::size_t i = 0; i < pos_; ++i) {
        if (block_[i] == '\n') {
          ++document_line_;
          line_start = block_start + i + 1;
        }
      }
      document_column_ = document_start_ - line_start;
    }
  }
  // The rest of the source is the one record; a failed read keeps what was
  // gathered, and the next call goes on with it.
  for (;;) {
    gather_.append(reinterpret_cast<const char*>(block_.get() + pos_), len_ - pos_);
    pos_ = len_;
    auto refilled = refill();
    if (!refilled.ok()) return read_error(std::move(refilled).error());
    if (len_ == 0) break;
  }
  ended_ = gathered_ = true;
  return hand_out(gather_, gather_.size());
}

Error RecordSource::truncation_error(std::string_view unfinished) {
  using json::ErrorCode;
  if (!reject_holes_) return error_at(taken_, json::message(ErrorCode::EofWhileParsingList));
  // What a parse of the whole text meets first: a fault inside the
  // unfinished element, or the end of the text inside it or after it.
  if (unfinished.empty()) {
    return error_at(taken_, json::message(cut_any_ ? ErrorCode::EofWhileParsingValue
                                                   : ErrorCode::EofWhileParsingList));
  }
  NullSink sink;
  auto err = json::parse(unfinished, sink, element_depth());
  if (!err) return error_at(taken_, json::message(ErrorCode::EofWhileParsingList));
  const ErrorCode code =
      err->code == ErrorCode::TrailingCharacters ? ErrorCode::ExpectedListCommaOrEnd : err->code;
  return error_at(taken_ - unfinished.size() + err->index, json::message(code));
}

Status RecordSource::check_after_array() {
  if (after_done_) return binding::ok_status();
  if (around_) {
    const std::uint64_t failed = failed_reads_;
    auto rest = around_->check_rest(*this);
    if (!rest.ok()) {
      // A fault in the text is reported once; after a failed read the check
      // goes on where it stopped.
      if (failed_reads_ == failed) after_done_ = true;
      return rest;
    }
  }
  for (;;) {
    for (; pos_ < len_; ++pos_) {
      if (!json::is_json_whitespace(block_[pos_])) {
        after_done_ = true;
        std::uint64_t offset = taken_ - len_ + pos_;
        return error_at(offset + 1, json::message(json::ErrorCode::TrailingCharacters));
      }
    }
    auto refilled = refill();
    if (!refilled.ok()) return read_error(std::move(refilled).error());
    if (len_ == 0) {
      after_done_ = true;
      return binding::ok_status();
    }
  }
}

void RecordSource::enter_array(std::unique_ptr<Enclosure> around) {
  around_ = std::move(around);
  layout_ = Layout::Array;
  laid_out_ = true;
  scan_ = scan::ArrayScan{};
}

Result<std::span<const std::uint8_t>> RecordSource::window() {
  if (!head_) {
    auto head = fill_head();
    if (!head.ok()) return read_error(std::move(head).error());
  }
  if (pos_ == len_) {
    auto refilled = refill();
    if (!refilled.ok()) return read_error(std::move(refilled).error());
  }
  return std::span<const std::uint8_t>(block_.get() + pos_, len_ - pos_);
}

Status RecordSource::scan_rest(const Scan& scan) {
  auto laid = layout();
  if (!laid.ok()) return std::move(laid).error();
  if (pos_ < len_) {
    const std::span<const std::uint8_t> held(block_.get() + pos_, len_ - pos_);
    pos_ = len_;
    if (!scan(held)) return binding::ok_status();
  }
  return unlocked([this, &scan]() -> Status {
    for (;;) {
      auto refilled = refill();
      if (!refilled.ok()) return read_error(std::move(refilled).error());
      if (len_ == 0) return binding::ok_status();
      pos_ = len_;
      if (!scan(std::span<const std::uint8_t>(block_.get(), len_))) return binding::ok_status();
    }
  });
}

Status RecordSource::unlocked(const std::function<Status()>& work) {
  if (released_ != nullptr || !bytes_->lock_free()) return work();
  binding::Batches batches;
  released_ = &batches;
  // Cleared on every way out (before the lock is taken back), an exception
  // included.
  struct Clear {
    binding::Batches*& released;
    ~Clear() { released = nullptr; }
  } clear{released_};
  return work();
}

Result<std::string> RecordSource::read_all() {
  auto head = fill_head();
  if (!head.ok()) return read_error(std::move(head).error());
  std::string text;
  if (dropped_ > 0) {
    // Stand-in for the dropped whitespace: the same lines and the same
    // column, and the first form feed where it stood, at which the parse
    // stops.
    if (dropped_form_feed_) {
      text.append(dropped_form_feed_->first, '\n');
      text.append(dropped_form_feed_->second, ' ');
      text.push_back('\f');
    } else {
      text.append(lines_before_, '\n');
      text.append(taken_ - len_ - line_start_before_, ' ');
    }
  }
  text.append(reinterpret_cast<const char*>(block_.get() + pos_), len_ - pos_);
  pos_ = len_;
  // One byte more than the rest of the file, so that its end shows without
  // a second round trip through a growing buffer (the room is zeroed, so a
  // small file gets no more). A block when the size is unknown: such a
  // source (a pipe, a /proc file) may hand its content only to a first read
  // that is large enough to take all of it.
  std::uint64_t rest = total_bytes_ > taken_ ? total_bytes_ - taken_ : 0;
  std::size_t have = text.size();
  const std::size_t first = have + (total_bytes_ > 0 ? static_cast<std::size_t>(rest) + 1 : kBlock);
  if (bytes_->lock_free()) {
    // A file: read without the interpreter lock, a piece at a time (its room
    // zeroed just before), with signal handlers run between pieces, so that
    // a large file holds up neither other threads nor a Ctrl-C.
    constexpr std::size_t kPiece = std::size_t{8} << 20;
    text.reserve(first);
    for (;;) {
      if (!binding::check_signals()) return Error::python();
      Result<std::size_t> got = std::size_t{0};
      {
        binding::Unlocked unlocked;
        if (have == text.size())
          text.resize(have + (have < first ? std::min(kPiece, first - have) : kPiece));
        got = bytes_->read_unlocked(reinterpret_cast<std::uint8_t*>(text.data() + have),
                                    text.size() - have);
      }
      if (!got.ok()) return read_error(std::move(got).error());
      if (got.value() == 0) break;
      have += got.value();
      taken_ += got.value();
    }
    text.resize(have);
    return text;
  }
  text.resize(first);
  for (;;) {
    if (have == text.size()) text.resize(text.size() * 2 + kBlock);
    auto got =
        bytes_->read(reinterpret_cast<std::uint8_t*>(text.data() + have), text.size() - have);
    if (!got.ok()) return read_error(std::move(got).error());
    if (got.value() == 0) break;
    have += got.value();
    taken_ += got.value();
  }
  text.resize(have);
  return text;
}

std::uint64_t RecordSource::bytes_read() const {
  if (auto measured = bytes_->progress()) return *measured;
  return layout_ == Layout::Lines ? line_bytes_ : taken_;
}

Error RecordSource::document_error(std::string_view text, std::size_t index,
                                   std::string_view message) {
  if (bytes_->rereadable()) return error_at(document_start_ + index, message);
  const json::Position at = json::position_of(text, index);
  const std::uint64_t line = document_line_ + at.line - 1;
  const std::uint64_t column = at.line == 1 ? document_column_ + at.column : at.column;
  return Error::value("invalid JSON: " + std::string(message) + " at line " + std::to_string(line) +
                      " column " + std::to_string(column));
}

Error RecordSource::error_at(std::uint64_t offset, std::string_view message,
                             std::string_view prefix) {
  // Reads of the file again answer signals, which needs the lock.
  binding::Batches::Held held(released_);
  std::uint64_t line = 1, line_start = bom_;
  if (bytes_->rereadable()) {
    std::unique_ptr<std::uint8_t[]> buf(new std::uint8_t[kBlock]);
    for (std::uint64_t at = bom_; at < offset;) {
      std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, offset - at));
      auto got = bytes_->read_at(at, buf.get(), want);
      if (!got.ok()) return read_error(std::move(got).error());
      if (got.value() == 0) break;
      for (std::size_t i = 0; i < got.value(); ++i) {
        if (buf[i] == '\n') {
          ++line;
          line_start = at + i + 1;
        }
      }
      at += got.value();
    }
  } else {
    // The offset lies in the current block (or just past its end).
    const std::uint64_t block_start = taken_ - len_;
    line = lines_before_ + 1;
    line_start = line_start_before_;
    const std::size_t n =
        static_cast<std::size_t>(std::min<std::uint64_t>(offset - block_start, len_));
    for (std::size_t i = 0; i < n; ++i) {
      if (block_[i] == '\n') {
        ++line;
        line_start = block_start + i + 1;
      }
    }
  }
  return Error::value(std::string(prefix) + std::string(message) + " at line " +
                      std::to_string(line) + " column " + std::to_string(offset - line_start));
}

}  // namespace quarn::records
