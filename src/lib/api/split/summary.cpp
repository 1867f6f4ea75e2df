// Range summaries of an array for every start state, and their combination.
#include "api/split/split.hpp"

#include <algorithm>

namespace quarn::api::split {
namespace {

// While start states still differ, they are scanned in short steps, so that
// the scan that has met another is dropped soon after.
constexpr std::size_t kConvergeStep = 16 << 10;

// `acc` followed by `next` (a summary from depth 0): the commas and content
// at the lowest depth are those of whichever part reaches it, or both.
void append(scan::RangeSummary& acc, const scan::RangeSummary& next) {
  const std::int64_t next_low = acc.scan.depth + next.min_depth;
  const std::int64_t low = std::min(acc.min_depth, next_low);
  std::uint64_t commas = 0;
  bool content = false;
  if (acc.min_depth == low) {
    commas += acc.commas;
    content |= acc.has_content;
  }
  if (next_low == low) {
    commas += next.commas;
    content |= next.has_content;
  }
  acc.min_depth = low;
  acc.commas = commas;
  acc.has_content = content;
  acc.scan.depth += next.scan.depth;
  acc.scan.in_string = next.scan.in_string;
  acc.scan.escaped = next.scan.escaped;
}

bool same_strings(const scan::ArrayScan& a, const scan::ArrayScan& b) {
  return a.in_string == b.in_string && a.escaped == b.escaped;
}

}  // namespace

Summarizer::Summarizer() {
  acc_[0].scan = {false, false, 0};
  acc_[1].scan = {true, false, 0};
  acc_[2].scan = {true, true, 0};
}

void Summarizer::feed(const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const bool apart =
        !same_strings(acc_[0].scan, acc_[1].scan) || !same_strings(acc_[1].scan, acc_[2].scan);
    const std::size_t step = apart ? std::min(n, kConvergeStep) : n;
    bool done[3] = {false, false, false};
    for (int i = 0; i < 3; ++i) {
      if (done[i]) continue;
      const scan::ArrayScan from{acc_[i].scan.in_string, acc_[i].scan.escaped, 0};
      scan::RangeSummary part;
      part.scan = from;
      scan::summarize_array(p, step, part);
      for (int j = i; j < 3; ++j) {
        if (done[j] || !same_strings(acc_[j].scan, from)) continue;
        append(acc_[j], part);
        done[j] = true;
      }
    }
    p += step;
    n -= step;
  }
}

}  // namespace quarn::api::split
