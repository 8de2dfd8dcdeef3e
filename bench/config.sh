#!/bin/bash
# Configuration processing at growing sizes, with +javacmd (one process
# image, no JVM created): the CPU time (user+sys) of each input at n, 2n and
# 4n, and the targets at 100 000 and 1 000 000 mixed lines with their peak
# memory. The sizes of a row run in turn, RUNS rounds of them, so that a
# machine whose speed wanders (a shared one does, by a third at times)
# slows all three alike: a row gives the median time of each size and the
# median over the rounds of the 4n/n ratio.
set -euo pipefail
build=${1:-build/default}
runs=${RUNS:-7}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

jdk=$(dirname "$(dirname "$(readlink -f "$(command -v javac)")")")
cc -O2 -o "$work/cputime" "$(dirname "$0")/cputime.c"
mkdir -p "$work/app/bin"
cp "$build/src/jlauncher" "$work/app/bin/big"

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# configure NAME COMMAND...: the configuration NAME made by the command.
configure() {
  local name=$1
  shift
  { printf 'javahome %s\nmainclass Main\n' "$jdk"; "$@"; } > "$work/$name.config"
}

# "cpu-seconds peak-KiB" of one launch on the configuration NAME.
measure() {
  env -u UTRACE -u JAVA_HOME "$work/cputime" "$work/app/bin/big" +config "$work/$1.config" +javacmd |
    awk '{print $2 + $3, $4}'
}

# Directories of empty jars, made once and reused.
jars() {
  local dir=$work/jars$1
  if [ ! -d "$dir" ]; then
    mkdir -p "$dir"
    (cd "$dir" && seq -f 'lib%.0f.jar' 0 $(($1 - 1)) | xargs touch)
  fi
  echo "$dir"
}

addjars() { printf 'addjars %s\n' "$(jars "$1")"; }
addpath() { local dir; dir=$(jars "$1"); seq -f "addpath $dir/lib%.0f.jar" 0 $(($1 - 1)); }
setnames() { seq -f 'set V%.0f=value' 0 $(($1 - 1)); }
# Four kinds of line in turn; the addpath lines name the jars of a
# directory of $2 jars, which is added too.
mixed() {
  local dir; dir=$(jars "$2")
  printf 'addjars %s\n' "$dir"
  awk -v n="$1" -v jars="$2" -v dir="$dir" 'BEGIN {
    for (i = 0; i < n; i++) {
      k = i % 4
      if (k == 0) printf "vmprop p%d=$var(installRoot)/x\n", i % 1000
      else if (k == 1) printf "addpath %s/lib%d.jar\n", dir, i % jars
      else if (k == 2) printf "set V%d=$env(HOME)/v%d\n", i % 5000, i
      else printf "vmparam -Dq%d=$var(V%d)\n", i % 1000, (i - 1) % 5000
    }
  }'
}

printf '%-44s %10s %10s %10s %7s\n' "input" "n" "2n" "4n" "4n/n"
row() {
  local label=$1 n=$2 generator=$3 extra=${4:-}
  configure n $generator "$n" $extra
  configure 2n $generator $((2 * n)) $extra
  configure 4n $generator $((4 * n)) $extra
  local r t1 t2 t4
  : > "$work/rounds"
  for ((r = 0; r < runs; r++)); do
    read -r t1 _ < <(measure n)
    read -r t2 _ < <(measure 2n)
    read -r t4 _ < <(measure 4n)
    echo "$t1 $t2 $t4" >> "$work/rounds"
  done
  printf '%-44s %9.3fs %9.3fs %9.3fs %6.2fx\n' "$label, n = $n" \
    "$(awk '{print $1}' "$work/rounds" | median)" "$(awk '{print $2}' "$work/rounds" | median)" \
    "$(awk '{print $3}' "$work/rounds" | median)" "$(awk '{print $3 / $1}' "$work/rounds" | median)"
}
row "addjars of a directory of n jars" 10000 addjars
row "distinct addpath lines" 10000 addpath
row "distinct set names" 20000 setnames
row "mixed lines" 100000 mixed 2000

# The targets: CPU time, and peak memory against the configuration's size,
# each the median of the runs.
target() {
  local lines=$1 jars=$2 limit=$3
  configure target mixed "$lines" "$jars"
  local r cpu rss size
  : > "$work/rounds"
  for ((r = 0; r < runs; r++)); do measure target >> "$work/rounds"; done
  cpu=$(awk '{print $1}' "$work/rounds" | median)
  rss=$(awk '{print $2}' "$work/rounds" | median)
  size=$(stat -c %s "$work/target.config")
  local memoryLimit=$((3 * size / 1024 + 20 * 1024))
  local verdict=pass
  awk -v c="$cpu" -v l="$limit" 'BEGIN {exit !(c < l)}' || verdict=FAIL
  [ "$rss" -lt "$memoryLimit" ] || verdict=FAIL
  printf 'target: %d mixed lines, %d jars: %.3f s CPU (under %s s), peak %d KiB (under %d KiB for %d bytes): %s\n' \
    "$lines" "$jars" "$cpu" "$limit" "$rss" "$memoryLimit" "$size" "$verdict"
}
target 100000 2000 0.1
target 1000000 20000 1.5
