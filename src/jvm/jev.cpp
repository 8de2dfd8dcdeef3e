#include "jvm/jev.h"

#include "util/utrace.h"

namespace {
InvocationFunctions ifn;
int jvmSubType = kSubTypeDefault;
}  // namespace

int jevGetJVMSubType() { return jvmSubType; }

void jevSetJVMSubType(int subType) { jvmSubType = subType; }

// Will look for a Java installation through PATH when none is configured;
// until JVM discovery exists the library is found through LD_LIBRARY_PATH only.
void jevConfigureDefaultJVM() {}

bool jevInit() {
  bool loaded = jmdLoadJavaVM(&ifn);
  if (loaded && ifn.DumpAllStacks != nullptr) ut_tproda("JVM is 1.3.1_01 or later");
  return loaded;
}

InvocationFunctions* jevGetInvocationFunction() { return &ifn; }

// Will print the Xusage.txt of the chosen JVM's library directory, which
// JVM discovery determines.
void jevPrintXUsage() {}

void jevResetInvocationFunction() { ifn = InvocationFunctions{}; }
