#!/bin/bash
# Start-up: a hello-world application through the launcher against plain
# `java -cp ... Hello`, for every JDK under /usr/lib/jvm. Each pair runs the
# two one after the other (interleaved, so that a busy machine slows both);
# the result is the median over the pairs of the launcher/java ratio of CPU
# time (user+sys, the steady measure) and of wall time (the noisy one). It
# also says whether the launcher re-executed itself.
set -euo pipefail
build=${1:-build/default}
pairs=${PAIRS:-31}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/classes"
cat > "$work/Hello.java" <<'JAVA'
public class Hello { public static void main(String[] a) { System.out.println("hello"); } }
JAVA
# The oldest release any current JDK runs.
javac --release 11 -d "$work/classes" "$work/Hello.java"

# Every real installation once (Debian links several names to one JDK).
jdks=()
for candidate in /usr/lib/jvm/*; do
  [ -L "$candidate" ] || [ ! -x "$candidate/bin/java" ] || [ ! -f "$candidate/lib/modules" ] && continue
  jdks+=("$(readlink -f "$candidate")")
done

# Both sides run in the same clean environment, as a user's shell has it.
clean=(env -u UTRACE -u LD_LIBRARY_PATH -u LD_PRELOAD -u JAVA_HOME -u LAUNCHER_ENV_CHECKED)

# "wall user sys" in seconds of one run, its output discarded.
cc -O2 -o "$work/cputime" "$(dirname "$0")/cputime.c"
measure() { "$work/cputime" "${clean[@]}" "$@"; }

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

for jdk in "${jdks[@]}"; do
  name=$(basename "$jdk")
  app="$work/$name"
  mkdir -p "$app/bin" "$app/lib"
  jar --create --file "$app/lib/hello.jar" -C "$work/classes" .
  cp "$build/src/jlauncher" "$app/bin/hello"
  printf 'javahome %s\nmainclass Hello\naddpath ../lib/hello.jar\n' "$jdk" > "$app/bin/hello.config"

  [ "$("${clean[@]}" "$app/bin/hello")" = hello ] || { echo "startup: $name: the launcher did not run Hello"; exit 1; }
  # grep reads the whole trace: an early exit would fail the pipeline.
  execs=$("${clean[@]}" UTRACE=-p "$app/bin/hello" | grep -c "^Exec'ing" || true)
  if [ "$execs" -gt 0 ]; then reexec=yes; else reexec=no; fi

  : > "$work/ratios"
  for ((i = 0; i < pairs; i++)); do
    read -r lw lu ls _ < <(measure "$app/bin/hello")
    read -r jw ju js _ < <(measure "$jdk/bin/java" -cp "$app/lib/hello.jar" Hello)
    echo "$lw $lu $ls $jw $ju $js" >> "$work/ratios"
  done
  cpu=$(awk '{print ($2 + $3) / ($5 + $6)}' "$work/ratios" | median)
  wall=$(awk '{print $1 / $4}' "$work/ratios" | median)
  lcpu=$(awk '{print 1000 * ($2 + $3)}' "$work/ratios" | median)
  jcpu=$(awk '{print 1000 * ($5 + $6)}' "$work/ratios" | median)
  printf 'startup %s: CPU ratio %.3f (launcher %.0f ms, java %.0f ms), wall ratio %.3f, re-execution: %s (%d pairs)\n' \
    "$name" "$cpu" "$lcpu" "$jcpu" "$wall" "$reexec" "$pairs"
done
