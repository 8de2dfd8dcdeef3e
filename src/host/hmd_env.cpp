// Environment preparation for the dynamic loader.

#include "host/hmd.h"

// Will add the JVM's and the configuration's library directories to
// LD_LIBRARY_PATH and ask for a re-execution when it had to change it. Until
// JVM discovery exists there is nothing to add: the launcher goes on with the
// environment it was given.
bool hmdSetEnvironment(bool* restartFlag) {
  *restartFlag = false;
  return true;
}
