#!/bin/sh
# A Java 11 for the end-to-end tests: Debian 11's openjdk-11-jre-headless,
# unpacked (dpkg -x, never installed) into a directory of its own, so that
# the suite runs against a Java that Debian 12 no longer ships. The packages
# come through a private apt state pointed at bullseye and bullseye-security;
# the machine's own apt and dpkg state is left as it was.
#   java11-home.sh ensure   unpacks it when missing or broken (as root), then
#                           prints its Java home
#   java11-home.sh check    prints its Java home when it is usable, and fails
#                           otherwise
# JLAUNCHER_JAVA11_DIR names another directory.
set -eu
arch=$(dpkg --print-architecture)
dir=${JLAUNCHER_JAVA11_DIR:-/var/cache/jlauncher/openjdk-11-bullseye-$arch}
home=$dir/usr/lib/jvm/java-11-openjdk-$arch
mirror=http://deb.debian.org/debian
security=http://security.debian.org/debian-security
# A directory unpacked from another package set is unpacked again.
stamp="jlauncher java 11 1: openjdk-11-jre-headless"

usable() {
  [ "$(cat "$dir/.jlauncher-java" 2>/dev/null)" = "$stamp" ] && "$home/bin/java" -version >/dev/null 2>&1
}

unpack() {
  new=$dir.new
  rm -rf --one-file-system "$new"
  mkdir -p "$new/apt/lists/partial" "$new/apt/archives/partial" "$new/apt/etc/preferences.d" "$new/debs"
  echo "Unpacking Debian 11's Java 11 into $dir (once; a minute)" >&2
  cat > "$new/apt/etc/sources.list" <<EOF
deb [signed-by=/usr/share/keyrings/debian-archive-bullseye-stable.gpg] $mirror bullseye main
deb [signed-by=/usr/share/keyrings/debian-archive-bullseye-security-automatic.gpg] $security bullseye-security main
EOF
  : > "$new/apt/status"
  apt="-o Dir::Etc::SourceList=$new/apt/etc/sources.list -o Dir::Etc::SourceParts=/nonexistent
       -o Dir::Etc::Preferences=/nonexistent -o Dir::Etc::PreferencesParts=$new/apt/etc/preferences.d
       -o Dir::State=$new/apt -o Dir::State::Lists=$new/apt/lists -o Dir::State::status=$new/apt/status
       -o Dir::Cache=$new/apt -o Dir::Cache::archives=$new/apt/archives -o APT::Architecture=$arch
       -o APT::Architectures=$arch -o Debug::NoLocking=1"
  # shellcheck disable=SC2086
  { apt-get $apt -q update && (cd "$new/debs" && apt-get $apt -q download openjdk-11-jre-headless); } \
    > "$new.log" 2>&1 || { tail -20 "$new.log" >&2; echo "downloading Java 11 failed, see $new.log" >&2; exit 1; }
  for deb in "$new"/debs/*.deb; do dpkg -x "$deb" "$new"; done
  # The package links its configuration (jvm.cfg, java.security, ...) to
  # /etc/java-11-openjdk, which was unpacked beside it: each absolute link
  # is made a relative link into the unpacked tree.
  find "$new/usr/lib/jvm" -type l | while read -r link; do
    target=$(readlink "$link")
    case $target in
      /*) if [ -e "$new$target" ]; then ln -sfnr "$new$target" "$link"; fi ;;
    esac
  done
  rm -rf --one-file-system "$new/apt" "$new/debs"
  echo "$stamp" > "$new/.jlauncher-java"
  rm -rf --one-file-system "$dir" "$new.log"
  mv "$new" "$dir"
}

case "${1:-}" in
  check)
    usable || exit 1
    ;;
  ensure)
    if ! usable; then
      [ "$(id -u)" -eq 0 ] || { echo "Unpacking Java 11 into $dir needs root" >&2; exit 1; }
      mkdir -p "$(dirname "$dir")"
      exec 9> "$dir.lock"
      flock 9
      usable || unpack
    fi
    ;;
  *) echo "Usage: $0 ensure|check" >&2; exit 2 ;;
esac
echo "$home"
