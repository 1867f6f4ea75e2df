// A canonical byte form of a parsed document, for comparing two documents
// exactly: number kinds and bit patterns, string bytes, member order. It is a
// template over the document type so that two builds of the parser, living in
// different namespaces, can be compared with each other.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace quarn_fuzz {

inline void dump_size(std::size_t n, std::string& out) {
  const auto v = static_cast<std::uint64_t>(n);
  out.append(reinterpret_cast<const char*>(&v), sizeof v);
}

inline void dump_bytes(std::string_view s, std::string& out) {
  dump_size(s.size(), out);
  out += s;
}

template <class Value>
void dump(const Value& v, std::string& out) {
  using Kind = typename Value::Kind;
  switch (v.kind()) {
    case Kind::Null:
      out += 'n';
      return;
    case Kind::Bool:
      out += v.as_bool() ? 't' : 'f';
      return;
    case Kind::Number: {
      const auto& n = v.as_number();
      out += 'N';
      out += static_cast<char>(n.kind);
      // The union's bytes: the double's bit pattern or the integer, whichever
      // is held, so -0.0 and 0.0 differ and 1 differs from 1.0 by the kind.
      std::uint64_t bits;
      std::memcpy(&bits, &n.u, sizeof bits);
      out.append(reinterpret_cast<const char*>(&bits), sizeof bits);
      return;
    }
    case Kind::String:
      out += 's';
      dump_bytes(v.as_string(), out);
      return;
    case Kind::Array:
      out += '[';
      dump_size(v.as_array().size(), out);
      for (const auto& item : v.as_array()) dump(item, out);
      return;
    case Kind::Object:
      out += '{';
      dump_size(v.as_object().size(), out);
      for (const auto& [key, value] : v.as_object()) {
        dump_bytes(key, out);
        dump(value, out);
      }
      return;
  }
}

}  // namespace quarn_fuzz
