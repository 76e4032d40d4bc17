#!/usr/bin/env bash
# End-to-end scenarios: real tivlo-send and tivlo-recv processes on namespace
# hosts, real sockets, loss, disks. Usage: scenarios.sh NAME (see the end of
# this file). TIVLO_SEND and TIVLO_RECV name the programs.
#
# Scenarios clean_tree and loss5 run at the library's real pace and print the
# transfer time and rate. Those that wait for a heartbeat to stop run every
# process at half time (TIVLO_TIME_SCALE=0.5): the sender's heartbeat and the
# receivers' watch on it must keep their ratio, so all clocks scale alike.
set -u
here=$(cd "$(dirname "$0")" && pwd)
source "$here/lib.sh"

SRC="$E2E_WORK/src"
SAMPLE="$SRC/sample"
SENDER_IP=10.99.0.1
declare -A PID
# TIVLO_E2E_VERBOSE=1: the library's log lines in every program's log.
VERBOSE=()
[ "${TIVLO_E2E_VERBOSE:-0}" = 1 ] && VERBOSE=(--verbose)

# make_tree MEGABYTES: the sample tree, with a big file of that many MB.
make_tree() {
  local big=$1
  mkdir -p "$SAMPLE/docs/deep/deeper" "$SAMPLE/docs/empty-inner/also-empty" "$SAMPLE/empty-top" "$SAMPLE/media"
  : >"$SAMPLE/empty.txt"
  : >"$SAMPLE/docs/deep/deeper/empty-too"
  head -c 8508 /dev/urandom >"$SAMPLE/docs/two-blocks.bin"   # exactly 2 x 4254
  head -c 4254 /dev/urandom >"$SAMPLE/docs/one-block.bin"
  head -c 4253 /dev/urandom >"$SAMPLE/docs/deep/short.bin"
  head -c 4255 /dev/urandom >"$SAMPLE/docs/deep/deeper/long.bin"
  printf 'Grüße aus Köln\n' >"$SAMPLE/docs/Grüße — 日本語.txt"
  local i
  for i in 1 2 3 4 5; do seq 1 $((i * 700)) >"$SAMPLE/docs/list-$i.txt"; done
  head -c "$((big * 1000 * 1000))" /dev/urandom >"$SAMPLE/media/big.bin"
}

# add_hosts NAME... : sender "s" is 10.99.0.1, "s2" 10.99.0.2, rN 10.99.0.(10+N).
add_hosts() {
  local h
  for h in "$@"; do
    case $h in
      s) host_add s 1 ;;
      s2) host_add s2 2 ;;
      r*) host_add "$h" $((10 + ${h#r})) ;;
    esac
  done
}

# start_receiver NAME [VAR=VALUE...] [extra options]: tivlo-recv --once on a
# host, ready for a sender once this returns.
start_receiver() {
  local name=$1
  shift
  local envs=()
  while [ $# -gt 0 ] && [[ $1 == *=* ]]; do envs+=("$1"); shift; done
  host_start "$name" "recv-$name" "${envs[@]}" "$TIVLO_RECV" "${VERBOSE[@]}" --once \
    --interface "${HOST_IP[$name]}" --allow "$E2E_TARGET" "$@"
  PID[$name]=$E2E_LAST_PID
  wait_for_line "${HOST_LOG[$name]}" '^waiting for a sender' 10 || fail "tivlo-recv on $name did not start"
}

# start_sender NAME [VAR=VALUE...] [-- extra options]: tivlo-send of the
# sample tree from a host to the common target path.
start_sender() {
  local name=$1
  shift
  local envs=()
  while [ $# -gt 0 ] && [[ $1 == *=* ]]; do envs+=("$1"); shift; done
  host_start "$name" "send-$name" "${envs[@]}" "$TIVLO_SEND" "${VERBOSE[@]}" --interface "${HOST_IP[$name]}" \
    --target "$E2E_TARGET" "$@" "$SAMPLE"
  PID[$name]=$E2E_LAST_PID
}

# expect_exit NAME STATUS SECONDS: the host's program ends in time with STATUS.
expect_exit() {
  local name=$1 status=$2 seconds=$3
  wait_exit "${PID[$name]}" "$seconds" || fail "the program on $name did not end within $seconds s"
  [ "$E2E_STATUS" = "$status" ] || fail "the program on $name ended with status $E2E_STATUS, expected $status"
}

expect_log() {  # NAME PATTERN WHAT
  grep -Eq -- "$2" "${HOST_LOG[$1]}" || fail "$1: $3 (no line matching '$2')"
}

# expect_failed_receivers LIST: the sender's report names exactly these
# "address code" pairs, in any order.
expect_failed_receivers() {
  local expected got
  expected=$(printf '%s\n' "$@" | sort)
  got=$(sed -n 's/^failed receiver: \([0-9.]*\) code \([0-9]*\):.*/\1 \2/p' "${HOST_LOG[s]}" | sort)
  [ "$got" = "$expected" ] || fail "the sender reported failed receivers [$got], expected [$expected]"
}

# expect_json NAME FILTER WHAT: the JSON report of the host's program (run
# with --json and E2E_STDOUT=$(json NAME)) satisfies the jq FILTER.
json() { echo "$E2E_WORK/logs/$1.json"; }
expect_json() {
  jq -e "$2" "$(json "$1")" >/dev/null || { cat "$(json "$1")"; fail "$1: $3 (not $2)"; }
}

expect_copy() {
  local h
  for h in "$@"; do verify_copy "$h" "$SAMPLE" || fail "the copy on $h is wrong"; done
}

# wait_stream NAME SECONDS: waits until a receiver has taken a task and
# then SECONDS more, so whatever follows happens in the middle of the stream.
wait_stream() {
  wait_for_line "${HOST_LOG[$1]}" '^task: ' 20 || fail "$1 never got a task"
  sleep "$2"
}

# The sender's "summary:" line, and the time and rate from it.
report_rate() {
  local label=$1 line
  line=$(grep '^summary: ' "${HOST_LOG[s]}")
  note "$label: $line"
  echo "MEASURE $label: $(sed -n 's/.*; \(.* in [0-9.]* s ([^)]*)\).*/\1/p' <<<"$line")"
}

# ---------------------------------------------------------------------------

# 1. Three receivers, no loss: nested and empty directories, empty files,
# block-boundary sizes, a non-ASCII name and a 20 MB file arrive exactly.
scenario_clean_tree() {
  e2e_setup
  add_hosts s r1 r2 r3
  make_tree 20
  local h
  E2E_STDOUT=$(json r1) start_receiver r1 --json
  for h in r2 r3; do start_receiver $h; done
  E2E_STDOUT=$(json s) start_sender s --json
  expect_exit s 0 180
  for h in r1 r2 r3; do expect_exit $h 0 30; done
  expect_json s '.result == "ok" and .exit_status == 0 and .code_name == "OK" and .receivers == [] and
    .receiver_counts == {"joined": 3, "complete": 3, "failed": 0, "unlisted": 3} and .task.files == 13' "report"
  expect_json r1 ".outcome == \"complete\" and .code == 0 and .task.blocks == $(jq .task.blocks "$(json s)")" "report"
  expect_log s '^transfer started: 3 receivers' "the sender did not see three receivers"
  expect_log s '^result: ok' "the sender did not report success"
  expect_failed_receivers
  for h in r1 r2 r3; do expect_log $h '^outcome: complete' "no completion"; done
  expect_copy r1 r2 r3
  report_rate "clean_tree (3 receivers, no loss)"
}

# 2. Three receivers that each lose 5 % of the multicast datagrams that reach
# them, at random (Data and Repair blocks, Task, Finish, Empty directories
# alike): repaired to byte-exact copies, nobody reported.
scenario_loss5() {
  e2e_setup
  add_hosts s r1 r2 r3
  make_tree 20
  local h
  for h in r1 r2 r3; do host_loss $h 5; start_receiver $h; done
  start_sender s
  expect_exit s 0 300
  for h in r1 r2 r3; do expect_exit $h 0 30; done
  expect_log s '^result: ok' "the sender did not report success"
  expect_failed_receivers
  expect_copy r1 r2 r3
  note "datagrams dropped: r1 $(host_dropped r1 tivlo_loss), r2 $(host_dropped r2 tivlo_loss), r3 $(host_dropped r3 tivlo_loss)"
  report_rate "loss5 (3 receivers, 5 % of the multicast datagrams lost each)"
}

# 3. One receiver at 40 % loss of the Data blocks beside two clean ones: it
# is given up with code 1, the others complete; the lossy one learns of the
# end when the heartbeat stops.
scenario_loss40() {
  e2e_setup
  add_hosts s r1 r2 r3
  make_tree 3
  host_loss r1 40 data
  local h
  for h in r1 r2 r3; do start_receiver $h TIVLO_TIME_SCALE=0.5; done
  start_sender s TIVLO_TIME_SCALE=0.5
  expect_exit s 1 120
  expect_failed_receivers "${HOST_IP[r1]} 1"
  for h in r2 r3; do expect_exit $h 0 30; done
  expect_copy r2 r3
  expect_exit r1 1 40
  expect_log r1 '^outcome: failed \(code 1004\)' "the lossy receiver did not report the lost sender"
}

# 4. A receiver killed during the stream is passed over with 1460; the others
# complete and the sender ends.
scenario_kill_receiver() {
  e2e_setup
  add_hosts s r1 r2 r3
  make_tree 6
  local h
  for h in r1 r2 r3; do start_receiver $h; done
  start_sender s
  wait_stream r2 2
  kill -0 "${PID[r2]}" 2>/dev/null || fail "r2 ended before it was killed"
  kill -KILL "${PID[r2]}"
  wait_exit "${PID[r2]}" 5
  expect_exit s 1 120
  expect_failed_receivers "${HOST_IP[r2]} 1460"
  for h in r1 r3; do expect_exit $h 0 30; done
  expect_copy r1 r3
}

# 4b. The same when the killed receiver joined first (the first master) and
# the others lose 5 % of the Data blocks: they are still repaired.
scenario_kill_first_joined() {
  e2e_setup
  add_hosts s r1 r2 r3
  make_tree 6
  local h
  for h in r2 r3; do host_drop_first_collect $h; host_loss $h 5 data; done
  for h in r1 r2 r3; do start_receiver $h; done
  start_sender s
  wait_stream r1 2
  for h in r2 r3; do
    [ "$(host_dropped $h tivlo_order)" = 1 ] || fail "$h did not miss the first Collect, r1 may not have joined first"
  done
  kill -0 "${PID[r1]}" 2>/dev/null || fail "r1 ended before it was killed"
  kill -KILL "${PID[r1]}"
  wait_exit "${PID[r1]}" 5
  expect_exit s 1 150
  expect_failed_receivers "${HOST_IP[r1]} 1460"
  for h in r2 r3; do expect_exit $h 0 30; done
  expect_copy r2 r3
  note "datagrams dropped: r2 $(host_dropped r2 tivlo_loss), r3 $(host_dropped r3 tivlo_loss)"
}

# 5. The sender killed during the stream: every receiver reports the lost
# sender (1004) and exits with failure.
scenario_kill_sender() {
  e2e_setup
  add_hosts s r1 r2 r3
  make_tree 8
  local h
  for h in r1 r2 r3; do start_receiver $h TIVLO_TIME_SCALE=0.5; done
  start_sender s TIVLO_TIME_SCALE=0.5
  wait_stream r1 1.5
  kill -0 "${PID[s]}" 2>/dev/null || fail "the sender ended before it was killed"
  kill -KILL "${PID[s]}"
  wait_exit "${PID[s]}" 5
  for h in r1 r2 r3; do
    expect_exit $h 1 40
    expect_log $h '^outcome: failed \(code 1004\)' "no report of the lost sender"
  done
}

# 6. A receiver whose disk is too small refuses the task with 112; the
# sender's host hears of it (1054) and reports it; the others complete.
scenario_small_disk() {
  e2e_setup
  add_hosts s r1 r2 r3
  make_tree 8
  host_small_disk r3 6
  local h
  for h in r1 r2; do start_receiver $h; done
  E2E_STDOUT=$(json r3) start_receiver r3 --json
  E2E_STDOUT=$(json s) start_sender s --json
  expect_exit r3 1 30
  expect_log r3 '^outcome: failed \(code 112\)' "the small disk was not refused"
  expect_json r3 '.outcome == "failed" and .code == 112 and .code_name == "DISK_FULL"' "report"
  expect_exit s 1 120
  expect_json s ".result == \"failed\" and .exit_status == 1 and .receiver_counts.complete == 2 and .receivers ==
    [{address: \"${HOST_IP[r3]}\", outcome: \"failed\", code: 112, code_name: \"DISK_FULL\", blocks_repaired: null,
      bytes: null}]" "report"
  expect_log s "^receiver ${HOST_IP[r3]} gave up \(code 112\)" "the sender's host did not hear of the full disk"
  expect_failed_receivers "${HOST_IP[r3]} 112"
  for h in r1 r2; do expect_exit $h 0 30; done
  expect_copy r1 r2
  [ ! -e "${HOST_DIR[r3]}/sample/media/big.bin" ] || fail "r3 wrote files after refusing the task"
}

# 7. Ctrl-C on the sender in the middle: it stops the transfer, the receivers
# report the stop, nothing hangs.
scenario_stop() {
  e2e_setup
  add_hosts s r1 r2 r3
  make_tree 8
  local h
  for h in r1 r2 r3; do start_receiver $h TIVLO_TIME_SCALE=0.5; done
  E2E_STDOUT=$(json s) start_sender s TIVLO_TIME_SCALE=0.5 --json
  wait_stream r1 1.5
  kill -0 "${PID[s]}" 2>/dev/null || fail "the sender ended before it was interrupted"
  kill -INT "${PID[s]}"
  expect_exit s 1 15
  expect_log s '^result: stopped' "the sender did not report the stop"
  expect_json s '.result == "stopped" and .exit_status == 1 and .receiver_counts.complete == null' "report"
  for h in r1 r2 r3; do
    expect_exit $h 1 20
    expect_log $h '^outcome: failed \(code 0\)' "no report of the stop"
  done
}

# 8. A second sender on the same group during a transfer refuses to start;
# the running transfer is not disturbed.
scenario_second_sender() {
  e2e_setup
  add_hosts s s2 r1 r2 r3
  make_tree 6
  local h
  for h in r1 r2 r3; do start_receiver $h; done
  start_sender s
  wait_stream r1 1
  host_start s2 send-s2 "$TIVLO_SEND" --interface "${HOST_IP[s2]}" --target "$E2E_TARGET" "$SAMPLE/docs"
  PID[s2]=$E2E_LAST_PID
  expect_exit s2 2 15
  expect_log s2 'another sender is already using' "the second sender gave another reason"
  expect_exit s 0 120
  for h in r1 r2 r3; do expect_exit $h 0 30; done
  expect_failed_receivers
  expect_copy r1 r2 r3
}

# 9. tivlo-recv without --once serves one task after another, and SIGTERM
# ends it cleanly.
scenario_serve() {
  e2e_setup
  add_hosts s r1 r2
  make_tree 1
  mkdir -p "$SRC/second/inner"
  head -c 50000 /dev/urandom >"$SRC/second/inner/data.bin"
  local h
  for h in r1 r2; do
    E2E_STDOUT=$(json $h) host_start $h "recv-$h" "$TIVLO_RECV" "${VERBOSE[@]}" --json --interface "${HOST_IP[$h]}" \
      --allow "$E2E_TARGET"
    PID[$h]=$E2E_LAST_PID
    wait_for_line "${HOST_LOG[$h]}" '^waiting for a sender' 10 || fail "tivlo-recv on $h did not start"
  done
  start_sender s
  expect_exit s 0 60
  for h in r1 r2; do
    # Ready again for the next sender.
    wait_for_line "${HOST_LOG[$h]}" '^outcome: complete' 20 || fail "$h did not complete the first task"
    local ready=0
    for _ in $(seq 1 100); do
      [ "$(grep -c '^waiting for a sender' "${HOST_LOG[$h]}")" -ge 2 ] && { ready=1; break; }
      sleep 0.1
    done
    [ $ready = 1 ] || fail "$h did not start over after its first task"
  done
  host_start s send2-s "$TIVLO_SEND" "${VERBOSE[@]}" --interface "$SENDER_IP" --target "$E2E_TARGET" "$SRC/second"
  PID[s]=$E2E_LAST_PID
  expect_exit s 0 60
  for h in r1 r2; do
    wait_for_line "${HOST_LOG[$h]}" '^outcome: complete: 1 file,' 20 || fail "$h did not complete the second task"
    kill -TERM "${PID[$h]}"
    expect_exit $h 0 15
    [ "$(grep -c '^outcome: complete' "${HOST_LOG[$h]}")" = 2 ] || fail "$h did not report two completions"
    [ "$(jq -c '[.outcome, .task.files]' "$(json $h)" | tr -d '\n')" = '["complete",13]["complete",1]' ] ||
      fail "$h did not report each task on a line of its own"
    cmp -s "$SRC/second/inner/data.bin" "${HOST_DIR[$h]}/second/inner/data.bin" || fail "$h: the second task's file differs"
    rm -rf "${HOST_DIR[$h]}/second"
  done
  expect_copy r1 r2
}

# 10. Refusals: a selection the library refuses (with its result code), files
# left out on request, an interface that is not this host's, a group where
# nobody answers, and a receiver whose allowed roots exclude the target.
scenario_refusals() {
  e2e_setup
  add_hosts s r1 r2
  mkdir -p "$SRC/odd:dir" "$SRC/tree/sub"
  echo a >"$SRC/odd:dir/a.txt"
  echo fine >"$SRC/tree/fine.txt"
  echo odd >"$SRC/tree/what?.txt"
  echo deep >"$SRC/tree/sub/deep.txt"

  host_start s refuse-colon "$TIVLO_SEND" --interface "$SENDER_IP" --target "$E2E_TARGET" "$SRC/odd:dir"
  PID[s]=$E2E_LAST_PID
  expect_exit s 2 15
  expect_log s 'refused \(result 5\)' "a path with ':' was not refused with result 5"

  host_start s refuse-bad-name "$TIVLO_SEND" --interface "$SENDER_IP" --target "$E2E_TARGET" "$SRC/tree"
  PID[s]=$E2E_LAST_PID
  expect_exit s 2 15
  expect_log s 'refused \(result 7\).*--skip-bad-names' "a file named 'what?.txt' did not make the selection fail with result 7"

  host_start s no-receiver "$TIVLO_SEND" --interface "$SENDER_IP" --target "$E2E_TARGET" "$SRC/tree/sub"
  PID[s]=$E2E_LAST_PID
  expect_exit s 2 30
  expect_log s 'no receiver answered' "a sender without receivers did not say so"

  host_start s bad-interface "$TIVLO_SEND" --interface 10.99.0.77 --target "$E2E_TARGET" "$SRC/tree/sub"
  PID[s]=$E2E_LAST_PID
  expect_exit s 2 15
  expect_log s 'cannot set up the sockets' "a foreign interface address was not refused"
  host_start r1 bad-interface-recv "$TIVLO_RECV" --once --interface 10.99.0.77
  PID[r1]=$E2E_LAST_PID
  expect_exit r1 2 15
  expect_log r1 'cannot set up the receiver' "a foreign interface address was not refused"

  # Sub-directories are not walked for bad names, only the selected folder.
  start_receiver r1
  host_start s skip-bad-names "$TIVLO_SEND" --interface "$SENDER_IP" --target "$E2E_TARGET" --skip-bad-names "$SRC/tree"
  PID[s]=$E2E_LAST_PID
  expect_exit s 0 60
  expect_log s 'warning: files whose names' "no warning about the files left out"
  expect_exit r1 0 30
  rm "$SRC/tree/what?.txt"
  verify_copy r1 "$SRC/tree" || fail "the copy without the badly named file is wrong"

  # A receiver that allows only other roots refuses the task; one that
  # allows the target takes it.
  rm -rf "${HOST_DIR[r1]:?}/tree"
  host_start r1 allowed "$TIVLO_RECV" --once --interface "${HOST_IP[r1]}" --allow-root "$E2E_TARGET"
  PID[r1]=$E2E_LAST_PID
  host_start r2 not-allowed "$TIVLO_RECV" --once --interface "${HOST_IP[r2]}" --allow-root /srv/tivlo-elsewhere
  PID[r2]=$E2E_LAST_PID
  for h in r1 r2; do
    wait_for_line "${HOST_LOG[$h]}" '^waiting for a sender' 10 || fail "tivlo-recv on $h did not start"
  done
  host_start s allowed-roots "$TIVLO_SEND" --interface "$SENDER_IP" --target "$E2E_TARGET" "$SRC/tree"
  PID[s]=$E2E_LAST_PID
  expect_exit s 1 60
  expect_failed_receivers "${HOST_IP[r2]} 112"
  expect_exit r2 1 15
  expect_log r2 '^outcome: failed \(code 1002\)' "a target outside the allowed roots was not refused"
  expect_exit r1 0 15
  verify_copy r1 "$SRC/tree" || fail "the receiver that allows the target has a wrong copy"
  [ -z "$(ls -A "${HOST_DIR[r2]}")" ] || fail "the refusing receiver wrote something"
}

case "${1:-}" in
  clean_tree|loss5|loss40|kill_receiver|kill_first_joined|kill_sender|small_disk|stop|second_sender|serve|refusals)
    started=$SECONDS
    "scenario_$1"
    note "$1 passed in $((SECONDS - started)) s"
    echo PASS
    ;;
  *)
    echo "usage: $0 clean_tree|loss5|loss40|kill_receiver|kill_first_joined|kill_sender|small_disk|stop|second_sender|serve|refusals" >&2
    exit 2
    ;;
esac
