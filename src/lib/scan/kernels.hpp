// The kernel sets behind scan.hpp and the scalar pieces the vector sets share.
//
// Each instruction set lives in its own translation unit built with its own
// target flags. Nothing compiled under wider flags may be shared with baseline
// code through an inline function or a common template instantiation (the
// linker would keep one copy, possibly the wide one), so the vector units only
// call into the baseline through the out-of-line functions declared here.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "scan/scan.hpp"

namespace quarn::scan::detail {

struct KernelSet {
  const char* name;
  void (*count_array)(const std::uint8_t* p, std::size_t n, CountState& st);
  std::size_t (*find_element_end)(const std::uint8_t* p, std::size_t n, ArrayScan& st);
  void (*count_lines)(const std::uint8_t* p, std::size_t n, LineCount& st);
  bool (*validate_utf8)(const std::uint8_t* p, std::size_t n);
  void (*summarize_array)(const std::uint8_t* p, std::size_t n, RangeSummary& st);
};

// The reference set; every other set must match it byte for byte.
extern const KernelSet kScalarKernels;
#if defined(__x86_64__)
extern const KernelSet kAvx2Kernels;
extern const KernelSet kAvx512Kernels;
#endif
#if defined(__aarch64__)
extern const KernelSet kNeonKernels;
#endif

// The set the public functions use: the fastest supported one, chosen on the
// first call, unless select_kernels has replaced it.
[[nodiscard]] const KernelSet& active_kernels();

// Makes the supported set named `name` the active one and returns the one it
// replaces, or nullptr (nothing changed) when this CPU cannot run such a set.
// For tests: every set gives the same results, so a call that switches sets
// between the blocks of one scan still gets them right.
const KernelSet* select_kernels(const char* name);

// Every set this CPU can run, the scalar one first (for differential tests).
[[nodiscard]] std::vector<const KernelSet*> supported_kernel_sets();

// Scalar array rules over a short range (a vector block that the bit tricks
// cannot handle goes through these).
void count_array_scalar(const std::uint8_t* p, std::size_t n, CountState& st);
[[nodiscard]] std::size_t find_element_end_scalar(const std::uint8_t* p, std::size_t n,
                                                  ArrayScan& st);
void summarize_array_scalar(const std::uint8_t* p, std::size_t n, RangeSummary& st);

// Records the last three bytes of a fed block in `st.tail`.
void remember_tail(LineCount& st, const std::uint8_t* p, std::size_t n);

}  // namespace quarn::scan::detail
