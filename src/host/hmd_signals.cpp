// The signals the launcher answers while the JVM runs: the table, installing
// and restoring the handlers around the JVM's life, and what both signal
// designs share. The handler and its threads are the platform's
// (hmd_signals_*.cpp); the work they do is the launch's, handed down in an
// HmdSignalSetup.

#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

#include "host/hmd.h"
#include "util/utl.h"
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

constexpr const char* kNoMemoryMsg = "Unable to allocate necessary memory";
constexpr const char* kNoSemaphoreMsg = "Unable to initialize semaphore";
constexpr const char* kNoDispatcherMsg = "Unable to create signal dispatch thread";
constexpr const char* kPostFailedMsg[] = {"Corvane Kestrix launcher: Unable to handle signal ", ", sem_post returned ",
                                          "\n"};

struct SignalState {
  bool installed[std::size(kInitialSignals)] = {};  ///< rows whose handler is in force
  struct sigaction oldActions[std::size(kInitialSignals)] = {};
  HmdSignalSetup setup;  ///< written before any handler or thread exists, then only read
};

SignalState state;
// Set while a row's signal is being handled. The handler ignores its signal
// for that time, but a second delivery can reach another thread before the
// handler got that far: one signal's work must never run twice at once.
std::atomic<bool> handling[std::size(kInitialSignals)];

// What handlers did that the trace tells. A handler must neither format nor
// take the trace's path to a file: it counts, and the thread it wakes
// writes the lines.
struct SignalNotes {
  std::atomic<int> delegated{0};    ///< quits passed on to the handler in force before
  std::atomic<int> undelegated{0};  ///< quits with no handler to pass them on to
  std::atomic<int> reinstated{0};   ///< handlers put back after a failed post
};
SignalNotes notes;

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
    if (old.sa_flags & SA_SIGINFO) {
      siginfo_t info = {};
      info.si_signo = SIGQUIT;
      old.sa_sigaction(SIGQUIT, &info, nullptr);
    } else {
      handler(SIGQUIT);
    }
  }
  hmdReinstallSignalHandler(index);
  ++(function ? notes.delegated : notes.undelegated);
}

// Appends the decimal digits of number to text at length; returns the new
// length. Safe in a signal handler.
std::size_t appendNumber(char* text, std::size_t length, int number) {
  char digits[12];
  std::size_t count = 0;
  unsigned magnitude = number < 0 ? 0U - static_cast<unsigned>(number) : static_cast<unsigned>(number);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) text[length++] = '-';
  while (count > 0) text[length++] = digits[--count];
  return length;
}

}  // namespace

int hmdSignalReceived(int signal) {
  ::signal(signal, SIG_IGN);
  int index = hmdSignalIndex(signal);
  if (index < 0 || handling[index].exchange(true)) return -1;
  if (signal == SIGQUIT && !state.setup.canDumpStacks) {
    delegateQuit(index);
    return kSignalNoted;
  }
  return index;
}

void hmdTraceSignalNotes() {
  for (int n = notes.delegated.exchange(0); n > 0; --n) {
    ut_tproda("Delegating to previous signal handler");
    ut_tproda("Reinstated Signal Handler");
  }
  for (int n = notes.undelegated.exchange(0); n > 0; --n) {
    ut_tproda("No signal handler to delegate to");
    ut_tproda("Reinstated Signal Handler");
  }
  for (int n = notes.reinstated.exchange(0); n > 0; --n) ut_tproda("Reinstated Signal Handler");
}

// The message is put together on the stack and written at once: the handler
// may neither allocate nor take the locks of stdio.
void hmdSignalPostFailed(int index, int posted) {
  char text[160];
  std::size_t length = 0;
  auto append = [&](const char* part) {
    for (; *part != '\0'; ++part) text[length++] = *part;
  };
  append(kPostFailedMsg[0]);
  length = appendNumber(text, length, signals[index].number);
  append(kPostFailedMsg[1]);
  length = appendNumber(text, length, posted);
  append(kPostFailedMsg[2]);
  ssize_t ignored = write(STDERR_FILENO, text, length);
  (void)ignored;
  hmdReinstallSignalHandler(index);
  ++notes.reinstated;
}

void hmdSignalStop(int signal) {
  ut_tproda("Handling signal [%d]", signal);
  if (state.setup.stop != nullptr) state.setup.stop(signal);
}

void hmdSignalDumpStacks() {
  if (state.setup.dumpStacks != nullptr) state.setup.dumpStacks();
}

bool hmdStartSignalThread(sem_t** semaphore, void* (*body)(void*)) {
  if (*semaphore != nullptr) return true;
  auto* made = new (std::nothrow) sem_t;
  if (made == nullptr) {
    utlReport("%s", kNoMemoryMsg);
    return false;
  }
  if (sem_init(made, 0, 0) != 0) {
    delete made;
    utlReport("%s", kNoSemaphoreMsg);
    return false;
  }
  // Published before the thread starts: the thread waits on it at once.
  *semaphore = made;
  if (hmdStartDetachedThread(body, nullptr) != 0) {
    *semaphore = nullptr;
    sem_destroy(made);
    delete made;
    utlReport("%s", kNoDispatcherMsg);
    return false;
  }
  return true;
}

int hmdBeforeCreateJVM(const HmdSignalSetup& setup) {
  state.setup = setup;
  // Started immune to hang-ups (under nohup): immune to interrupts as well.
  SignalDisposition hangUp = signal(SIGHUP, SIG_IGN);
  signal(SIGHUP, hangUp);
  if (hangUp == SIG_IGN) {
    signal(SIGINT, SIG_IGN);
    signals[kInt].handler = SIG_IGN;
    ut_tproda("Running nohup'd so also ignore SIGINT");
    // A daemon's hang-up comes from logrotate, not from a terminal.
    if (!setup.daemonSupport) signals[kHup].handler = SIG_IGN;
  }
  // The thread a handler wakes exists before any handler is installed.
  if (int failed = hmdStartSignalDispatch()) return failed;
  if (setup.handleShutdown) {
    unblockInheritedSignals();
    if (equalsIgnoringCase(hmdGetEnvironmentValue("KRX_SET_NATIVE_HANDLER"), "before")) hmdInstallSignalHandlers();
  }
  return 0;
}

bool hmdAfterCreateJVM() {
  // Without orderly shutdown the JVM keeps its own handlers, but a daemon's
  // hang-up must reopen the log rather than end the JVM.
  if (!state.setup.handleShutdown) {
    if (state.setup.daemonSupport && signals[kHup].handler != SIG_IGN) {
      installFirst(kHup);
      ut_tproda("Installed the hang-up handler, which reopens the log");
    }
    return false;
  }
  const char* when = hmdGetEnvironmentValue("KRX_SET_NATIVE_HANDLER");
  if (when == nullptr || equalsIgnoringCase(when, "after")) hmdInstallSignalHandlers();
  return hmdGetEnvironmentValue("KRX_SET_JAVA_HANDLER") == nullptr;
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
  notes.delegated = 0;
  notes.undelegated = 0;
  notes.reinstated = 0;
}
