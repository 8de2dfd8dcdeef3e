#!/bin/bash
# Configuration: a generated 100 000-line configuration and a directory of
# 2 000 jars, processed with +javacmd (no JVM is created).
set -euo pipefail
build=${1:-build/default}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/app/bin" "$work/app/jars"
for ((i = 0; i < 2000; i++)); do : > "$work/app/jars/lib$i.jar"; done
cp "$build/src/jlauncher" "$work/app/bin/big"
jdk=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
{
  printf 'javahome %s\nmainclass Main\naddjars ../jars\n' "$jdk"
  for ((i = 0; i < 100000; i++)); do printf 'set V%d=$var(installRoot)/value%d\n' $((i % 500)) "$i"; done
} > "$work/app/bin/big.config"

t0=$(date +%s%N)
"$work/app/bin/big" +javacmd > "$work/out"
t1=$(date +%s%N)
echo "config: 100000 lines and 2000 jars in $(((t1 - t0) / 1000000)) ms, command of $(wc -c < "$work/out") bytes"
