#!/bin/sh
# Installs the freshly built launcher for the example application in
# examples/hello and runs the application through it.
set -eu
build=${1:-build/default}
app=$build/demo/hello
# The launcher and packer that install: the portable ones where the build
# made them (the packer puts the launcher beside it into the files it makes),
# else this machine's, whose packer says that its files run only on systems
# like this one.
bin=$build/src
[ ! -x "$build/portable/src/jlauncher-pack" ] || bin=$build/portable/src
rm -rf "$app"
mkdir -p "$app/bin" "$app/lib"

cp "$build/examples/hello.jar" "$build/java/jlauncher.jar" "$app/lib/"
cp "$bin/jlauncher" "$app/bin/hello"
cp examples/hello/hello.config "$app/bin/hello.config"

# A word as a shell reads it back: quoted only when it has to be.
quote() {
  case $1 in
    '' | *[!A-Za-z0-9_@%+=:,./-]*) printf "'%s'" "$(printf '%s' "$1" | sed "s/'/'\\\\''/g")" ;;
    *) printf '%s' "$1" ;;
  esac
}

run() {
  line='$'
  for word in "$@"; do line="$line $(quote "$word")"; done
  printf '%s\n' "$line"
  status=0
  env -u JAVA_HOME -u LD_LIBRARY_PATH -u UTRACE "$@" || status=$?
  echo "(exit status $status)"
  echo
}
run "$app/bin/hello" one 'two words'
run "$app/bin/hello" --status=3
run "$app/bin/hello" +javacmd one

# The same application as one file, made by jlauncher-pack.
"$bin/jlauncher-pack" -o "$build/demo/hello-packed" --force "$app/lib/hello.jar" "$app/lib/jlauncher.jar"
run "$build/demo/hello-packed" one
