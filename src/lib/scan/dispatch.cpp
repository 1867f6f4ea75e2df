// Run-time choice of the kernel set and the public entry points.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

#include "scan/kernels.hpp"
#include "scan/scan.hpp"

namespace quarn::scan {
namespace detail {
namespace {

#if defined(__x86_64__)
// Read from cpuid itself rather than __builtin_cpu_supports, whose answer
// comes from the compiler's runtime library: some (the one zig links into
// the wheels) report no features at all, which would leave every CPU on
// the scalar kernels.
struct CpuFeatures {
  bool avx2 = false;
  bool avx512 = false;
};

CpuFeatures read_cpu() {
  CpuFeatures f;
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return f;
  const bool pclmul = (c & bit_PCLMUL) != 0, popcnt = (c & bit_POPCNT) != 0;
  // The OS must save the wide registers on a switch, as XCR0 says.
  if ((c & bit_OSXSAVE) == 0) return f;
  unsigned xcr0 = 0, xcr0_high = 0;
  __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0_high) : "c"(0));
  const bool ymm = (xcr0 & 0x6) == 0x6, zmm = (xcr0 & 0xe6) == 0xe6;
  if (__get_cpuid_max(0, nullptr) < 7) return f;
  __cpuid_count(7, 0, a, b, c, d);
  const bool leaf7_avx2 = (b & bit_AVX2) != 0, bmi = (b & bit_BMI) != 0, bmi2 = (b & bit_BMI2) != 0;
  const bool avx512 = (b & bit_AVX512F) != 0 && (b & bit_AVX512BW) != 0 &&
                      (b & bit_AVX512VL) != 0 && (b & bit_AVX512DQ) != 0;
  bool lzcnt = false;
  if (__get_cpuid(0x80000001, &a, &b, &c, &d) != 0) lzcnt = (c & bit_LZCNT) != 0;
  // The feature lists match the flags each set's file is compiled with.
  f.avx2 = ymm && leaf7_avx2 && bmi && bmi2 && lzcnt && pclmul && popcnt;
  f.avx512 = f.avx2 && zmm && avx512;
  return f;
}

const CpuFeatures& cpu() {
  static const CpuFeatures f = read_cpu();
  return f;
}

bool cpu_has_avx2() {
  return cpu().avx2;
}

bool cpu_has_avx512() {
  return cpu().avx512;
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
