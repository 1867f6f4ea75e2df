#include "api/bigjson/infer.hpp"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

namespace quarn::api::bigjson {
namespace {

using json::Map;
using json::Value;

// The five scalar type names in ascending byte order. A name set is a bit
// mask over this table, so iterating its bits from low to high walks the
// names in byte order and the joined text never depends on arrival order.
constexpr std::array<std::string_view, 5> TYPE_NAMES = {"bool", "float", "int", "null", "str"};
enum TypeBit : std::uint8_t { BOOL = 1, FLOAT = 2, INT = 4, NULL_ = 8, STR = 16 };
using NameSet = std::uint8_t;

TypeBit scalar_type(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Null:
      return NULL_;
    case Value::Kind::Bool:
      return BOOL;
    case Value::Kind::Number:
      return v.as_number().kind == json::Number::Kind::Double ? FLOAT : INT;
    default:
      return STR;
  }
}

Value scalar_value(NameSet names) {
  std::string joined;
  for (std::size_t i = 0; i < TYPE_NAMES.size(); ++i) {
    if ((names & (1U << i)) == 0) continue;
    if (!joined.empty()) joined.push_back('|');
    joined.append(TYPE_NAMES[i]);
  }
  return Value::string(std::move(joined));
}

Value infer_array(std::span<const std::vector<Value>* const> arrays) {
  std::vector<const Value*> elements;
  for (const auto* array : arrays) {
    for (const Value& element : *array) elements.push_back(&element);
  }
  std::vector<Value> description;
  if (!elements.empty()) description.push_back(infer(elements));
  return Value::array(std::move(description));
}

Value infer_object(std::span<const Map* const> objects) {
  // Keys are views into the sampled documents, which outlive this call.
  std::vector<std::string_view> keys;
  std::unordered_set<std::string_view> seen;
  for (const Map* object : objects) {
    for (const auto& entry : *object) {
      if (seen.insert(entry.first).second) keys.push_back(entry.first);
    }
  }

  // Entries go in key-list order; from_members sorts them and lets the later
  // of two equal names win, which settles "k?" colliding with an optional "k".
  std::vector<Map::Entry> entries;
  entries.reserve(keys.size());
  std::vector<const Value*> present;
  for (std::string_view key : keys) {
    present.clear();
    for (const Map* object : objects) {
      if (const Value* v = object->find(key)) present.push_back(v);
    }
    std::string name(key);
    if (present.size() != objects.size()) name.push_back('?');
    entries.emplace_back(std::move(name), infer(present));
  }
  return Value::object(Map::from_members(std::move(entries)));
}

}  // namespace

json::Value infer(std::span<const json::Value* const> values) {
  if (values.empty()) return Value::string("unknown");

  std::vector<const Map*> objects;
  std::vector<const std::vector<Value>*> arrays;
  NameSet names = 0;
  for (const Value* v : values) {
    switch (v->kind()) {
      case Value::Kind::Object:
        objects.push_back(&v->as_object());
        break;
      case Value::Kind::Array:
        arrays.push_back(&v->as_array());
        break;
      default:
        names |= scalar_type(*v);
        break;
    }
  }

  const int groups = (names != 0) + !arrays.empty() + !objects.empty();
  if (groups == 1) {
    if (!objects.empty()) return infer_object(objects);
    if (!arrays.empty()) return infer_array(arrays);
    return scalar_value(names);
  }

  std::vector<Value> alternatives;
  alternatives.reserve(3);
  if (names != 0) alternatives.push_back(scalar_value(names));
  if (!arrays.empty()) alternatives.push_back(infer_array(arrays));
  if (!objects.empty()) alternatives.push_back(infer_object(objects));
  std::vector<Map::Entry> oneof;
  oneof.emplace_back("__oneof__", Value::array(std::move(alternatives)));
  return Value::object(Map::from_members(std::move(oneof)));
}

}  // namespace quarn::api::bigjson
