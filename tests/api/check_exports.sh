#!/usr/bin/env bash
# Lists the symbols libtivlo.so defines and compares them with the exports.
set -euo pipefail
lib="$1"
expected=$(printf '%s\n' DeInitClient DeInitServer GetErrInfo GetIsHasInvalidChar InitClient \
  InitServer SetSelectFiles SetSubDirTrans SetTargetPath StartReceive StartSend StopReceive StopSend)
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWui]$/ {print $3}' | sed 's/@.*//' | sort -u)
ours=$(grep -vE '^Tivlo' <<<"$actual" || true)
missing=$(comm -23 <(sort <<<"$expected") <(sort <<<"$ours"))
extra=$(comm -13 <(sort <<<"$expected") <(sort <<<"$ours"))
if [ -n "$missing" ] || [ -n "$extra" ]; then
  echo "missing exports: ${missing:-none}"
  echo "symbols that must not be exported: ${extra:-none}"
  exit 1
fi
for call in TivloCreateWindow TivloDestroyWindow TivloSetLogSink; do
  grep -qx "$call" <<<"$actual" || { echo "missing $call"; exit 1; }
done
echo "exports ok: $(wc -l <<<"$actual") symbols"
