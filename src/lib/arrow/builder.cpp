#include "arrow/builder.hpp"

#include <charconv>
#include <cmath>
#include <memory>
#include <new>
#include <optional>

#include "json/parser.hpp"
#include "json/pointer.hpp"
#include "json/text.hpp"
#include "scan/scan.hpp"

namespace quarn::arrow {

void Buffer::grow(std::size_t more) {
  std::size_t capacity = capacity_ < 64 ? 64 : capacity_ * 2;
  if (capacity - size_ < more) capacity = size_ + more;
  auto* data = static_cast<std::uint8_t*>(std::realloc(data_, capacity));
  if (data == nullptr) throw std::bad_alloc();
  data_ = data;
  capacity_ = capacity;
}

namespace {

// Sets or clears bit i of a bitmap that holds bits [0, i) so far.
inline void put_bit(Buffer& bits, std::int64_t i, bool on) {
  if ((i & 7) == 0) bits.push(std::uint8_t{0});
  const auto mask = static_cast<std::uint8_t>(1u << (i & 7));
  std::uint8_t& byte = bits.data()[i >> 3];
  byte = on ? byte | mask : byte & static_cast<std::uint8_t>(~mask);
}

// Keeps bits [0, n): the bytes past them go, the bits past them in the last
// byte are cleared.
void cut_bits(Buffer& bits, std::int64_t n) {
  bits.resize(static_cast<std::size_t>((n + 7) >> 3));
  if ((n & 7) != 0) bits.data()[n >> 3] &= static_cast<std::uint8_t>((1u << (n & 7)) - 1);
}

std::int64_t offset_at(const Column& c, std::int64_t i) {
  return c.large ? c.values.as<std::int64_t>()[i] : c.values.as<std::int32_t>()[i];
}

// Copies 32-bit offsets into a buffer of 64-bit ones; once per column and batch.
[[gnu::noinline]] void widen(Column& c) {
  Buffer wide;
  const auto n = c.values.size() / sizeof(std::int32_t);
  wide.resize(n * sizeof(std::int64_t));
  for (std::size_t i = 0; i < n; ++i) wide.as<std::int64_t>()[i] = c.values.as<std::int32_t>()[i];
  c.values = std::move(wide);
  c.large = true;
}

void push_offset(Column& c, std::int64_t end, std::int64_t limit) {
  if (!c.large) {
    if (end <= limit) [[likely]] {
      c.values.push(static_cast<std::int32_t>(end));
      return;
    }
    widen(c);
  }
  c.values.push(end);
}

// A map has 32-bit offsets only. Its entries are bounded by the batch's text
// (each takes at least 5 bytes, `"":0,`), which a batch keeps under 1 GiB.
void push_map_offset(Column& c, std::int64_t end) {
  c.values.push(static_cast<std::int32_t>(end));
}

// The validity bit of the row being appended (row `length`).
inline void mark_valid(Column& c) {
  if (c.bitmap) put_bit(c.validity, c.length, true);
}

void mark_null(Column& c) {
  if (!c.bitmap) {
    // Every row so far was valid: the bitmap starts all ones.
    c.validity.resize(static_cast<std::size_t>((c.length + 7) >> 3));
    if (c.validity.size() != 0) std::memset(c.validity.data(), 0xFF, c.validity.size());
    cut_bits(c.validity, c.length);
    c.bitmap = true;
  }
  put_bit(c.validity, c.length, false);
  ++c.null_count;
}

void append_null(Column& c, std::int64_t limit) {
  switch (c.kind) {
    case Kind::Null:
      ++c.null_count;
      ++c.length;
      return;
    case Kind::Bool:
      put_bit(c.values, c.length, false);
      break;
    case Kind::Int64:
      c.values.push(std::int64_t{0});
      break;
    case Kind::Float64:
      c.values.push(0.0);
      break;
    case Kind::Utf8:
    case Kind::List:
      push_offset(c, offset_at(c, c.length), limit);
      break;
    case Kind::Map:
      push_map_offset(c, offset_at(c, c.length));
      break;
    case Kind::Struct:
      // A struct's children have a slot in every row, its null rows too.
      for (Column& child : c.children) append_null(child, limit);
      break;
  }
  mark_null(c);
  ++c.length;
}

void append_utf8(Column& c, const char* p, std::size_t n, std::int64_t limit) {
  mark_valid(c);
  c.data.append(p, n);
  push_offset(c, static_cast<std::int64_t>(c.data.size()), limit);
  ++c.length;
}

template <class T>
void append_value(Column& c, T v) {
  mark_valid(c);
  c.values.push(v);
  ++c.length;
}

// Back to the first n rows, with everything they hold below them. A struct's
// children and a list's items may hold part of a row past n (a record cut
// short), so they are cut even where the column's own length is n already.
void truncate(Column& c, std::int64_t n) {
  if (c.bitmap) {
    for (std::int64_t i = n; i < c.length; ++i) {
      if ((c.validity.data()[i >> 3] >> (i & 7) & 1) == 0) --c.null_count;
    }
    cut_bits(c.validity, n);
  }
  const std::size_t width = c.large ? 8 : 4;
  switch (c.kind) {
    case Kind::Null:
      c.null_count = n;
      break;
    case Kind::Bool:
      cut_bits(c.values, n);
      break;
    case Kind::Int64:
    case Kind::Float64:
      c.values.resize(static_cast<std::size_t>(n) * 8);
      break;
    case Kind::Utf8:
      c.data.resize(static_cast<std::size_t>(offset_at(c, n)));
      c.values.resize(static_cast<std::size_t>(n + 1) * width);
      break;
    case Kind::List:
    case Kind::Map:
      truncate(c.children.front(), offset_at(c, n));
      c.values.resize(static_cast<std::size_t>(n + 1) * width);
      break;
    case Kind::Struct:
      for (Column& child : c.children) truncate(child, n);
      break;
  }
  c.length = n;
}

// An empty column of `type`, ready for rows.
void init(Column& c, const Type& type) {
  c.kind = type.kind;
  c.type = &type;
  c.large = false;
  c.bitmap = false;
  c.next = 0;
  c.length = 0;
  c.null_count = 0;
  // Whatever an export did not take (a bitmap never started) goes too.
  c.validity = Buffer();
  c.values = Buffer();
  c.data = Buffer();
  if (type.kind == Kind::Utf8 || type.kind == Kind::List || type.kind == Kind::Map)
    c.values.push(std::int32_t{0});
  c.children.resize(type.fields.size());
  for (std::size_t i = 0; i < type.fields.size(); ++i) init(c.children[i], type.fields[i].type);
  // A handful of fields are found faster by scanning than by hashing.
  if (type.kind == Kind::Struct && type.fields.size() > 8 && c.index.empty()) {
    for (std::size_t i = 0; i < type.fields.size(); ++i)
      c.index.emplace(type.fields[i].name, static_cast<std::uint32_t>(i));
  }
}

Column* find_member(Column& c, std::string_view name) {
  const auto& fields = c.type->fields;
  const std::uint32_t guess = c.next;
  if (guess < fields.size() && fields[guess].name == name) {
    c.next = guess + 1;
    return &c.children[guess];
  }
  std::uint32_t i = 0;
  if (!c.index.empty()) {
    const auto it = c.index.find(name);
    if (it == c.index.end()) return nullptr;
    i = it->second;
  } else {
    while (i < fields.size() && fields[i].name != name) ++i;
    if (i == fields.size()) return nullptr;
  }
  c.next = i + 1;
  return &c.children[i];
}

// ---- Export ----

// A buffer that a consumer may read even when a column has no rows.
alignas(64) const std::uint8_t kNoBytes[64] = {};

struct ArrayOwner {
  std::uint8_t* memory[3] = {nullptr, nullptr, nullptr};
  const void* buffers[3] = {nullptr, nullptr, nullptr};
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;

  ~ArrayOwner() {
    for (std::uint8_t* m : memory) std::free(m);
  }
};

void release_array(ArrowArray* array) {
  auto* owner = static_cast<ArrayOwner*>(array->private_data);
  // A child the consumer moved out has its release set to null: it is the
  // consumer's now.
  for (ArrowArray* child : owner->child_pointers) {
    if (child->release != nullptr) child->release(child);
  }
  delete owner;
  array->release = nullptr;
}

struct SchemaOwner {
  std::string name;
  std::vector<ArrowSchema> children;
  std::vector<ArrowSchema*> child_pointers;
};

void release_schema(ArrowSchema* schema) {
  auto* owner = static_cast<SchemaOwner*>(schema->private_data);
  for (ArrowSchema* child : owner->child_pointers) {
    if (child->release != nullptr) child->release(child);
  }
  delete owner;
  schema->release = nullptr;
}

// Moves the column's buffers into `out`; the column keeps nothing.
void export_array(Column& c, ArrowArray& out) {
  auto owner = std::make_unique<ArrayOwner>();
  int n = 0;
  auto hand_over = [&](Buffer* b) {
    if (b == nullptr) {
      owner->buffers[n++] = nullptr;
      return;
    }
    owner->memory[n] = b->release();
    owner->buffers[n] = owner->memory[n] != nullptr ? owner->memory[n] : kNoBytes;
    ++n;
  };
  if (c.kind != Kind::Null) hand_over(c.bitmap ? &c.validity : nullptr);
  switch (c.kind) {
    case Kind::Null:
    case Kind::Struct:
      break;
    case Kind::Bool:
    case Kind::Int64:
    case Kind::Float64:
    case Kind::List:
    case Kind::Map:
      hand_over(&c.values);
      break;
    case Kind::Utf8:
      hand_over(&c.values);
      hand_over(&c.data);
      break;
  }
  owner->children.resize(c.children.size());
  for (std::size_t i = 0; i < c.children.size(); ++i) {
    export_array(c.children[i], owner->children[i]);
    owner->child_pointers.push_back(&owner->children[i]);
  }
  out.length = c.length;
  out.null_count = c.null_count;
  out.offset = 0;
  out.n_buffers = n;
  out.n_children = static_cast<std::int64_t>(c.children.size());
  out.buffers = owner->buffers;
  out.children = owner->child_pointers.data();
  out.dictionary = nullptr;
  out.release = release_array;
  out.private_data = owner.release();
}

// `entries`: c is the struct of a map's entries.
void export_schema(const Column& c, const std::string& name, std::int64_t flags, ArrowSchema& out,
                   bool entries = false) {
  auto owner = std::make_unique<SchemaOwner>();
  owner->name = name;
  owner->children.resize(c.children.size());
  for (std::size_t i = 0; i < c.children.size(); ++i) {
    // A map's entries, and their keys, are never null.
    const bool required = c.kind == Kind::Map || (entries && i == 0);
    export_schema(c.children[i], c.type->fields[i].name, required ? 0 : ARROW_FLAG_NULLABLE,
                  owner->children[i], c.kind == Kind::Map);
    owner->child_pointers.push_back(&owner->children[i]);
  }
  out.format = c.type->format(c.large);
  out.name = owner->name.c_str();
  out.metadata = nullptr;
  out.flags = flags;
  out.n_children = static_cast<std::int64_t>(c.children.size());
  out.children = owner->child_pointers.data();
  out.dictionary = nullptr;
  out.release = release_schema;
  out.private_data = owner.release();
}

template <class Int>
std::string integer_text(Int v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, res.ptr);
}

std::string double_text(double d) {
  std::string s;
  append_double(d, s);
  return s;
}

}  // namespace

void append_double(double d, std::string& out) {
  if (d == 0.0) {
    out += std::signbit(d) ? "-0.0" : "0.0";
    return;
  }
  // to_chars gives the shortest round-trip digits as "d[.ddd]e±XX"; only
  // the layout is repr()'s: positional from 1e-4 up to below 1e16.
  char sci[32];
  const auto res =
      std::to_chars(sci, sci + sizeof sci, std::fabs(d), std::chars_format::scientific);
  std::string digits;
  const char* p = sci;
  for (; p != res.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits += *p;
  }
  int e = 0;
  std::from_chars(p + 2, res.ptr, e);
  if (p[1] == '-') e = -e;
  if (d < 0) out += '-';
  const int n = static_cast<int>(digits.size());
  if (e >= 16 || e < -4) {
    out += digits[0];
    if (n > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += e < 0 ? "e-" : "e+";
    const int a = e < 0 ? -e : e;
    if (a < 10) out += '0';
    out += std::to_string(a);
  } else if (e >= 0) {
    if (n <= e + 1) {
      out += digits;
      out.append(static_cast<std::size_t>(e + 1 - n), '0');
      out += ".0";
    } else {
      out.append(digits, 0, static_cast<std::size_t>(e + 1));
      out += '.';
      out.append(digits, static_cast<std::size_t>(e + 1));
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-e - 1), '0');
    out += digits;
  }
}

ColumnSink::ColumnSink(Schema schema, ConflictPolicy policy, std::int64_t offset_limit,
                       KeyPolicy keys)
    : schema_(std::move(schema)), policy_(policy), offset_limit_(offset_limit), keys_(keys) {
  init(root_, schema_.record);
}

std::optional<json::ParseError> ColumnSink::parse_record(std::string_view text, std::size_t depth) {
  auto err = json::parse(text, *this, depth);
  if (!err) [[likely]] {
    ++root_.length;
    ++index_;
    return err;
  }
  truncate(root_, root_.length);
  frames_.clear();
  skip_ = 0;
  text_col_ = nullptr;
  ++index_;
  return err;
}

binding::Status ColumnSink::add_record(std::string_view text) {
  const std::uint64_t index = index_;
  const auto err = parse_record(text);
  if (!err) [[likely]]
    return binding::ok_status();
  std::string message = take_error();
  if (err->code != json::ErrorCode::SinkFailed) {
    message = "record " + std::to_string(index) + ": " + json::describe(text, *err);
  }
  return binding::Error::value(std::move(message));
}

void ColumnSink::export_batch_schema(ArrowSchema& out) const {
  export_schema(root_, "", 0, out);
}

Batch ColumnSink::finish_batch() {
  Batch batch;
  export_schema(root_, "", 0, batch.schema);
  export_array(root_, batch.array);
  init(root_, schema_.record);
  return batch;
}

Column* ColumnSink::slot() {
  if (frames_.empty()) return schema_.wrapped ? &root_.children.front() : &root_;
  const Frame& top = frames_.back();
  return top.col->kind == Kind::List ? &top.col->children.front() : top.member;
}

bool ColumnSink::fail(std::string reason) {
  error_ = "record " + std::to_string(index_) + ": " + std::move(reason);
  return false;
}

std::string ColumnSink::pointer(std::size_t frames) const {
  std::string out;
  for (std::size_t k = 0; k < frames; ++k) {
    const Frame& f = frames_[k];
    if (f.col->kind == Kind::List) {
      const Column& item = f.col->children.front();
      out += '/';
      out += std::to_string(item.length - offset_at(*f.col, f.col->length));
      continue;
    }
    if (f.col->kind == Kind::Map) {
      // The key of the entry being read: the last one appended.
      const Column& keys = f.col->children.front().children.front();
      const std::int64_t from = offset_at(keys, keys.length - 1);
      const auto* data = reinterpret_cast<const char*>(keys.data.data());
      json::append_pointer_token(
          std::string_view(data + from,
                           static_cast<std::size_t>(offset_at(keys, keys.length) - from)),
          out);
      continue;
    }
    const auto i = static_cast<std::size_t>(f.member - f.col->children.data());
    json::append_pointer_token(f.col->type->fields[i].name, out);
  }
  return out;
}

bool ColumnSink::unknown_key(std::string_view name) {
  std::string where = pointer(frames_.size() - 1);
  json::append_pointer_token(name, where);
  return fail("the key " + where + " has no column");
}

// `col` met a value it cannot hold: `found` says what, `text` is a scalar's
// JSON text, `open` the bracket of a container ('\0' for a scalar).
bool ColumnSink::conflict(Column* col, const char* found, std::string_view text, char open) {
  if (policy_ == ConflictPolicy::AsNull) {
    if (col == &root_) {
      null_row();
    } else {
      append_null(*col, offset_limit_);
    }
    if (open != '\0') skip_ = 1;
    return true;
  }
  if (policy_ == ConflictPolicy::AsText && col->kind == Kind::Utf8) {
    if (open == '\0') {
      append_utf8(*col, text.data(), text.size(), offset_limit_);
      return true;
    }
    text_col_ = col;
    text_.clear();
    text_levels_.clear();
    text_after_key_ = false;
    return text_open(open);
  }
  const std::string where = frames_.empty() && !schema_.wrapped ? "the record" : pointer();
  const Kind held = col == &root_ ? Kind::Struct : col->kind;
  return fail(std::string(where.empty() ? "the record" : where) + " is " + found +
              ", which a column of " + kind_name(held) + " cannot hold");
}

void ColumnSink::null_row() {
  for (Column& c : root_.children) append_null(c, offset_limit_);
}

void ColumnSink::close_struct(Column& col) {
  for (Column& child : col.children) {
    if (child.length == col.length) append_null(child, offset_limit_);
  }
  if (&col == &root_) return;  // its row is counted once the record is complete
  mark_valid(col);
  ++col.length;
}

bool ColumnSink::bad_utf8(const char* p, std::size_t n) {
  if (scan::validate_utf8(reinterpret_cast<const std::uint8_t*>(p), n)) return false;
  fail("a string or key is not valid UTF-8");
  return true;
}

bool ColumnSink::null() {
  if (text_col_ != nullptr) return text_scalar("null");
  if (skip_ != 0) return true;
  Column* c = slot();
  if (c == &root_) {
    null_row();
  } else if (c != nullptr) {
    append_null(*c, offset_limit_);
  }
  return true;
}

bool ColumnSink::boolean(bool b) {
  const std::string_view text = b ? "true" : "false";
  if (text_col_ != nullptr) return text_scalar(text);
  if (skip_ != 0) return true;
  Column* c = slot();
  if (c == nullptr) return true;
  if (c->kind == Kind::Bool) [[likely]] {
    mark_valid(*c);
    put_bit(c->values, c->length, b);
    ++c->length;
    return true;
  }
  return conflict(c, "a boolean", text, '\0');
}

bool ColumnSink::unsigned_integer(std::uint64_t v) {
  if (text_col_ != nullptr) return text_scalar(integer_text(v));
  if (skip_ != 0) return true;
  Column* c = slot();
  if (c == nullptr) return true;
  if (c->kind == Kind::Int64 && v <= std::uint64_t{INT64_MAX}) [[likely]] {
    append_value(*c, static_cast<std::int64_t>(v));
    return true;
  }
  if (c->kind == Kind::Float64) {
    append_value(*c, static_cast<double>(v));
    return true;
  }
  return conflict(c, c->kind == Kind::Int64 ? "an integer beyond int64" : "an integer",
                  integer_text(v), '\0');
}

bool ColumnSink::signed_integer(std::int64_t v) {
  if (text_col_ != nullptr) return text_scalar(integer_text(v));
  if (skip_ != 0) return true;
  Column* c = slot();
  if (c == nullptr) return true;
  if (c->kind == Kind::Int64) [[likely]] {
    append_value(*c, v);
    return true;
  }
  if (c->kind == Kind::Float64) {
    append_value(*c, static_cast<double>(v));
    return true;
  }
  return conflict(c, "an integer", integer_text(v), '\0');
}

bool ColumnSink::floating(double v) {
  if (text_col_ != nullptr) return text_scalar(double_text(v));
  if (skip_ != 0) return true;
  Column* c = slot();
  if (c == nullptr) return true;
  if (c->kind == Kind::Float64) [[likely]] {
    append_value(*c, v);
    return true;
  }
  return conflict(c, "a fraction or an integer beyond int64", double_text(v), '\0');
}

bool ColumnSink::numbers_unused() {
  if (skip_ != 0) return true;
  if (text_col_ != nullptr) return false;
  const Column* c = slot();
  if (c == nullptr) return true;
  return c->kind != Kind::Float64 && !(c->kind == Kind::Utf8 && policy_ == ConflictPolicy::AsText);
}

bool ColumnSink::string(const char* p, std::size_t n, bool ascii) {
  if (!ascii && bad_utf8(p, n)) return false;
  if (text_col_ != nullptr) {
    text_separator();
    json::append_quoted(std::string_view(p, n), text_);
    return true;
  }
  if (skip_ != 0) return true;
  Column* c = slot();
  if (c == nullptr) return true;
  if (c->kind == Kind::Utf8) [[likely]] {
    append_utf8(*c, p, n, offset_limit_);
    return true;
  }
  return conflict(c, "a string", {}, '\0');
}

bool ColumnSink::key(const char* p, std::size_t n, bool ascii) {
  if (!ascii && bad_utf8(p, n)) return false;
  if (text_col_ != nullptr) return text_key(p, n);
  if (skip_ != 0) return true;
  Frame& top = frames_.back();
  if (top.col->kind == Kind::Map) {
    // A new entry: its key now, its value next.
    Column& entries = top.col->children.front();
    append_utf8(entries.children.front(), p, n, offset_limit_);
    ++entries.length;
    top.member = &entries.children[1];
    return true;
  }
  Column* member = find_member(*top.col, std::string_view(p, n));
  if (member == nullptr && keys_ == KeyPolicy::Error) return unknown_key(std::string_view(p, n));
  // A repeated key: its last member wins, so the earlier one is taken back.
  if (member != nullptr && member->length > top.col->length) truncate(*member, top.col->length);
  top.member = member;
  return true;
}

bool ColumnSink::begin_object() {
  if (text_col_ != nullptr) return text_open('{');
  if (skip_ != 0) return ++skip_, true;
  Column* c = slot();
  if (c == nullptr) return skip_ = 1, true;
  if (c->kind == Kind::Struct) [[likely]] {
    c->next = 0;
    frames_.push_back(Frame{c, nullptr});
    return true;
  }
  if (c->kind == Kind::Map) {
    frames_.push_back(Frame{c, nullptr});
    return true;
  }
  return conflict(c, "an object", {}, '{');
}

bool ColumnSink::begin_array() {
  if (text_col_ != nullptr) return text_open('[');
  if (skip_ != 0) return ++skip_, true;
  Column* c = slot();
  if (c == nullptr) return skip_ = 1, true;
  if (c->kind == Kind::List) [[likely]] {
    frames_.push_back(Frame{c, nullptr});
    return true;
  }
  return conflict(c, "an array", {}, '[');
}

bool ColumnSink::end_object(std::size_t) {
  if (text_col_ != nullptr) return text_close('}');
  if (skip_ != 0) return --skip_, true;
  Column& col = *frames_.back().col;
  frames_.pop_back();
  if (col.kind == Kind::Map) {
    mark_valid(col);
    push_map_offset(col, col.children.front().length);
    ++col.length;
    return true;
  }
  close_struct(col);
  return true;
}

bool ColumnSink::end_array(std::size_t) {
  if (text_col_ != nullptr) return text_close(']');
  if (skip_ != 0) return --skip_, true;
  Column& col = *frames_.back().col;
  frames_.pop_back();
  mark_valid(col);
  push_offset(col, col.children.front().length, offset_limit_);
  ++col.length;
  return true;
}

bool ColumnSink::text_separator() {
  if (text_after_key_) {
    text_after_key_ = false;
  } else if (!text_levels_.empty()) {
    if (text_levels_.back()) text_ += ',';
    text_levels_.back() = true;
  }
  return true;
}

bool ColumnSink::text_scalar(std::string_view s) {
  text_separator();
  text_ += s;
  return true;
}

bool ColumnSink::text_open(char c) {
  text_separator();
  text_ += c;
  text_levels_.push_back(false);
  return true;
}

bool ColumnSink::text_close(char c) {
  text_ += c;
  text_levels_.pop_back();
  if (text_levels_.empty()) {
    append_utf8(*text_col_, text_.data(), text_.size(), offset_limit_);
    text_col_ = nullptr;
  }
  return true;
}

bool ColumnSink::text_key(const char* p, std::size_t n) {
  if (text_levels_.back()) text_ += ',';
  text_levels_.back() = true;
  json::append_quoted(std::string_view(p, n), text_);
  text_ += ':';
  text_after_key_ = true;
  return true;
}

}  // namespace quarn::arrow
