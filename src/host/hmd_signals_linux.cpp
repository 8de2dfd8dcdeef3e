// Signal handling of the Linux build: the handler only marks its signal and
// wakes a dispatch thread through a semaphore; the dispatcher starts a
// short-lived worker per signal, which calls into the JVM. While a signal's
// work is under way, further deliveries of it are ignored.

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

constexpr const char* kNoWorkerMsg = "Unable to create worker thread to handle signal";

void* hmdCleanShutdownWorker(void* index);
void* hmdDumpStackWorker(void* index);

using Worker = void* (*)(void*);
// The work of each row of the signal table, in its order.
constexpr Worker kWorkers[] = {hmdCleanShutdownWorker, hmdCleanShutdownWorker, hmdDumpStackWorker,
                               hmdCleanShutdownWorker};

sem_t* sem = nullptr;
std::atomic<int> pending[std::size(kWorkers)];

int rowOf(void* index) { return static_cast<int>(reinterpret_cast<intptr_t>(index)); }

// The handler is back before the trace says the work is done: a signal sent
// once that line is out is handled again, never ignored.
void finishWork(int index) {
  hmdReinstallSignalHandler(index);
  ut_tproda("Completed handling of signal [%d]", signals[index].number);
}

void* hmdCleanShutdownWorker(void* index) {
  hmdSignalStop(signals[rowOf(index)].number);
  finishWork(rowOf(index));
  return nullptr;
}

void* hmdDumpStackWorker(void* index) {
  hmdSignalDumpStacks();
  finishWork(rowOf(index));
  return nullptr;
}

void* hmdSignalDispatcher(void*) {
  while (true) {
    if (sem_wait(sem) != 0) continue;  // interrupted: wait again
    hmdTraceSignalNotes();
    for (int i = 0; i < numSignals; ++i) {
      // Taken and cleared at once: a delivery that comes after the worker
      // started here has put the handler back sets the mark anew, and must
      // find it set when the dispatcher wakes for it.
      if (pending[i].exchange(0) == 0) continue;
      if (hmdStartDetachedThread(kWorkers[i], reinterpret_cast<void*>(static_cast<intptr_t>(i))) != 0) {
        utlReport("%s", kNoWorkerMsg);
        hmdReinstallSignalHandler(i);
      }
    }
  }
  return nullptr;
}

}  // namespace

void hmdSignalHandler(int signal) {
  int savedErrno = errno;
  int index = hmdSignalReceived(signal);
  if (index == kSignalNoted && sem != nullptr) {
    sem_post(sem);
  } else if (index >= 0) {
    pending[index] = 1;
    if (int posted = sem != nullptr ? sem_post(sem) : -1; posted != 0) {
      pending[index] = 0;
      hmdSignalPostFailed(index, posted);
    }
  }
  errno = savedErrno;
}

int hmdStartSignalDispatch() {
  if (sem == nullptr) {
    for (std::atomic<int>& flag : pending) flag = 0;
  }
  return hmdStartSignalThread(&sem, hmdSignalDispatcher) ? 0 : 1;
}
