// The extraction cache as a whole: what +cache lists and clears, and the
// daily prune of copies no launch has used for 30 days. Each launch of a
// single-file application adds a copy for every new build it carries; this
// is what keeps the cache from growing with each of them.
//
// The cache directory is the user's alone (hmdPrivateDirectory), but even
// there nothing is followed: each name is looked at with lstat semantics
// and opened below a directory descriptor without following a link, and
// what is removed is removed with unlinkat on its directory's descriptor.
// A link met on the way is removed as a name, never entered.

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <limits>

#include "host/hmd.h"
#include "launcher/pkd.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kCopyLineMsg = "%-7s  %.12s  %9s  %s%s\n";
constexpr const char* kTotalMsg = "%zu %s, %s, in '%s'\n";
constexpr const char* kKeptMsg = "Kept the %s %.12s: a launch is using it.\n";
constexpr const char* kRemovedMsg = "Removed %zu %s, %s, from '%s'.\n";
constexpr const char* kRemoveFailedMsg = "Error: Unable to remove %s.\n";
constexpr const char* kUnknownWordMsg =
    "Error: '%s' is no word of +cache, which lists the extracted jars and Java runtimes; +cache clear removes "
    "those no launch is using.\n";
constexpr const char* kNoCacheMsg = "Error: %s has no cache directory to look at: %s.\n";
constexpr const char* kClearWord = "clear";

constexpr time_t kDay = 24 * 3600;
constexpr time_t kUnusedAge = 30 * kDay;
// Its time is when a launch last pruned the cache.
constexpr const char* kPruneMarker = ".pruned";
constexpr const char* kJars = "jars";
constexpr const char* kRuntimes = "runtime";
constexpr const char* kLockSuffix = ".lock";
constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

bool ownEntry(int parent, const std::string& name, mode_t type, struct stat* info) {
  return fstatat(parent, name.c_str(), info, AT_SYMLINK_NOFOLLOW) == 0 && (info->st_mode & S_IFMT) == type &&
         info->st_uid == geteuid();
}

// A directory of the user's below parent; none for a link or anyone else's.
Fd openOwnDirectory(int parent, const std::string& name) {
  Fd fd(openat(parent, name.c_str(), kDirectoryFlags));
  struct stat info;
  if (fd && (fstat(fd.get(), &info) != 0 || info.st_uid != geteuid())) return Fd();
  return fd;
}

// The names in a directory, in order, without "." and "..".
std::vector<std::string> namesIn(int fd) {
  std::vector<std::string> names;
  int copy = dup(fd);
  DIR* entries = copy >= 0 ? fdopendir(copy) : nullptr;
  if (entries == nullptr) {
    if (copy >= 0) close(copy);
    return names;
  }
  while (const dirent* entry = readdir(entries)) {
    std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  closedir(entries);
  std::sort(names.begin(), names.end());
  return names;
}

// The disk space of name below parent, with all it holds.
long long diskSpace(int parent, const std::string& name) {
  struct stat info;
  if (fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
  long long bytes = static_cast<long long>(info.st_blocks) * 512;
  if (S_ISDIR(info.st_mode)) {
    if (Fd directory = openOwnDirectory(parent, name)) {
      for (const std::string& inner : namesIn(directory.get())) bytes += diskSpace(directory.get(), inner);
    }
  }
  return bytes;
}

// Removes name below parent, a directory with all it holds; false with
// errno set when something stays.
bool removeAt(int parent, const std::string& name) {
  if (unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT) return true;
  if (errno != EISDIR && errno != EPERM) return false;
  Fd directory = openOwnDirectory(parent, name);
  if (!directory) return false;
  // A runtime may hold directories someone took the user's write access
  // from: they are the user's, and go whole.
  struct stat info;
  if (fstat(directory.get(), &info) == 0) fchmod(directory.get(), (info.st_mode & 07777) | S_IRWXU);
  for (const std::string& inner : namesIn(directory.get())) {
    if (!removeAt(directory.get(), inner)) return false;
  }
  return unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT;
}

// What an extraction of a jar names its copy until it is whole: a dot, the
// jar's name, a dot and mkstemp's six characters.
bool temporary(const std::string& name) {
  return name.starts_with(".") && name.size() > 8 && name[name.size() - 7] == '.';
}

const char* kindName(PkdCopy::Kind kind) { return kind == PkdCopy::Kind::kJar ? "jar" : "runtime"; }

// What one kind of copy is called and how it is locked: a jar's directory
// holds its lock, a runtime's lock lies beside it.
struct Shelf {
  PkdCopy::Kind kind;
  int fd;  ///< jars/ or runtime/

  // The hashes of the copies, and of the locks left without one.
  std::vector<std::string> hashes() const {
    std::vector<std::string> found;
    for (const std::string& name : namesIn(fd)) {
      struct stat info;
      if (name.starts_with(".")) continue;
      if (ownEntry(fd, name, S_IFDIR, &info)) {
        found.push_back(name);
      } else if (kind == PkdCopy::Kind::kRuntime && name.ends_with(kLockSuffix) &&
                 ownEntry(fd, name, S_IFREG, &info)) {
        found.push_back(name.substr(0, name.size() - std::strlen(kLockSuffix)));
      }
    }
    std::sort(found.begin(), found.end());
    found.erase(std::unique(found.begin(), found.end()), found.end());
    return found;
  }

  // Fills in what the copy holds, with its disk space when measure says so
  // (it walks the whole copy); false when there is no copy (a lock left
  // alone). Its last use is its stamp's access time: a jar's own, the
  // runtime's stamp file's.
  bool describe(PkdCopy& copy, bool measure) const {
    struct stat info;
    copy.names.clear();
    copy.lastUse = 0;
    if (!ownEntry(fd, copy.hash, S_IFDIR, &info)) return false;
    if (measure) copy.bytes = diskSpace(fd, copy.hash);
    if (kind == PkdCopy::Kind::kRuntime) {
      // Without a stamp it is a damaged copy, as old as its directory.
      copy.lastUse = ownEntry(fd, copy.hash + "/" + kPkdRuntimeStamp, S_IFREG, &info) ? info.st_atim.tv_sec
                                                                                      : info.st_mtim.tv_sec;
      return true;
    }
    Fd directory = openOwnDirectory(fd, copy.hash);
    for (const std::string& name : directory ? namesIn(directory.get()) : std::vector<std::string>()) {
      if (name == ".lock" || temporary(name) || !ownEntry(directory.get(), name, S_IFREG, &info)) continue;
      copy.names.push_back(name);
      copy.lastUse = std::max(copy.lastUse, info.st_atim.tv_sec);
    }
    return !copy.names.empty();
  }

  /// A copy taken for removal: its lock and its directory, both alone.
  struct Taken {
    Fd lockParent, lock, directory;
    bool busy = false;
  };

  // Takes the copy's lock (made when missing, to keep an extraction out),
  // then its directory, without waiting for either. With create false,
  // only tells whether the copy is busy.
  Taken take(const std::string& hash, bool create) const {
    Taken taken;
    bool jar = kind == PkdCopy::Kind::kJar;
    std::string lockName = jar ? ".lock" : hash + kLockSuffix;
    taken.lockParent = jar ? openOwnDirectory(fd, hash) : Fd(dup(fd));
    if (taken.lockParent) {
      int flags = O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0);
      taken.lock = Fd(openat(taken.lockParent.get(), lockName.c_str(), flags, 0600));
      struct stat held, named;
      // A lock removed since it was opened is another removal's: its copy
      // is gone, or a new one has a new lock.
      taken.busy = taken.lock && (flock(taken.lock.get(), LOCK_EX | LOCK_NB) != 0 ||
                                  fstat(taken.lock.get(), &held) != 0 ||
                                  !ownEntry(taken.lockParent.get(), lockName, S_IFREG, &named) ||
                                  held.st_ino != named.st_ino || held.st_dev != named.st_dev);
      if (!taken.lock && create && errno != ENOENT) taken.busy = true;
    }
    if (taken.busy) return taken;
    taken.directory = openOwnDirectory(fd, hash);
    taken.busy = taken.directory && flock(taken.directory.get(), LOCK_EX | LOCK_NB) != 0;
    return taken;
  }

  // Removes the copy taken, its lock last; false with *why set when
  // something stays.
  bool remove(const std::string& hash, Taken& taken, std::string* why) const {
    bool jar = kind == PkdCopy::Kind::kJar;
    auto failed = [&](const std::string& name) {
      *why = "'" + name + "': " + std::strerror(errno);
      return false;
    };
    if (jar) {
      if (!taken.lockParent) return true;
      for (const std::string& name : namesIn(taken.lockParent.get())) {
        if (name != ".lock" && !removeAt(taken.lockParent.get(), name)) return failed(hash + "/" + name);
      }
      unlinkat(taken.lockParent.get(), ".lock", 0);
      // A launch that made a new lock in it meanwhile keeps the directory.
      if (unlinkat(fd, hash.c_str(), AT_REMOVEDIR) != 0 && errno != ENOTEMPTY && errno != ENOENT) return failed(hash);
      return true;
    }
    if (!removeAt(fd, hash)) return failed(hash);
    // What an extraction of it killed part way left.
    std::string temporaries = "." + hash.substr(0, 16) + ".";
    for (const std::string& name : namesIn(fd)) {
      if (name.starts_with(temporaries) && name.size() == temporaries.size() + 6 && !removeAt(fd, name)) {
        return failed(name);
      }
    }
    unlinkat(fd, (hash + kLockSuffix).c_str(), 0);
    return true;
  }
};

// Each kind's directory under base, for those there are.
std::vector<std::pair<Shelf, Fd>> shelves(const std::string& base) {
  std::vector<std::pair<Shelf, Fd>> found;
  Fd top(open(base.c_str(), kDirectoryFlags));
  if (!top) return found;
  for (auto [kind, name] : {std::pair{PkdCopy::Kind::kJar, kJars}, std::pair{PkdCopy::Kind::kRuntime, kRuntimes}}) {
    if (Fd fd = openOwnDirectory(top.get(), name)) {
      int raw = fd.get();
      found.emplace_back(Shelf{kind, raw}, std::move(fd));
    }
  }
  return found;
}

std::string sizeText(long long bytes) {
  char text[32];
  constexpr double kMiB = 1024.0 * 1024.0;
  if (bytes < 1024 * 1024) {
    std::snprintf(text, sizeof text, "%lld KiB", (bytes + 1023) / 1024);
  } else if (bytes < 1024LL * 1024 * 1024) {
    std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / kMiB);
  } else {
    std::snprintf(text, sizeof text, "%.2f GiB", static_cast<double>(bytes) / kMiB / 1024.0);
  }
  return text;
}

std::string dateText(time_t time) {
  char text[32];
  struct tm local;
  if (localtime_r(&time, &local) == nullptr || std::strftime(text, sizeof text, "%Y-%m-%d", &local) == 0) return "?";
  return text;
}

const char* copies(std::size_t count) { return count == 1 ? "copy" : "copies"; }

}  // namespace

std::vector<PkdCopy> pkdListCache(const std::string& base) {
  std::vector<PkdCopy> listed;
  for (const auto& [shelf, fd] : shelves(base)) {
    for (const std::string& hash : shelf.hashes()) {
      PkdCopy copy;
      copy.kind = shelf.kind;
      copy.hash = hash;
      if (!shelf.describe(copy, true)) continue;
      copy.inUse = shelf.take(hash, false).busy;
      listed.push_back(std::move(copy));
    }
  }
  return listed;
}

PkdRemoval pkdRemoveCopies(const std::string& base, time_t unusedSince) {
  PkdRemoval removal;
  for (const auto& [shelf, fd] : shelves(base)) {
    for (const std::string& hash : shelf.hashes()) {
      PkdCopy copy;
      copy.kind = shelf.kind;
      copy.hash = hash;
      if (shelf.describe(copy, false) && copy.lastUse >= unusedSince) continue;
      Shelf::Taken taken = shelf.take(hash, true);
      // A lock alone that is busy is an extraction at work.
      if (taken.busy) {
        if (shelf.describe(copy, false)) removal.kept.push_back(std::move(copy));
        continue;
      }
      // A launch may have used it since it was looked at.
      bool present = shelf.describe(copy, true);
      if (present && copy.lastUse >= unusedSince) continue;
      std::string why;
      if (!shelf.remove(hash, taken, &why)) {
        removal.errors.push_back(why);
      } else if (present) {
        removal.removed.push_back(std::move(copy));
      }
    }
  }
  return removal;
}

bool pkdPruneCache(const std::string& base, time_t now) {
  std::string marker = base + "/" + kPruneMarker;
  struct stat info;
  // Fresh within a day either way: another launch may have marked it a
  // moment after this one read the clock, and a time a day or more ahead is
  // one a clock set back left.
  if (lstat(marker.c_str(), &info) == 0 && info.st_mtim.tv_sec > now - kDay && info.st_mtim.tv_sec < now + kDay) {
    return false;
  }
  // Marked first: the launches that start meanwhile leave it to this one.
  std::string why;
  int fd = hmdOpenOwnFile(marker, O_WRONLY | O_CREAT, 0600, why);
  if (fd < 0) return false;
  const timespec times[2] = {{now, 0}, {now, 0}};
  bool marked = futimens(fd, times) == 0;
  close(fd);
  if (!marked) return false;
  PkdRemoval removal = pkdRemoveCopies(base, now - kUnusedAge);
  for (const PkdCopy& copy : removal.removed) {
    ut_tproda("Removed the %s %s from the cache: no launch used it for 30 days", kindName(copy.kind),
              copy.hash.c_str());
  }
  for (const std::string& error : removal.errors) ut_tproda("Cannot prune the cache: %s", error.c_str());
  return true;
}

int pkdCacheCommand(const std::vector<std::string>& words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0 || words[i] != kClearWord) {
      utlReport(kUnknownWordMsg, words[i].c_str());
      return 1;
    }
  }
  std::optional<std::string> directory = hmdUserCacheDirectory();
  std::string why = "none of XDG_CACHE_HOME, CACHE_DIRECTORY and HOME names a directory";
  std::optional<std::string> base = directory ? hmdPrivateDirectory(*directory, true, why) : std::nullopt;
  if (!base) {
    utlReport(kNoCacheMsg, hmdGetApplicationName(), why.c_str());
    return 1;
  }
  if (words.empty()) {
    long long total = 0;
    std::vector<PkdCopy> listed = pkdListCache(*base);
    for (const PkdCopy& copy : listed) {
      std::string details;
      for (const std::string& name : copy.names) details += "  " + name;
      if (copy.inUse) details += "  (in use)";
      std::printf(kCopyLineMsg, kindName(copy.kind), copy.hash.c_str(), sizeText(copy.bytes).c_str(),
                  dateText(copy.lastUse).c_str(), details.c_str());
      total += copy.bytes;
    }
    std::printf(kTotalMsg, listed.size(), copies(listed.size()), sizeText(total).c_str(), base->c_str());
    return 0;
  }
  PkdRemoval removal = pkdRemoveCopies(*base, std::numeric_limits<time_t>::max());
  long long total = 0;
  for (const PkdCopy& copy : removal.removed) total += copy.bytes;
  for (const PkdCopy& copy : removal.kept) std::printf(kKeptMsg, kindName(copy.kind), copy.hash.c_str());
  std::printf(kRemovedMsg, removal.removed.size(), copies(removal.removed.size()), sizeText(total).c_str(),
              base->c_str());
  for (const std::string& error : removal.errors) utlReport(kRemoveFailedMsg, error.c_str());
  return removal.errors.empty() ? 0 : 1;
}
