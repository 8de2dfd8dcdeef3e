// The signals the launcher answers while the JVM runs: the table, installing
// and restoring the handlers around the JVM's life, and the Java side's
// notice. The handler and its threads are the platform's (hmd_signals_*.cpp).

#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <atomic>
#include <string>

#include "config/cfg.h"
#include "host/hmd.h"
#include "jvm/jev.h"
#include "service/jsv.h"
#include "util/utrace.h"

namespace {

constexpr SignalEntry kInitialSignals[] = {
    {SIGHUP, hmdSignalHandler, SIG_DFL, "hup"},
    {SIGINT, hmdSignalHandler, SIG_DFL, "int"},
    {SIGQUIT, hmdSignalHandler, SIG_DFL, "quit"},
    {SIGTERM, hmdSignalHandler, SIG_DFL, "term"},
};
constexpr int kHup = 0;
constexpr int kInt = 1;

struct SignalState {
  bool installed[std::size(kInitialSignals)] = {};  ///< rows whose handler is in force
  struct sigaction oldActions[std::size(kInitialSignals)] = {};
};

SignalState state;
// Set while a row's signal is being handled. The handler ignores its signal
// for that time, but a second delivery can reach another thread before the
// handler got that far: one signal's work must never run twice at once.
std::atomic<bool> handling[std::size(kInitialSignals)];

}  // namespace

SignalEntry signals[] = {kInitialSignals[0], kInitialSignals[1], kInitialSignals[2], kInitialSignals[3]};
const int numSignals = static_cast<int>(std::size(kInitialSignals));

namespace {

bool equalsIgnoringCase(const char* value, const char* word) { return value != nullptr && strcasecmp(value, word) == 0; }

void install(int index, struct sigaction* old) {
  struct sigaction action = {};
  action.sa_handler = signals[index].handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(signals[index].number, &action, old);
}

// A parent that blocked these signals (some process supervisors do) would
// keep them from ever reaching the launcher's handlers; the JVM's threads
// inherit the mask, so this happens before the JVM is created.
void unblockInheritedSignals() {
  sigset_t blocked;
  if (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0) return;
  sigset_t unblock;
  sigemptyset(&unblock);
  std::string names;
  for (int i = 0; i < numSignals; ++i) {
    if (sigismember(&blocked, signals[i].number) != 1) continue;
    sigaddset(&unblock, signals[i].number);
    names += names.empty() ? signals[i].name : std::string(",") + signals[i].name;
  }
  if (names.empty()) return;
  pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  ut_tproda("Unblocked the signals the parent process had blocked: %s", names.c_str());
}

}  // namespace


bool hmdSetSignalIgnore(const char* name) {
  for (SignalEntry& entry : signals) {
    if (strcasecmp(entry.name, name) == 0) {
      entry.handler = SIG_IGN;
      ut_tproda("Ignoring sig%s", entry.name);
      return true;
    }
  }
  return false;
}

namespace {

void installFirst(int index) {
  install(index, &state.oldActions[index]);
  signals[index].oldHandler = state.oldActions[index].sa_handler;
  state.installed[index] = true;
}

}  // namespace

void hmdInstallSignalHandlers() {
  for (int i = 0; i < numSignals; ++i) installFirst(i);
  ut_tproda("Installed Signal Handler");
}

void hmdReinstallSignalHandler(int index) {
  handling[index] = false;
  install(index, nullptr);
}

int hmdSignalIndex(int signal) {
  for (int i = 0; i < numSignals; ++i) {
    if (signals[i].number == signal) return i;
  }
  return -1;
}

namespace {

// When the launcher cannot dump the stacks itself, a quit goes to the handler
// that was in force before the launcher's (the JVM's, which dumps the stacks
// itself), called on this same stack.
void delegateQuit(int index) {
  const struct sigaction& old = state.oldActions[index];
  SignalDisposition handler = old.sa_handler;
  bool function = handler != SIG_DFL && handler != SIG_IGN && handler != SIG_ERR;
#ifdef SIG_HOLD
  if (kSolaris && handler == SIG_HOLD) function = false;
#endif
  if (function) {
    ut_tproda("Delegating to previous signal handler");
    if (old.sa_flags & SA_SIGINFO) {
      siginfo_t info = {};
      info.si_signo = SIGQUIT;
      old.sa_sigaction(SIGQUIT, &info, nullptr);
    } else {
      handler(SIGQUIT);
    }
  } else {
    ut_tproda("No signal handler to delegate to");
  }
  hmdReinstallSignalHandler(index);
  ut_tproda("Reinstated Signal Handler");
}

}  // namespace

int hmdSignalReceived(int signal) {
  ::signal(signal, SIG_IGN);
  int index = hmdSignalIndex(signal);
  if (index < 0 || handling[index].exchange(true)) return -1;
  if (signal != SIGQUIT) {
    ut_tproda("Handling signal [%d]", signal);
  } else if (!jevCanDumpAllStacks()) {
    delegateQuit(index);
    return -1;
  }
  return index;
}

int hmdBeforeCreateJVM() {
  // Started immune to hang-ups (under nohup): immune to interrupts as well.
  SignalDisposition hangUp = signal(SIGHUP, SIG_IGN);
  signal(SIGHUP, hangUp);
  if (hangUp == SIG_IGN) {
    signal(SIGINT, SIG_IGN);
    signals[kInt].handler = SIG_IGN;
    ut_tproda("Running nohup'd so also ignore SIGINT");
    // A daemon's hang-up comes from logrotate, not from a terminal.
    if (!cfgGetDaemonSupport()) signals[kHup].handler = SIG_IGN;
  }
  if (cfgIsHandleShutdownEnabled()) {
    unblockInheritedSignals();
    if (equalsIgnoringCase(hmdGetEnvironmentValue("KRX_SET_NATIVE_HANDLER"), "before")) hmdInstallSignalHandlers();
  }
  return hmdStartSignalDispatch();
}

int hmdAfterCreateJVM() {
  // Without orderly shutdown the JVM keeps its own handlers, but a daemon's
  // hang-up must reopen the log rather than end the JVM.
  if (!cfgIsHandleShutdownEnabled()) {
    if (cfgGetDaemonSupport() && signals[kHup].handler != SIG_IGN) {
      installFirst(kHup);
      ut_tproda("Installed the hang-up handler, which reopens the log");
    }
    return 0;
  }
  const char* when = hmdGetEnvironmentValue("KRX_SET_NATIVE_HANDLER");
  if (when == nullptr || equalsIgnoringCase(when, "after")) hmdInstallSignalHandlers();
  if (hmdGetEnvironmentValue("KRX_SET_JAVA_HANDLER") == nullptr) {
    jsvSetSystemProperty("launcher.signalhandler.installed", "true");
    ut_tproda("Turn off Java Shutdown Hooks");
  }
  return 0;
}

int hmdAfterDestoryJVM() {
  for (int i = 0; i < numSignals; ++i) {
    if (state.installed[i]) sigaction(signals[i].number, &state.oldActions[i], nullptr);
  }
  return 0;
}

int hmdStartDetachedThread(void* (*body)(void*), void* argument) {
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int created = pthread_create(&thread, &detached, body, argument);
  pthread_attr_destroy(&detached);
  return created;
}

void hmdResetSignals() {
  for (int i = 0; i < numSignals; ++i) {
    signals[i] = kInitialSignals[i];
    handling[i] = false;
  }
  state = SignalState{};
}
