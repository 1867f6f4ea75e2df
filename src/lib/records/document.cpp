// schema of one large JSON document: the document is walked as a stream and
// copied into a small text in which every array keeps only its first
// `sample` elements; the rest of each array is skipped by the element
// scanner, and the small text is described as the document would be. A
// FeatureCollection of any size is then described from its head, and the
// arrays that were cut short are where the records are.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "json/infer.hpp"
#include "json/render.hpp"
#include "json/text.hpp"
#include "records/nested.hpp"
#include "scan/scan.hpp"

namespace quarn::records {
namespace {

using json::kMapKeys;
using json::StructureMerger;

using json::ErrorCode;

// Bytes the skips of one call may scan in all: past them reading stops, so
// that the answer takes milliseconds whatever the file's size; what follows
// is not described.
constexpr std::uint64_t kSkipBudget = std::uint64_t{4} << 20;
// The sampled text's size past which reading stops, so that no shape of
// document (objects of a few hundred members inside each other, long
// strings) makes the description large.
constexpr std::size_t kTextBudget = std::size_t{4} << 20;
// A string (or number) longer than this is sampled as an empty one: the
// description needs its type only.
constexpr std::size_t kScalarCap = std::size_t{64} << 10;
constexpr int kMaxDepth = 127;

void append_token(std::string& pointer, std::string_view name) {
  pointer.push_back('/');
  for (char c : name) {
    if (c == '~') {
      pointer += "~0";
    } else if (c == '/') {
      pointer += "~1";
    } else {
      pointer.push_back(c);
    }
  }
}

class Sampler {
 public:
  Sampler(RecordSource& source, std::uint64_t sample)
      : cursor_(source), sample_(sample == 0 ? 1 : sample) {}

  Status run() {
    auto walked = value(0);
    if (!walked.ok() || stopped_) return walked;
    auto c = cursor_.peek_significant();
    if (!c.ok()) return std::move(c).error();
    if (c.value() != -1) return cursor_.error_after_next(ErrorCode::TrailingCharacters);
    return binding::ok_status();
  }

  const std::string& text() const { return text_; }
  std::vector<DocumentArray> take_arrays() { return std::move(arrays_); }

 private:
  Status value(int depth) {
    auto c = cursor_.peek_significant();
    if (!c.ok()) return std::move(c).error();
    if (c.value() == -1) return cursor_.error_at_end(ErrorCode::EofWhileParsingValue);
    if (c.value() == '{' || c.value() == '[') {
      if (depth >= kMaxDepth) return cursor_.error_after_next(ErrorCode::RecursionLimitExceeded);
      return c.value() == '{' ? object(depth) : array(depth);
    }
    ValueScan scan = ValueScan::gathering(kScalarCap);
    scan.budget = budget_left();
    auto skipped = cursor_.scan_value(scan);
    if (!skipped.ok()) return skipped;
    if (!scan.gather || !scan.done) {
      // Too long to keep: its type is all the description needs.
      skipped_bytes_ += cursor_.offset() - scan.start;
      text_ += c.value() == '"' ? "\"\"" : "0";
      stopped_ = !scan.done;
      return binding::ok_status();
    }
    auto valid = cursor_.validate(scan.text, scan.start);
    if (!valid.ok()) return valid;
    text_ += scan.text;
    return binding::ok_status();
  }

  std::uint64_t budget_left() const {
    return skipped_bytes_ < kSkipBudget ? kSkipBudget - skipped_bytes_ : 0;
  }

  // Inside an object, after the separator that follows its kMapKeys + 1-th
  // member: the members left are skipped (within the budget), for a
  // description of the object as a map needs only some of them. The
  // closing brace is consumed.
  Status skip_members() {
    ValueScan scan;
    scan.started = true;
    scan.open = "{";
    scan.budget = budget_left();
    const std::uint64_t start = cursor_.offset();
    auto skipped = cursor_.scan_value(scan);
    if (!skipped.ok()) return skipped;
    skipped_bytes_ += cursor_.offset() - start;
    stopped_ = !scan.done;
    return binding::ok_status();
  }

  Status object(int depth) {
    cursor_.advance();
    text_.push_back('{');
    bool closed = false;
    for (std::size_t members = 0;; ++members) {
      const bool first = members == 0;
      auto c = cursor_.peek_significant();
      if (!c.ok()) return std::move(c).error();
      if (c.value() == '}' && first) break;
      std::string raw;
      auto key = cursor_.member_key(raw);
      if (!key.ok()) return std::move(key).error();
      text_ += raw;
      text_.push_back(':');
      const std::size_t mark = pointer_.size();
      append_token(pointer_, key.value());
      auto member = value(depth + 1);
      pointer_.resize(mark);
      if (!member.ok()) return member;
      if (stopped_) break;
      auto sep = cursor_.peek_significant();
      if (!sep.ok()) return std::move(sep).error();
      if (sep.value() == '}') break;
      if (sep.value() == -1) return cursor_.error_at_end(ErrorCode::EofWhileParsingObject);
      if (sep.value() != ',') return cursor_.error_after_next(ErrorCode::ExpectedObjectCommaOrEnd);
      cursor_.advance();
      if (members >= kMapKeys) {
        // One member more than a map needs: the description calls it one.
        auto rest = skip_members();
        if (!rest.ok()) return rest;
        closed = true;
        break;
      }
      if (text_.size() > kTextBudget) {
        stopped_ = true;
        break;
      }
      text_.push_back(',');
    }
    if (!stopped_ && !closed) cursor_.advance();
    text_.push_back('}');
    return binding::ok_status();
  }

  Status array(int depth) {
    cursor_.advance();
    text_.push_back('[');
    const std::size_t mark = arrays_.size();
    ++arrays_open_;
    std::uint64_t n = 0;
    bool skipped = false;
    for (;;) {
      auto c = cursor_.peek_significant();
      if (!c.ok()) return std::move(c).error();
      if (c.value() == ']' && n == 0) {
        cursor_.advance();
        break;
      }
      const std::size_t at = pointer_.size();
      pointer_ += '/';
      pointer_ += std::to_string(n);
      auto element = value(depth + 1);
      pointer_.resize(at);
      if (!element.ok()) return element;
      ++n;
      if (stopped_) break;
      auto sep = cursor_.peek_significant();
      if (!sep.ok()) return std::move(sep).error();
      if (sep.value() == ']') {
        cursor_.advance();
        break;
      }
      if (sep.value() == -1) return cursor_.error_at_end(ErrorCode::EofWhileParsingList);
      if (sep.value() != ',') return cursor_.error_after_next(ErrorCode::ExpectedListCommaOrEnd);
      cursor_.advance();
      if (text_.size() > kTextBudget) {
        stopped_ = true;
        break;
      }
      if (n >= sample_) {
        skipped = true;
        auto rest = skip_rest(n);
        if (!rest.ok()) return rest;
        break;
      }
      text_.push_back(',');
    }
    text_.push_back(']');
    --arrays_open_;
    // Arrays inside a skipped array are its elements' business: only the
    // outer one says where the records are.
    if (skipped) arrays_.resize(mark);
    if (arrays_open_ == 0 || skipped) {
      arrays_.insert(arrays_.begin() + static_cast<std::ptrdiff_t>(mark),
                     DocumentArray{pointer_, n, skipped});
    }
    return binding::ok_status();
  }

  // Past the remaining elements (after a separator) to the closing bracket,
  // counting them, within the budget.
  Status skip_rest(std::uint64_t& n) {
    scan::ArrayScan state;
    ++n;  // the element after the separator
    for (;;) {
      auto run = cursor_.skip_elements(state, n);
      if (!run.ok()) return std::move(run).error();
      skipped_bytes_ += run.value().bytes;
      if (run.value().closed) return binding::ok_status();
      if (skipped_bytes_ > kSkipBudget) {
        stopped_ = true;
        return binding::ok_status();
      }
    }
  }

  Cursor cursor_;
  std::uint64_t sample_;
  std::string text_;
  std::string pointer_;
  std::vector<DocumentArray> arrays_;
  int arrays_open_ = 0;
  std::uint64_t skipped_bytes_ = 0;
  bool stopped_ = false;
};

// Only the top-level layer describes documents this way: bytes that are not
// UTF-8 in what was sampled fail it, as they fail load.
Result<std::string> describe_text(std::string_view sampled) {
  if (!scan::validate_utf8(sampled)) {
    return Error::runtime("read error: " + std::string(kInvalidUtf8));
  }
  json::Arena arena;
  json::ValueSink sink(&arena);
  auto parsed = json::parse_value(sampled, sink);
  if (!parsed) return Error::value("invalid JSON: " + json::describe(sampled, parsed.error));
  StructureMerger merger(kMapKeys);
  merger.add(*parsed.value);
  return json::to_pretty_string(merger.describe());
}

}  // namespace

Result<std::string> describe_document(RecordSource& source, std::uint64_t sample) {
  Sampler sampler(source, sample);
  auto walked = sampler.run();
  if (!walked.ok()) return std::move(walked).error();
  return describe_text(sampler.text());
}

Result<DocumentOutline> outline_document(RecordSource& source, std::uint64_t sample) {
  Sampler sampler(source, sample);
  auto walked = sampler.run();
  if (!walked.ok()) return std::move(walked).error();
  auto text = describe_text(sampler.text());
  if (!text.ok()) return std::move(text).error();
  return DocumentOutline{std::move(text).value(), sampler.take_arrays()};
}

}  // namespace quarn::records
