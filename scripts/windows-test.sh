#!/usr/bin/env bash
# The Windows build of Tivlo: cross-builds tivlo.dll, tivlo-send.exe and
# tivlo-recv.exe for x86_64 and i686 with MinGW-w64, checks both export
# tables, runs the cross-built tests under Wine (a fresh prefix, headless),
# and has the Windows programs and the Linux programs copy files to each
# other in a network namespace of its own (lo only, 127.0.0.1 as the
# interface: nothing leaves the machine).
#
# Build directories: build-win64, build-win32 (the DLL only) and
# build-windows-native (the Linux tools tivlo-send and tivlo-recv; set
# TIVLO_NATIVE_BUILD to a build directory that already has them to skip it).
# Needs root for the packages and the namespace.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
jobs=${TIVLO_JOBS:-2}
start=$SECONDS

step() { echo "== windows: $* ($((SECONDS - start)) s)"; }
fail() { echo "windows-test: FAIL: $*" >&2; exit 1; }

# ---- Packages ----------------------------------------------------------------
wine_bin() { command -v wine64 || { [ -x /usr/lib/wine/wine64 ] && echo /usr/lib/wine/wine64; } || true; }
if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null || ! command -v i686-w64-mingw32-g++-posix >/dev/null ||
   [ -z "$(wine_bin)" ]; then
  [ "$(id -u)" = 0 ] || fail "install g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 (or run as root)"
  step "installing MinGW-w64 and Wine"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine64 >/dev/null
fi
wine=$(wine_bin)
wineserver=$(dirname "$wine")/wineserver
command -v wineserver >/dev/null && wineserver=$(command -v wineserver)
[ -x "$wineserver" ] || fail "wineserver not found"

# ---- Builds ------------------------------------------------------------------
configure() {  # dir toolchain-or-empty extra...
  local dir=$1 toolchain=$2; shift 2
  local args=(-S "$root" -B "$root/$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DTIVLO_BUILD_TESTS=OFF "$@")
  [ -n "$toolchain" ] && args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$toolchain")
  cmake "${args[@]}" >/dev/null
}
step "cross-building x86_64: tivlo.dll, the programs and the Windows tests"
configure build-win64 mingw-x86_64.cmake -DTIVLO_BUILD_WINDOWS_TESTS=ON
cmake --build build-win64 -j "$jobs" --target tivlo tivlo-send tivlo-recv windows_tests
step "cross-building i686: tivlo.dll and the programs"
configure build-win32 mingw-i686.cmake
cmake --build build-win32 -j "$jobs" --target tivlo tivlo-send tivlo-recv
native=${TIVLO_NATIVE_BUILD:-build-windows-native}
if [ -z "${TIVLO_NATIVE_BUILD:-}" ]; then
  step "building the Linux tools"
  configure "$native" ""
fi
cmake --build "$native" -j "$jobs" --target tivlo-send tivlo-recv

# ---- Export tables ------------------------------------------------------------
# The thirteen names with ordinals 1 to 13 in alphabetical order, our
# Tivlo calls after them, nothing else.
check_exports() {  # dll
  local dump names
  dump=$(x86_64-w64-mingw32-objdump -p "$1")
  grep -q "Ordinal Base[[:space:]]*1$" <<<"$dump" || fail "$1: ordinal base is not 1"
  # "[   0] Name": the index is the ordinal less the base.
  names=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" |
          sed -n 's/^[[:space:]]*\[ *\([0-9]*\)\] \(.*\)$/\1 \2/p')
  local want="0 DeInitClient
1 DeInitServer
2 GetErrInfo
3 GetIsHasInvalidChar
4 InitClient
5 InitServer
6 SetSelectFiles
7 SetSubDirTrans
8 SetTargetPath
9 StartReceive
10 StartSend
11 StopReceive
12 StopSend"
  [ "$(head -n 13 <<<"$names")" = "$want" ] || { echo "$names" >&2; fail "$1: the thirteen exports"; }
  if tail -n +14 <<<"$names" | grep -qv ' Tivlo'; then echo "$names" >&2; fail "$1: an export of another name"; fi
  echo "$1: 13 exports by name with ordinals 1-13, $(($(wc -l <<<"$names") - 13)) Tivlo calls"
}
step "export tables"
check_exports build-win64/src/api/tivlo.dll
check_exports build-win32/src/api/tivlo.dll
[[ "$(x86_64-w64-mingw32-objdump -f build-win32/src/api/tivlo.dll)" == *pei-i386* ]] || fail "win32 DLL is not i386"

# ---- Wine ----------------------------------------------------------------------
work=$(mktemp -d /tmp/tivlo-windows.XXXXXX)
ns=tivlo-win-$$
cleanup() {
  WINEPREFIX=$work/prefix "$wineserver" -k 2>/dev/null || true
  ip netns del "$ns" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
export WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
step "a fresh Wine prefix"
"$wine" wineboot -i >/dev/null 2>&1 || true
"$wine" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1 || true

# A program that cannot start may still exit 0 under Wine: every suite must
# print GoogleTest's pass line and no failure.
run_suite() {  # exe [args...]
  local exe=$1 log=$work/$(basename "$1").log; shift
  if ! timeout 180 "$wine" "$exe" "$@" >"$log" 2>&1; then tail -40 "$log" >&2; fail "$(basename "$exe")"; fi
  grep -q '^\[  PASSED  \]' "$log" && ! grep -q '^\[  FAILED  \]' "$log" || { tail -40 "$log" >&2; fail "$(basename "$exe"): no pass line"; }
  echo "$(basename "$exe"): $(grep '^\[  PASSED  \]' "$log")"
}
step "unit tests under Wine"
tests=build-win64/tests/windows
run_suite $tests/win_test_protocol.exe
run_suite $tests/win_test_platform.exe
run_suite $tests/win_test_win32.exe
run_suite $tests/win_test_api.exe
for tool in send recv; do
  "$wine" build-win64/src/api/tivlo-$tool.exe --version | grep -q "^tivlo-$tool (Tivlo) " || fail "tivlo-$tool.exe --version"
done

# ---- Interoperation --------------------------------------------------------------
[ "$(id -u)" = 0 ] || fail "the interoperation needs root (network namespace)"
step "interoperation in namespace $ns"
ip netns add "$ns"
ip -n "$ns" link set lo up
# Wine's sockets live in its server's namespace: a new server, started inside.
"$wineserver" -k 2>/dev/null || true
"$wineserver" -w 2>/dev/null || true
in_ns() { ip netns exec "$ns" env PATH="$PATH" WINEPREFIX="$WINEPREFIX" WINEDEBUG=-all "$@"; }
winsend=$root/build-win64/src/api/tivlo-send.exe
winrecv=$root/build-win64/src/api/tivlo-recv.exe
recv=$(readlink -f "$native/tools/tivlo-recv")
send=$(readlink -f "$native/tools/tivlo-send")
lo=(--interface 127.0.0.1 --port 27001)

# The files: a few blocks' worth of random bytes, a one-block file, an empty
# file, a sub-directory, an empty directory and a name beyond ASCII.
src=$work/src
mkdir -p "$src/data/sub" "$src/data/emptydir" "$src/data/caf$(printf '\xc3\xa9')"
head -c 300001 /dev/urandom >"$src/data/a.bin"
head -c 4254 /dev/urandom >"$src/data/sub/one-block.bin"
: >"$src/data/empty.txt"
echo "named in UTF-16" >"$src/data/caf$(printf '\xc3\xa9')/note.txt"
winpath() { echo "Z:$(tr / '\\' <<<"$1")"; }
# transfer NAME SENDER... -- RECEIVER...: a receiver with --once --json, once
# it waits, the sender; both must succeed and report it in JSON.
transfer() {
  local name=$1 sender=() receiver=() pid; shift
  while [ "$1" != -- ]; do sender+=("$1"); shift; done
  shift; receiver=("$@")
  in_ns timeout 120 "${receiver[@]}" --once --json "${lo[@]}" >"$work/$name-recv.json" 2>"$work/$name-recv.log" &
  pid=$!
  for _ in $(seq 300); do grep -q '^waiting for a sender' "$work/$name-recv.log" 2>/dev/null && break; sleep 0.1; done
  in_ns timeout 120 "${sender[@]}" --json "${lo[@]}" >"$work/$name-send.json" 2>"$work/$name-send.log" &&
    wait "$pid" && grep -q '"result":"ok".*"receiver_counts":{"joined":1,"complete":1,' "$work/$name-send.json" &&
    grep -q '"outcome":"complete","code":0,"code_name":"OK"' "$work/$name-recv.json" ||
    { tail -n 20 "$work/$name"-* >&2; fail "$name"; }
}

mkdir -p "$work/linux-in" "$WINEPREFIX/drive_c/tivlo-in"
transfer "Windows tivlo-send to Linux tivlo-recv" "$wine" "$winsend" -t "$work/linux-in" "$(winpath "$src/data")" \
  -- "$recv" --allow "$work/linux-in"
diff -r "$src/data" "$work/linux-in/data" || fail "files from the Windows sender differ"
echo "Windows tivlo-send -> Linux tivlo-recv: files identical"
transfer "Linux tivlo-send to Windows tivlo-recv" "$send" -t 'C:\tivlo-in' "$src/data" \
  -- "$wine" "$winrecv" --allow 'C:\tivlo-in'
diff -r "$src/data" "$WINEPREFIX/drive_c/tivlo-in/data" || fail "files at the Windows receiver differ"
echo "Linux tivlo-send -> Windows tivlo-recv: files identical"

step "all Windows checks passed"
