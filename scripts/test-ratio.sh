#!/usr/bin/env bash
# Lines of test code against lines of code: tests/ against src/, include/
# and tools/ (C and C++ sources, headers, shell scripts and CMake files).
set -euo pipefail
cd "$(dirname "$0")/.."
count() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' -o -name '*.sh' -o -name CMakeLists.txt \) \
    -print0 | xargs -0 cat | wc -l
}
tests=$(count tests)
code=$(count src include tools)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "tests %d, code %d: %.0f %% of the code\n", t, c, 100 * t / c }'
