// The Arrow column builder and its export, without an interpreter: buffers,
// offsets and bitmaps as the C data interface lays them out, rollback of a
// failed record, batch after batch, and (under LeakSanitizer) that releasing
// what was exported frees everything, also after a consumer moved a child out.
// tests/test_native.py builds it with sanitizers.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "arrow/builder.hpp"
#include "arrow/types.hpp"
#include "check.hpp"

using namespace quarn::arrow;

static Schema infer(const std::vector<std::string>& records, bool mixed = false) {
  Inferrer inferrer(mixed);
  for (const auto& r : records) CHECK(inferrer.add(r).ok(), "sample %s", r.c_str());
  return inferrer.schema();
}

// A compact rendering of an exported type: "struct<a:int64,b:list<utf8>>".
static std::string format_tree(const ArrowSchema& s) {
  std::string out = s.format;
  if (s.n_children == 0) return out;
  out += '<';
  for (std::int64_t i = 0; i < s.n_children; ++i) {
    if (i != 0) out += ',';
    out += s.children[i]->name;
    out += ':';
    out += format_tree(*s.children[i]);
  }
  return out + '>';
}

static bool bit(const ArrowArray& a, int buffer, std::int64_t i) {
  const auto* bits = static_cast<const std::uint8_t*>(a.buffers[buffer]);
  return (bits[i >> 3] >> (i & 7) & 1) != 0;
}

template <class T>
static std::vector<T> values(const ArrowArray& a, int buffer, std::int64_t n) {
  const auto* p = static_cast<const T*>(a.buffers[buffer]);
  return std::vector<T>(p, p + n);
}

static Batch build(ColumnSink& sink, const std::vector<std::string>& records) {
  for (const auto& r : records) CHECK(sink.add_record(r).ok(), "record %s", r.c_str());
  return sink.finish_batch();
}

static void test_inference() {
  struct Case {
    std::vector<std::string> records;
    bool mixed;
    const char* type;
  };
  const Case cases[] = {
      {{R"({"b": 1, "a": "x"})", R"({"c": [1.5], "a": null, "b": 2.5})"},
       false,
       "+s<b:g,a:u,c:+l<item:g>>"},
      {{R"({"n": null, "e": [], "i": 9223372036854775807})"}, false, "+s<n:n,e:+l<item:n>,i:l>"},
      {{R"({"i": 9223372036854775808})"}, false, "+s<i:g>"},
      {{R"({"s": {"y": true}})", R"({"s": {"x": 1, "y": false}})"}, false, "+s<s:+s<y:b,x:l>>"},
      {{R"({"m": "x"})", R"({"m": 1})"}, false, "+s<m:u>"},
      {{R"({"m": 1})", R"({"m": "x"})"}, false, "+s<m:l>"},
      {{R"({"m": 1})", R"({"m": {"k": 1}})"}, true, "+s<m:u>"},
      {{"1", "2.5", "null"}, false, "+s<value:g>"},
      {{"[1]", R"({"a": 1})"}, false, "+s<value:+l<item:l>>"},
      {{R"({"a": 1})", "[1]"}, true, "+s<value:u>"},
      {{}, false, "+s"},
  };
  for (const Case& c : cases) {
    ColumnSink sink(infer(c.records, c.mixed), ConflictPolicy::AsNull);
    Batch b = sink.finish_batch();
    const std::string got = format_tree(b.schema);
    CHECK(got == c.type, "inferred %s, expected %s", got.c_str(), c.type);
  }
}

static void test_buffers() {
  ColumnSink sink(infer({R"({"i": 1, "s": "ab", "l": [true, false], "o": {"f": 0.5}})"}),
                  ConflictPolicy::Error);
  Batch b = build(sink, {R"({"i": 1, "s": "ab", "l": [true, false], "o": {"f": 0.5}})",
                         R"({"s": "", "l": [], "o": null, "x": {"skipped": [1, {"deep": 2}]}})",
                         R"({"i": -7, "s": "c\u00e9", "l": null, "o": {}})"});
  const ArrowArray& a = b.array;
  CHECK(a.length == 3 && a.null_count == 0 && a.n_children == 4 && a.buffers[0] == nullptr,
        "batch: length %lld nulls %lld", (long long)a.length, (long long)a.null_count);
  const ArrowArray& i = *a.children[0];
  CHECK(i.null_count == 1 && !bit(i, 0, 1) && bit(i, 0, 0) && bit(i, 0, 2), "int64 validity");
  CHECK((values<std::int64_t>(i, 1, 3) == std::vector<std::int64_t>{1, 0, -7}), "int64 values");
  const ArrowArray& s = *a.children[1];
  // No null in the column: no bitmap at all.
  CHECK(s.null_count == 0 && s.buffers[0] == nullptr, "utf8 without nulls has no bitmap");
  CHECK((values<std::int32_t>(s, 1, 4) == std::vector<std::int32_t>{0, 2, 2, 5}), "utf8 offsets");
  CHECK(std::memcmp(s.buffers[2], "abc\xc3\xa9", 5) == 0, "utf8 bytes");
  const ArrowArray& l = *a.children[2];
  CHECK(l.null_count == 1 && !bit(l, 0, 2), "list validity");
  CHECK((values<std::int32_t>(l, 1, 4) == std::vector<std::int32_t>{0, 2, 2, 2}), "list offsets");
  const ArrowArray& item = *l.children[0];
  CHECK(item.length == 2 && bit(item, 1, 0) && !bit(item, 1, 1), "bool bits");
  const ArrowArray& o = *a.children[3];
  const ArrowArray& f = *o.children[0];
  // The struct's null row and its missing member both leave a null child slot.
  CHECK(o.null_count == 1 && !bit(o, 0, 1) && f.length == 3 && f.null_count == 2,
        "struct: nulls %lld, child nulls %lld", (long long)o.null_count, (long long)f.null_count);
  CHECK(values<double>(f, 1, 1)[0] == 0.5, "float64 value");

  // A consumer takes one column and lets the rest go: both halves are freed.
  ArrowArray taken = *a.children[1];
  a.children[1]->release = nullptr;
  b.array.release(&b.array);
  CHECK(taken.release != nullptr && std::memcmp(taken.buffers[2], "abc", 3) == 0, "moved child");
  taken.release(&taken);
  CHECK(taken.release == nullptr, "release clears release");
}

static void test_rollback_and_batches() {
  ColumnSink sink(infer({R"({"u": {"id": 1, "tags": ["a"]}, "n": 1})"}), ConflictPolicy::Error);
  CHECK(sink.add_record(R"({"u": {"id": 1, "tags": ["a", "b"]}, "n": 1})").ok(), "first");
  // Fails deep inside, after appending to several columns.
  auto bad = sink.add_record(R"({"n": 2, "u": {"tags": ["c", "d"], "id": "x"}})");
  CHECK(!bad.ok(), "conflict fails under Error");
  if (!bad.ok()) {
    CHECK(bad.error().text == "record 1: /u/id is a string, which a column of int64 cannot hold",
          "message: %s", bad.error().text.c_str());
  }
  auto broken = sink.add_record(R"({"n": 3, "u": {"tags": ["e"]})");
  CHECK(!broken.ok() && broken.error().text.rfind("record 2: ", 0) == 0, "parse error names it");
  CHECK(sink.add_record(R"({"u": {"tags": ["f"], "id": 4}, "n": 5})").ok(), "after");
  Batch b = sink.finish_batch();
  const ArrowArray& u = *b.array.children[0];
  const ArrowArray& tags = *u.children[1];
  CHECK(b.array.length == 2 && u.length == 2 && tags.length == 2, "rows after rollback");
  CHECK((values<std::int32_t>(tags, 1, 3) == std::vector<std::int32_t>{0, 2, 3}), "list offsets");
  CHECK(tags.children[0]->length == 3 && std::memcmp(tags.children[0]->buffers[2], "abf", 3) == 0,
        "items after rollback");
  CHECK((values<std::int64_t>(*b.array.children[1], 1, 2) == std::vector<std::int64_t>{1, 5}),
        "n after rollback");

  // The next batch starts empty, with the same columns.
  Batch next = build(sink, {R"({"n": 7})"});
  CHECK(next.array.length == 1 && next.array.children[0]->children[1]->length == 1 &&
            values<std::int64_t>(*next.array.children[1], 1, 1)[0] == 7,
        "second batch");
  Batch empty = sink.finish_batch();
  CHECK(empty.array.length == 0 && empty.array.children[1]->buffers[1] != nullptr,
        "an empty batch still has readable buffers");
}

static void test_policies() {
  const Schema schema = infer({R"({"s": "x", "i": 1, "l": [1]})"});
  ColumnSink as_null(schema, ConflictPolicy::AsNull);
  Batch n = build(as_null, {R"({"s": 1, "i": "x", "l": [1, "y", [2]]})", "[1]", "7"});
  CHECK(n.array.length == 3 && n.array.children[0]->null_count == 3 &&
            n.array.children[1]->null_count == 3 && n.array.children[2]->null_count == 2,
        "null policy: rows %lld", (long long)n.array.length);
  CHECK(n.array.children[2]->children[0]->null_count == 2, "null list items");

  ColumnSink as_text(schema, ConflictPolicy::AsText);
  Batch t = build(as_text, {R"({"s": {"a": [1, -2.5e-7, true, null, "q\"\n"], "b": {}}})",
                            R"({"s": 1e16})", R"({"s": [[], 18446744073709551615]})"});
  const ArrowArray& s = *t.array.children[0];
  const auto offsets = values<std::int32_t>(s, 1, 4);
  const std::string bytes(static_cast<const char*>(s.buffers[2]), offsets[3]);
  const std::string want = R"({"a":[1,-2.5e-07,true,null,"q\"\n"],"b":{}})"
                           "1e+16"
                           "[[],18446744073709551615]";
  CHECK(bytes == want, "text: %s", bytes.c_str());
  // Text is for utf8 columns only; elsewhere it fails as under Error.
  CHECK(!as_text.add_record(R"({"i": "x"})").ok(), "text in an int64 column");
}

static void test_wide_offsets() {
  ColumnSink sink(infer({R"({"s": "a", "l": [1]})"}), ConflictPolicy::Error, 4);
  Batch b = build(sink, {R"({"s": "ab", "l": [1, 2]})", R"({"s": "cde", "l": [3, 4, 5]})"});
  const ArrowArray& s = *b.array.children[0];
  CHECK(std::string(b.schema.children[0]->format) == "U" &&
            std::string(b.schema.children[1]->format) == "+L",
        "wide formats");
  CHECK((values<std::int64_t>(s, 1, 3) == std::vector<std::int64_t>{0, 2, 5}), "64-bit offsets");
  // Back to 32-bit offsets in the next batch.
  Batch next = build(sink, {R"({"s": "f"})"});
  CHECK(std::string(next.schema.children[0]->format) == "u", "narrow again");
}

static void test_double_text() {
  const std::pair<double, const char*> cases[] = {
      {1.5, "1.5"},       {100.0, "100.0"},
      {1e16, "1e+16"},    {1e15, "1000000000000000.0"},
      {1e-4, "0.0001"},   {1.5e-5, "1.5e-05"},
      {-0.0, "-0.0"},     {1e300, "1e+300"},
      {0.1, "0.1"},       {123.456, "123.456"},
      {5e-324, "5e-324"}, {1.7976931348623157e308, "1.7976931348623157e+308"},
  };
  for (const auto& [d, want] : cases) {
    std::string got;
    append_double(d, got);
    CHECK(got == want, "%s != %s", got.c_str(), want);
  }
}

int main() {
  test_inference();
  test_buffers();
  test_rollback_and_batches();
  test_policies();
  test_wide_offsets();
  test_double_text();
  return quarn::test::finish("arrow");
}
