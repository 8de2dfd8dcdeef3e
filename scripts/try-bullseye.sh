#!/bin/sh
# Shows that what this project installs runs on Debian 11 (glibc 2.31, the
# C++ runtime of g++ 10), in a minimal Debian 11 root that has only Debian
# 11's openjdk-17-jre-headless added:
#   scripts/try-bullseye.sh [PREFIX]
#     packs the example of the installation PREFIX (as `cmake --install` or
#     the release archive lays it out; /usr/local by default) with its
#     jlauncher-pack, and runs it in the root beside `java -cp`
#   scripts/try-bullseye.sh --debs DIR
#     installs the Debian packages of DIR (jlauncher_*.deb and
#     jlauncher-pack_*.deb) in the root with dpkg -i, packs the example there
#     with the installed jlauncher-pack and runs it, then removes them
# Either way, when a JDK whose libraries need no newer glibc than Debian 11's
# is installed here (JLAUNCHER_JLINK_JDK, by default Temurin 25), the example
# is also packed with --jlink from it and run in the root on the runtime it
# carries. Run as root. The root is made once with debootstrap and kept
# under /var/cache/jlauncher (JLAUNCHER_BULLSEYE_JRE_ROOT names another).
# Exits 77 when the root cannot be made or entered (no network, or no mount
# namespace, as in a container).
set -eu
arch=$(dpkg --print-architecture)
root=${JLAUNCHER_BULLSEYE_JRE_ROOT:-/var/cache/jlauncher/bullseye-jre-$arch}
jlink_jdk=${JLAUNCHER_JLINK_JDK:-/usr/lib/jvm/temurin-25-jdk-$arch}
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
debs=
if [ "${1:-}" = --debs ]; then
  debs=$(cd "${2:?--debs needs a directory}" && pwd)
  prefix=
else
  prefix=${1:-/usr/local}
  [ -x "$prefix/bin/jlauncher-pack" ] || fail "no $prefix/bin/jlauncher-pack"
fi
[ "$(id -u)" -eq 0 ] || skip "run as root: debootstrap and chroot need it"
unshare --mount --propagation private true 2>/dev/null || skip "no mount namespace here to enter the Debian 11 root"

# Inside: the root's own /proc for the JVM, a clean environment.
run() {
  unshare --mount --propagation private sh -c 'mount --bind /proc "$0/proc" && exec chroot "$0" "$@"' \
    "$root" env -i PATH=/usr/bin:/bin "$@"
}
if ! run java -version >/dev/null 2>&1; then
  mkdir -p "$(dirname "$root")"
  # Two runs at once make it once.
  exec 9> "$root.lock"
  flock 9
  if ! run java -version >/dev/null 2>&1; then
    echo "Making the Debian 11 root $root with Java 17 (once; a few minutes)"
    rm -rf --one-file-system "$root.new"
    debootstrap --variant=minbase --arch="$arch" --include=openjdk-17-jre-headless bullseye "$root.new" \
      http://deb.debian.org/debian > "$root.log" 2>&1 || skip "debootstrap failed, see $root.log"
    rm -rf --one-file-system "$root" "$root.log"
    mv "$root.new" "$root"
  fi
  exec 9>&-
fi

work=$(mktemp -d "$root/tmp/try.XXXXXX")
inside=/tmp/$(basename "$work")
cleanup() {
  [ -z "$debs" ] || run env PATH=/usr/sbin:/usr/bin:/sbin:/bin dpkg -r jlauncher-pack jlauncher >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
echo "In Debian $(cat "$root/etc/debian_version"): $(run ldd --version | head -n 1)"

# check NAME OUTPUT: the example's lines for the arguments one and 'two words'.
check() {
  printf '%s\n' "$2"
  for line in "Running under jlauncher: yes" "  argument: one" "  argument: two words"; do
    printf '%s\n' "$2" | grep -qxF "$line" || fail "$1 printed no '$line'"
  done
}

if [ -n "$debs" ]; then
  cp "$debs"/jlauncher_*.deb "$debs"/jlauncher-pack_*.deb "$work/"
  echo "$ dpkg -i jlauncher_*.deb jlauncher-pack_*.deb"
  run env PATH=/usr/sbin:/usr/bin:/sbin:/bin sh -c "dpkg -i $inside/*.deb" > "$work/dpkg.log" 2>&1 || fail "dpkg -i failed: $(cat "$work/dpkg.log")"
  echo "$ jlauncher-pack -o hello /usr/share/doc/jlauncher/examples/hello/hello.jar /usr/share/java/jlauncher.jar"
  run /usr/bin/jlauncher-pack -o "$inside/hello" /usr/share/doc/jlauncher/examples/hello/hello.jar \
    /usr/share/java/jlauncher.jar || fail "the installed jlauncher-pack failed"
  # The packer and the library for the --jlink pack below, made here.
  mkdir "$work/pkg"
  for deb in "$work"/*.deb; do dpkg-deb -x "$deb" "$work/pkg"; done
  prefix=$work/pkg/usr
else
  examples=$prefix/share/doc/jlauncher/examples/hello
  "$prefix/bin/jlauncher-pack" -o "$work/hello" "$examples/hello.jar" "$prefix/share/java/jlauncher.jar"
fi
echo "$ ./hello one 'two words'"
out=$(run "$inside/hello" one 'two words') || fail "the packed example failed: $out"
check "the packed example" "$out"
echo "$ java -cp hello demo.Hello"
run java -cp "$inside/hello" demo.Hello

if [ -x "$jlink_jdk/bin/jlink" ]; then
  examples=$prefix/share/doc/jlauncher/examples/hello
  echo "$ JAVA_HOME=$jlink_jdk jlauncher-pack --jlink -o hello-jlink ..."
  JAVA_HOME=$jlink_jdk "$prefix/bin/jlauncher-pack" --jlink -o "$work/hello-jlink" "$examples/hello.jar" \
    "$prefix/share/java/jlauncher.jar" || fail "the --jlink pack failed"
  mkdir "$work/cache"
  echo "$ ./hello-jlink one 'two words'"
  out=$(run env XDG_CACHE_HOME="$inside/cache" "$inside/hello-jlink" one 'two words') ||
    fail "the example packed with its runtime failed: $out"
  check "the example packed with its runtime" "$out"
  printf '%s\n' "$out" | grep -q "^Java .* from $inside/cache/jlauncher/runtime/" ||
    fail "the example packed with its runtime ran on another Java"
else
  echo "(no $jlink_jdk: no --jlink pack tried)"
fi
echo "PASS: the packed example runs on Debian 11"
