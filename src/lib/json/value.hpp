// The JSON document model: a tree of owned values.
//
// Used where a document must outlive its text or be inspected structurally
// (schema sampling and inference, the renderer, the fuzz targets). The Python
// facing paths build Python objects straight from the parser instead.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quarn::json {

// One JSON number in exactly one of three kinds; which text gives which kind
// is fixed by the parser.
struct Number {
  enum class Kind : std::uint8_t { Unsigned, Signed, Double };
  Kind kind = Kind::Unsigned;
  union {
    std::uint64_t u;
    std::int64_t i;
    double d;
  };

  Number() : u(0) {}
  static Number from_unsigned(std::uint64_t v) {
    Number n;
    n.kind = Kind::Unsigned;
    n.u = v;
    return n;
  }
  static Number from_signed(std::int64_t v) {
    Number n;
    n.kind = Kind::Signed;
    n.i = v;
    return n;
  }
  static Number from_double(double v) {
    Number n;
    n.kind = Kind::Double;
    n.d = v;
    return n;
  }
};

class Value;

// Object content. Entries are kept sorted by key, compared as unsigned bytes
// (shorter key first on a tie), and keys are unique.
class Map {
 public:
  using Entry = std::pair<std::string, Value>;

  Map() = default;
  Map(Map&&) noexcept = default;
  Map& operator=(Map&&) noexcept = default;

  // Builds a map from members in document order: sorted by key, and where a
  // key repeats, the last member wins (the first spelling of the key is kept,
  // which is byte-identical anyway).
  static Map from_members(std::vector<Entry>&& members);

  // Replaces the value of an existing key, else inserts in order.
  void insert(std::string key, Value value);
  [[nodiscard]] const Value* find(std::string_view key) const;
  [[nodiscard]] std::size_t size() const { return entries_.size(); }
  [[nodiscard]] bool empty() const { return entries_.empty(); }
  [[nodiscard]] auto begin() const { return entries_.begin(); }
  [[nodiscard]] auto end() const { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
};

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

  Value() = default;
  Value(Value&&) noexcept = default;
  Value& operator=(Value&&) noexcept = default;

  static Value null() { return Value(); }
  static Value boolean(bool b) {
    Value v;
    v.kind_ = Kind::Bool;
    v.bool_ = b;
    return v;
  }
  static Value number(Number n) {
    Value v;
    v.kind_ = Kind::Number;
    v.number_ = n;
    return v;
  }
  static Value string(std::string s) {
    Value v;
    v.kind_ = Kind::String;
    v.string_ = std::move(s);
    return v;
  }
  static Value array(std::vector<Value> items) {
    Value v;
    v.kind_ = Kind::Array;
    v.array_ = std::move(items);
    return v;
  }
  static Value object(Map map) {
    Value v;
    v.kind_ = Kind::Object;
    v.object_ = std::make_unique<Map>(std::move(map));
    return v;
  }

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] bool is_null() const { return kind_ == Kind::Null; }
  [[nodiscard]] bool as_bool() const { return bool_; }
  [[nodiscard]] const Number& as_number() const { return number_; }
  [[nodiscard]] const std::string& as_string() const { return string_; }
  [[nodiscard]] const std::vector<Value>& as_array() const { return array_; }
  [[nodiscard]] const Map& as_object() const { return *object_; }

 private:
  Kind kind_ = Kind::Null;
  bool bool_ = false;
  Number number_;
  std::string string_;
  std::vector<Value> array_;
  // Behind a pointer because Map holds Values: the indirection keeps Value a
  // complete type where Map needs it.
  std::unique_ptr<Map> object_;
};

inline bool key_less(std::string_view a, std::string_view b) {
  // std::string_view compares with char_traits<char>, which compares as
  // unsigned char: byte order with the shorter key first on a tie.
  return a < b;
}

inline Map Map::from_members(std::vector<Entry>&& members) {
  std::stable_sort(members.begin(), members.end(),
                   [](const Entry& a, const Entry& b) { return key_less(a.first, b.first); });
  Map map;
  map.entries_.reserve(members.size());
  for (auto& m : members) {
    // Equal keys are adjacent and in document order: the later one replaces.
    if (!map.entries_.empty() && map.entries_.back().first == m.first) {
      map.entries_.back().second = std::move(m.second);
    } else {
      map.entries_.push_back(std::move(m));
    }
  }
  return map;
}

inline void Map::insert(std::string key, Value value) {
  auto it = std::lower_bound(
      entries_.begin(), entries_.end(), key,
      [](const Entry& e, const std::string& k) { return key_less(e.first, k); });
  if (it != entries_.end() && it->first == key) {
    it->second = std::move(value);
  } else {
    entries_.emplace(it, std::move(key), std::move(value));
  }
}

inline const Value* Map::find(std::string_view key) const {
  auto it = std::lower_bound(
      entries_.begin(), entries_.end(), key,
      [](const Entry& e, std::string_view k) { return key_less(e.first, k); });
  if (it != entries_.end() && it->first == key) return &it->second;
  return nullptr;
}

}  // namespace quarn::json
