// Counting records without parsing: a bracket-depth scan of JSON arrays and a
// non-blank line count of JSON Lines, both over 64 KiB blocks.
#include <memory>

#include "api/bigjson/format.hpp"
#include "api/bigjson/io.hpp"
#include "api/bigjson/ops.hpp"
#include "json/text.hpp"
#include "scan/scan.hpp"

namespace quarn::api::bigjson {
namespace {

constexpr std::size_t kBlock = 1 << 16;

Result<std::uint64_t> count_json(File& file) {
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kBlock]);
  scan::CountState state;
  bool started = false;
  for (;;) {
    auto got = file.read(block.get(), kBlock);
    if (!got.ok()) return read_error(std::move(got).error());
    std::size_t n = got.value();
    if (n == 0) break;
    std::size_t i = 0;
    if (!started) {
      while (i < n && json::is_ascii_whitespace(block[i])) ++i;
      if (i == n) continue;
      // Anything but an array is one record, whatever follows.
      if (block[i] != '[') return std::uint64_t{1};
      started = true;
      ++i;
    }
    scan::count_array(block.get() + i, n - i, state);
  }
  // A file with no significant byte holds no record.
  if (!started) return std::uint64_t{0};
  return state.has_content ? state.commas + 1 : std::uint64_t{0};
}

Result<std::uint64_t> count_jsonl(File& file) {
  std::unique_ptr<std::uint8_t[]> block(new std::uint8_t[kBlock]);
  scan::LineCount state;
  for (;;) {
    auto got = file.read(block.get(), kBlock);
    if (!got.ok()) return read_error(std::move(got).error());
    if (got.value() == 0) break;
    scan::count_lines(block.get(), got.value(), state);
    if (state.invalid) break;
  }
  scan::finish_lines(state);
  if (state.invalid) return Error::runtime("read error: " + std::string(kInvalidUtf8));
  return state.lines;
}

}  // namespace

binding::Result<Ref> count(const CallArgs& args) {
  auto format = resolve_format(args.path, args.format);
  if (!format.ok()) return std::move(format).error();
  auto opened = File::open(args.path);
  if (!opened.ok()) return std::move(opened).error();
  File file = std::move(opened).value();
  auto n = format.value() == InputFormat::Json ? count_json(file) : count_jsonl(file);
  if (!n.ok()) return std::move(n).error();
  Ref result = Ref::steal(PyLong_FromUnsignedLongLong(n.value()));
  if (!result) return Error::python();
  return result;
}

}  // namespace quarn::api::bigjson
