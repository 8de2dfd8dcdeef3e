#include "launcher/pkd.h"

#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include "config/cfg.h"
#include "host/hmd.h"
#include "jvmoptions/jop.h"
#include "util/sha256.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kSetIdMsg =
    "Error: %s carries jars or a Java runtime to extract into the user's cache, which a set-user-ID or "
    "set-group-ID launch never does.\n";
constexpr const char* kNoCacheMsg =
    "Error: %s has no cache directory to extract its jars or Java runtime into: %s. Set XDG_CACHE_HOME to a "
    "directory of the user's own, or give its service CacheDirectory= in the unit.\n";
constexpr const char* kExtractFailedMsg = "Error: Unable to extract %s of %s: %s.\n";

constexpr const char* kJarPrefix = "jlauncher/jars/";
constexpr const char* kRuntimePrefix = "jlauncher/runtime/";
constexpr const char* kCacheSubdirectory = "jlauncher";
// What a finished copy is stamped with: a jar's own modification time, and
// the runtime's stamp file's. Whatever writes to a copy afterwards changes
// its time, which the next launch sees with one stat.
constexpr time_t kStampTime = 315532800;  // 1980-01-01, where ZIP time begins
constexpr const char* kRuntimeStamp = ".jlauncher-stamp";
constexpr mode_t kJarMode = 0444;

struct PkdState {
  std::vector<std::string> jars;  ///< the extracted jars, in class path order
};

PkdState state;

std::string systemError(int error) { return std::strerror(error); }

// The user's cache directory: XDG_CACHE_HOME, the one a service manager
// made for the service (CacheDirectory=), or ~/.cache. Relative names are
// ignored, as XDG says.
std::optional<std::string> cacheBase() {
  const char* xdg = hmdGetEnvironmentValue("XDG_CACHE_HOME");
  if (xdg != nullptr && xdg[0] == '/') return std::string(xdg);
  const char* service = hmdGetEnvironmentValue("CACHE_DIRECTORY");
  if (service != nullptr && service[0] == '/') return std::string(service).substr(0, std::strcspn(service, ":"));
  const char* home = hmdGetEnvironmentValue("HOME");
  if (home == nullptr || home[0] != '/') return std::nullopt;
  std::string base = home;
  while (base.ends_with('/')) base.pop_back();
  return base + "/.cache";
}

// A file the user's launches stamped and nobody changed since.
bool stamped(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
         info.st_mtim.tv_sec == kStampTime && info.st_mtim.tv_nsec == 0;
}

bool stamp(int fd) {
  const timespec times[2] = {{kStampTime, 0}, {kStampTime, 0}};
  return futimens(fd, times) == 0;
}

// A directory of the user's own below a trusted one, made when missing.
bool ownDirectory(const std::string& path, std::string* error) {
  struct stat info;
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    *error = "cannot make '" + path + "': " + systemError(errno);
    return false;
  }
  if (lstat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
    *error = "'" + path + "' is not a directory of the user's";
    return false;
  }
  return true;
}

// Held while a copy is made: a second launch waits, then finds the copy.
class ExtractionLock {
 public:
  explicit ExtractionLock(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600)) {
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ExtractionLock(const ExtractionLock&) = delete;
  ExtractionLock& operator=(const ExtractionLock&) = delete;
  ~ExtractionLock() {
    if (fd_ >= 0) close(fd_);
  }

 private:
  int fd_;
};

// --- The runtime's tree ---------------------------------------------------------

// The components of a name inside the runtime; none for one that is empty,
// absolute, or holds ".", ".." or an empty component.
std::optional<std::vector<std::string>> components(std::string_view name) {
  std::vector<std::string> parts;
  for (std::size_t at = 0; at <= name.size();) {
    std::size_t end = std::min(name.find('/', at), name.size());
    std::string_view part = name.substr(at, end - at);
    if (part.empty() || part == "." || part == "..") return std::nullopt;
    parts.emplace_back(part);
    at = end + 1;
  }
  return parts;
}

// A link's target stays inside the runtime when, read from the link's own
// directory (depth components below the top), it never climbs above it.
bool staysInside(const std::string& target, std::size_t depth) {
  if (target.empty() || target.front() == '/') return false;
  long level = static_cast<long>(depth);
  for (const std::string& part : utlSplitList(target, "/")) {
    if (part == "..") {
      if (--level < 0) return false;
    } else if (!part.empty() && part != ".") {
      ++level;
    }
  }
  return true;
}

// The directory that holds the last of parts, opened below top without
// following any link, its missing directories made.
int openParent(int top, const std::vector<std::string>& parts) {
  int fd = dup(top);
  for (std::size_t i = 0; fd >= 0 && i + 1 < parts.size(); ++i) {
    if (mkdirat(fd, parts[i].c_str(), 0700) != 0 && errno != EEXIST) {
      close(fd);
      return -1;
    }
    int next = openat(fd, parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    fd = next;
  }
  return fd;
}

int removeOne(const char* path, const struct stat*, int, FTW*) { return remove(path); }

void removeTree(const std::string& path) { nftw(path.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS); }

class RuntimeExtraction {
 public:
  RuntimeExtraction(PkdArchive& archive, std::string* error) : archive_(archive), error_(*error) {}

  bool run(const std::string& hash, const std::string& directory) {
    std::string temp = directory.substr(0, directory.rfind('/') + 1) + "." + hash.substr(0, 16) + ".XXXXXX";
    if (mkdtemp(temp.data()) == nullptr) return fail("cannot make a directory beside '" + directory + "'");
    top_ = open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = top_ >= 0 && extractAll();
    if (ok && digest_.hex() != hash) ok = fail("its files do not match their SHA-256: the executable is damaged");
    ok = ok && writeStamp();
    if (top_ >= 0) close(top_);
    // A tree without its stamp is what a damaged copy leaves; it goes.
    if (ok && access(directory.c_str(), F_OK) == 0) removeTree(directory);
    if (ok && rename(temp.c_str(), directory.c_str()) != 0) ok = fail("cannot rename into '" + directory + "'");
    if (!ok) removeTree(temp);
    return ok;
  }

 private:
  bool fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }

  bool extractAll() {
    std::vector<PkdEntry> entries = archive_.entries(kRuntimePrefix);
    if (entries.empty()) return fail("the executable carries no runtime");
    for (const PkdEntry& entry : entries) {
      if (!extract(entry)) return false;
    }
    return true;
  }

  bool extract(const PkdEntry& entry) {
    std::string_view name = std::string_view(entry.name).substr(std::strlen(kRuntimePrefix));
    bool directory = name.ends_with('/') || S_ISDIR(entry.mode);
    if (name.ends_with('/')) name.remove_suffix(1);
    std::optional<std::vector<std::string>> parts = components(name);
    if (!parts) return fail("'" + entry.name + "' would be written outside the runtime");
    mode_t type = entry.mode & S_IFMT;
    mode_t permissions = entry.mode & 0777;
    if (directory) {
      type = S_IFDIR;
    } else if (entry.mode == 0) {
      type = S_IFREG;
      permissions = 0644;
    }
    if (type != S_IFDIR && type != S_IFREG && type != S_IFLNK) {
      return fail("'" + entry.name + "' is not a file, a directory or a link");
    }
    std::string data;
    if (!directory && !archive_.read(entry.name, [&data](const char* bytes, std::size_t size) {
          data.append(bytes, size);
          return true;
        }, &error_)) {
      return false;
    }
    char modeText[16];
    std::snprintf(modeText, sizeof modeText, "%o", static_cast<unsigned>(entry.mode));
    digest_.update(entry.name.data(), entry.name.size() + 1);
    digest_.update(modeText, std::strlen(modeText) + 1);
    digest_.update(data.data(), data.size());

    int parent = openParent(top_, *parts);
    if (parent < 0) return fail("cannot make the directory of '" + entry.name + "': " + systemError(errno));
    const char* leaf = parts->back().c_str();
    bool ok = false;
    if (type == S_IFDIR) {
      ok = (mkdirat(parent, leaf, permissions | 0700) == 0 || errno == EEXIST);
    } else if (type == S_IFLNK) {
      if (!staysInside(data, parts->size() - 1)) {
        close(parent);
        return fail("the link '" + entry.name + "' leads out of the runtime");
      }
      ok = symlinkat(data.c_str(), parent, leaf) == 0;
    } else {
      int fd = openat(parent, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, permissions | 0600);
      ok = fd >= 0 && hmdWriteAll(fd, data.data(), data.size());
      if (fd >= 0 && close(fd) != 0) ok = false;
    }
    int saved = errno;
    close(parent);
    return ok || fail("cannot write '" + entry.name + "': " + systemError(saved));
  }

  bool writeStamp() {
    int fd = openat(top_, kRuntimeStamp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
    bool ok = fd >= 0 && stamp(fd) && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    return ok || fail("cannot stamp the runtime: " + systemError(errno));
  }

  PkdArchive& archive_;
  std::string& error_;
  Sha256 digest_;
  int top_ = -1;
};

// --- The launch -------------------------------------------------------------------

// The extracted jars and the runtime, made ready under base.
bool prepare(const std::string& base, const char* runtimeHash, const char* appName) {
  std::unique_ptr<PkdArchive> archive;
  std::string launcher = hmdGetFullLauncherFileName(kPathMax + 1);
  std::string error;
  auto openArchive = [&]() {
    if (!archive) archive = pkdOpenArchive(launcher, &error);
    return archive != nullptr;
  };
  auto failed = [&](const std::string& what) {
    utlReport(kExtractFailedMsg, what.c_str(), appName, error.c_str());
    return false;
  };

  for (const CfgPackedJar& jar : cfgGetPackedJars()) {
    std::string directory = base + "/jars/" + jar.hash;
    std::string path = directory + "/" + jar.name;
    if (!stamped(path)) {
      if (!ownDirectory(base + "/jars", &error) || !ownDirectory(directory, &error)) {
        return failed("'" + jar.name + "'");
      }
      ExtractionLock lock(directory + "/.lock");
      if (!stamped(path)) {
        ut_tproda("Extracting <%s> to <%s>", jar.name.c_str(), path.c_str());
        if (!openArchive() || !pkdExtractJar(*archive, jar.hash, jar.name, directory, &error)) {
          return failed("'" + jar.name + "'");
        }
      }
    }
    state.jars.push_back(path);
  }

  if (runtimeHash == nullptr) return true;
  std::string runtimes = base + "/runtime";
  std::string home = runtimes + "/" + runtimeHash;
  if (!stamped(home + "/" + kRuntimeStamp)) {
    if (!ownDirectory(runtimes, &error)) return failed("its Java runtime");
    ExtractionLock lock(home + ".lock");
    if (!stamped(home + "/" + kRuntimeStamp)) {
      ut_tproda("Extracting the Java runtime to <%s>", home.c_str());
      if (!openArchive() || !pkdExtractRuntime(*archive, runtimeHash, home, &error)) return failed("its Java runtime");
    }
  }
  ut_tproda("The application's own Java runtime <%s> is the Java home", home.c_str());
  jopSetJavaHome(home);
  return true;
}

}  // namespace

void pkdInit() { state = PkdState{}; }

void pkdTerm() { state = PkdState{}; }

bool pkdPrepare() {
  // The runtime is not needed when the user named a Java home.
  const char* runtime = jopGetJavaHome() == nullptr ? cfgGetPackedRuntime() : nullptr;
  if (cfgGetPackedJars().empty() && runtime == nullptr) return true;
  const char* appName = hmdGetApplicationName();
  // Extracting with another user's privileges into a cache the caller
  // chooses is exactly what a set-ID launch must not do.
  if (utlIsSetIdMode()) {
    utlReport(kSetIdMsg, appName);
    return false;
  }
  std::optional<std::string> base = cacheBase();
  std::string why = "neither XDG_CACHE_HOME nor HOME names a directory";
  std::optional<std::string> trusted = base ? hmdPrivateDirectory(*base + "/" + kCacheSubdirectory, true, why)
                                            : std::nullopt;
  // The JVM would read a ':' in a class path element as two elements.
  if (trusted && trusted->find(':') != std::string::npos) {
    why = "the JVM cannot name files in '" + *trusted + "'";
    trusted.reset();
  }
  if (!trusted) {
    utlReport(kNoCacheMsg, appName, why.c_str());
    return false;
  }
  return prepare(*trusted, runtime, appName);
}

std::string pkdGetClassPath() {
  std::string joined;
  for (const std::string& jar : state.jars) joined += (joined.empty() ? "" : ":") + jar;
  return joined;
}

bool pkdExtractJar(PkdArchive& archive, const std::string& hash, const std::string& name,
                   const std::string& directory, std::string* error) {
  std::string temp = directory + "/." + name + ".XXXXXX";
  int fd = mkstemp(temp.data());
  if (fd < 0) {
    *error = "cannot write in '" + directory + "': " + systemError(errno);
    return false;
  }
  Sha256 digest;
  bool written = true;
  bool ok = archive.read(kJarPrefix + name, [&](const char* data, std::size_t size) {
    digest.update(data, size);
    written = hmdWriteAll(fd, data, size);
    return written;
  }, error);
  if (!written) *error = "cannot write '" + temp + "': " + systemError(errno);
  if (ok && digest.hex() != hash) {
    *error = "it does not match its SHA-256: the executable is damaged";
    ok = false;
  }
  // The copy is whole on disk before its name says so.
  if (ok && (fchmod(fd, kJarMode) != 0 || !stamp(fd) || fsync(fd) != 0)) {
    *error = "cannot write '" + temp + "': " + systemError(errno);
    ok = false;
  }
  close(fd);
  if (ok && rename(temp.c_str(), (directory + "/" + name).c_str()) != 0) {
    *error = "cannot rename '" + temp + "': " + systemError(errno);
    ok = false;
  }
  if (!ok) unlink(temp.c_str());
  return ok;
}

bool pkdExtractRuntime(PkdArchive& archive, const std::string& hash, const std::string& directory,
                       std::string* error) {
  return RuntimeExtraction(archive, error).run(hash, directory);
}
