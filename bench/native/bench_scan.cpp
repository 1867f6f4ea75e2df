// Throughput of every kernel set this CPU runs, on about 1 GiB of compact
// statuses from twitter.json held in memory: one per line for count_lines and
// validate_utf8, then the same bytes as one array for count_array and
// find_element_end. Blocks of 65,536 bytes, as `count` and the reader use.
//
// Build and run from the repository root:
//   F="-std=c++20 -O3 -I src/lib" X="-mbmi -mbmi2 -mlzcnt -mpclmul"
//   g++ $F $X -mavx2 -c src/lib/scan/scan_avx2.cpp -o /tmp/scan_avx2.o &&
//   g++ $F $X -mavx512f -mavx512bw -mavx512vl -mavx512dq -c src/lib/scan/scan_avx512.cpp
//     -o /tmp/scan_avx512.o &&
//   g++ $F src/lib/scan/scan_scalar.cpp src/lib/scan/dispatch.cpp /tmp/scan_avx2.o
//     /tmp/scan_avx512.o bench/native/bench_scan.cpp -o /tmp/bench_scan &&
//   /tmp/bench_scan [path/to/twitter.json] [MiB]
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "scan/kernels.hpp"
#include "scan/scan.hpp"

using quarn::scan::detail::KernelSet;

namespace {

constexpr std::size_t kBlock = 65536;

// The statuses of the document, whitespace outside strings removed.
std::vector<std::string> compact_statuses(const std::string& doc) {
  std::vector<std::string> out;
  const std::size_t key = doc.find("\"statuses\"");
  if (key == std::string::npos) return out;
  std::size_t pos = doc.find('[', key) + 1;
  const auto* p = reinterpret_cast<const std::uint8_t*>(doc.data());
  quarn::scan::ArrayScan st;
  while (pos < doc.size()) {
    const std::size_t len =
        quarn::scan::detail::kScalarKernels.find_element_end(p + pos, doc.size() - pos, st);
    std::string compact;
    bool in_string = false;
    bool escaped = false;
    for (std::size_t i = pos; i < pos + len; ++i) {
      const char c = doc[i];
      if (in_string) {
        in_string = escaped || c != '"';
        escaped = !escaped && c == '\\';
      } else if (c == ' ' || c == '\n' || c == '\t' || c == '\r') {
        continue;
      } else {
        in_string = c == '"';
      }
      compact += c;
    }
    if (!compact.empty()) out.push_back(compact);
    pos += len + 1;
    if (pos > doc.size() || doc[pos - 1] == ']') break;
  }
  return out;
}

struct Timing {
  double wall = 1e30;
  double cpu = 1e30;
};

double thread_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Best of three. CPU time is shown beside wall time because the machine may be
// shared: it leaves out the time other processes held the core.
template <class F>
Timing best_of_three(F&& run) {
  Timing best;
  for (int i = 0; i < 3; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    const double c0 = thread_seconds();
    run();
    const double cpu = thread_seconds() - c0;
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - t0;
    if (wall.count() < best.wall) best.wall = wall.count();
    if (cpu < best.cpu) best.cpu = cpu;
  }
  return best;
}

void report(const char* kernels, const char* what, std::size_t bytes, Timing t,
            std::uint64_t result, std::uint64_t want) {
  std::printf("%-7s %-17s %6.2f GB/s wall %6.2f GB/s cpu  %s\n", kernels, what,
              static_cast<double>(bytes) / t.wall / 1e9, static_cast<double>(bytes) / t.cpu / 1e9,
              result == want ? "ok" : "WRONG RESULT");
}

}  // namespace

int main(int argc, char** argv) {
  const char* path = argc > 1 ? argv[1] : "/work/shared/data/bench/twitter.json";
  const std::size_t target = (argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1024) << 20;
  std::ifstream in(path, std::ios::binary);
  const std::string doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::vector<std::string> statuses = compact_statuses(doc);
  if (statuses.empty()) {
    std::fprintf(stderr, "no statuses in %s\n", path);
    return 1;
  }
  // A leading space keeps byte 0 free for the array's '['.
  std::string buf = " ";
  buf.reserve(target + 16384);
  std::uint64_t records = 0;
  while (buf.size() < target) {
    buf += statuses[records++ % statuses.size()];
    buf += '\n';
  }
  const auto* p = reinterpret_cast<const std::uint8_t*>(buf.data());
  const std::size_t n = buf.size();
  std::printf("%zu bytes, %llu records, active set %s\n", n,
              static_cast<unsigned long long>(records), quarn::scan::kernel_name());

  // What a newline count costs with the C library's memchr: the floor that
  // `wc -l` also sits on.
  std::uint64_t newlines = 0;
  const Timing base = best_of_three([&] {
    newlines = 0;
    for (const char* q = buf.data();
         (q = static_cast<const char*>(std::memchr(q, '\n', buf.data() + n - q))) != nullptr; ++q) {
      ++newlines;
    }
  });
  report("libc", "memchr newlines", n, base, newlines, records);

  const auto sets = quarn::scan::detail::supported_kernel_sets();
  for (const KernelSet* k : sets) {
    std::uint64_t lines = 0;
    const Timing t = best_of_three([&] {
      quarn::scan::LineCount st;
      for (std::size_t i = 0; i < n; i += kBlock)
        k->count_lines(p + i, std::min(kBlock, n - i), st);
      quarn::scan::finish_lines(st);
      lines = st.invalid ? ~0ull : st.lines;
    });
    report(k->name, "count_lines", n, t, lines, records);
    bool valid = false;
    const Timing v = best_of_three([&] { valid = k->validate_utf8(p, n); });
    report(k->name, "validate_utf8", n, v, valid, 1);
  }

  buf[0] = '[';
  for (std::size_t i = 1; i < n; ++i) {
    if (buf[i] == '\n') buf[i] = ',';
  }
  buf[n - 1] = ']';
  for (const KernelSet* k : sets) {
    std::uint64_t count = 0;
    const Timing t = best_of_three([&] {
      quarn::scan::CountState st;
      for (std::size_t i = 1; i < n; i += kBlock)
        k->count_array(p + i, std::min(kBlock, n - i), st);
      count = st.has_content ? st.commas + 1 : 0;
    });
    report(k->name, "count_array", n, t, count, records);
    std::uint64_t elements = 0;
    const Timing f = best_of_three([&] {
      // As the reader does: resume after each separator, refill at block ends.
      quarn::scan::ArrayScan st;
      elements = 0;
      for (std::size_t block = 0; block < n; block += kBlock) {
        const std::size_t end = std::min(block + kBlock, n);
        std::size_t pos = block == 0 ? 1 : block;
        while (pos < end) {
          pos += k->find_element_end(p + pos, end - pos, st);
          if (pos == end) break;
          ++elements;
          ++pos;
        }
      }
    });
    report(k->name, "find_element_end", n, f, elements, records);
  }
  return 0;
}
