#include "service/jsv.h"

bool jsvIgnoreVMExitCode = false;
int jsvInternalExitCode = 0;

// JVM creation, the entry-class call and the shutdown paths come with the JVM
// service work. Until then no JVM is created: the launch ends with 1 at this
// stage (the stages before it are what a launch can do so far).
int jsvCreateJVM() { return 1; }

int jsvRunService(const char* /*entryClass*/, const char* /*mainMethod*/, const char* /*exitClass*/,
                  const char* /*exitMethod*/, int /*argc*/, const std::vector<std::string>& /*argv*/) {
  return 1;
}

int jsvDestroyJVM() { return 0; }

void jsvAbortService(bool /*flag*/) {}

void jsvDumpAllStacks() {}
