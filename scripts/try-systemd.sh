#!/bin/sh
# Shows Java servers run by real systemd through the launcher, each with the
# unit that `+unit` prints: systemd boots in a container (systemd-nspawn,
# its own network) of a minimal Debian 12 with Debian's Java 17, H2 and
# Jetty 9. Checks that
# - a server whose main starts a thread and returns (readiness started,
#   options startupcache, a root service without HOME) is active at boot,
#   stops at once with its shutdown hook run and its pid file gone, and
#   maps the start-up cache it recorded in CacheDirectory= when it starts
#   again;
# - Jetty (a handler of ours, readiness listening) and H2's TCP server
#   (readiness listening:9092, User=) are active only once their port
#   answers, stop with status 143 counted as success (Jetty's own shutdown
#   hook stopping its connector), and are restarted by the watchdog when
#   they hang (SIGSTOP);
# - H2 started on a port that is taken, whose main throws before it
#   listens, fails to start at once instead of waiting for the timeout;
# - Jetty packed with jlauncher-pack --keep-jars starts with the unit +unit
#   prints for a user of the root, its jars extracted into CacheDirectory=,
#   and with that unit switched to DynamicUser=yes records the start-up
#   cache and maps it on its second start.
#   scripts/try-systemd.sh [LAUNCHER [PACKER]]
#     (default build/default/src/jlauncher and the jlauncher-pack beside it)
# Run as root. The root is made once with debootstrap and kept under
# /var/cache/jlauncher (JLAUNCHER_SYSTEMD_ROOT names another). Exits 77,
# saying why, where it cannot run: not root, no systemd-nspawn and none to
# install, no mount namespace (a container without CAP_SYS_ADMIN, a chroot),
# no root (debootstrap failed: no network), or systemd does not boot.
set -eu
launcher=$(readlink -f "${1:-build/default/src/jlauncher}")
packer=$(readlink -f "${2:-$(dirname "$launcher")/jlauncher-pack}")
arch=$(dpkg --print-architecture)
root=${JLAUNCHER_SYSTEMD_ROOT:-/var/cache/jlauncher/bookworm-systemd-$arch}
java_home=/usr/lib/jvm/java-17-openjdk-$arch
fail() { echo "FAIL: $*" >&2; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }
[ -x "$launcher" ] || fail "no launcher at $launcher"
[ -x "$packer" ] || fail "no jlauncher-pack at $packer"
jdk=$(dirname "$(dirname "$(ls /usr/lib/jvm/*/bin/javac 2>/dev/null | head -n 1)")")
[ -x "$jdk/bin/javac" ] || fail "no javac under /usr/lib/jvm"
[ "$(id -u)" -eq 0 ] || skip "run as root: debootstrap and systemd-nspawn need it"
unshare --mount --propagation private true 2>/dev/null ||
  skip "no mount namespace here (no CAP_SYS_ADMIN, as in a container or chroot): systemd-nspawn cannot boot"
if ! command -v systemd-nspawn >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q systemd-container >/dev/null 2>&1 ||
    skip "systemd-nspawn is missing and systemd-container cannot be installed"
fi

# One run at a time boots the root, which each run changes.
mkdir -p "$(dirname "$root")"
exec 9> "$root.lock"
flock 9
# libzip4 for a launcher built against the system's libzip, as Debian's
# package of it depends on.
packages=systemd,systemd-sysv,dbus,openjdk-17-jre-headless,libh2-java,libjetty9-java,libzip4
stamp="jlauncher systemd root 2: bookworm minbase $packages"
if [ "$(cat "$root/.jlauncher-root" 2>/dev/null)" != "$stamp" ]; then
  echo "Making the Debian 12 root $root with systemd, Java 17, H2 and Jetty (once; a few minutes)"
  rm -rf --one-file-system "$root.new"
  debootstrap --variant=minbase --arch="$arch" --include="$packages" \
    bookworm "$root.new" http://deb.debian.org/debian > "$root.log" 2>&1 || skip "debootstrap failed, see $root.log"
  echo "$stamp" > "$root.new/.jlauncher-root"
  rm -rf --one-file-system "$root" "$root.log"
  mv "$root.new" "$root"
fi
# H2 looks its host name up, which the container's network of its own can
# answer only from /etc/hosts.
echo try-systemd > "$root/etc/hostname"
echo "127.0.0.1 localhost try-systemd" > "$root/etc/hosts"

# What earlier runs installed goes first.
for name in server jetty h2 h2busy hello; do
  rm -f "$root/etc/systemd/system/$name.service" "$root/etc/systemd/system/multi-user.target.wants/$name.service"
  rm -rf "$root/etc/systemd/system/$name.service.d"
  rm -rf "$root/opt/$name" "$root/var/cache/$name" "$root/var/cache/private/$name"
done
for user in h2 hello; do
  chroot "$root" id "$user" >/dev/null 2>&1 ||
    chroot "$root" useradd --system --home-dir /nonexistent --no-create-home --shell /usr/sbin/nologin "$user"
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
jars=/usr/share/java
jetty_jars=$jars/jetty9-server.jar:$jars/jetty9-util.jar:$jars/jetty9-http.jar:$jars/jetty9-io.jar:$jars/servlet-api.jar
cat > "$work/Server.java" <<'JAVA'
public class Server {
  public static void main(String[] args) {
    Runtime.getRuntime().addShutdownHook(new Thread(() -> System.out.println("server: shutdown hook ran")));
    new Thread(() -> {
      while (true) {
        try { Thread.sleep(1000); } catch (InterruptedException e) { return; }
      }
    }).start();
    System.out.println("server: started, main returns");
  }
}
JAVA
cat > "$work/Hello.java" <<'JAVA'
import java.io.IOException;
import javax.servlet.http.HttpServletRequest;
import javax.servlet.http.HttpServletResponse;
import org.eclipse.jetty.server.Request;
import org.eclipse.jetty.server.handler.AbstractHandler;

public class Hello extends AbstractHandler {
  @Override
  public void handle(String target, Request base, HttpServletRequest request, HttpServletResponse response)
      throws IOException {
    response.setContentType("text/plain");
    response.getWriter().println("hello from jetty");
    base.setHandled(true);
  }

  public static void main(String[] args) throws Exception {
    org.eclipse.jetty.server.Server server = new org.eclipse.jetty.server.Server(Integer.parseInt(args[0]));
    server.setHandler(new Hello());
    server.setStopAtShutdown(true);
    server.start();
  }
}
JAVA
"$jdk/bin/javac" --release 17 -d "$work" -cp "$(echo "$jetty_jars" | sed "s|$jars|$root$jars|g")" \
  "$work/Server.java" "$work/Hello.java"
# Only classes from jars go into a start-up cache.
(cd "$work" && "$jdk/bin/jar" cf server.jar Server.class && "$jdk/bin/jar" cf hello.jar Hello.class)

# install NAME CONFIG-LINES: the launcher as /opt/NAME/bin/NAME with its configuration.
install_app() {
  mkdir -p "$root/opt/$1/bin" "$root/opt/$1/lib"
  cp "$launcher" "$root/opt/$1/bin/$1"
  printf 'javahome %s\n%s\n' "$java_home" "$2" > "$root/opt/$1/bin/$1.config"
}
# unit NAME [ARGS]: what +unit prints, installed as NAME.service, the watchdog on.
# A drop-in keeps how the service and its main process ended in
# /run/NAME.exit ("success exited 143"): systemd forgets a stopped unit that
# nothing refers to (only the toy server is enabled), and `systemctl show`
# then reads a freshly loaded one, whose Result is success and ExecMainStatus
# 0 whatever the process ended with.
unit() {
  name=$1
  shift
  chroot "$root" "/opt/$name/bin/$name" +unit "$@" > "$work/unit" || fail "$name +unit failed"
  sed 's/^#WatchdogSec=30$/WatchdogSec=3/' "$work/unit" > "$root/etc/systemd/system/$name.service"
  mkdir -p "$root/etc/systemd/system/$name.service.d"
  # "+": written with full privileges whatever the unit's user.
  printf '[Service]\nExecStopPost=+/bin/sh -c '\''echo "$$SERVICE_RESULT $$EXIT_CODE $$EXIT_STATUS" > /run/%%N.exit'\''\n' \
    > "$root/etc/systemd/system/$name.service.d/exit.conf"
}
install_app server "addjars ../lib
mainclass Server
options handleexit,startupcache
pidfile /run/server.pid"
cp "$work/server.jar" "$root/opt/server/lib/"
unit server --port 8080
echo "The toy server's unit, as +unit prints it (WatchdogSec switched on):"
sed 's/^/  /' "$root/etc/systemd/system/server.service"
ln -sf /etc/systemd/system/server.service "$root/etc/systemd/system/multi-user.target.wants/server.service"

install_app jetty "addpath ../lib/hello.jar:$jetty_jars
mainclass Hello
apparg 8080
readiness listening
options handleexit"
cp "$work/hello.jar" "$root/opt/jetty/lib/"
unit jetty

install_app h2 "addpath $jars/h2.jar
mainclass org.h2.tools.Server
readiness listening:9092
options handleexit"
unit h2 --user h2 -tcp -tcpPort 9092 -ifNotExists
echo "H2's unit:"
sed 's/^/  /' "$root/etc/systemd/system/h2.service"
install_app h2busy "addpath $jars/h2.jar
mainclass org.h2.tools.Server
readiness listening
options handleexit"
unit h2busy -tcp -tcpPort 8080

printf 'apparg 8081\nreadiness listening\noptions handleexit,startupcache\n' > "$work/hello.config"
mkdir -p "$root/opt/hello/bin"
(cd "$root$jars" && "$packer" -o "$root/opt/hello/bin/hello" --launcher "$launcher" --keep-jars \
  --main-class Hello --config "$work/hello.config" "$work/hello.jar" jetty9-server.jar jetty9-util.jar \
  jetty9-http.jar jetty9-io.jar servlet-api.jar) > "$work/pack.log" 2>&1 || fail "packing failed: $(cat "$work/pack.log")"
unit hello --user hello
echo "The packed Jetty's unit:"
sed 's/^/  /' "$root/etc/systemd/system/hello.service"

# Boot; commands run inside through the container's own namespaces.
systemd-nspawn -q -D "$root" --boot --console=passive --register=no --keep-unit --private-network \
  --hostname=try-systemd > "$work/boot.log" 2>&1 &
nspawn=$!
trap 'inside systemctl poweroff 2>/dev/null || kill "$nspawn"; wait "$nspawn" 2>/dev/null; rm -rf "$work"' EXIT
init=
for _ in $(seq 100); do
  init=$(ps -o pid= --ppid "$nspawn" | tr -d ' ' | head -n 1)
  [ -n "$init" ] && break
  sleep 0.1
done
[ -n "$init" ] || skip "systemd did not start in the container: $(tail -n 5 "$work/boot.log")"
inside() { nsenter -t "$init" -a "$@"; }
state=
for _ in $(seq 120); do
  state=$(inside systemctl is-system-running 2>/dev/null || true)
  case $state in running|degraded) break ;; esac
  sleep 0.5
done
case $state in running|degraded) ;; *) skip "systemd did not boot in the container ($state)" ;; esac
show() { inside systemctl show -p "$2" --value "$1"; }
journal() { inside journalctl -b -u "$1" --no-pager; }
answers() { inside bash -c "exec 3<>/dev/tcp/127.0.0.1/$1" 2>/dev/null; }
now() { date +%s.%N; }
since() { echo "$(now) $1" | awk '{ printf "%.2f", $1 - $2 }'; }
# archive UNIT: the start-up cache the unit's main process has mapped.
archive() { inside grep -o '/var/cache/[^ ]*\.jsa$' "/proc/$(show "$1" MainPID)/maps" | head -n 1; }

# start UNIT PORT: active once systemctl start returns, the port answering then.
start() {
  begin=$(now)
  inside systemctl start "$1" || fail "$1 did not start: $(journal "$1")"
  answers "$2" || fail "$1 is started but port $2 does not answer"
  [ "$(show "$1" ActiveState)" = active ] || fail "$1 is not active"
  echo "PASS: $1 active after $(since "$begin") s, port $2 answering as systemctl start returns"
}
# stopped UNIT: stops it; prints how it ended ("success exited 143").
stopped() {
  inside rm -f "/run/$1.exit"
  inside systemctl stop "$1"
  inside cat "/run/$1.exit" 2>/dev/null || echo "unknown"
}
# stop UNIT: a clean stop (no timeout) counted as success, with status 143
# as the JVM ends on SIGTERM, also where the application's shutdown hooks
# end its last thread.
stop() {
  begin=$(now)
  ended=$(stopped "$1")
  [ "$ended" = "success exited 143" ] || fail "stopping $1 ended with $ended: $(journal "$1")"
  echo "PASS: $1 stopped in $(since "$begin") s with status 143"
}
# watchdog UNIT [PORT]: a hung server is restarted (and serves again).
watchdog() {
  pid=$(show "$1" MainPID)
  inside sh -c "kill -STOP $pid"
  for _ in $(seq 60); do
    [ "$(show "$1" NRestarts)" -ge 1 ] && [ "$(show "$1" ActiveState)" = active ] && break
    sleep 0.5
  done
  journal "$1" | grep -q "Watchdog timeout" || fail "no watchdog timeout for the hung $1"
  [ "$(show "$1" ActiveState)" = active ] && [ "$(show "$1" MainPID)" != "$pid" ] ||
    fail "the hung $1 was not restarted"
  [ $# -lt 2 ] || answers "$2" || fail "the restarted $1 does not answer on port $2"
  echo "PASS: the hung $1 (pid $pid) was restarted by the watchdog as pid $(show "$1" MainPID)"
}

# The toy server, started at boot.
[ "$(show server ActiveState)" = active ] || fail "the server is not active: $(journal server)"
pid=$(show server MainPID)
[ "$(inside cat /run/server.pid)" = "$pid" ] || fail "the pid file does not name $pid"
echo "PASS: server ready and active, pid $pid in /run/server.pid"
ended=$(stopped server)
[ "$ended" = "success exited 143" ] || fail "stopping the server ended with $ended"
journal server | grep -q "server: shutdown hook ran" || fail "the shutdown hook did not run"
! inside test -e /run/server.pid || fail "the pid file was left behind"
echo "PASS: server stopped with status 143, the shutdown hook ran, the pid file is gone"
inside systemctl start server
cache=$(archive server)
[ -n "$cache" ] || fail "the server's second start maps no start-up cache: $(inside find /var/cache/server)"
echo "PASS: server (root, no HOME) maps the start-up cache it recorded: $cache"
watchdog server
inside systemctl stop server

# Jetty and H2.
start jetty 8080
inside bash -c 'exec 3<>/dev/tcp/127.0.0.1/8080; printf "GET / HTTP/1.0\r\n\r\n" >&3; cat <&3' |
  grep -q "hello from jetty" || fail "jetty does not answer HTTP"
start h2 9092
[ "$(inside stat -c %U "/proc/$(show h2 MainPID)")" = h2 ] ||
  fail "h2 does not run as its user"
stop jetty
journal jetty | grep -q "Stopped ServerConnector" || fail "jetty's shutdown hook did not stop its connector"
echo "PASS: jetty's own shutdown hook stopped its connector"
stop h2
start jetty 8080
watchdog jetty 8080
start h2 9092
watchdog h2 9092
stop h2

# H2 on Jetty's port: main throws before anything listens.
begin=$(now)
! inside systemctl start h2busy 2>/dev/null || fail "h2busy started on a port that is taken"
took=$(since "$begin")
journal h2busy | grep -q "port may be in use" || fail "h2busy failed otherwise: $(journal h2busy)"
awk "BEGIN { exit !($took < 20) }" || fail "h2busy took $took s to fail"
echo "PASS: h2busy, whose main throws before listening, failed to start in $took s ($(show h2busy Result))"
inside systemctl stop h2busy
stop jetty

# The packed Jetty, as +unit prints its unit, then with DynamicUser=yes.
start hello 8081
jar=$(inside find /var/cache/hello -name jetty9-server.jar -user hello)
[ -n "$jar" ] || fail "hello extracted no jars into its CacheDirectory: $(inside find /var/cache/hello)"
echo "PASS: hello runs as its user with its jars extracted into CacheDirectory=: $jar"
stop hello
inside rm -rf /var/cache/hello
sed -i -e 's/^User=.*/DynamicUser=yes/' -e '/^Group=/d' "$root/etc/systemd/system/hello.service"
inside systemctl daemon-reload
start hello 8081
stop hello
start hello 8081
cache=$(archive hello)
[ -n "$cache" ] || fail "hello's second start with DynamicUser=yes maps no start-up cache: $(inside find /var/cache/private/hello)"
echo "PASS: hello with DynamicUser=yes maps the start-up cache it recorded: $cache"
stop hello
