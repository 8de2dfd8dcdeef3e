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
# JLAUNCHER_BULLSEYE_ROOT names another directory.
set -eu
arch=$(dpkg --print-architecture)
root=${JLAUNCHER_BULLSEYE_ROOT:-/var/cache/jlauncher/bullseye-$arch}
mirror=http://deb.debian.org/debian
# A root made with another package set or libzip build is made again.
stamp="jlauncher build root 1: g++ zlib1g-dev, libzip static"
packages=g++,make,cmake,zlib1g-dev,dpkg-dev,ca-certificates

# Links to absolute paths (libpthread.so -> /lib/x86_64-linux-gnu/...) would
# lead a compiler outside the root to this machine's files: they are made
# relative, which inside the root means the same.
absolute_links() { find "$1/usr" -type l -lname '/*'; }
relink() {
  absolute_links "$1" | while IFS= read -r link; do
    relative=$(realpath --no-symlinks --canonicalize-missing --relative-to="$(dirname "$link")" "$1$(readlink "$link")")
    ln -s "$relative" "$link.relative"
    mv -T "$link.relative" "$link"
  done
}

made() { [ "$(cat "$root/.jlauncher-root" 2>/dev/null)" = "$stamp" ] && [ -f "$root/usr/local/lib/libzip.a" ]; }
usable() { made && [ -z "$(absolute_links "$root")" ] && "$root/usr/bin/g++" -dumpversion >/dev/null 2>&1; }

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
  relink "$new"
  echo "$stamp" > "$new/.jlauncher-root"
  rm -rf --one-file-system "$root" "$new.log"
  mv "$new" "$root"
}

case "${1:-}" in
  check)
    usable || exit 1
    ;;
  ensure)
    if ! usable; then
      [ "$(id -u)" -eq 0 ] || { echo "Making the Debian 11 build root $root needs root" >&2; exit 1; }
      mkdir -p "$(dirname "$root")"
      # Two builds at once make it once.
      exec 9> "$root.lock"
      flock 9
      # A root made before its links were made relative needs only that.
      if made; then relink "$root"; fi
      usable || make_root
    fi
    ;;
  *) echo "Usage: $0 ensure|check" >&2; exit 2 ;;
esac
echo "$root"
