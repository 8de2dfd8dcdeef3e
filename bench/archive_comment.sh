#!/bin/bash
# Archive comment: time to find the configuration in the comment of an
# archive appended to a 256 MiB executable.
set -euo pipefail
build=${1:-build/default}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/app/bin" "$work/zip"
printf 'payload' > "$work/zip/payload.txt"
printf 'mainclass Main\n' > "$work/zip/comment.txt"
(cd "$work/zip" && zip -q app.zip payload.txt && zip -q -z app.zip < comment.txt)
{
  cat "$build/src/jlauncher"
  head -c $((256 * 1024 * 1024)) /dev/zero
  cat "$work/zip/app.zip"
} > "$work/app/bin/big"
chmod +x "$work/app/bin/big"

t0=$(date +%s%N)
PATH=/nonexistent UTRACE=-p "$work/app/bin/big" > "$work/out" 2>&1 || true
t1=$(date +%s%N)
grep -q "Processed <mainclass Main>" "$work/out" || { echo "archive comment not found"; exit 1; }
echo "archive comment: found in a $(( $(stat -c %s "$work/app/bin/big") / 1048576 )) MiB executable in $(((t1 - t0) / 1000000)) ms"
