#!/bin/sh
# Installs the project as a user would, then packs the installed example with
# the installed jlauncher-pack and runs it, and runs the companion library
# under plain java.
#   package_test.sh install BUILD_DIR JDK   cmake --install into a temporary prefix
#   package_test.sh deb BUILD_DIR JDK       cpack -G DEB, its file list, lintian,
#                                           and the package's files unpacked
set -eu
mode=$1 build=$2 jdk=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

case $mode in
  install)
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    prefix=$work/prefix
    ;;
  deb)
    (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null)
    deb=$(ls "$work"/out/jlauncher_*_"$(dpkg --print-architecture)".deb)
    # Every file the package installs (the API pages only by their index).
    dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | grep -v '^./usr/share/doc/jlauncher/api/.' \
      > "$work/files"
    dpkg-deb -c "$deb" | awk '{print $6}' | grep -qx './usr/share/doc/jlauncher/api/index.html' ||
      fail "no API documentation in the package"
    diff -u "$here/deb-files.txt" "$work/files" || fail "the package's file list changed"
    dpkg-deb -f "$deb" Depends | grep -q 'libzip4' || fail "Depends lacks libzip4: $(dpkg-deb -f "$deb" Depends)"
    [ "$(dpkg-deb -f "$deb" Recommends)" = "default-jre-headless | java-runtime-headless" ] ||
      fail "Recommends: $(dpkg-deb -f "$deb" Recommends)"
    lintian --allow-root "$deb" > "$work/lintian" 2>&1 || true
    ! grep '^E:' "$work/lintian" || fail "lintian reports errors"
    dpkg-deb -x "$deb" "$work/root"
    prefix=$work/root/usr
    ;;
  *) fail "unknown mode $mode" ;;
esac

examples=$prefix/share/doc/jlauncher/examples/hello
cd "$work"
env -u JAVA_HOME "$prefix/bin/jlauncher-pack" -o hello "$examples/hello.jar" "$prefix/share/java/jlauncher.jar" ||
  fail "jlauncher-pack failed"
out=$(env -u UTRACE -u LD_LIBRARY_PATH -u LD_PRELOAD JAVA_HOME="$jdk" PATH=/usr/bin:/bin ./hello one 'two words')
for line in "Hello, world!" "Running under jlauncher: yes" "  argument: one" "  argument: two words"; do
  printf '%s\n' "$out" | grep -qxF "$line" || fail "the packed example printed: $out"
done
out=$("$jdk/bin/java" -cp "$examples/hello.jar:$prefix/share/java/jlauncher.jar" demo.Hello)
printf '%s\n' "$out" | grep -qxF "Running under jlauncher: no" || fail "plain java printed: $out"
unzip -p "$prefix/share/java/jlauncher.jar" META-INF/MANIFEST.MF | grep -qx 'Bundle-License: Apache-2.0.\?' ||
  fail "the companion library's manifest names no licence"
echo "PASS: $mode"
