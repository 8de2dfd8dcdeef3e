// The start-up cache's executor: gathers the facts the plan asks for, does
// the file and process work it names, and amends the final option list.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string_view>
#include <vector>

#include "config/cfg.h"
#include "host/hmd.h"
#include "jvm/cds.h"
#include "jvm/jev.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

extern "C" char** environ;

namespace {

/// Files unused this long are removed whenever an archive is recorded;
/// leftovers of a recording that never ended, sooner.
constexpr time_t kPruneAge = 30 * 24 * 3600;
constexpr time_t kLeftoverAge = 24 * 3600;
constexpr std::string_view kSuffixes[] = {".jsa", ".aot", ".stamp", ".failed", ".tmp"};
/// A runtime's release file is a few hundred bytes.
constexpr long long kMaxReleaseFile = 64 * 1024;
// The stamps and failure marks are a line or two; anything longer is not one.
constexpr std::size_t kMaxSmallFile = 4096;

struct CdsState {
  CdsPlan plan;
  std::string javaHome;
  std::string recording;  ///< this launch's dynamic archive or AOT configuration
  std::string created;    ///< this launch's AOT cache, before it is published
  std::vector<std::string> creation;
  bool finished = false;
};

CdsState state;

CdsFileStamp stampOf(const struct stat& st) {
  return {.size = static_cast<std::uint64_t>(st.st_size),
          .seconds = st.st_mtim.tv_sec,
          .nanoseconds = st.st_mtim.tv_nsec};
}

std::optional<std::string> environmentValue(const char* name) {
  const char* value = hmdGetEnvironmentValue(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

// The facts of this process and its file system.
class SystemFacts : public CdsFacts {
 public:
  SystemFacts(std::string javaHome, bool printOnly) : javaHome_(std::move(javaHome)), printOnly_(printOnly) {}

  std::optional<std::string> releaseVersion() override { return jevGetReleaseVersion(javaHome_); }
  std::string release() override {
    return hmdCreateFileContent((javaHome_ + "/release").c_str(), 0, kMaxReleaseFile).value_or("");
  }
  std::string library() override {
    Dl_info info;
    void* create = reinterpret_cast<void*>(jevGetInvocationFunction()->CreateJavaVM);
    if (create != nullptr && dladdr(create, &info) != 0 && info.dli_fname != nullptr) return info.dli_fname;
    return "";
  }
  bool hasBaseArchive(const std::string& library) override {
    std::string directory = library.substr(0, library.rfind('/'));
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr) return false;
    bool found = false;
    while (struct dirent* entry = readdir(dir)) {
      std::string_view name = entry->d_name;
      found = found || (name.starts_with("classes") && name.ends_with(".jsa"));
    }
    closedir(dir);
    return found;
  }
  std::optional<CdsFileStamp> regularFile(const std::string& path) override {
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return stampOf(st);
  }
  std::optional<std::string> trustedDirectory(const std::string& directory, std::string& why) override {
    return hmdPrivateDirectory(directory, !printOnly_, why);
  }
  bool exists(const std::string& path) override { return utlFileExists(path); }
  std::optional<CdsFileStamp> privateFile(const std::string& path) override {
    struct stat st;
    int fd = hmdOpenPrivateFile(path, O_RDONLY, &st);
    if (fd < 0) return std::nullopt;
    close(fd);
    return stampOf(st);
  }
  std::string smallFile(const std::string& path) override {
    return hmdReadPrivateFile(path, kMaxSmallFile).value_or("");
  }

 private:
  std::string javaHome_;
  bool printOnly_;
};

void removeArchive() {
  unlink(state.plan.archive.c_str());
  unlink(state.plan.stamp.c_str());
}

void markFailed(const char* why) {
  ut_tproda("Start-up cache: %s; not recorded again for this class path", why);
  hmdWritePrivateFile(state.plan.failed, cdsFailureMark(state.plan, "failed"));
}

// Files of the cache that nothing has used for long: archives of runtimes
// and class paths that are gone, and what crashed recordings left.
void pruneCache(const std::string& directory) {
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return;
  time_t now = std::time(nullptr);
  while (struct dirent* entry = readdir(dir)) {
    std::string_view name = entry->d_name;
    bool ours = false;
    for (std::string_view suffix : kSuffixes) ours = ours || name.ends_with(suffix);
    if (!ours) continue;
    std::string path = directory + "/" + entry->d_name;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) continue;
    time_t age = now - st.st_mtim.tv_sec;
    if (age > kPruneAge || (name.ends_with(".tmp") && age > kLeftoverAge)) {
      ut_tproda("Start-up cache: removing unused %s", path.c_str());
      unlink(path.c_str());
    }
  }
  closedir(dir);
}

/// How the runtime's java ended: a signal (the user's interrupt, say) says
/// nothing of whether it would have succeeded.
enum class JavaOutcome { kSucceeded, kFailed, kStopped };

// Runs the runtime's java with its output discarded and waits for it.
JavaOutcome runJava(const std::vector<std::string>& options) {
  std::vector<std::string> args = {state.javaHome + "/bin/java"};
  args.insert(args.end(), options.begin(), options.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // The recorded JVM took JDK_JAVA_OPTIONS among its options already.
  std::vector<char*> env;
  for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    if (!std::string_view(*entry).starts_with("JDK_JAVA_OPTIONS=")) env.push_back(*entry);
  }
  env.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  hmdSpawnClosesDescriptors(&actions);
  pid_t pid;
  int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ut_tproda("Start-up cache: cannot run %s (%s)", argv[0], std::strerror(spawned));
    return JavaOutcome::kFailed;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return JavaOutcome::kStopped;
  }
  if (!WIFEXITED(status)) {
    ut_tproda("Start-up cache: %s ended by signal %d", argv[0], WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return JavaOutcome::kStopped;
  }
  ut_tproda("Start-up cache: %s ended with status %d", argv[0], WEXITSTATUS(status));
  return WEXITSTATUS(status) == 0 ? JavaOutcome::kSucceeded : JavaOutcome::kFailed;
}

// Moves a complete recording into place. Its data reach the disk first: a
// crash must not leave a short archive under the published name, which the
// JVM would map and fault on.
bool publish(const std::string& from) {
  struct stat st;
  int fd = hmdOpenPrivateFile(from, O_RDONLY, &st);
  bool whole = fd >= 0 && st.st_size > 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!whole || std::rename(from.c_str(), state.plan.archive.c_str()) != 0) return false;
  ut_tproda("Start-up cache: recorded %s", state.plan.archive.c_str());
  return hmdWritePrivateFile(state.plan.stamp, cdsStampText(stampOf(st), state.plan.classPathPrint));
}

// The archive, or the device and inode of it, among the process's mappings.
bool isMapped(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return false;
  char* resolved = realpath(path.c_str(), nullptr);
  std::string real = resolved ? resolved : path;
  std::free(resolved);
  std::ifstream maps("/proc/self/maps");
  if (!maps) return true;  // nothing to tell by
  std::string line;
  while (std::getline(maps, line)) {
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    int pathStart = 0;
    if (std::sscanf(line.c_str(), "%*s %*s %*s %x:%x %llu %n", &major, &minor, &inode, &pathStart) < 3) continue;
    bool sameFile = inode == st.st_ino && makedev(major, minor) == st.st_dev;
    if (sameFile || (pathStart > 0 && line.compare(static_cast<std::size_t>(pathStart), std::string::npos, real) == 0)) {
      return true;
    }
  }
  return false;
}

// Removes what a recording left unpublished.
void discardRecording() {
  if (state.plan.mode != CdsMode::kRecord) return;
  unlink(state.recording.c_str());
  if (!state.created.empty()) unlink(state.created.c_str());
}

// Makes this launch's own files, before the JVM writes to them, and the
// options that record into them.
void startRecording(const std::vector<std::string>& options) {
  const CdsPlan& plan = state.plan;
  pruneCache(plan.directory);
  bool aot = plan.kind == CdsKind::kAot;
  std::optional<std::string> recording = hmdCreatePrivateFile(plan.base, aot ? ".aotconf.tmp" : ".jsa.tmp");
  std::optional<std::string> created = aot ? hmdCreatePrivateFile(plan.archive, ".tmp") : std::string();
  if (!recording || !created) {
    if (recording) unlink(recording->c_str());
    ut_tproda("Start-up cache: cannot create a file in %s (%s): running without it", plan.directory.c_str(),
              std::strerror(errno));
    state.plan.mode = CdsMode::kOff;
    return;
  }
  state.recording = *recording;
  state.created = *created;
  CdsRecording record = cdsRecordingOptions(plan, options, state.recording, state.created);
  state.creation = std::move(record.creation);
  jopAmendFinalOptions(record.front, record.back);
  ut_tproda("Start-up cache: recording %s", plan.archive.c_str());
}

}  // namespace

void cdsInit() { state = CdsState{}; }

void cdsTerm() {
  discardRecording();
  state = CdsState{};
}

void cdsAddArchiveOptions(const char* entryClass, bool printOnly) {
  if (!cfgIsStartupCacheEnabled()) return;
  const char* name = hmdGetApplicationName();
  CdsLaunch launch{
      .printOnly = printOnly,
      .setId = utlIsSetIdMode(),
      .modularFromHome = jevGetJVMVersion() == kLayoutModular && jopGetJavaPath() == nullptr,
      .entryClass = entryClass,
      .applicationName = name != nullptr ? name : "",
      .options = {},
      .xdgCacheHome = environmentValue("XDG_CACHE_HOME"),
      .home = environmentValue("HOME"),
      .javaToolOptions = environmentValue("JAVA_TOOL_OPTIONS"),
      .javaOptions = environmentValue("_JAVA_OPTIONS"),
  };
  const JavaVMOption* options = jopGetJavaVMOptions();
  for (int i = 0; i < jopGetJavaVMOptionsCount(); ++i) launch.options.emplace_back(options[i].optionString);
  state.javaHome = jevGetJVMHome();
  SystemFacts facts(state.javaHome, printOnly);
  state.plan = cdsPlan(launch, facts);

  for (const std::string& note : state.plan.notes) ut_tproda("Start-up cache: %s", note.c_str());
  if (state.plan.removeStale) removeArchive();
  if (state.plan.mode == CdsMode::kUse) jopAmendFinalOptions(state.plan.front, {});
  if (state.plan.mode == CdsMode::kRecord) startRecording(launch.options);
}

void cdsCheckArchiveMapped() {
  if (state.plan.mode != CdsMode::kUse) return;
  if (isMapped(state.plan.archive)) {
    unlink(state.plan.failed.c_str());
    return;
  }
  ut_tproda("Start-up cache: the JVM did not map %s", state.plan.archive.c_str());
  removeArchive();
  if (hmdReadPrivateFile(state.plan.failed, kMaxSmallFile) == cdsFailureMark(state.plan, "refused")) {
    markFailed("the JVM refused the archive recorded again");
  } else {
    hmdWritePrivateFile(state.plan.failed, cdsFailureMark(state.plan, "refused"));
  }
}

void cdsFinishRecording() {
  if (state.plan.mode != CdsMode::kRecord || state.finished) return;
  state.finished = true;
  JavaOutcome outcome = JavaOutcome::kSucceeded;
  std::string recorded = state.recording;
  if (state.plan.kind == CdsKind::kAot) {
    recorded = state.created;
    outcome = hmdGetFileSize(state.recording.c_str()) > 0 ? runJava(state.creation) : JavaOutcome::kFailed;
  }
  // A creation stopped by a signal leaves the recording to the next launch.
  if (outcome == JavaOutcome::kFailed || (outcome == JavaOutcome::kSucceeded && !publish(recorded))) {
    markFailed("the runtime made no archive");
  }
  discardRecording();
}
