#!/bin/sh
# Runs a program of another root file system on this build's files:
#   chroot-run.sh ROOT DIRS PROGRAM ARGUMENT...
# The directories DIRS (separated by ':') appear at the same paths inside
# ROOT, mounted in a mount namespace of the program's own, so that nothing
# stays mounted once it ends; the working directory is kept. The portable
# build runs Debian 11's compiler this way.
set -eu
if [ "${1:-}" != --inside ]; then
  # Outside root, a user namespace grants the mounts and the chroot.
  [ "$(id -u)" -eq 0 ] || map=--map-root-user
  exec unshare ${map:-} --mount --propagation private sh "$0" --inside "$@"
fi
shift
root=$1 dirs=$2
shift 2
IFS=:
for dir in $dirs; do
  mkdir -p "$root$dir"
  mount --bind "$dir" "$root$dir"
done
unset IFS
exec chroot "$root" /bin/sh -c 'cd "$1" && shift && exec "$@"' sh "$PWD" "$@"
