#!/usr/bin/env bash
# Builds Tivlo and runs every test suite:
#   1. the plain build: unit, loopback, hostile-peer and fuzz-replay suites,
#      and, as root, the end-to-end scenarios on network-namespace hosts;
#   2. the same code under the address and undefined-behaviour sanitizers;
#   3. the engines' suites under the thread sanitizer;
#   4. the fuzz targets, each for a bounded time (needs clang);
#   5. the Windows build, cross-built and tested under Wine (needs root).
# TIVLO_SKIP="fuzz windows ..." leaves steps out (names: default asan tsan
# fuzz windows).
set -euo pipefail
cd "$(dirname "$0")/.."

export TIVLO_JOBS=${TIVLO_JOBS:-$(nproc)}
skip=" ${TIVLO_SKIP:-} "
started=$SECONDS
declare -a timings=()

step() {  # name command...
  local name=$1; shift
  if [[ $skip == *" $name "* ]]; then
    echo "== $name: skipped (TIVLO_SKIP)"
    return
  fi
  local t0=$SECONDS
  "$@"
  timings+=("$name $((SECONDS - t0)) s")
}

suite() {  # preset, ctest arguments...
  local preset=$1; shift
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$TIVLO_JOBS"
  echo "== $preset: test"
  # One test at a time: several cases measure the protocol's pauses, and a
  # second process on two cores disturbs them more than it saves.
  ctest --preset "$preset" "$@"
}

scripts/install-deps.sh

step default suite default
step asan suite asan -LE 'e2e|install'
step tsan scripts/tsan.sh
step fuzz scripts/fuzz.sh
if [ "$(id -u)" = 0 ]; then
  step windows env TIVLO_NATIVE_BUILD=build scripts/windows-test.sh
else
  echo "== windows: skipped (needs root for its packages and its namespace)"
fi

echo "== all suites passed in $((SECONDS - started)) s: ${timings[*]/%/;}"
