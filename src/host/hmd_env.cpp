// Environment preparation for the dynamic loader, which reads
// LD_LIBRARY_PATH only when a process starts: when the launcher has to add
// directories, it re-executes itself so that the new image sees them.

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "host/hmd.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kSetuidRootMsg = "Unable to start with setuid to root privileges.\n";
constexpr const char* kTrustedDirectoriesMsg =
    kSolaris ? "The following must be in the trusted directories list (see crle(1)):\n"
             : "The following must be in the trusted directories list (see ldconfig(8)):\n";
// Mark the image that a launcher re-executed for the library path, the first
// when it runs as root, the second otherwise. A loader that drops
// LD_LIBRARY_PATH (a set-user-ID launcher) would otherwise make the launcher
// re-execute itself for ever.
constexpr const char* kEnvChecked = "LAUNCHER_ENV_CHECKED";
constexpr const char* kReexecMarker = "JLAUNCHER_LIBRARY_PATH_REEXEC";

constexpr const char* kCallerJvmOptions[] = {"JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS", "JDK_JAVA_OPTIONS"};

// What the dynamic loader read when this process image started (an unset
// variable and an empty one mean the same to it), and whether the image is
// the launcher's re-execution for the loader.
struct StartEnvironment {
  std::string libraryPath, preload;
  bool reexecuted = false;
};

StartEnvironment startEnvironment;

std::string envValue(const char* name) {
  const char* value = hmdGetEnvironmentValue(name);
  return value ? value : "";
}

bool loaderEnvironmentChanged() {
  return envValue("LD_LIBRARY_PATH") != startEnvironment.libraryPath ||
         envValue("LD_PRELOAD") != startEnvironment.preload;
}

void refuse() {
  const char* path = hmdGetEnvironmentValue("LD_LIBRARY_PATH");
  utlReport("%s", kSetuidRootMsg);
  utlReport("%s", kTrustedDirectoriesMsg);
  utlReport("\t%s\n", path ? path : "");
}

}  // namespace

void hmdRememberStartEnvironment() {
  startEnvironment = {envValue("LD_LIBRARY_PATH"), envValue("LD_PRELOAD"),
                      hmdGetEnvironmentValue(geteuid() == 0 ? kEnvChecked : kReexecMarker) != nullptr};
  // The marks are for this image only. Neither the configuration nor the
  // application sees them, and no launcher the application starts takes
  // itself for a re-execution.
  unsetenv(kEnvChecked);
  unsetenv(kReexecMarker);
  if (!utlIsSetIdMode()) return;
  // The JVM reads these when it is created and would run whatever agent or
  // error command they name with the launcher's privileges.
  std::vector<std::string> settings(std::begin(kCallerJvmOptions), std::end(kCallerJvmOptions));
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string_view text = *entry;
    if (text.starts_with("KRX_")) settings.emplace_back(text.substr(0, text.find('=')));
  }
  for (const std::string& name : settings) {
    if (hmdGetEnvironmentValue(name.c_str()) == nullptr) continue;
    ut_tproda("Ignoring %s in a set-ID launcher", name.c_str());
    unsetenv(name.c_str());
  }
}

bool hmdIsReexecutedImage() { return startEnvironment.reexecuted; }

bool hmdSetEnvironment(const LoaderEnvironment& loader, bool* restartFlag) {
  *restartFlag = false;
  bool root = geteuid() == 0;
  bool reexecuted = startEnvironment.reexecuted;

  // A root launcher trusts no inherited library path. The variable goes
  // altogether: the JVM takes an empty one as an empty first entry of
  // java.library.path, which is the working directory.
  if (root && !reexecuted) unsetenv("LD_LIBRARY_PATH");

  for (const std::string& directory : loader.libraryPathFront) {
    if (utlEnforceEnvValue("LD_LIBRARY_PATH", directory.c_str(), ":", 1)) *restartFlag = true;
  }
  for (const std::string& library : loader.preloadFront) {
    if (utlEnforceEnvValue("LD_PRELOAD", library.c_str(), ":", 1)) *restartFlag = true;
  }
  if (!kSolaris) ut_tproda("export LD_PRELOAD=%s", envValue("LD_PRELOAD").c_str());
  ut_tproda("*setenv=%d", *restartFlag ? 1 : 0);
  for (const std::string& directory : loader.libraryPathBack) {
    if (utlEnforceEnvValue("LD_LIBRARY_PATH", directory.c_str(), ":", 0)) *restartFlag = true;
  }
  // Only a loader variable that now differs from what this image started
  // with needs a new image; the configuration may also have exported one,
  // and a root launcher may have dropped an inherited library path.
  if (loaderEnvironmentChanged()) *restartFlag = true;
  if (!*restartFlag) {
    utlEnforceLackOfEnvValue("LD_PRELOAD", loader.library.c_str(), " ");
    if (!kSolaris) ut_tproda("export LD_PRELOAD=%s", envValue("LD_PRELOAD").c_str());
    return true;
  }
  const char* path = hmdGetEnvironmentValue("LD_LIBRARY_PATH");
  ut_tproda("export LD_LIBRARY_PATH=%s", path ? path : "");

  if (reexecuted) {
    refuse();
    return false;
  }
  utlPutEnv(root ? std::string(kEnvChecked) + "=true" : std::string(kReexecMarker) + "=1");
  return true;
}

namespace {

// Marks every descriptor from 3 up close-on-exec in one call. A C library
// before glibc 2.34 (the portable build's) has no wrapper for the system
// call, which is the same without it; glibc 2.31 does not even name it, the
// kernel's headers do.
#if LAUNCHER_HAVE_CLOSE_RANGE
int closeRangeOnExec() { return close_range(3, ~0U, CLOSE_RANGE_CLOEXEC); }
#else
int closeRangeOnExec() {
  constexpr unsigned kCloseRangeCloexec = 1U << 2;  // CLOSE_RANGE_CLOEXEC, Linux 5.11
  return static_cast<int>(syscall(__NR_close_range, 3U, ~0U, kCloseRangeCloexec));
}
#endif

// Calls `action` with each descriptor from 3 up that is open now, by name.
template <typename Action>
void forEachDescriptorFrom3(Action action) {
  DIR* open = opendir("/proc/self/fd");
  if (open == nullptr) return;
  while (const dirent* entry = readdir(open)) {
    int fd = std::atoi(entry->d_name);
    if (fd >= 3 && fd != dirfd(open)) action(fd);
  }
  closedir(open);
}

}  // namespace

void hmdCloseDescriptorsOnExec() {
  if constexpr (!kSolaris) {
    if (closeRangeOnExec() == 0) return;
  }
  // Kernels before Linux 5.11, and Solaris: each open descriptor by name.
  forEachDescriptorFrom3([](int fd) {
    int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
  });
}

#if LAUNCHER_HAVE_SPAWN_CLOSEFROM
void hmdSpawnClosesDescriptors(posix_spawn_file_actions_t* actions) {
  posix_spawn_file_actions_addclosefrom_np(actions, 3);
}
#else
// Before glibc 2.34: the descriptors open now, one by one (one that another
// thread opens before the spawn stays open in the child).
void hmdSpawnClosesDescriptors(posix_spawn_file_actions_t* actions) {
  forEachDescriptorFrom3([actions](int fd) { posix_spawn_file_actions_addclose(actions, fd); });
}
#endif
