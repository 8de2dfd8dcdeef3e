#!/bin/sh
# Installs the project as a user would, then packs the installed example with
# the installed jlauncher-pack and runs it, and runs the companion library
# under plain java.
#   package_test.sh MODE BUILD_DIR JDK [PORTABLE [ARM64]]
#     install   cmake --install into a temporary prefix
#     deb       cpack -G DEB: each package's files (package-files.txt) and
#               relations, lintian, and both packages' files unpacked
#     rpm       cpack -G RPM: each package's files and requirements
#     dist      cpack -G TGZ: the release archive's files, unpacked
#     bullseye  cpack -G DEB, then both packages installed with dpkg -i in a
#               minimal Debian 11 and used there (scripts/try-bullseye.sh);
#               exits 77 (skipped) where that cannot run
#     arm64     the portable arm64 launcher and packer: portable_check.sh,
#               then under qemu-user the packer packs the installed example
#               and the packed file extracts its jars and runs as far as an
#               arm64 system without Java lets it; exits 77 (skipped) without
#               them or qemu-aarch64
# PORTABLE is ON when the build made the portable launcher and packer: then
# the installed launcher, and the archive's packer, must pass
# portable_check.sh, and the packages need no C++ runtime and no libzip.
# ARM64 is ON when it made the portable arm64 programs too: then this
# machine's packer package holds the arm64 launcher ("+arm64" rows), and
# mode arm64 also makes and checks the arm64 packages and archive.
set -eu
mode=$1 build=$2 jdk=$3 portable=${4:-OFF} arm64=${5:-OFF}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
# The files a package installs, as package-files.txt lists them ("+portable"
# rows only with the portable launcher, "+arm64" ones only with the arm64
# one too).
expected() {
  awk -v package="$1" -v portable="$portable" -v arm64="$arm64" '$1 == package ||
    (portable == "ON" && $1 == package "+portable") || (arm64 == "ON" && $1 == package "+arm64") { print $2 }' \
    "$here/package-files.txt"
}
# A list of files with the API pages only by their index.
without_api() { grep -v '/share/doc/jlauncher/api/.' || true; }
cpack_into_work() { (cd "$work" && cpack -G "$1" --config "$build/CPackConfig.cmake" -B "$work/out" >/dev/null); }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
portable_binaries="bin/jlauncher bin/jlauncher-pack"

case $mode in
  install)
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    prefix=$work/prefix
    # The check fails on what this machine's compiler makes.
    if [ "$portable" = ON ] && sh "$here/portable_check.sh" "$build/src/jlauncher" >/dev/null 2>&1; then
      fail "portable_check.sh passes the host build's launcher"
    fi
    ;;
  deb)
    cpack_into_work DEB
    for package in jlauncher jlauncher-pack; do
      deb=$(ls "$work"/out/"$package"_*_"$(dpkg --print-architecture)".deb)
      dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' > "$work/$package.all"
      without_api < "$work/$package.all" > "$work/$package.files"
      expected "$package" | diff -u - "$work/$package.files" || fail "the $package package's file list changed"
      dpkg-deb -f "$deb" Depends > "$work/$package.depends"
      lintian --allow-root "$deb" > "$work/lintian" 2>&1 || true
      ! grep '^E:' "$work/lintian" || fail "lintian reports errors in $package"
      dpkg-deb -x "$deb" "$work/root"
    done
    grep -qx './usr/share/doc/jlauncher/api/index.html' "$work/jlauncher.all" ||
      fail "no API documentation in the package"
    # dpkg -i works wherever the portable programs run: glibc 2.17 and later,
    # with no libzip of the system's. Programs built here use Debian 12's.
    if [ "$portable" = ON ]; then
      [ "$(cat "$work/jlauncher.depends")" = "libc6 (>= 2.17)" ] ||
        fail "the portable launcher's Depends: $(cat "$work/jlauncher.depends")"
      grep -qx "jlauncher (= $version), libc6 (>= 2\.\(1[0-7]\|[0-9]\)\(\.[0-9]*\)\?)" "$work/jlauncher-pack.depends" ||
        fail "the portable packer's Depends: $(cat "$work/jlauncher-pack.depends")"
    else
      grep -q "^jlauncher (= $version), .*libzip4" "$work/jlauncher-pack.depends" ||
        fail "jlauncher-pack's Depends: $(cat "$work/jlauncher-pack.depends")"
    fi
    [ "$(dpkg-deb -f "$work"/out/jlauncher_*.deb Recommends)" = "default-jre-headless | java-runtime-headless" ] ||
      fail "Recommends: $(dpkg-deb -f "$work"/out/jlauncher_*.deb Recommends)"
    prefix=$work/root/usr
    ;;
  rpm)
    cpack_into_work RPM
    for package in jlauncher jlauncher-pack; do
      rpm=$(ls "$work"/out/"$package"-"$version"-*.rpm)
      rpm -qp --qf '[%{FILEMODES:perms} .%{FILENAMES}\n]' "$rpm" | awk '!/^d/ {print $2}' | without_api \
        > "$work/$package.files"
      expected "$package" | diff -u - "$work/$package.files" || fail "the $package RPM's file list changed"
      rpm -qpR "$rpm" > "$work/$package.requires"
      if [ "$portable" = ON ] && grep -q 'libzip' "$work/$package.requires"; then
        fail "$package requires libzip: $(cat "$work/$package.requires")"
      fi
      if [ "$portable" = ON ] && grep -q 'libstdc++\|GLIBCXX\|CXXABI' "$work/$package.requires"; then
        fail "$package requires a C++ runtime: $(cat "$work/$package.requires")"
      fi
      # Nothing of the launcher for another architecture: x86-64's libdl
      # has no GLIBC_2.17, arm64's first version.
      if grep -q 'libdl\.so\.2(GLIBC_2\.17)' "$work/$package.requires"; then
        fail "$package requires what the other architecture's launcher needs: $(cat "$work/$package.requires")"
      fi
    done
    grep -qx "jlauncher = $version" "$work/jlauncher-pack.requires" ||
      fail "jlauncher-pack requires: $(cat "$work/jlauncher-pack.requires")"
    echo "PASS: $mode"
    exit 0
    ;;
  dist)
    cpack_into_work TGZ
    archive=$(ls "$work"/out/jlauncher-"$version"-linux-*.tar.gz)
    mkdir "$work/root"
    tar -xzf "$archive" -C "$work/root"
    prefix=$work/root/$(basename "$archive" .tar.gz)
    # The packages' files under the archive's directory, with README.md and
    # LICENSE beside bin/.
    { expected jlauncher; expected jlauncher-pack; } | sed 's|^\./usr/|./|' > "$work/expected"
    for doc in README.md LICENSE; do [ ! -f "$here/../../$doc" ] || echo "./$doc" >> "$work/expected"; done
    (cd "$prefix" && find . ! -type d | without_api | LC_ALL=C sort) > "$work/files"
    LC_ALL=C sort "$work/expected" | diff -u - "$work/files" || fail "the archive's file list changed"
    ;;
  bullseye)
    [ "$portable" = ON ] || { echo "SKIP: no portable launcher, whose packages alone install on Debian 11"; exit 77; }
    cpack_into_work DEB
    status=0
    sh "$here/../../scripts/try-bullseye.sh" --debs "$work/out" || status=$?
    exit $status
    ;;
  arm64)
    [ "$portable" = ON ] ||
      { echo "SKIP: no portable arm64 launcher (scripts/bullseye-root.sh ensure-arm64 adds what it needs)"; exit 77; }
    # qemu-user runs them with the arm64 C library of Debian's cross
    # packages (libc6-arm64-cross) in place of the system's.
    sysroot=/usr/aarch64-linux-gnu
    qemu=$(command -v qemu-aarch64) && [ -e "$sysroot/lib/ld-linux-aarch64.so.1" ] ||
      { echo "SKIP: no qemu-aarch64 and $sysroot to run arm64 programs"; exit 77; }
    arm64() { env -i PATH=/usr/bin:/bin XDG_CACHE_HOME="$work/cache" "$qemu" -L "$sysroot" "$@"; }
    bin=$(cd "$build/portable-arm64/src" && pwd -P)
    packer=$bin/jlauncher-pack launcher=$bin/jlauncher
    sh "$here/portable_check.sh" "$launcher" "$packer" || fail "the arm64 programs are not portable"
    said=$(arm64 "$packer" --version 2>&1) || fail "jlauncher-pack --version failed: $said"
    [ "$said" = "jlauncher-pack $version
launcher $launcher: arm64, glibc 2.17 or later" ] || fail "jlauncher-pack --version said: $said"
    cmake --install "$build" --prefix "$work/prefix" >/dev/null
    examples=$work/prefix/share/doc/jlauncher/examples/hello
    cd "$work"
    # The arm64 libzip writes the archive, stored whole with --keep-jars
    # so that the launcher would extract the jars with its own.
    said=$(arm64 "$packer" -o hello --keep-jars "$examples/hello.jar" "$work/prefix/share/java/jlauncher.jar" 2>&1) ||
      fail "jlauncher-pack failed: $said"
    [ -z "$said" ] || fail "jlauncher-pack said: $said"
    sh "$here/portable_check.sh" hello || fail "the packed arm64 file is not portable"
    unzip -Z1 hello 2>/dev/null | LC_ALL=C sort | tr '\n' ' ' | grep -qxF "jlauncher/jars/hello.jar jlauncher/jars/jlauncher.jar " ||
      fail "the packed archive holds: $(unzip -Z1 hello 2>&1)"
    # It reads its configuration from the archive's comment, extracts the
    # jars into its cache, then finds this machine's JDK to be of another
    # architecture.
    mkdir "$work/cache"
    status=0
    said=$(arm64 ./hello +javahome "$jdk" one 2>&1) || status=$?
    [ "$status" = 1 ] && [ "$said" = "Unable to find a JDK or JRE.
Check your installation and use +javahome to specify the JDK or JRE location
  +javahome $jdk: for another architecture
Correct +javahome to name a usable JDK or JRE, or remove it to let the launcher search JAVA_HOME, PATH and /usr/lib/jvm." ] ||
      fail "the packed arm64 file ended with $status and said: $said"
    for jar in "$examples/hello.jar" "$work/prefix/share/java/jlauncher.jar"; do
      cmp "$jar" "$work"/cache/jlauncher/jars/*/"$(basename "$jar")" || fail "$(basename "$jar") was not extracted whole"
    done
    # The arm64 packages and archive: this machine's files with the arm64
    # programs, and this machine's launcher for jlauncher-pack --arch x86-64.
    (cd "$work" && JLAUNCHER_PACKAGE_ARCH=arm64 cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/arm64" \
      >/dev/null && JLAUNCHER_PACKAGE_ARCH=arm64 cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$work/arm64" \
      >/dev/null) || fail "cpack made no arm64 packages"
    for package in jlauncher jlauncher-pack; do
      deb=$work/arm64/${package}_${version}_arm64.deb
      dpkg-deb -c "$deb" | awk '{print $6}' | grep -v '/$' | without_api > "$work/$package.files" ||
        fail "no $deb"
      expected "$package" | sed 's|/lib/jlauncher/arm64/|/lib/jlauncher/x86-64/|' | diff -u - "$work/$package.files" ||
        fail "the arm64 $package package's file list differs"
      dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= 2\.17)$' || fail "the arm64 $package's Depends"
      lintian --allow-root "$deb" > "$work/lintian" 2>&1 || true
      ! grep '^E:' "$work/lintian" || fail "lintian reports errors in the arm64 $package"
    done
    mkdir "$work/dist"
    tar -xzf "$work/arm64/jlauncher-$version-linux-aarch64.tar.gz" -C "$work/dist"
    dist=$work/dist/jlauncher-$version-linux-aarch64
    said=$(arm64 "$dist/bin/jlauncher-pack" --arch x86-64 --version 2>&1) || fail "the archive's packer failed: $said"
    [ "$said" = "jlauncher-pack $version
launcher $dist/lib/jlauncher/x86-64/jlauncher: x86-64, glibc 2.17 or later" ] ||
      fail "the archive's jlauncher-pack --arch x86-64 --version said: $said"
    echo "PASS: $mode"
    exit 0
    ;;
  *) fail "unknown mode $mode" ;;
esac

examples=$prefix/share/doc/jlauncher/examples/hello
cd "$work"
said=$(env -u JAVA_HOME "$prefix/bin/jlauncher-pack" -o hello "$examples/hello.jar" "$prefix/share/java/jlauncher.jar" \
  2>&1) || fail "jlauncher-pack failed: $said"
if [ "$portable" = ON ]; then
  # The launcher beside it is the portable one: nothing to warn of.
  [ -z "$said" ] || fail "jlauncher-pack said: $said"
  (cd "$prefix" && sh "$here/portable_check.sh" $portable_binaries "$work/hello") || fail "not portable"
fi
out=$(env -u UTRACE -u LD_LIBRARY_PATH -u LD_PRELOAD JAVA_HOME="$jdk" PATH=/usr/bin:/bin ./hello one 'two words')
for line in "Hello, world!" "Running under jlauncher: yes" "  argument: one" "  argument: two words"; do
  printf '%s\n' "$out" | grep -qxF "$line" || fail "the packed example printed: $out"
done
out=$("$jdk/bin/java" -cp "$examples/hello.jar:$prefix/share/java/jlauncher.jar" demo.Hello)
printf '%s\n' "$out" | grep -qxF "Running under jlauncher: no" || fail "plain java printed: $out"
unzip -p "$prefix/share/java/jlauncher.jar" META-INF/MANIFEST.MF | grep -qx 'Bundle-License: Apache-2.0.\?' ||
  fail "the companion library's manifest names no licence"
echo "PASS: $mode"
