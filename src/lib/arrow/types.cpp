#include "arrow/types.hpp"

#include <optional>

#include "json/parser.hpp"

namespace quarn::arrow {

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::Null:
      return "null";
    case Kind::Bool:
      return "bool";
    case Kind::Int64:
      return "int64";
    case Kind::Float64:
      return "float64";
    case Kind::Utf8:
      return "utf8";
    case Kind::Struct:
      return "struct";
    case Kind::List:
      return "list";
  }
  return "?";
}

Type Type::list(Type item) {
  Type t{Kind::List, {}};
  t.fields.push_back(Field{"item", std::move(item)});
  return t;
}

Type Type::structure(std::vector<Field> fields) {
  return Type{Kind::Struct, std::move(fields)};
}

const Type& Type::item() const {
  return fields.front().type;
}

const char* Type::format(bool large) const {
  switch (kind) {
    case Kind::Null:
      return "n";
    case Kind::Bool:
      return "b";
    case Kind::Int64:
      return "l";
    case Kind::Float64:
      return "g";
    case Kind::Utf8:
      return large ? "U" : "u";
    case Kind::Struct:
      return "+s";
    case Kind::List:
      return large ? "+L" : "+l";
  }
  return "n";
}

std::ptrdiff_t Type::find(std::string_view name) const {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name == name) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

binding::Status Inferrer::add(std::string_view record) {
  frames_.clear();
  member_ = nullptr;
  if (records_++ == 0) {
    // Peek at the first byte that is not blank: it says whether records are objects.
    const auto first = record.find_first_not_of(" \t\r\n");
    objects_ = first != std::string_view::npos && record[first] == '{';
  }
  if (const auto err = json::parse(record, *this)) {
    return binding::Error::value("record " + std::to_string(records_ - 1) + ": " +
                                 json::describe(record, *err));
  }
  return binding::ok_status();
}

Schema Inferrer::schema() const {
  Schema s;
  if (!objects_ || (root_.kind != Kind::Struct && root_.kind != Kind::Null)) {
    s.wrapped = true;
    s.record.fields.push_back(Field{"value", root_});
    return s;
  }
  if (root_.kind == Kind::Struct) s.record = root_;
  return s;
}

Type* Inferrer::slot() {
  if (frames_.empty()) return &root_;
  Type* top = frames_.back();
  if (top == nullptr) return nullptr;
  return top->kind == Kind::Struct ? member_ : &top->fields.front().type;
}

void Inferrer::conflict(Type& type) {
  if (!mixed_as_text_) return;
  type.kind = Kind::Utf8;
  type.fields.clear();
}

bool Inferrer::merge(Kind kind) {
  Type* t = slot();
  if (t == nullptr || t->kind == kind) return true;
  if (t->kind == Kind::Null) {
    t->kind = kind;
  } else if ((t->kind == Kind::Int64 && kind == Kind::Float64) ||
             (t->kind == Kind::Float64 && kind == Kind::Int64)) {
    t->kind = Kind::Float64;
  } else {
    conflict(*t);
  }
  return true;
}

bool Inferrer::open(Kind kind) {
  Type* t = slot();
  if (t != nullptr && t->kind == Kind::Null) {
    *t = kind == Kind::List ? Type::list(Type{}) : Type::structure({});
  } else if (t != nullptr && t->kind != kind) {
    conflict(*t);
    t = nullptr;
  }
  // Adding a field may move the struct's other fields, never the struct
  // itself or anything below them: the frames stay valid.
  frames_.push_back(t);
  return true;
}

bool Inferrer::key(const char* p, std::size_t n, bool /*ascii*/) {
  Type* top = frames_.back();
  if (top == nullptr) return true;
  const std::string_view name(p, n);
  // A field's name is a C string in the interface: such a key names no column.
  if (name.find('\0') != std::string_view::npos) {
    member_ = nullptr;
    return true;
  }
  auto i = top->find(name);
  if (i < 0) {
    top->fields.push_back(Field{std::string(name), Type{}});
    i = static_cast<std::ptrdiff_t>(top->fields.size() - 1);
  }
  member_ = &top->fields[static_cast<std::size_t>(i)].type;
  return true;
}

}  // namespace quarn::arrow
