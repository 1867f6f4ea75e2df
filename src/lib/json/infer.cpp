#include "json/infer.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <utility>

namespace quarn::json {
namespace {


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
      return v.as_number().kind == Number::Kind::Double ? FLOAT : INT;
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
  return Value::string(joined);
}

// Three-way byte order; interned keys settle equality by pointer.
int compare_keys(std::string_view a, std::string_view b) {
  if (a.data() == b.data() && a.size() == b.size()) return 0;
  return a.compare(b);
}

}  // namespace

void StructureMerger::merge(Place& place, const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Object:
      merge_object(place, v.as_object());
      return;
    case Value::Kind::Array: {
      place.arrays = true;
      const std::span<const Value> elements = v.as_array();
      if (elements.empty()) return;
      if (place.elements == nullptr) place.elements = new_place();
      for (const Value& element : elements) merge(*place.elements, element);
      return;
    }
    default:
      place.names |= scalar_type(v);
      return;
  }
}

void StructureMerger::merge_object(Place& p, const Map& map) {
  ++p.objects;
  if (p.members != nullptr) {
    for (const auto& field : map) merge(*p.members, field.second);
    return;
  }
  // Both the map and p.sorted are in key order, so one walk finds every
  // entry's key. Objects at one place mostly share their keys, making it one
  // comparison per entry; a new key switches to building a merged order, so
  // even objects made of many new keys cost linear time.
  const std::size_t base = entry_places_.size();
  bool merging = false;
  std::size_t at = 0;
  for (const auto& [name, value] : map) {
    constexpr std::uint32_t kNone = UINT32_MAX;
    std::uint32_t key = kNone;
    while (at < p.sorted.size()) {
      const int order = compare_keys(p.keys[p.sorted[at]].name, name);
      if (order == 0) key = p.sorted[at];
      if (order >= 0) break;
      if (merging) merged_.push_back(p.sorted[at]);
      ++at;
    }
    if (key != kNone) {
      ++at;
    } else {
      if (!merging) {
        merging = true;
        merged_.assign(p.sorted.begin(), p.sorted.begin() + static_cast<std::ptrdiff_t>(at));
      }
      key = static_cast<std::uint32_t>(p.keys.size());
      p.keys.push_back({name, 0, new_place()});
    }
    if (merging) merged_.push_back(key);
    ++p.keys[key].count;
    entry_places_.push_back(p.keys[key].place);
  }
  if (merging) {
    merged_.insert(merged_.end(), p.sorted.begin() + static_cast<std::ptrdiff_t>(at),
                   p.sorted.end());
    p.sorted.swap(merged_);
  }

  // Only now the level below: it reuses merged_, and grows entry_places_.
  std::size_t i = base;
  for (const auto& field : map) merge(*entry_places_[i++], field.second);
  entry_places_.resize(base);
  if (p.keys.size() > map_keys_) make_map(p);
}

void StructureMerger::make_map(Place& p) {
  if (p.members != nullptr) return;
  p.members = new_place();
  for (Key& key : p.keys) absorb(*p.members, *key.place);
  p.keys.clear();
  p.sorted.clear();
}

void StructureMerger::absorb(Place& into, Place& from) {
  into.names |= from.names;
  into.arrays = into.arrays || from.arrays;
  if (from.elements != nullptr) {
    if (into.elements == nullptr) {
      into.elements = from.elements;
    } else {
      absorb(*into.elements, *from.elements);
    }
  }
  if (from.objects == 0) return;
  into.objects += from.objects;
  if (from.members != nullptr || into.members != nullptr) {
    make_map(into);
    if (from.members != nullptr) {
      absorb(*into.members, *from.members);
    } else {
      for (Key& key : from.keys) absorb(*into.members, *key.place);
    }
    return;
  }
  for (Key& key : from.keys) {
    auto same = std::find_if(into.keys.begin(), into.keys.end(),
                             [&](const Key& k) { return k.name == key.name; });
    if (same == into.keys.end()) {
      into.keys.push_back(key);
    } else {
      same->count += key.count;
      absorb(*same->place, *key.place);
    }
  }
  into.sorted.resize(into.keys.size());
  for (std::uint32_t i = 0; i < into.sorted.size(); ++i) into.sorted[i] = i;
  std::sort(into.sorted.begin(), into.sorted.end(), [&](std::uint32_t a, std::uint32_t b) {
    return compare_keys(into.keys[a].name, into.keys[b].name) < 0;
  });
  if (into.keys.size() > map_keys_) make_map(into);
}

Value StructureMerger::describe() const {
  if (records_ == 0) return Value::string("unknown");
  return describe(places_.front());
}

Value StructureMerger::describe(const Place& p) const {
  std::vector<Value> alternatives;
  if (p.names != 0) alternatives.push_back(scalar_value(p.names));
  if (p.arrays) {
    std::vector<Value> element;
    if (p.elements != nullptr) element.push_back(describe(*p.elements));
    alternatives.push_back(Value::array(std::move(element)));
  }
  if (p.members != nullptr) {
    std::vector<Map::Entry> map;
    map.emplace_back("__map__", describe(*p.members));
    alternatives.push_back(Value::object(Map::from_members(std::move(map))));
  } else if (p.objects != 0) {
    // Entries go in key-list order; from_members sorts them and lets the
    // later of two equal names win, which settles "k?" colliding with an
    // optional "k".
    std::vector<Map::Entry> entries;
    entries.reserve(p.keys.size());
    for (const Key& key : p.keys) {
      std::string name(key.name);
      if (key.count != p.objects) name.push_back('?');
      entries.emplace_back(std::move(name), describe(*key.place));
    }
    alternatives.push_back(Value::object(Map::from_members(std::move(entries))));
  }
  if (alternatives.size() == 1) return std::move(alternatives.front());
  std::vector<Map::Entry> oneof;
  oneof.emplace_back("__oneof__", Value::array(std::move(alternatives)));
  return Value::object(Map::from_members(std::move(oneof)));
}

Value infer(std::span<const Value* const> values) {
  StructureMerger merger;
  for (const Value* v : values) merger.add(*v);
  return merger.describe();
}

}  // namespace quarn::json
