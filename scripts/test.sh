#!/usr/bin/env bash
# Builds Tivlo and runs every test suite:
#   1. the plain build: the cores' unit and simulator suites (thousands of
#      seeded random runs), the protocol, platform, loopback, attack and
#      fuzz-replay suites, and, as root, the end-to-end scenarios on
#      network-namespace hosts and the Debian package in a clean root;
#   2. the same code under the address and undefined-behaviour sanitizers;
#   3. the threaded suites (engines' shells, platform) under the thread
#      sanitizer;
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

suite() {  # preset, ctest label exclusions for the slow part
  local preset=$1 exclude=$2
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$TIVLO_JOBS"
  echo "== $preset: fast suite (cores, simulator, protocol), in parallel"
  ctest --preset "$preset" -L fast -j "$TIVLO_JOBS"
  echo "== $preset: the rest, one at a time (real sockets on fixed ports, namespaces)"
  ctest --preset "$preset" -LE "fast${exclude:+|$exclude}"
}

scripts/install-deps.sh

step default suite default ""
step asan suite asan "e2e|install|package"
step tsan scripts/tsan.sh
step fuzz scripts/fuzz.sh
if [ "$(id -u)" = 0 ]; then
  step windows env TIVLO_NATIVE_BUILD=build scripts/windows-test.sh
else
  echo "== windows: skipped (needs root for its packages and its namespace)"
fi

echo "== all suites passed in $((SECONDS - started)) s: ${timings[*]/%/;}"
