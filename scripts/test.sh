#!/usr/bin/env bash
# Builds Tivlo and runs every test suite: the plain build (unit, loopback and,
# as root, namespace end-to-end tests), then the same code under the address
# and undefined-behaviour sanitizers.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=${TIVLO_JOBS:-$(nproc)}

scripts/install-deps.sh

run_suite() {  # preset, extra ctest arguments...
  local preset=$1; shift
  echo "== $preset: configure and build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  echo "== $preset: test"
  ctest --preset "$preset" "$@"
}

run_suite default
run_suite asan -LE e2e
echo "== all suites passed"
