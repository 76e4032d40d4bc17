#!/usr/bin/env bash
# The harness itself: hosts reach each other by multicast through the hub,
# loss rules drop what they should, every host has its own view of the
# target path, a small disk is small, and nothing of a run survives it, even
# a run that dies with processes still running on its hosts.
set -u
here=$(cd "$(dirname "$0")" && pwd)
# The programs are not needed here; the requirement check wants them.
export TIVLO_SEND=${TIVLO_SEND:-/bin/true} TIVLO_RECV=${TIVLO_RECV:-/bin/true}
source "$here/lib.sh"

# send_udp HOST ADDRESS PORT HEX-BYTES COUNT: COUNT datagrams from a host.
send_udp() {
  local name=$1 address=$2 port=$3 bytes=$4 count=$5
  ip netns exec "${HOST_NS[$name]}" bash -c '
    for ((i = 0; i < $4; i++)); do printf "$3" >"/dev/udp/$1/$2" || exit 1; done' \
    sh "$address" "$port" "$bytes" "$count" || fail "cannot send from $name"
}

# A run that is left with processes, mounts and namespaces, then killed.
if [ "${1:-}" = child ]; then
  e2e_setup
  host_add a 31
  host_add b 32
  host_small_disk b 8
  host_start a sleeper sleep 600
  host_start b sleeper2 sleep 600
  echo "child-prefix $E2E_PREFIX $E2E_WORK ${E2E_PIDS[*]}"
  # Stays until the parent kills it; the cleanup must run on TERM.
  sleep 600 &
  wait $!
  exit 0
fi

e2e_setup
host_add s 1
host_add r1 11
host_add r2 12
host_add r3 13

# 1. Multicast from s reaches every host; loss drops about what it should.
host_loss r1 30
host_loss r2 100 data
ip netns exec "${HOST_NS[r3]}" nft -f - <<'EOF' || fail "cannot add the counting rule on r3"
table inet tivlo_count {
  chain input {
    type filter hook input priority 0; policy accept;
    ip daddr 224.0.0.0/4 udp dport 27001 counter
  }
}
EOF
send_udp s 224.0.0.1 27001 '\x91\x02\x0b' 200
send_udp s 224.0.0.1 27001 '\x91\x02\x06' 20
sleep 0.3
seen=$(host_dropped r3 tivlo_count)
[ "$seen" = 220 ] || fail "r3 saw $seen of 220 multicast datagrams"
dropped=$(host_dropped r1 tivlo_loss)
{ [ "$dropped" -ge 35 ] && [ "$dropped" -le 100 ]; } ||
  fail "30 % loss on r1 dropped $dropped of 220 datagrams"
dropped=$(host_dropped r2 tivlo_loss)
[ "$dropped" = 200 ] || fail "data-only loss on r2 dropped $dropped datagrams, expected the 200 Data blocks only"
note "multicast through the hub: r3 saw 220/220, r1 (30 %) dropped $(host_dropped r1 tivlo_loss), r2 (data only) dropped 200"

# 2. Only the first Collect is dropped on a host that joins late.
host_drop_first_collect r3
send_udp s 224.0.0.1 27001 '\x91\x02\x01' 3
sleep 0.2
dropped=$(host_dropped r3 tivlo_order)
[ "$dropped" = 1 ] || fail "the first-Collect rule dropped $dropped Collects, expected 1"

# 3. Unicast between hosts, and no route out of the run.
ip netns exec "${HOST_NS[r1]}" bash -c 'printf x >/dev/udp/10.99.0.1/9' || fail "no unicast from r1 to s"
if ip netns exec "${HOST_NS[s]}" ip route get 8.8.8.8 >/dev/null 2>&1; then
  fail "a host has a route out of the run"
fi

# 4. Every host writes its own folder through the common target path.
host_small_disk r2 8
for h in r1 r2; do
  host_start "$h" "write-$h" sh -c 'echo "$1" >"$2/who" && df -k --output=size "$2" | tail -n1 >"$2/size"' sh "$h" "$E2E_TARGET"
  wait_exit "$E2E_LAST_PID" 10 || fail "writer on $h hung"
  [ "$E2E_STATUS" = 0 ] || fail "writer on $h failed ($E2E_STATUS)"
done
[ "$(cat "${HOST_DIR[r1]}/who")" = r1 ] || fail "r1 did not write its own folder"
[ "$(cat "${HOST_DIR[r2]}/who")" = r2 ] || fail "r2 did not write its own folder"
[ -z "$(ls -A "$E2E_TARGET")" ] || fail "a host wrote into the target path of the root namespace"
size=$(cat "${HOST_DIR[r2]}/size")
{ [ "$size" -gt 4000 ] && [ "$size" -le 8192 ]; } || fail "the small disk of r2 has $size kB"
note "per-host target folders and an 8 MB disk work"

# 5. A run killed with its processes still going leaves nothing behind.
bash "$0" child >"$E2E_WORK/child.out" 2>&1 &
child=$!
wait_for_line "$E2E_WORK/child.out" '^child-prefix ' 20 || { cat "$E2E_WORK/child.out"; fail "the child run did not start"; }
read -r _ cprefix cwork cpids < <(grep '^child-prefix ' "$E2E_WORK/child.out")
kill -TERM "$child"
wait_exit "$child" 30 || fail "the child run did not end on TERM"
leftover=$(ip netns list | awk '{print $1}' | grep -c "^$cprefix-" || true)
[ "$leftover" = 0 ] || fail "the child run left $leftover namespaces"
findmnt -rn -o TARGET | grep -q "^$cwork/" && fail "the child run left a mount"
[ -e "$cwork" ] && fail "the child run left its work folder $cwork"
for pid in $cpids; do kill -0 "$pid" 2>/dev/null && fail "process $pid of the child run survived"; done
losetup -j "$cwork/b.img" 2>/dev/null | grep -q . && fail "the child run left a loop device"
note "a killed run cleaned up its namespaces, mounts, loop device and processes"
echo "PASS"
