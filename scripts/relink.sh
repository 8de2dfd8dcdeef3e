# Sourced by the scripts that make roots whose files are used from outside
# them (a compiler's sysroot, qemu's library root). A link to an absolute
# path would lead there to this machine's files, so such links are made
# relative, which inside the root means the same.
#   absolute_links ROOT DIR...   the links to absolute paths under ROOT/DIR
#   relink ROOT DIR...           makes each of them relative
absolute_links() {
  root_=$1
  shift
  for top in "$@"; do [ ! -d "$root_/$top" ] || find "$root_/$top" -type l -lname '/*'; done
}
relink() {
  absolute_links "$@" | while IFS= read -r link; do
    relative=$(realpath --no-symlinks --canonicalize-missing --relative-to="$(dirname "$link")" "$1$(readlink "$link")")
    ln -s "$relative" "$link.relative"
    mv -T "$link.relative" "$link"
  done
}
