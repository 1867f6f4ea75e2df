#include "json/render.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace quarn::json {
namespace {

constexpr char HEX_DIGITS[] = "0123456789abcdef";

// Per byte: 0 copies the byte unchanged, 'u' means \u00XX, any other entry is
// the letter written after the backslash. Bytes >= 0x80 are never escaped, so
// UTF-8 passes through whole.
constexpr std::array<char, 256> ESCAPE = [] {
  std::array<char, 256> t{};
  for (std::size_t b = 0; b < 0x20; ++b) t[b] = 'u';
  t[0x08] = 'b';
  t[0x09] = 't';
  t[0x0A] = 'n';
  t[0x0C] = 'f';
  t[0x0D] = 'r';
  t['"'] = '"';
  t['\\'] = '\\';
  return t;
}();

constexpr std::array<char, 200> DIGIT_PAIRS = [] {
  std::array<char, 200> t{};
  for (std::size_t i = 0; i < 100; ++i) {
    t[2 * i] = static_cast<char>('0' + i / 10);
    t[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return t;
}();

constexpr std::string_view INDENT = "  ";

// Writes the decimal digits of v so that they end just before end; returns
// the first digit. 2^64 - 1 has 20 digits, the scratch area's size.
char* write_digits(std::uint64_t v, char* end) {
  char* p = end;
  while (v >= 100) {
    const auto pair = static_cast<unsigned>(v % 100) * 2;
    v /= 100;
    p -= 2;
    std::memcpy(p, &DIGIT_PAIRS[pair], 2);
  }
  if (v >= 10) {
    p -= 2;
    std::memcpy(p, &DIGIT_PAIRS[v * 2], 2);
  } else {
    *--p = static_cast<char>('0' + v);
  }
  return p;
}

void write_unsigned(std::uint64_t v, std::string& out) {
  char buf[20];
  char* end = buf + sizeof buf;
  char* first = write_digits(v, end);
  out.append(first, end);
}

void write_signed(std::int64_t v, std::string& out) {
  char buf[21];
  char* end = buf + sizeof buf;
  // Negating in unsigned arithmetic keeps INT64_MIN's magnitude representable.
  const std::uint64_t magnitude =
      v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  char* first = write_digits(magnitude, end);
  if (v < 0) *--first = '-';
  out.append(first, end);
}

void write_double(double d, std::string& out) {
  if (d == 0.0) {
    out.append(std::signbit(d) ? "-0.0" : "0.0");
    return;
  }
  // to_chars' scientific form is "d[.ddd]e±XX" with the shortest digits that
  // round-trip (nearest to the exact value among equally short candidates);
  // only the layout around those digits is ours.
  char sci[32];
  const auto res =
      std::to_chars(sci, sci + sizeof sci, std::fabs(d), std::chars_format::scientific);
  char digits[17];
  int n = 0;
  const char* p = sci;
  for (; p != res.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  // Exponent: "e", sign, then two or three digits.
  const bool exp_negative = p[1] == '-';
  int e = 0;
  for (const char* q = p + 2; q != res.ptr; ++q) e = e * 10 + (*q - '0');
  if (exp_negative) e = -e;

  // The longest result, e.g. -2.2250738585072014e-308, has 24 bytes.
  char buf[32];
  char* w = buf;
  if (d < 0) *w++ = '-';
  if (e < -5 || e > 15) {
    *w++ = digits[0];
    if (n > 1) {
      *w++ = '.';
      std::memcpy(w, digits + 1, static_cast<std::size_t>(n - 1));
      w += n - 1;
    }
    *w++ = 'e';
    *w++ = e < 0 ? '-' : '+';
    char ebuf[3];
    const char* efirst = write_digits(static_cast<std::uint64_t>(e < 0 ? -e : e), ebuf + 3);
    const auto elen = static_cast<std::size_t>(ebuf + 3 - efirst);
    std::memcpy(w, efirst, elen);
    w += elen;
  } else if (e >= n - 1) {
    std::memcpy(w, digits, static_cast<std::size_t>(n));
    w += n;
    const auto zeros = static_cast<std::size_t>(e - n + 1);
    std::memset(w, '0', zeros);
    w += zeros;
    *w++ = '.';
    *w++ = '0';
  } else if (e < 0) {
    *w++ = '0';
    *w++ = '.';
    const auto zeros = static_cast<std::size_t>(-e - 1);
    std::memset(w, '0', zeros);
    w += zeros;
    std::memcpy(w, digits, static_cast<std::size_t>(n));
    w += n;
  } else {
    const auto int_len = static_cast<std::size_t>(e + 1);
    std::memcpy(w, digits, int_len);
    w += int_len;
    *w++ = '.';
    std::memcpy(w, digits + int_len, static_cast<std::size_t>(n) - int_len);
    w += static_cast<std::size_t>(n) - int_len;
  }
  out.append(buf, w);
}

void write_number(const Number& n, std::string& out) {
  switch (n.kind) {
    case Number::Kind::Unsigned:
      write_unsigned(n.u, out);
      return;
    case Number::Kind::Signed:
      write_signed(n.i, out);
      return;
    case Number::Kind::Double:
      write_double(n.d, out);
      return;
  }
}

// Rendering state for one output text; the caller owns the buffer.
struct Serializer {
  std::string& out;
  unsigned level = 0;
  // Set once the innermost open container has received an item; decides
  // whether its closing bracket goes on a new line.
  bool item_written = false;

  void write_indent() {
    for (unsigned i = 0; i < level; ++i) out.append(INDENT);
  }

  void begin(char open) {
    ++level;
    item_written = false;
    out.push_back(open);
  }

  void begin_item(bool first) {
    out.append(first ? "\n" : ",\n");
    write_indent();
  }

  void end(char close) {
    --level;
    if (item_written) {
      out.push_back('\n');
      write_indent();
    }
    out.push_back(close);
  }
};

void format_escaped_str(std::string_view s, Serializer& ser) {
  std::string& out = ser.out;
  out.push_back('"');
  std::size_t run_start = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto byte = static_cast<unsigned char>(s[i]);
    const char esc = ESCAPE[byte];
    if (esc == 0) continue;
    out.append(s.data() + run_start, i - run_start);
    run_start = i + 1;
    if (esc == 'u') {
      const char u[6] = {'\\', 'u', '0', '0', HEX_DIGITS[byte >> 4], HEX_DIGITS[byte & 0xF]};
      out.append(u, sizeof u);
    } else {
      const char two[2] = {'\\', esc};
      out.append(two, sizeof two);
    }
  }
  out.append(s.data() + run_start, s.size() - run_start);
  out.push_back('"');
}

void serialize(const Value& v, Serializer& ser);

void collect_seq(std::span<const Value> items, Serializer& ser) {
  ser.begin('[');
  bool first = true;
  for (const Value& item : items) {
    ser.begin_item(first);
    first = false;
    serialize(item, ser);
    ser.item_written = true;
  }
  ser.end(']');
}

void serialize_entry(std::string_view key, const Value& value, Serializer& ser, bool first) {
  ser.begin_item(first);
  format_escaped_str(key, ser);
  ser.out.append(": ");
  serialize(value, ser);
  ser.item_written = true;
}

void serialize(const Value& v, Serializer& ser) {
  switch (v.kind()) {
    case Value::Kind::Null:
      ser.out.append("null");
      return;
    case Value::Kind::Bool:
      ser.out.append(v.as_bool() ? "true" : "false");
      return;
    case Value::Kind::Number:
      write_number(v.as_number(), ser.out);
      return;
    case Value::Kind::String:
      format_escaped_str(v.as_string(), ser);
      return;
    case Value::Kind::Array:
      collect_seq(v.as_array(), ser);
      return;
    case Value::Kind::Object: {
      ser.begin('{');
      bool first = true;
      for (const auto& [key, value] : v.as_object()) {
        serialize_entry(key, value, ser, first);
        first = false;
      }
      ser.end('}');
      return;
    }
  }
}

}  // namespace

void serialize_pretty(const Value& v, std::string& out) {
  Serializer ser{out};
  serialize(v, ser);
}

std::string to_pretty_string(const Value& v) {
  std::string out;
  out.reserve(128);
  serialize_pretty(v, out);
  return out;
}

}  // namespace quarn::json
