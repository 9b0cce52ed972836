#pragma once

// An invariant of a fuzz target: when it does not hold, the input is
// reported as a crash with the condition that failed.

#include <cstdio>
#include <cstdlib>

#define KX7_FUZZ_CHECK(condition)                                                            \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)
