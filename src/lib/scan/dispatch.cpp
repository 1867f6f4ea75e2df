// Run-time choice of the kernel set and the public entry points.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "scan/kernels.hpp"
#include "scan/scan.hpp"

namespace quarn::scan {
namespace detail {
namespace {

#if defined(__x86_64__)
// The feature lists match the flags each set's file is compiled with;
// __builtin_cpu_supports also checks that the OS saves the wide registers.
bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("lzcnt") &&
         __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("popcnt");
}

bool cpu_has_avx512() {
  return cpu_has_avx2() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq");
}
#endif

const KernelSet& choose() {
#if defined(__x86_64__)
  if (cpu_has_avx512()) return kAvx512Kernels;
  if (cpu_has_avx2()) return kAvx2Kernels;
#endif
#if defined(__aarch64__)
  return kNeonKernels;  // NEON is part of the aarch64 baseline
#else
  return kScalarKernels;
#endif
}

std::atomic<const KernelSet*>& active_slot() {
  static std::atomic<const KernelSet*> slot{&choose()};
  return slot;
}

}  // namespace

const KernelSet& active_kernels() {
  return *active_slot().load(std::memory_order_acquire);
}

const KernelSet* select_kernels(const char* name) {
  for (const KernelSet* k : supported_kernel_sets()) {
    if (std::strcmp(k->name, name) == 0)
      return active_slot().exchange(k, std::memory_order_acq_rel);
  }
  return nullptr;
}

std::vector<const KernelSet*> supported_kernel_sets() {
  std::vector<const KernelSet*> sets{&kScalarKernels};
#if defined(__x86_64__)
  if (cpu_has_avx2()) sets.push_back(&kAvx2Kernels);
  if (cpu_has_avx512()) sets.push_back(&kAvx512Kernels);
#endif
#if defined(__aarch64__)
  sets.push_back(&kNeonKernels);
#endif
  return sets;
}

}  // namespace detail

void count_array(const std::uint8_t* p, std::size_t n, CountState& st) {
  detail::active_kernels().count_array(p, n, st);
}

std::size_t find_element_end(const std::uint8_t* p, std::size_t n, ArrayScan& st) {
  return detail::active_kernels().find_element_end(p, n, st);
}

void count_lines(const std::uint8_t* p, std::size_t n, LineCount& st) {
  detail::active_kernels().count_lines(p, n, st);
}

bool validate_utf8(const std::uint8_t* p, std::size_t n) {
  return detail::active_kernels().validate_utf8(p, n);
}

void summarize_array(const std::uint8_t* p, std::size_t n, RangeSummary& st) {
  detail::active_kernels().summarize_array(p, n, st);
}

const char* kernel_name() {
  return detail::active_kernels().name;
}

}  // namespace quarn::scan
