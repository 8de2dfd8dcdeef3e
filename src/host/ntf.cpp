// The notify protocol of systemd, spoken without libsystemd: the protocol is
// a handful of text datagrams, and the launcher must not depend on a library
// that single-file applications would have to find on every machine.
// Solaris has no systemd, so nothing sets the variables there; the code is
// plain POSIX and the same for both profiles.

#include "host/ntf.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "host/hmd.h"
#include "util/platform.h"
#include "util/utl.h"
#include "util/utrace.h"
#include "util/condition.h"

namespace {

constexpr const char* kNotifySocket = "NOTIFY_SOCKET";
constexpr const char* kWatchdogUsec = "WATCHDOG_USEC";
constexpr const char* kWatchdogPid = "WATCHDOG_PID";
constexpr const char* kInvocationId = "INVOCATION_ID";
constexpr const char* kWatchdogPing = "WATCHDOG=1";
constexpr int kSendFlags = kSolaris ? 0 : MSG_NOSIGNAL;
/// How long stopping the watchdog waits for a thread caught in a JVM that
/// does not answer before leaving it to the end of the process.
constexpr std::chrono::seconds kWatchdogJoinWait{1};
/// Listening sockets are looked for this soon, then less often: a server
/// listens within a few hundred milliseconds or after seconds of its own
/// start.
constexpr std::chrono::milliseconds kFirstLook{20};
constexpr std::chrono::milliseconds kLastLookInterval{200};
/// While the service starts, the manager is asked to wait this much longer
/// every tick the JVM answers in time: a long start stays alive, one whose
/// JVM no longer answers fails at the manager's own timeout (beyond which
/// alone an extension counts).
constexpr std::chrono::seconds kStartTick{10};
constexpr const char* kExtendStart = "EXTEND_TIMEOUT_USEC=30000000";
/// Ready, and the status that said what was awaited cleared.
constexpr const char* kReadyMessage = "READY=1\nSTATUS=";
constexpr const char* kAwaitingSocketStatus = "STATUS=waiting for a listening socket";
constexpr const char* kAwaitingPortStatus = "STATUS=waiting for port ";
constexpr const char* kAwaitingPortsStatus = "STATUS=waiting for ports ";

struct NtfState {
  std::optional<std::string> socket;        ///< NOTIFY_SOCKET as read, when set
  std::optional<std::string> watchdogUsec;  ///< WATCHDOG_USEC as read, to put back for a restart
  std::optional<std::string> watchdogPid;   ///< WATCHDOG_PID as read
  long long watchdogMicroseconds = 0;       ///< the interval, 0 without a watchdog for this process
  bool managed = false;                     ///< NOTIFY_SOCKET or INVOCATION_ID was set
};

/// What the watchdog thread reads and waits on. The thread shares it and
/// keeps it alive for as long as it runs: a thread caught in a JVM that no
/// longer answers (one halted in its exit) is left behind when the process
/// ends, and must then touch nothing that the end of the process destroys.
struct Watchdog {
  std::mutex lock;
  MonotonicCondition wake;
  bool stopping = false;
  bool finished = false;
  std::string socket;                      ///< the manager's address, as read at start
  std::chrono::microseconds interval{0};   ///< the manager's watchdog interval, 0 for none
  std::chrono::microseconds tick{0};       ///< how often the JVM is asked
};

/// What the thread that waits for listening sockets reads and waits on,
/// shared as the watchdog's is, for the same reason.
struct Awaiting {
  std::mutex lock;
  MonotonicCondition wake;
  bool stopping = false;
  bool finished = false;
  std::string socket;
  std::set<int> ports;  ///< none: any port
};

NtfState state;
std::shared_ptr<Watchdog> watchdog;
std::thread watchdogThread;
std::shared_ptr<Awaiting> awaiting;
std::thread awaitingThread;
/// READY=1 has been sent, by whichever thread.
std::atomic<bool> readySent{false};
/// Held while a thread is stopped and its handle released: main failing
/// before readiness stops the wait for ports on the main thread while the
/// JVM's exit hook, on another, may stop the same thread.
std::mutex stopping;

std::optional<std::string> variable(const char* name) {
  const char* value = hmdGetEnvironmentValue(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// A positive decimal number of microseconds, else 0.
long long parseMicroseconds(const std::optional<std::string>& text) {
  if (!text || text->empty()) return 0;
  char* end = nullptr;
  long long value = std::strtoll(text->c_str(), &end, 10);
  return *end == '\0' && value > 0 ? value : 0;
}

// Sends message to the socket named by address; false when it could not
// (traced).
bool sendTo(const std::string& address, const std::string& message) {
  sockaddr_un socketAddress = {};
  socketAddress.sun_family = AF_UNIX;
  if (address.size() >= sizeof(socketAddress.sun_path) || (address[0] != '/' && address[0] != '@')) {
    ut_tproda("Cannot send %s: unusable socket address %s", message.c_str(), address.c_str());
    return false;
  }
  address.copy(socketAddress.sun_path, address.size());
  // An abstract address has no terminating byte: its length is exact.
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size());
  if (address[0] == '@') {
    socketAddress.sun_path[0] = '\0';
  } else {
    ++length;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool sent = fd >= 0 && sendto(fd, message.data(), message.size(), kSendFlags,
                                reinterpret_cast<const sockaddr*>(&socketAddress), length) ==
                             static_cast<ssize_t>(message.size());
  if (fd >= 0) close(fd);
  if (sent && message.starts_with("READY=1")) readySent = true;
  ut_tproda(sent ? "Told the service manager %s" : "Could not tell the service manager %s", message.c_str());
  return sent;
}

// The lock is held but while the JVM is asked: whoever stops the watchdog
// waits for a ping under way, never for the JVM. Without a watchdog of the
// manager's, the thread ends once the service is ready.
void runWatchdog(std::shared_ptr<Watchdog> own, bool (*answers)()) {
  Watchdog& dog = *own;
  bool watching = dog.interval.count() > 0;
  std::chrono::microseconds limit = watching ? dog.interval : dog.tick;
  std::unique_lock<std::mutex> guard(dog.lock);
  while (!dog.wake.wait_for(guard, dog.tick, [&dog] { return dog.stopping; })) {
    bool starting = !readySent.load();
    if (!watching && !starting) break;
    guard.unlock();
    auto asked = std::chrono::steady_clock::now();
    // A JVM held at a safepoint, or stopped, answers late or never: the
    // manager then misses its ping and acts as it was configured to.
    bool answered = answers();
    auto took = std::chrono::steady_clock::now() - asked;
    guard.lock();
    if (dog.stopping) break;
    if (answered && took < limit) {
      if (watching) sendTo(dog.socket, kWatchdogPing);
      if (starting && !readySent.load()) sendTo(dog.socket, kExtendStart);
    } else {
      ut_tproda("The JVM did not answer within %lld microseconds: no word to the service manager",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(limit).count()));
    }
  }
  dog.finished = true;
  dog.wake.notify_all();
}

bool allListen(const std::set<int>& wanted) {
  std::set<int> listening = ntfOwnListeningPorts();
  if (wanted.empty()) return !listening.empty();
  for (int port : wanted) {
    if (!listening.contains(port)) return false;
  }
  return true;
}

// READY=1 is sent under the lock, and only while not stopping: once the wait
// is stopped, it no longer will be.
void runAwaiting(std::shared_ptr<Awaiting> own) {
  Awaiting& wait = *own;
  std::chrono::milliseconds interval = kFirstLook;
  std::unique_lock<std::mutex> guard(wait.lock);
  while (!wait.wake.wait_for(guard, interval, [&wait] { return wait.stopping; })) {
    guard.unlock();
    bool listening = allListen(wait.ports);
    guard.lock();
    if (wait.stopping) break;
    if (listening) {
      sendTo(wait.socket, kReadyMessage);
      break;
    }
    interval = std::min(interval * 2, kLastLookInterval);
  }
  wait.finished = true;
  wait.wake.notify_all();
}

// Stops a thread of the kind of the watchdog's: asks it to, waits a little,
// and leaves it to the end of the process when it does not finish.
template <typename Shared>
void stopThread(std::shared_ptr<Shared>& shared, std::thread& thread) {
  if (!thread.joinable()) return;
  bool finished;
  {
    std::unique_lock<std::mutex> guard(shared->lock);
    shared->stopping = true;
    shared->wake.notify_all();
    finished = shared->wake.wait_for(guard, kWatchdogJoinWait, [&shared] { return shared->finished; });
  }
  if (finished) {
    thread.join();
  } else {
    thread.detach();
  }
}

}  // namespace

void ntfInit() {
  state = NtfState{};
  readySent = false;
  const char* names[] = {kNotifySocket, kWatchdogUsec, kWatchdogPid, kInvocationId};
  if (utlIsSetIdMode()) {
    // The caller could have the privileged launcher write to a socket of
    // its choosing; whatever it would send, there is no reason to let it.
    for (const char* name : names) {
      if (hmdGetEnvironmentValue(name) != nullptr) ut_tproda("Ignoring %s in a set-ID launcher", name);
    }
    return;
  }
  state.socket = variable(kNotifySocket);
  if (state.socket && state.socket->empty()) state.socket.reset();
  state.watchdogUsec = variable(kWatchdogUsec);
  state.watchdogPid = variable(kWatchdogPid);
  state.managed = state.socket.has_value() || hmdGetEnvironmentValue(kInvocationId) != nullptr;
  // A watchdog meant for another process (the manager's main process was a
  // shell that started the launcher) is not the launcher's to keep.
  bool ours = !state.watchdogPid || *state.watchdogPid == std::to_string(getpid());
  state.watchdogMicroseconds = ours && state.socket ? parseMicroseconds(state.watchdogUsec) : 0;
  if (state.socket) ut_tproda("Service manager socket %s", state.socket->c_str());
  if (state.watchdogMicroseconds > 0) ut_tproda("Watchdog every %lld microseconds", state.watchdogMicroseconds);
}

void ntfTerm() {
  ntfStopWatchdog();
  ntfStopAwaiting();
  state = NtfState{};
}

bool ntfIsUnderServiceManager() { return state.managed; }

long long ntfWatchdogMicroseconds() { return state.watchdogMicroseconds; }

void ntfHideFromJvm() {
  for (const char* name : {kNotifySocket, kWatchdogUsec, kWatchdogPid}) unsetenv(name);
}

void ntfRestoreEnvironment(std::vector<std::string>& environment) {
  const std::pair<const char*, const std::optional<std::string>&> variables[] = {
      {kNotifySocket, state.socket}, {kWatchdogUsec, state.watchdogUsec}, {kWatchdogPid, state.watchdogPid}};
  for (const auto& [name, value] : variables) {
    if (value) utlSetInEnvironment(environment, name, value);
  }
}

bool ntfSend(const std::string& message) { return state.socket && sendTo(*state.socket, message); }

void ntfStartWatchdog(bool (*answers)()) {
  bool starting = ntfIsStillStarting();
  if ((state.watchdogMicroseconds <= 0 && !starting) || watchdogThread.joinable()) return;
  watchdog = std::make_shared<Watchdog>();
  watchdog->socket = *state.socket;
  watchdog->interval = std::chrono::microseconds(state.watchdogMicroseconds);
  watchdog->tick = watchdog->interval.count() > 0 ? std::min<std::chrono::microseconds>(watchdog->interval / 2, kStartTick)
                                                  : std::chrono::microseconds(kStartTick);
  watchdogThread = std::thread(runWatchdog, watchdog, answers);
}

void ntfStopWatchdog() {
  std::lock_guard<std::mutex> guard(stopping);
  // A thread still inside the JVM after the wait may never come back from
  // it; once it does, it sees that it is to stop and ends, touching only
  // what it shares.
  stopThread(watchdog, watchdogThread);
  watchdog.reset();
}

void ntfAwaitListening(const std::vector<int>& ports) {
  if (!state.socket || awaitingThread.joinable()) return;
  awaiting = std::make_shared<Awaiting>();
  awaiting->socket = *state.socket;
  awaiting->ports.insert(ports.begin(), ports.end());
  std::string status = kAwaitingSocketStatus;
  if (!ports.empty()) {
    status = ports.size() == 1 ? kAwaitingPortStatus : kAwaitingPortsStatus;
    for (std::size_t i = 0; i < ports.size(); ++i) status += (i > 0 ? ", " : "") + std::to_string(ports[i]);
  }
  sendTo(awaiting->socket, status);
  awaitingThread = std::thread(runAwaiting, awaiting);
}

void ntfStopAwaiting() {
  std::lock_guard<std::mutex> guard(stopping);
  if (!awaiting) return;
  stopThread(awaiting, awaitingThread);
  awaiting.reset();
}

bool ntfSendReady() { return ntfSend(kReadyMessage); }

bool ntfIsStillStarting() { return state.socket && !readySent.load(); }
