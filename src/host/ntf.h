// ntf = notify: telling a service manager how the service fares, through the
// notify protocol of systemd: text datagrams to the AF_UNIX socket named by
// NOTIFY_SOCKET (a leading '@' names the abstract namespace), and the watchdog
// pings that WATCHDOG_USEC asks for.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

/// Reads NOTIFY_SOCKET, WATCHDOG_USEC, WATCHDOG_PID and INVOCATION_ID once,
/// at start-up (a set-ID launcher ignores the caller's, and says so in the
/// trace). The variables stay in the environment until ntfHideFromJvm, so
/// that a re-executed image finds them.
void ntfInit();
/// Stops the watchdog (waiting a little for its thread) and forgets the
/// service manager.
void ntfTerm();
/// True when a service manager started the launcher: NOTIFY_SOCKET or
/// INVOCATION_ID was set.
bool ntfIsUnderServiceManager();
/// Removes the notify and watchdog variables from the environment: the JVM
/// and the processes it starts must not speak for the service.
void ntfHideFromJvm();
/// Puts the variables back into environment, that of the new image when
/// the launcher executes itself again to restart the application: it is the
/// same service.
void ntfRestoreEnvironment(std::vector<std::string>& environment);
/// Sends one message ("READY=1", "STATUS=…") to the service manager; false
/// when there is no socket or the datagram could not be sent (traced).
bool ntfSend(const std::string& message);
/// Starts the watchdog thread when WATCHDOG_USEC asked for one, or while the
/// service is still starting: every half interval (at most every ten
/// seconds) it calls answers, which must return within the interval for
/// the ping "WATCHDOG=1" to be sent, and, until the service is ready, for the
/// manager to be asked to wait longer for the start (EXTEND_TIMEOUT_USEC).
/// Does nothing when already running.
void ntfStartWatchdog(bool (*answers)());
/// Stops the watchdog thread; it is joined when it ends within a second.
void ntfStopWatchdog();
/// The watchdog interval in microseconds, 0 when none was asked for.
long long ntfWatchdogMicroseconds();

/// Tells the service manager that the service is ready once the process
/// listens on a TCP port, on each of ports when any are named: says first
/// what it waits for (STATUS=), then looks from a thread of its own, soon
/// and then less often, and sends READY=1 (clearing that status) when the
/// ports listen. Does nothing without a notify socket, or when waiting already.
void ntfAwaitListening(const std::vector<int>& ports);
/// Stops waiting for the ports; once it returns, READY=1 is no longer sent
/// for them.
void ntfStopAwaiting();
/// Sends READY=1, clearing the status that said what was awaited.
bool ntfSendReady();
/// True when a service manager is told how the service fares (there is a
/// notify socket) and has not heard READY=1 yet.
bool ntfIsStillStarting();
/// The LISTEN rows of a table in the format of /proc/net/tcp or tcp6: the
/// local port of each, by socket inode.
std::map<unsigned long long, int> ntfListeningSockets(const std::string& table);
/// The local ports of the listening TCP sockets the process holds.
std::set<int> ntfOwnListeningPorts();
