#!/bin/sh
# Java 8 and Java 21, which this Debian 12 cannot run (their builds need a
# newer glibc): a Debian 13 root with trixie's openjdk-21-jre-headless and
# sid's openjdk-8-jre-headless, made once with debootstrap from Debian's own
# packages and kept outside the build tree.
#   java-roots.sh ensure      makes the root when it is missing or broken (as
#                             root), then prints its directory
#   java-roots.sh check       prints its directory when it is usable, and
#                             fails otherwise
#   java-roots.sh smoke LAUNCHER HELLO_JAR COMPANION_JAR
#                             runs the example application (its jar and the
#                             companion library's) through LAUNCHER against
#                             each Java of the root: arguments, exit status,
#                             and the +javacmd command run by the shell.
#                             Ends with 77 (skipped) when the root is absent.
# The portable launcher runs there; one built on this machine does too when
# the libraries it links (libzip's soname) are in the root.
# JLAUNCHER_JAVA_ROOT names another directory.
set -eu
arch=$(dpkg --print-architecture)
root=${JLAUNCHER_JAVA_ROOT:-/var/cache/jlauncher/trixie-java-$arch}
mirror=http://deb.debian.org/debian
# A root made with another package set is made again.
stamp="jlauncher java root 1: trixie openjdk-21-jre-headless, sid openjdk-8-jre-headless"
javas="java-8-openjdk-$arch java-21-openjdk-$arch"

# Inside the root $1: its own /proc for the JVM, a clean environment.
run_in() {
  dir=$1
  shift
  unshare --mount --propagation private sh -c 'mount --bind /proc "$0/proc" && exec chroot "$0" "$@"' \
    "$dir" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
run() { run_in "$root" "$@"; }

usable() {
  [ "$(cat "$root/.jlauncher-root" 2>/dev/null)" = "$stamp" ] || return 1
  for java in $javas; do [ -x "$root/usr/lib/jvm/$java/jre/bin/java" ] || [ -x "$root/usr/lib/jvm/$java/bin/java" ] || return 1; done
}

make_root() {
  new=$root.new
  rm -rf --one-file-system "$new"
  mkdir -p "$new"
  echo "Making the Debian 13 root $root with Java 8 and 21 (once; a few minutes)" >&2
  debootstrap --variant=minbase --arch="$arch" --include=openjdk-21-jre-headless trixie "$new" "$mirror" \
    > "$new.log" 2>&1 || { tail -20 "$new.log" >&2; echo "debootstrap failed, see $new.log" >&2; exit 1; }
  # Java 8 is in sid only; sid's packages are taken for it and what it needs
  # alone, trixie's stay preferred for everything else.
  printf 'deb %s sid main\n' "$mirror" > "$new/etc/apt/sources.list.d/sid.list"
  printf 'Package: *\nPin: release n=sid\nPin-Priority: 100\n' > "$new/etc/apt/preferences.d/sid"
  cp /etc/resolv.conf "$new/etc/resolv.conf"
  # The mirror may lag behind the clock: sid's release file has a validity
  # limit (its signature is checked all the same).
  run_in "$new" sh -eu -c '
    apt-get update -q -o Acquire::Check-Valid-Until=false
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q -t sid --no-install-recommends openjdk-8-jre-headless
    apt-get clean
    rm -rf /var/lib/apt/lists/*' >> "$new.log" 2>&1 ||
    { tail -20 "$new.log" >&2; echo "installing Java 8 failed, see $new.log" >&2; exit 1; }
  echo "$stamp" > "$new/.jlauncher-root"
  rm -rf --one-file-system "$root" "$new.log"
  mv "$new" "$root"
}

fail() { echo "FAIL: $*" >&2; exit 1; }

# Runs the example installed in the root at $inside against the Java home
# $1 (the directory JAVA_HOME names); the output of each step is checked.
smoke_java() {
  home=$1
  printf 'javahome %s\n' "$home" > "$work/bin/hello.config"
  cat "$examples/hello.config" >> "$work/bin/hello.config"
  echo "== $home: $(run "$home/bin/java" -version 2>&1 | head -n 1)"
  echo "\$ hello one 'two words'"
  out=$(run "$inside/bin/hello" one 'two words') || fail "the example failed against $home: $out"
  printf '%s\n' "$out"
  version=$(run "$home/bin/java" -XshowSettings:properties -version 2>&1 | sed -n 's/^ *java.version = //p')
  expected="Hello, friend!
Java $version from $(run readlink -f "$home/bin/java" | sed 's,/bin/java$,,')
Started by $inside/bin/hello
Running under jlauncher: yes
  argument: --from-config
  argument: one
  argument: two words"
  [ "$out" = "$expected" ] || fail "against $home the example printed
$out
instead of
$expected"
  echo "\$ hello --status=3"
  status=0
  run "$inside/bin/hello" --status=3 > /dev/null || status=$?
  echo "(exit status $status)"
  [ "$status" -eq 3 ] || fail "against $home the exit status was $status, not 3"
  echo "\$ hello +javacmd one"
  command=$(run "$inside/bin/hello" +javacmd one) || fail "+javacmd failed against $home: $command"
  printf '%s\n' "$command"
  case $command in "$home/bin/java "*) ;; *) fail "+javacmd names another java: $command" ;; esac
  # The command runs the application as the launcher does, but not under it.
  direct=$(run sh -c "$command") || fail "the +javacmd command failed against $home: $direct"
  [ "$(printf '%s\n' "$direct" | sed -n 's/^  argument: //p')" = "--from-config
one" ] || fail "the +javacmd command ran with other arguments: $direct"
}

smoke() {
  examples=$(dirname "$0")/../examples/hello
  usable || { echo "SKIPPED: no Debian 13 root with Java 8 and 21 at $root (made by $0 ensure as root)"; exit 77; }
  [ "$(id -u)" -eq 0 ] || { echo "SKIPPED: running in the root needs root"; exit 77; }
  work=$(mktemp -d "$root/tmp/smoke.XXXXXX")
  trap 'rm -rf "$work"' EXIT
  inside=/tmp/$(basename "$work")
  mkdir -p "$work/bin" "$work/lib"
  cp "$1" "$work/bin/hello"
  cp "$2" "$work/lib/hello.jar"
  cp "$3" "$work/lib/jlauncher.jar"
  missing=$(run ldd "$inside/bin/hello" | sed -n 's/^\t*\([^ ]*\) => not found$/\1/p' | tr '\n' ' ')
  if [ -n "$missing" ]; then
    echo "SKIPPED: the launcher needs libraries the root lacks: $missing(the portable launcher needs none)"
    exit 77
  fi
  for java in $javas; do smoke_java "/usr/lib/jvm/$java"; done
  echo "PASS: the example runs with Java 8 and 21 in Debian $(cat "$root/etc/debian_version")"
}

case "${1:-}" in
  check)
    usable || exit 1
    ;;
  ensure)
    if ! usable; then
      [ "$(id -u)" -eq 0 ] || { echo "Making the Debian 13 root $root needs root" >&2; exit 1; }
      mkdir -p "$(dirname "$root")"
      exec 9> "$root.lock"
      flock 9
      usable || make_root
    fi
    ;;
  smoke)
    [ $# -eq 4 ] || { echo "Usage: $0 smoke LAUNCHER HELLO_JAR COMPANION_JAR" >&2; exit 2; }
    shift
    smoke "$@"
    exit 0
    ;;
  *) echo "Usage: $0 ensure|check|smoke LAUNCHER HELLO_JAR COMPANION_JAR" >&2; exit 2 ;;
esac
echo "$root"
