#!/usr/bin/env bash
# Builds Tivlo and sends a sample folder from one host to three receivers,
# each host a network namespace of its own behind a bridge, so nothing leaves
# this machine. One receiver loses 3 % of the streamed Data blocks and is
# repaired. Shows the sender's progress and prints the outcome per receiver;
# always removes its hosts, mounts and processes.
#
# Run as root on a Debian machine: sudo scripts/demo.sh
# TIVLO_BUILD_DIR chooses the build folder (default: build, the default
# preset's).
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" != 0 ]; then
  echo "demo.sh: run as root (it creates network namespaces): sudo $0" >&2
  exit 1
fi

scripts/install-deps.sh
build=${TIVLO_BUILD_DIR:-build}
echo "== building Tivlo in $build"
if [ "$build" = build ]; then
  cmake --preset default >/dev/null
else
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target tivlo-send tivlo-recv -j "$(nproc)"

export TIVLO_SEND="$PWD/$build/tools/tivlo-send"
export TIVLO_RECV="$PWD/$build/tools/tivlo-recv"
export TIVLO_E2E_WORKDIR="${TIVLO_DEMO_WORKDIR:-/var/tmp/tivlo-demo}"
set +e
source scripts/lan.sh
skip() {
  echo "demo.sh: cannot run here: $*" >&2
  exit 1
}

e2e_setup
echo "== hosts: sender 10.99.0.1, receivers 10.99.0.11, .12, .13 (namespaces $E2E_PREFIX-*)"
host_add sender 1
receivers=(recv1 recv2 recv3)
n=11
for h in "${receivers[@]}"; do host_add "$h" $n; n=$((n + 1)); done
host_loss recv3 3 data

sample="$E2E_WORK/src/sample"
mkdir -p "$sample/reports/2024" "$sample/photos" "$sample/empty folder"
for i in $(seq 1 12); do seq 1 $((i * 500)) >"$sample/reports/2024/report-$i.txt"; done
printf 'Tivlo demo\n' >"$sample/README.txt"
printf 'Grüße\n' >"$sample/reports/Übersicht.txt"
: >"$sample/reports/empty.log"
for i in 1 2 3 4; do head -c $((1500 * 1000)) /dev/urandom >"$sample/photos/photo-$i.raw"; done
echo "== sample folder: $(du -sh "$sample" | cut -f1), $(find "$sample" -type f | wc -l) files"

pids=()
for h in "${receivers[@]}"; do
  host_start "$h" "$h" "$TIVLO_RECV" --once --interface "${HOST_IP[$h]}" --allow "$E2E_TARGET"
  pids+=("$E2E_LAST_PID")
done
for h in "${receivers[@]}"; do
  wait_for_line "${HOST_LOG[$h]}" '^waiting for a sender' 10 || { echo "tivlo-recv on $h did not start"; exit 1; }
  echo "   $h (${HOST_IP[$h]}): tivlo-recv waiting$([ "$h" = recv3 ] && echo ', loses 3 % of the Data blocks')"
done

echo "== tivlo-send on 10.99.0.1 to $E2E_TARGET on every receiver"
ip netns exec "${HOST_NS[sender]}" "$TIVLO_SEND" --interface 10.99.0.1 --target "$E2E_TARGET" "$sample"
send_status=$?

echo "== outcome per receiver"
all_ok=$([ $send_status = 0 ] && echo 1 || echo 0)
i=0
for h in "${receivers[@]}"; do
  wait_exit "${pids[$i]}" 30
  status=$E2E_STATUS
  i=$((i + 1))
  outcome=$(grep '^outcome: ' "${HOST_LOG[$h]}" | tail -n1)
  [ -n "$outcome" ] || outcome="no outcome (exit status $status)"
  if [ "$status" = 0 ] && verify_copy "$h" "$sample" >/dev/null; then
    check="copy verified byte for byte"
  else
    check="copy NOT verified"
    all_ok=0
  fi
  echo "   $h (${HOST_IP[$h]}): ${outcome#outcome: }; $check"
done
if [ "$all_ok" = 1 ]; then
  echo "== demo passed: every receiver holds an exact copy"
  exit 0
fi
echo "== demo failed (tivlo-send exit status $send_status)"
exit 1
