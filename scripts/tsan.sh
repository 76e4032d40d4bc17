#!/usr/bin/env bash
# Builds the suites that run threads under the thread sanitizer (preset
# tsan, build-tsan) and runs them: the engines' shells around their cores (a
# real sender and a real receiver on loopback, with losses and attacks) and
# the platform layer (sockets, events, host windows). Any report fails the
# run.
#
#   TIVLO_JOBS  build and test jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${TIVLO_JOBS:-2}
programs=(test_loopback test_platform)

echo "== tsan: configure and build"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs" --target "${programs[@]}"

# The CTest cases of these programs: their gtest suite names.
suites=()
for p in "${programs[@]}"; do
  bin=$(find build-tsan/tests -type f -name "$p" -perm -u+x | head -n 1)
  while read -r suite; do suites+=("${suite%.}"); done < <("$bin" --gtest_list_tests | grep -v '^ ')
done
regex="^($(IFS='|'; echo "${suites[*]}"))\\."

echo "== tsan: test"
# A report makes the program exit non-zero (exitcode), and the case fails.
export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
ctest --test-dir build-tsan -R "$regex" -j "$jobs" --output-on-failure --timeout 180
echo "== tsan: no report"
