#!/bin/sh
# Installs the freshly built launcher for the example application in
# examples/hello and runs the application through it.
set -eu
build=${1:-build/default}
app=$build/demo/hello
rm -rf "$app"
mkdir -p "$app/bin" "$app/lib" "$build/demo/classes"

javac -d "$build/demo/classes" examples/hello/src/demo/Hello.java
jar --create --file "$app/lib/hello.jar" -C "$build/demo/classes" .
cp "$build/src/jlauncher" "$app/bin/hello"
cp examples/hello/hello.config "$app/bin/hello.config"

run() {
  echo "\$ $*"
  status=0
  env -u JAVA_HOME -u LD_LIBRARY_PATH -u UTRACE "$@" || status=$?
  echo "(exit status $status)"
  echo
}
run "$app/bin/hello" one 'two words'
run "$app/bin/hello" --status=3
run "$app/bin/hello" +javacmd one
