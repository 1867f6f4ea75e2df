// Cold parts of the parser (messages, positions, range classification) and
// the Value-building sink; the table of powers of five is in pow5.cpp.
#include "parser.hpp"

#include <algorithm>
#include <iterator>

namespace quarn::json {

std::string_view message(ErrorCode code) {
  switch (code) {
    case ErrorCode::EofWhileParsingList:
      return "EOF while parsing a list";
    case ErrorCode::EofWhileParsingObject:
      return "EOF while parsing an object";
    case ErrorCode::EofWhileParsingString:
      return "EOF while parsing a string";
    case ErrorCode::EofWhileParsingValue:
      return "EOF while parsing a value";
    case ErrorCode::ExpectedColon:
      return "expected `:`";
    case ErrorCode::ExpectedListCommaOrEnd:
      return "expected `,` or `]`";
    case ErrorCode::ExpectedObjectCommaOrEnd:
      return "expected `,` or `}`";
    case ErrorCode::ExpectedSomeIdent:
      return "expected ident";
    case ErrorCode::ExpectedSomeValue:
      return "expected value";
    case ErrorCode::InvalidEscape:
      return "invalid escape";
    case ErrorCode::InvalidNumber:
      return "invalid number";
    case ErrorCode::NumberOutOfRange:
      return "number out of range";
    case ErrorCode::ControlCharacterWhileParsingString:
      return "control character (\\u0000-\\u001F) found while parsing a string";
    case ErrorCode::KeyMustBeAString:
      return "key must be a string";
    case ErrorCode::LoneLeadingSurrogateInHexEscape:
      return "lone leading surrogate in hex escape";
    case ErrorCode::TrailingComma:
      return "trailing comma";
    case ErrorCode::TrailingCharacters:
      return "trailing characters";
    case ErrorCode::UnexpectedEndOfHexEscape:
      return "unexpected end of hex escape";
    case ErrorCode::RecursionLimitExceeded:
      return "recursion limit exceeded";
    case ErrorCode::SinkFailed:
      break;
  }
  return "value could not be built";
}

Position position_of(std::string_view text, std::size_t index) {
  const std::string_view prefix = text.substr(0, index);
  const auto newlines = static_cast<std::uint64_t>(std::count(prefix.begin(), prefix.end(), '\n'));
  const std::size_t last = prefix.rfind('\n');
  const std::size_t line_start = last == std::string_view::npos ? 0 : last + 1;
  return Position{newlines + 1, static_cast<std::uint64_t>(prefix.size() - line_start)};
}

std::string describe(std::string_view text, const ParseError& error) {
  const Position pos = position_of(text, error.index);
  std::string out(message(error.code));
  out += " at line ";
  out += std::to_string(pos.line);
  out += " column ";
  out += std::to_string(pos.column);
  return out;
}

namespace detail {

// Writes the number as 0.d1d2... x 10^order with d1 its first non-zero digit.
// A double overflows only for order >= 309 and underflows only for order
// <= -323, so the sign of order tells the two apart.
bool decimal_overflows(const char* first, const char* last) {
  const char* p = first;
  if (p != last && *p == '-') ++p;
  std::int64_t order = 0;
  bool seen_nonzero = false;
  for (; p != last && is_digit(*p); ++p) {
    seen_nonzero = seen_nonzero || *p != '0';
    if (seen_nonzero) ++order;
  }
  if (p != last && *p == '.') {
    for (++p; p != last && is_digit(*p); ++p) {
      if (seen_nonzero) continue;
      if (*p != '0') {
        seen_nonzero = true;
      } else {
        --order;
      }
    }
  }
  if (p != last && (*p | 0x20) == 'e') {
    ++p;
    bool negative = false;
    if (p != last && (*p == '+' || *p == '-')) negative = *p++ == '-';
    // Saturates far beyond any double's range, far below int64 overflow.
    constexpr std::int64_t kCap = std::int64_t{1} << 40;
    std::int64_t x = 0;
    for (; p != last && is_digit(*p); ++p) x = std::min(kCap, x * 10 + (*p - '0'));
    order += negative ? -x : x;
  }
  return order > 0;
}

std::string_view KeyTable::insert(Slot& slot, std::uint64_t hash, std::string_view key) {
  char* data = static_cast<char*>(bytes_.allocate(key.size()));
  std::memcpy(data, key.data(), key.size());
  slot = {hash, data, key.size()};
  ++used_;
  return {data, key.size()};
}

void KeyTable::grow() {
  std::vector<Slot> old(std::max<std::size_t>(64, 2 * slots_.size()), Slot{0, nullptr, 0});
  old.swap(slots_);
  const std::size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.data == nullptr) continue;
    std::size_t i = slot.hash & mask;
    while (slots_[i].data != nullptr) i = (i + 1) & mask;
    slots_[i] = slot;
  }
}

std::span<const std::uint32_t> ShapeCache::order(std::span<const std::string_view> keys) {
  if (keys.size() <= 1) {
    order_.assign(keys.size(), 0);
    return order_;
  }
  std::uint64_t hash = keys.size();
  for (const std::string_view key : keys) {
    hash = (hash ^ reinterpret_cast<std::uintptr_t>(key.data())) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 29;
  }
  Shape& shape = shapes_[hash % kShapes];
  if (shape.hash == hash && shape.keys.size() == keys.size() &&
      std::equal(keys.begin(), keys.end(), shape.keys.begin(),
                 [](std::string_view key, const char* known) { return key.data() == known; })) {
    return shape.order;
  }
  shape.hash = hash;
  shape.keys.clear();
  for (const std::string_view key : keys) shape.keys.push_back(key.data());
  unique_key_order(keys, scratch_, shape.order);
  return shape.order;
}

}  // namespace detail

bool ValueSink::end_array(std::size_t count) {
  const auto first = values_.end() - static_cast<std::ptrdiff_t>(count);
  Value array = Value::array_of(std::span<Value>(first, values_.end()), arena_);
  values_.erase(first, values_.end());
  values_.push_back(std::move(array));
  return true;
}

bool ValueSink::end_object(std::size_t count) {
  const std::span<const std::string_view> keys(keys_.data() + (keys_.size() - count), count);
  const std::span<const std::uint32_t> order = shapes_.order(keys);
  // Each surviving value moves once, straight into the map; the losers of
  // repeated keys are still on the stack and die with it.
  Value* values = values_.data() + (values_.size() - count);
  MapPtr map;
  if (arena_ != nullptr) {
    Map::Builder builder(order.size(), 0, arena_);
    for (const std::uint32_t i : order) builder.append_borrowed(keys[i], std::move(values[i]));
    map = builder.finish();
  } else {
    std::size_t key_bytes = 0;
    for (const std::uint32_t i : order) key_bytes += keys[i].size();
    Map::Builder builder(order.size(), key_bytes);
    for (const std::uint32_t i : order) builder.append(keys[i], std::move(values[i]));
    map = builder.finish();
  }
  values_.resize(values_.size() - count);
  keys_.resize(keys_.size() - count);
  values_.push_back(Value::object(std::move(map)));
  return true;
}

ValueResult parse_value(std::string_view text, ValueSink& sink, std::size_t depth) {
  sink.clear();
  ValueResult result;
  if (auto error = parse(text, sink, depth)) {
    result.error = *error;
  } else {
    result.value = sink.take();
  }
  sink.clear();
  return result;
}

ValueResult parse_value(std::string_view text) {
  ValueSink sink;
  return parse_value(text, sink);
}

}  // namespace quarn::json
