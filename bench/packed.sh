#!/bin/bash
# What a single-file application costs against the same application
# installed as a directory (the launcher with its .config and the jars
# beside it), for the build's JDK:
# - Maven's -v (Debian's maven package) packed with its jars kept whole
#   (all of them on the class path), once the first launch has extracted
#   them;
# - a hello-world application packed with a Java runtime made for it by
#   jlink, against the same runtime installed beside the application;
# - H2's RunScript (Debian's libh2-java) filling and querying a table in
#   memory, packed with a runtime jlink makes for it, against the same jar
#   installed with the JDK that made the runtime: what a user trading an
#   installed Java for a carried one gains or loses.
# Rows give the median over PAIRS (21) interleaved pairs of the packed/
# installed ratio of CPU time (user+sys) and of wall time; a launch after the
# first should be within noise of 1. Then the first launch's extraction: its
# wall time against a later launch, and the disk the cache takes.
set -euo pipefail
build=${1:-build/default}
pairs=${PAIRS:-21}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
launcher=$(readlink -f "$build/src/jlauncher")
pack=$(readlink -f "$build/src/jlauncher-pack")
bench=$(dirname "$(readlink -f "$0")")
jdk=$(readlink -f "${JAVA_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}")

clean=(env -u UTRACE -u LD_LIBRARY_PATH -u LD_PRELOAD -u JAVA_HOME -u LAUNCHER_ENV_CHECKED
  -u JAVA_TOOL_OPTIONS -u _JAVA_OPTIONS -u JDK_JAVA_OPTIONS "XDG_CACHE_HOME=$work/cache" PATH=/usr/bin:/bin)
mkdir -p "$work/run" "$work/classes"
cd "$work/run"
cc -O2 -o "$work/cputime" "$bench/cputime.c"
measure() { "$work/cputime" "${clean[@]}" "$@"; }
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

# compare LABEL PACKED INSTALLED ARGUMENT...: one row; the two must print
# the same.
compare() {
  local label=$1 packed=$2 installed=$3 i a b
  shift 3
  local expected actual
  expected=$("${clean[@]}" "$installed" "$@" 2>&1) || { echo "packed $label: the installed one failed: $expected"; exit 1; }
  actual=$("${clean[@]}" "$packed" "$@" 2>&1) || true
  if [ "$actual" != "$expected" ]; then
    printf 'packed %s: the packed one printed\n%s\ninstead of\n%s\n' "$label" "$actual" "$expected"
    exit 1
  fi
  : > "$work/ratios"
  for ((i = 0; i < pairs; i++)); do
    a=$(measure "$packed" "$@") || true
    b=$(measure "$installed" "$@") || true
    echo "${a% *} ${b% *}" >> "$work/ratios"
  done
  printf 'packed %-45s CPU ratio %.3f, wall ratio %.3f (%d pairs)\n' "$label:" \
    "$(awk '{print ($2 + $3) / ($5 + $6)}' "$work/ratios" | median)" \
    "$(awk '{print $1 / $4}' "$work/ratios" | median)" "$pairs"
}

# first LABEL PACKED ARGUMENT...: the first launch from an empty cache
# against a later one (wall time), and the cache's size.
first() {
  local label=$1 packed=$2 i a b
  shift 2
  : > "$work/ratios"
  for ((i = 0; i < 5; i++)); do
    rm -rf "$work/cache"
    a=$(measure "$packed" "$@") || true
    b=$(measure "$packed" "$@") || true
    echo "${a% *} ${b% *}" >> "$work/ratios"
  done
  printf 'packed %-45s %.0f ms against %.0f ms later, cache %s\n' "$label, first launch:" \
    "$(awk '{print 1000 * $1}' "$work/ratios" | median)" "$(awk '{print 1000 * $4}' "$work/ratios" | median)" \
    "$(du -sh "$work/cache" | cut -f1)"
}

# installed NAME CONFIG: the launcher as NAME in a directory of its own.
installed() {
  mkdir -p "$work/apps/$1/bin"
  cp "$launcher" "$work/apps/$1/bin/$1"
  printf '%s\n' "$2" > "$work/apps/$1/bin/$1.config"
  echo "$work/apps/$1/bin/$1"
}

maven=/usr/share/maven
if [ -d "$maven/boot" ]; then
  mvn_config="javahome $jdk
vmprop classworlds.conf=$maven/bin/m2.conf
vmprop maven.home=$maven
vmprop library.jansi.path=$maven/lib/jansi-native
vmprop maven.multiModuleProjectDirectory=$work/run
options appargs"
  boot=$(echo "$maven"/boot/plexus-classworlds-*.jar)
  printf '%s\n' "$mvn_config" > "$work/mvn-lines"
  # All of Maven's jars on the class path, so that the first launch has some
  # sixty to extract.
  "$pack" --keep-jars -o "$work/mvn" --config "$work/mvn-lines" "$boot" "$maven"/lib/*.jar 2> /dev/null
  compare "mvn -v, jars kept whole" "$work/mvn" "$(installed mvn "$mvn_config
addjars $maven/boot
addjars $maven/lib
mainclass org.codehaus.plexus.classworlds.launcher.Launcher")" -v
  first "mvn -v, jars kept whole" "$work/mvn" -v
else
  echo "packed mvn -v: skipped, Debian's maven package is not installed"
fi

cat > "$work/Hello.java" <<'JAVA'
public class Hello { public static void main(String[] a) { System.out.println("hello"); } }
JAVA
"$jdk/bin/javac" --release 11 -d "$work/classes" "$work/Hello.java"
"$jdk/bin/jar" --create --file "$work/hello.jar" --main-class Hello -C "$work/classes" .
"${clean[@]}" JAVA_HOME="$jdk" "$pack" --jlink -o "$work/hello" "$work/hello.jar"
"${clean[@]}" "$work/hello" > /dev/null
runtime=$(ls -d "$work"/cache/jlauncher/runtime/*/)
cp -a "$runtime" "$work/runtime"
compare "hello, with its jlink runtime" "$work/hello" "$(installed hello "javahome $work/runtime
addpath $work/hello.jar
mainclass Hello")"
first "hello, with its jlink runtime" "$work/hello"

h2=/usr/share/java/h2.jar
if [ -f "$h2" ]; then
  printf '%s\n' "create table t(id int primary key, name varchar);" \
    "insert into t select x, 'n' || x from system_range(1, 1000);" "select count(*), sum(id) from t;" > "$work/h2.sql"
  # Its Class-Path names optional jars Debian installs apart; the packer
  # warns of them, and of the fonts java.desktop needs.
  "${clean[@]}" JAVA_HOME="$jdk" "$pack" --jlink -o "$work/h2" --main-class org.h2.tools.RunScript "$h2" 2> /dev/null
  set -- -url jdbc:h2:mem:bench -script "$work/h2.sql" -showResults
  "${clean[@]}" "$work/h2" "$@" > /dev/null
  compare "H2 RunScript, with its jlink runtime" "$work/h2" "$(installed h2 "javahome $jdk
addpath $h2
mainclass org.h2.tools.RunScript")" "$@"
else
  echo "packed H2 RunScript: skipped, Debian's libh2-java package is not installed"
fi
