// The JSON document model: a tree of owned values.
//
// Used where a document must outlive its text or be inspected structurally
// (schema sampling and inference, the renderer, the fuzz targets). The Python
// facing paths build Python objects straight from the parser instead.
//
// A Value is 16 bytes: a kind, a tag byte and 14 payload bytes. Scalars live
// in the payload, strings of up to 14 bytes too; longer strings, arrays and
// objects refer to one block each (a count followed by the content), and empty
// arrays and objects to none. Keeping Values this small and trivially
// relocatable is what makes building documents cheap: a move is a 16-byte
// copy that leaves a null behind.
//
// A block is either owned by its Value (heap) or lent by an Arena that frees
// all of its blocks at once; a document built in an arena is freed without
// visiting it, and must not outlive the arena.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <span>
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

// Bump allocation for documents that die together. Containers built in an
// arena hold only values built in the same arena (or scalars and short
// strings, which need no block). reset() lets one arena serve one document
// after another: its memory stays with it, warm in the cache, instead of
// going back to the allocator (and, in large pieces, to the system) each time.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    for (const Chunk& c : chunks_) ::operator delete(c.data);
  }

  // 8-byte aligned.
  [[nodiscard]] void* allocate(std::size_t bytes) {
    bytes = (bytes + 7) & ~std::size_t{7};
    if (static_cast<std::size_t>(end_ - next_) < bytes) [[unlikely]] return grow(bytes);
    void* p = next_;
    next_ += bytes;
    return p;
  }

  // Ends every allocation at once. The newest chunk, the largest, is kept.
  void reset() {
    if (chunks_.empty()) return;
    for (std::size_t i = 0; i + 1 < chunks_.size(); ++i) ::operator delete(chunks_[i].data);
    chunks_.front() = chunks_.back();
    chunks_.resize(1);
    next_ = chunks_.front().data;
    end_ = next_ + chunks_.front().size;
  }

 private:
  static constexpr std::size_t kFirstChunk = std::size_t{1} << 14;
  static constexpr std::size_t kMaxChunk = std::size_t{1} << 20;

  struct Chunk {
    char* data;
    std::size_t size;
  };

  [[gnu::noinline]] void* grow(std::size_t bytes) {
    const std::size_t size = std::max(bytes, chunk_size_);
    chunk_size_ = std::min(chunk_size_ * 2, kMaxChunk);
    chunks_.reserve(chunks_.size() + 1);
    auto* data = static_cast<char*>(::operator new(size));
    chunks_.push_back({data, size});
    next_ = data + bytes;
    end_ = data + size;
    return data;
  }

  std::vector<Chunk> chunks_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::size_t chunk_size_ = kFirstChunk;
};

class Map;

// Destroys a map's entries and frees its block, unless an arena lent it.
struct MapDeleter {
  bool owned = true;
  void operator()(Map* map) const noexcept;
};
using MapPtr = std::unique_ptr<Map, MapDeleter>;

namespace detail {

// Blocks start with their element count; the elements follow at the next
// 8-byte boundary, which the 8-byte header already is.
struct BlockHeader {
  std::size_t size;
};

// From the heap when arena is null.
inline void* allocate_block(std::size_t payload_bytes, Arena* arena) {
  const std::size_t bytes = sizeof(BlockHeader) + payload_bytes;
  return arena != nullptr ? arena->allocate(bytes) : ::operator new(bytes);
}

template <class T>
T* block_items(BlockHeader* block) {
  return reinterpret_cast<T*>(block + 1);
}

template <class T>
const T* block_items(const BlockHeader* block) {
  return reinterpret_cast<const T*>(block + 1);
}

}  // namespace detail

class Value {
 public:
  enum class Kind : std::uint8_t { Null, Bool, Number, String, Array, Object };

  Value() = default;
  Value(Value&& other) noexcept : kind_(other.kind_), tag_(other.tag_) {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.kind_ = Kind::Null;
  }
  Value& operator=(Value&& other) noexcept {
    if (this != &other) {
      release();
      kind_ = other.kind_;
      tag_ = other.tag_;
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
      other.kind_ = Kind::Null;
    }
    return *this;
  }
  ~Value() { release(); }

  static Value null() { return Value(); }
  static Value boolean(bool b) {
    Value v;
    v.kind_ = Kind::Bool;
    v.store(b);
    return v;
  }
  static Value number(Number n) {
    Value v;
    v.kind_ = Kind::Number;
    v.tag_ = static_cast<std::uint8_t>(n.kind);
    switch (n.kind) {
      case Number::Kind::Unsigned:
        v.store(n.u);
        break;
      case Number::Kind::Signed:
        v.store(n.i);
        break;
      case Number::Kind::Double:
        v.store(n.d);
        break;
    }
    return v;
  }
  // Blocks come from `arena` when it is given, else from the heap.
  static Value string(std::string_view s, Arena* arena = nullptr) {
    Value v;
    v.kind_ = Kind::String;
    if (s.size() <= kInlineCapacity) {
      v.tag_ = static_cast<std::uint8_t>(s.size());
      if (!s.empty()) std::memcpy(v.bytes_, s.data(), s.size());
    } else {
      auto* block = static_cast<detail::BlockHeader*>(detail::allocate_block(s.size(), arena));
      block->size = s.size();
      std::memcpy(detail::block_items<char>(block), s.data(), s.size());
      v.tag_ = arena != nullptr ? kLent : kOwned;
      v.store(block);
    }
    return v;
  }
  // An array of `items`, which are moved from (they are left null).
  static Value array_of(std::span<Value> items, Arena* arena = nullptr) {
    Value v;
    v.kind_ = Kind::Array;
    v.tag_ = arena != nullptr ? kLent : kOwned;
    detail::BlockHeader* block = nullptr;
    if (!items.empty()) {
      block = static_cast<detail::BlockHeader*>(
          detail::allocate_block(items.size() * sizeof(Value), arena));
      block->size = items.size();
      Value* out = detail::block_items<Value>(block);
      for (Value& item : items) ::new (static_cast<void*>(out++)) Value(std::move(item));
    }
    v.store(block);
    return v;
  }
  static Value array(std::vector<Value> items) { return array_of(items); }
  // Takes over the map; null stands for an empty object.
  static Value object(MapPtr map);

  [[nodiscard]] Kind kind() const { return kind_; }
  [[nodiscard]] bool is_null() const { return kind_ == Kind::Null; }
  [[nodiscard]] bool as_bool() const { return load<bool>(); }
  [[nodiscard]] Number as_number() const {
    switch (static_cast<Number::Kind>(tag_)) {
      case Number::Kind::Signed:
        return Number::from_signed(load<std::int64_t>());
      case Number::Kind::Double:
        return Number::from_double(load<double>());
      default:
        return Number::from_unsigned(load<std::uint64_t>());
    }
  }
  // Views into the value: valid while it is neither moved nor destroyed.
  [[nodiscard]] std::string_view as_string() const {
    if (tag_ <= kInlineCapacity) return {bytes_, tag_};
    const auto* block = load<const detail::BlockHeader*>();
    return {detail::block_items<char>(block), block->size};
  }
  [[nodiscard]] std::span<const Value> as_array() const {
    const auto* block = load<const detail::BlockHeader*>();
    if (block == nullptr) return {};
    return {detail::block_items<Value>(block), block->size};
  }
  [[nodiscard]] const Map& as_object() const;

 private:
  static constexpr std::size_t kInlineCapacity = 14;
  // Tags of strings in a block, arrays and objects: who frees the block.
  static constexpr std::uint8_t kOwned = 0xFF;
  static constexpr std::uint8_t kLent = 0xFE;
  // The payload word sits at offset 8 of the Value, naturally aligned.
  static constexpr std::size_t kWord = 6;

  template <class T>
  [[nodiscard]] T load() const {
    T t;
    std::memcpy(&t, bytes_ + kWord, sizeof t);
    return t;
  }
  template <class T>
  void store(T t) {
    static_assert(sizeof t <= 8);
    std::memcpy(bytes_ + kWord, &t, sizeof t);
  }

  void release() noexcept {
    if (kind_ >= Kind::String && tag_ == kOwned) release_heap();
  }
  // Out of line: destructors run everywhere Values move, and almost all of
  // them find nothing to free.
  [[gnu::noinline]] void release_heap() noexcept {
    switch (kind_) {
      case Kind::String:
        ::operator delete(load<void*>());
        return;
      case Kind::Array:
        if (auto* block = load<detail::BlockHeader*>()) {
          Value* items = detail::block_items<Value>(block);
          for (std::size_t i = 0; i < block->size; ++i) items[i].~Value();
          ::operator delete(static_cast<void*>(block));
        }
        return;
      case Kind::Object:
        if (Map* map = load<Map*>()) MapDeleter{true}(map);
        return;
      default:
        return;
    }
  }

  Kind kind_ = Kind::Null;
  // Number::Kind of a number; for a string its inline length, or kOwned or
  // kLent; kOwned or kLent for arrays and objects.
  std::uint8_t tag_ = 0;
  char bytes_[kInlineCapacity] = {};
};

static_assert(sizeof(Value) == 16);

inline bool key_less(std::string_view a, std::string_view b) {
  // std::string_view compares with char_traits<char>, which compares as
  // unsigned char: byte order with the shorter key first on a tie.
  return a < b;
}

// Object content: one block holding the entry count, the entries sorted by
// key (compared as unsigned bytes, shorter key first on a tie, keys unique),
// then the bytes of the keys that the entries view, unless they view interned
// keys kept elsewhere. A Map exists only inside such a block, handled through
// Map::Ptr, or as the one shared empty map.
class Map {
 public:
  // What iteration yields.
  struct Field {
    std::string_view first;
    Value second;
  };
  // A member as a builder supplies it.
  using Entry = std::pair<std::string, Value>;

  using Ptr = MapPtr;

  // Fills a block sized up front (capacity entries, key_bytes bytes of copied
  // keys) with fields given in strictly ascending key order. The map owns
  // what has been appended at any time, so an abandoned builder leaks nothing.
  class Builder {
   public:
    // The block comes from `arena` when it is given, else from the heap.
    Builder(std::size_t capacity, std::size_t key_bytes, Arena* arena = nullptr)
        : map_(nullptr, MapDeleter{arena == nullptr}) {
      if (capacity == 0) return;
      void* raw = detail::allocate_block(capacity * sizeof(Field) + key_bytes, arena);
      map_.reset(::new (raw) Map());
      keys_ = reinterpret_cast<char*>(map_->fields() + capacity);
    }
    // Copies the key into the block's key bytes.
    void append(std::string_view key, Value value) {
      if (!key.empty()) std::memcpy(keys_, key.data(), key.size());
      append_borrowed(std::string_view(keys_, key.size()), std::move(value));
      keys_ += key.size();
    }
    // Views the key's bytes, which must outlive the map (interned keys).
    void append_borrowed(std::string_view key, Value value) {
      ::new (static_cast<void*>(map_->fields() + map_->header_.size))
          Field{key, std::move(value)};
      ++map_->header_.size;
    }
    [[nodiscard]] Ptr finish() { return std::move(map_); }

   private:
    Ptr map_;
    char* keys_ = nullptr;
  };

  Map(const Map&) = delete;
  Map& operator=(const Map&) = delete;

  // Builds a map from members in document order: sorted by key, and where a
  // key repeats, the last member wins (the first spelling of the key is kept,
  // which is byte-identical anyway). Null for no members.
  [[nodiscard]] static Ptr from_members(std::vector<Entry>&& members);

  [[nodiscard]] const Value* find(std::string_view key) const {
    const Field* it = std::lower_bound(begin(), end(), key, [](const Field& f, std::string_view k) {
      return key_less(f.first, k);
    });
    if (it != end() && it->first == key) return &it->second;
    return nullptr;
  }
  [[nodiscard]] std::size_t size() const { return header_.size; }
  [[nodiscard]] bool empty() const { return header_.size == 0; }
  [[nodiscard]] const Field* begin() const { return fields(); }
  [[nodiscard]] const Field* end() const { return fields() + header_.size; }

  // What an empty object's as_object() refers to.
  static const Map& empty_map() {
    static const Map empty;
    return empty;
  }

 private:
  friend struct MapDeleter;

  Map() = default;
  Field* fields() { return detail::block_items<Field>(&header_); }
  const Field* fields() const { return detail::block_items<Field>(&header_); }

  detail::BlockHeader header_{0};
};

static_assert(sizeof(Map) == sizeof(detail::BlockHeader));

inline void MapDeleter::operator()(Map* map) const noexcept {
  if (!owned) return;
  Map::Field* fields = map->fields();
  for (std::size_t i = 0; i < map->header_.size; ++i) fields[i].~Field();
  ::operator delete(static_cast<void*>(map));
}

inline Value Value::object(MapPtr map) {
  Value v;
  v.kind_ = Kind::Object;
  v.tag_ = map.get_deleter().owned ? kOwned : kLent;
  v.store(map.release());
  return v;
}

inline const Map& Value::as_object() const {
  const Map* map = load<const Map*>();
  return map != nullptr ? *map : Map::empty_map();
}

namespace detail {

// The first eight bytes of a key as a big-endian number, zero-padded: keys
// whose prefixes differ compare like their prefixes, so most comparisons in
// a sort are one integer compare instead of a memcmp.
inline std::uint64_t key_prefix(std::string_view key) {
  unsigned char bytes[8] = {};
  std::memcpy(bytes, key.data(), std::min<std::size_t>(key.size(), 8));
  std::uint64_t p = 0;
  for (unsigned char b : bytes) p = (p << 8) | b;
  return p;
}

struct SortKey {
  std::uint64_t prefix;
  std::uint32_t index;
};

}  // namespace detail

// Writes to `order` the indices of `keys` in ascending key order, keeping of
// a repeated key only its last index (the last member wins). `scratch` is
// working space that callers can reuse between calls.
inline void unique_key_order(std::span<const std::string_view> keys,
                             std::vector<detail::SortKey>& scratch,
                             std::vector<std::uint32_t>& order) {
  order.clear();
  const std::size_t n = keys.size();
  if (n <= 1) {
    if (n == 1) order.push_back(0);
    return;
  }
  scratch.resize(n);
  detail::SortKey* s = scratch.data();
  for (std::size_t i = 0; i < n; ++i) {
    s[i] = {detail::key_prefix(keys[i]), static_cast<std::uint32_t>(i)};
  }
  // Equal keys tie-break on the index, so the order is total and unstable
  // sorts keep document order among repeats.
  const auto less = [keys](const detail::SortKey& a, const detail::SortKey& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    const int c = keys[a.index].compare(keys[b.index]);
    return c != 0 ? c < 0 : a.index < b.index;
  };
  if (n <= 16) {
    for (std::size_t i = 1; i < n; ++i) {
      const detail::SortKey k = s[i];
      std::size_t j = i;
      for (; j > 0 && less(k, s[j - 1]); --j) s[j] = s[j - 1];
      s[j] = k;
    }
  } else {
    std::sort(s, s + n, less);
  }
  order.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Repeats are adjacent in index order: only the last of a run survives.
    if (i + 1 < n && s[i + 1].prefix == s[i].prefix && keys[s[i + 1].index] == keys[s[i].index]) {
      continue;
    }
    order.push_back(s[i].index);
  }
}

inline Map::Ptr Map::from_members(std::vector<Entry>&& members) {
  std::vector<std::string_view> keys;
  keys.reserve(members.size());
  for (const Entry& m : members) keys.emplace_back(m.first);
  std::vector<detail::SortKey> scratch;
  std::vector<std::uint32_t> order;
  unique_key_order(keys, scratch, order);
  std::size_t key_bytes = 0;
  for (std::uint32_t i : order) key_bytes += keys[i].size();
  Builder builder(order.size(), key_bytes);
  for (std::uint32_t i : order) builder.append(keys[i], std::move(members[i].second));
  return builder.finish();
}

}  // namespace quarn::json
