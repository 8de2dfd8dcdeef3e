#!/bin/sh
# Installs what a make target needs on Debian 12 (the first argument: demo,
# deb, rpm, dist or test), when run as root; otherwise prints the command that
# installs it and fails.
set -eu
# The demo builds the launcher, jlauncher-pack and the example application,
# the portable ones in the Debian 11 root that debootstrap makes.
demo="make cmake ninja-build g++ openjdk-17-jdk-headless libzip-dev debootstrap"
# The packages and the release archive add CPack's tools.
dist="$demo"
deb="$dist dpkg-dev file"
rpm="$dist rpm file"
# The tests also need GoogleTest (and its sources for the cross build),
# archive tools, clang for the fuzzers, the packaging tools, the Java tools
# they run through the launcher, the sparc64 cross tools and emulator for
# the big-endian profile, the i686 cross tools for the 32-bit one, the
# aarch64 ones for the arm64 one, systemd-nspawn to boot systemd for the
# services, and for splash screens and the desktop application a Java with
# AWT and the splash library, its fonts, a virtual X display, the tools that
# take a screenshot of it and the desktop's own tools (xdg-mime reads the
# MIME database through File::MimeInfo where no desktop runs).
test="$demo libgtest-dev googletest zip unzip clang libclang-rt-14-dev file dpkg-dev lintian rpm
  maven ant g++-sparc64-linux-gnu libc6-dev-sparc64-cross qemu-user g++-i686-linux-gnu libc6-dev-i386-cross
  g++-aarch64-linux-gnu libc6-dev-arm64-cross systemd-container
  openjdk-17-jre fonts-dejavu-core xvfb x11-apps imagemagick desktop-file-utils xdg-utils libfile-mimeinfo-perl
  shared-mime-info"
case "${1:-test}" in
  demo) packages=$demo ;;
  deb) packages=$deb ;;
  rpm) packages=$rpm ;;
  dist) packages=$dist ;;
  test) packages=$test ;;
  *) echo "Usage: $0 demo|deb|rpm|dist|test" >&2; exit 2 ;;
esac
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages:$missing" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get install -y$missing" >&2
  exit 1
fi

# apt-get, waiting while another apt or dpkg (an unattended upgrade, another
# build) holds a lock, for up to ten minutes. DPkg::Lock::Timeout covers
# dpkg's lock; the package lists' lock of `apt-get update` is waited for here.
apt_get() {
  errors=$(mktemp)
  waited=0
  until DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@" 2> "$errors"; do
    cat "$errors" >&2
    if ! grep -q 'Could not get lock\|Unable to lock' "$errors" || [ "$waited" -ge 600 ]; then
      rm -f "$errors"
      return 1
    fi
    echo "Waiting for the apt lock" >&2
    sleep 10
    waited=$((waited + 10))
  done
  cat "$errors" >&2
  rm -f "$errors"
}

echo "Installing:$missing"
apt_get update
apt_get install -y --no-install-recommends $missing
