// The start-up cache's executor: gathers the facts the plan asks for, does
// the file and process work it names, and amends the final option list.

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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
#include "host/ntf.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

/// Files unused this long are removed whenever an archive is recorded;
/// leftovers of a recording that never ended, sooner.
constexpr time_t kPruneAge = 30 * 24 * 3600;
constexpr time_t kLeftoverAge = 24 * 3600;
constexpr std::string_view kSuffixes[] = {".jsa", ".aot", ".stamp", ".failed", ".tmp", ".lock"};
/// A runtime's release file is a few hundred bytes.
constexpr long long kMaxReleaseFile = 64 * 1024;
// The stamps and failure marks are a line or two; anything longer is not one.
constexpr std::size_t kMaxSmallFile = 4096;

/// A slow first recording or creation must not trip the service manager's
/// start or stop timeout: it is told to wait this long for the next word.
constexpr const char* kExtendTimeout = "EXTEND_TIMEOUT_USEC=60000000";
/// The creation after the application has ended yields to every other
/// process: nobody waits for it.
constexpr int kCreationNiceness = 19;
/// All that the creation's java takes of the environment: what the recorded
/// JVM took as options, and what sets its locale, time zone and temporary
/// files.
constexpr const char* kCreationEnvironment[] = {"PATH", "HOME",   "LANG",           "LC_ALL", "LC_CTYPE",
                                                 "TZ",   "TMPDIR", "JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS"};

constexpr const char* kNotAgainMsg = "Start-up cache: %s; not recorded again for this class path";
constexpr const char* kNoArchive = "the runtime made no archive";

struct CdsState {
  CdsPlan plan;
  std::string javaHome;
  std::string recording;  ///< this launch's dynamic archive or AOT configuration
  std::string created;    ///< this launch's AOT cache, before it is published
  std::vector<std::string> creation;
  bool finished = false;
  /// Held while this launch records and until its archive is published (or
  /// given up): other launches run without the cache meanwhile.
  int lock = -1;
  std::string lockPath;
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
  ut_tproda(kNotAgainMsg, why);
  hmdWritePrivateFile(state.plan.failed, cdsFailureMark(state.plan, "failed"));
}

// Files of the cache that nothing has used for long: archives of runtimes
// and class paths that are gone, and what crashed recordings left. The
// temporary files of the archive this launch records (base) are an earlier
// recording's that was stopped before it ended: its launch would hold the
// lock this one has taken.
void pruneCache(const std::string& directory, const std::string& base) {
  std::string_view own = std::string_view(base).substr(base.rfind('/') + 1);
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
    bool interrupted = name.starts_with(own) && name.size() > own.size() && name[own.size()] == '.';
    if (age > kPruneAge || (name.ends_with(".tmp") && (age > kLeftoverAge || interrupted))) {
      ut_tproda("Start-up cache: removing unused %s", path.c_str());
      unlink(path.c_str());
    }
  }
  closedir(dir);
}

/// How the runtime's java ended: a signal (the user's interrupt, say) says
/// nothing of whether it would have succeeded.
enum class JavaOutcome { kSucceeded, kFailed, kStopped };

/// What publishing an archive writes, made before it is needed: in the
/// detached process it runs where nothing may be allocated.
struct Publication {
  explicit Publication(const CdsPlan& plan)
      : stampTemporary(hmdPrivateFileTemporary(plan.stamp)),
        stampText(cdsStampTextSize(plan.classPathPrint), '\0') {}
  std::string stampTemporary;  ///< the stamp's temporary name, to be made unique
  std::string stampText;       ///< room for the stamp's text
};

// Moves a complete recording into place. Its data reach the disk first: a
// crash must not leave a short archive under the published name, which the
// JVM would map and fault on. The stamp comes before the name (renaming
// keeps the file's time), so that a launch never finds the new archive
// without it and takes it for a damaged one. Allocates nothing and traces
// only when asked to, so that the detached process may publish too.
bool publish(const std::string& from, Publication& publication, bool traced) {
  struct stat st;
  int fd = hmdOpenPrivateFile(from, O_RDONLY, &st);
  bool whole = fd >= 0 && st.st_size > 0 && fsync(fd) == 0;
  if (fd >= 0) close(fd);
  if (!whole) return false;
  std::size_t length = cdsWriteStampText(publication.stampText.data(), stampOf(st), state.plan.classPathPrint);
  if (!hmdWritePrivateFileAt(publication.stampTemporary, state.plan.stamp,
                             std::string_view(publication.stampText.data(), length)) ||
      std::rename(from.c_str(), state.plan.archive.c_str()) != 0) {
    return false;
  }
  if (traced) ut_tproda("Start-up cache: recorded %s", state.plan.archive.c_str());
  return true;
}

/// The creation of the ahead-of-time cache from what the application
/// recorded: the runtime's java command, its environment and standard
/// files, and what publishing or giving up writes, all made before it runs.
/// The launcher makes it in the JVM's exit hook, while the JVM's threads
/// may hold any lock of the C library (the allocator's among them), and
/// then forks: the detached process only reads what is made here, and
/// calls nothing but what is safe after fork() in a threaded process.
struct Creation {
  Creation(const std::string& javaHome, const std::vector<std::string>& options, const CdsPlan& plan, bool traced)
      : publication(plan),
        failedTemporary(hmdPrivateFileTemporary(plan.failed)),
        failureMark(cdsFailureMark(plan, "failed")),
        descriptorLimit(sysconf(_SC_OPEN_MAX)),
        traced(traced) {
    args.push_back(javaHome + "/bin/java");
    args.insert(args.end(), options.begin(), options.end());
    // The recorded JVM took JDK_JAVA_OPTIONS among its options already.
    for (const char* name : kCreationEnvironment) {
      if (const char* value = hmdGetEnvironmentValue(name)) env.push_back(std::string(name) + "=" + value);
    }
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string& entry : env) envp.push_back(entry.data());
    envp.push_back(nullptr);
    // Its output is discarded, and it gets no descriptor of the launcher's.
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    hmdSpawnClosesDescriptors(&actions);
  }
  ~Creation() { posix_spawn_file_actions_destroy(&actions); }
  Creation(const Creation&) = delete;
  Creation& operator=(const Creation&) = delete;

  std::vector<std::string> args, env;
  std::vector<char*> argv, envp;
  posix_spawn_file_actions_t actions;
  Publication publication;
  std::string failedTemporary;  ///< the failure mark's temporary name
  std::string failureMark;
  long descriptorLimit;         ///< where closing descriptors one by one stops
  bool traced;                  ///< false in the detached process, which has no trace
};

// Runs the runtime's java and waits for it.
JavaOutcome runJava(Creation& creation) {
  const char* java = creation.argv[0];
  pid_t pid;
  int spawned = posix_spawn(&pid, java, &creation.actions, nullptr, creation.argv.data(), creation.envp.data());
  if (spawned != 0) {
    if (creation.traced) ut_tproda("Start-up cache: cannot run %s (%s)", java, std::strerror(spawned));
    return JavaOutcome::kFailed;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return JavaOutcome::kStopped;
  }
  if (!WIFEXITED(status)) {
    if (creation.traced) {
      ut_tproda("Start-up cache: %s ended by signal %d", java, WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    }
    return JavaOutcome::kStopped;
  }
  if (creation.traced) ut_tproda("Start-up cache: %s ended with status %d", java, WEXITSTATUS(status));
  return WEXITSTATUS(status) == 0 ? JavaOutcome::kSucceeded : JavaOutcome::kFailed;
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

// Removes what a recording left unpublished, and lets other launches record.
void discardRecording() {
  if (state.plan.mode != CdsMode::kRecord) return;
  unlink(state.recording.c_str());
  if (!state.created.empty()) unlink(state.created.c_str());
  // Removed while still held: a launch that opened it meanwhile may record
  // too, to files of its own, as two launches did before there was a lock.
  if (state.lock >= 0) {
    unlink(state.lockPath.c_str());
    close(state.lock);
    state.lock = -1;
  }
}

// Takes the recording of the plan's archive for this launch; false while
// another launch records it or creates its cache.
bool lockRecording() {
  state.lockPath = state.plan.base + ".lock";
  int fd = open(state.lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
      flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (fd >= 0) close(fd);
    return false;
  }
  // A lock file older than the pruning age would be removed under the
  // launch that holds it.
  futimens(fd, nullptr);
  state.lock = fd;
  return true;
}

// Makes this launch's own files, before the JVM writes to them, and the
// options that record into them.
void startRecording(const std::vector<std::string>& options) {
  const CdsPlan& plan = state.plan;
  if (!lockRecording()) {
    ut_tproda("Start-up cache: another launch records %s: running without it", plan.archive.c_str());
    state.plan.mode = CdsMode::kOff;
    return;
  }
  pruneCache(plan.directory, plan.base);
  bool aot = plan.kind == CdsKind::kAot;
  std::optional<std::string> recording = hmdCreatePrivateFile(plan.base, aot ? ".aotconf.tmp" : ".jsa.tmp");
  std::optional<std::string> created = aot ? hmdCreatePrivateFile(plan.archive, ".tmp") : std::string();
  if (!recording || !created) {
    if (recording) unlink(recording->c_str());
    ut_tproda("Start-up cache: cannot create a file in %s (%s): running without it", plan.directory.c_str(),
              std::strerror(errno));
    discardRecording();
    state.plan.mode = CdsMode::kOff;
    return;
  }
  state.recording = *recording;
  state.created = *created;
  CdsRecording record = cdsRecordingOptions(plan, options, state.recording, state.created);
  state.creation = std::move(record.creation);
  jopAmendFinalOptions(record.front, record.back);
  ut_tproda("Start-up cache: recording %s", plan.archive.c_str());
  ntfSend(kExtendTimeout);
}

// Makes the ahead-of-time cache from what the application recorded, and
// publishes it; else marks the class path failed. In the detached process
// as well: nothing here allocates, and nothing formats but when traced.
void createCache(Creation& creation) {
  struct stat recorded;
  JavaOutcome outcome = stat(state.recording.c_str(), &recorded) == 0 && recorded.st_size > 0
                            ? runJava(creation)
                            : JavaOutcome::kFailed;
  // A creation stopped by a signal leaves the recording to the next launch.
  if (outcome == JavaOutcome::kFailed ||
      (outcome == JavaOutcome::kSucceeded && !publish(state.created, creation.publication, creation.traced))) {
    if (creation.traced) ut_tproda(kNotAgainMsg, kNoArchive);
    hmdWritePrivateFileAt(creation.failedTemporary, state.plan.failed, creation.failureMark);
  }
  discardRecording();
}

// The detached process: a session of its own, no terminal, the lowest
// priority, /dev/null for its standard files and no descriptor of the
// launcher's but the lock, which it holds until the cache is published.
// A forked child of the threaded launcher: only calls that are safe there.
[[noreturn]] void runDetached(Creation& creation) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction standard = {};
  standard.sa_handler = SIG_DFL;
  sigemptyset(&standard.sa_mask);
  for (int number = 1; number < NSIG; ++number) {
    if (number != SIGKILL && number != SIGSTOP) sigaction(number, &standard, nullptr);
  }
  int null = open("/dev/null", O_RDWR);
  for (int fd = 0; fd < 3 && null >= 0; ++fd) dup2(null, fd);
  if (dup2(state.lock, 3) == 3) {
    fcntl(3, F_SETFD, FD_CLOEXEC);
    state.lock = 3;
  }
  if (syscall(__NR_close_range, 4U, ~0U, 0U) != 0) {
    for (int fd = 4; fd < creation.descriptorLimit; ++fd) close(fd);
  }
  // Last, so that whoever sees the priority sees a detached process.
  setpriority(PRIO_PROCESS, 0, kCreationNiceness);
  createCache(creation);
  _exit(0);
}

// Creates the cache in a process that outlives the launcher and that
// nothing waits for: the intermediate child starts a session and the
// grandchild, then ends at once, so that init adopts and reaps the
// grandchild. False when the process could not be started.
bool detachCreation(Creation& creation) {
  pid_t child = fork();
  if (child < 0) return false;
  if (child == 0) {
    setsid();
    pid_t grandchild = fork();
    if (grandchild == 0) runDetached(creation);
    _exit(grandchild > 0 ? 0 : 1);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

void cdsInit() { state = CdsState{}; }

void cdsTerm() {
  discardRecording();
  state = CdsState{};
}

void cdsAddArchiveOptions(const JavaChoice& java, const char* entryClass, bool printOnly) {
  if (!cfgIsStartupCacheEnabled() && !cfgIsQuickStartEnabled()) return;
  const char* name = hmdGetApplicationName();
  CdsLaunch launch{
      .printOnly = printOnly,
      .setId = utlIsSetIdMode(),
      .modularFromHome = java.modular() && jopGetJavaPath() == nullptr,
      .quickStart = cfgIsQuickStartEnabled(),
      .entryClass = entryClass,
      .applicationName = name != nullptr ? name : "",
      .options = {},
      .cacheDirectory = hmdUserCacheDirectory(),
      .javaToolOptions = environmentValue("JAVA_TOOL_OPTIONS"),
      .javaOptions = environmentValue("_JAVA_OPTIONS"),
  };
  const JavaVMOption* options = jopGetJavaVMOptions();
  for (int i = 0; i < jopGetJavaVMOptionsCount(); ++i) launch.options.emplace_back(options[i].optionString);
  state.javaHome = java.home;
  SystemFacts facts(state.javaHome, printOnly);
  state.plan = cdsPlan(launch, facts);

  for (const std::string& note : state.plan.notes) ut_tproda("Start-up cache: %s", note.c_str());
  jopAmendFinalOptions({}, state.plan.profile);
  launch.options.insert(launch.options.end(), state.plan.profile.begin(), state.plan.profile.end());
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

// Both kinds write at the JVM's exit, a dynamic archive or the AOT
// configuration that the cache is made from afterwards: a manager that
// stops the service must hear it before its stop timeout runs out.
void cdsBeforeJvmEnds() {
  if (state.plan.mode == CdsMode::kRecord) ntfSend(kExtendTimeout);
}

void cdsFinishRecording() {
  if (state.plan.mode != CdsMode::kRecord || state.finished) return;
  state.finished = true;
  if (state.plan.kind == CdsKind::kDynamic) {
    Publication publication(state.plan);
    if (!publish(state.recording, publication, true)) markFailed(kNoArchive);
    discardRecording();
    return;
  }
  // A service manager ends what the service leaves running when it stops,
  // and a service's processes are better kept in view: under one the
  // launcher waits for the creation, after asking for the time it takes.
  if (!ntfIsUnderServiceManager()) {
    Creation detached(state.javaHome, state.creation, state.plan, false);
    if (detachCreation(detached)) {
      ut_tproda("Start-up cache: creating %s in the background", state.plan.archive.c_str());
      // The detached process removes the recording and the lock when done.
      state.plan.mode = CdsMode::kOff;
      close(state.lock);
      state.lock = -1;
      return;
    }
  }
  ntfSend(kExtendTimeout);
  Creation creation(state.javaHome, state.creation, state.plan, true);
  createCache(creation);
}
