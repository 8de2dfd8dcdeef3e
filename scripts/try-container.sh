#!/bin/sh
# Runs the README's commands as root in a minimal Debian 12 root the way a
# container with docker's or podman's defaults runs them: the root's /proc,
# /dev and /sys are mounted from outside, and the build runs chrooted without
# CAP_SYS_ADMIN, so that it can neither mount nor make a mount namespace, and
# (being chrooted) no user namespace either. Everything the README promises
# must work there, and tests that need a namespace must skip.
#   scripts/try-container.sh [demo]     ./make.sh demo
#   scripts/try-container.sh test       ./make.sh test (long)
#   scripts/try-container.sh -- COMMAND...
#                                       a command of its own, in the copy
# Run as root. The root is made once with debootstrap and kept under
# /var/cache/jlauncher (JLAUNCHER_CONTAINER_ROOT names another); what the
# commands install or build in it stays there, the Debian 11 build root
# (made inside, by the build itself) too. The source tree is copied to
# /root/jlauncher in it on every run, without build/ and .git.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
arch=$(dpkg --print-architecture)
root=${JLAUNCHER_CONTAINER_ROOT:-/var/cache/jlauncher/bookworm-$arch}
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: debootstrap, mount and chroot need it"
case "${1:-demo}" in
  demo | test) set -- ./make.sh "${1:-demo}" ;;
  --) shift; [ $# -gt 0 ] || fail "no command after --" ;;
  *) echo "Usage: $0 [demo|test|-- COMMAND...]" >&2; exit 2 ;;
esac

stamp="jlauncher container root 1: bookworm minbase"
if [ "$(cat "$root/.jlauncher-root" 2>/dev/null)" != "$stamp" ]; then
  echo "Making the Debian 12 root $root (once; a few minutes)"
  rm -rf --one-file-system "$root.new"
  mkdir -p "$(dirname "$root")"
  debootstrap --variant=minbase --arch="$arch" bookworm "$root.new" http://deb.debian.org/debian \
    > "$root.log" 2>&1 || fail "debootstrap failed, see $root.log"
  echo "$stamp" > "$root.new/.jlauncher-root"
  rm -rf --one-file-system "$root" "$root.log"
  mv "$root.new" "$root"
fi
cp /etc/resolv.conf "$root/etc/resolv.conf"

# A fresh copy of the sources beside the builds of earlier runs.
copy=$root/root/jlauncher
mkdir -p "$copy"
find "$copy" -mindepth 1 -maxdepth 1 ! -name build -exec rm -rf {} +
# The build directory in the root stays from run to run: the files are
# extracted with the time of this run (-m), so that every object built from
# an earlier copy is older than its source, whatever the source's own time.
tar -C "$here" --exclude=./build --exclude=./.git -cf - . | tar -C "$copy" -xmf -

# The mounts live in a namespace of this script's own and end with it; the
# command inside gets neither CAP_SYS_ADMIN (dropped from the bounding and
# inheritable sets, so that no program it starts as root regains it) nor a
# way to make a user namespace, which the kernel refuses to chrooted
# processes.
echo "In a Debian $(cat "$root/etc/debian_version") root without mounts or namespaces: $*"
status=0
unshare --mount --propagation private sh -eu -c '
  root=$1
  shift
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount -t sysfs -o ro sysfs "$root/sys"
  exec setpriv --inh-caps=-sys_admin --bounding-set=-sys_admin \
    chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    /bin/sh -c "
      cd /root/jlauncher
      if unshare --mount true 2>/dev/null || unshare --user true 2>/dev/null; then
        echo \"a namespace can be made here: not like a container\" >&2
        exit 125
      fi
      exec \"\$@\"" sh "$@"
' sh "$root" "$@" || status=$?
case $status in
  0) echo "PASS: $* in a container-like Debian 12 root" ;;
  125) fail "the root is not like a container" ;;
  *) fail "$* failed in a container-like Debian 12 root (status $status)" ;;
esac
