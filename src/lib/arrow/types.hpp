// Column types of the Arrow batches that ColumnSink builds, and their
// inference from sample records.
//
// A Type is a small tree: null, bool, int64, float64 and utf8 leaves, structs
// of named fields in order, lists of one item type, and maps from utf8 keys to
// one value type (a list of "entries" structs of "key" and "value", as the
// interface lays maps out). utf8 and list are stored
// with 32-bit offsets unless a batch outgrows them, when that batch's column
// is exported with 64-bit offsets instead (large_utf8, large_list): the tree
// does not say which, the batch does (see builder.hpp).
//
// Inference (Inferrer) reads the sample records' parser events and merges
// every value met at one place of a record into that place's type:
//   - true/false -> bool; a string -> utf8; an object -> struct, its keys in
//     the order they were first met across the sample; an array -> list, its
//     item the merge of every element of every array met there;
//   - an integer within int64 -> int64; a fraction, or an integer outside
//     int64, -> float64, and int64 meeting float64 (either way round) gives
//     float64;
//   - null adds nothing: a place met only as null (or an empty array's item)
//     stays null type;
//   - objects at one place with more than json::kMapKeys distinct keys
//     between them (ids, dates, names as keys) are a map: its value type the
//     merge of every member's, whatever key it came under;
//   - other kinds meeting at one place conflict: the first kind met stays
//     (the builder then applies its conflict policy to the others), or, with
//     `mixed_as_text`, the place becomes utf8 for good (so that a builder
//     keeping conflicting values as their JSON text can hold them all).
// A key holding a NUL byte cannot name a field of the interface (names are C
// strings): it gets no column, and its values are passed over as those of
// any key outside the schema are.
// Records are objects, whose keys are the columns, unless the first sampled
// record is not an object: then every record is one value, the single
// column "value". No sample at all gives objects with no columns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arrow/c_data.hpp"
#include "binding/result.hpp"

namespace quarn::arrow {

enum class Kind : std::uint8_t { Null, Bool, Int64, Float64, Utf8, Struct, List, Map };

// "null", "bool", "int64", ...: for messages.
[[nodiscard]] const char* kind_name(Kind kind);

struct Field;

struct Type {
  Kind kind = Kind::Null;
  // Struct: its fields in order. List: one field, "item", the element type.
  // Map: one field, "entries", a struct of "key" (utf8) and "value".
  std::vector<Field> fields;

  [[nodiscard]] static Type of(Kind kind);
  [[nodiscard]] static Type list(Type item);
  [[nodiscard]] static Type structure(std::vector<Field> fields);
  [[nodiscard]] static Type map(Type value);

  [[nodiscard]] const Type& item() const;
  // A map's value type.
  [[nodiscard]] const Type& value() const;
  [[nodiscard]] Type& value();

  // The Arrow format string of this node alone ("l", "+s", ...); `large`
  // picks the 64-bit offset variant of utf8 and list (a map has none).
  [[nodiscard]] const char* format(bool large = false) const;

  // Index of the struct field named `name`, or -1.
  [[nodiscard]] std::ptrdiff_t find(std::string_view name) const;
};

struct Field {
  std::string name;
  Type type;
};

// Defined once Field is complete: a vector of it is made here (libc++ wants
// the element type complete there).
inline Type Type::of(Kind kind) {
  return Type{kind, {}};
}

struct Schema {
  Type record = Type::structure({});  // a struct: the batch's columns
  bool wrapped = false;               // each record is the single column "value"
};

// --- Types given by a caller -------------------------------------------------
// Type names as a caller writes them: "null", "bool", "int64", "float64",
// "utf8" (or "string"), "list<T>" (or "list<item: T>") and "map<utf8, T>"
// of any of them.
[[nodiscard]] binding::Result<Type> type_named(std::string_view name);

// A type described through the C data interface (a pyarrow DataType, Field
// or Schema): only the kinds above, strings and lists of either offset
// width, and structs of them; anything else is refused, naming its place.
[[nodiscard]] binding::Result<Type> type_of(const ArrowSchema& c, const std::string& where = "");

// Puts `type` at `path` (keys from the record down) in the struct `into`,
// making structs on the way: the column of a JSON Pointer, in the order the
// caller gave them. A path given twice, or through a column that is not a
// struct, is refused.
[[nodiscard]] binding::Status place(Type& into, const std::vector<std::string>& path, Type type);

// Gathers a Schema from sample records (see above). Also a parser sink (the
// members below add), so that no sampled value is ever built.
class Inferrer {
 public:
  // More distinct keys than `map_keys` at one place make it a map.
  explicit Inferrer(bool mixed_as_text = false, std::size_t map_keys = 200)
      : mixed_as_text_(mixed_as_text), map_keys_(map_keys) {}

  // Merges one record; a text that is not JSON gives the parser's error (the
  // merge may then hold part of it: a caller reports the error and stops).
  binding::Status add(std::string_view record);

  [[nodiscard]] Schema schema() const;

  bool null() { return true; }
  bool boolean(bool) { return merge(Kind::Bool); }
  bool unsigned_integer(std::uint64_t v) {
    return merge(v <= std::uint64_t{INT64_MAX} ? Kind::Int64 : Kind::Float64);
  }
  bool signed_integer(std::int64_t) { return merge(Kind::Int64); }
  bool floating(double) { return merge(Kind::Float64); }
  bool string(const char*, std::size_t, bool) { return merge(Kind::Utf8); }
  bool key(const char* p, std::size_t n, bool ascii);
  bool begin_object() { return open(Kind::Struct); }
  bool begin_array() { return open(Kind::List); }
  bool end_object(std::size_t) { return close(); }
  bool end_array(std::size_t) { return close(); }
  // Only the kind of a number matters here.
  bool numbers_unused() { return true; }

 private:
  // The type the next value merges into; null inside a value passed over.
  Type* slot();
  bool merge(Kind kind);
  bool open(Kind kind);
  bool close() {
    frames_.pop_back();
    return true;
  }
  void conflict(Type& type);
  // Merges `from` into `into` as values met at one place merge.
  void merge_type(Type& into, const Type& from);

  bool mixed_as_text_;
  std::size_t map_keys_;
  std::size_t records_ = 0;
  bool objects_ = true;  // what the first record was
  Type root_;
  // The open containers, innermost last: the struct or list being merged
  // into, or null for one passed over.
  std::vector<Type*> frames_;
  Type* member_ = nullptr;  // the field of the innermost struct's current key
};

}  // namespace quarn::arrow
