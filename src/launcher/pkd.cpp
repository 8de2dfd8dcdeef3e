#include "launcher/pkd.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>

#include "config/cfg.h"
#include "host/hmd.h"
#include "jvmoptions/jop.h"
#include "util/sha256.h"
#include "util/utl.h"
#include "util/utrace.h"
#include "util/version.h"

namespace {

constexpr const char* kSetIdMsg =
    "Error: %s carries jars or a Java runtime to extract into the user's cache, which a set-user-ID or "
    "set-group-ID launch never does.\n";
constexpr const char* kNoCacheMsg =
    "Error: %s has no cache directory to extract its jars or Java runtime into: %s. Set XDG_CACHE_HOME to a "
    "directory of the user's own, or give its service CacheDirectory= in the unit.\n";
constexpr const char* kExtractFailedMsg = "Error: Unable to extract %s of %s: %s.\n";
constexpr const char* kGlibcTooOldMsg =
    "Error: %s carries a Java runtime that needs glibc %s or later; this system has glibc %s. Install a Java "
    "runtime and name it with +javahome, or ask for a file packed with a runtime that needs less.\n";

constexpr const char* kJarPrefix = "jlauncher/jars/";
constexpr const char* kRuntimePrefix = "jlauncher/runtime/";
// What a finished copy is stamped with: a jar's own modification time, and
// the runtime's stamp file's. Whatever writes to a copy afterwards changes
// its time, which the next launch sees with one stat.
constexpr time_t kStampTime = 315532800;  // 1980-01-01, where ZIP time begins
constexpr mode_t kJarMode = 0444;
// The runtime's stamp file lists what each of its entries was when it was
// extracted, one record each after the header: "MODE SIZE SECONDS
// NANOSECONDS NAME\0", the mode in octal, size and time 0 for a directory.
// A file written to, cut short, replaced or removed since no longer matches
// its record, which the next launch sees with one lstat per entry and no
// reading. A stamp without the header is an earlier launcher's, which
// recorded nothing: its runtime is extracted again once.
constexpr const char* kRuntimeStamp = kPkdRuntimeStamp;
constexpr std::string_view kStampHeader = "jlauncher runtime stamp 1\n";
constexpr std::size_t kStampLimit = 64 << 20;
// The longest target the system makes a link of, and how many links it
// follows in one name.
constexpr std::size_t kLinkLimit = 4095;
constexpr int kLinkFollows = 40;


std::string systemError(int error) { return std::strerror(error); }

// The version of the system's glibc ("2.31"); empty under another C library.
std::string systemGlibc() {
  char text[64] = "";
  std::size_t size = confstr(_CS_GNU_LIBC_VERSION, text, sizeof text);
  std::string_view version(text, size > 0 && size <= sizeof text ? size - 1 : 0);
  return version.starts_with("glibc ") ? std::string(version.substr(std::strlen("glibc "))) : "";
}

// A file the user's launches stamped and nobody changed since.
bool stamped(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
         info.st_mtim.tv_sec == kStampTime && info.st_mtim.tv_nsec == 0;
}

// The access time is the copy's last use, which its extraction is.
bool stamp(int fd) {
  const timespec times[2] = {{0, UTIME_NOW}, {kStampTime, 0}};
  return futimens(fd, times) == 0;
}

// A directory of the user's own below a trusted one, made when missing.
// False with *error set, and errno ENOENT when it is missing still (removed
// since it was made, or its parent is missing).
bool ownDirectory(const std::string& path, std::string* error) {
  struct stat info;
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    const int cause = errno;
    *error = "cannot make '" + path + "': " + systemError(cause);
    errno = cause;
    return false;
  }
  const int cause = lstat(path.c_str(), &info) != 0 ? errno : 0;
  if (cause != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
    *error = "'" + path + "' is not a directory of the user's";
    errno = cause != 0 ? cause : ENOTDIR;
    return false;
  }
  return true;
}

// Held while a copy is made: a second launch waits, then finds the copy.
class ExtractionLock {
 public:
  ExtractionLock() = default;
  ExtractionLock(const ExtractionLock&) = delete;
  ExtractionLock& operator=(const ExtractionLock&) = delete;
  ~ExtractionLock() {
    if (fd_ >= 0) close(fd_);
  }

  // Makes the directories, then takes the lock at path, waiting for its
  // holder. A removal deletes a copy's lock file while it holds it: whoever
  // waited on that file holds a lock of nothing then, and starts again. A
  // removal of a jar's copy that ran before the lock was there removes the
  // directory just made, which is made again.
  bool take(const std::vector<std::string>& directories, const std::string& path, std::string* error) {
    for (int attempt = 0; attempt < kLockAttempts; ++attempt) {
      bool made = true;
      for (const std::string& directory : directories) {
        if (!ownDirectory(directory, error)) {
          if (errno != ENOENT) return false;
          made = false;
        }
      }
      if (!made) continue;
      fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
      if (fd_ < 0 && errno == ENOENT) continue;
      if (fd_ < 0) {
        *error = "cannot lock '" + path + "': " + systemError(errno);
        return false;
      }
      while (flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
      }
      struct stat held, named;
      if (fstat(fd_, &held) == 0 && lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
          held.st_ino == named.st_ino) {
        return true;
      }
      close(fd_);
      fd_ = -1;
    }
    *error = "cannot lock '" + path + "': it was removed each time it was taken";
    return false;
  }

 private:
  static constexpr int kLockAttempts = 8;
  int fd_ = -1;
};

// --- Copies in use ---------------------------------------------------------------

// How often a launch tells that it used a copy: the access time it sets is
// all a prune asks of it.
constexpr time_t kUseResolution = 24 * 3600;

// The directory of a copy, held shared until the launch ends: a removal
// needs it alone. -1 when there is none, or a removal took it away while
// this waited.
int holdCopy(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_SH) != 0 && errno == EINTR) {
  }
  struct stat info;
  if (fstat(fd, &info) != 0 || info.st_nlink == 0 || info.st_uid != geteuid()) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sets the stamp's access time (explicitly: the cache may be mounted
// noatime), at most once a day; its modification time, which tells the
// copy is intact, stays.
void markUsed(const std::string& stampPath) {
  struct stat info;
  time_t now = std::time(nullptr);
  if (lstat(stampPath.c_str(), &info) != 0 || info.st_atim.tv_sec + kUseResolution > now) return;
  const timespec times[2] = {{now, 0}, {0, UTIME_OMIT}};
  utimensat(AT_FDCWD, stampPath.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

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

// Removes what an extraction killed part way left in directory (which ends
// in '/'): the temporaries named prefix and mkstemp's or mkdtemp's six
// characters. Only the holder of the lock extracts into them, so whatever
// it finds is stale.
void removeStale(const std::string& directory, const std::string& prefix) {
  DIR* entries = opendir(directory.c_str());
  if (entries == nullptr) return;
  while (const dirent* entry = readdir(entries)) {
    std::string_view name = entry->d_name;
    if (name.starts_with(prefix) && name.size() == prefix.size() + 6) {
      ut_tproda("Removing <%s%s>, left by an interrupted extraction", directory.c_str(), entry->d_name);
      removeTree(directory + entry->d_name);
    }
  }
  closedir(entries);
}

// One entry's record in the runtime's stamp.
std::string stampRecord(const std::string& name, const struct stat& info) {
  bool directory = S_ISDIR(info.st_mode);
  char fields[96];
  std::snprintf(fields, sizeof fields, "%o %lld %lld %ld ", static_cast<unsigned>(info.st_mode),
                directory ? 0LL : static_cast<long long>(info.st_size),
                directory ? 0LL : static_cast<long long>(info.st_mtim.tv_sec), directory ? 0L : info.st_mtim.tv_nsec);
  return fields + name + '\0';
}

// True when the entry below top that record names is what the record
// says; *name receives the name. In the stamp the NUL that ends the record
// follows the name.
bool matches(int top, std::string_view record, const char** name) {
  unsigned mode = 0;
  long long size = 0, seconds = 0;
  long nanoseconds = 0;
  const char* at = record.data();
  const char* end = at + record.size();
  auto field = [&](auto& value, int base) {
    std::from_chars_result read = std::from_chars(at, end, value, base);
    if (read.ec != std::errc() || read.ptr == end || *read.ptr != ' ') return false;
    at = read.ptr + 1;
    return true;
  };
  *name = "";
  if (!field(mode, 8) || !field(size, 10) || !field(seconds, 10) || !field(nanoseconds, 10) || at == end) return false;
  *name = at;
  struct stat info;
  if (fstatat(top, at, &info, AT_SYMLINK_NOFOLLOW) != 0 || info.st_mode != mode) return false;
  return S_ISDIR(info.st_mode) || (info.st_size == size && info.st_mtim.tv_sec == seconds &&
                                   info.st_mtim.tv_nsec == nanoseconds);
}

class RuntimeExtraction {
 public:
  RuntimeExtraction(PkdArchive& archive, std::string* error) : archive_(archive), error_(*error) {}

  bool run(const std::string& hash, const std::string& directory) {
    std::string parent = directory.substr(0, directory.rfind('/') + 1);
    std::string prefix = "." + hash.substr(0, 16) + ".";
    removeStale(parent, prefix);
    std::string temp = parent + prefix + "XXXXXX";
    if (mkdtemp(temp.data()) == nullptr) return fail("cannot make a directory beside '" + directory + "'");
    top_ = open(temp.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    bool ok = top_ >= 0 && extractAll();
    if (ok && digest_.hex() != hash) ok = fail("its files do not match their SHA-256: the executable is damaged");
    ok = ok && checkLinks() && writeStamp();
    if (top_ >= 0) close(top_);
    // A tree that is not as its stamp records is what a damaged copy
    // leaves; it goes.
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
    // The packer's digest: name, NUL, mode in octal, NUL, then the bytes,
    // which are added as they are read.
    char modeText[16];
    std::snprintf(modeText, sizeof modeText, "%o", static_cast<unsigned>(entry.mode));
    digest_.update(entry.name.data(), entry.name.size() + 1);
    digest_.update(modeText, std::strlen(modeText) + 1);

    int parent = openParent(top_, *parts);
    if (parent < 0) return fail("cannot make the directory of '" + entry.name + "': " + systemError(errno));
    const char* leaf = parts->back().c_str();
    bool ok = false;
    if (type == S_IFDIR) {
      ok = (mkdirat(parent, leaf, permissions | 0700) == 0 || errno == EEXIST) ||
           fail("cannot write '" + entry.name + "': " + systemError(errno));
    } else if (type == S_IFLNK) {
      ok = makeLink(entry, parent, leaf);
    } else {
      ok = writeFile(entry, parent, leaf, permissions | 0600);
    }
    close(parent);
    if (ok) names_.emplace_back(name);
    if (ok && type == S_IFLNK) links_.push_back({entry.name, std::move(*parts)});
    return ok;
  }

  // The file's bytes go to its descriptor and into the digest a block at a
  // time: a runtime's lib/modules may be larger than a launch's memory.
  bool writeFile(const PkdEntry& entry, int parent, const char* leaf, mode_t mode) {
    int fd = openat(parent, leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return fail("cannot write '" + entry.name + "': " + systemError(errno));
    int writeError = 0;
    bool read = archive_.read(entry.name, [&](const char* data, std::size_t size) {
      digest_.update(data, size);
      if (hmdWriteAll(fd, data, size)) return true;
      writeError = errno != 0 ? errno : ENOSPC;
      return false;
    }, &error_);
    if (close(fd) != 0 && writeError == 0) writeError = errno;
    if (writeError != 0) return fail("cannot write '" + entry.name + "': " + systemError(writeError));
    return read;
  }

  bool makeLink(const PkdEntry& entry, int parent, const char* leaf) {
    std::string target;
    bool tooLong = false;
    bool read = archive_.read(entry.name, [&](const char* data, std::size_t size) {
      digest_.update(data, size);
      tooLong = size > kLinkLimit - target.size();
      if (!tooLong) target.append(data, size);
      return !tooLong;
    }, &error_);
    if (tooLong) return fail("the link '" + entry.name + "' names more than " + std::to_string(kLinkLimit) + " bytes");
    if (!read) return false;
    return symlinkat(target.c_str(), parent, leaf) == 0 ||
           fail("cannot write '" + entry.name + "': " + systemError(errno));
  }

  /// Where a link of the tree leads.
  enum class Reach { kInside, kOutside, kTooManyLinks };

  // Follows the link at parts as the system would follow it, a component at
  // a time through the links the tree holds, and never above its top. Past
  // a component that names nothing or no directory the system would stop;
  // the rest still must not climb out. An absolute target is outside.
  Reach reach(const std::vector<std::string>& parts) const {
    std::vector<std::string> at(parts.begin(), parts.end() - 1);
    std::vector<std::string> pending = {parts.back()};  // the last is next
    int follows = 0;
    bool stopped = false;
    std::string target(kLinkLimit + 1, '\0');
    while (!pending.empty()) {
      std::string part = std::move(pending.back());
      pending.pop_back();
      if (part.empty() || part == ".") continue;
      if (part == "..") {
        if (at.empty()) return Reach::kOutside;
        at.pop_back();
        continue;
      }
      at.push_back(std::move(part));
      if (stopped) continue;
      std::string path = at.front();
      for (std::size_t i = 1; i < at.size(); ++i) path += "/" + at[i];
      struct stat info;
      bool found = fstatat(top_, path.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0;
      if (!found || !S_ISLNK(info.st_mode)) {
        stopped = !found || !S_ISDIR(info.st_mode);
        continue;
      }
      if (++follows > kLinkFollows) return Reach::kTooManyLinks;
      ssize_t size = readlinkat(top_, path.c_str(), target.data(), target.size());
      if (size <= 0 || static_cast<std::size_t>(size) > kLinkLimit || target.front() == '/') return Reach::kOutside;
      at.pop_back();
      std::vector<std::string> next = utlSplitList(std::string_view(target.data(), static_cast<std::size_t>(size)), "/");
      pending.insert(pending.end(), next.rbegin(), next.rend());
    }
    return Reach::kInside;
  }

  // Each link is followed once every entry is in place, as the JVM will
  // follow it: an inner link may make another lead out.
  bool checkLinks() {
    for (const Link& link : links_) {
      Reach where = reach(link.parts);
      if (where == Reach::kOutside) return fail("the link '" + link.entry + "' leads out of the runtime");
      if (where == Reach::kTooManyLinks) {
        return fail("the link '" + link.entry + "' leads through more than " + std::to_string(kLinkFollows) + " links");
      }
    }
    return true;
  }

  // Records every entry as it now is; the stamp's own time is set last.
  bool writeStamp() {
    std::string records(kStampHeader);
    for (const std::string& name : names_) {
      struct stat info;
      if (fstatat(top_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail("cannot stamp the runtime: '" + name + "': " + systemError(errno));
      }
      records += stampRecord(name, info);
    }
    if (records.size() > kStampLimit) return fail("the runtime has too many entries to record");
    int fd = openat(top_, kRuntimeStamp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0444);
    bool ok = fd >= 0 && hmdWriteAll(fd, records.data(), records.size()) && stamp(fd) && fsync(fd) == 0;
    int saved = errno;
    if (fd >= 0) close(fd);
    return ok || fail("cannot stamp the runtime: " + systemError(saved));
  }

  struct Link {
    std::string entry;               ///< the archive's name of it
    std::vector<std::string> parts;  ///< its place in the tree
  };

  PkdArchive& archive_;
  std::string& error_;
  Sha256 digest_;
  int top_ = -1;
  std::vector<std::string> names_;  ///< the entries made, as the stamp records them
  std::vector<Link> links_;
};

// --- The launch -------------------------------------------------------------------

// The extracted jars and the runtime, made ready under base.
bool prepare(const std::string& base, const char* runtimeHash, const char* appName, PkdPrepared& prepared) {
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
    int held = holdCopy(directory);
    if (held >= 0) prepared.holds.keep(held);
    if (held < 0 || !stamped(path)) {
      ExtractionLock lock;
      if (!lock.take({base + "/jars", directory}, directory + "/.lock", &error)) return failed("'" + jar.name + "'");
      if (!stamped(path)) {
        ut_tproda("Extracting <%s> to <%s>", jar.name.c_str(), path.c_str());
        if (!openArchive() || !pkdExtractJar(*archive, jar.hash, jar.name, directory, &error)) {
          return failed("'" + jar.name + "'");
        }
      }
      // Held before the lock goes, so that no removal comes between.
      if (held < 0 && (held = holdCopy(directory)) >= 0) prepared.holds.keep(held);
    }
    markUsed(path);
    prepared.classPath += (prepared.classPath.empty() ? "" : ":") + path;
  }

  if (runtimeHash == nullptr) return true;
  std::string runtimes = base + "/runtime";
  std::string home = runtimes + "/" + runtimeHash;
  int held = holdCopy(home);
  if (held < 0 || !pkdRuntimeIntact(home)) {
    // An extraction replaces the directory: the new one is held.
    if (held >= 0) close(held);
    ExtractionLock lock;
    if (!lock.take({runtimes}, home + ".lock", &error)) return failed("its Java runtime");
    if (!pkdRuntimeIntact(home)) {
      ut_tproda("Extracting the Java runtime to <%s>", home.c_str());
      if (!openArchive() || !pkdExtractRuntime(*archive, runtimeHash, home, &error)) return failed("its Java runtime");
    }
    held = holdCopy(home);
  }
  if (held >= 0) prepared.holds.keep(held);
  markUsed(home + "/" + kRuntimeStamp);
  ut_tproda("The application's own Java runtime <%s> is the Java home", home.c_str());
  prepared.runtimeHome = home;
  return true;
}

}  // namespace

std::optional<PkdPrepared> pkdPrepare(bool javaHomeNamed) {
  // The runtime is not needed when the user named a Java home.
  const char* runtime = javaHomeNamed ? nullptr : cfgGetPackedRuntime();
  PkdPrepared prepared;
  if (cfgGetPackedJars().empty() && runtime == nullptr) return prepared;
  const char* appName = hmdGetApplicationName();
  // A runtime built for a newer glibc would fail only once extracted, with
  // the dynamic loader's words about symbol versions.
  const char* floor = runtime != nullptr ? cfgGetPackedRuntimeGlibc() : nullptr;
  if (std::string found = systemGlibc(); floor != nullptr && !found.empty() && utlVersionBelow(found, floor)) {
    utlReport(kGlibcTooOldMsg, appName, floor, found.c_str());
    return std::nullopt;
  }
  // Extracting with another user's privileges into a cache the caller
  // chooses is exactly what a set-ID launch must not do.
  if (utlIsSetIdMode()) {
    utlReport(kSetIdMsg, appName);
    return std::nullopt;
  }
  std::optional<std::string> directory = hmdUserCacheDirectory();
  std::string why = "none of XDG_CACHE_HOME, CACHE_DIRECTORY and HOME names a directory";
  std::optional<std::string> trusted = directory ? hmdPrivateDirectory(*directory, true, why) : std::nullopt;
  // The JVM would read a ':' in a class path element as two elements.
  if (trusted && trusted->find(':') != std::string::npos) {
    why = "the JVM cannot name files in '" + *trusted + "'";
    trusted.reset();
  }
  if (!trusted) {
    utlReport(kNoCacheMsg, appName, why.c_str());
    return std::nullopt;
  }
  if (!prepare(*trusted, runtime, appName, prepared)) return std::nullopt;
  // Once this launch's copies are held and marked used, the others are
  // looked at.
  pkdPruneCache(*trusted, std::time(nullptr));
  return prepared;
}

PkdHolds::~PkdHolds() {
  for (int fd : fds_) close(fd);
}

bool pkdExtractJar(PkdArchive& archive, const std::string& hash, const std::string& name,
                   const std::string& directory, std::string* error) {
  removeStale(directory + "/", "." + name + ".");
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

bool pkdRuntimeIntact(const std::string& directory) {
  std::string stampPath = directory + "/" + kRuntimeStamp;
  if (!stamped(stampPath)) return false;
  std::optional<std::string> records = hmdReadPrivateFile(stampPath, kStampLimit);
  if (!records || !records->starts_with(kStampHeader) || records->size() == kStampHeader.size()) {
    ut_tproda("The Java runtime <%s> has no record of its files", directory.c_str());
    return false;
  }
  int top = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (top < 0) return false;
  std::string_view rest = std::string_view(*records).substr(kStampHeader.size());
  bool intact = true;
  while (intact && !rest.empty()) {
    std::size_t end = rest.find('\0');
    const char* name = "";
    intact = end != std::string_view::npos && matches(top, rest.substr(0, end), &name);
    if (!intact) ut_tproda("The Java runtime's <%s> is not as it was extracted to <%s>", name, directory.c_str());
    rest.remove_prefix(std::min(end, rest.size() - 1) + 1);
  }
  close(top);
  return intact;
}
