#!/bin/sh
# jlauncher-pack --deb and --rpm make packages of the example application
# with a desktop entry, an icon, a file type and a splash image, as a user
# would: the Debian package is lintian clean, holds exactly its files and the
# dependencies the packed file needs; installed in a throwaway copy (an
# overlay) of the Debian 12 root of scripts/try-container.sh, its command
# runs the application and its desktop entry is valid, and purging it
# leaves none of its files. The RPM package lists its files and
# requirements.
#   app_package_test.sh PACKER HELLO_JAR COMPANION_JAR JDK
# Exits 77 (skipped), saying why, when a part cannot run here; the others
# have run and passed by then.
set -eu
pack=$1 hello=$2 companion=$3 jdk=$4
unset UTRACE LD_LIBRARY_PATH LD_PRELOAD JAVA_HOME
for variable in $(env | sed -n 's/^\(KRX_[^=]*\)=.*/\1/p'); do unset "$variable"; done
work=$(mktemp -d)
trap 'umount -l "$work/merged" 2>/dev/null || true; rm -rf "$work"' EXIT
cd "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }
skipped=""
skip() { echo "SKIPPED: $*"; skipped="$skipped$*; "; }
same() { [ "$2" = "$3" ] || fail "$1:
$2
instead of
$3"; }
# What the packer says but for the warning this machine's launcher gets.
packed() { grep -v "^jlauncher-pack: warning: the launcher '" "$1" || true; }

# The application: the example and the companion library, greeting whom the
# configuration says, with what a desktop needs.
convert -size 48x48 xc:'#3070b0' icon.png
convert -size 64x32 xc:white splash.png
printf '.TH HELLO 1\n.SH NAME\nhello \\- greets its user\n' > hello.1
cat > hello.config <<'EOF'
vmprop demo.greeting=packager
# What the desktop shows
desktopname Hello
desktopicon icon.png
desktopcategories Utility
mimetype application/x-hello *.hello Hello document
splash splash.png
EOF
maintainer='Jo Packer <jo@example.org>'
"$pack" --deb -o hello.deb --name hello --version 1.2 --maintainer "$maintainer" --description 'greets its user' \
  --man hello.1 --config hello.config --jlink --jdk "$jdk" "$hello" "$companion" 2> err || fail "the pack failed: $(cat err)"
same "the packer said" "$(packed err)" ""
same "the package's mode" "$(stat -c %a hello.deb)" "$(printf '%o' $((0666 & ~$(umask))))"

# Its files, and nothing of the staging tree left in the work directories.
dpkg-deb -c hello.deb | awk '{print $6}' > files
same "the package holds" "$(cat files)" "./
./usr/
./usr/bin/
./usr/bin/hello
./usr/share/
./usr/share/applications/
./usr/share/applications/hello.desktop
./usr/share/doc/
./usr/share/doc/hello/
./usr/share/doc/hello/changelog.gz
./usr/share/doc/hello/copyright
./usr/share/hello/
./usr/share/hello/splash.png
./usr/share/icons/
./usr/share/icons/hicolor/
./usr/share/icons/hicolor/48x48/
./usr/share/icons/hicolor/48x48/apps/
./usr/share/icons/hicolor/48x48/apps/hello.png
./usr/share/lintian/
./usr/share/lintian/overrides/
./usr/share/lintian/overrides/hello
./usr/share/man/
./usr/share/man/man1/
./usr/share/man/man1/hello.1.gz
./usr/share/mime/
./usr/share/mime/packages/
./usr/share/mime/packages/hello.xml"
# The runtime (Debian 12's JDK 17) needs glibc 2.34 and zlib; a launcher
# built here needs glibc 2.34, its C++ runtime and libzip too, the portable
# one glibc 2.17 alone.
if readelf -d "$(dirname "$pack")/jlauncher" | grep -q 'libstdc++'; then
  floor=2.34 cxx=", libgcc-s1, libstdc++6" zip=", libzip4"
  rpmlibs="libgcc_s.so.1()(64bit) libstdc++.so.6()(64bit) libzip.so.4()(64bit)"
else
  floor=2.17 cxx="" zip="" rpmlibs=""
fi
# With a splash image the runtime has java.desktop: the X, sound, image
# and font libraries AWT loads, its C++ runtime, fontconfig and a font.
depends="libc6 (>= 2.34), libx11-6, libxext6, libxi6, libxrender1, libxtst6, libasound2, libfreetype6, libgcc-s1, \
libgif7, libharfbuzz0b, libjpeg62-turbo, liblcms2-2, libpng16-16, libstdc++6, zlib1g$zip, fontconfig, \
fonts-dejavu-core | fonts-freefont-ttf"
same "the package depends on" "$(dpkg-deb -f hello.deb Depends)" "$depends"
same "the packed configuration" "$(dpkg-deb --fsys-tarfile hello.deb |
  tar -xO ./usr/bin/hello > command; unzip -z command | tail -n +4)" "vmprop demo.greeting=packager
# What the desktop shows
desktopname Hello
desktopicon /usr/share/icons/hicolor/48x48/apps/hello.png
desktopcategories Utility
mimetype application/x-hello *.hello Hello document
splash /usr/share/hello/splash.png"
if command -v lintian >/dev/null; then
  same "lintian says" "$(lintian --tag-display-limit 0 hello.deb 2>&1 | grep -v 'running with root privileges')" ""
else
  skip "lintian is not installed"
fi

# Without a runtime: the Java of the jars' release (8) and what was added;
# a headless one, as nothing is shown.
# A relative path would be taken from /usr/bin once installed.
{ grep -v '^desktop\|^mimetype\|^splash' hello.config; echo "include site.config"; } > headless.config
"$pack" --deb -o headless.deb --name hello --version 1.2-1 --maintainer "$maintainer" --description 'greets' \
  --config headless.config --depends 'hello-data (>= 1.2)' "$hello" "$companion" 2> err || fail "$(cat err)"
same "the packer said" "$(packed err)" "jlauncher-pack: warning: 'include site.config' of the configuration names \
a path relative to /usr/bin, where the package installs the command; the package does not install what it names
jlauncher-pack: warning: the package has no manual page for /usr/bin/hello, \
which Debian's policy asks of every command: give one with --man"
same "the package without a runtime depends on" "$(dpkg-deb -f headless.deb Depends)" \
  "libc6 (>= $floor)$cxx$zip, default-jre-headless (>= 2:1.8) | java8-runtime-headless, hello-data (>= 1.2)"
same "a revision's changelog" "$(dpkg-deb -c headless.deb | awk '{print $6}' | grep changelog)" \
  ./usr/share/doc/hello/changelog.Debian.gz

# The RPM package: the same files but Debian's own, root's; a full Java, as
# the application shows a window.
if command -v rpmbuild >/dev/null; then
  "$pack" --rpm -o hello.rpm --name hello --version 1.2-3 --description 'greets its user' --man hello.1 \
    --config hello.config --depends 'hello-data >= 1.2' "$hello" "$companion" 2> err || fail "$(cat err)"
  same "the RPM package holds" "$(rpm -qp --qf '[%{FILEMODES:perms} %{FILEUSERNAME}:%{FILEGROUPNAME} %{FILENAMES}\n]' hello.rpm)" \
    "-rwxr-xr-x root:root /usr/bin/hello
-rw-r--r-- root:root /usr/share/applications/hello.desktop
drwxr-xr-x root:root /usr/share/hello
-rw-r--r-- root:root /usr/share/hello/splash.png
-rw-r--r-- root:root /usr/share/icons/hicolor/48x48/apps/hello.png
-rw-r--r-- root:root /usr/share/man/man1/hello.1.gz
-rw-r--r-- root:root /usr/share/mime/packages/hello.xml"
  same "the RPM package requires" "$(rpm -qpR hello.rpm | grep -v '^rpmlib(')" "$(printf '%s\n' 'hello-data >= 1.2' \
    'java >= 1:8' "libc.so.6(GLIBC_$floor)(64bit)" $rpmlibs)"
  same "the RPM version" "$(rpm -qp --qf '%{VERSION} %{RELEASE} %{ARCH}' hello.rpm)" "1.2 3 x86_64"
else
  skip "rpmbuild is not installed"
fi

# Installed, run, and purged in a throwaway copy of a Debian 12 root.
root=${JLAUNCHER_CONTAINER_ROOT:-/var/cache/jlauncher/bookworm-$(dpkg --print-architecture)}
if [ "$(id -u)" -ne 0 ] || [ ! -x "$root/usr/bin/dpkg" ]; then
  skip "installing needs root and a Debian 12 root at $root (made by scripts/try-container.sh)"
else
  mkdir upper overlay merged
  cp hello.deb upper/
  # What the steps say goes to files of the work directory, beside the root's copy.
  unshare --mount --propagation private sh -eu -c '
    cd "$0"
    mount -t overlay overlay -o "lowerdir=$1,upperdir=upper,workdir=overlay" merged
    mount --bind /proc merged/proc
    run() { chroot merged env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }
    # The minimal root has none of the X libraries the splash screen needs;
    # the command runs without them, as it shows nothing.
    run dpkg --force-depends -i /hello.deb > dpkg-install 2>&1 || { cat dpkg-install; exit 1; }
    run hello one "two words" --status=3 > out 2> err && echo 0 > status || echo $? > status
    desktop-file-validate merged/usr/share/applications/hello.desktop > validated 2>&1 && echo 0 >> validated
    run dpkg --purge hello > dpkg-purge 2>&1 || { cat dpkg-purge; exit 1; }
    while read -r file; do
      case $file in */) ;; *) [ ! -e "merged${file#.}" ] || echo "${file#.}" ;; esac
    done < files > left
    for dir in /usr/share/hello /usr/share/doc/hello; do [ ! -e "merged$dir" ] || echo "$dir"; done >> left
    umount merged/proc
    umount merged' "$work" "$root" || fail "installing or purging the package failed"
  same "desktop-file-validate says" "$(cat validated)" 0
  same "after the purge, left behind" "$(cat left)" ""
  if grep -q "Unrecognized directive 'desktop\|Unrecognized directive 'splash\|Unrecognized directive 'mimetype" err; then
    skip "the launcher does not know the desktop directives: $(cat err)"
  else
    same "the installed command printed" "$(sed -n '1p;3,$p' out)" "Hello, packager!
Started by /usr/bin/hello
Running under jlauncher: yes
  argument: one
  argument: two words
  argument: --status=3"
    # The runtime the package carries, not the root's Java.
    case $(sed -n 2p out) in
      "Java 17."*" from /root/.cache/jlauncher/runtime/"*) ;;
      *) fail "the installed command ran on another Java: $(sed -n 2p out)" ;;
    esac
    same "the installed command's status" "$(cat status)" 3
    same "the installed command's messages" "$(cat err)" ""
  fi
fi
[ -z "$skipped" ] || exit 77
echo "PASS"
