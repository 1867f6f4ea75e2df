#include "records/detect.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

#include "json/text.hpp"
#include "scan/scan.hpp"

namespace quarn::records {

using io::kDetectLimit;

namespace {

// What the bytes seen so far show.
enum class Verdict : unsigned char {
  Pending,    // more bytes are needed
  Json,       // one value, spanning lines, or followed on its own line
  Lines,      // a second value on a later line
  Ambiguous,  // one value on one line and the end, or the limit reached
  Nothing,    // no value at all
};

// Walks the first value and what follows it, across reads. Strings are
// tracked so that brackets and line feeds inside them do not count; a raw
// line feed inside a string is invalid JSON either way.
class Classifier {
 public:
  Verdict feed(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
      const std::size_t len = std::min(kChunk, n - i);
      if (len == kChunk && pass_over(p + i)) {
        i += len;
        continue;
      }
      if (Verdict v = walk(p + i, len); v != Verdict::Pending) return v;
      i += len;
    }
    return Verdict::Pending;
  }

  // The verdict when the data ends here.
  [[nodiscard]] Verdict at_end() const {
    return stage_ == Stage::Lead ? Verdict::Nothing : Verdict::Ambiguous;
  }

 private:
  // Inside a container, most chunks neither hold a line feed nor close it:
  // such a chunk is passed over by the block scanner (the same string and
  // bracket rules, many bytes at a time), and only the chunk where something
  // happens is walked byte by byte. A minified document of megabytes is
  // common, and it has to be walked to its end to be told from a line.
  static constexpr std::size_t kChunk = 2048;

  bool pass_over(const std::uint8_t* p) {
    if (stage_ != Stage::Value || scalar_ || scalar_string_) return false;
    if (std::memchr(p, '\n', kChunk) != nullptr) return false;
    // Counted as inside an array around the value (one level deeper), the
    // value has closed in the chunk exactly when the chunk ends at depth 1 or
    // less, or holds a comma or a value byte at depth 1: getting back above
    // it takes an opening bracket there.
    scan::CountState state;
    state.scan = scan::ArrayScan{in_string_, escaped_, depth_ + 1};
    scan::count_array(p, kChunk, state);
    if (state.scan.depth <= 1 || state.commas > 0 || state.has_content) return false;
    in_string_ = state.scan.in_string;
    escaped_ = state.scan.escaped;
    depth_ = state.scan.depth - 1;
    return true;
  }

  Verdict walk(const std::uint8_t* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t c = p[i];
      switch (stage_) {
        case Stage::Lead:
          if (json::is_ascii_whitespace(c)) break;
          stage_ = Stage::Value;
          if (c == '[' || c == '{') {
            depth_ = 1;
          } else if (c == '"') {
            in_string_ = true;
            scalar_string_ = true;
          } else {
            scalar_ = true;
          }
          break;
        case Stage::Value:
          if (scalar_) {
            if (json::is_ascii_whitespace(c)) {
              stage_ = Stage::After;
              newline_ = c == '\n';
            }
            break;
          }
          if (c == '\n') return Verdict::Json;  // a value over lines is no JSON Lines record
          if (in_string_) {
            if (escaped_) {
              escaped_ = false;
            } else if (c == '\\') {
              escaped_ = true;
            } else if (c == '"') {
              in_string_ = false;
              if (scalar_string_) stage_ = Stage::After;
            }
            break;
          }
          if (c == '"') {
            in_string_ = true;
          } else if (c == '[' || c == '{') {
            ++depth_;
          } else if ((c == ']' || c == '}') && --depth_ == 0) {
            stage_ = Stage::After;
          }
          break;
        case Stage::After:
          if (c == '\n') {
            newline_ = true;
          } else if (!json::is_ascii_whitespace(c)) {
            return newline_ ? Verdict::Lines : Verdict::Json;
          }
          break;
      }
    }
    return Verdict::Pending;
  }

  enum class Stage : unsigned char { Lead, Value, After };
  Stage stage_ = Stage::Lead;
  std::int64_t depth_ = 0;
  bool in_string_ = false;
  bool escaped_ = false;
  bool scalar_ = false;         // a number, literal or anything else up to whitespace
  bool scalar_string_ = false;  // a string is the whole value
  bool newline_ = false;
};

constexpr std::uint8_t kBom[3] = {0xEF, 0xBB, 0xBF};

}  // namespace

Result<InputFormat> detect_content(LookAheadSource& source, std::optional<InputFormat> by_name) {
  Classifier classifier;
  std::size_t fed = 0;
  bool started = false;  // past a byte-order mark, or sure there is none
  bool more = !source.ended();
  Verdict verdict = Verdict::Pending;
  // What was read ahead already is looked at first, and a file of known
  // size ends at that size: a small file read whole shows its format
  // without another read.
  for (;;) {
    const std::span<const std::uint8_t> ahead = source.ahead();
    const bool all_in = !more || (source.sized() && ahead.size() >= source.size());
    // A byte-order mark at the very start is no part of the data; a pipe
    // may hand out fewer than its three bytes at a time.
    if (!started && (all_in || ahead.size() >= sizeof kBom)) {
      started = true;
      if (ahead.size() >= sizeof kBom && std::memcmp(ahead.data(), kBom, sizeof kBom) == 0) {
        fed = sizeof kBom;
      }
    }
    if (started) {
      const std::size_t upto = std::min(ahead.size(), kDetectLimit);
      if (upto > fed) verdict = classifier.feed(ahead.data() + fed, upto - fed);
      fed = std::max(fed, upto);
      if (verdict != Verdict::Pending) break;
      if (fed >= kDetectLimit) {
        verdict = Verdict::Ambiguous;
        break;
      }
    }
    if (all_in) {
      verdict = classifier.at_end();
      break;
    }
    auto got = source.read_ahead();
    if (got.ok()) {
      more = got.value();
    } else if (got.error().kind == binding::ErrorKind::CompressedData) {
      // Damaged data is told from what came before it, which is handed
      // out before the error comes again.
      more = false;
    } else {
      return std::move(got).error();
    }
  }
  switch (verdict) {
    case Verdict::Json:
      return InputFormat::Json;
    case Verdict::Lines:
      return InputFormat::Jsonl;
    case Verdict::Nothing:
      return by_name.value_or(InputFormat::Jsonl);
    case Verdict::Ambiguous:
    case Verdict::Pending:
      break;
  }
  return by_name.value_or(InputFormat::Json);
}

Result<RecordSource> open_by_content(std::unique_ptr<LookAheadSource> ahead,
                                     std::optional<InputFormat> format,
                                     std::optional<InputFormat> by_name) {
  if (!format) {
    auto detected = detect_content(*ahead, by_name);
    if (!detected.ok()) return std::move(detected).error();
    format = detected.value();
  }
  RecordSource source(std::move(ahead));
  source.begin(*format);
  return source;
}

}  // namespace quarn::records
