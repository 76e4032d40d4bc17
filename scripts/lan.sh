# Namespace hosts for end-to-end runs, sourced by scripts/demo.sh, the
# end-to-end scenarios (tests/e2e) and the namespace bench (bench/namespace). Each host is a network namespace with a veth into a bridge
# in a hub namespace, so no packet of a run reaches a real interface; each
# program runs in a mount namespace with its host's folder bound over the
# common target path. All a run makes carries the prefix tve<pid>: the EXIT
# trap removes it, and e2e_setup removes what dead runs left behind.
E2E_PREFIX="tve$$"
E2E_BASE="${TIVLO_E2E_WORKDIR:-/var/tmp/tivlo-e2e}"
E2E_WORK="$E2E_BASE/$E2E_PREFIX"
E2E_HUB="$E2E_PREFIX-hub"
E2E_TARGET="$E2E_WORK/target" # the path every receiver writes to
E2E_PIDS=() E2E_MOUNTS=() E2E_NAMESPACES=() E2E_SETUP_DONE=0
declare -A HOST_NS HOST_IP HOST_DIR HOST_LOG
note() { printf '[e2e %(%T)T] %s\n' -1 "$*"; }
skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAIL: $*"; exit 1; }

# Exits with 77 and the reason when this machine cannot run namespace hosts.
e2e_requirements() {
  [ "$(id -u)" = 0 ] || skip "needs root (network namespaces, mounts, nftables)"
  local cmd
  for cmd in ip nft unshare losetup mkfs.ext4 diff cmp findmnt jq; do command -v $cmd >/dev/null || skip "no $cmd"; done
  [ -x "${TIVLO_SEND:-}" ] && [ -x "${TIVLO_RECV:-}" ] || skip "TIVLO_SEND and TIVLO_RECV must name the programs"
  unshare -n sh -c 'ip link set lo up && nft add table inet probe && unshare -m --propagation private true' 2>/dev/null ||
    skip "network namespaces, nftables in them or 'unshare -m' do not work here"
}

# Removes the namespaces, mounts and folders of runs whose process (the pid
# in the prefix) is gone.
e2e_remove_stale() {
  local x pid
  for x in $(ip netns list | grep -oE '^tve[0-9]+-[^ ]+'); do
    pid=${x#tve}
    kill -0 "${pid%%-*}" 2>/dev/null || { ip netns pids "$x" | xargs -r kill -KILL; ip netns del "$x"; }
  done
  for x in "$E2E_BASE"/tve*; do
    [ -d "$x" ] && ! kill -0 "${x##*/tve}" 2>/dev/null || continue
    findmnt -rn -o TARGET | grep "^$x/" | xargs -r -n1 umount -l
    rm -rf --one-file-system "$x"
  done
}

# Creates the work folder and the hub with its bridge; installs the cleanup.
e2e_setup() {
  e2e_requirements
  e2e_remove_stale
  trap e2e_cleanup EXIT && trap 'exit 130' INT && trap 'exit 143' TERM && E2E_SETUP_DONE=1
  mkdir -p "$E2E_WORK/hosts" "$E2E_TARGET" "$E2E_WORK/logs" || fail "cannot create $E2E_WORK"
  [[ ! $(stat -f -c %T "$E2E_WORK") =~ ^(tmpfs|ramfs)$ ]] || skip "$E2E_WORK is in memory; receivers need a disk (TIVLO_E2E_WORKDIR)"
  ip netns add "$E2E_HUB" && E2E_NAMESPACES+=("$E2E_HUB") || fail "cannot add namespace $E2E_HUB"
  # No IGMP snooping: the bridge floods multicast to every port, like a plain
  # switch without a querier.
  ip -n "$E2E_HUB" link add br0 type bridge mcast_snooping 0 && ip -n "$E2E_HUB" link set br0 up || fail "no bridge"
}

# host_add NAME N: a host with 10.99.0.N/24 and the multicast route on eth0.
host_add() {
  local ns="$E2E_PREFIX-$1"
  ip netns add "$ns" && E2E_NAMESPACES+=("$ns") || fail "cannot add namespace $ns"
  ip -n "$E2E_HUB" link add "v$2" type veth peer name eth0 netns "$ns" && ip -n "$E2E_HUB" link set "v$2" master br0 up &&
    ip -n "$ns" link set lo up && ip -n "$ns" addr add "10.99.0.$2/24" dev eth0 && ip -n "$ns" link set eth0 up &&
    ip -n "$ns" route add 224.0.0.0/4 dev eth0 || fail "cannot set up the network of $1"
  ! ip -n "$ns" route get 8.8.8.8 >/dev/null 2>&1 || fail "host $1 has a route out of the run"
  HOST_NS[$1]=$ns HOST_IP[$1]=10.99.0.$2 HOST_DIR[$1]=$E2E_WORK/hosts/$1
  mkdir -p "${HOST_DIR[$1]}"
}

# host_drop NAME TABLE PRIORITY MATCH: the host drops, and counts, the
# multicast datagrams that reach it and match the nft expression MATCH.
host_drop() {
  ip netns exec "${HOST_NS[$1]}" nft -f - <<<"table inet $2 { chain input {
    type filter hook input priority $3; ip daddr 224.0.0.0/4 $4 counter drop; }; }" || fail "cannot add $2 on $1"
}
# host_loss NAME PERCENT [data]: drops PERCENT % at random, but never the
# sender's heartbeat (three Reports in a row, 5 s apart, are lost on no real
# network, and they would make the receiver give up); with "data", only Data
# blocks (type 11), so the control packets of the task always arrive.
host_loss() {
  local match="udp dport != 28000"
  [ "${3:-}" = data ] && match="meta l4proto udp @th,64,24 0x91020b"
  [ "$2" -lt 100 ] && match+=" numgen random mod 100 < $2"
  host_drop "$1" tivlo_loss 0 "$match"
}
# host_drop_first_collect NAME: the host misses the first Collect (31 bytes:
# the quota lets one through to the drop), so it joins after the others.
host_drop_first_collect() { host_drop "$1" tivlo_order -10 "meta l4proto udp @th,64,24 0x910201 quota until 32 bytes"; }
# host_dropped NAME TABLE: the datagrams the host's rule dropped so far.
host_dropped() { ip netns exec "${HOST_NS[$1]}" nft list table inet "$2" | sed -n 's/.*counter packets \([0-9]*\).*/\1/p'; }

# host_small_disk NAME MB: the host's folder becomes an ext4 file system of MB
# megabytes, in an image file in the work folder.
host_small_disk() {
  local image="$E2E_WORK/$1.img" dir="$E2E_WORK/disks/$1"
  mkdir -p "$dir" && truncate -s "$2M" "$image" && mkfs.ext4 -q -F -m 0 "$image" >/dev/null 2>&1 || fail "no $image"
  mount -o loop "$image" "$dir" 2>/dev/null || skip "cannot mount a loop device here"
  E2E_MOUNTS+=("$dir") && HOST_DIR[$1]=$dir
}

# host_start NAME LOG PROGRAM ARGS...: runs a program on a host in the
# background, with the host's folder bound over the target path (and the file
# $E2E_HOSTS over /etc/hosts when set); its pid goes to E2E_LAST_PID, its
# output to logs/LOG.log (standard output to $E2E_STDOUT when set).
host_start() {
  local name=$1
  HOST_LOG[$name]="$E2E_WORK/logs/$2.log"
  shift 2
  rm -f "${HOST_LOG[$name]}" "${E2E_STDOUT:-}" # so that nothing of an earlier run is read
  ip netns exec "${HOST_NS[$name]}" unshare -m --propagation private sh -c '
    mount --bind "$1" "$2" && { [ -z "$4" ] || mount --bind "$4" /etc/hosts; } || exit 70
    out=${3:-/dev/stdout}; shift 4; exec "$@" >>"$out"' sh \
    "${HOST_DIR[$name]}" "$E2E_TARGET" "${E2E_STDOUT:-}" "${E2E_HOSTS:-}" "$@" </dev/null >"${HOST_LOG[$name]}" 2>&1 &
  E2E_LAST_PID=$! && E2E_PIDS+=("$E2E_LAST_PID")
}

# wait_for_line FILE PATTERN SECONDS: true once FILE has a line matching the
# extended regular expression PATTERN.
wait_for_line() {
  local deadline=$((SECONDS + $3))
  until grep -Eq -- "$2" "$1" 2>/dev/null; do [ $SECONDS -lt $deadline ] && sleep 0.1 || return 1; done
}

# wait_exit PID SECONDS: waits for a process of this run; E2E_STATUS is its
# exit status, or 124 once it was killed for not ending in time.
wait_exit() {
  local deadline=$((SECONDS + $2))
  while kill -0 "$1" 2>/dev/null && [ $SECONDS -lt $deadline ]; do sleep 0.1; done
  if kill -0 "$1" 2>/dev/null; then kill -KILL "$1"; wait "$1" 2>/dev/null; E2E_STATUS=124; return 1; fi
  wait "$1" 2>/dev/null
  E2E_STATUS=$?
}

# verify_copy NAME SOURCE: the host's folder holds exactly a copy of the
# directory SOURCE under its own name (contents byte for byte, empty files and
# folders included) and nothing else.
verify_copy() {
  local dir=${HOST_DIR[$1]} base=${2##*/}
  diff -r --no-dereference "$2" "$dir/$base" >"$E2E_WORK/diff-$1.txt" 2>&1 ||
    { echo "$1: the copy differs:" && head -n 20 "$E2E_WORK/diff-$1.txt" && return 1; }
  ! ls -A "$dir" | grep -vx -e "$base" -e lost+found || { echo "$1: more than the copy"; return 1; }
}

e2e_cleanup() {
  local status=$? x
  trap - EXIT INT TERM
  [ "$E2E_SETUP_DONE" = 1 ] || exit "$status"
  [[ $status =~ ^(0|77)$ ]] || for x in "$E2E_WORK"/logs/*; do echo "----- ${x##*/}" && tail -n 60 "$x"; done
  for x in "${E2E_PIDS[@]}"; do kill -TERM "$x" 2>/dev/null; done
  sleep 0.5
  # Whatever is still in the run's namespaces was started by it.
  for x in "${E2E_NAMESPACES[@]}"; do
    ip netns pids "$x" | xargs -r kill -KILL
    ip netns del "$x"
  done
  [ ${#E2E_PIDS[@]} = 0 ] || wait "${E2E_PIDS[@]}" 2>/dev/null
  for ((x = ${#E2E_MOUNTS[@]} - 1; x >= 0; x--)); do umount "${E2E_MOUNTS[x]}" || umount -l "${E2E_MOUNTS[x]}"; done
  [ "${TIVLO_E2E_KEEP:-0}" = 1 ] && echo "work folder kept: $E2E_WORK" || rm -rf --one-file-system "$E2E_WORK"
  rmdir "$E2E_BASE" 2>/dev/null
  exit "$status"
}
