// Walking a JSON document inside a record source without building it: the
// array a JSON Pointer names, the check of what follows that array, and the
// description of a document whose large arrays and objects are sampled.
//
// The readers the walks share, for any front end that walks a document:
//   - `parse_pointer`: the reference tokens of a JSON Pointer (RFC 6901);
//   - `Cursor::member_key`: THE reader of an object member's key and the
//     colon after it (every walk reads keys through it, so a key has one
//     set of messages);
//   - `Cursor::scan_value`: one value skipped (and gathered, when asked) by
//     a scan of its bytes, resumable after a failed read.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "json/parser.hpp"
#include "json/pointer.hpp"
#include "records/source.hpp"
#include "scan/scan.hpp"

namespace quarn::records {

// One reference token of a pointer, decoded, and where it ends in the
// pointer text (for messages that quote the pointer so far).
using json::PointerToken;

// The tokens of `pointer`; "" has none. A malformed pointer is a ValueError
// "invalid records pointer ...".
[[nodiscard]] Result<std::vector<PointerToken>> parse_pointer(std::string_view pointer);

// Where the scan of one value stands (Cursor::scan_value). A scan that a
// failed read stopped goes on where it stopped when it is called again with
// the same state: the state, not the call, holds everything read so far.
struct ValueScan {
  std::uint64_t start = 0;  // file offset of the value's first byte
  std::string text;         // its bytes, while `gather` holds
  bool gather = false;      // keep the bytes, up to `cap`; past it they are dropped
  std::size_t cap = SIZE_MAX;
  // Bytes the scan may go past before it returns unfinished (done false).
  std::uint64_t budget = UINT64_MAX;
  bool started = false;  // the first byte has been looked at
  bool done = false;
  bool scalar = false;
  bool in_string = false;
  bool escaped = false;
  std::string open;  // kinds of the containers open, innermost last

  [[nodiscard]] static ValueScan gathering(std::size_t cap = SIZE_MAX) {
    ValueScan scan;
    scan.gather = true;
    scan.cap = cap;
    return scan;
  }
};

// Where the check of one value by the parser stands (Cursor::check_value).
// The value's text is held in pieces: once a piece has passed a MiB, it is
// parsed up to its last separator and only the bytes after that are kept,
// behind a head that opens again the containers open there (`[0,` or
// `{"":0,` for the innermost one), so that a value of any size is checked
// whole, in one parser pass, in bounded memory. Resumable like ValueScan.
struct ValueCheck {
  std::size_t depth = 0;    // containers open around the value
  std::uint64_t start = 0;  // file offset of the value's first byte
  std::uint64_t base = 0;   // file offset of text[head]
  std::string text;         // the head, then the bytes since the last cut
  std::size_t head = 0;
  scan::ArrayScan scan{false, false, 0};  // strings and depth inside the value
  bool started = false;
  bool done = false;
  bool scalar = false;
  // Past its first block: the block scanner looks for the end first.
  bool wide = false;
  std::string open;  // the containers open at a cut, outermost first

  [[nodiscard]] static ValueCheck inside(std::size_t depth) {
    ValueCheck check;
    check.depth = depth;
    return check;
  }
};

// Where the reading of an object member's key stands (Cursor::member_key).
struct KeyScan {
  ValueScan raw = ValueScan::gathering();  // the key token's bytes
  bool decoded = false;
  std::string key;
};

// A byte cursor over the source's block: the walker's view of the stream.
// It holds no state of its own (the source owns the position, the caller
// the state of a resumable step), reads blocks as it goes and never holds
// more than a block, except the text a caller asks it to gather.
class Cursor {
 public:
  explicit Cursor(RecordSource& source) : s_(source) {}

  // File offset of the next byte (a byte-order mark counted).
  [[nodiscard]] std::uint64_t offset() const { return s_.position(); }

  // The next byte, or -1 at the end; the significant one skips the parser's
  // whitespace first.
  [[nodiscard]] Result<int> peek();
  [[nodiscard]] Result<int> peek_significant();
  void advance() { s_.consume(1); }

  // One value, from its first significant byte (or on from where `state`
  // stopped). Strings, numbers and literals are taken by their bytes,
  // containers by a depth scan that tracks strings and escapes, reporting a
  // mismatched bracket or the end of the source as the parser does. Only
  // the structure is checked: `validate` checks the gathered text.
  [[nodiscard]] Status scan_value(ValueScan& state);

  // One value, from its first significant byte (or on from where `state`
  // stopped), checked by the parser as a parse of the whole document checks
  // it, with `state.depth` containers around it; bytes after a whole scalar
  // ("nulll") are reported as `trailing`, what the container around it
  // expects there.
  [[nodiscard]] Status check_value(ValueCheck& state, json::ErrorCode trailing);

  // The same in one go; the value's raw bytes are appended to `out` when it
  // is not null.
  [[nodiscard]] Status skip_value(std::string* out);

  // Inside an object, at the next member: its key, decoded, with the colon
  // after it consumed; `state.raw.text` holds the key's bytes as they
  // stand. Resumable like scan_value: call again with the same state after a
  // failed read, and reset it for the next key.
  [[nodiscard]] Result<std::string> member_key(KeyScan& state);
  // The same in one go, `raw` getting the key's bytes.
  [[nodiscard]] Result<std::string> member_key(std::string& raw);

  // The bytes not yet consumed in the block, and marking `n` of them
  // consumed (for scans that run over the block directly).
  [[nodiscard]] Result<std::span<const std::uint8_t>> block() { return s_.window(); }
  void consume(std::size_t n) { s_.consume(n); }

  // Inside an array (after its bracket or a separator), over the elements
  // of the current block with the element cutter: adds the separators it
  // passes to `separators`, sets `*content` once it passes a byte that is
  // not whitespace (when given), keeps the bytes of the element after the
  // last separator in `tail` (when given; up to `tail_cap` of them, past
  // which it is cleared and `*tail_cut` set), and consumes the block, or up
  // to and including the closing bracket when that comes.
  struct ElementRun {
    std::size_t bytes;  // consumed
    bool closed;        // the closing bracket was among them
  };
  struct Tail {
    std::string text;
    bool cut = false;
  };
  [[nodiscard]] Result<ElementRun> skip_elements(scan::ArrayScan& state, std::uint64_t& separators,
                                                 bool* content = nullptr, Tail* tail = nullptr);

  // "invalid JSON: <message> at line L column C" for the byte just before
  // `offset` (the parser's convention), or at the end of the source.
  [[nodiscard]] Error error(std::uint64_t offset, json::ErrorCode code);
  [[nodiscard]] Error error_after_next(json::ErrorCode code) { return error(offset() + 1, code); }
  [[nodiscard]] Error error_at_end(json::ErrorCode code);

  // Checks `text`, a value that starts at file offset `start`, with the
  // parser, placing its error in the file. Bytes after a whole value (a
  // scalar that runs on: "nulll") are reported as `trailing`, what the
  // container around the value expects there.
  // `head` bytes at its start stand for containers open before `start`
  // (ValueCheck); `depth` containers are open around all of it.
  [[nodiscard]] Status validate(std::string_view text, std::uint64_t start,
                                json::ErrorCode trailing = json::ErrorCode::TrailingCharacters,
                                std::size_t depth = 0, std::size_t head = 0);

  RecordSource& source() { return s_; }

 private:
  RecordSource& s_;
};

// The decoded text of a raw JSON string token (quotes included), or its
// error placed at file offset `start` + the parser's index.
[[nodiscard]] Result<std::string> unescape_key(Cursor& cursor, std::string_view raw,
                                               std::uint64_t start);

// The walk inside one document to the array a pointer names, and then the
// check of the rest of the document: the containers around the array, kept
// as a stack, and the step of the check under way. Everything the check has
// read is here, not in locals, so that a failed read or an interrupt only
// pauses it. The source owns the walk (and the byte position).
//
// Values the walk passes are checked by the parser, in pieces when they
// are large, with the containers around them counted towards its nesting
// limit, so the records come with the same verdict on the document as a
// parse of all of it. A key repeated where the pointer takes it: a whole-document parse
// keeps the last value. While the walk looks for the array, a value that
// does not lead to it is passed over and a later one of the same key
// tried; once the array is found its elements are handed out, and meeting
// the key again after it is an error that names the key.
class DocumentWalk final : public Enclosure {
 public:
  // Walks from the start of `source` to the array `pointer` names and
  // consumes its opening bracket.
  [[nodiscard]] static Result<std::unique_ptr<DocumentWalk>> find(RecordSource& source,
                                                                  std::string_view pointer);

  [[nodiscard]] Status check_rest(RecordSource& source) override;
  [[nodiscard]] std::size_t depth() const override { return depth_; }

 private:
  struct Level {
    char kind;            // '{' or '['
    std::size_t token;    // the pointer token the walk takes inside it
    std::uint64_t index;  // arrays: the element that token names
    std::uint64_t elements = 0;
  };
  enum class Step : unsigned char {
    Open,       // just inside the innermost container
    Separator,  // after a member or element
    Member,     // after a comma
    Key,        // at a member's key
    Element,    // at an element
    Value,      // in a value
  };
  enum class Stop : unsigned char {
    Found,   // at the value of the token of the innermost level
    Closed,  // the level `stop_at` has been closed
    End,     // every level has been closed
  };
  // What the first look inside a container found, for a message.
  struct Listing {
    std::vector<std::string> keys;  // the first few
    std::uint64_t count = 0;        // members or elements
  };

  DocumentWalk() = default;
  [[nodiscard]] Status descend(RecordSource& source);
  // Goes on through the levels from the current step to the end of the
  // outermost one, or, when `finding`, to the next value of a pointer token.
  [[nodiscard]] Result<Stop> close_levels(Cursor& cursor, bool finding, std::size_t stop_at,
                                          Listing* listing);
  [[nodiscard]] std::string_view prefix(std::size_t tokens) const;
  [[nodiscard]] Error repeated(Cursor& cursor, const Level& level, std::uint64_t at) const;

  std::string pointer_;
  std::vector<PointerToken> tokens_;
  std::vector<Level> levels_;  // outermost first
  Step step_ = Step::Separator;
  KeyScan key_;
  ValueCheck value_;
  std::size_t depth_ = 0;  // containers open around the array's elements
};

// Makes the elements of the array that `pointer` names inside the JSON
// document of `source` its records (DocumentWalk::find); called after
// `begin`, before anything is cut.
[[nodiscard]] Status enter_records(RecordSource& source, std::string_view pointer);

// count of an entered source: the array's elements counted by the byte scan
// up to its closing bracket, then the rest of the document checked.
[[nodiscard]] Result<std::uint64_t> count_entered(RecordSource& source);

// schema of a JSON document: the document itself, each array in it
// described from its first `sample` elements and the rest of the array
// skipped by scanning, and each object with many members described as a map
// from a few of them (up to a budget; past it reading stops). The text is
// the description, pretty-printed.
[[nodiscard]] Result<std::string> describe_document(RecordSource& source, std::uint64_t sample);

// An array of a described document: its JSON Pointer, its elements (those
// sampled plus those the skip went past) and whether it was skipped.
struct DocumentArray {
  std::string pointer;
  std::uint64_t elements;
  bool skipped;
};

// The description, with where the arrays are: those outside any other array
// and every skipped one not inside a skipped one.
struct DocumentOutline {
  std::string schema;
  std::vector<DocumentArray> arrays;
};
[[nodiscard]] Result<DocumentOutline> outline_document(RecordSource& source, std::uint64_t sample);

}  // namespace quarn::records
