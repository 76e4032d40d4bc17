# Namespace hosts for end-to-end runs of tivlo-send and tivlo-recv.
#
# Sourced by the scenarios and by scripts/demo.sh. Every host is a network
# namespace with a veth into a bridge that lives in a hub namespace of its own,
# so no packet of a run ever reaches the machine's real interfaces. Each
# receiver runs in a mount namespace of its own where its per-host folder is
# bound over the common target path, so all receivers write "the same" path.
#
# Everything a run creates carries the prefix tve<pid>: namespaces, the work
# folder, mounts. e2e_cleanup (installed as the EXIT trap by e2e_setup)
# removes all of it, and e2e_setup removes what runs that died left behind.
#
# Needs: bash, iproute2, nftables, util-linux (unshare, mount), e2fsprogs,
# diffutils, jq; root.

E2E_PREFIX="tve$$"
E2E_BASE="${TIVLO_E2E_WORKDIR:-/var/tmp/tivlo-e2e}"
E2E_WORK="$E2E_BASE/$E2E_PREFIX"
E2E_HUB="$E2E_PREFIX-hub"
E2E_TARGET="$E2E_WORK/target"   # the path every receiver writes to
E2E_PIDS=()                     # every process this run started
E2E_MOUNTS=()                   # loop mounts made in the root namespace
E2E_NAMESPACES=()
E2E_KEEP="${TIVLO_E2E_KEEP:-0}"
declare -A HOST_NS HOST_IP HOST_DIR HOST_LOG
E2E_SETUP_DONE=0

note() { printf '[e2e %(%T)T] %s\n' -1 "$*"; }
skip() { echo "SKIPPED: $*"; exit 77; }
fail() {
  echo "FAIL: $*"
  E2E_FAILED=1
  exit 1
}

# Exits with 77 and the reason when this machine cannot run namespace hosts.
e2e_requirements() {
  [ "$(id -u)" = 0 ] || skip "needs root (network namespaces, mounts, nftables)"
  local cmd
  for cmd in ip nft unshare mount umount losetup mkfs.ext4 diff cmp truncate findmnt jq; do
    command -v "$cmd" >/dev/null 2>&1 || skip "command '$cmd' is missing"
  done
  [ -x "${TIVLO_SEND:-}" ] || skip "TIVLO_SEND does not name the tivlo-send program"
  [ -x "${TIVLO_RECV:-}" ] || skip "TIVLO_RECV does not name the tivlo-recv program"
  local probe="$E2E_PREFIX-probe"
  ip netns add "$probe" 2>/dev/null || skip "'ip netns add' does not work here"
  local ok=1 why=""
  ip netns exec "$probe" ip link set lo up 2>/dev/null || { ok=0; why="cannot configure a namespace"; }
  if [ $ok = 1 ] && ! ip netns exec "$probe" nft add table inet probe 2>/dev/null; then
    ok=0; why="nftables does not work inside a network namespace"
  fi
  if [ $ok = 1 ] && ! ip netns exec "$probe" unshare -m --propagation private true 2>/dev/null; then
    ok=0; why="'unshare -m' does not work"
  fi
  ip netns del "$probe" 2>/dev/null
  [ $ok = 1 ] || skip "$why"
}

# Removes what runs of this harness left behind when they died: namespaces
# and mounts whose run (the pid in the prefix) no longer exists.
e2e_remove_stale() {
  local ns pid m
  for ns in $(ip netns list 2>/dev/null | awk '{print $1}' | grep -E '^tve[0-9]+-' || true); do
    pid=${ns#tve}; pid=${pid%%-*}
    if ! kill -0 "$pid" 2>/dev/null; then
      for m in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$m" 2>/dev/null; done
      ip netns del "$ns" 2>/dev/null
    fi
  done
  [ -d "$E2E_BASE" ] || return 0
  for m in $(findmnt -rn -o TARGET | grep -E "^$E2E_BASE/tve[0-9]+/" || true); do
    pid=${m#"$E2E_BASE"/tve}; pid=${pid%%/*}
    kill -0 "$pid" 2>/dev/null || umount -l "$m" 2>/dev/null
  done
  for m in "$E2E_BASE"/tve*; do
    [ -d "$m" ] || continue
    pid=${m##*/tve}
    if ! kill -0 "$pid" 2>/dev/null && ! findmnt -rn -o TARGET | grep -q "^$m/"; then
      rm -rf "$m"
    fi
  done
}

# Creates the work folder and the hub with its bridge; installs the cleanup.
e2e_setup() {
  e2e_requirements
  e2e_remove_stale
  trap e2e_cleanup EXIT
  trap 'exit 130' INT
  trap 'exit 143' TERM
  E2E_SETUP_DONE=1
  mkdir -p "$E2E_WORK/hosts" "$E2E_TARGET" "$E2E_WORK/logs" || fail "cannot create $E2E_WORK"
  local fstype
  fstype=$(stat -f -c %T "$E2E_WORK")
  case "$fstype" in
    tmpfs|ramfs) skip "the work folder $E2E_WORK is on $fstype; receivers need a disk (set TIVLO_E2E_WORKDIR)" ;;
  esac
  ip netns add "$E2E_HUB" || fail "cannot add namespace $E2E_HUB"
  E2E_NAMESPACES+=("$E2E_HUB")
  ip -n "$E2E_HUB" link set lo up
  ip -n "$E2E_HUB" link add br0 type bridge
  # No IGMP snooping: the bridge floods multicast to every port, like a
  # plain switch without a querier.
  ip -n "$E2E_HUB" link set br0 type bridge mcast_snooping 0 2>/dev/null || true
  ip -n "$E2E_HUB" link set br0 up
}

# host_add NAME N: a host with address 10.99.0.N/24 on its eth0, lo up, and a
# route for multicast on eth0.
host_add() {
  local name=$1 n=$2
  local ns="$E2E_PREFIX-$name"
  ip netns add "$ns" || fail "cannot add namespace $ns"
  E2E_NAMESPACES+=("$ns")
  ip -n "$E2E_HUB" link add "v$n" type veth peer name eth0 netns "$ns" || fail "cannot add veth for $name"
  ip -n "$E2E_HUB" link set "v$n" master br0 up
  ip -n "$ns" link set lo up
  ip -n "$ns" addr add "10.99.0.$n/24" dev eth0
  ip -n "$ns" link set eth0 up
  ip -n "$ns" route add 224.0.0.0/4 dev eth0
  HOST_NS[$name]=$ns
  HOST_IP[$name]="10.99.0.$n"
  HOST_DIR[$name]="$E2E_WORK/hosts/$name"
  mkdir -p "${HOST_DIR[$name]}"
}

# host_loss NAME PERCENT [data]: drops PERCENT % of the multicast datagrams
# that reach the host, at random; with "data", only Data blocks (packet type
# 11), so the control packets of the task always arrive.
host_loss() {
  local name=$1 percent=$2 what=${3:-all}
  local match="ip daddr 224.0.0.0/4"
  [ "$what" = data ] && match="$match meta l4proto udp @th,64,24 0x91020b"
  [ "$percent" -lt 100 ] && match="$match numgen random mod 100 < $percent"
  ip netns exec "${HOST_NS[$name]}" nft -f - <<EOF || fail "cannot add the loss rule on $name"
table inet tivlo_loss {
  chain input {
    type filter hook input priority 0; policy accept;
    $match counter drop
  }
}
EOF
}

# host_drop_first_collect NAME: the host misses the sender's first Collect,
# so it joins after the hosts that answer it.
host_drop_first_collect() {
  local name=$1
  # A Collect is 31 bytes on the wire; the quota lets exactly one through
  # to the drop.
  ip netns exec "${HOST_NS[$name]}" nft -f - <<EOF || fail "cannot add the collect rule on $name"
table inet tivlo_order {
  chain input {
    type filter hook input priority -10; policy accept;
    ip daddr 224.0.0.0/4 meta l4proto udp @th,64,24 0x910201 quota until 32 bytes counter drop
  }
}
EOF
}

# host_counter NAME TABLE: the packets a host's rule dropped so far.
host_dropped() {
  local name=$1 table=$2
  ip netns exec "${HOST_NS[$name]}" nft list table inet "$table" 2>/dev/null |
    sed -n 's/.*counter packets \([0-9]*\).*/\1/p' | head -n1
}

# host_small_disk NAME SIZE_MB: the host's folder becomes an ext4 file
# system of SIZE_MB, in an image file in the work folder.
host_small_disk() {
  local name=$1 size=$2
  local image="$E2E_WORK/$name.img" dir="$E2E_WORK/disks/$name"
  mkdir -p "$dir"
  truncate -s "${size}M" "$image" || fail "cannot create $image"
  mkfs.ext4 -q -F -m 0 "$image" >/dev/null 2>&1 || fail "mkfs.ext4 failed on $image"
  mount -o loop "$image" "$dir" 2>/dev/null || skip "cannot mount a loop device here"
  E2E_MOUNTS+=("$dir")
  HOST_DIR[$name]=$dir
}

# host_start NAME LOG [VAR=VALUE...] PROGRAM ARGS...: starts a program on a
# host in the background, in a mount namespace of its own with the host's
# folder bound over the target path. Leaves its pid in E2E_LAST_PID. Its
# output goes to the log; with E2E_STDOUT set, standard output goes there.
host_start() {
  local name=$1 log=$2
  shift 2
  local envs=()
  while [ $# -gt 0 ] && [[ $1 == *=* ]]; do envs+=("$1"); shift; done
  HOST_LOG[$name]="$E2E_WORK/logs/$log.log"
  ip netns exec "${HOST_NS[$name]}" unshare -m --propagation private \
    env "${envs[@]}" sh -c 'mount --bind "$1" "$2" || exit 70; out=$3; shift 3
      if [ -n "$out" ]; then exec "$@" >"$out"; else exec "$@"; fi' sh \
    "${HOST_DIR[$name]}" "$E2E_TARGET" "${E2E_STDOUT:-}" "$@" </dev/null >"${HOST_LOG[$name]}" 2>&1 &
  E2E_LAST_PID=$!
  E2E_PIDS+=("$E2E_LAST_PID")
}

# wait_for_line FILE PATTERN SECONDS: true once FILE holds a line matching
# the extended regular expression PATTERN.
wait_for_line() {
  local file=$1 pattern=$2 seconds=$3
  local deadline=$((SECONDS + seconds))
  while [ $SECONDS -lt "$deadline" ]; do
    grep -Eq -- "$pattern" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# wait_exit PID SECONDS: waits for a process of this run and sets
# E2E_STATUS to its exit status, or to 124 after killing it when it did not
# end in time.
wait_exit() {
  local pid=$1 seconds=$2
  local deadline=$((SECONDS + seconds))
  while kill -0 "$pid" 2>/dev/null; do
    if [ $SECONDS -ge "$deadline" ]; then
      kill -KILL "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
      E2E_STATUS=124
      return 1
    fi
    sleep 0.1
  done
  wait "$pid" 2>/dev/null
  E2E_STATUS=$?
  return 0
}

# verify_copy NAME SOURCE: the host's folder holds exactly a copy of the
# directory SOURCE under SOURCE's own name (file contents byte for byte,
# empty files and empty directories included), and nothing else.
verify_copy() {
  local name=$1 source=$2
  local copy="${HOST_DIR[$name]}/$(basename "$source")"
  [ -d "$copy" ] || { echo "$name: $copy is missing"; return 1; }
  if ! diff -r --no-dereference "$source" "$copy" >"$E2E_WORK/diff-$name.txt" 2>&1; then
    echo "$name: the copy differs from the source:"
    head -n 20 "$E2E_WORK/diff-$name.txt"
    return 1
  fi
  local extra
  extra=$(cd "${HOST_DIR[$name]}" && ls -A | grep -vx -e "$(basename "$source")" -e lost+found || true)
  if [ -n "$extra" ]; then
    echo "$name: unexpected entries beside the copy: $extra"
    return 1
  fi
  return 0
}

# Prints every log of the run (on failure, for the test's output).
e2e_dump_logs() {
  local f
  for f in "$E2E_WORK"/logs/*.log; do
    [ -f "$f" ] || continue
    echo "----- ${f##*/}"
    tail -n 60 "$f"
  done
}

e2e_cleanup() {
  local status=$?
  trap - EXIT INT TERM
  [ "$E2E_SETUP_DONE" = 1 ] || exit "$status"
  if [ "$status" != 0 ] && [ "$status" != 77 ]; then e2e_dump_logs; fi
  local pid ns m
  for pid in "${E2E_PIDS[@]}"; do kill -TERM "$pid" 2>/dev/null; done
  for pid in "${E2E_PIDS[@]}"; do
    for _ in 1 2 3 4 5 6 7 8 9 10; do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  # Anything still inside our namespaces was started by this run.
  for ns in "${E2E_NAMESPACES[@]}"; do
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null; done
  done
  for ns in "${E2E_NAMESPACES[@]}"; do ip netns del "$ns" 2>/dev/null; done
  for ((m = ${#E2E_MOUNTS[@]} - 1; m >= 0; m--)); do
    umount "${E2E_MOUNTS[m]}" 2>/dev/null || umount -l "${E2E_MOUNTS[m]}" 2>/dev/null
  done
  if [ "$E2E_KEEP" = 1 ]; then
    echo "work folder kept: $E2E_WORK"
  else
    rm -rf "$E2E_WORK"
    rmdir "$E2E_BASE" 2>/dev/null
  fi
  exit "$status"
}
