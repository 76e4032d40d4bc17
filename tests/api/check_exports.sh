#!/usr/bin/env bash
# Lists the symbols libtivlo.so defines and compares them with the exports.
set -euo pipefail; export LC_ALL=C
expected=$(printf '%s\n' DeInitClient DeInitServer GetErrInfo GetIsHasInvalidChar InitClient \
  InitServer SetSelectFiles SetSubDirTrans SetTargetPath StartReceive StartSend StopReceive StopSend)
actual=$(nm -D --defined-only "$1" | awk '$2 ~ /^[TDBRVWui]$/ {print $3}' | sed 's/@.*//' | sort -u)
ours=$(grep -vE '^Tivlo' <<<"$actual" || true)
if [ "$ours" != "$expected" ]; then
  echo "missing exports: $(comm -23 <(echo "$expected") <(echo "$ours") | xargs)"
  echo "symbols that must not be exported: $(comm -13 <(echo "$expected") <(echo "$ours") | xargs)"
  exit 1
fi
for call in TivloCreateWindow TivloDestroyWindow TivloSetLogSink; do
  grep -qx "$call" <<<"$actual" || { echo "missing $call"; exit 1; }
done
echo "exports ok: $(wc -l <<<"$actual") symbols"
