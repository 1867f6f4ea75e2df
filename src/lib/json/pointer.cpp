#include "json/pointer.hpp"

namespace quarn::json {

bool pointer_tokens(std::string_view pointer, std::vector<PointerToken>& tokens) {
  tokens.clear();
  if (pointer.empty()) return true;
  for (std::size_t i = 1;; ++i) {
    std::string name;
    for (; i < pointer.size() && pointer[i] != '/'; ++i) {
      if (pointer[i] != '~') {
        name.push_back(pointer[i]);
      } else if (i + 1 < pointer.size() && (pointer[i + 1] == '0' || pointer[i + 1] == '1')) {
        name.push_back(pointer[++i] == '0' ? '~' : '/');
      } else {
        return false;
      }
    }
    tokens.push_back(PointerToken{std::move(name), i});
    if (i >= pointer.size()) return true;
  }
}

void append_pointer_token(std::string_view name, std::string& out) {
  out += '/';
  for (char c : name) {
    if (c == '~') {
      out += "~0";
    } else if (c == '/') {
      out += "~1";
    } else {
      out += c;
    }
  }
}

}  // namespace quarn::json
