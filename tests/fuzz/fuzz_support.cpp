#include "fuzz_support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "cmdline/opt.h"
#include "config/cfg.h"
#include "host/hmd.h"
#include "jvm/jev.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

extern "C" char** environ;

namespace {

namespace fs = std::filesystem;

std::atomic<bool> sandboxOn{false};
// Something was created under the sandbox: the next run needs a new work
// directory.
std::atomic<bool> workDirUsed{true};

// The place a path names: resolved when it exists, else the resolved parent
// directory with the last component added (what creating it would make).
std::optional<std::string> placeOf(std::string path) {
  if (char* real = realpath(path.c_str(), nullptr)) {
    std::string place = real;
    std::free(real);
    return place;
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::size_t slash = path.rfind('/');
  std::string parent = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return std::nullopt;
  char* real = realpath(parent.c_str(), nullptr);
  if (real == nullptr) return std::nullopt;
  std::string place = std::string(real) + "/" + name;
  std::free(real);
  return place;
}

// Whether an absolute path lies under root as written: no ".", ".." or empty
// component. Nothing under root is a symbolic link (the harnesses make none,
// and the sandbox lets nothing else make one), so such a path is already the
// place it names, without realpath's system call per component.
bool plainlyUnder(std::string_view path, std::string_view root) {
  if (!path.starts_with(root) || path.size() <= root.size() + 1 || path[root.size()] != '/') return false;
  for (std::string_view rest = path.substr(root.size() + 1);;) {
    std::size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    if (part.empty() || part == "." || part == "..") return false;
    if (slash == std::string_view::npos) return true;
    rest.remove_prefix(slash + 1);
  }
}

// Whether the sandbox lets the code under test reach path (relative to
// directory, as openat takes it).
bool allowed(int directory, const char* path) {
  if (!sandboxOn) return true;
  if (path[0] == '/' && plainlyUnder(path, fuzzTempDir())) return true;
  std::string full = path;
  if (directory != AT_FDCWD && !full.starts_with('/')) {
    full = "/proc/self/fd/" + std::to_string(directory) + "/" + full;
  }
  std::optional<std::string> place = placeOf(full);
  const std::string& root = fuzzTempDir();
  if (place && (*place == root || place->starts_with(root + "/"))) return true;
  errno = EACCES;
  return false;
}

int openChecked(int directory, const char* path, int flags, va_list args) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) mode = static_cast<mode_t>(va_arg(args, int));
  if (!allowed(directory, path)) return -1;
  int fd = static_cast<int>(syscall(SYS_openat, directory, path, flags, mode));
  if (fd >= 0 && sandboxOn && (flags & O_CREAT) != 0) workDirUsed = true;
  return fd;
}

int devNull = -1;
std::vector<std::string> startEnvironment;

UtTraceData quietTrace() {
  return UtTraceData{.initPending = 0, .commit = 0, .fd = devNull, .production = 0, .level = 0};
}

// The environment every input starts with: the harness's own.
void prepareProcess() {
  devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  for (char** entry = environ; *entry != nullptr; ++entry) startEnvironment.emplace_back(*entry);
}

void restoreEnvironment() {
  clearenv();
  for (std::string& entry : startEnvironment) putenv(entry.data());
}

int firstFreeDescriptor() {
  int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ::close(fd);
  return fd;
}

}  // namespace

// The sandbox's hooks. open, openat, mkdir and symlink are defined here, so
// that every caller in the process gets them, the C++ library included (the
// sanitizers do not intercept them); the real work is the system call. fopen is
// intercepted by AddressSanitizer, so it is wrapped at link time instead
// (-Wl,--wrap=fopen) for the code linked in. Only fopen's reads are checked:
// libFuzzer writes its findings through fopen while the input still runs.
extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = openChecked(AT_FDCWD, path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int openat(int directory, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  int fd = openChecked(directory, path, flags, args);
  va_end(args);
  return fd;
}

extern "C" int mkdir(const char* path, mode_t mode) noexcept {
  if (!allowed(AT_FDCWD, path)) return -1;
  int result = static_cast<int>(syscall(SYS_mkdirat, AT_FDCWD, path, mode));
  if (result == 0 && sandboxOn) workDirUsed = true;
  return result;
}

// A symbolic link could lead a path that looks plainly under the sandbox's
// directory anywhere: none is made while the sandbox is on.
extern "C" int symlink(const char* target, const char* path) noexcept {
  return symlinkat(target, AT_FDCWD, path);
}

extern "C" int symlinkat(const char* target, int directory, const char* path) noexcept {
  if (sandboxOn) {
    errno = EACCES;
    return -1;
  }
  return static_cast<int>(syscall(SYS_symlinkat, target, directory, path));
}

extern "C" FILE* __real_fopen(const char* path, const char* mode);
extern "C" FILE* __wrap_fopen(const char* path, const char* mode) {
  if (std::strpbrk(mode, "wa+") == nullptr && !allowed(AT_FDCWD, path)) return nullptr;
  return __real_fopen(path, mode);
}

const std::string& fuzzTempDir() {
  // Never destroyed: the exit handler that removes the directory runs after
  // the destructors of statics made before it.
  static const std::string* dir = [] {
    // Files are written for every input: in memory (tmpfs) unless TMPDIR
    // says otherwise, as a disk would make each input wait for it.
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = access("/dev/shm", W_OK | X_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/jlauncher-fuzz-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(fuzzTempDir(), ignored);
    });
    return new std::string(fs::canonical(pattern).string());
  }();
  return *dir;
}

void fuzzWriteFile(const std::string& path, std::string_view bytes) {
  // The harness's own files are no input's doing.
  bool wasOn = sandboxOn.exchange(false);
  fs::create_directories(fs::path(path).parent_path());
  // A new file rather than a truncated one: ext4 flushes a file truncated
  // and written again when it is closed, which would cost every input a
  // wait for the disk.
  unlink(path.c_str());
  std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  sandboxOn = wasOn;
}

FuzzRun::FuzzRun() {
  static const bool prepared = (prepareProcess(), true);
  (void)prepared;
  workDir_ = fuzzTempDir() + "/run";
  if (workDirUsed.exchange(false)) {
    fs::remove_all(workDir_);
    fuzzWriteFile(workDir_ + "/bin/app", "");
  }

  ut_TraceData = quietTrace();
  hmdResetApplicationHome();
  hmdResetSignals();
  hmdSetFullLauncherFileName(workDir_ + "/bin/app");
  hmdSetFullLauncherPath(workDir_ + "/bin");
  hmdSetApplicationName("app");
  jevReset();
  utlInit();
  jopInit();
  optInit();
  cfgInit();

  firstFreeDescriptor_ = firstFreeDescriptor();
  sandboxOn = true;
}

FuzzRun::~FuzzRun() {
  sandboxOn = false;
  FUZZ_CHECK(firstFreeDescriptor() == firstFreeDescriptor_);
  cfgTerm();
  optTerm();
  jopTerm();
  jevReset();
  hmdResetSignals();
  hmdResetApplicationHome();
  // What the input exported is released once the environment no longer
  // holds it: otherwise every input with an `export` would end with more
  // allocations than releases, which makes libFuzzer run it again and scan
  // the whole heap for leaks.
  restoreEnvironment();
  utlTerm();
  ut_TraceData = quietTrace();
}
