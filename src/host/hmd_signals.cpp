// The signals the launcher answers while the JVM runs.

#include <signal.h>
#include <strings.h>

#include "host/hmd.h"
#include "util/utrace.h"

namespace {

constexpr SignalEntry kInitialSignals[] = {
    {SIGHUP, hmdSignalHandler, SIG_DFL, "hup"},
    {SIGINT, hmdSignalHandler, SIG_DFL, "int"},
    {SIGQUIT, hmdSignalHandler, SIG_DFL, "quit"},
    {SIGTERM, hmdSignalHandler, SIG_DFL, "term"},
};

}  // namespace

SignalEntry signals[] = {kInitialSignals[0], kInitialSignals[1], kInitialSignals[2], kInitialSignals[3]};
const int numSignals = static_cast<int>(std::size(kInitialSignals));

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

// Orderly shutdown and stack dumps on signals come with the signal handling
// work; until the handlers are installed nothing calls this.
void hmdSignalHandler(int /*signal*/) {}

// A launcher started immune to hang-ups (under nohup) is made immune to
// interrupts as well. Installing the launcher's handlers and the dispatch
// thread come with the signal handling work.
int hmdBeforeCreateJVM() {
  SignalDisposition hangUp = signal(SIGHUP, SIG_IGN);
  signal(SIGHUP, hangUp);
  if (hangUp == SIG_IGN) {
    signal(SIGINT, SIG_IGN);
    signals[1].handler = SIG_IGN;
    ut_tproda("Running nohup'd so also ignore SIGINT");
    signals[0].handler = SIG_IGN;
  }
  return 0;
}

int hmdAfterCreateJVM() { return 0; }

int hmdAfterDestoryJVM() { return 0; }

void hmdResetSignals() {
  for (int i = 0; i < numSignals; ++i) signals[i] = kInitialSignals[i];
}
