#!/usr/bin/env bash
# End-to-end scenarios: tivlo-send and tivlo-recv on namespace hosts, with
# real sockets, loss and disks. Usage: scenarios.sh NAME (names at the end);
# TIVLO_SEND and TIVLO_RECV name the programs, TIVLO_E2E_VERBOSE=1 logs the
# library's lines too. Runs that wait for a heartbeat to stop go at half time
# (TIVLO_TIME_SCALE for every process: heartbeat and watch keep their ratio).
set -u
source "$(dirname "$0")/../../scripts/lan.sh"
SRC=$E2E_WORK/src SAMPLE=$E2E_WORK/src/sample V=()
[ "${TIVLO_E2E_VERBOSE:-0}" = 1 ] && V=(--verbose)
declare -A PID

# setup MB HOST...: the run, a sample tree with a file of MB megabytes, and
# the hosts: s is 10.99.0.1, s2 10.99.0.2, rN 10.99.0.(10+N).
setup() {
  e2e_setup
  mkdir -p "$SAMPLE"/{docs/deep/deeper,docs/empty-inner/also-empty,empty-top,media}
  printf 'Grüße aus Köln\n' >"$SAMPLE/docs/Grüße — 日本語.txt"
  local f
  for f in 1 2 3 4 5; do seq $((f * 700)) >"$SAMPLE/docs/list-$f.txt"; done
  # Empty files, and sizes on and around the 4254-byte block.
  for f in empty.txt:0 docs/deep/deeper/empty-too:0 docs/two-blocks.bin:8508 docs/one-block.bin:4254 \
    docs/deep/short.bin:4253 docs/deep/deeper/long.bin:4255 media/big.bin:$(($1 * 1000000)); do
    head -c "${f#*:}" /dev/urandom >"$SAMPLE/${f%:*}"
  done
  for f in "${@:2}"; do
    case $f in s) host_add s 1 ;; s2) host_add s2 2 ;; *) host_add "$f" $((10 + ${f#r})) ;; esac
  done
}

# start HOST send|recv OPTION...: the program on the host's interface, with
# its JSON report in $(json HOST) and all else in its log.
start() {
  local program=$TIVLO_RECV
  [ "$2" = send ] && program=$TIVLO_SEND
  E2E_STDOUT=$(json "$1") host_start "$1" "$1" "$program" "${V[@]}" --json --interface "${HOST_IP[$1]}" "${@:3}"
  PID[$1]=$E2E_LAST_PID
}
json() { echo "$E2E_WORK/logs/$1.json"; }
# ready HOST...: tivlo-recv waits for a sender on each.
ready() { local h; for h; do wait_for_line "${HOST_LOG[$h]}" '^waiting for a sender' 10 || fail "no tivlo-recv on $h"; done; }
# recv HOST: tivlo-recv --once for the target, once it waits.
recv() { start "$1" recv --once --allow "$E2E_TARGET" && ready "$1"; }
# send HOST [OPTION...]: tivlo-send of the sample tree.
send() { start "$1" send "${@:2}" --target "$E2E_TARGET" "$SAMPLE"; }

# ends HOST STATUS SECONDS: the host's program ends in time with STATUS.
ends() {
  wait_exit "${PID[$1]}" "$3" || fail "the program on $1 did not end within $3 s"
  [ "$E2E_STATUS" = "$2" ] || fail "the program on $1 ended with status $E2E_STATUS, expected $2"
}
# logs HOST PATTERN WHAT: the host's log has a line matching PATTERN.
logs() { grep -Eq -- "$2" "${HOST_LOG[$1]}" || fail "$1: $3 (no line matching '$2')"; }
# jqs HOST FILTER: the host's last JSON report satisfies the jq FILTER.
jqs() { jq -se "last | $2" "$(json "$1")" >/dev/null || { cat "$(json "$1")"; fail "$1: not $2"; }; }
copies() { local h; for h; do verify_copy "$h" "$SAMPLE" || fail "the copy on $h is wrong"; done; }
# failed [HOST:CODE...]: the sender's lines and its report name exactly these
# receivers as failed, with these codes (none: never joined), and every other
# one as complete.
failed() {
  local x lines report want=$(for x; do echo "${HOST_IP[${x%:*}]} ${x#*:}"; done | sort)
  lines=$(sed -En 's/^failed receiver: ([0-9.]+) (code ([0-9]+):|never joined).*/\1 \3/p' "${HOST_LOG[s]}" | sort)
  report=$(jq -r '.receivers[] | select(.outcome != "complete") | "\(.address) \(.code // "")"' "$(json s)" | sort)
  [ "$lines" = "$want" ] && [ "$report" = "$want" ] ||
    fail "the sender named [$lines] in its lines, [$report] in its report; expected [$want]"
}
# mid HOST SECONDS: SECONDS after the receiver took the task, mid-stream.
mid() { wait_for_line "${HOST_LOG[$1]}" '^task: ' 20 && sleep "$2" || fail "$1 never got a task"; }
# signal SIGNAL HOST...: the signal to programs that must still be running.
signal() { local h; for h in "${@:2}"; do kill "-$1" "${PID[$h]}" 2>/dev/null || fail "$h ended before the signal"; done; }

# 1. Three receivers, no loss, the sender waiting for three: nested and empty
# folders, empty files, block-boundary sizes, a name beyond ASCII and 20 MB
# arrive exactly, each reported complete, at a measured time and rate (the
# library's own pace). A second sender mid-stream refuses to start.
# 2. (loss5) The same when each receiver loses 5 % of all the multicast
# datagrams that reach it (Task, Finish and Empty directories too; the
# heartbeat is spared).
scenario_loss5() { scenario_clean_tree 5; }
scenario_clean_tree() {
  local loss=${1:-0} h line
  setup 20 s s2 r1 r2 r3
  for h in r1 r2 r3; do [ "$loss" = 0 ] || host_loss $h "$loss"; recv $h; done
  send s --min-receivers 3
  if [ "$loss" = 0 ]; then
    mid r1 1
    send s2
    ends s2 2 15
    logs s2 'another sender is already using' "the second sender gave another reason"
    logs s '^3 receivers joined after 0\.' "the sender did not start as soon as three had joined"
  fi
  ends s 0 300
  for h in r1 r2 r3; do
    ends $h 0 30
    jqs $h ".outcome == \"complete\" and .code == 0 and .task.blocks == $(jq .task.blocks "$(json s)")"
  done
  jqs s '.result == "ok" and .code_name == "OK" and .task.files == 13 and .changed_files == [] and
    .receiver_counts == {joined: 3, complete: 3, failed: 0, unlisted: 0, never_joined: 0} and
    (.task.bytes as $b | all(.receivers[]; .outcome == "complete" and .bytes == $b and .expected == false)) and
    ([.receivers[].address] | sort) == ["10.99.0.11", "10.99.0.12", "10.99.0.13"]'
  copies r1 r2 r3
  for h in r1 r2 r3; do [ "$loss" = 0 ] || [ "$(host_dropped $h tivlo_loss)" -gt 0 ] || fail "$h lost nothing"; done
  line=$(grep '^summary: ' "${HOST_LOG[s]}") && note "$line"
  echo "MEASURE $([ "$loss" = 0 ] && echo clean_tree || echo "loss$loss") (3 receivers, $loss % of the multicast" \
    "datagrams lost each): $(sed -n 's/.*; \(.* in [0-9.]* s ([^)]*)\).*/\1/p' <<<"$line")"
}

# 3. Beside a clean receiver, one losing 40 % of the Data blocks is given up
# with code 1 (it learns of the end when the heartbeat stops), and one whose
# disk is too small refuses the task with 112, which the sender's host hears
# of (1054).
scenario_loss40_small_disk() {
  setup 8 s r1 r2 r3
  host_loss r1 40 data
  host_small_disk r3 6
  export TIVLO_TIME_SCALE=0.5
  for h in r1 r2 r3; do recv $h; done
  send s
  ends r3 1 30
  jqs r3 '.outcome == "failed" and .code_name == "DISK_FULL"'
  [ ! -e "${HOST_DIR[r3]}/sample/media/big.bin" ] || fail "r3 wrote files after refusing the task"
  ends s 1 120
  logs s "^receiver ${HOST_IP[r3]} gave up \(code 112\)" "the sender's host did not hear of the full disk"
  failed r1:1 r3:112
  jqs s '.result == "failed" and .receiver_counts.complete == 1 and
    (.receivers[] | select(.code == 112) | .code_name == "DISK_FULL" and .bytes == null)'
  ends r2 0 30
  copies r2
  ends r1 1 40
  logs r1 '^outcome: failed \(code 1004\)' "the lossy receiver did not report the lost sender"
}

# 4. Two receivers killed mid-stream, r1 the first to join (the first master)
# and r2 a later one: the sender names both with 1460 and ends; the survivor
# loses 5 % of the Data blocks and is still repaired.
scenario_kills() {
  setup 6 s r1 r2 r3
  for h in r2 r3; do host_drop_first_collect $h; done
  host_loss r3 5 data
  for h in r1 r2 r3; do recv $h; done
  send s
  mid r1 2
  for h in r2 r3; do [ "$(host_dropped $h tivlo_order)" = 1 ] || fail "$h did not miss the first Collect"; done
  signal KILL r1 r2
  ends s 1 150
  failed r1:1460 r2:1460
  jqs s '.receivers[0].address == "10.99.0.11" and .receiver_counts.complete == 1 and
    (.receivers[] | select(.address == "10.99.0.13") | .outcome == "complete" and .missed > 0)'
  ends r3 0 30
  copies r3
}

# 5. The sender killed mid-stream (kill_sender): every receiver reports the
# lost sender; or interrupted as by Ctrl-C (stop): it stops the transfer and
# the receivers report the stop. Nothing hangs.
scenario_kill_sender() { sender_ends KILL 1004; }
scenario_stop() { sender_ends INT 0; }
sender_ends() {
  setup 8 s r1 r2 r3
  export TIVLO_TIME_SCALE=0.5
  for h in r1 r2 r3; do recv $h; done
  send s
  mid r1 1.5
  signal "$1" s
  if [ "$1" = INT ]; then
    ends s 1 15
    logs s '^result: stopped' "the sender did not report the stop"
    jqs s '.result == "stopped" and .receiver_counts.complete == null'
  fi
  for h in r1 r2 r3; do
    ends $h 1 40
    logs $h "^outcome: failed \(code $2\)" "the receiver gave another reason"
  done
}

# 6. tivlo-recv without --once serves one task after another, each reported
# on a line of its own, and SIGTERM ends it cleanly.
scenario_serve() {
  setup 1 s r1 r2
  mkdir -p "$SRC/second/inner" && head -c 50000 /dev/urandom >"$SRC/second/inner/data.bin"
  for h in r1 r2; do start $h recv --allow "$E2E_TARGET" && ready $h; done
  send s
  ends s 0 60
  # Both must be back for the next task.
  start s send --min-receivers 2 --wait 20 --target "$E2E_TARGET" "$SRC/second"
  ends s 0 60
  for h in r1 r2; do
    wait_for_line "${HOST_LOG[$h]}" '^outcome: complete: 1 file,' 20 || fail "$h did not complete the second task"
    signal TERM $h
    ends $h 0 15
    [ "$(jq -c '[.outcome, .task.files]' "$(json $h)" | tr -d '\n')" = '["complete",13]["complete",1]' ] ||
      fail "$h did not report each task on a line of its own"
    cmp "$SRC/second/inner/data.bin" "${HOST_DIR[$h]}/second/inner/data.bin" || fail "$h: the second file differs"
    rm -r "${HOST_DIR[$h]}/second"
  done
  copies r1 r2
}

# 7. Refusals: selections the library refuses (with its result), files left
# out on request, an interface that is not the host's, a group where nobody
# answers, and a receiver whose allowed roots exclude the target.
scenario_refusals() {
  setup 0 s r1 r2
  mkdir -p "$SRC/odd:dir" "$SRC/tree/sub"
  for f in odd:dir/a.txt tree/fine.txt "tree/what?.txt" tree/sub/deep.txt; do echo "$f" >"$SRC/$f"; done
  # refused HOST PATTERN send|recv OPTION...: the program refuses to start.
  refused() { start "$1" "${@:3}" && ends "$1" 2 30 && logs "$1" "$2" "no refusal"; }
  refused s 'refused \(result 5\)' send --target "$E2E_TARGET" "$SRC/odd:dir"
  refused s 'refused \(result 7\).*--skip-bad-names' send --target "$E2E_TARGET" "$SRC/tree"
  refused s 'no receiver answered' send --target "$E2E_TARGET" "$SRC/tree/sub"
  HOST_IP[s]=10.99.0.77 HOST_IP[r1]=10.99.0.77 # an address of no host
  refused s 'cannot set up the sockets' send --target "$E2E_TARGET" "$SRC/tree/sub"
  refused r1 'cannot set up the receiver' recv --once
  HOST_IP[s]=10.99.0.1 HOST_IP[r1]=10.99.0.11

  # Only the selected folder is searched for bad names, not its sub-folders.
  recv r1
  start s send --target "$E2E_TARGET" --skip-bad-names "$SRC/tree"
  ends s 0 60
  logs s 'warning: files whose names' "no warning about the files left out"
  ends r1 0 30
  rm "$SRC/tree/what?.txt" && verify_copy r1 "$SRC/tree" || fail "the copy without the badly named file is wrong"

  # A receiver that allows only other roots refuses the task.
  rm -r "${HOST_DIR[r1]}/tree"
  recv r1
  start r2 recv --once --allow-root /srv/tivlo-elsewhere
  ready r2
  start s send --target "$E2E_TARGET" "$SRC/tree"
  ends s 1 60
  failed r2:112
  ends r2 1 15
  logs r2 '^outcome: failed \(code 1002\)' "a target outside the allowed roots was not refused"
  ends r1 0 15
  verify_copy r1 "$SRC/tree" || fail "the receiver that allows the target has a wrong copy"
  [ -z "$(ls -A "${HOST_DIR[r2]}")" ] || fail "the refusing receiver wrote something"
}

# 8. The sender waits for the receivers of an --expect-file (an address, host
# names, comments and a blank line): r2 starts 5 s late and is served, r3
# never starts and is reported as never joined, r4, not on the list, is
# served too; the exit status is 1.
scenario_expect() {
  setup 1 s r1 r2 r3 r4
  printf '10.99.0.12 late\n10.99.0.13 absent\n' >"$E2E_WORK/etc-hosts"
  printf '# the class\n10.99.0.11\n\n  late  # starts late\nabsent\n' >"$E2E_WORK/expect.txt"
  for h in r1 r4; do recv $h; done
  E2E_HOSTS=$E2E_WORK/etc-hosts send s --expect-file "$E2E_WORK/expect.txt" --wait 9 --rate 20M
  sleep 5
  recv r2
  ends s 1 40
  for h in r1 r2 r4; do ends $h 0 10; done
  copies r1 r2 r4
  logs s '^waiting for receivers: 2 joined, [0-9]+ s left; 2 of 3 expected missing: late \(10\.99\.0\.12\), absent' \
    "no line on who was missing"
  logs s '^result: failed \(1 receiver never joined\)' "the result does not say who never joined"
  failed r3:
  jqs s '.receiver_counts == {joined: 3, complete: 3, failed: 0, unlisted: 0, never_joined: 1} and
    ([.receivers[] | [.address, .outcome, .expected]] | sort) == [["10.99.0.11", "complete", true],
    ["10.99.0.12", "complete", true], ["10.99.0.13", "never_joined", true], ["10.99.0.14", "complete", false]]'
}

names="clean_tree loss5 loss40_small_disk kills kill_sender stop serve refusals expect"
[[ " $names " == *" ${1:-none} "* ]] || { echo "usage: $0 ${names// /|}" >&2; exit 2; }
started=$SECONDS
"scenario_$1"
note "$1 passed in $((SECONDS - started)) s"
echo PASS
