#include "jvm/cds.h"

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string_view>
#include <vector>

#include "config/cfg.h"
#include "host/hmd.h"
#include "jvm/jev.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

extern "C" char** environ;

namespace {

enum class CacheMode { kOff, kUse, kRecord };

/// What the runtime makes: a dynamic archive on top of its own (Java 13 and
/// later), or an ahead-of-time cache, which also keeps what the application
/// linked and profiled. Java 24 introduced the cache, but only 25 is known
/// here to take the log selections that keep it quiet; an unknown log tag
/// stops the JVM, so 24 keeps the dynamic archive.
enum class ArchiveKind { kDynamic, kAot };
constexpr int kFirstDynamicRelease = 13;
constexpr int kFirstAotRelease = 25;

/// Changing what a file holds or how it is named changes this, so that no
/// launcher reads another version's files.
constexpr const char* kFormat = "jlauncher start-up cache 1";

constexpr const char* kCacheSubdirectory = "jlauncher";
constexpr std::size_t kMaxNameLength = 40;
/// Files unused this long are removed whenever an archive is recorded;
/// leftovers of a recording that never ended, sooner.
constexpr time_t kPruneAge = 30 * 24 * 3600;
constexpr time_t kLeftoverAge = 24 * 3600;
constexpr std::string_view kSuffixes[] = {".jsa", ".aot", ".stamp", ".failed", ".tmp"};
/// A runtime's release file is a few hundred bytes.
constexpr long long kMaxReleaseFile = 64 * 1024;

// The runtime's log selections for its class-data messages: a stale or
// damaged archive is the launcher's business, never the user's.
constexpr const char* kQuietDynamic = "-Xlog:cds*=off";
constexpr const char* kQuietAot = "-Xlog:aot*=off,cds*=off";

/// Options under which there is no cache: the user manages class data
/// sharing; an agent runs, which a Java 17 dump refuses with a failure of
/// the whole launch; modules come from outside the runtime, which the
/// archives do not cover.
constexpr std::string_view kManagedOptions[] = {
    "-Xshare:",           "-XX:SharedArchiveFile", "-XX:ArchiveClassesAtExit", "-XX:+AutoCreateSharedArchive",
    "-XX:AOT",            "-XX:SharedClassListFile", "-XX:DumpLoadedClassList", "-XX:+RecordDynamicDumpInfo",
    "-agentlib:",         "-agentpath:",           "-javaagent:",             "-Xrun",
    "--module-path",      "--upgrade-module-path", "--patch-module",          "-Djdk.module.path=",
    "-Djdk.module.upgrade.path=", "-Djdk.module.patch",
};

/// Options of the recorded run that the step creating the ahead-of-time
/// cache leaves out: they write files or run commands of the user's, which
/// a second JVM would do again.
constexpr std::string_view kSideEffectOptions[] = {
    "-XX:StartFlightRecording", "-XX:FlightRecorderOptions", "-XX:LogFile",       "-XX:+LogVMOutput",
    "-XX:+LogCompilation",      "-XX:OnError",               "-XX:OnOutOfMemoryError", "-XX:+PerfDataSaveToFile",
};

struct CdsState {
  CacheMode mode = CacheMode::kOff;
  ArchiveKind kind = ArchiveKind::kDynamic;
  std::string archive;    ///< the application's archive
  std::string stamp;      ///< what the archive was when it was published
  std::string failed;     ///< the class path a recording failed for
  std::string recording;  ///< this launch's dynamic archive or AOT configuration
  std::string created;    ///< this launch's AOT cache, before it is published
  std::string classPathPrint;
  std::string javaHome;
  std::vector<std::string> createOptions;
  bool finished = false;
};

CdsState state;

// 64-bit FNV-1a, for file names: two launches that differ share a name
// with negligible odds.
struct Hash {
  std::uint64_t value = 0xcbf29ce484222325ULL;
  Hash& add(std::string_view text) {
    for (unsigned char c : text) value = (value ^ c) * 0x100000001b3ULL;
    return add('\0');
  }
  Hash& add(char c) {
    value = (value ^ static_cast<unsigned char>(c)) * 0x100000001b3ULL;
    return *this;
  }
  Hash& add(std::uint64_t number) { return add(std::to_string(number)); }
  std::string hex() const {
    char text[17];
    std::snprintf(text, sizeof text, "%016" PRIx64, value);
    return text;
  }
};

Hash& addFile(Hash& hash, const struct stat& st) {
  return hash.add(static_cast<std::uint64_t>(st.st_size))
      .add(static_cast<std::uint64_t>(st.st_mtim.tv_sec))
      .add(static_cast<std::uint64_t>(st.st_mtim.tv_nsec));
}

bool startsWithAny(std::string_view option, const auto& prefixes) {
  for (std::string_view prefix : prefixes) {
    if (option.starts_with(prefix)) return true;
  }
  return false;
}

// The first option that begins with one of prefixes, or null.
const char* findOption(const JavaVMOption* options, int count, const auto& prefixes) {
  for (int i = 0; i < count; ++i) {
    if (startsWithAny(options[i].optionString, prefixes)) return options[i].optionString;
  }
  return nullptr;
}

// The JVM options an archive depends on: all but the system properties, which
// carry the launch's own bookkeeping, except those naming classes and modules.
bool affectsArchive(std::string_view option) {
  return !option.starts_with("-D") || option.starts_with("-Djava.class.path=") ||
         option.starts_with("-Djdk.module.");
}

// The stamps and failure marks are a line or two; anything longer is not one.
constexpr std::size_t kMaxSmallFile = 4096;

// The whole of a small file of the cache ("" when there is none, or when it
// is anything but a short regular file of the user's).
std::string readSmallFile(const std::string& path) { return hmdReadPrivateFile(path, kMaxSmallFile).value_or(""); }

// The application's name as a file name can hold it, so that a user can tell
// the archives apart.
std::string applicationName() {
  const char* name = hmdGetApplicationName();
  std::string result;
  for (const char* c = name ? name : ""; *c != '\0' && result.size() < kMaxNameLength; ++c) {
    bool plain = (*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z') || (*c >= '0' && *c <= '9') ||
                 std::strchr("._-+", *c) != nullptr;
    result += plain ? *c : '_';
  }
  if (result.empty() || result[0] == '.') result.insert(0, "app");
  return result;
}

// The loaded JVM library as the loader opened it.
std::string loadedLibrary() {
  Dl_info info;
  void* create = reinterpret_cast<void*>(jevGetInvocationFunction()->CreateJavaVM);
  if (create != nullptr && dladdr(create, &info) != 0 && info.dli_fname != nullptr) return info.dli_fname;
  return "";
}

std::string stampText(const struct stat& st, const std::string& classPathPrint) {
  return std::string(kFormat) + "\n" + std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + " " +
         std::to_string(st.st_mtim.tv_nsec) + " " + classPathPrint + "\n";
}

// The archive is the one published for this class path, unchanged since.
bool isArchiveUsable() {
  struct stat st;
  int fd = hmdOpenPrivateFile(state.archive, O_RDONLY, &st);
  if (fd < 0) return false;
  close(fd);
  return readSmallFile(state.stamp) == stampText(st, state.classPathPrint);
}

void removeArchive() {
  unlink(state.archive.c_str());
  unlink(state.stamp.c_str());
}

// What went wrong with the archive of this class path: "refused" once the
// JVM did not map it, "failed" when recording failed or the JVM refused the
// archive recorded again. Until the class path changes, recording after a
// failure would only fail again, at a cost on every launch.
std::string failure(const char* what) { return state.classPathPrint + " " + what + "\n"; }

void markFailed(const char* why) {
  ut_tproda("Start-up cache: %s; not recorded again for this class path", why);
  hmdWritePrivateFile(state.failed, failure("failed"));
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

// The class path and the appended boot class path the final options give
// the JVM, each element with its size and time in print; false (traced)
// when an element is no file: the runtime archives classes from jar files
// only, and fails a whole launch that has a non-empty directory there.
bool classPathFiles(const JavaVMOption* options, int count, Hash& print) {
  constexpr std::string_view kPaths[] = {"-Djava.class.path=", "-Xbootclasspath/a:"};
  for (int i = 0; i < count; ++i) {
    std::string_view option = options[i].optionString;
    for (std::string_view prefix : kPaths) {
      if (!option.starts_with(prefix)) continue;
      print.add(prefix);
      for (const std::string& file : utlSplitList(option.substr(prefix.size()), ":")) {
        struct stat st;
        if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
          ut_tproda("Start-up cache: '%s' on the class path is no jar file; only classes from jar files are archived",
                    file.c_str());
          return false;
        }
        addFile(print.add(file), st);
      }
    }
  }
  return true;
}

// The dynamic archive sits on top of the runtime's own, without which the
// runtime records nothing.
bool hasBaseArchive(const std::string& library) {
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

// Everything that decides whether an archive of this launch would be the
// same: the runtime, the application's entry and its JVM options.
std::string archiveName(const std::string& library, const char* entryClass, const JavaVMOption* options,
                        int count) {
  Hash hash;
  std::string release = hmdCreateFileContent((state.javaHome + "/release").c_str(), 0, kMaxReleaseFile).value_or("");
  hash.add(kFormat).add(release).add(library);
  struct stat st;
  if (stat(library.c_str(), &st) == 0) addFile(hash, st);
  // The JVM takes these as if they were among the options.
  for (const char* variable : {"JAVA_TOOL_OPTIONS", "_JAVA_OPTIONS"}) {
    const char* value = std::getenv(variable);
    hash.add(value != nullptr ? value : "");
  }
  hash.add(entryClass);
  for (int i = 0; i < count; ++i) {
    if (affectsArchive(options[i].optionString)) hash.add(options[i].optionString);
  }
  return applicationName() + "-" + hash.hex();
}

// The cache is worth trying for this launch; traces why not.
bool cacheApplies(const JavaVMOption* options, int count) {
  if (!cfgIsStartupCacheEnabled()) return false;
  if (utlIsSetIdMode()) {
    ut_tproda("Start-up cache: not in set-ID mode, whose caller chooses the cache directory");
    return false;
  }
  if (jevGetJVMVersion() != kLayoutModular || jopGetJavaPath() != nullptr) {
    ut_tproda("Start-up cache: only for a modular Java runtime loaded from its home");
    return false;
  }
  if (const char* option = findOption(options, count, kManagedOptions)) {
    ut_tproda("Start-up cache: not with the option %s", option);
    return false;
  }
  return true;
}

// The cache is trusted only in a directory that no one but the user can
// change: another user's archive would run their classes in the user's
// application. A printed command only names what exists: it makes nothing.
std::optional<std::string> useDirectory(const std::string& directory, bool printOnly) {
  std::string why;
  std::optional<std::string> trusted = hmdPrivateDirectory(directory, !printOnly, why);
  if (!trusted) ut_tproda("Start-up cache: %s: running without it", why.c_str());
  return trusted;
}

// The ahead-of-time cache is made by a second JVM from what the first
// recorded, with the options the cache depends on.
void planCreation(const JavaVMOption* options, int count) {
  state.createOptions = {"-XX:AOTMode=create", "-XX:AOTConfiguration=" + state.recording,
                         "-XX:AOTCache=" + state.created};
  for (int i = 0; i < count; ++i) {
    std::string_view option = options[i].optionString;
    bool wanted = option.starts_with("-XX:") || option.starts_with("-Xm") || option.starts_with("--") ||
                  option.starts_with("-Xbootclasspath/a:") ||
                  option.starts_with("-Djava.class.path=") || option.starts_with("-Djdk.module.");
    if (wanted && !startsWithAny(option, kSideEffectOptions)) state.createOptions.emplace_back(option);
  }
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
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
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
  if (!whole || std::rename(from.c_str(), state.archive.c_str()) != 0) return false;
  ut_tproda("Start-up cache: recorded %s", state.archive.c_str());
  return hmdWritePrivateFile(state.stamp, stampText(st, state.classPathPrint));
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

// Records the application's archive in this launch, unless an earlier
// recording for this class path failed.
void startRecording(const std::string& directory, const std::string& base, const JavaVMOption* options, int count) {
  if (utlFileExists(state.archive)) {
    ut_tproda("Start-up cache: %s changed since it was recorded, or its class path did", state.archive.c_str());
    removeArchive();
  }
  if (readSmallFile(state.failed) == failure("failed")) {
    ut_tproda("Start-up cache: recording %s failed before: running without it", state.archive.c_str());
    return;
  }
  // The switch that keeps an ahead-of-time recording quiet would also
  // swallow what these options ask the JVM to print.
  constexpr std::string_view kPrinting[] = {"-XX:+Print"};
  const char* printing = state.kind == ArchiveKind::kAot ? findOption(options, count, kPrinting) : nullptr;
  if (printing != nullptr) {
    ut_tproda("Start-up cache: not recording with the option %s", printing);
    return;
  }
  pruneCache(directory);
  // Names of this launch's own, made before the JVM writes to them.
  bool aot = state.kind == ArchiveKind::kAot;
  std::optional<std::string> recording = hmdCreatePrivateFile(base, aot ? ".aotconf.tmp" : ".jsa.tmp");
  std::optional<std::string> created = aot ? hmdCreatePrivateFile(state.archive, ".tmp") : std::string();
  if (!recording || !created) {
    if (recording) unlink(recording->c_str());
    ut_tproda("Start-up cache: cannot create a file in %s (%s): running without it", directory.c_str(),
              std::strerror(errno));
    return;
  }
  state.mode = CacheMode::kRecord;
  state.recording = *recording;
  state.created = *created;
  if (!aot) {
    jopPrependFinalOptions({kQuietDynamic, "-XX:ArchiveClassesAtExit=" + state.recording});
  } else {
    planCreation(options, count);
    jopPrependFinalOptions({kQuietAot, "-XX:AOTMode=record", "-XX:AOTConfiguration=" + state.recording});
    // The recording JVM announces its configuration file on the terminal
    // through its own output, which only this switch silences.
    jopAddParam("-XX:+UnlockDiagnosticVMOptions", nullptr);
    jopAddParam("-XX:-DisplayVMOutput", nullptr);
  }
  ut_tproda("Start-up cache: recording %s", state.archive.c_str());
}

}  // namespace

void cdsReset() { state = CdsState{}; }

std::optional<std::string> cdsGetCacheDirectory() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') return std::string(cache) + "/" + kCacheSubdirectory;
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/" + kCacheSubdirectory;
  return std::nullopt;
}

void cdsAddArchiveOptions(const char* entryClass, bool printOnly) {
  const JavaVMOption* options = jopGetJavaVMOptions();
  int count = jopGetJavaVMOptionsCount();
  if (!cacheApplies(options, count)) return;
  state.javaHome = jevGetJVMHome();
  std::optional<std::string> version = jevGetReleaseVersion(state.javaHome);
  int major = version ? std::atoi(version->c_str()) : 0;
  if (major < kFirstDynamicRelease) {
    ut_tproda("Start-up cache: Java %s records no archives (Java %d and later do)", version.value_or("?").c_str(),
              kFirstDynamicRelease);
    return;
  }
  state.kind = major >= kFirstAotRelease ? ArchiveKind::kAot : ArchiveKind::kDynamic;
  std::string library = loadedLibrary();
  if (state.kind == ArchiveKind::kDynamic && !hasBaseArchive(library)) {
    ut_tproda("Start-up cache: the runtime has no class-data archive of its own to build on");
    return;
  }
  Hash print;
  if (!classPathFiles(options, count, print)) return;
  state.classPathPrint = print.hex();
  std::optional<std::string> directory = cdsGetCacheDirectory();
  if (!directory) {
    ut_tproda("Start-up cache: neither XDG_CACHE_HOME nor HOME names a directory");
    return;
  }
  // The JVM reads a ':' in an archive's name as the start of another one.
  auto nameable = [](const std::string& path) {
    if (path.find(':') == std::string::npos) return true;
    ut_tproda("Start-up cache: the JVM cannot name archives in '%s'", path.c_str());
    return false;
  };
  if (!nameable(*directory)) return;
  std::optional<std::string> trusted = useDirectory(*directory, printOnly);
  if (!trusted || !nameable(*trusted)) return;

  std::string base = *trusted + "/" + archiveName(library, entryClass, options, count);
  state.archive = base + (state.kind == ArchiveKind::kAot ? ".aot" : ".jsa");
  state.stamp = base + ".stamp";
  state.failed = base + ".failed";
  if (isArchiveUsable()) {
    ut_tproda("Start-up cache: using %s", state.archive.c_str());
    state.mode = CacheMode::kUse;
    if (state.kind == ArchiveKind::kAot) {
      jopPrependFinalOptions({kQuietAot, "-XX:AOTCache=" + state.archive});
    } else {
      jopPrependFinalOptions({kQuietDynamic, "-XX:SharedArchiveFile=" + state.archive});
    }
    return;
  }
  if (!printOnly) startRecording(*trusted, base, options, count);
}

void cdsCheckArchiveMapped() {
  if (state.mode != CacheMode::kUse) return;
  if (isMapped(state.archive)) {
    unlink(state.failed.c_str());
    return;
  }
  ut_tproda("Start-up cache: the JVM did not map %s", state.archive.c_str());
  removeArchive();
  if (readSmallFile(state.failed) == failure("refused")) {
    markFailed("the JVM refused the archive recorded again");
  } else {
    hmdWritePrivateFile(state.failed, failure("refused"));
  }
}

void cdsFinishRecording() {
  if (state.mode != CacheMode::kRecord || state.finished) return;
  state.finished = true;
  JavaOutcome outcome = JavaOutcome::kSucceeded;
  std::string recorded = state.recording;
  if (state.kind == ArchiveKind::kAot) {
    recorded = state.created;
    outcome = hmdGetFileSize(state.recording.c_str()) > 0 ? runJava(state.createOptions) : JavaOutcome::kFailed;
  }
  // A creation stopped by a signal leaves the recording to the next launch.
  if (outcome == JavaOutcome::kFailed || (outcome == JavaOutcome::kSucceeded && !publish(recorded))) {
    markFailed("the runtime made no archive");
  }
  cdsDiscardRecording();
}

void cdsDiscardRecording() {
  if (state.mode != CacheMode::kRecord) return;
  unlink(state.recording.c_str());
  if (!state.created.empty()) unlink(state.created.c_str());
}
