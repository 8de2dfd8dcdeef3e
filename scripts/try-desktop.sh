#!/bin/sh
# The example desktop application as a user gets it: packed into its own
# Debian package by jlauncher-pack --deb, checked by lintian, installed with
# apt-get, started under Xvfb from its desktop entry (its splash screen, its
# window, the user's -Xmx from ~/.config/jlviewer/), a file of its type
# opened by a second start in the running window, then removed, leaving
# none of its files.
#   try-desktop.sh PACKER VIEWER_JAR COMPANION_JAR EXAMPLE_DIR ARTIFACTS
# EXAMPLE_DIR holds viewer.config and its images; ARTIFACTS receives the
# screenshots. Installs the package on this machine, so it runs as root;
# ends with 77 (skipped) without root, apt-get, Xvfb or xwd, or when a
# package named jlviewer that this script did not make is installed.
set -eu
packer=$1 jar=$2 companion=$3 example=$4 artifacts=$5
name=jlviewer

skip() {
  echo "try-desktop: skipped: $*"
  exit 77
}
fail() {
  echo "try-desktop: FAILED: $*" >&2
  exit 1
}
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in apt-get dpkg Xvfb xwd; do
  command -v "$tool" > /dev/null || skip "$tool is not installed"
done
if dpkg-query -W -f='${Status}' "$name" 2> /dev/null | grep -q installed; then
  dpkg-query -W -f='${Description}' "$name" | grep -q 'jlauncher example' || skip "another $name package is installed"
  dpkg --purge "$name" > /dev/null
fi

work=$(mktemp -d)
xvfb=""
viewer=""
cleanup() {
  [ -z "$viewer" ] || kill "$viewer" 2> /dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2> /dev/null || true
  if dpkg-query -W -f='${Status}' "$name" 2> /dev/null | grep -q installed; then dpkg --purge "$name" > /dev/null; fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
mkdir -p "$artifacts" "$work/docs" "$work/home" "$work/config/$name" "$work/run" "$work/data"
chmod 700 "$work/run"

deb=$work/${name}.deb
"$packer" --deb --name "$name" --version 1.0-1 --maintainer "jlauncher tests <tests@jlauncher.invalid>" \
  --description "Notes viewer, the jlauncher example desktop application" \
  --man "$example/viewer.1" --config "$example/viewer.config" -o "$deb" "$jar" "$companion" > "$work/pack.out" 2>&1 ||
  { cat "$work/pack.out"; fail "jlauncher-pack --deb"; }
if command -v lintian > /dev/null; then
  lintian --fail-on error,warning "$deb" > "$work/lintian.out" 2>&1 || { cat "$work/lintian.out"; fail "lintian"; }
fi

DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 install -y -q --no-install-recommends "$deb" \
  > "$work/apt.out" 2>&1 || { cat "$work/apt.out"; fail "apt-get install"; }
dpkg-query -L "$name" > "$work/installed"

# The desktop finds it: its entry, its icon in the theme, its file type.
entry=/usr/share/applications/$name.desktop
for file in /usr/bin/$name "$entry" /usr/share/icons/hicolor/48x48/apps/$name.png /usr/share/mime/packages/$name.xml \
  /usr/share/$name/splash.png; do
  grep -qx "$file" "$work/installed" || fail "the package does not install $file"
done
grep -qx "Icon=$name" "$entry" || fail "the entry names no icon $name"
if command -v desktop-file-validate > /dev/null; then desktop-file-validate "$entry" || fail "desktop-file-validate"; fi
echo "first note" > "$work/docs/one.jlnotes"
echo "second note" > "$work/docs/two.jlnotes"
if command -v xdg-mime > /dev/null; then
  xdg() { env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_DATA_HOME="$work/data" XDG_DATA_DIRS=/usr/share xdg-mime "$@"; }
  [ "$(xdg query filetype "$work/docs/one.jlnotes")" = "text/x-jlnotes" ] || fail "xdg-mime query filetype"
  [ "$(xdg query default text/x-jlnotes)" = "$name.desktop" ] || fail "xdg-mime query default"
fi

# The user's own heap size, where the launcher looks for it.
echo "vmparam -Xmx123m" > "$work/config/$name/heap.config"

display=""
for n in 91 92 93 94 95 96 97 98 99; do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=$n; break; }
done
[ -n "$display" ] || skip "no free X display number"
Xvfb ":$display" -screen 0 800x600x24 -nolisten tcp > "$work/xvfb.out" 2>&1 &
xvfb=$!
waited=0
until [ -e "/tmp/.X11-unix/X$display" ]; do
  sleep 0.2
  waited=$((waited + 1))
  [ "$waited" -lt 50 ] || { cat "$work/xvfb.out"; fail "Xvfb did not start"; }
done

# As the desktop starts it: the entry's Exec with the file's path for %F.
exec_line=$(sed -n 's/^Exec=//p' "$entry")
[ "$exec_line" = "/usr/bin/$name %F" ] || fail "Exec=$exec_line"
start() {
  exec env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/run" \
    DISPLAY=":$display" "/usr/bin/$name" "$@"
}
wait_for() {
  waited=0
  until grep -qxF "$1" "$work/first.out"; do
    sleep 0.2
    waited=$((waited + 1))
    [ "$waited" -lt 300 ] || { cat "$work/first.out"; fail "the viewer never printed '$1'"; }
  done
}
screenshot() {
  xwd -root -display ":$display" -out "$artifacts/$1.xwd"
  if command -v convert > /dev/null; then
    convert "xwd:$artifacts/$1.xwd" "png:$artifacts/$1.png" && rm "$artifacts/$1.xwd"
  fi
}
(cd "$work/docs" && start "$work/docs/one.jlnotes" > "$work/first.out" 2>&1) &
viewer=$!
wait_for "Splash screen: shown"
screenshot desktop-splash
if command -v convert > /dev/null; then
  # The splash is centred: the middle of the screen has its colour.
  colour=$(convert "$artifacts/desktop-splash.png" -format '%[pixel:p{400,250}]' info:)
  [ "$colour" = "srgb(42,111,176)" ] || fail "the screen's middle is $colour, not the splash screen's colour"
fi
wait_for "Opened $work/docs/one.jlnotes"

# A second start, from another directory, opens its file in the running
# window and ends at once.
(cd "$work/home" && start "$work/docs/two.jlnotes") > "$work/second.out" 2>&1 || fail "the second start failed"
[ ! -s "$work/second.out" ] || { cat "$work/second.out"; fail "the second start printed something"; }
wait_for "Opened $work/docs/two.jlnotes"
sleep 1
screenshot desktop-window
kill -TERM "$viewer"
wait "$viewer" || true
viewer=""
# The JVM rounds the heap up to its region size: 123m is 123 or 124 MiB.
expected="Splash screen: shown
Maximum heap: 12x MiB
Opened $work/docs/one.jlnotes
Opened $work/docs/two.jlnotes"
[ "$(sed 's/^Maximum heap: 12[34] MiB$/Maximum heap: 12x MiB/' "$work/first.out")" = "$expected" ] ||
  { cat "$work/first.out"; fail "the viewer printed other lines"; }

# Removed, nothing of it is left.
dpkg --purge "$name" > /dev/null
while read -r path; do
  [ -d "$path" ] || [ ! -e "$path" ] || fail "$path is left after removal"
done < "$work/installed"
if command -v xdg-mime > /dev/null; then
  [ "$(xdg query default text/x-jlnotes)" = "" ] || fail "the file type still names $name after removal"
fi
echo "try-desktop: all checks passed (screenshots in $artifacts)"
