// The members a projection keeps, as a tree of decoded member names.
//
// Each field a caller names is a path from the record: a plain name is one
// step, a JSON Pointer (RFC 6901) one step per reference token. A node where
// a path ends is kept whole, and everything below it goes with it; the other
// nodes are objects the projection walks into. No Python here: the tree is
// read by the projecting sink inside the parser.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "binding/result.hpp"

namespace quarn::records {

struct FieldNode {
  std::string name;  // decoded UTF-8
  bool ascii = true;
  bool whole = false;              // a path ends here: the value is kept as it is
  std::vector<FieldNode> members;  // when not whole; in byte order of name
  std::uint32_t id = 0;            // index among all nodes of the tree

  // The member named `name` (decoded bytes), or null.
  [[nodiscard]] const FieldNode* find(const char* p, std::size_t n) const {
    for (const FieldNode& m : members) {
      if (m.name.size() == n && (n == 0 || std::memcmp(m.name.data(), p, n) == 0)) return &m;
    }
    return nullptr;
  }
};

class FieldTree {
 public:
  // Adds one field: a name, or a JSON Pointer when it starts with "/". A
  // malformed pointer ("~" followed by anything but 0 or 1) is a ValueError.
  [[nodiscard]] binding::Status add(std::string_view field);

  // Orders the members and numbers the nodes; after the last add.
  void finish();

  [[nodiscard]] const FieldNode& root() const { return root_; }
  [[nodiscard]] std::uint32_t nodes() const { return nodes_; }

 private:
  FieldNode root_;
  std::uint32_t nodes_ = 0;
};

}  // namespace quarn::records
