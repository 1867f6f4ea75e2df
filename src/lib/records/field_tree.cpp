#include "records/field_tree.hpp"

#include <algorithm>
#include <functional>

#include "json/pointer.hpp"
#include "records/format.hpp"

namespace quarn::records {

binding::Status FieldTree::add(std::string_view field) {
  std::vector<json::PointerToken> path;
  if (field.empty() || field[0] != '/') {
    path.push_back(json::PointerToken{std::string(field), field.size()});
  } else if (!json::pointer_tokens(field, path)) {
    return binding::Error::value("invalid field " + quoted(field) +
                                 ": in a JSON Pointer \"~\" must be followed by 0 (for \"~\") or "
                                 "1 (for \"/\")");
  }
  FieldNode* node = &root_;
  for (json::PointerToken& token : path) {
    std::string& name = token.name;
    // A member kept whole already holds everything below it.
    if (node->whole) return binding::ok_status();
    auto found = std::find_if(node->members.begin(), node->members.end(),
                              [&](const FieldNode& m) { return m.name == name; });
    if (found == node->members.end()) {
      FieldNode& made = node->members.emplace_back();
      made.ascii = std::all_of(name.begin(), name.end(),
                               [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      made.name = std::move(name);
      node = &made;
    } else {
      node = &*found;
    }
  }
  node->whole = true;
  node->members.clear();
  return binding::ok_status();
}

void FieldTree::finish() {
  nodes_ = 0;
  std::function<void(FieldNode&)> visit = [&](FieldNode& node) {
    node.id = nodes_++;
    // Byte order of UTF-8 is code point order, the order of every object
    // quarn builds.
    std::sort(node.members.begin(), node.members.end(),
              [](const FieldNode& a, const FieldNode& b) { return a.name < b.name; });
    for (FieldNode& m : node.members) visit(m);
  };
  visit(root_);
}

}  // namespace quarn::records
