// The notify protocol of systemd, spoken without libsystemd: the protocol is
// a handful of text datagrams, and the launcher must not depend on a library
// that single-file applications would have to find on every machine.
// Solaris has no systemd, so nothing sets the variables there; the code is
// plain POSIX and the same for both profiles.

#include "host/ntf.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "host/hmd.h"
#include "util/platform.h"
#include "util/utl.h"
#include "util/utrace.h"

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

struct NtfState {
  std::optional<std::string> socket;        ///< NOTIFY_SOCKET as read, when set
  std::optional<std::string> watchdogUsec;  ///< WATCHDOG_USEC as read, to put back for a restart
  std::optional<std::string> watchdogPid;   ///< WATCHDOG_PID as read
  long long watchdogMicroseconds = 0;       ///< the interval, 0 without a watchdog for this process
  bool managed = false;                     ///< NOTIFY_SOCKET or INVOCATION_ID was set
};

/// The watchdog thread and what it waits on.
struct Watchdog {
  std::mutex lock;
  std::condition_variable wake;
  bool stopping = false;
  bool finished = false;
  std::thread thread;
};

NtfState state;
Watchdog watchdog;

std::optional<std::string> read(const char* name) {
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

void restore(const char* name, const std::optional<std::string>& value) {
  if (value) setenv(name, value->c_str(), 1);
}

void runWatchdog(bool (*answers)()) {
  const auto interval = std::chrono::microseconds(state.watchdogMicroseconds);
  std::unique_lock<std::mutex> guard(watchdog.lock);
  while (!watchdog.wake.wait_for(guard, interval / 2, [] { return watchdog.stopping; })) {
    guard.unlock();
    auto asked = std::chrono::steady_clock::now();
    // A JVM held at a safepoint, or stopped, answers late or never: the
    // manager then misses its ping and acts as it was configured to.
    bool answered = answers();
    auto took = std::chrono::steady_clock::now() - asked;
    if (answered && took < interval) {
      ntfSend(kWatchdogPing);
    } else {
      ut_tproda("The JVM did not answer the watchdog within %lld microseconds: no ping",
                state.watchdogMicroseconds);
    }
    guard.lock();
  }
  watchdog.finished = true;
  watchdog.wake.notify_all();
}

}  // namespace

void ntfInit() {
  state = NtfState{};
  const char* names[] = {kNotifySocket, kWatchdogUsec, kWatchdogPid, kInvocationId};
  if (utlIsSetIdMode()) {
    // The caller could have the privileged launcher write to a socket of
    // its choosing; whatever it would send, there is no reason to let it.
    for (const char* name : names) {
      if (hmdGetEnvironmentValue(name) != nullptr) ut_tproda("Ignoring %s in a set-ID launcher", name);
    }
    return;
  }
  state.socket = read(kNotifySocket);
  if (state.socket && state.socket->empty()) state.socket.reset();
  state.watchdogUsec = read(kWatchdogUsec);
  state.watchdogPid = read(kWatchdogPid);
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
  state = NtfState{};
}

bool ntfIsUnderServiceManager() { return state.managed; }

long long ntfWatchdogMicroseconds() { return state.watchdogMicroseconds; }

void ntfHideFromJvm() {
  for (const char* name : {kNotifySocket, kWatchdogUsec, kWatchdogPid}) unsetenv(name);
}

void ntfRestoreEnvironment() {
  restore(kNotifySocket, state.socket);
  restore(kWatchdogUsec, state.watchdogUsec);
  restore(kWatchdogPid, state.watchdogPid);
}

bool ntfSend(const std::string& message) {
  if (!state.socket) return false;
  const std::string& name = *state.socket;
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (name.size() >= sizeof(address.sun_path) || (name[0] != '/' && name[0] != '@')) {
    ut_tproda("Cannot send %s: unusable socket address %s", message.c_str(), name.c_str());
    return false;
  }
  name.copy(address.sun_path, name.size());
  // An abstract address has no terminating byte: its length is exact.
  socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  if (name[0] == '@') {
    address.sun_path[0] = '\0';
  } else {
    ++length;
  }
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  bool sent = fd >= 0 && sendto(fd, message.data(), message.size(), kSendFlags,
                                reinterpret_cast<const sockaddr*>(&address), length) ==
                             static_cast<ssize_t>(message.size());
  if (fd >= 0) close(fd);
  ut_tproda(sent ? "Told the service manager %s" : "Could not tell the service manager %s", message.c_str());
  return sent;
}

void ntfStartWatchdog(bool (*answers)()) {
  if (state.watchdogMicroseconds <= 0 || watchdog.thread.joinable()) return;
  {
    std::lock_guard<std::mutex> guard(watchdog.lock);
    watchdog.stopping = false;
    watchdog.finished = false;
  }
  watchdog.thread = std::thread(runWatchdog, answers);
}

void ntfStopWatchdog() {
  if (!watchdog.thread.joinable()) return;
  bool finished;
  {
    std::unique_lock<std::mutex> guard(watchdog.lock);
    watchdog.stopping = true;
    watchdog.wake.notify_all();
    finished = watchdog.wake.wait_for(guard, kWatchdogJoinWait, [] { return watchdog.finished; });
  }
  if (finished) {
    watchdog.thread.join();
  } else {
    watchdog.thread.detach();
  }
}
