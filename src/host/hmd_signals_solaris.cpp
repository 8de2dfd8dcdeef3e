// Signal handling of the Solaris build: no dispatcher; the handler starts a
// detached thread for each signal, which does the work and puts the handler
// back.

#include <pthread.h>
#include <signal.h>

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

}  // namespace

void hmdSignalHandler(int signal) {
  int index = hmdSignalReceived(signal);
  if (index < 0) return;
  int created = hmdStartDetachedThread(hmdSignalHandlerThread, reinterpret_cast<void*>(static_cast<intptr_t>(signal)));
  if (created != 0) {
    utlReport(kThreadFailedMsg, signal, created);
    hmdReinstallSignalHandler(index);
    ut_tproda("Reinstated Signal Handler");
  }
}

// The Solaris build has no dispatch thread to start.
int hmdStartSignalDispatch() { return 0; }
