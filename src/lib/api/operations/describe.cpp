// schema: samples the first records of a file, merges their structure and
// renders it. The samplers stop at the byte that completes the sample, so the
// cost depends on the sample, not on the file.
//
// Each record is merged as soon as it is parsed and then dropped: the merger
// keeps everything the description needs, so the call holds one record at a
// time, built in an arena that every record reuses.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>

#include "api/operations/operations.hpp"
#include "json/infer.hpp"
#include "json/parser.hpp"
#include "json/render.hpp"
#include "json/text.hpp"
#include "records/format.hpp"
#include "records/source.hpp"
#include "scan/scan.hpp"

namespace quarn::api::operations {
namespace {

using json::StructureMerger;

// The merged records so far and what parses them. The sink owns the keys
// that the merger refers to, so it lives as long as the merger.
struct Sample {
  explicit Sample(std::size_t map_keys) : merger(map_keys) {}
  json::Arena arena;
  json::ValueSink sink{&arena};
  StructureMerger merger;
  std::uint64_t records = 0;

  [[nodiscard]] std::uint64_t size() const { return records; }
};

// Parses one record text into the sample; blank texts add nothing. `depth`:
// the containers around it that count towards the nesting limit.
Status add_record(std::string_view text, Sample& sample, std::string_view prefix,
                  std::size_t depth = 0) {
  text = json::trim_unicode_whitespace(text);
  if (text.empty()) return binding::ok_status();
  sample.arena.reset();
  auto parsed = json::parse_value(text, sample.sink, depth);
  if (!parsed) return Error::value(std::string(prefix) + json::describe(text, parsed.error));
  sample.merger.add(*parsed.value);
  ++sample.records;
  return binding::ok_status();
}

// Element texts come from a byte scan and may hold bytes that are not UTF-8:
// those become U+FFFD or an error, as `bad_text` says.
Status add_element(std::string_view raw, Sample& sample, std::string_view prefix, BadText bad_text,
                   std::size_t depth = 0) {
  if (scan::validate_utf8(raw)) return add_record(raw, sample, prefix, depth);
  if (bad_text == BadText::Reject) {
    return Error::runtime("read error: " + std::string(kInvalidUtf8));
  }
  return add_record(json::decode_replacing(raw), sample, prefix, depth);
}

Status sample_lines(RecordSource& source, std::uint64_t wanted, Sample& sample) {
  while (sample.size() < wanted) {
    auto got = source.next();
    if (!got.ok()) return std::move(got).error();
    if (got.value().cut != RecordSource::Cut::Text) return binding::ok_status();
    std::string_view line = got.value().text;
    if (!scan::validate_utf8(line))
      return Error::runtime("read error: " + std::string(kInvalidUtf8));
    auto added = add_record(line, sample, "invalid JSONL line: ");
    if (!added.ok()) return added;
  }
  return binding::ok_status();
}

// The count test follows each element, so a sample of 0 still takes the
// first one; an array the file never closes ends with the records so far:
// sampling the head of a truncated file is a legitimate use.
Status sample_array(RecordSource& source, std::uint64_t wanted, Sample& sample, BadText bad_text) {
  for (;;) {
    auto got = source.next();
    if (!got.ok()) return std::move(got).error();
    if (got.value().cut != RecordSource::Cut::Text) return binding::ok_status();
    auto added = add_element(got.value().text, sample, "invalid JSON element: ", bad_text,
                             source.element_depth());
    if (!added.ok()) return added;
    if (sample.size() >= wanted) return binding::ok_status();
  }
}

Status sample_records(RecordSource& source, std::uint64_t wanted, Sample& sample,
                      BadText bad_text) {
  auto layout = source.layout();
  if (!layout.ok()) return std::move(layout).error();
  switch (layout.value()) {
    case Layout::Lines:
      return sample_lines(source, wanted, sample);
    case Layout::Array:
      return sample_array(source, wanted, sample, bad_text);
    case Layout::Document: {
      auto got = source.next();
      if (!got.ok()) return std::move(got).error();
      return add_element(got.value().text, sample, "invalid JSON: ", bad_text);
    }
    case Layout::Empty:
      break;
  }
  return binding::ok_status();
}

}  // namespace

Result<Ref> describe_records(RecordSource& source, std::uint64_t sample_size, std::size_t map_keys,
                             BadText bad_text) {
  Sample sample(map_keys);
  auto sampled = sample_records(source, sample_size, sample, bad_text);
  if (!sampled.ok()) return std::move(sampled).error();
  std::string text = json::to_pretty_string(sample.merger.describe());
  Ref result =
      Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!result) return Error::python();
  return result;
}

}  // namespace quarn::api::operations
