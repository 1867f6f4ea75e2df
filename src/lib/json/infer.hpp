// Structure inference: merges sampled records into one structure description.
//
// A description is a Value of one of four shapes:
//   - "t1|t2|..."      the distinct scalar type names (bool, float, int, null,
//                      str) seen at one place, in byte order;
//   - [] or [d]        arrays: empty when every array was empty, else the merged
//                      description of all their elements;
//   - {"k": d, "k?": d} objects: one entry per key, "?" when some object lacks it;
//   - {"__map__": d}   objects at one place that have more than `map_keys`
//                      distinct keys between them: maps from keys (ids, dates,
//                      names) to values, not records with fixed fields; d is
//                      the merged description of all their values;
//   - {"__oneof__": [scalar, array, object]} where categories meet, in that
//                      order, only the categories present.
// An empty sample gives the string "unknown".
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string_view>
#include <vector>

#include "json/value.hpp"

namespace quarn::json {

// More distinct keys than this at one place make its objects a map (in the
// descriptions of the top-level layer; quarn.bigjson describes every key).
inline constexpr std::size_t kMapKeys = 200;

// Merges records one at a time into a summary of each place (what kinds of
// values it saw, which keys in which order of first appearance, how often),
// which is all a description depends on: describe() gives the description of
// every record added, in the order added, and no record needs to be kept.
//
// Keys are kept as views: their bytes must stay valid until describe(). The
// keys of documents built by one ValueSink live as long as the sink;
// keys that the sink interned also compare by pointer, the fast path here.
class StructureMerger {
 public:
  // More than `map_keys` distinct keys at one place make it a map.
  explicit StructureMerger(std::size_t map_keys = SIZE_MAX) : map_keys_(map_keys), places_(1) {}

  void add(const Value& record) {
    ++records_;
    merge(places_.front(), record);
  }

  // A new value; the merger can go on adding afterwards.
  [[nodiscard]] Value describe() const;

 private:
  struct Place;
  struct Key {
    std::string_view name;
    std::size_t count;  // objects at the place that have it
    Place* place;
  };
  struct Place {
    std::uint8_t names = 0;  // scalar type names, a bit each
    bool arrays = false;
    Place* elements = nullptr;  // the place of all array elements
    std::size_t objects = 0;
    std::vector<Key> keys;              // in order of first appearance
    std::vector<std::uint32_t> sorted;  // the same, as indices in key order
    Place* members = nullptr;           // a map: the place of all its values (keys unused)
  };

  void merge(Place& place, const Value& v);
  void merge_object(Place& place, const Map& map);
  Place* new_place() { return &places_.emplace_back(); }
  // Merges what `from` has seen into `into`; `from` is dropped afterwards
  // (its places may be taken over).
  void absorb(Place& into, Place& from);
  // Turns the objects of `p` into a map: every key's place merged into one.
  void make_map(Place& p);
  [[nodiscard]] Value describe(const Place& place) const;

  std::size_t map_keys_;
  std::size_t records_ = 0;
  // A deque never moves its elements, so places can point to each other.
  std::deque<Place> places_;
  // The place of each entry of the objects being merged, a stack across the
  // recursion; and a merge buffer for a place's key order.
  std::vector<Place*> entry_places_;
  std::vector<std::uint32_t> merged_;
};

// values borrow the sampled documents, which must outlive the call; the
// result shares nothing with them.
[[nodiscard]] Value infer(std::span<const Value* const> values);

}  // namespace quarn::json
