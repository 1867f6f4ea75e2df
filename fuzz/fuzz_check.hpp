// The check of the fuzz targets: a failed condition is reported and traps, so
// libFuzzer records the input as a crash.
#pragma once

#include <cstdio>

#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      __builtin_trap();                                                             \
    }                                                                               \
  } while (0)
