// Walking a JSON document inside a record source without building it: the
// array a JSON Pointer names, the check of what follows that array, and the
// description of a document whose large arrays are sampled.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "api/bigjson/source.hpp"
#include "binding/ref.hpp"
#include "json/parser.hpp"
#include "scan/scan.hpp"

namespace quarn::api::bigjson {

// A byte cursor over the source's block: the walker's view of the stream.
// It reads blocks as it goes and never holds more than a block, except the
// text a caller asks it to gather.
class Cursor {
 public:
  explicit Cursor(RecordSource& source) : s_(source) {}

  // File offset of the next byte (a byte-order mark counted).
  [[nodiscard]] std::uint64_t offset() const { return s_.taken_ - s_.len_ + s_.pos_; }

  // The next byte, or -1 at the end; the significant one skips the parser's
  // whitespace first.
  [[nodiscard]] Result<int> peek();
  [[nodiscard]] Result<int> peek_significant();
  void advance() { ++s_.pos_; }

  // One value, from its first byte. Strings and numbers and literals are
  // taken by their bytes, containers by a depth scan that tracks strings
  // and escapes. The value's raw bytes are appended to `out` when it is not
  // null (and up to `cap` bytes: past it, gathering stops and `out` is
  // cleared, so a huge value is skipped without being held).
  [[nodiscard]] Status skip_value(std::string* out, std::size_t cap = SIZE_MAX);
  [[nodiscard]] Status skip_string(std::string* out);
  [[nodiscard]] Status skip_scalar(std::string* out);

  // Inside an object, at the next member: its key, decoded, with the colon
  // after it consumed. `raw` gets the key's bytes as they stand.
  [[nodiscard]] Result<std::string> member_key(std::string& raw);

  // The bytes not yet consumed in the block, and marking `n` of them
  // consumed (for scans that run over the block directly).
  [[nodiscard]] Result<std::span<const std::uint8_t>> block();
  void consume(std::size_t n) { s_.pos_ += n; }

  // Inside an array (after its bracket or a separator), over the elements
  // of the current block with the element cutter: adds the separators it
  // passes to `separators`, sets `*content` once it passes a byte that is
  // not whitespace (when given), and consumes the block, or up to and
  // including the closing bracket when that comes.
  struct ElementRun {
    std::size_t bytes;  // consumed
    bool closed;        // the closing bracket was among them
  };
  [[nodiscard]] Result<ElementRun> skip_elements(scan::ArrayScan& state, std::uint64_t& separators,
                                                 bool* content = nullptr);

  // "invalid JSON: <message> at line L column C" for the byte just before
  // `offset` (the parser's convention), or at the end of the source.
  [[nodiscard]] Error error(std::uint64_t offset, json::ErrorCode code);
  [[nodiscard]] Error error_after_next(json::ErrorCode code) { return error(offset() + 1, code); }
  [[nodiscard]] Error error_at_end(json::ErrorCode code);

  // Checks `text`, a value that starts at file offset `start`, with the
  // parser, placing its error in the file.
  [[nodiscard]] Status validate(std::string_view text, std::uint64_t start);

  RecordSource& source() { return s_; }

 private:
  [[nodiscard]] Status skip_container(std::string* out, std::size_t cap);

  RecordSource& s_;
};

// The decoded text of a raw JSON string token (quotes included), or its
// error placed at file offset `start` + the parser's index.
[[nodiscard]] Result<std::string> unescape_key(Cursor& cursor, std::string_view raw,
                                               std::uint64_t start);

// count of an entered source: the array's elements counted by the byte scan
// up to its closing bracket, then the rest of the document checked.
[[nodiscard]] Result<std::uint64_t> count_entered(RecordSource& source);

// schema of a JSON document: the document itself, each array in it
// described from its first `sample` elements and the rest of the array
// skipped by scanning (up to a budget; past it reading stops).
[[nodiscard]] Result<binding::Ref> describe_document(RecordSource& source, std::uint64_t sample);

// The same, with where the arrays are: (text, [(pointer, elements seen,
// skipped), ...]) for the arrays outside any other array and every skipped
// one not inside a skipped one.
[[nodiscard]] Result<binding::Ref> outline_document(RecordSource& source, std::uint64_t sample);

}  // namespace quarn::api::bigjson
