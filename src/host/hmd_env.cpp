// Environment preparation for the dynamic loader, which reads
// LD_LIBRARY_PATH only when a process starts: when the launcher has to add
// directories, it re-executes itself so that the new image sees them.

#include <unistd.h>

#include <cstdlib>

#include "config/cfg.h"
#include "host/hmd.h"
#include "jvm/jmd.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kSetuidRootMsg = "Unable to start with setuid to root privileges.\n";
constexpr const char* kTrustedDirectoriesMsg =
    kSolaris ? "The following must be in the trusted directories list (see crle(1)):\n"
             : "The following must be in the trusted directories list (see ldconfig(8)):\n";
constexpr const char* kEnvChecked = "LAUNCHER_ENV_CHECKED";
// Marks the image that a non-root launcher re-executed for the library path.
// A loader that drops LD_LIBRARY_PATH (a set-user-ID launcher) would
// otherwise make the launcher re-execute itself for ever.
constexpr const char* kReexecMarker = "JLAUNCHER_LIBRARY_PATH_REEXEC";

// What the dynamic loader read when this process image started. An unset
// variable and an empty one mean the same to it.
struct LoaderEnvironment {
  std::string libraryPath, preload;
};

LoaderEnvironment startEnvironment;

std::string envValue(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool loaderEnvironmentChanged() {
  return envValue("LD_LIBRARY_PATH") != startEnvironment.libraryPath ||
         envValue("LD_PRELOAD") != startEnvironment.preload;
}

void refuse() {
  const char* path = std::getenv("LD_LIBRARY_PATH");
  utlReport("%s", kSetuidRootMsg);
  utlReport("%s", kTrustedDirectoriesMsg);
  utlReport("\t%s\n", path ? path : "");
}

}  // namespace

void hmdRememberLoaderEnvironment() {
  startEnvironment = {envValue("LD_LIBRARY_PATH"), envValue("LD_PRELOAD")};
}

bool hmdSetEnvironment(bool* restartFlag) {
  *restartFlag = false;
  bool root = geteuid() == 0;
  bool reexecuted = std::getenv(kReexecMarker) != nullptr;
  // The mark is for this image only: the application's own child processes
  // must not inherit it.
  if (reexecuted) unsetenv(kReexecMarker);

  // A root launcher trusts no inherited library path.
  if (root && std::getenv(kEnvChecked) == nullptr) utlPutEnv("LD_LIBRARY_PATH=");

  if (!jmdSetJavaEnvironment(restartFlag)) return false;
  for (const std::string& directory : cfgGetShLibPath()) {
    if (utlEnforceEnvValue("LD_LIBRARY_PATH", directory.c_str(), ":", 0)) *restartFlag = true;
  }
  // Only a loader variable that now differs from what this image started
  // with needs a new image; the configuration may also have exported one,
  // and a root launcher may have emptied an inherited library path.
  if (loaderEnvironmentChanged()) *restartFlag = true;
  if (!*restartFlag) {
    jmdClearJavaEnvironment();
    return true;
  }
  const char* path = std::getenv("LD_LIBRARY_PATH");
  ut_tproda("export LD_LIBRARY_PATH=%s", path ? path : "");

  if (!root) {
    if (reexecuted) {
      refuse();
      return false;
    }
    utlPutEnv(std::string(kReexecMarker) + "=1");
    return true;
  }
  if (std::getenv(kEnvChecked) == nullptr) {
    utlPutEnv(std::string(kEnvChecked) + "=true");
    return true;
  }
  refuse();
  return false;
}
