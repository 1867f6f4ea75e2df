#include "arrow/types.hpp"

#include <cstring>
#include <optional>

#include "json/parser.hpp"
#include "json/pointer.hpp"

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
    case Kind::Map:
      return "map";
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

Type Type::map(Type value) {
  std::vector<Field> entry;
  entry.push_back(Field{"key", Type::of(Kind::Utf8)});
  entry.push_back(Field{"value", std::move(value)});
  Type t{Kind::Map, {}};
  t.fields.push_back(Field{"entries", Type::structure(std::move(entry))});
  return t;
}

const Type& Type::item() const {
  return fields.front().type;
}

const Type& Type::value() const {
  return fields.front().type.fields[1].type;
}

Type& Type::value() {
  return fields.front().type.fields[1].type;
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
    case Kind::Map:
      return "+m";
  }
  return "n";
}

std::ptrdiff_t Type::find(std::string_view name) const {
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (fields[i].name == name) return static_cast<std::ptrdiff_t>(i);
  }
  return -1;
}

namespace {

std::string_view strip(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::string pointer_of(const std::vector<std::string>& path, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) json::append_pointer_token(path[i], out);
  return out;
}

}  // namespace

binding::Result<Type> type_named(std::string_view name) {
  const std::string_view n = strip(name);
  if (n == "null") return Type::of(Kind::Null);
  if (n == "bool" || n == "boolean") return Type::of(Kind::Bool);
  if (n == "int64") return Type::of(Kind::Int64);
  if (n == "float64" || n == "double") return Type::of(Kind::Float64);
  if (n == "utf8" || n == "string" || n == "large_string" || n == "large_utf8")
    return Type::of(Kind::Utf8);
  if (n.starts_with("map<") && n.ends_with('>')) {
    std::string_view inside = n.substr(4, n.size() - 5);
    const auto comma = inside.find(',');
    const std::string_view key = strip(inside.substr(0, comma));
    if (comma != std::string_view::npos && (key == "utf8" || key == "string")) {
      auto value = type_named(inside.substr(comma + 1));
      if (!value.ok()) return value;
      return Type::map(std::move(value).value());
    }
    return binding::Error::value("a map's keys are utf8: 'map<utf8, T>', not '" +
                                 std::string(name) + "'");
  }
  for (std::string_view open : {"list<", "large_list<"}) {
    if (n.starts_with(open) && n.ends_with('>')) {
      std::string_view item = n.substr(open.size(), n.size() - open.size() - 1);
      if (item.starts_with("item:")) item.remove_prefix(5);
      auto inner = type_named(item);
      if (!inner.ok()) return inner;
      return Type::list(std::move(inner).value());
    }
  }
  return binding::Error::value(
      "unknown type name '" + std::string(name) +
      "' (expected null, bool, int64, float64, utf8, list<...> or map<utf8, ...>)");
}

binding::Result<Type> type_of(const ArrowSchema& c, const std::string& where) {
  const std::string_view f = c.format == nullptr ? "" : c.format;
  const auto child = [&](std::int64_t i) -> binding::Result<Type> {
    const ArrowSchema& ch = *c.children[i];
    std::string below = where + "/";
    if (f != "+s") {
      below += std::to_string(0);
    } else if (ch.name != nullptr) {
      below += ch.name;
    }
    return type_of(ch, below);
  };
  if (c.dictionary == nullptr) {
    if (f == "n") return Type::of(Kind::Null);
    if (f == "b") return Type::of(Kind::Bool);
    if (f == "l") return Type::of(Kind::Int64);
    if (f == "g") return Type::of(Kind::Float64);
    if (f == "u" || f == "U") return Type::of(Kind::Utf8);
    if ((f == "+l" || f == "+L") && c.n_children == 1) {
      auto item = child(0);
      if (!item.ok()) return item;
      return Type::list(std::move(item).value());
    }
    if (f == "+m" && c.n_children == 1 && c.children[0]->n_children == 2) {
      const ArrowSchema& entries = *c.children[0];
      const std::string_view key = entries.children[0]->format;
      if (key != "u" && key != "U") {
        return binding::Error::value("the column " + where + " is a map whose keys are not utf8");
      }
      auto value = type_of(*entries.children[1], where + "/*");
      if (!value.ok()) return value;
      return Type::map(std::move(value).value());
    }
    if (f == "+s") {
      std::vector<Field> fields;
      for (std::int64_t i = 0; i < c.n_children; ++i) {
        const char* name = c.children[i]->name;
        const std::string_view fname = name == nullptr ? "" : name;
        for (const Field& seen : fields) {
          if (seen.name == fname) {
            return binding::Error::value("the column " + where + "/" + std::string(fname) +
                                         " is given twice");
          }
        }
        auto t = child(i);
        if (!t.ok()) return t;
        fields.push_back(Field{std::string(fname), std::move(t).value()});
      }
      return Type::structure(std::move(fields));
    }
  }
  return binding::Error::value(
      "the column " + (where.empty() ? std::string("of the schema") : where) + " has Arrow type '" +
      std::string(f) +
      "', which read_arrow does not build (null, bool, int64, float64, utf8, list, struct, "
      "map)");
}

binding::Status place(Type& into, const std::vector<std::string>& path, Type type) {
  Type* at = &into;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i].find('\0') != std::string::npos) {
      return binding::Error::value("the column " + pointer_of(path, i + 1) +
                                   " holds a NUL character, which no Arrow name can hold");
    }
    auto k = at->find(path[i]);
    const bool last = i + 1 == path.size();
    if (k >= 0) {
      Type& there = at->fields[static_cast<std::size_t>(k)].type;
      if (last || there.kind != Kind::Struct) {
        return binding::Error::value("the column " + pointer_of(path, i + 1) +
                                     (last ? " is given twice" : " is not a struct"));
      }
      at = &there;
      continue;
    }
    at->fields.push_back(Field{path[i], last ? std::move(type) : Type::structure({})});
    at = &at->fields.back().type;
  }
  return binding::ok_status();
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
  if (top->kind == Kind::Struct || top->kind == Kind::Map) return member_;
  return &top->fields.front().type;
}

void Inferrer::merge_type(Type& into, const Type& from) {
  if (from.kind == Kind::Null) return;
  if (into.kind == Kind::Null) {
    into = from;
    return;
  }
  if (into.kind == Kind::Struct && from.kind == Kind::Map) {
    Type map = Type::map(Type{});
    merge_type(map, into);
    into = std::move(map);
  }
  if (into.kind == Kind::Map && from.kind == Kind::Struct) {
    for (const Field& f : from.fields) merge_type(into.value(), f.type);
    return;
  }
  if (into.kind != from.kind) {
    if ((into.kind == Kind::Int64 || into.kind == Kind::Float64) &&
        (from.kind == Kind::Int64 || from.kind == Kind::Float64)) {
      into.kind = Kind::Float64;
    } else {
      conflict(into);
    }
    return;
  }
  if (into.kind == Kind::Struct) {
    for (const Field& f : from.fields) {
      const auto i = into.find(f.name);
      if (i < 0) {
        into.fields.push_back(f);
      } else {
        merge_type(into.fields[static_cast<std::size_t>(i)].type, f.type);
      }
    }
  } else if (into.kind == Kind::List) {
    merge_type(into.fields.front().type, from.item());
  } else if (into.kind == Kind::Map) {
    merge_type(into.value(), from.value());
  }
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
  } else if (t != nullptr && t->kind == Kind::Map && kind == Kind::Struct) {
    // An object at a place already a map: its members are the map's entries.
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
  if (top->kind == Kind::Map) {
    member_ = &top->value();
    return true;
  }
  const std::string_view name(p, n);
  // A field's name is a C string in the interface: such a key names no column.
  if (name.find('\0') != std::string_view::npos) {
    member_ = nullptr;
    return true;
  }
  auto i = top->find(name);
  if (i < 0 && top->fields.size() >= map_keys_ && top != &root_) {
    // Keys that are data (ids, dates): one map, every member's type merged.
    Type map = Type::map(Type{});
    merge_type(map, *top);
    *top = std::move(map);
    member_ = &top->value();
    return true;
  }
  if (i < 0) {
    top->fields.push_back(Field{std::string(name), Type{}});
    i = static_cast<std::ptrdiff_t>(top->fields.size() - 1);
  }
  member_ = &top->fields[static_cast<std::size_t>(i)].type;
  return true;
}

}  // namespace quarn::arrow
