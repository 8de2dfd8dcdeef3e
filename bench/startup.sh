#!/bin/bash
# Start-up: wall time of a hello-world application through the launcher
# against plain `java -cp ... Hello`, interleaved, and the median ratio.
set -euo pipefail
build=${1:-build/default}
runs=${RUNS:-15}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/app/bin" "$work/app/lib" "$work/classes"
cat > "$work/Hello.java" <<'JAVA'
public class Hello { public static void main(String[] a) { System.out.println("hello"); } }
JAVA
javac -d "$work/classes" "$work/Hello.java"
jar --create --file "$work/app/lib/hello.jar" -C "$work/classes" .
cp "$build/src/jlauncher" "$work/app/bin/hello"
jdk=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
printf 'javahome %s\nmainclass Hello\naddpath ../lib/hello.jar\n' "$jdk" > "$work/app/bin/hello.config"

now() { date +%s%N; }
launcher=() java=()
for ((i = 0; i < runs; i++)); do
  t0=$(now); "$work/app/bin/hello" > /dev/null; t1=$(now)
  "$jdk/bin/java" -cp "$work/app/lib/hello.jar" Hello > /dev/null; t2=$(now)
  launcher+=($(((t1 - t0) / 1000000))) java+=($(((t2 - t1) / 1000000)))
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ml=$(median "${launcher[@]}") mj=$(median "${java[@]}")
echo "startup: launcher median ${ml} ms, java median ${mj} ms, ratio $(awk "BEGIN {printf \"%.2f\", $ml/$mj}") ($runs runs)"
