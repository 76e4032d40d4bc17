#!/usr/bin/env bash
# Command lines that tivlo-send and tivlo-recv must refuse before they touch
# the network (status 2 and the reason), --help and --version. Every call names
# the loopback interface: one accepted by mistake sends nothing off the machine.
set -u
send=$1 recv=$2 failures=0 lo=(--interface 127.0.0.1)
tmp=$(mktemp -d) && trap 'rm -rf "$tmp"' EXIT

# check STATUS PATTERN PROGRAM ARGS...: the program ends with STATUS and its
# output (both streams) matches PATTERN.
check() {
  local out got
  out=$(timeout 10 "${@:3}" 2>&1)
  got=$?
  [ "$got" = "$1" ] && grep -Eq -- "$2" <<<"$out" && return
  echo "FAIL: ${*:3} -> status $got, expected $1 matching '$2'; output:" && sed 's/^/    /' <<<"$out"
  failures=$((failures + 1))
}

mkdir -p "$tmp/a/dir" "$tmp/b" && echo x >"$tmp/a/file" && echo y >"$tmp/b/other" && mkfifo "$tmp/a/fifo"
printf '# room 1\n10.0.0.5\n\n10.0.0.6 10.0.0.7\n' >"$tmp/two-a-line"
f=(--target /srv "$tmp/a/file")

check 0 '^Usage: tivlo-send \[OPTION\]\.\.\. PATH\.\.\.' "$send" --help
check 0 '^Usage: tivlo-recv \[OPTION\]\.\.\.' "$recv" --help
check 0 '^tivlo-send \(Tivlo\) [0-9]+\.[0-9]+\.[0-9]+$' "$send" --version
check 0 '^tivlo-recv \(Tivlo\) [0-9]+\.[0-9]+\.[0-9]+$' "$recv" -V
check 2 'no PATH to send' "$send" "${lo[@]}" --target /srv/in
check 2 'no target' "$send" "${lo[@]}" "$tmp/a/file"
check 2 'only one of --target and --folder' "$send" "${lo[@]}" --folder music "${f[@]}"
check 2 "unknown special folder 'downloads'" "$send" "${lo[@]}" --folder downloads "$tmp/a/file"
check 2 "unknown special folder '4294967295'" "$send" "${lo[@]}" --folder 4294967295 "$tmp/a/file"
check 2 'longer than 259 characters' "$send" "${lo[@]}" --target "/$(printf 'x%.0s' {1..260})" "$tmp/a/file"
check 2 "cannot access '$tmp/a/missing'" "$send" "${lo[@]}" --target /srv "$tmp/a/missing"
check 2 'neither a regular file nor a directory' "$send" "${lo[@]}" --target /srv "$tmp/a/fifo"
check 2 'must lie in one directory' "$send" "${lo[@]}" "${f[@]}" "$tmp/b/other"
check 2 'cannot send the root directory' "$send" "${lo[@]}" --target /srv /
check 2 "invalid multicast group '10.0.0.1'" "$send" "${lo[@]}" --group 10.0.0.1 "${f[@]}"
check 2 "invalid port '65534'" "$send" "${lo[@]}" --port 65534 "${f[@]}"
check 2 "invalid interface address 'eth0'" "$send" --interface eth0 "${f[@]}"
check 2 "an empty address in --expect '10.0.0.5,'" "$send" "${lo[@]}" --expect 10.0.0.5, "${f[@]}"
check 2 "one address or host name a line, not '10.0.0.6 10.0.0.7' \(line 4 of $tmp/two-a-line\)" \
  "$send" "${lo[@]}" --expect-file "$tmp/two-a-line" "${f[@]}"
check 2 "cannot read the list of receivers '$tmp/none'" "$send" "${lo[@]}" --expect-file "$tmp/none" "${f[@]}"
check 2 "invalid number of receivers '0'" "$send" "${lo[@]}" --min-receivers 0 "${f[@]}"
check 2 "invalid wait '1.5'" "$send" "${lo[@]}" --wait 1.5 "${f[@]}"
# Nobody answers (on loopback, a port of its own): the expected receiver is named.
check 2 'failed receiver: 127\.0\.0\.2 never joined' "$send" "${lo[@]}" --port 45990 --expect 127.0.0.2 --wait 1 "${f[@]}"
check 2 "unexpected argument 'extra'" "$recv" "${lo[@]}" --once extra
check 2 "invalid port 'x'" "$recv" "${lo[@]}" --port x
check 2 "invalid multicast group '239.1.1'" "$recv" "${lo[@]}" -g 239.1.1
check 2 "--allow needs an absolute directory, not 'incoming'" "$recv" "${lo[@]}" --allow-root incoming
check 2 '--allow-any and --allow exclude each other' "$recv" "${lo[@]}" --allow-any --allow /srv

[ "$failures" = 0 ] || { echo "$failures command line(s) handled wrongly"; exit 1; }
echo PASS
