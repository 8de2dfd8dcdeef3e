#!/bin/sh
# Installs the freshly built launcher as an application's launcher and starts
# it with tracing on, so that it shows where it found itself and how far the
# launch gets.
set -eu
build=${1:-build/default}
demo=$build/demo
rm -rf "$demo"
mkdir -p "$demo/hello/bin"
mkdir -p "$demo/hello/lib"
cp "$build/src/jlauncher" "$demo/hello/bin/hello"
cat > "$demo/hello/bin/hello.config" <<'CONFIG'
# The demo application's configuration.
mainclass demo.Hello
addpath ../lib
vmprop demo.greeting=$env(USER:friend)
apparg --from-config
CONFIG
echo "\$ UTRACE=-p $demo/hello/bin/hello one 'two words'"
status=0
env -u JAVA_HOME -u LD_LIBRARY_PATH UTRACE=-p "$demo/hello/bin/hello" one 'two words' || status=$?
echo "(exit status $status)"
