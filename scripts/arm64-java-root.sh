#!/bin/sh
# A real arm64 Java for the arm64 build's end-to-end runs: Debian 12's
# arm64 openjdk-17-jre-headless and the JDK with its modules, with
# everything they depend on (glibc, the
# C++ runtime, zlib, ...), unpacked (dpkg -x, never installed) into a
# directory that qemu-aarch64 takes as the root of its programs
# (qemu-aarch64 -L ROOT ROOT/usr/lib/jvm/java-17-openjdk-arm64/bin/java).
# The packages come through a private apt state pointed at bookworm and
# bookworm-security; the machine's own apt and dpkg state is left as it was.
#   arm64-java-root.sh ensure   makes the root when it is missing or broken
#                               (as root), then prints its directory
#   arm64-java-root.sh check    prints its directory when it is usable, and
#                               fails otherwise
#   arm64-java-root.sh home     prints the Java home inside a usable root,
#                               and fails otherwise
# JLAUNCHER_ARM64_JAVA_ROOT names another directory.
set -eu
root=${JLAUNCHER_ARM64_JAVA_ROOT:-/var/cache/jlauncher/bookworm-java-arm64}
java=usr/lib/jvm/java-17-openjdk-arm64
mirror=http://deb.debian.org/debian
security=http://security.debian.org/debian-security
# The JDK brings the modules (jmods) that this machine's jlink makes arm64
# runtimes of.
packages="openjdk-17-jre-headless openjdk-17-jdk-headless"
# A root made from another package set is made again.
stamp="jlauncher arm64 java root 2: bookworm $packages"

# What the JVM reads at start: its library, its configuration and module
# image, and the security configuration the JDK links to /etc.
needed="$java/bin/java $java/lib/server/libjvm.so $java/lib/jvm.cfg $java/lib/modules
  $java/conf/security/java.security $java/conf/security/java.policy $java/lib/security/cacerts
  $java/jmods/java.base.jmod lib/ld-linux-aarch64.so.1"

# qemu-aarch64 -L looks for a path inside the root first, but the kernel and
# a link read outside qemu follow an absolute link to this machine's files:
# those under usr, etc and lib are made relative.
. "$(dirname "$0")/relink.sh"
tops="usr etc lib"

# The certificates that ca-certificates' and ca-certificates-java's
# maintainer scripts would have put in /etc/ssl/certs, in the root $1: a
# NAME.pem link per certificate, the bundle, and the Java key store the JDK
# links to, written by Debian's own tool (run on this machine's Java, as the
# store's format does not depend on the architecture) from a scratch
# directory $2.
trust_store() {
  certs=$1/etc/ssl/certs
  : > "$certs/ca-certificates.crt"
  for crt in "$1"/usr/share/ca-certificates/*/*.crt; do
    pem=$certs/$(basename "$crt" .crt).pem
    ln -sr "$crt" "$pem"
    cat "$crt" >> "$certs/ca-certificates.crt"
    echo "+$pem"
  done > "$2/certificates"
  cat > "$2/Cacerts.java" <<'END'
import java.io.InputStreamReader;
import java.io.Reader;
import java.nio.charset.StandardCharsets;

/** Debian's key store updater, told where the store is: its main knows only /etc. */
class Cacerts {
  public static void main(String[] args) throws Exception {
    new Update(args[0]).run(new InputStreamReader(System.in, StandardCharsets.UTF_8));
  }
}

class Update extends org.debian.security.UpdateCertificates {
  Update(String store) throws Exception { super(store, "changeit"); }

  void run(Reader changes) throws Exception {
    processChanges(changes);
    finish();
  }
}
END
  "$host_java" -cp "$1/usr/share/ca-certificates-java/ca-certificates-java.jar" "$2/Cacerts.java" \
    "$certs/java/cacerts" < "$2/certificates"
}

usable() {
  [ "$(cat "$root/.jlauncher-root" 2>/dev/null)" = "$stamp" ] || return 1
  for file in $needed; do [ -f "$root/$file" ] || return 1; done
  # shellcheck disable=SC2086
  [ -z "$(absolute_links "$root" $tops)" ]
}

make_root() {
  # What the making needs of this machine, asked for before the download:
  # a Java of 11 or later to run a source file, and Debian's archive keys.
  host_java=$(command -v java || ls /usr/lib/jvm/*/bin/java 2>/dev/null | head -n 1) ||
    { echo "Making the arm64 Java root needs a Java of this machine (openjdk-17-jdk-headless)" >&2; exit 1; }
  [ -n "$host_java" ] && "$host_java" -version 2>&1 | grep -q 'version "\(1[1-9]\|[2-9][0-9]\)' ||
    { echo "Making the arm64 Java root needs Java 11 or later on this machine" >&2; exit 1; }
  for key in stable automatic security-automatic; do
    [ -f "/usr/share/keyrings/debian-archive-bookworm-$key.gpg" ] ||
      { echo "Making the arm64 Java root needs Debian's archive keys (debian-archive-keyring)" >&2; exit 1; }
  done
  new=$root.new
  rm -rf --one-file-system "$new"
  state=$new.apt
  # What a failure leaves is removed; its log is kept.
  trap 'rm -rf --one-file-system "$new" "$state"' EXIT
  rm -rf --one-file-system "$state"
  mkdir -p "$state/lists/partial" "$state/archives/partial" "$state/etc/preferences.d" "$new"
  echo "Unpacking Debian 12's arm64 Java 17 into $root (once; under a minute)" >&2
  cat > "$state/etc/sources.list" <<EOF
deb [signed-by=/usr/share/keyrings/debian-archive-bookworm-stable.gpg] $mirror bookworm main
deb [signed-by=/usr/share/keyrings/debian-archive-bookworm-automatic.gpg] $mirror bookworm-updates main
deb [signed-by=/usr/share/keyrings/debian-archive-bookworm-security-automatic.gpg] $security bookworm-security main
EOF
  # An empty status file: apt takes nothing as installed, so the download
  # is the whole dependency closure, libc6 included.
  : > "$state/status"
  apt="-o Dir::Etc::SourceList=$state/etc/sources.list -o Dir::Etc::SourceParts=/nonexistent
       -o Dir::Etc::Preferences=/nonexistent -o Dir::Etc::PreferencesParts=$state/etc/preferences.d
       -o Dir::State=$state -o Dir::State::Lists=$state/lists -o Dir::State::status=$state/status
       -o Dir::Cache=$state -o Dir::Cache::archives=$state/archives -o Dir::Cache::pkgcache=
       -o Dir::Cache::srcpkgcache= -o APT::Architecture=arm64 -o APT::Architectures=arm64
       -o APT::Install-Recommends=false -o Debug::NoLocking=1"
  # shellcheck disable=SC2086
  { apt-get $apt -q update && apt-get $apt -q -y install --download-only $packages; } \
    > "$new.log" 2>&1 || { tail -20 "$new.log" >&2; echo "downloading arm64 Java 17 failed, see $new.log" >&2; exit 1; }
  for deb in "$state"/archives/*.deb; do
    dpkg -x "$deb" "$new" || { echo "unpacking $deb failed" >&2; exit 1; }
  done
  trust_store "$new" "$state" >> "$new.log" 2>&1 ||
    { tail -20 "$new.log" >&2; echo "making the arm64 Java's cacerts failed, see $new.log" >&2; exit 1; }
  # shellcheck disable=SC2086
  relink "$new" $tops
  # dpkg -x sets the modes of the root directory from the packages.
  chmod 755 "$new"
  for file in $needed; do
    [ -f "$new/$file" ] || { echo "the unpacked arm64 Java lacks $file" >&2; exit 1; }
  done
  echo "$stamp" > "$new/.jlauncher-root"
  rm -rf --one-file-system "$state" "$root" "$new.log"
  mv "$new" "$root"
  trap - EXIT
}

case "${1:-}" in
  check|home)
    usable || exit 1
    ;;
  ensure)
    if ! usable; then
      [ "$(id -u)" -eq 0 ] || { echo "Unpacking the arm64 Java root $root needs root" >&2; exit 1; }
      mkdir -p "$(dirname "$root")"
      # Two builds at once make it once.
      exec 9> "$root.lock"
      flock 9
      usable || make_root
    fi
    ;;
  *) echo "Usage: $0 ensure|check|home" >&2; exit 2 ;;
esac
if [ "$1" = home ]; then echo "$root/$java"; else echo "$root"; fi
