#!/usr/bin/env bash
# Installs what the build and the tests need and a fresh Debian machine may
# lack. Does nothing when everything is there, or when not root.
set -euo pipefail
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
command -v g++ >/dev/null || need+=(g++)
[ -e /usr/include/gtest/gtest.h ] || need+=(libgtest-dev libgmock-dev)
command -v nft >/dev/null || need+=(nftables)
command -v ip >/dev/null || need+=(iproute2)
command -v mkfs.ext4 >/dev/null || need+=(e2fsprogs)
command -v pkg-config >/dev/null || need+=(pkg-config)
# The package test: cpack's dependencies of the programs, a clean root, and
# the JSON checks of the end-to-end scenarios.
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v debootstrap >/dev/null || need+=(debootstrap)
command -v jq >/dev/null || need+=(jq)
# scripts/fuzz.sh: clang and its libFuzzer runtime.
command -v clang++ >/dev/null || need+=(clang)
ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || need+=(libclang-rt-14-dev)
if [ ${#need[@]} -eq 0 ]; then exit 0; fi
if [ "$(id -u)" != 0 ]; then
  echo "missing packages (install them as root): ${need[*]}" >&2
  exit 0
fi
echo "installing: ${need[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
