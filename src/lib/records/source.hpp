// Where records come from, in two layers.
//
// A ByteSource (io/) hands out bytes: an open file, a Python stream, a
// decompressor. A RecordSource sits above any of them, reads each byte
// exactly once into its block, and does everything that depends on the
// bytes alone: it skips a UTF-8 byte-order mark, lets the caller peek at the
// first significant byte to detect the format (so a pipe loses nothing to
// detection), recognises the top-level array, cuts array elements and JSON
// Lines lines, and places errors at file positions. The reader, `count`,
// `load` and `schema` all consume it, so none of them repeats that logic.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "io/file.hpp"
#include "scan/scan.hpp"

namespace quarn::binding {
class Batches;
}

namespace quarn::records {

// Records are cut from the bytes of the sources of io/.
using binding::Error;
using binding::Result;
using binding::Status;
using io::ByteSource;
using io::InputFormat;
using io::kInvalidUtf8;
using io::kReadBlock;
using io::os_error_text;
using io::read_error;

// How the records of a source are laid out, once `begin` has looked.
enum class Layout : unsigned char {
  Lines,     // JSON Lines: one record per non-blank line
  Array,     // JSON whose top level is an array: its elements
  Document,  // any other JSON document: itself
  Empty,     // JSON with no significant byte: nothing
};

class RecordSource;

// What surrounds an array whose elements are the records, inside a JSON
// document: the walk that found the array (nested.hpp) keeps it, and checks
// it after the array's closing bracket.
class Enclosure {
 public:
  Enclosure() = default;
  Enclosure(const Enclosure&) = delete;
  Enclosure& operator=(const Enclosure&) = delete;
  virtual ~Enclosure() = default;

  // Checks the rest of the document, from just after the array to the end
  // of its outermost container. A failed read (or a signal handler that
  // raised) leaves the check where it stopped, and the next call goes on
  // from there; a fault in the text is reported, and the check is over.
  [[nodiscard]] virtual Status check_rest(RecordSource& source) = 0;

  // Containers open around each element of the array, the array included.
  [[nodiscard]] virtual std::size_t depth() const = 0;
};

class RecordSource {
 public:
  static constexpr std::size_t kBlock = kReadBlock;

  explicit RecordSource(std::unique_ptr<ByteSource> bytes);

  // --- Detection ---------------------------------------------------------
  // The first byte that is not ASCII whitespace (after a byte-order mark at
  // the very start), or nothing for a source without one. The bytes stay in
  // the source for whatever comes next.
  [[nodiscard]] Result<std::optional<std::uint8_t>> peek();

  // --- Layout ------------------------------------------------------------
  // Fixes the format; reads nothing (a file that cannot be read fails at the
  // first record, not here).
  void begin(InputFormat format);
  [[nodiscard]] InputFormat format() const { return format_; }

  // Recognises the layout on first use, reading as far as it must: JSON
  // looks for the first significant byte, and '[' opens an array (the
  // bracket is consumed); anything else starts a document.
  [[nodiscard]] Result<Layout> layout();

  // Makes the elements of the array whose opening bracket was just consumed
  // the records, inside a JSON document; `around` checks what follows the
  // array (nested.hpp's `enter_records` walks there). Called after `begin`,
  // before anything is cut.
  void enter_array(std::unique_ptr<Enclosure> around);
  [[nodiscard]] bool entered() const { return around_ != nullptr; }

  // Array elements that are blank (`[1,,2]`, `[1,]`) are errors at the
  // position a whole-document parse reports them, rather than skipped.
  void reject_holes() { reject_holes_ = true; }
  [[nodiscard]] bool rejects_holes() const { return reject_holes_; }

  // The containers around each element that count towards the parser's
  // nesting limit in its parse: those a whole-document parse has open there
  // where elements are taken as it takes them (reject_holes), else none
  // (each element is a text of its own).
  [[nodiscard]] std::size_t element_depth() const {
    if (!reject_holes_ || layout_ != Layout::Array) return 0;
    if (range_depth_ != 0) return range_depth_;
    return around_ ? around_->depth() : 1;
  }
  // For a stream that holds some elements of an array as a top-level array
  // (a byte range of a file): its elements sit `depth` containers deep in
  // the whole document, as the parse of each counts them.
  void set_element_depth(std::size_t depth) { range_depth_ = depth; }

  // --- Cutting -----------------------------------------------------------
  enum class Cut : unsigned char {
    Text,       // `text` holds one raw element, line or document (untrimmed)
    End,        // no more records
    Truncated,  // the source ended inside the array; `text` is the unfinished element
  };
  struct Piece {
    Cut cut;
    std::string_view text;
  };

  // The next piece. `text` stays valid until the next call of `next` or
  // `scan_rest`. Elements may be blank (`[1,,2]`, `[]`), which callers skip.
  // After an error nothing is lost: the next call goes on where this one
  // stopped.
  [[nodiscard]] Result<Piece> next();

  // Gives the last piece back: the next call of `next` returns it again.
  // For a caller whose work on the piece was interrupted (a signal handler
  // raised while its objects were built), so that no record is lost.
  void unread();

  // After a Truncated piece (whose text is the unfinished element): the
  // error a parse of the whole text reports, at its file position. Without
  // reject_holes, "EOF while parsing a list" at the end.
  [[nodiscard]] Error truncation_error(std::string_view unfinished);

  // After an array's End: only the parser's whitespace may follow it.
  // Reports the first other byte as "trailing characters" at its file
  // position, once.
  [[nodiscard]] Status check_after_array();

  // --- Raw access (count, load) -------------------------------------------
  // Hands the bytes not yet consumed to `scan`, block by block, to the end
  // of the source or until `scan` returns false. Runs `unlocked`: `scan`
  // must touch no Python object (nor throw).
  using Scan = std::function<bool(std::span<const std::uint8_t>)>;
  [[nodiscard]] Status scan_rest(const Scan& scan);

  // Runs `work`, native work over the source's blocks (scan_rest, a walk
  // through `window`), without the interpreter lock where the bytes beneath
  // are lock_free: blocks are then read without it, and it is taken back
  // between batches of them to run signal handlers (a handler that raises
  // fails the read), and to place an error (error_at). `work` must touch no
  // Python object otherwise. Elsewhere, or inside another such run, `work`
  // simply runs.
  [[nodiscard]] Status unlocked(const std::function<Status()>& work);

  // The whole text from its start (after a byte-order mark), leading
  // whitespace included, so that positions count from the start of the
  // file. Only before anything else has been consumed.
  [[nodiscard]] Result<std::string> read_all();

  // --- The block, for a walk inside a document (nested.hpp) --------------
  // The bytes not yet consumed in the block, after reading the next block
  // when it is used up; empty at the end of the source.
  [[nodiscard]] Result<std::span<const std::uint8_t>> window();
  // Marks `n` bytes of the window consumed.
  void consume(std::size_t n) { pos_ += n; }
  // File offset of the next byte (a byte-order mark counted).
  [[nodiscard]] std::uint64_t position() const { return taken_ - len_ + pos_; }
  // Reads that have failed so far: a step that failed without one failed
  // on the text.
  [[nodiscard]] std::uint64_t failed_reads() const { return failed_reads_; }

  // --- Counters and errors ----------------------------------------------
  // Bytes taken from the source; for JSON Lines, the bytes of the lines
  // handed out (counted line by line, as a reader of lines would).
  [[nodiscard]] std::uint64_t bytes_read() const;
  [[nodiscard]] std::uint64_t total_bytes() const { return total_bytes_; }

  // Keeps what is needed to place errors in a JSON source that cannot be
  // read twice (line feeds counted as the blocks go by). Off by default:
  // only the reader of JSON arrays reports file positions.
  void track_lines() { track_lines_ = true; }

  // "invalid JSON: <message> at line L column C", with L and C those of byte
  // `offset` of the source (counted after a byte-order mark); `prefix`
  // replaces "invalid JSON: ".
  [[nodiscard]] Error error_at(std::uint64_t offset, std::string_view message,
                               std::string_view prefix = "invalid JSON: ");

  // Offset of the source's end so far: bytes taken from it.
  [[nodiscard]] std::uint64_t offset() const { return taken_; }

  // The error of a document (the Document layout's one piece, `text`) whose
  // parse failed at `index`: `message` and the position in the file, as a
  // parse of the whole file reports them ("invalid JSON: ...").
  [[nodiscard]] Error document_error(std::string_view text, std::size_t index,
                                     std::string_view message);

 private:
  // One read replacing the block. A failed read leaves the block empty and
  // the counters as they were.
  [[nodiscard]] Status refill();
  // One read from the source, without the interpreter lock inside `unlocked`.
  [[nodiscard]] Result<std::size_t> take(std::uint8_t* buf, std::size_t n);
  [[nodiscard]] Status fill_head();
  void note_lines(const std::uint8_t* p, std::size_t n, std::uint64_t start);
  [[nodiscard]] Result<Piece> next_line();
  [[nodiscard]] Result<Piece> next_element();
  [[nodiscard]] Result<Piece> next_document();
  Piece hand_out(std::string_view text, std::uint64_t bytes);

  std::unique_ptr<ByteSource> bytes_;
  binding::Batches* released_ = nullptr;  // inside `unlocked`, for a lock_free source
  std::unique_ptr<std::uint8_t[]> block_;
  std::size_t len_ = 0;        // valid bytes in block_
  std::size_t pos_ = 0;        // next byte to consume
  std::uint64_t taken_ = 0;    // bytes read from the source so far
  std::uint64_t total_bytes_;  // fixed at construction
  bool head_ = false;          // the first bytes (and a byte-order mark) have been looked at
  std::size_t bom_ = 0;  // 3 when the source starts with a byte-order mark

  // Leading whitespace that detection dropped (whole blocks of it, so that a
  // file of padding does not fill memory): its length, and the line and
  // column of its first form feed, which the parser does not take as
  // whitespace, so that `read_all` can stand in for it exactly.
  std::uint64_t dropped_ = 0;
  std::optional<std::pair<std::uint64_t, std::uint64_t>> dropped_form_feed_;

  // Line feeds before the current block and the offset just after the last
  // of them; kept when track_lines_ is set and the source is not rereadable.
  bool track_lines_ = false;
  std::uint64_t lines_before_ = 0;
  std::uint64_t line_start_before_ = 0;

  InputFormat format_ = InputFormat::Json;
  Layout layout_ = Layout::Empty;
  bool begun_ = false;
  bool laid_out_ = false;
  bool ended_ = false;       // an array or document has handed out its last piece
  bool closed_ = false;      // the array's closing bracket has been consumed
  bool after_done_ = false;  // check_after_array has reported or reached the end
  bool reject_holes_ = false;
  bool cut_any_ = false;  // an element of the array has been cut
  std::uint64_t failed_reads_ = 0;
  // Entered: the document around the array, and its check.
  std::unique_ptr<Enclosure> around_;
  std::size_t range_depth_ = 0;  // set_element_depth, when not 0
  scan::ArrayScan scan_;

  // A piece that does not lie in one block is gathered here.
  std::string gather_;
  bool gathered_ = false;  // gather_ holds the last piece handed out
  Piece last_{Cut::End, {}};
  std::uint64_t last_bytes_ = 0;
  bool replay_ = false;
  std::uint64_t line_bytes_ = 0;  // JSON Lines: bytes of the lines handed out
  std::uint64_t line_base_ = 0;   // bytes before the first line, added with it

  // Where the document of the Document layout starts: its file offset, and
  // (for a source that cannot be read twice) its line and column.
  std::uint64_t document_start_ = 0;
  std::uint64_t document_line_ = 1;
  std::uint64_t document_column_ = 0;
};

// Opens `path` as a source: "cannot open <path>: ..." (ValueError).
[[nodiscard]] Result<RecordSource> open_file_source(std::string_view path);

}  // namespace quarn::records
