// Signal handling of the Linux build: the handler only marks its signal and
// wakes a dispatch thread through a semaphore; the dispatcher starts a
// short-lived worker per signal, which calls into the JVM. While a signal's
// work is under way, further deliveries of it are ignored.

#include <pthread.h>
#include <semaphore.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "host/hmd.h"
#include "launcher/jap.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kNoMemoryMsg = "Unable to allocate necessary memory";
constexpr const char* kNoSemaphoreMsg = "Unable to initialize semaphore";
constexpr const char* kNoDispatcherMsg = "Unable to create signal dispatch thread";
constexpr const char* kNoWorkerMsg = "Unable to create worker thread to handle signal";
constexpr const char* kPostFailedMsg[] = {"Corvane Kestrix launcher: Unable to handle signal ", ", sem_post returned ",
                                          "\n"};

// Appends the decimal digits of number to text at length; returns the new length.
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

// Runs in the signal handler, which may neither allocate nor take the locks
// of stdio: the message is put together on the stack and written at once.
void reportPostFailed(int signal, int posted) {
  char text[160];
  std::size_t length = 0;
  auto append = [&](const char* part) {
    for (; *part != '\0'; ++part) text[length++] = *part;
  };
  append(kPostFailedMsg[0]);
  length = appendNumber(text, length, signal);
  append(kPostFailedMsg[1]);
  length = appendNumber(text, length, posted);
  append(kPostFailedMsg[2]);
  ssize_t ignored = write(STDERR_FILENO, text, length);
  (void)ignored;
}

void* hmdCleanShutdownWorker(void* index);
void* hmdDumpStackWorker(void* index);

using Worker = void* (*)(void*);
// The work of each row of the signal table, in its order.
constexpr Worker kWorkers[] = {hmdCleanShutdownWorker, hmdCleanShutdownWorker, hmdDumpStackWorker,
                               hmdCleanShutdownWorker};

sem_t* sem = nullptr;
std::atomic<int> pending[std::size(kWorkers)];

void finishWork(int index) {
  ut_tproda("Completed handling of signal [%d]", signals[index].number);
  hmdReinstallSignalHandler(index);
}

void* hmdCleanShutdownWorker(void* index) {
  int row = static_cast<int>(reinterpret_cast<intptr_t>(index));
  japStop(true, signals[row].number);
  finishWork(row);
  return nullptr;
}

void* hmdDumpStackWorker(void* index) {
  japDumpAllStacks();
  finishWork(static_cast<int>(reinterpret_cast<intptr_t>(index)));
  return nullptr;
}

void* hmdSignalDispatcher(void*) {
  while (true) {
    if (sem_wait(sem) != 0) continue;  // interrupted: wait again
    for (int i = 0; i < numSignals; ++i) {
      if (pending[i].load() == 0) continue;
      if (hmdStartDetachedThread(kWorkers[i], reinterpret_cast<void*>(static_cast<intptr_t>(i))) != 0) {
        utlReport("%s", kNoWorkerMsg);
        hmdReinstallSignalHandler(i);
      }
      pending[i] = 0;
    }
  }
  return nullptr;
}

}  // namespace

void hmdSignalHandler(int signal) {
  int index = hmdSignalReceived(signal);
  if (index < 0) return;
  pending[index] = 1;
  if (int posted = sem_post(sem); posted != 0) {
    pending[index] = 0;
    reportPostFailed(signal, posted);
    hmdReinstallSignalHandler(index);
  }
}

int hmdStartSignalDispatch() {
  if (sem == nullptr) {
    sem = new (std::nothrow) sem_t;
    if (sem == nullptr) {
      utlReport("%s", kNoMemoryMsg);
      return 1;
    }
    if (sem_init(sem, 0, 0) != 0) {
      delete sem;
      sem = nullptr;
      utlReport("%s", kNoSemaphoreMsg);
      return 1;
    }
  }
  for (std::atomic<int>& flag : pending) flag = 0;
  if (hmdStartDetachedThread(hmdSignalDispatcher, nullptr) != 0) {
    utlReport("%s", kNoDispatcherMsg);
    return 1;
  }
  return 0;
}
