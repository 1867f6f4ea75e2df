// ColumnSink: a parser sink that appends records to Arrow columns, and the
// export of a finished batch through the C data interface.
//
// Columns follow a Schema (types.hpp). Each record fills one row:
//   - an object's members go to the columns of their keys, at every depth;
//     a key with no column is passed over with its whole value (still
//     parsed, so the record's grammar is checked all the same); a column
//     whose key is missing gets null; where a key repeats, the last member
//     wins, as in a parse into a dictionary;
//   - in a wrapped schema, the record itself is the value of column "value";
//   - null is a null slot in any column (a record that is null, or that is
//     a scalar or array where records are objects, a row of nulls);
//   - an integer in a float64 column becomes the double float() gives for its
//     text: every integer the parser hands over as an integer is exact, and
//     converting an exact integer to double rounds to nearest, as float()
//     does; larger integers arrive as doubles already rounded from the text.
// A value whose kind its column cannot hold (a string in an int64 column, a
// fraction or an integer beyond int64 in an int64 column, an array in a
// struct column, ...) conflicts, and the caller's policy decides:
//   - Error: the record fails with a message naming the record's index and
//     the JSON Pointer of the value in it ("/user/id", "/tags/3"); the batch
//     is left as it was after the last complete record;
//   - AsNull: the value becomes a null slot;
//   - AsText: in a utf8 column, the value is kept as compact JSON text, as
//     json.dumps(value, separators=(",", ":"), ensure_ascii=False) writes it;
//     in any other column this is an error as under Error.
// A key with no column is passed over, or fails the record under
// KeyPolicy::Error, naming the key's place.
// Strings and keys holding bytes above ASCII are checked for valid UTF-8
// (the parser leaves that to its sinks); a bad one fails the record.
//
// Memory: every buffer grows by doubling and is handed over, not copied,
// when the batch is exported; finish_batch() leaves the sink empty for the
// next batch. utf8 and list columns keep 32-bit offsets until a batch's
// bytes or items would pass `offset_limit`, when that column's offsets are
// widened once to 64 bits and the batch exports it as large_utf8 or
// large_list (a stream that needs one type for every batch must settle that
// before exporting).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "arrow/c_data.hpp"
#include "arrow/types.hpp"
#include "binding/result.hpp"
#include "json/parser.hpp"

namespace quarn::arrow {

enum class ConflictPolicy : std::uint8_t { Error, AsNull, AsText };

// What a key with no column does: passed over with its value (the columns
// are those asked for), or fails the record (a file whose records must hold
// nothing beyond the columns).
enum class KeyPolicy : std::uint8_t { Ignore, Error };

// Growable bytes from malloc, whose memory can be handed over to an exported
// array (released with free).
class Buffer {
 public:
  Buffer() = default;
  Buffer(Buffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  Buffer& operator=(Buffer&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
  }
  ~Buffer() { std::free(data_); }

  [[nodiscard]] std::uint8_t* data() { return data_; }
  [[nodiscard]] const std::uint8_t* data() const { return data_; }
  [[nodiscard]] std::size_t size() const { return size_; }

  template <class T>
  [[nodiscard]] T* as() {
    return reinterpret_cast<T*>(data_);
  }
  template <class T>
  [[nodiscard]] const T* as() const {
    return reinterpret_cast<const T*>(data_);
  }

  template <class T>
  void push(T v) {
    if (capacity_ - size_ < sizeof v) [[unlikely]]
      grow(sizeof v);
    std::memcpy(data_ + size_, &v, sizeof v);
    size_ += sizeof v;
  }
  void append(const void* p, std::size_t n) {
    if (capacity_ - size_ < n) [[unlikely]]
      grow(n);
    if (n != 0) std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  // Shrinks, or grows with unspecified bytes.
  void resize(std::size_t n) {
    if (n > capacity_) grow(n - size_);
    size_ = n;
  }
  // Hands the memory over to the caller, who frees it; the buffer is empty.
  [[nodiscard]] std::uint8_t* release() {
    size_ = capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  [[gnu::noinline]] void grow(std::size_t more);

  std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The buffers of one column (and its children) in the batch being built.
struct Column {
  Kind kind = Kind::Null;
  bool large = false;      // utf8, list: the offsets are 64-bit
  bool bitmap = false;     // validity holds a bit per row (only once a null came)
  std::uint32_t next = 0;  // struct: the field the next key most likely names
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  Buffer validity;
  Buffer values;  // bool: bits; int64, float64: values; utf8, list: offsets
  Buffer data;    // utf8: the bytes
  std::vector<Column> children;
  const Type* type = nullptr;
  // Struct with many fields: name -> index, past the guess of `next`.
  std::unordered_map<std::string_view, std::uint32_t> index;
};

// What finish_batch() hands over: the batch's schema and its struct array
// (one child per column, null_count 0). Each struct is released on
// destruction unless the caller moved it out (copied it and set its
// `release` to null).
struct Batch {
  ArrowSchema schema{};
  ArrowArray array{};

  Batch() = default;
  Batch(Batch&& other) noexcept : schema(other.schema), array(other.array) {
    other.schema.release = nullptr;
    other.array.release = nullptr;
  }
  Batch& operator=(Batch&&) = delete;
  ~Batch() {
    if (schema.release != nullptr) schema.release(&schema);
    if (array.release != nullptr) array.release(&array);
  }
};

class ColumnSink {
 public:
  ColumnSink(Schema schema, ConflictPolicy policy,
             std::int64_t offset_limit = std::int64_t{INT32_MAX},
             KeyPolicy keys = KeyPolicy::Ignore);
  ColumnSink(const ColumnSink&) = delete;
  ColumnSink& operator=(const ColumnSink&) = delete;

  // Parses one record and appends it as a row. On failure (not JSON, a
  // conflict under Error, bad UTF-8) the columns are as before the call and
  // the error names the record by its index: the number of records given
  // before it, counting from `first_index`.
  binding::Status add_record(std::string_view text);

  // The same, for a reader that words grammar errors itself: the parser's
  // error, or none when the record became a row. On SinkFailed (a conflict
  // under Error, bad UTF-8) take_error() says why, naming the record and the
  // value's place in it. `depth`: containers around the record that count
  // towards the parser's nesting limit (see json::parse).
  [[nodiscard]] std::optional<json::ParseError> parse_record(std::string_view text,
                                                             std::size_t depth = 0);
  [[nodiscard]] std::string take_error() { return std::exchange(error_, {}); }

  // The schema every batch of this sink is exported with while no column
  // outgrows its 32-bit offsets.
  void export_batch_schema(ArrowSchema& out) const;
  void set_first_index(std::uint64_t first) { index_ = first; }

  [[nodiscard]] std::int64_t rows() const { return root_.length; }

  // Exports the rows so far and starts an empty batch.
  [[nodiscard]] Batch finish_batch();

  // Parser events (json/parser.hpp).
  bool null();
  bool boolean(bool b);
  bool unsigned_integer(std::uint64_t v);
  bool signed_integer(std::int64_t v);
  bool floating(double v);
  bool string(const char* p, std::size_t n, bool ascii);
  bool key(const char* p, std::size_t n, bool ascii);
  bool begin_object();
  bool begin_array();
  bool end_object(std::size_t);
  bool end_array(std::size_t);
  bool numbers_unused();

 private:
  // An open struct or list being filled; `member` is the struct's column for
  // the current key (null: a key without a column).
  struct Frame {
    Column* col;
    Column* member;
  };

  Column* slot();
  bool conflict(Column* col, const char* found, std::string_view text, char open);
  [[gnu::cold, gnu::noinline]] bool fail(std::string reason);
  // The JSON Pointer of the value being read: through the members of the
  // first `frames` open containers (all of them by default).
  [[gnu::cold, gnu::noinline]] std::string pointer(std::size_t frames) const;
  [[nodiscard]] std::string pointer() const { return pointer(frames_.size()); }
  [[gnu::cold, gnu::noinline]] bool unknown_key(std::string_view name);
  bool bad_utf8(const char* p, std::size_t n);
  void null_row();
  void close_struct(Column& col);

  // Compact JSON text of a value kept as text.
  bool text_separator();
  bool text_scalar(std::string_view s);
  bool text_open(char c);
  bool text_close(char c);
  bool text_key(const char* p, std::size_t n);

  Schema schema_;
  ConflictPolicy policy_;
  std::int64_t offset_limit_;
  KeyPolicy keys_;
  std::uint64_t index_ = 0;
  Column root_;
  std::vector<Frame> frames_;
  int skip_ = 0;  // depth inside a value passed over
  // A value being rendered as text into text_col_ (null when none): one
  // entry per open container, whether it has a member yet.
  Column* text_col_ = nullptr;
  std::string text_;
  std::vector<bool> text_levels_;
  bool text_after_key_ = false;
  std::string error_;
};

// Appends the shortest text that reads back as d, laid out as Python's
// repr() lays it out ("1.5", "100.0", "1e+16", "1.5e-07").
void append_double(double d, std::string& out);

}  // namespace quarn::arrow
