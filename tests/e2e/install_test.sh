#!/usr/bin/env bash
# Installs the build tree into a temporary prefix and builds two consumers
# against it: a C program through pkg-config, and a CMake project through
# find_package(Tivlo) and Tivlo::tivlo. Both must link and run, and the
# installed programs must find the library on their own.
set -euo pipefail
build=$1
for cmd in cc pkg-config cmake; do
  command -v "$cmd" >/dev/null || { echo "SKIPPED: '$cmd' is missing"; exit 77; }
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/prefix"

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" || { cat "$tmp/install.log"; exit 1; }

for f in include/tivlo/tivlo.h bin/tivlo-send bin/tivlo-recv lib/systemd/system/tivlo-recv.service \
         share/man/man1/tivlo-send.1 share/man/man1/tivlo-recv.1 share/man/man3/libtivlo.3; do
  [ -e "$prefix/$f" ] || { echo "FAIL: $f was not installed"; exit 1; }
done
pc=$(find "$prefix" -name tivlo.pc)
[ -n "$pc" ] || { echo "FAIL: tivlo.pc was not installed"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")
ls "$libdir"/libtivlo.so* >/dev/null || { echo "FAIL: no libtivlo.so in $libdir"; exit 1; }
grep -q "^ExecStart=$prefix/bin/tivlo-recv " "$prefix/lib/systemd/system/tivlo-recv.service" ||
  { echo "FAIL: the unit does not start the installed tivlo-recv"; exit 1; }

# A host of the library in plain C: a window, the error report of a sender
# that never started, and the receiver's no-op export.
cat >"$tmp/consumer.c" <<'C'
#include <stdio.h>
#include <tivlo/tivlo.h>

static void proc(void* context, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    (void)context; (void)message; (void)wParam; (void)lParam;
}

int main(void) {
    uint32_t info[401];
    info[0] = 12345;
    TivloWindow window = TivloCreateWindow(proc, NULL);
    if (window == 0) { puts("no window"); return 1; }
    if (GetErrInfo(info) != 0 || info[0] != 0) { puts("GetErrInfo reported receivers"); return 1; }
    if (StopReceive() != 1) { puts("StopReceive failed"); return 1; }
    if (TivloDestroyWindow(window) != 1) { puts("window not destroyed"); return 1; }
    puts("consumer ok");
    return 0;
}
C

export PKG_CONFIG_PATH="$(dirname "$pc")"
pkg-config --exists tivlo || { echo "FAIL: pkg-config does not find tivlo"; exit 1; }
[ "$(pkg-config --modversion tivlo)" != "" ]
# shellcheck disable=SC2046
cc -std=c11 -Wall -Werror -o "$tmp/consumer-pc" "$tmp/consumer.c" $(pkg-config --cflags --libs tivlo) \
  -Wl,-rpath,"$libdir"
"$tmp/consumer-pc" | grep -q 'consumer ok' || { echo "FAIL: the pkg-config consumer did not run"; exit 1; }

mkdir "$tmp/cmake-consumer"
cp "$tmp/consumer.c" "$tmp/cmake-consumer/"
cat >"$tmp/cmake-consumer/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.16)
project(consumer C)
find_package(Tivlo 0 REQUIRED)
add_executable(consumer consumer.c)
target_link_libraries(consumer PRIVATE Tivlo::tivlo)
CM
cmake -S "$tmp/cmake-consumer" -B "$tmp/cmake-build" -DCMAKE_PREFIX_PATH="$prefix" >"$tmp/cmake.log" 2>&1 ||
  { cat "$tmp/cmake.log"; echo "FAIL: find_package(Tivlo) failed"; exit 1; }
cmake --build "$tmp/cmake-build" >"$tmp/cmake-build.log" 2>&1 ||
  { cat "$tmp/cmake-build.log"; echo "FAIL: the CMake consumer did not build"; exit 1; }
"$tmp/cmake-build/consumer" | grep -q 'consumer ok' || { echo "FAIL: the CMake consumer did not run"; exit 1; }

# The installed programs find the installed library by themselves.
env -u LD_LIBRARY_PATH "$prefix/bin/tivlo-send" --version | grep -q '^tivlo-send (Tivlo) ' ||
  { echo "FAIL: the installed tivlo-send does not run"; exit 1; }
env -u LD_LIBRARY_PATH "$prefix/bin/tivlo-recv" --help | grep -q '^Usage: tivlo-recv' ||
  { echo "FAIL: the installed tivlo-recv does not run"; exit 1; }
echo PASS
