#!/bin/bash
# Start-up against plain java, for every JDK under /usr/lib/jvm: a
# hello-world application, javac compiling a small file, and Maven's -v
# (from Debian's maven package, when it is installed). Each runs through the
# launcher, configured as the README shows, and through `java` with the same
# options. javac and Maven run through the launcher twice: as configured,
# and with the start-up cache (`options startupcache`), whose archive a first
# run records before the pairs are measured.
#
# Both also run with `options quickstart` (the cache and the quick profile),
# against goals per Java release. A first-launch row compares the wall time
# of a launch that records the cache with one of the same launcher without
# it (each from an empty cache, after any creation left running has ended),
# and a jpackage row the launcher that `jpackage --type app-image` makes for
# the hello-world application with plain java.
#
# Each pair runs the launcher and java one after the other (interleaved, so
# that a busy machine slows both); a row gives the median over the pairs of
# the launcher/java ratio of CPU time (user+sys, the steady measure) and of
# wall time (the noisy one). The goal for javac and Maven with the cache is
# a CPU ratio of at most 0.8, marked pass or FAIL. Nothing needs /dev/fd.
set -euo pipefail
build=${1:-build/default}
pairs=${PAIRS:-21}
goal=0.8
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
launcher=$(readlink -f "$build/src/jlauncher")
bench=$(dirname "$(readlink -f "$0")")

mkdir -p "$work/classes" "$work/run/out"
cat > "$work/Hello.java" <<'JAVA'
public class Hello { public static void main(String[] a) { System.out.println("hello"); } }
JAVA
# The oldest release any current JDK runs.
javac --release 11 -d "$work/classes" "$work/Hello.java"
jar --create --file "$work/hello.jar" -C "$work/classes" .
# What javac compiles: a class that uses a little of the library.
cat > "$work/run/Small.java" <<'JAVA'
import java.util.*;
public class Small {
  public static void main(String[] args) {
    List<String> words = new ArrayList<>(List.of(args));
    Collections.sort(words);
    System.out.println(String.join(" ", words));
  }
}
JAVA

# Every real installation once (Debian links several names to one JDK).
jdks=()
for candidate in /usr/lib/jvm/*; do
  [ -L "$candidate" ] || [ ! -x "$candidate/bin/java" ] || [ ! -f "$candidate/lib/modules" ] && continue
  jdks+=("$(readlink -f "$candidate")")
done

# Both sides run in the same clean environment, as a user's shell has it,
# from the same directory; the cache lives in the benchmark's directory.
clean=(env -u UTRACE -u LD_LIBRARY_PATH -u LD_PRELOAD -u JAVA_HOME -u LAUNCHER_ENV_CHECKED
  -u JAVA_TOOL_OPTIONS -u _JAVA_OPTIONS -u JDK_JAVA_OPTIONS "XDG_CACHE_HOME=$work/cache")
cd "$work/run"

# "wall user sys" in seconds of one run, its output discarded.
cc -O2 -o "$work/cputime" "$bench/cputime.c"
measure() { "$work/cputime" "${clean[@]}" "$@"; }

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# application NAME CONFIG: a copy of the launcher named NAME in an application
# directory of its own, with CONFIG beside it; prints its path.
application() {
  local app=$work/apps/$1
  mkdir -p "$app/bin"
  cp "$launcher" "$app/bin/$1"
  printf '%s\n' "$2" > "$app/bin/$1.config"
  echo "$app/bin/$1"
}

# Waits until no launch records or creates anything in the cache.
settle() {
  local waited
  for ((waited = 0; waited < 1200; waited++)); do
    compgen -G "$work/cache/jlauncher/*.lock" > /dev/null || return 0
    sleep 0.1
  done
}

# row LABEL GOAL RATIOS-FILE: the medians of "lw lu ls jw ju js" lines.
row() {
  local label=$1 target=$2 ratios=$3 cpu wall lcpu jcpu verdict=""
  cpu=$(awk '{print ($2 + $3) / ($5 + $6)}' "$ratios" | median)
  wall=$(awk '{print $1 / $4}' "$ratios" | median)
  lcpu=$(awk '{print 1000 * ($2 + $3)}' "$ratios" | median)
  jcpu=$(awk '{print 1000 * ($5 + $6)}' "$ratios" | median)
  if [ "$target" != - ]; then
    verdict=", goal $target: FAIL"
    awk -v c="$cpu" -v g="$target" 'BEGIN {exit !(c <= g)}' && verdict=", goal $target: pass"
  fi
  printf 'startup %-40s CPU ratio %.3f (launcher %.0f ms, java %.0f ms), wall ratio %.3f (%d pairs)%s\n' \
    "$label:" "$cpu" "$lcpu" "$jcpu" "$wall" "$(wc -l < "$ratios")" "$verdict"
}

# compare LABEL GOAL LAUNCHER-COMMAND... -- JAVA-COMMAND...: one row. The
# two must print the same, or the comparison is void. GOAL is "-" for none.
compare() {
  local label=$1 target=$2
  shift 2
  local through=() direct=()
  while [ "$1" != -- ]; do through+=("$1"); shift; done
  shift
  direct=("$@")
  local expected actual
  expected=$("${clean[@]}" "${direct[@]}" 2>&1) || { echo "startup $label: java failed: $expected"; exit 1; }
  # The first runs through the launcher record the cache when it has one.
  "${clean[@]}" "${through[@]}" > /dev/null 2>&1 || true
  settle
  actual=$("${clean[@]}" "${through[@]}" 2>&1) || true
  if [ "$actual" != "$expected" ]; then
    printf 'startup %s: the launcher printed\n%s\ninstead of\n%s\n' "$label" "$actual" "$expected"
    exit 1
  fi

  : > "$work/ratios"
  local i launched direct_run
  for ((i = 0; i < pairs; i++)); do
    launched=$(measure "${through[@]}") || true
    direct_run=$(measure "${direct[@]}") || true
    echo "${launched% *} ${direct_run% *}" >> "$work/ratios"
  done
  row "$label" "$target" "$work/ratios"
}

# first LABEL CACHED-LAUNCHER PLAIN-LAUNCHER ARGUMENT...: the wall time of a
# first launch that records the cache against the same launch without it
# (the "CPU ratio" of this row compares the same two).
first() {
  local label=$1 cached=$2 plain=$3 i launched direct_run
  shift 3
  : > "$work/ratios"
  for ((i = 0; i < pairs; i++)); do
    settle
    rm -rf "$work/cache"
    launched=$(measure "$cached" "$@") || true
    direct_run=$(measure "$plain" "$@") || true
    echo "${launched% *} ${direct_run% *}" >> "$work/ratios"
  done
  settle
  row "$label" - "$work/ratios"
}

maven=/usr/share/maven
for jdk in "${jdks[@]}"; do
  name=$(basename "$jdk")
  release=$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$jdk/release")
  # The quick profile's goals: what an ahead-of-time cache (25) and a
  # dynamic archive (17) reach with C1 alone.
  if [ "${release:-0}" -ge 25 ]; then quick_javac=0.45 quick_mvn=0.70; else quick_javac=0.55 quick_mvn=0.78; fi
  hello=$(application "hello-$name" "javahome $jdk
mainclass Hello
addpath $work/hello.jar")
  # grep reads the whole trace: an early exit would fail the pipeline.
  execs=$("${clean[@]}" UTRACE=-p "$hello" | grep -c "^Exec'ing" || true)
  [ "$execs" -eq 0 ] || echo "startup $name: the launcher re-executed itself"
  compare "$name hello" - "$hello" -- "$jdk/bin/java" -cp "$work/hello.jar" Hello

  javac_config="javahome $jdk
options appargs
mainclass com.sun.tools.javac.Main"
  compile=(-d "$work/run/out" Small.java)
  compare "$name javac" - "$(application "javac-$name" "$javac_config")" "${compile[@]}" \
    -- "$jdk/bin/java" com.sun.tools.javac.Main "${compile[@]}"
  compare "$name javac, start-up cache" "$goal" \
    "$(application "javac-cached-$name" "$javac_config
options startupcache")" "${compile[@]}" \
    -- "$jdk/bin/java" com.sun.tools.javac.Main "${compile[@]}"
  compare "$name javac, quickstart" "$quick_javac" \
    "$(application "javac-quick-$name" "$javac_config
options quickstart")" "${compile[@]}" \
    -- "$jdk/bin/java" com.sun.tools.javac.Main "${compile[@]}"
  first "$name javac, first launch with the cache" "$work/apps/javac-cached-$name/bin/javac-cached-$name" \
    "$work/apps/javac-$name/bin/javac-$name" "${compile[@]}"

  if [ -x "$jdk/bin/jpackage" ]; then
    rm -rf "$work/jpackage" "$work/jpackage-in"
    mkdir -p "$work/jpackage-in"
    cp "$work/hello.jar" "$work/jpackage-in/"
    "${clean[@]}" "$jdk/bin/jpackage" --type app-image --name hello --input "$work/jpackage-in" \
      --main-jar hello.jar --main-class Hello --dest "$work/jpackage" > /dev/null
    compare "$name hello, jpackage's launcher" - "$work/jpackage/hello/bin/hello" \
      -- "$jdk/bin/java" -cp "$work/hello.jar" Hello
  fi

  if [ -d "$maven/boot" ]; then
    mvn_config="javahome $jdk
addjars $maven/boot
vmprop classworlds.conf=$maven/bin/m2.conf
vmprop maven.home=$maven
vmprop library.jansi.path=$maven/lib/jansi-native
vmprop maven.multiModuleProjectDirectory=\$var(CWD)
options appargs
mainclass org.codehaus.plexus.classworlds.launcher.Launcher"
    mvn_java=("$jdk/bin/java" -classpath "$(echo "$maven"/boot/plexus-classworlds-*.jar)"
      "-Dclassworlds.conf=$maven/bin/m2.conf" "-Dmaven.home=$maven"
      "-Dlibrary.jansi.path=$maven/lib/jansi-native" "-Dmaven.multiModuleProjectDirectory=$work/run"
      org.codehaus.plexus.classworlds.launcher.Launcher -v)
    compare "$name mvn -v" - "$(application "mvn-$name" "$mvn_config")" -v -- "${mvn_java[@]}"
    compare "$name mvn -v, start-up cache" "$goal" \
      "$(application "mvn-cached-$name" "$mvn_config
options startupcache")" -v -- "${mvn_java[@]}"
    compare "$name mvn -v, quickstart" "$quick_mvn" \
      "$(application "mvn-quick-$name" "$mvn_config
options quickstart")" -v -- "${mvn_java[@]}"
  else
    echo "startup $name mvn -v: skipped, Debian's maven package is not installed"
  fi
done
