#include "json/text.hpp"

#include <cstdint>

namespace quarn::json {
namespace {

// Length of the White_Space character starting at p (0 if none).
std::size_t whitespace_at(const unsigned char* p, std::size_t n) {
  unsigned char c = p[0];
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
  if (c == 0xC2 && n >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) return 2;
  if (n < 3) return 0;
  if (c == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;
  if (c == 0xE2) {
    if (p[1] == 0x80) {
      unsigned char t = p[2];
      return (t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF ? 3 : 0;
    }
    return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;
  }
  if (c == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;
  return 0;
}

// Length of the White_Space character ending just before p + n (0 if none).
std::size_t whitespace_before(const unsigned char* p, std::size_t n) {
  unsigned char c = p[n - 1];
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || c == 0x20 ? 1 : 0;
  if (n >= 2 && whitespace_at(p + n - 2, 2) == 2) return 2;
  if (n >= 3 && whitespace_at(p + n - 3, 3) == 3) return 3;
  return 0;
}

}  // namespace

std::string_view trim_unicode_whitespace(std::string_view text) {
  auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t begin = 0, end = text.size();
  while (begin < end) {
    std::size_t w = whitespace_at(p + begin, end - begin);
    if (w == 0) break;
    begin += w;
  }
  while (end > begin) {
    std::size_t w = whitespace_before(p + begin, end - begin);
    if (w == 0) break;
    end -= w;
  }
  return text.substr(begin, end - begin);
}

std::string decode_replacing(std::string_view bytes) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  std::string out;
  out.reserve(n + 8);
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = p[i];
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    // Expected length and the allowed range of the second byte; the ranges
    // exclude overlongs, surrogates and code points above U+10FFFF.
    std::size_t len = 0;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    }
    if (len == 0) {
      out.append(kReplacement);
      ++i;
      continue;
    }
    // Consume the longest valid prefix; an incomplete one becomes a single
    // replacement character.
    std::size_t k = 1;
    while (k < len && i + k < n) {
      unsigned char b = p[i + k];
      bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
      if (!ok) break;
      ++k;
    }
    if (k == len) {
      out.append(bytes.data() + i, len);
    } else {
      out.append(kReplacement);
    }
    i += k;
  }
  return out;
}

void append_quoted(std::string_view s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  // Plain bytes go in runs: most strings hold no byte to escape.
  const char* run = s.data();
  const char* end = s.data() + s.size();
  for (const char* c = run; c < end; ++c) {
    const auto b = static_cast<unsigned char>(*c);
    if (b >= 0x20 && b != '"' && b != '\\') continue;
    out.append(run, c);
    run = c + 1;
    switch (b) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        out += "\\u00";
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 15]);
    }
  }
  out.append(run, end);
  out.push_back('"');
}

}  // namespace quarn::json
