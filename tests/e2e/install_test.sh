#!/usr/bin/env bash
# Installs the build tree into a temporary prefix; a C program built through
# pkg-config and a CMake project through find_package(Tivlo) must link and
# run, and the installed programs find the library on their own.
set -euo pipefail
build=$1
for cmd in cc pkg-config cmake; do command -v "$cmd" >/dev/null || { echo "SKIPPED: '$cmd' is missing"; exit 77; }; done
tmp=$(mktemp -d) && prefix="$tmp/prefix"
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
quiet() { "$@" >"$tmp/log" 2>&1 || { cat "$tmp/log"; fail "$*"; }; }

quiet cmake --install "$build" --prefix "$prefix"
for f in include/tivlo/tivlo.h bin/tivlo-send bin/tivlo-recv lib/systemd/system/tivlo-recv.service \
         share/man/man1/tivlo-send.1 share/man/man1/tivlo-recv.1 share/man/man3/libtivlo.3; do
  [ -e "$prefix/$f" ] || fail "$f was not installed"
done
pc=$(find "$prefix" -name tivlo.pc) && libdir=$(dirname "$(dirname "$pc")")
ls "$libdir"/libtivlo.so* >/dev/null || fail "no libtivlo.so in $libdir"
grep -q "^ExecStart=$prefix/bin/tivlo-recv " "$prefix/lib/systemd/system/tivlo-recv.service" ||
  fail "the unit does not start the installed tivlo-recv"

# A host of the library in plain C: a window, the error report of a sender
# that never started, and the receiver's no-op export.
mkdir "$tmp/consumer"
cat >"$tmp/consumer/consumer.c" <<'C'
#include <stdio.h>
#include <tivlo/tivlo.h>
static void proc(void* c, uint32_t m, uintptr_t w, intptr_t l) { (void)c; (void)m; (void)w; (void)l; }
int main(void) {
    uint32_t info[401] = {12345};
    TivloWindow window = TivloCreateWindow(proc, NULL);
    if (window == 0 || GetErrInfo(info) != 0 || info[0] != 0 || StopReceive() != 1 || TivloDestroyWindow(window) != 1)
        return 1;
    puts("consumer ok");
    return 0;
}
C
export PKG_CONFIG_PATH="$(dirname "$pc")"
quiet cc -std=c11 -Wall -Werror -o "$tmp/consumer-pc" "$tmp/consumer/consumer.c" $(pkg-config --cflags --libs tivlo) \
  -Wl,-rpath,"$libdir"
"$tmp/consumer-pc" | grep -q 'consumer ok' || fail "the pkg-config consumer did not run"

cat >"$tmp/consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(Tivlo 0 REQUIRED)
add_executable(consumer consumer.c)
target_link_libraries(consumer PRIVATE Tivlo::tivlo)
CM
quiet cmake -S "$tmp/consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix"
quiet cmake --build "$tmp/cmake-build"
"$tmp/cmake-build/consumer" | grep -q 'consumer ok' || fail "the CMake consumer did not run"

# The installed programs find the installed library by themselves.
for p in send recv; do env -u LD_LIBRARY_PATH "$prefix/bin/tivlo-$p" --version | grep -q "^tivlo-$p (Tivlo) " || fail $p; done
echo PASS
