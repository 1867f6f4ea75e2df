// libFuzzer target for the JSON codec and the structure inference.
//
// For any bytes:
//  - the parser with the vector string scan and the one with the portable scan
//    agree exactly: the same document, or the same error code at the same
//    index, and that index lies within the text;
//  - a document renders to text that parses back to the same document and
//    renders to the same bytes again;
//  - the structure description of the document (or of its elements, as
//    schema() samples them) renders to valid JSON and equals that of a plain
//    recursive reference, also when the merger is asked for it half-way.
// Any violation traps, which libFuzzer records as a crash.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "dump.hpp"
#include "fuzz_check.hpp"
#include "json/infer.hpp"
#include "json/parser.hpp"
#include "json/render.hpp"

bool portable_parse(std::string_view text, std::string& out, int& code, std::size_t& index);

namespace {

using quarn::json::Map;
using quarn::json::Number;
using quarn::json::Value;

std::string canonical(const Value& v) {
  std::string out;
  quarn_fuzz::dump(v, out);
  return out;
}

// The structure inference written the plain way, one recursive pass per
// level over lists of values, as a reference for the incremental merger.
Value reference_infer(const std::vector<const Value*>& values);

Value reference_scalar(unsigned names) {
  static constexpr std::string_view kNames[] = {"bool", "float", "int", "null", "str"};
  std::string joined;
  for (unsigned i = 0; i < 5; ++i) {
    if ((names >> i & 1) == 0) continue;
    if (!joined.empty()) joined += '|';
    joined += kNames[i];
  }
  return Value::string(joined);
}

Value reference_array(const std::vector<const Value*>& arrays) {
  std::vector<const Value*> elements;
  for (const Value* a : arrays) {
    for (const Value& e : a->as_array()) elements.push_back(&e);
  }
  std::vector<Value> out;
  if (!elements.empty()) out.push_back(reference_infer(elements));
  return Value::array(std::move(out));
}

Value reference_object(const std::vector<const Value*>& objects) {
  std::vector<std::string> keys;
  std::set<std::string, std::less<>> seen;
  for (const Value* o : objects) {
    for (const auto& field : o->as_object()) {
      if (seen.emplace(field.first).second) keys.emplace_back(field.first);
    }
  }
  // Map::from_members keeps the last of equal names: the later key wins.
  std::vector<Map::Entry> members;
  for (const std::string& key : keys) {
    std::vector<const Value*> present;
    for (const Value* o : objects) {
      if (const Value* v = o->as_object().find(key)) present.push_back(v);
    }
    members.emplace_back(present.size() == objects.size() ? key : key + "?",
                         reference_infer(present));
  }
  return Value::object(Map::from_members(std::move(members)));
}

Value reference_infer(const std::vector<const Value*>& values) {
  if (values.empty()) return Value::string("unknown");
  std::vector<const Value*> objects, arrays;
  unsigned names = 0;
  for (const Value* v : values) {
    switch (v->kind()) {
      case Value::Kind::Object:
        objects.push_back(v);
        break;
      case Value::Kind::Array:
        arrays.push_back(v);
        break;
      case Value::Kind::Bool:
        names |= 1;
        break;
      case Value::Kind::Number:
        names |= v->as_number().kind == Number::Kind::Double ? 2 : 4;
        break;
      case Value::Kind::Null:
        names |= 8;
        break;
      case Value::Kind::String:
        names |= 16;
        break;
    }
  }
  std::vector<Value> alternatives;
  if (names != 0) alternatives.push_back(reference_scalar(names));
  if (!arrays.empty()) alternatives.push_back(reference_array(arrays));
  if (!objects.empty()) alternatives.push_back(reference_object(objects));
  if (alternatives.size() == 1) return std::move(alternatives.front());
  std::vector<Map::Entry> oneof;
  oneof.emplace_back("__oneof__", Value::array(std::move(alternatives)));
  return Value::object(Map::from_members(std::move(oneof)));
}

// The records schema() would sample from this document: the elements of a
// top-level array, else the document. The merger must give the reference's
// description, also when asked for it half-way and then fed the rest.
void check_inference(const Value& v) {
  std::vector<const Value*> records{&v};
  if (v.kind() == Value::Kind::Array) {
    records.clear();
    for (const Value& item : v.as_array()) records.push_back(&item);
  }
  const std::string text = quarn::json::to_pretty_string(quarn::json::infer(records));
  FUZZ_CHECK(quarn::json::parse_value(text));
  FUZZ_CHECK(text == quarn::json::to_pretty_string(reference_infer(records)));

  quarn::json::StructureMerger merger;
  for (std::size_t i = 0; i < records.size(); ++i) {
    if (i == records.size() / 2) (void)merger.describe();
    merger.add(*records[i]);
  }
  if (!records.empty()) FUZZ_CHECK(quarn::json::to_pretty_string(merger.describe()) == text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto parsed = quarn::json::parse_value(text);

  std::string other;
  int other_code = -1;
  std::size_t other_index = 0;
  const bool other_ok = portable_parse(text, other, other_code, other_index);

  if (!parsed) {
    FUZZ_CHECK(!other_ok);
    FUZZ_CHECK(other_code == static_cast<int>(parsed.error.code));
    FUZZ_CHECK(other_index == parsed.error.index);
    FUZZ_CHECK(parsed.error.index <= size);
    (void)quarn::json::describe(text, parsed.error);
    return 0;
  }
  const Value& value = *parsed.value;
  const std::string form = canonical(value);
  FUZZ_CHECK(other_ok);
  FUZZ_CHECK(other == form);

  const std::string rendered = quarn::json::to_pretty_string(value);
  auto again = quarn::json::parse_value(rendered);
  FUZZ_CHECK(again);
  FUZZ_CHECK(canonical(*again.value) == form);
  FUZZ_CHECK(quarn::json::to_pretty_string(*again.value) == rendered);

  check_inference(value);
  return 0;
}
