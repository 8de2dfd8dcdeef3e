#!/bin/sh
# Shows a Java server run by real systemd through the launcher, with the unit
# that `+unit` prints: systemd boots in a container (systemd-nspawn) of a
# minimal Debian 12 with Debian's Java 17; the server's main returns after
# starting a thread that keeps it running, and its shutdown hook prints.
# Checks that the unit becomes active only once the launcher says it is
# ready, that `systemctl stop` ends it at once with its hook run and the
# pid file gone, and that the watchdog restarts it when it hangs (SIGSTOP).
#   scripts/try-systemd.sh [LAUNCHER]      (default build/default/src/jlauncher)
# Run as root. The root is made once with debootstrap and kept under
# /var/cache/jlauncher (JLAUNCHER_SYSTEMD_ROOT names another).
set -eu
launcher=$(readlink -f "${1:-build/default/src/jlauncher}")
arch=$(dpkg --print-architecture)
root=${JLAUNCHER_SYSTEMD_ROOT:-/var/cache/jlauncher/bookworm-systemd-$arch}
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "run as root: debootstrap and systemd-nspawn need it"
[ -x "$launcher" ] || fail "no launcher at $launcher"
javac=$(ls /usr/lib/jvm/*/bin/javac 2>/dev/null | head -n 1)
[ -n "$javac" ] || fail "no javac under /usr/lib/jvm"
command -v systemd-nspawn >/dev/null || apt-get install -y -q systemd-container >/dev/null

if [ ! -x "$root/usr/lib/jvm/java-17-openjdk-$arch/bin/java" ]; then
  echo "Making the Debian 12 root $root with systemd and Java 17 (once; a few minutes)"
  rm -rf --one-file-system "$root.new"
  mkdir -p "$(dirname "$root")"
  debootstrap --variant=minbase --arch="$arch" --include=systemd,systemd-sysv,dbus,openjdk-17-jre-headless \
    bookworm "$root.new" http://deb.debian.org/debian > "$root.log" 2>&1 || fail "debootstrap failed, see $root.log"
  rm -rf --one-file-system "$root" "$root.log"
  mv "$root.new" "$root"
fi

# The server, installed under /opt/server of the root.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
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
"$javac" --release 17 -d "$work" "$work/Server.java"
rm -rf "$root/opt/server"
mkdir -p "$root/opt/server/bin" "$root/opt/server/lib"
cp "$work/Server.class" "$root/opt/server/lib/"
cp "$launcher" "$root/opt/server/bin/server"
cat > "$root/opt/server/bin/server.config" <<EOF
javahome /usr/lib/jvm/java-17-openjdk-$arch
addpath ../lib
mainclass Server
options handleexit
pidfile /run/server.pid
EOF
unit=$root/etc/systemd/system/server.service
chroot "$root" /opt/server/bin/server +unit --port 8080 | sed 's/^#WatchdogSec=30$/WatchdogSec=3/' > "$unit"
echo "The unit, as +unit prints it (WatchdogSec switched on):"
sed 's/^/  /' "$unit"
ln -sf /etc/systemd/system/server.service "$root/etc/systemd/system/multi-user.target.wants/server.service"

# Boot; commands run inside through the container's own namespaces.
systemd-nspawn -q -D "$root" --boot --console=passive --register=no --keep-unit > "$work/boot.log" 2>&1 &
nspawn=$!
trap 'inside systemctl poweroff 2>/dev/null || kill "$nspawn"; wait "$nspawn" 2>/dev/null; rm -rf "$work"' EXIT
init=
for _ in $(seq 100); do
  init=$(ps -o pid= --ppid "$nspawn" | tr -d ' ' | head -n 1)
  [ -n "$init" ] && break
  sleep 0.1
done
[ -n "$init" ] || fail "systemd did not start: $(cat "$work/boot.log")"
inside() { nsenter -t "$init" -a "$@"; }
for _ in $(seq 120); do
  state=$(inside systemctl is-system-running 2>/dev/null || true)
  case $state in running|degraded) break ;; esac
  sleep 0.5
done
show() { inside systemctl show -p "$1" --value server; }

[ "$(show ActiveState)" = active ] || fail "the server is not active: $(inside journalctl -u server --no-pager)"
pid=$(show MainPID)
[ "$(inside cat /run/server.pid)" = "$pid" ] || fail "the pid file does not name $pid"
echo "PASS: ready and active, pid $pid in /run/server.pid"

inside systemctl stop server
[ "$(show Result)" = success ] || fail "stopping did not succeed: $(show Result)"
[ "$(show ExecMainStatus)" = 143 ] || fail "status $(show ExecMainStatus) on stop"
inside journalctl -u server --no-pager | grep -q "server: shutdown hook ran" || fail "the shutdown hook did not run"
! inside test -e /run/server.pid || fail "the pid file was left behind"
echo "PASS: stopped with status 143, the shutdown hook ran, the pid file is gone"

inside systemctl start server
pid=$(show MainPID)
inside sh -c "kill -STOP $pid"
for _ in $(seq 40); do
  [ "$(show NRestarts)" -ge 1 ] && [ "$(show ActiveState)" = active ] && break
  sleep 0.5
done
inside journalctl -u server --no-pager | grep -q "Watchdog timeout" || fail "no watchdog timeout for the hung server"
[ "$(show ActiveState)" = active ] && [ "$(show MainPID)" != "$pid" ] || fail "the hung server was not restarted"
echo "PASS: the hung server (pid $pid) was restarted by the watchdog as pid $(show MainPID)"
