#!/bin/sh
# Installs what building and testing jlauncher needs on Debian 12, when run as
# root; otherwise prints the command that installs it and fails.
set -eu
packages="cmake ninja-build g++ libgtest-dev openjdk-17-jdk-headless zip unzip clang libclang-rt-14-dev maven ant libzip-dev"
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
  DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
else
  echo "Missing packages:$missing" >&2
  echo "Install them with:" >&2
  echo "  sudo apt-get install -y$missing" >&2
  exit 1
fi
