// Signal handling of the Solaris build: a detached thread for each signal,
// which does the work and puts the handler back.

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>

#include <atomic>
#include <new>

#include "host/hmd.h"
#include "launcher/jap.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kThreadFailedMsg =
    "Corvane Kestrix launcher: Unable to handle signal %d; pthread_create() returned %d.\n";

void* hmdSignalHandlerThread(void* argument) {
  int signal = static_cast<int>(reinterpret_cast<intptr_t>(argument));
  if (signal == SIGQUIT) {
    japDumpAllStacks();
  } else {
    japStop(true, signal);
  }
  ut_tproda("Completed handling of signal [%d]", signal);
  if (int index = hmdSignalIndex(signal); index >= 0) {
    hmdReinstallSignalHandler(index);
    ut_tproda("Reinstated Signal Handler");
  }
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
  int index = hmdSignalReceived(signal);
  if (index < 0) return;
  pending[signal] = 1;
  if (starts != nullptr && sem_post(starts) == 0) return;
  // No starter (it could not be made): the thread is started here, as
  // better than losing the signal.
  pending[signal] = 0;
  int created = hmdStartDetachedThread(hmdSignalHandlerThread, reinterpret_cast<void*>(static_cast<intptr_t>(signal)));
  if (created != 0) {
    utlReport(kThreadFailedMsg, signal, created);
    hmdReinstallSignalHandler(index);
    ut_tproda("Reinstated Signal Handler");
  }
}

// The thread that starts the signals' threads, once per process.
int hmdStartSignalDispatch() {
  if (starts != nullptr) return 0;
  auto* semaphore = new (std::nothrow) sem_t;
  if (semaphore == nullptr || sem_init(semaphore, 0, 0) != 0) {
    delete semaphore;
    return 0;
  }
  starts = semaphore;
  if (hmdStartDetachedThread(hmdSignalThreadStarter, nullptr) != 0) {
    sem_destroy(starts);
    delete starts;
    starts = nullptr;
  }
  return 0;
}
