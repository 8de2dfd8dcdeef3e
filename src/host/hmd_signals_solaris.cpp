// Signal handling of the Solaris build: a detached thread for each signal,
// which does the work and puts the handler back.

#include <errno.h>
#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <cstdint>

#include "host/hmd.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kThreadFailedMsg =
    "Corvane Kestrix launcher: Unable to handle signal %d; pthread_create() returned %d.\n";

void* hmdSignalHandlerThread(void* argument) {
  int signal = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  if (signal == SIGQUIT) {
    hmdSignalDumpStacks();
  } else {
    hmdSignalStop(signal);
  }
  // Back before the trace says so: a signal sent once the line is out is
  // handled again.
  int index = hmdSignalIndex(signal);
  if (index >= 0) hmdReinstallSignalHandler(index);
  ut_tproda("Completed handling of signal [%d]", signal);
  if (index >= 0) ut_tproda("Reinstated Signal Handler");
  return nullptr;
}

// Creating a thread allocates memory, which a signal handler must not do:
// a signal that arrives while its thread is inside malloc would wait on the
// lock that thread holds, for ever. The handler only posts a semaphore; this
// thread, outside any handler, starts the signal's own thread.
sem_t* starts = nullptr;
std::atomic<int> pending[NSIG];

void* hmdSignalThreadStarter(void*) {
  while (true) {
    if (sem_wait(starts) != 0) continue;
    hmdTraceSignalNotes();
    for (int signal = 1; signal < NSIG; ++signal) {
      if (pending[signal].exchange(0) == 0) continue;
      int created =
          hmdStartDetachedThread(hmdSignalHandlerThread, reinterpret_cast<void*>(static_cast<intptr_t>(signal)));
      if (created != 0) {
        utlReport(kThreadFailedMsg, signal, created);
        if (int index = hmdSignalIndex(signal); index >= 0) hmdReinstallSignalHandler(index);
        ut_tproda("Reinstated Signal Handler");
      }
    }
  }
  return nullptr;
}

}  // namespace

void hmdSignalHandler(int signal) {
  int savedErrno = errno;
  int index = hmdSignalReceived(signal);
  if (index == kSignalNoted && starts != nullptr) {
    sem_post(starts);
  } else if (index >= 0) {
    pending[signal] = 1;
    if (int posted = starts != nullptr ? sem_post(starts) : -1; posted != 0) {
      pending[signal] = 0;
      hmdSignalPostFailed(index, posted);
    }
  }
  errno = savedErrno;
}

// The thread that starts the signals' threads, once per process.
int hmdStartSignalDispatch() { return hmdStartSignalThread(&starts, hmdSignalThreadStarter) ? 0 : 1; }
