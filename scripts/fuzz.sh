#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (address and undefined-behaviour
# sanitizers) and runs each for a bounded time, starting from the seed
# corpora kept in the repository. Fails on any finding; the reproducer is
# copied to tests/fuzz/regressions/<target>/, which the normal test suites
# replay (fuzz_replay_<target>).
#
#   TIVLO_FUZZ_SECONDS  seconds per target (default 30)
#   TIVLO_FUZZ_TARGETS  targets to run (default: names receiver sender)
#   TIVLO_JOBS          build jobs (default 2)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${TIVLO_FUZZ_SECONDS:-30}
targets=${TIVLO_FUZZ_TARGETS:-names receiver sender}
jobs=${TIVLO_JOBS:-2}
build=build-fuzz

if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found (scripts/install-deps.sh installs it)" >&2
  exit 1
fi
runtime=$(clang++ -print-file-name=libclang_rt.fuzzer-x86_64.a 2>/dev/null || true)
if [ ! -e "$runtime" ] && ! ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1; then
  echo "fuzz: the libFuzzer runtime is missing (libclang-rt-dev)" >&2
  exit 1
fi

echo "== fuzz: configure and build ($build)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
  -DCMAKE_CXX_COMPILER=clang++ -DTIVLO_FUZZ=ON >/dev/null
build_targets=()
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j "$jobs" --target "${build_targets[@]}"

declare -A max_len=([names]=600 [receiver]=65536 [sender]=4096)
failed=()
for t in $targets; do
  seed=tests/fuzz/corpus/$t
  work="$build/corpus/$t"
  findings="$build/findings/$t"
  # Git keeps no empty folder: a target without reproducers has none yet.
  mkdir -p "$work" "$findings" "tests/fuzz/regressions/$t"
  rm -f "$findings"/*
  echo "== fuzz_$t: $seconds s"
  # Findings are written as files; the working corpus grows between runs
  # and the seeds and earlier reproducers are read as well.
  if ! ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      "$build/tests/fuzz/fuzz_$t" "$work" "$seed" "tests/fuzz/regressions/$t" \
      -max_total_time="$seconds" -max_len="${max_len[$t]}" -timeout=20 -rss_limit_mb=2048 \
      -artifact_prefix="$findings/" -print_final_stats=1 2>"$build/fuzz_$t.log"; then
    tail -n 40 "$build/fuzz_$t.log" >&2
    for f in "$findings"/*; do
      [ -e "$f" ] || continue
      cp "$f" "tests/fuzz/regressions/$t/$(basename "$f")"
      echo "fuzz_$t: reproducer kept as tests/fuzz/regressions/$t/$(basename "$f")" >&2
    done
    failed+=("$t")
  else
    grep -E "stat::number_of_executed_units|cov:" "$build/fuzz_$t.log" | tail -n 2
  fi
done
if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzz: findings in: ${failed[*]}" >&2
  exit 1
fi
echo "== fuzz: no finding"
