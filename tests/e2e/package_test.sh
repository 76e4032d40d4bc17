#!/usr/bin/env bash
# Builds the Debian package and installs it in a clean root of this machine's
# release (debootstrap minbase with man-db, kept as a tarball in the build
# directory): the programs run, the manual pages render, the account, folder
# and conffile exist, the service stays disabled; a purge leaves nothing.
set -euo pipefail
build=$1
skip() { echo "SKIPPED: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "needs root (chroot, dpkg)"
for cmd in cpack dpkg-deb dpkg-shlibdeps debootstrap chroot; do command -v "$cmd" >/dev/null || skip "'$cmd' is missing"; done
. /etc/os-release
cache=$build/package-root/$VERSION_CODENAME-minbase.tar
work=$(mktemp -d /var/tmp/tivlo-package.XXXXXX)
trap 'rm -rf --one-file-system "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
start=$SECONDS

(cd "$build" && cpack -G DEB -B "$work/deb") >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/deb/tivlo_*.deb)
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no dependency on libc6: $(dpkg-deb -f "$deb" Depends)"

if [ ! -s "$cache" ]; then
  mkdir -p "$(dirname "$cache")"
  debootstrap --variant=minbase --include=man-db "$VERSION_CODENAME" "$work/boot" >"$work/boot.log" 2>&1 ||
    { tail -20 "$work/boot.log"; fail "debootstrap $VERSION_CODENAME"; }
  tar -C "$work/boot" -cf "$cache.part" . && mv "$cache.part" "$cache"
  echo "clean root made with debootstrap in $((SECONDS - start)) s"
fi
root=$work/root && mkdir "$root" && tar -C "$root" -xf "$cache"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"; }
# Every path of the root, less what dpkg, man-db, adduser's lock and the
# account files keep for themselves.
paths() { (cd "$root" && find . -xdev | grep -Ev '^\./(var/(lib/dpkg|cache|log)|tmp|run)(/|$)|^\./etc/(passwd|group|shadow|gshadow|subuid|subgid)-?$' | sort); }
paths >"$work/before"

cp "$deb" "$root/tmp/tivlo.deb"
in_root dpkg -i /tmp/tivlo.deb >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "dpkg -i"; }
rm "$root/tmp/tivlo.deb"
for p in send recv; do in_root tivlo-$p --version | grep -q "^tivlo-$p (Tivlo) " || fail "tivlo-$p --version"; done
in_root man -P cat tivlo-send 2>&1 | grep -q -- '--json' || fail "man tivlo-send does not render"
in_root man -P cat 3 libtivlo 2>&1 | grep -q 'GetErrInfo' || fail "man 3 libtivlo does not render"
in_root getent passwd tivlo >/dev/null || fail "no account tivlo"
[ "$(in_root stat -c %U /srv/tivlo)" = tivlo ] || fail "/srv/tivlo is not the account's"
in_root dpkg-query -W -f '${Conffiles}' tivlo | grep -q '/etc/default/tivlo-recv' || fail "no conffile"
grep -q '^TIVLO_RECV_ALLOW=/srv/tivlo$' "$root/etc/default/tivlo-recv" || fail "default settings"
grep -q '^ExecStart=/usr/bin/tivlo-recv' "$root/usr/lib/systemd/system/tivlo-recv.service" || fail "unit"
# The folders of the settings become the unit's writable ones.
printf 'TIVLO_RECV_OPTIONS="--allow /srv/b --port 27101"\n' >>"$root/etc/default/tivlo-recv"
in_root /usr/lib/systemd/system-generators/tivlo-recv-generator /tmp/gen || fail "the generator failed"
grep -qx 'ReadWritePaths=-/srv/tivlo -/srv/b' "$root/tmp/gen/tivlo-recv.service.d/50-allowed-folders.conf" ||
  fail "the generator's drop-in: $(cat "$root"/tmp/gen/*/*)"
[ -z "$(find "$root/etc/systemd" -name 'tivlo*' 2>/dev/null)" ] || fail "the service was enabled"

in_root dpkg --purge tivlo >"$work/purge.log" 2>&1 || { cat "$work/purge.log"; fail "dpkg --purge"; }
left=$(paths | comm -13 "$work/before" -)
[ -z "$left" ] || fail "left after the purge: $left"
echo "PASS in $((SECONDS - start)) s: $(basename "$deb") installed, used and purged in a clean $VERSION_CODENAME root"
