// schema: samples the first records of a file, merges their structure and
// renders it. The samplers stop at the byte that completes the sample, so the
// cost depends on the sample, not on the file.
//
// Each record is merged as soon as it is parsed and then dropped: the merger
// keeps everything the description needs, so the call holds one record at a
// time, built in an arena that every record reuses.
#include <cstdint>
#include <memory>
#include <string>

#include "api/bigjson/format.hpp"
#include "api/bigjson/infer.hpp"
#include "api/bigjson/io.hpp"
#include "api/bigjson/ops.hpp"
#include "json/parser.hpp"
#include "json/render.hpp"
#include "json/text.hpp"
#include "scan/scan.hpp"

namespace quarn::api::bigjson {
namespace {

// The merged records so far and what parses them. The sink owns the keys
// that the merger refers to, so it lives as long as the merger.
struct Sample {
  json::Arena arena;
  json::ValueSink sink{&arena};
  StructureMerger merger;
  std::uint64_t records = 0;

  [[nodiscard]] std::uint64_t size() const { return records; }
};

bool valid_utf8(std::string_view text) {
  return scan::validate_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Parses one record text into the sample; blank texts add nothing.
Status add_record(std::string_view text, Sample& sample, std::string_view prefix) {
  text = json::trim_unicode_whitespace(text);
  if (text.empty()) return binding::ok_status();
  sample.arena.reset();
  auto parsed = json::parse_value(text, sample.sink);
  if (!parsed) return Error::value(std::string(prefix) + json::describe(text, parsed.error));
  sample.merger.add(*parsed.value);
  ++sample.records;
  return binding::ok_status();
}

// Element texts come from a byte scan and may hold bytes that are not UTF-8:
// those become U+FFFD rather than an error.
Status add_element(std::string_view raw, Sample& sample, std::string_view prefix) {
  if (valid_utf8(raw)) return add_record(raw, sample, prefix);
  return add_record(json::decode_replacing(raw), sample, prefix);
}

Status sample_jsonl(File file, std::uint64_t wanted, Sample& sample) {
  LineReader lines(std::move(file));
  for (;;) {
    auto got = lines.next_line();
    // One line past the sample is read, and whatever it holds is ignored.
    if (sample.size() >= wanted) return binding::ok_status();
    if (!got.ok()) return read_error(std::move(got).error());
    std::string_view line = got.value();
    if (line.empty()) return binding::ok_status();
    if (!valid_utf8(line)) return Error::runtime("read error: " + std::string(kInvalidUtf8));
    auto added = add_record(line, sample, "invalid JSONL line: ");
    if (!added.ok()) return added;
  }
}

Status sample_json(File file, std::uint64_t wanted, Sample& sample) {
  constexpr std::size_t kBlock = 1 << 16;
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kBlock]);
  std::string element;
  scan::ArrayScan state;
  bool started = false, in_array = false;
  for (;;) {
    auto got = file.read(block.get(), kBlock);
    if (!got.ok()) return read_error(std::move(got).error());
    std::size_t n = got.value();
    if (n == 0) break;
    const std::uint8_t* p = block.get();
    if (!started) {
      std::size_t i = 0;
      while (i < n && json::is_ascii_whitespace(p[i])) ++i;
      if (i == n) continue;
      started = true;
      if (p[i] == '[') {
        in_array = true;
        ++i;
      }
      p += i;
      n -= i;
    }
    if (!in_array) {
      element.append(reinterpret_cast<const char*>(p), n);
      continue;
    }
    while (n > 0) {
      if (element.empty()) {
        // Between elements the scanner is outside strings and the element is
        // trimmed anyway: skipping the padding keeps it out of memory.
        while (n > 0 && json::is_ascii_whitespace(*p)) {
          ++p;
          --n;
        }
        if (n == 0) break;
      }
      std::size_t end = scan::find_element_end(p, n, state);
      element.append(reinterpret_cast<const char*>(p), end);
      if (end == n) break;
      bool closing = p[end] == ']';
      auto added = add_element(element, sample, "invalid JSON element: ");
      if (!added.ok()) return added;
      element.clear();
      if (closing || sample.size() >= wanted) return binding::ok_status();
      p += end + 1;
      n -= end + 1;
    }
  }
  // An array the file never closes ends with the records so far: sampling
  // the head of a truncated file is a legitimate use.
  if (in_array) return binding::ok_status();
  return add_element(element, sample, "invalid JSON: ");
}

}  // namespace

binding::Result<Ref> schema(const CallArgs& args) {
  auto format = resolve_format(args.path, args.format);
  if (!format.ok()) return std::move(format).error();
  auto opened = File::open(args.path);
  if (!opened.ok()) return std::move(opened).error();
  Sample sample;
  auto sampled = format.value() == InputFormat::Jsonl
                     ? sample_jsonl(std::move(opened).value(), args.sample, sample)
                     : sample_json(std::move(opened).value(), args.sample, sample);
  if (!sampled.ok()) return std::move(sampled).error();
  std::string text = json::to_pretty_string(sample.merger.describe());
  Ref result = Ref::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "strict"));
  if (!result) return Error::python();
  return result;
}

}  // namespace quarn::api::bigjson
