// An invariant of a fuzz target: a broken one stops the run with a finding.
#pragma once

#include <cstdio>

#define CHECK(condition)                                                                    \
    do {                                                                                    \
        if (!(condition)) {                                                                 \
            std::fprintf(stderr, "invariant broken: %s (line %d)\n", #condition, __LINE__); \
            __builtin_trap();                                                               \
        }                                                                                   \
    } while (0)
