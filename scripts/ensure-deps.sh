#!/bin/sh
# Installs what `make demo` or `make test` needs on Debian 12 (the first
# argument: demo or test), when run as root; otherwise prints the command that
# installs it and fails.
set -eu
# The demo builds the launcher, jlauncher-pack and the example application.
demo="make cmake ninja-build g++ openjdk-17-jdk-headless libzip-dev"
# The tests also need GoogleTest (and its sources for the cross build),
# archive tools, clang for the fuzzers, the Debian packaging tools, the Java
# tools they run through the launcher, and the sparc64 cross tools and
# emulator for the big-endian profile.
test="$demo libgtest-dev googletest zip unzip clang libclang-rt-14-dev file dpkg-dev lintian maven ant
  g++-sparc64-linux-gnu libc6-dev-sparc64-cross qemu-user"
case "${1:-test}" in
  demo) packages=$demo ;;
  test) packages=$test ;;
  *) echo "Usage: $0 demo|test" >&2; exit 2 ;;
esac
missing=""
for package in $packages; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "Installing:$missing"
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
else
  echo "Missing packages:$missing" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get install -y$missing" >&2
  exit 1
fi
