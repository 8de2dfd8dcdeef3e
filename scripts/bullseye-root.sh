#!/bin/sh
# The Debian 11 root (glibc 2.31, g++ 10) whose compiler, headers and
# libraries compile the portable launcher and packer (cmake/portable.cmake
# runs its g++ from outside, with the root as the sysroot): made once with
# debootstrap, from Debian's own packages, and kept outside the build tree so
# that a clean clone reuses it. It also
# holds a static libzip built from Debian's libzip source package, which lets
# the portable packer run where libzip is missing or has another soname.
#   bullseye-root.sh ensure   makes the root when it is missing or broken (as
#                             root), then prints its directory
#   bullseye-root.sh check    prints its directory when it is usable, and
#                             fails otherwise
#   bullseye-root.sh ensure-arm64, check-arm64
#                             the same for the root with its arm64 part
#                             added: Debian 11's cross compiler for arm64
#                             (g++-aarch64-linux-gnu, libc6-dev-arm64-cross)
#                             and a static zlib and libzip built with it from
#                             Debian's source packages, in
#                             usr/local/aarch64-linux-gnu; added to a root
#                             that lacks it, not made again
# JLAUNCHER_BULLSEYE_ROOT names another directory.
set -eu
arch=$(dpkg --print-architecture)
root=${JLAUNCHER_BULLSEYE_ROOT:-/var/cache/jlauncher/bullseye-$arch}
mirror=http://deb.debian.org/debian
# A root made with another package set or libzip build is made again.
stamp="jlauncher build root 1: g++ zlib1g-dev, libzip static"
packages=g++,make,cmake,zlib1g-dev,dpkg-dev,ca-certificates

# Links to absolute paths (libpthread.so -> /lib/x86_64-linux-gnu/...) would
# lead a compiler outside the root to this machine's files: those under usr
# are made relative.
. "$(dirname "$0")/relink.sh"

# The arm64 part has a stamp of its own, so that adding it, or a change to
# it, leaves the rest of the root as it is.
arm64_stamp="jlauncher build root arm64 1: g++-aarch64-linux-gnu, zlib and libzip static"
arm64_prefix=/usr/local/aarch64-linux-gnu

made() { [ "$(cat "$root/.jlauncher-root" 2>/dev/null)" = "$stamp" ] && [ -f "$root/usr/local/lib/libzip.a" ]; }
usable() { made && [ -z "$(absolute_links "$root" usr)" ] && "$root/usr/bin/g++" -dumpversion >/dev/null 2>&1; }

arm64_made() {
  [ "$(cat "$root/.jlauncher-root-arm64" 2>/dev/null)" = "$arm64_stamp" ] &&
    [ -f "$root$arm64_prefix/lib/libzip.a" ] && [ -f "$root$arm64_prefix/lib/libz.a" ]
}
arm64_usable() {
  usable && arm64_made && "$root/usr/bin/aarch64-linux-gnu-g++" -dumpversion >/dev/null 2>&1
}

# Adds the arm64 part to a usable root, in place: the packages are new ones
# and change none the root holds, so that builds with its x86-64 compiler
# may go on meanwhile. zlib and libzip are cross-compiled in the root, with
# what the x86-64 libzip has (deflate only, no tools).
add_arm64() {
  log=$root.arm64.log
  echo "Adding arm64 to the Debian 11 build root $root (once; about a minute)" >&2
  rm -f "$root/.jlauncher-root-arm64"
  cp /etc/resolv.conf "$root/etc/resolv.conf"
  chroot "$root" sh -eu -c '
    prefix='"$arm64_prefix"'
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -q -y --no-install-recommends \
      g++-aarch64-linux-gnu libc6-dev-arm64-cross
    # Debian 11 ships these three with their debugging information: 600 MB
    # that no build reads.
    strip --strip-debug /usr/lib/gcc-cross/aarch64-linux-gnu/*/cc1 /usr/lib/gcc-cross/aarch64-linux-gnu/*/cc1plus \
      /usr/lib/gcc-cross/aarch64-linux-gnu/*/lto1
    rm -rf /usr/src/arm64 "$prefix"
    mkdir -p /usr/src/arm64 && cd /usr/src/arm64
    apt-get source -q zlib libzip
    (cd zlib-*/ && CHOST=aarch64-linux-gnu CFLAGS="-O2 -fPIC" ./configure --static --prefix="$prefix" &&
      make -j2 libz.a && make install)
    mkdir build && cd build
    cmake ../libzip-*/ -DCMAKE_SYSTEM_NAME=Linux -DCMAKE_SYSTEM_PROCESSOR=aarch64 \
      -DCMAKE_C_COMPILER=aarch64-linux-gnu-gcc -DCMAKE_FIND_ROOT_PATH="$prefix;/usr/aarch64-linux-gnu" \
      -DCMAKE_FIND_ROOT_PATH_MODE_PROGRAM=NEVER -DCMAKE_FIND_ROOT_PATH_MODE_LIBRARY=ONLY \
      -DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY -DCMAKE_FIND_ROOT_PATH_MODE_PACKAGE=ONLY \
      -DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
      -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_INSTALL_PREFIX="$prefix" \
      -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_OPENSSL=OFF \
      -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
      -DENABLE_WINDOWS_CRYPTO=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF \
      -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
    make -j2 install
    apt-get clean
    rm -rf /usr/src/arm64 /var/lib/apt/lists/*' > "$log" 2>&1 ||
    { tail -20 "$log" >&2; echo "adding arm64 failed, see $log" >&2; exit 1; }
  relink "$root" usr
  echo "$arm64_stamp" > "$root/.jlauncher-root-arm64"
  rm -f "$log"
}

make_root() {
  new=$root.new
  rm -rf --one-file-system "$new"
  mkdir -p "$new"
  echo "Making the Debian 11 build root $root (once; a few minutes)" >&2
  debootstrap --variant=minbase --arch="$arch" --include="$packages" bullseye "$new" "$mirror" \
    > "$new.log" 2>&1 || { tail -20 "$new.log" >&2; echo "debootstrap failed, see $new.log" >&2; exit 1; }
  printf 'deb-src %s bullseye main\n' "$mirror" >> "$new/etc/apt/sources.list"
  cp /etc/resolv.conf "$new/etc/resolv.conf"
  # libzip with only what jars use (deflate through a static zlib), without
  # its tools, tests and encryption.
  chroot "$new" sh -eu -c '
    apt-get update -q
    mkdir -p /usr/src/libzip && cd /usr/src/libzip
    apt-get source -q libzip
    mkdir build && cd build
    cmake ../libzip-*/ -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
      -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_INSTALL_PREFIX=/usr/local \
      -DENABLE_BZIP2=OFF -DENABLE_LZMA=OFF -DENABLE_ZSTD=OFF -DENABLE_OPENSSL=OFF \
      -DENABLE_GNUTLS=OFF -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
      -DENABLE_WINDOWS_CRYPTO=OFF -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF \
      -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF
    make -j2 install
    apt-get clean
    rm -rf /usr/src/libzip /var/lib/apt/lists/*' >> "$new.log" 2>&1 ||
    { tail -20 "$new.log" >&2; echo "building libzip failed, see $new.log" >&2; exit 1; }
  relink "$new" usr
  echo "$stamp" > "$new/.jlauncher-root"
  rm -rf --one-file-system "$root" "$new.log"
  mv "$new" "$root"
}

case "${1:-}" in
  check)
    usable || exit 1
    ;;
  check-arm64)
    arm64_usable || exit 1
    ;;
  ensure | ensure-arm64)
    if ! usable || { [ "$1" = ensure-arm64 ] && ! arm64_usable; }; then
      [ "$(id -u)" -eq 0 ] || { echo "Making the Debian 11 build root $root needs root" >&2; exit 1; }
      mkdir -p "$(dirname "$root")"
      # Two builds at once make it once.
      exec 9> "$root.lock"
      flock 9
      # A root made before its links were made relative needs only that.
      if made; then relink "$root" usr; fi
      usable || make_root
      if [ "$1" = ensure-arm64 ]; then arm64_usable || add_arm64; fi
    fi
    ;;
  *) echo "Usage: $0 ensure|check|ensure-arm64|check-arm64" >&2; exit 2 ;;
esac
echo "$root"
