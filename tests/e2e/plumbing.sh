#!/usr/bin/env bash
# The harness itself: loss rules drop what they should, no host has a route
# out, each host writes its own folder through the target path, a small disk
# is small, and a run killed with processes, mounts and namespaces leaves
# nothing behind.
set -u
export TIVLO_SEND=${TIVLO_SEND:-/bin/true} TIVLO_RECV=${TIVLO_RECV:-/bin/true} # not needed here
source "$(dirname "$0")/lib.sh"

if [ "${1:-}" = child ]; then # the run that is killed, with a process, a mount and namespaces
  e2e_setup && host_add b 32 && host_small_disk b 8 && host_start b sleeper sleep 600
  echo "child-prefix $E2E_PREFIX $E2E_WORK ${E2E_PIDS[*]}"
  sleep 600 & wait $!; exit 0
fi

e2e_setup
for h in s:1 r1:11 r2:12; do host_add ${h%:*} ${h#*:}; done
host_loss r1 30 && host_loss r2 100 data
# 200 Data blocks (type 11) and 20 other datagrams, by multicast from s.
ip netns exec "${HOST_NS[s]}" bash -c 'for ((i = 0; i < 220; i++)); do
  printf "\x91\x02\x$([ $i -lt 200 ] && echo 0b || echo 06)" >/dev/udp/224.0.0.1/27001; done' || fail "cannot send"
sleep 0.3
d1=$(host_dropped r1 tivlo_loss) d2=$(host_dropped r2 tivlo_loss)
[ "$d1" -ge 35 ] && [ "$d1" -le 100 ] || fail "30 % loss on r1 dropped $d1 of 220 datagrams"
[ "$d2" = 200 ] || fail "Data-only loss on r2 dropped $d2 datagrams, not the 200 Data blocks"
ip netns exec "${HOST_NS[s]}" ip route get 8.8.8.8 >/dev/null 2>&1 && fail "a host has a route out of the run"

host_small_disk r2 8
for h in r1 r2; do
  host_start $h write-$h sh -c 'echo "$1" >"$2/who" && df -k --output=size "$2" | tail -n1 >"$2/size"' sh $h "$E2E_TARGET"
  wait_exit "$E2E_LAST_PID" 10 && [ "$E2E_STATUS" = 0 ] || fail "the writer on $h failed"
  [ "$(cat "${HOST_DIR[$h]}/who")" = $h ] || fail "$h did not write its own folder"
done
[ -z "$(ls -A "$E2E_TARGET")" ] || fail "a host wrote into the target path of the root namespace"
size=$(cat "${HOST_DIR[r2]}/size")
[ "$size" -gt 4000 ] && [ "$size" -le 8192 ] || fail "the small disk of r2 has $size kB"

bash "$0" child >"$E2E_WORK/child.out" 2>&1 &
child=$!
wait_for_line "$E2E_WORK/child.out" '^child-prefix ' 20 || { cat "$E2E_WORK/child.out"; fail "no child run"; }
read -r _ cprefix cwork cpids < <(grep '^child-prefix ' "$E2E_WORK/child.out")
kill -TERM "$child"
wait_exit "$child" 30 || fail "the child run did not end on TERM"
ip netns list | grep -q "^$cprefix-" && fail "the child run left namespaces"
findmnt -rn -o TARGET | grep -q "^$cwork/" && fail "the child run left a mount"
[ -e "$cwork" ] && fail "the child run left its work folder $cwork"
for pid in $cpids; do kill -0 "$pid" 2>/dev/null && fail "process $pid of the child run survived"; done
losetup -j "$cwork/b.img" | grep -q . && fail "the child run left a loop device"
note "loss rules, no route out, per-host folders, a small disk, and a killed run's cleanup work"
echo PASS
