#!/bin/sh
# Shows that an arm64 launcher runs applications on a real arm64 JVM:
# Debian 12's arm64 Java 17 (scripts/arm64-java-root.sh), both run under
# qemu-aarch64 with that root as their library root.
#   scripts/try-arm64.sh LAUNCHER [HOST_LAUNCHER [PACKER]]
# LAUNCHER is an arm64 jlauncher; HOST_LAUNCHER, when given, is one built for
# this machine, whose share of memory (vmmemmax 50%) the arm64 one must
# compute alike; PACKER, when given, is this machine's jlauncher-pack, which
# packs single files for arm64 with LAUNCHER: merged, with the jars kept
# whole, with the arm64 runtime, and with a runtime that this machine's
# jlink makes of the arm64 JDK's modules. Those with a runtime run in a root
# that holds the arm64 system's libraries and no Java. In a fresh temporary directory, with a clean environment,
# it runs the rows below and prints PASS, FAIL or SKIP (with the reason) for
# each, with its time; it ends with 1 when a row failed, and with 77 when
# qemu-aarch64, the root (made here when run as root) or javac is missing.
set -eu
usage() { echo "Usage: $0 ARM64_LAUNCHER [HOST_LAUNCHER [PACKER]]" >&2; exit 2; }
if [ $# -lt 1 ] || [ $# -gt 3 ]; then usage; fi
skip_all() { echo "SKIP: $*"; exit 77; }
launcher=$(realpath "$1")
[ -f "$launcher" ] || usage
host_launcher=
if [ $# -ge 2 ]; then host_launcher=$(realpath "$2"); [ -x "$host_launcher" ] || usage; fi
packer=
if [ $# -eq 3 ]; then packer=$(realpath "$3"); [ -x "$packer" ] || usage; fi
here=$(dirname "$(realpath "$0")")

command -v qemu-aarch64 >/dev/null || skip_all "no qemu-aarch64 to run arm64 programs (Debian's qemu-user)"
command -v javac >/dev/null && command -v jar >/dev/null || skip_all "no javac and jar to make the test classes"
if [ "$(id -u)" -eq 0 ]; then mode=ensure; else mode=check; fi
root=$("$here/arm64-java-root.sh" "$mode") ||
  skip_all "no arm64 Java root: run scripts/arm64-java-root.sh ensure as root (it downloads Debian's packages)"
home=$("$here/arm64-java-root.sh" home)

# Programs started again by the launcher (a changed library path, a
# restart) are arm64 programs which this machine's kernel runs only when
# binfmt_misc hands them to qemu-aarch64.
binfmt=
if grep -qs '^enabled' /proc/sys/fs/binfmt_misc/qemu-aarch64; then binfmt=yes; fi

work=$(mktemp -d)
trap 'rm -rf --one-file-system "$work"' EXIT
mkdir -p "$work/bin" "$work/classes" "$work/src" "$work/native" "$work/x86/bin" "$work/home" "$work/nojava/usr/lib"
cd "$work"

cat > src/Hello.java <<'EOF'
public class Hello {
  public static void main(String[] args) {
    System.out.println("Hello from " + System.getProperty("os.arch"));
    for (String arg : args) System.out.println("[" + arg + "]");
  }
}
EOF
cat > src/Exit.java <<'EOF'
public class Exit {
  public static void main(String[] args) {
    System.exit(Integer.parseInt(args[0]));
  }
}
EOF
cat > src/Again.java <<'EOF'
import java.io.File;
import java.io.IOException;

public class Again {
  public static void main(String[] args) throws IOException {
    if (new File("restarted").createNewFile()) System.exit(5);
    System.out.println("started again");
  }
}
EOF
cat > src/Hook.java <<'EOF'
public class Hook {
  public static void main(String[] args) throws InterruptedException {
    Runtime.getRuntime().addShutdownHook(new Thread(() -> System.out.println("hook ran")));
    System.out.println("ready");
    Thread.sleep(120_000);
    System.out.println("not stopped");
  }
}
EOF
javac --release 17 -d classes src/*.java
jar cfe hello.jar Hello -C classes Hello.class
# The arm64 system's libraries without its Java: where a file that carries
# its runtime must run.
ln -s "$root/lib" nojava/lib
ln -s "$root/usr/lib/aarch64-linux-gnu" nojava/usr/lib/aarch64-linux-gnu

# bin/NAME, a copy of the launcher configured with the lines given.
app() {
  name=$1
  shift
  cp "$launcher" "bin/$name"
  printf '%s\n' "$@" > "bin/$name.config"
}
app hello 'mainclass Hello' 'addpath ../classes'
app exit 'mainclass Exit' 'addpath ../classes'
app hook 'mainclass Hook' 'addpath ../classes'
app memory 'mainclass Hello' 'addpath ../classes' 'vmmemmax 50%'
app libpath 'mainclass Hello' 'addpath ../classes' 'addlibpath ../native'
app restart 'mainclass Again' 'addpath ../classes' 'restartonexit 5'

# Runs an arm64 program with no UTRACE, LD_LIBRARY_PATH, LD_PRELOAD, KRX_*
# or JAVA_HOME, with the libraries of the root $system (the Java root by
# default); its output goes to out and err, its status to status.
system=$root
arm64() {
  set +e
  env -i PATH=/usr/bin:/bin HOME="$work/home" QEMU_LD_PREFIX="$system" qemu-aarch64 -L "$system" "$@" > out 2> err
  echo $? > status
  set -e
}

failed=0
started=0
begin() { row=$1; started=$(date +%s.%N); }
took() { awk -v from="$started" -v to="$(date +%s.%N)" 'BEGIN { printf "%.1f s", to - from }'; }
pass() { echo "PASS: $row ($(took))"; }
fail() {
  echo "FAIL: $row ($(took)): $*"
  sed 's/^/  out: /' out
  sed 's/^/  err: /' err
  failed=1
}
skip() { echo "SKIP: $row: $*"; }
# Compares the last run with the status, output and error output expected.
expect() {
  if [ "$(cat status)" != "$1" ]; then fail "status $(cat status), not $1"
  elif [ "$(cat out)" != "$2" ]; then fail "output not as expected: $2"
  elif [ -s err ]; then fail "unexpected error output"
  else pass; fi
}

begin "the arm64 Java runs"
arm64 "$home/bin/java" -cp classes Hello
expect 0 "Hello from aarch64"

begin "the application gets its arguments (spaces, an empty one)"
arm64 bin/hello +javahome "$home" one 'two words' ''
expect 0 "Hello from aarch64
[one]
[two words]
[]"

begin "System.exit(3) is the exit status"
arm64 bin/exit +javahome "$home" 3
expect 3 ""

begin "+javacmd prints the java command"
arm64 bin/hello +javahome "$home" +javacmd one 'two words' ''
expect 0 "$home/bin/java -server -Djava.class.path=$work/classes -Dlauncher.jdk.home=$home -Dlauncher.program=$home/bin/java \
-Dcorvane.executable.path=$work/bin/hello Hello one \"two words\" \"\""

begin "the +javacmd command runs alike"
if [ "$(cat status)" = 0 ]; then
  # The shell is this machine's: the command it runs is the arm64 java.
  set +e
  printed=$(cat out)
  env -i PATH=/usr/bin:/bin sh -c "exec qemu-aarch64 -L '$root' $printed" > out 2> err
  echo $? > status
  set -e
  expect 0 "Hello from aarch64
[one]
[two words]
[]"
else
  fail "no command to run"
fi

if [ -n "$host_launcher" ]; then
  begin "vmmemmax 50% gives the heap size this machine's launcher computes"
else
  begin "vmmemmax 50% gives a heap size"
fi
arm64 bin/memory +javahome "$home" +javacmd
xmx=$(tr ' ' '\n' < out | grep '^-Xmx' || true)
if [ "$(cat status)" != 0 ] || [ -z "$xmx" ]; then
  fail "no -Xmx in the command"
elif [ -n "$host_launcher" ]; then
  cp "$host_launcher" x86/bin/memory
  cp bin/memory.config x86/bin/memory.config
  host_xmx=$(env -i PATH=/usr/bin:/bin x86/bin/memory +javacmd | tr ' ' '\n' | grep '^-Xmx' || true)
  if [ "$xmx" = "$host_xmx" ]; then pass; else fail "$xmx here, ${host_xmx:-none} from $host_launcher"; fi
else
  pass
fi

begin "SIGTERM runs the shutdown hook and ends with 143"
: > out
set +e
env -i PATH=/usr/bin:/bin qemu-aarch64 -L "$root" bin/hook +javahome "$home" > out 2> err &
pid=$!
set -e
tries=0
until grep -q ready out || ! kill -0 "$pid" 2>/dev/null || [ $tries -ge 300 ]; do
  sleep 0.1
  tries=$((tries + 1))
done
kill -TERM "$pid" 2>/dev/null || true
set +e
wait "$pid"
echo $? > status
set -e
expect 143 "ready
hook ran"

# Single files packed here for arm64: packed NAME ROW SAID ARGS... packs
# ARGS into NAME, the packer saying SAID and nothing else.
packed() {
  name=$1 said=$3
  begin "$2"
  shift 3
  if [ -z "$packer" ]; then
    skip "no packer given"
    return 1
  fi
  if ! env -i PATH=/usr/bin:/bin "$packer" -o "$work/$name" --arch arm64 --launcher "$launcher" "$@" > out 2> err; then
    fail "jlauncher-pack failed"
    return 1
  fi
  if [ "$(cat err)" != "$said" ]; then
    fail "jlauncher-pack said what was not expected: $said"
    return 1
  fi
}
# Debian's Java needs a newer glibc than the portable launcher: so said.
glibc_warning="jlauncher-pack: warning: the runtime needs glibc 2.34 (its bin/java), the launcher 2.17: the packed \
file runs only where glibc 2.34 or later is installed; a runtime made from a JDK built for an older glibc (Temurin's \
need 2.17) runs wherever the launcher does"
if packed merged "a merged single file runs on the arm64 Java" "" hello.jar; then
  arm64 ./merged +javahome "$home" one
  expect 0 "Hello from aarch64
[one]"
fi
if packed kept "a single file with its jars kept whole extracts them" "" --keep-jars hello.jar; then
  arm64 ./kept +javahome "$home" one
  expect 0 "Hello from aarch64
[one]"
fi
system=$work/nojava
# An arm64 runtime of java.base alone, made by this machine's jlink from the
# arm64 JDK's modules: the whole JDK would take minutes to extract under
# emulation.
# jlink links only modules of its own release.
jlink=
for candidate in /usr/lib/jvm/*/bin/jlink; do
  if grep -qs '^JAVA_VERSION="17\.' "${candidate%/bin/jlink}/release"; then jlink=$candidate; break; fi
done
if [ -n "$packer" ] && [ -n "$jlink" ]; then
  "$jlink" --module-path "$home/jmods" --add-modules java.base --no-man-pages --no-header-files --output arm64-runtime
fi
if [ -z "$jlink" ]; then
  begin "a single file with an arm64 runtime runs where no Java is installed"
  skip "no jlink of Java 17 here to make an arm64 runtime of the arm64 modules"
elif packed with-runtime "a single file with an arm64 runtime runs where no Java is installed" "$glibc_warning" \
  --runtime arm64-runtime hello.jar; then
  arm64 ./with-runtime one
  expect 0 "Hello from aarch64
[one]"
fi
if packed jlinked "a single file jlinked here from the arm64 modules runs where no Java is installed" \
  "$glibc_warning" --jlink --jdk "$home" hello.jar; then
  arm64 ./jlinked one
  expect 0 "Hello from aarch64
[one]"
fi
# Debian 11's arm64 C library (glibc 2.31), that of the portable build's
# root: the launcher runs there, and refuses Debian 12's runtime before
# extracting anything.
begin "on Debian 11's glibc the file says that its runtime needs a newer one"
old=$("$here/bullseye-root.sh" check-arm64 2>/dev/null)/usr/aarch64-linux-gnu || old=
if [ ! -e "$work/with-runtime" ] || [ ! -e "$old/lib/libc.so.6" ]; then
  skip "no file with a runtime, or no Debian 11 arm64 C library (scripts/bullseye-root.sh ensure-arm64)"
else
  system=$old
  rm -rf "$work/home/.cache"
  arm64 ./with-runtime one
  if [ "$(cat status)" = 1 ] && [ "$(cat err)" = "Error: with-runtime carries a Java runtime that needs glibc 2.34 or \
later; this system has glibc 2.31. Install a Java runtime and name it with +javahome, or ask for a file packed with a \
runtime that needs less." ] && [ ! -e "$work/home/.cache/jlauncher/runtime" ]; then
    pass
  else
    fail "status $(cat status)"
  fi
fi
system=$root

# The rows that need the launcher started again.
reexec_skipped() {
  [ -z "$binfmt" ] || return 1
  skip "the launcher starts itself again, an arm64 program that this kernel runs only through binfmt_misc, which has no qemu-aarch64 entry here"
}

begin "addlibpath starts the launcher again with the library path"
if ! reexec_skipped; then
  arm64 bin/libpath +javahome "$home" one
  expect 0 "Hello from aarch64
[one]"
fi

begin "restartonexit starts the application again"
if ! reexec_skipped; then
  arm64 bin/restart +javahome "$home"
  expect 0 "started again"
fi

exit $failed
