#!/bin/sh
# Shows that a single-file application made with an installed jlauncher-pack
# runs on Debian 11 (glibc 2.31, the C++ runtime of g++ 10) with Debian 11's
# own Java 17: packs the example of the installation PREFIX (as
# `cmake --install` or the release archive lays it out; /usr/local by
# default) and runs it in a minimal Debian 11 root that has only
# openjdk-17-jre-headless added, beside `java -cp` on the same file.
#   scripts/try-bullseye.sh [PREFIX]
# Run as root. The root is made once with debootstrap and kept under
# /var/cache/jlauncher (JLAUNCHER_BULLSEYE_JRE_ROOT names another).
set -eu
prefix=${1:-/usr/local}
arch=$(dpkg --print-architecture)
root=${JLAUNCHER_BULLSEYE_JRE_ROOT:-/var/cache/jlauncher/bullseye-jre-$arch}
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: debootstrap and chroot need it"
[ -x "$prefix/bin/jlauncher-pack" ] || fail "no $prefix/bin/jlauncher-pack"

# Inside: the root's own /proc for the JVM, a clean environment.
run() {
  unshare --mount --propagation private sh -c 'mount --bind /proc "$0/proc" && exec chroot "$0" "$@"' \
    "$root" env -i PATH=/usr/bin:/bin "$@"
}
if ! run java -version >/dev/null 2>&1; then
  echo "Making the Debian 11 root $root with Java 17 (once; a few minutes)"
  rm -rf --one-file-system "$root.new"
  mkdir -p "$(dirname "$root")"
  debootstrap --variant=minbase --arch="$arch" --include=openjdk-17-jre-headless bullseye "$root.new" \
    http://deb.debian.org/debian > "$root.log" 2>&1 || fail "debootstrap failed, see $root.log"
  rm -rf --one-file-system "$root" "$root.log"
  mv "$root.new" "$root"
fi

work=$(mktemp -d "$root/tmp/try.XXXXXX")
trap 'rm -rf "$work"' EXIT
inside=/tmp/$(basename "$work")
examples=$prefix/share/doc/jlauncher/examples/hello
"$prefix/bin/jlauncher-pack" -o "$work/hello" "$examples/hello.jar" "$prefix/share/java/jlauncher.jar"

echo "In Debian $(cat "$root/etc/debian_version"): $(run ldd --version | head -n 1)"
echo "$ ./hello one 'two words'"
out=$(run "$inside/hello" one 'two words') || fail "the packed example failed: $out"
printf '%s\n' "$out"
printf '%s\n' "$out" | grep -qxF "Running under jlauncher: yes" || fail "the packed example did not run under jlauncher"
echo "$ java -cp hello demo.Hello"
run java -cp "$inside/hello" demo.Hello
echo "PASS: the packed example runs on Debian 11"
