#!/usr/bin/env bash
# Throughput of Tivlo against its peers on namespace hosts: one sender and
# three receivers (or --receivers N) behind a bridge (scripts/lan.sh), a
# fixed dataset (one 64 MiB file and 200 files of 64 KiB in nested
# directories, the same bytes every run), at the fixed pace and at set rates,
# with 0 % and 2 % random loss of multicast datagrams on each receiver. Every
# tool is timed alike: its sender process from start to exit. Every copy is
# checked byte for byte. UDPcast and UFTP run on the same hosts and dataset
# when installed (Debian packages udpcast, uftp); the ceiling of the topology
# comes from iperf (UDP multicast) and dd (the receivers' disk).
#
# Not part of CI (minutes long). Run by hand, as root, from a build dir:
#
#   cmake --build build-speed --target tivlo-send tivlo-recv
#   TIVLO_SEND=build-speed/tools/tivlo-send TIVLO_RECV=build-speed/tools/tivlo-recv \
#     bench/namespace/run.sh [--skip-default] [--rates "100M 300M 600M 1G"] \
#                            [--losses "0 2"] [--repeat N] [--no-peers] [--no-ceiling]
#                            [--receivers N]
#
# --skip-default leaves out the fixed pace (about 95 s per loss rate).
# Everything happens inside namespaces the run creates and removes; nothing
# is sent on the machine's own interfaces.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/../../scripts/lan.sh"

RATES="100M 300M 600M 1G"
LOSSES="0 2"
NRECEIVERS=3
REPEAT=1
SKIP_DEFAULT=0
PEERS=1
CEILING=1
while [ $# -gt 0 ]; do
  case $1 in
    --skip-default) SKIP_DEFAULT=1 ;;
    --rates) RATES=$2; shift ;;
    --losses) LOSSES=$2; shift ;;
    --repeat) REPEAT=$2; shift ;;
    --no-peers) PEERS=0 ;;
    --no-ceiling) CEILING=0 ;;
    --receivers) NRECEIVERS=$2; shift ;;
    -h|--help) sed -n '2,22p' "$0"; exit 0 ;;
    *) echo "unknown option $1" >&2; exit 2 ;;
  esac
  shift
done
TIVLO_SEND=$(readlink -f "${TIVLO_SEND:-}")
TIVLO_RECV=$(readlink -f "${TIVLO_RECV:-}")
export TIVLO_SEND TIVLO_RECV

RECEIVERS=()
SRC="$E2E_WORK/src"
DATA="$SRC/dataset"
RESULTS="$E2E_WORK/results.txt"
: "${DATASET_BYTES:=0}"

# The dataset: a 64 MiB file and 200 files of 64 KiB in 10 x 4 nested
# directories, pseudo-random bytes from a fixed seed.
make_dataset() {
  python3 - "$DATA" <<'EOF'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20240610)
os.makedirs(root, exist_ok=True)
with open(os.path.join(root, "big.bin"), "wb") as f:
    for _ in range(64):
        f.write(rng.randbytes(1 << 20))
n = 0
for d in range(10):
    for e in range(4):
        sub = os.path.join(root, "tree", "d%02d" % d, "e%d" % e)
        os.makedirs(sub, exist_ok=True)
        for k in range(5):
            with open(os.path.join(sub, "f%03d.bin" % n), "wb") as f:
                f.write(rng.randbytes(64 << 10))
            n += 1
EOF
  DATASET_BYTES=$(find "$DATA" -type f -printf '%s\n' | awk '{s += $1} END {print s}')
}

clear_receivers() {
  local h
  for h in "${RECEIVERS[@]}"; do
    rm -rf "${HOST_DIR[$h]:?}"/* "${HOST_DIR[$h]:?}"/.[!.]* 2>/dev/null
  done
  sync
}

set_loss() {
  local percent=$1 h
  for h in "${RECEIVERS[@]}"; do
    ip netns exec "${HOST_NS[$h]}" nft delete table inet tivlo_loss 2>/dev/null
    [ "$percent" -gt 0 ] && host_loss "$h" "$percent"
  done
}

# timed LABEL: the /usr/bin/time prefix that writes "wall,user,sys,maxrss_kb"
# to $E2E_WORK/time-LABEL.
timed() { echo /usr/bin/time -o "$E2E_WORK/time-$1" -f "%e,%U,%S,%M"; }
cpu_of() { awk -F, 'END {printf "%.2f", $2 + $3}' "$E2E_WORK/time-$1" 2>/dev/null; }
rss_of() { awk -F, 'END {print $4}' "$E2E_WORK/time-$1" 2>/dev/null; }
wall_of() { awk -F, 'END {print $1}' "$E2E_WORK/time-$1" 2>/dev/null; }

# Sums and maxima over the receivers' time files.
receiver_cpu() {
  local tool=$1 h total=0
  for h in "${RECEIVERS[@]}"; do total=$(awk -v a="$total" -v b="$(cpu_of "$tool-$h")" 'BEGIN {print a + b}'); done
  awk -v t="$total" -v n=${#RECEIVERS[@]} 'BEGIN {printf "%.2f", t / n}'
}
receiver_rss_mib() {
  local tool=$1 h max=0 r
  for h in "${RECEIVERS[@]}"; do
    r=$(rss_of "$tool-$h"); r=${r:-0}
    [ "$r" -gt "$max" ] && max=$r
  done
  awk -v k="$max" 'BEGIN {printf "%.1f", k / 1024}'
}

verify_all() {
  local h ok=yes
  for h in "${RECEIVERS[@]}"; do
    verify_copy "$h" "$DATA" >"$E2E_WORK/verify-$h.txt" 2>&1 || { ok=no; cat "$E2E_WORK/verify-$h.txt"; }
  done
  echo $ok
}

# row TOOL RATE LOSS SECONDS REPAIRED SENDER_CPU RECEIVER_CPU RECEIVER_MIB OK [NOTE]
row() {
  local mbps
  mbps=$(awk -v b="$DATASET_BYTES" -v s="$4" 'BEGIN {if (s > 0) printf "%.2f", b / s / 1e6; else print "-"}')
  printf '%-8s %-8s %4s%% %8s %8s %9s %8s %8s %9s %-4s %s\n' "$1" "$2" "$3" "$4" "$mbps" "$5" "$6" "$7" "$8" "$9" "${10:-}" |
    tee -a "$RESULTS"
}

header() {
  printf '%-8s %-8s %5s %8s %8s %9s %8s %8s %9s %-4s %s\n' tool rate loss seconds MB/s repaired snd-cpu rcv-cpu rcv-MiB ok note
}

# ---- Tivlo ----

# The receivers' UDP receive-buffer drops and failed reassemblies, summed.
loss_counters() {
  local h d=0 r=0 v
  for h in "${RECEIVERS[@]}"; do
    v=$(ip netns exec "${HOST_NS[$h]}" nstat -az UdpRcvbufErrors IpReasmFails 2>/dev/null)
    d=$((d + $(awk '/UdpRcvbufErrors/ {print $2}' <<<"$v" | head -n1)))
    r=$((r + $(awk '/IpReasmFails/ {print $2}' <<<"$v" | head -n1)))
  done
  echo "$d $r"
}

tivlo_run() {
  local rate=$1 loss=$2 h drops0 reasm0 drops reasm
  clear_receivers
  set_loss "$loss"
  read -r drops0 reasm0 < <(loss_counters)
  # PERF_DIR=DIR: the sender and the first receiver run under perf record.
  local perf_s=() perf_r=()
  if [ -n "${PERF_DIR:-}" ]; then
    perf_s=(perf record -F 2999 -g -o "$PERF_DIR/perf-send-$rate-$loss.data" --)
    perf_r=(perf record -F 2999 -g -o "$PERF_DIR/perf-recv-$rate-$loss.data" --)
  fi
  for h in "${RECEIVERS[@]}"; do
    local wrap=()
    [ "$h" = r1 ] && wrap=("${perf_r[@]}")
    host_start "$h" "tivlo-$h" $(timed "tivlo-$h") "${wrap[@]}" "$TIVLO_RECV" --once --allow "$E2E_TARGET" --interface "${HOST_IP[$h]}"
    PID[$h]=$E2E_LAST_PID
  done
  for h in "${RECEIVERS[@]}"; do
    wait_for_line "${HOST_LOG[$h]}" '^waiting for a sender' 10 || fail "tivlo-recv on $h did not start"
  done
  local rateopt=() expect
  [ "$rate" != default ] && rateopt=(--rate "$rate")
  # Like UFTP's -H, the sender is told its receivers: it starts once they
  # have joined.
  expect=$(for h in "${RECEIVERS[@]}"; do printf '%s,' "${HOST_IP[$h]}"; done)
  host_start s tivlo-s $(timed tivlo-s) "${perf_s[@]}" "$TIVLO_SEND" --verbose --interface "${HOST_IP[s]}" \
    --expect "${expect%,}" --target "$E2E_TARGET" "${rateopt[@]}" "$DATA"
  local spid=$E2E_LAST_PID
  wait_exit "$spid" 600
  local sstatus=$E2E_STATUS
  for h in "${RECEIVERS[@]}"; do wait_exit "${PID[$h]}" 60; done
  local log="${HOST_LOG[s]}"
  # "summary: 3 receivers, 3 completed, 0 failed; 80.2 MB in 2.9 s (27.40 MB/s), 12 repair blocks"
  # Like every peer, timed as the sender process from start to exit; its
  # own stream time (the "Time = ms" log line) beside it.
  local repaired seconds stream note=""
  repaired=$(sed -n 's/^summary:.* \([0-9]*\) repair block.*/\1/p' "$log" | tail -n1)
  stream=$(sed -n 's/^Time = \([0-9]*\)$/\1/p' "$log" | tail -n1)
  seconds=$(wall_of tivlo-s)
  [ -n "$stream" ] && note="sender process wall time; stream and Finish $(awk -v t="$stream" 'BEGIN {printf "%.2f", t / 1000}') s"
  # Where receivers lost datagrams besides the loss rule: their sockets'
  # buffers, and reassembly of the fragments (a block is 4 of them).
  read -r drops reasm < <(loss_counters)
  note="$note; socket drops $((drops - drops0)), reassembly failures $((reasm - reasm0))"
  local ok
  ok=$(verify_all)
  [ "$sstatus" = 0 ] || { ok=no; note="$note; tivlo-send exit $sstatus"; tail -n 5 "$log"; }
  row tivlo "$rate" "$loss" "$seconds" "${repaired:--}" "$(cpu_of tivlo-s)" "$(receiver_cpu tivlo)" \
    "$(receiver_rss_mib tivlo)" "$ok" "$note"
}

# ---- UDPcast: the dataset as a tar stream ----

udpcast_run() {
  local loss=$1 h
  clear_receivers
  set_loss "$loss"
  for h in "${RECEIVERS[@]}"; do
    host_start "$h" "udpcast-$h" $(timed "udpcast-$h") sh -c \
      "udp-receiver --interface eth0 --nokbd --portbase 9000 --mcast-rdv-address 239.255.99.1 2>\"$E2E_WORK/logs/udp-receiver-$h.log\" | tar -xf - -C \"$E2E_TARGET\""
    PID[$h]=$E2E_LAST_PID
  done
  sleep 1
  host_start s udpcast-s $(timed udpcast-s) sh -c \
    "tar -C \"$SRC\" -cf - dataset | udp-sender --interface eth0 --nokbd --min-receivers ${#RECEIVERS[@]} --portbase 9000 --mcast-rdv-address 239.255.99.1"
  local spid=$E2E_LAST_PID
  wait_exit "$spid" 180
  local sstatus=$E2E_STATUS
  for h in "${RECEIVERS[@]}"; do wait_exit "${PID[$h]}" 30; done
  local ok
  ok=$(verify_all)
  [ "$sstatus" = 0 ] || ok=no
  row udpcast "auto" "$loss" "$(wall_of udpcast-s)" "-" "$(cpu_of udpcast-s)" "$(receiver_cpu udpcast)" \
    "$(receiver_rss_mib udpcast)" "$ok" "sender process wall time, tar included"
}

# ---- UFTP: closed group of the receivers (UIDs are their addresses) ----

uftp_run() {
  local loss=$1 rate=$2 h
  clear_receivers
  set_loss "$loss"
  for h in "${RECEIVERS[@]}"; do
    host_start "$h" "uftp-$h" $(timed "uftp-$h") uftpd -d -I eth0 -D "$E2E_TARGET" -B 8388608 \
      -L "$E2E_WORK/logs/uftpd-$h.txt"
    PID[$h]=$E2E_LAST_PID
  done
  sleep 1
  local ids
  ids=$(for h in "${RECEIVERS[@]}"; do printf '0x0a6300%02x,' $((10 + ${h#r})); done)
  ids=${ids%,}
  host_start s uftp-s $(timed uftp-s) uftp -I eth0 -R "$rate" -H "$ids" -B 8388608 \
    -S "$E2E_WORK/uftp-status.txt" "$DATA"
  local spid=$E2E_LAST_PID
  wait_exit "$spid" 300
  local sstatus=$E2E_STATUS
  # uftpd serves on; it has the files once the sender is done.
  # (The pid is that of /usr/bin/time; its child is uftpd.)
  for h in "${RECEIVERS[@]}"; do kill -TERM $(pgrep -P "${PID[$h]}") 2>/dev/null; done
  for h in "${RECEIVERS[@]}"; do wait_exit "${PID[$h]}" 20; done
  local ok
  ok=$(verify_all)
  [ "$sstatus" = 0 ] || ok=no
  # Its own transfer time (STATS: ...;time;speed) beside the process's.
  local own
  own=$(awk -F';' '/^STATS;/ {if ($7 > t) t = $7} END {print t}' "$E2E_WORK/uftp-status.txt" 2>/dev/null)
  row uftp "${rate}k" "$loss" "$(wall_of uftp-s)" "-" "$(cpu_of uftp-s)" "$(receiver_cpu uftp)" \
    "$(receiver_rss_mib uftp)" "$ok" "sender process wall time; its own transfer time ${own:-?} s"
}

# ---- Ceiling ----

iperf_ceiling() {
  local len=$1 h
  set_loss 0
  for h in "${RECEIVERS[@]}"; do
    host_start "$h" "iperf-$len-$h" iperf -s -u -B 239.9.9.9 -l "$len" -i 0
    PID[$h]=$E2E_LAST_PID
  done
  sleep 1
  host_start s "iperf-$len-s" iperf -c 239.9.9.9 -u -b 10000M -l "$len" -t 4 -T 1
  wait_exit "$E2E_LAST_PID" 30
  sleep 1
  for h in "${RECEIVERS[@]}"; do kill -TERM "${PID[$h]}" 2>/dev/null; done
  for h in "${RECEIVERS[@]}"; do wait_exit "${PID[$h]}" 10; done
  local line
  for h in "${RECEIVERS[@]}"; do
    line=$(grep -E 'bits/sec' "$E2E_WORK/logs/iperf-$len-$h.log" | tail -n1 |
      sed -E 's/.* ([0-9.]+ [KMG]?bits\/sec).* ([0-9]+\/[0-9]+ \([0-9.e+-]+%\)).*/\1, lost \2/')
    echo "  iperf UDP multicast, datagrams of $len bytes, at $h: ${line:-no report}" | tee -a "$RESULTS"
  done
  line=$(grep -E 'bits/sec' "$E2E_WORK/logs/iperf-$len-s.log" | tail -n1 | sed -E 's/.* ([0-9.]+ [KMG]?bits\/sec).*/\1/')
  echo "  iperf sender offered: ${line:-?}" | tee -a "$RESULTS"
}

disk_ceiling() {
  local f="${HOST_DIR[r1]}/dd.bin" out
  out=$(dd if=/dev/zero of="$f" bs=1M count=512 conv=fdatasync 2>&1 | tail -n1)
  echo "  disk of the receivers, 512 MiB, fdatasync at the end: ${out##*, }" | tee -a "$RESULTS"
  rm -f "$f"
  sync
  out=$(dd if=/dev/zero of="$f" bs=1M count=80 2>&1 | tail -n1)
  echo "  disk of the receivers, 80 MiB into the page cache:     ${out##*, }" | tee -a "$RESULTS"
  rm -f "$f"
  sync
}

# ---- Run ----

declare -A PID
e2e_setup
host_add s 1
for ((i = 1; i <= NRECEIVERS; i++)); do
  host_add "r$i" $((10 + i))
  RECEIVERS+=("r$i")
done
make_dataset
note "dataset: $DATASET_BYTES bytes in $(find "$DATA" -type f | wc -l) files; load: $(cut -d' ' -f1-3 /proc/loadavg)"
: >"$RESULTS"

if [ "$CEILING" = 1 ]; then
  echo "Ceiling of the topology:" | tee -a "$RESULTS"
  command -v iperf >/dev/null && { iperf_ceiling 1470; iperf_ceiling 4796; } || echo "  iperf not installed"
  disk_ceiling
fi

header | tee -a "$RESULTS"
for loss in $LOSSES; do
  [ "$SKIP_DEFAULT" = 1 ] || tivlo_run default "$loss"
  for rate in $RATES; do
    for ((k = 0; k < REPEAT; k++)); do tivlo_run "$rate" "$loss"; done
  done
  if [ "$PEERS" = 1 ]; then
    if command -v udp-sender >/dev/null && command -v udp-receiver >/dev/null; then
      for ((k = 0; k < REPEAT; k++)); do udpcast_run "$loss"; done
    fi
    if command -v uftp >/dev/null && command -v uftpd >/dev/null; then
      for ((k = 0; k < REPEAT; k++)); do uftp_run "$loss" 1000000; done
    fi
  fi
done

# Tivlo's best rate per loss against each peer's best.
echo
echo "Summary (MB/s, best run of each; load at the end: $(cut -d' ' -f1-3 /proc/loadavg)):"
header
grep -v '^  ' "$RESULTS" | grep -v '^tool ' | grep -v '^Ceiling' | cat
for loss in $LOSSES; do
  awk -v loss="$loss%" '
    $3 == loss && $10 == "yes" { if ($5 + 0 > best[$1] + 0) { best[$1] = $5; at[$1] = $2 } }
    END {
      t = best["tivlo"]
      printf "loss %s: tivlo %s MB/s (rate %s)", loss, t == "" ? "-" : t, at["tivlo"]
      for (k in best) if (k != "tivlo") printf "; %s %s MB/s (tivlo/%s = %.2f)", k, best[k], k, (best[k] > 0 ? t / best[k] : 0)
      printf "\n"
    }' "$RESULTS"
done
