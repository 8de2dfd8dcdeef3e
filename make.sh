#!/bin/sh
# The README's two commands: `./make.sh demo` and `./make.sh test`. They work
# on a Debian 12 that has not even make: run as root, they first install what
# is missing (apt-get), then run the make target of the same name.
set -eu
cd "$(dirname "$0")"
case "${1:-}" in
  demo | test) ;;
  *) echo "Usage: $0 demo|test" >&2; exit 2 ;;
esac
scripts/ensure-deps.sh "$1"
exec make "$1"
