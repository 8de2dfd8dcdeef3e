// The one way the launcher and the packer touch files that someone else
// might control (hmd.h says which rule applies where). A place is trusted
// when it and every directory above it, links resolved, belong to root or
// a trusted user and nobody else can change them; a file in it is opened
// without following a link and without blocking, checked on the
// descriptor, and written through that descriptor.

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/hmd.h"

namespace {

// Symbolic links met on the way are read one at a time and the walk starts
// again on the target; as many as the system follows in one name.
constexpr int kMaxResolutions = 40;
constexpr int kSafeOpenFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
// How to mend a refused place of the launcher's own files.
constexpr const char* kOwnFileRule =
    "; the launcher writes only a regular file of its own with one name, in a directory that nobody but root and "
    "the user running it can change";

std::string quoted(const std::string& path) { return "'" + path + "'"; }

std::string systemError(const std::string& path, int error) {
  return "cannot write to '" + path + "' (" + std::strerror(error) + ")";
}

bool contains(const std::vector<unsigned>& ids, unsigned id) {
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Whoever may change what the path names, when that is someone trust does
// not cover; empty when nobody is. In a sticky directory others change only
// their own entries, and the next step of the walk checks whose the entry is.
std::string untrustedWriter(const std::string& path, const struct stat& info, const HmdTrust& trust) {
  if (info.st_uid != 0 && !contains(trust.users, info.st_uid)) {
    return quoted(path) + " belongs to user " + hmdUserName(info.st_uid);
  }
  if (S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0) return "";
  if ((info.st_mode & S_IWOTH) != 0) return "every user can change " + quoted(path);
  if ((info.st_mode & S_IWGRP) != 0 && !contains(trust.groups, info.st_gid)) {
    return "group " + hmdGroupName(info.st_gid) + " can change " + quoted(path);
  }
  // With an access list, the group's bits are the most it grants anyone it
  // names, whoever they are.
  if ((info.st_mode & S_IWGRP) != 0 && lgetxattr(path.c_str(), "system.posix_acl_access", nullptr, 0) > 0) {
    return "an access list lets others change " + quoted(path);
  }
  return "";
}

// A path whose components are all real directories, with "." and ".."
// taken as the directories they are.
std::string lexicallyNormal(const std::string& path) {
  std::vector<std::string> kept;
  for (std::string& part : hmdPathComponents(path)) {
    if (part == "..") {
      if (!kept.empty()) kept.pop_back();
    } else if (part != ".") {
      kept.push_back(std::move(part));
    }
  }
  std::string normal;
  for (const std::string& part : kept) normal += "/" + part;
  return normal.empty() ? "/" : normal;
}

const char* kindOf(mode_t mode) {
  if (S_ISDIR(mode)) return "a directory";
  if (S_ISLNK(mode)) return "a symbolic link";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "a device";
  return "no regular file";
}

// The walk behind hmdTrustedPath and hmdPrivateDirectory: with create,
// missing directories are made for the user alone. *untrusted (when given)
// tells a refusal from a failure of the system.
std::optional<std::string> walk(const std::string& path, const HmdTrust& trust, bool create, std::string& why,
                                struct stat* last, bool* untrusted = nullptr) {
  std::string wanted = path;
  // A relative path (leavepathsrelative) is walked from the working
  // directory, the way it is opened.
  if (!wanted.starts_with("/")) {
    char* cwd = getcwd(nullptr, 0);
    if (cwd == nullptr) {
      why = systemError(path, errno);
      return std::nullopt;
    }
    wanted = std::string(cwd) + "/" + wanted;
    std::free(cwd);
  }
  for (int resolutions = 0; resolutions <= kMaxResolutions; ++resolutions) {
    std::vector<std::string> parts = hmdPathComponents(wanted);
    std::string prefix;
    bool restarted = false;
    struct stat info {};
    struct stat parent {};
    lstat("/", &info);
    for (std::size_t i = 0; i < parts.size() && !restarted; ++i) {
      parent = info;
      std::string above = prefix.empty() ? "/" : prefix;
      prefix += "/" + parts[i];
      if (lstat(prefix.c_str(), &info) != 0) {
        if (errno != ENOENT || !create) {
          why = systemError(path, errno);
          return std::nullopt;
        }
        // Made for the user alone; made by someone else meanwhile, it fails
        // the owner check below.
        if ((mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) || lstat(prefix.c_str(), &info) != 0) {
          why = systemError(path, errno);
          return std::nullopt;
        }
      }
      if (S_ISLNK(info.st_mode)) {
        // Followed only when a trusted user made it: in a sticky directory
        // anyone can make a link, to a file of root's whose text they
        // choose (a set-ID program's /proc/PID/cmdline). Where it leads is
        // walked from the top, one link at a time, so that a link it leads
        // through is checked too.
        if (info.st_uid != 0 && !contains(trust.users, info.st_uid)) {
          why = quoted(prefix) + " is a link of user " + hmdUserName(info.st_uid);
          if (untrusted != nullptr) *untrusted = true;
          return std::nullopt;
        }
        std::string target(kPathMax, '\0');
        ssize_t length = readlink(prefix.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) {
          why = systemError(path, length < 0 ? errno : ENAMETOOLONG);
          return std::nullopt;
        }
        target.resize(static_cast<std::size_t>(length));
        wanted = target.starts_with("/") ? target : above + "/" + target;
        for (std::size_t rest = i + 1; rest < parts.size(); ++rest) wanted += "/" + parts[rest];
        restarted = true;
        continue;
      }
      if (i + 1 < parts.size() && !S_ISDIR(info.st_mode)) {
        why = systemError(path, ENOTDIR);
        return std::nullopt;
      }
      why = untrustedWriter(prefix, info, trust);
      // A second name of a file, made where others may make names (a sticky
      // directory they can write to), is someone else's choice of what to
      // give it (a root file of theirs).
      bool othersMakeNames = (parent.st_mode & S_ISVTX) != 0 && (parent.st_mode & (S_IWGRP | S_IWOTH)) != 0;
      if (why.empty() && S_ISREG(info.st_mode) && info.st_nlink > 1 && othersMakeNames) {
        why = quoted(prefix) + " has " + std::to_string(info.st_nlink) + " names, and others can make names in " +
              quoted(above);
      }
      if (!why.empty()) {
        if (untrusted != nullptr) *untrusted = true;
        return std::nullopt;
      }
    }
    if (restarted) continue;
    if (last != nullptr) *last = info;
    // No link is left on the way: what ".." names is what it says.
    return lexicallyNormal(wanted);
  }
  why = systemError(path, ELOOP);
  return std::nullopt;
}

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

std::vector<std::string> hmdPathComponents(const std::string& path) {
  std::vector<std::string> parts;
  for (std::size_t at = 0; at < path.size();) {
    std::size_t end = std::min(path.find('/', at), path.size());
    if (end > at) parts.push_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

std::string hmdUserName(unsigned uid) {
  const struct passwd* entry = getpwuid(static_cast<uid_t>(uid));
  return entry != nullptr ? quoted(entry->pw_name) : std::to_string(uid);
}

std::string hmdGroupName(unsigned gid) {
  const struct group* entry = getgrgid(static_cast<gid_t>(gid));
  return entry != nullptr ? quoted(entry->gr_name) : std::to_string(gid);
}

HmdTrust hmdOwnTrust() { return HmdTrust{{static_cast<unsigned>(geteuid())}, {}}; }

std::optional<std::string> hmdTrustedPath(const std::string& path, const HmdTrust& trust, std::string& why,
                                          struct stat* info) {
  return walk(path, trust, false, why, info);
}

bool hmdIsTrustedFile(const std::string& path, const struct stat& opened, const HmdTrust& trust, std::string& why) {
  struct stat checked;
  std::optional<std::string> resolved = walk(path, trust, false, why, &checked);
  if (!resolved) return false;
  // Root's files there hold what the running system and its processes say.
  for (const char* system : {"/proc/", "/sys/"}) {
    if (resolved->starts_with(system)) {
      why = quoted(*resolved) + " is a file of the running system";
      return false;
    }
  }
  // What was opened by name must be what the walk found: anything else was
  // put there after the walk, or by a path the walk did not take.
  if (checked.st_dev != opened.st_dev || checked.st_ino != opened.st_ino) {
    why = quoted(path) + " changed while it was checked";
    return false;
  }
  return true;
}

std::optional<std::string> hmdPrivateDirectory(const std::string& path, bool create, std::string& why) {
  struct stat info;
  std::optional<std::string> resolved = walk(path, hmdOwnTrust(), create, why, &info);
  if (!resolved) return std::nullopt;
  // The directory itself is the user's alone: not root's, and not even
  // sticky for others.
  if (!S_ISDIR(info.st_mode)) {
    why = systemError(path, ENOTDIR);
    return std::nullopt;
  }
  if (info.st_uid != geteuid()) {
    why = quoted(*resolved) + " belongs to user " + hmdUserName(info.st_uid);
    return std::nullopt;
  }
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    why = ((info.st_mode & S_IWOTH) != 0 ? "every user" : "group " + hmdGroupName(info.st_gid)) + " can change " +
          quoted(*resolved);
    return std::nullopt;
  }
  // The effective ids decide, which a set-ID launch differs in.
  if (faccessat(AT_FDCWD, resolved->c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    why = systemError(path, errno);
    return std::nullopt;
  }
  return resolved;
}

std::optional<std::string> hmdOwnDirectory(const std::string& path, std::string& why) {
  bool untrusted = false;
  std::optional<std::string> resolved = walk(path, hmdOwnTrust(), false, why, nullptr, &untrusted);
  if (untrusted) why += kOwnFileRule;
  if (resolved && faccessat(AT_FDCWD, resolved->c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
    why = systemError(path, errno);
    resolved.reset();
  }
  return resolved;
}

namespace {

// What makes a file no regular file of the effective user's alone, or "".
std::string notOwnFile(const struct stat& info) {
  if (!S_ISREG(info.st_mode)) return "it is " + std::string(kindOf(info.st_mode)) + kOwnFileRule;
  if (info.st_uid != geteuid()) return "it belongs to user " + hmdUserName(info.st_uid) + kOwnFileRule;
  // A second name lets whoever made it read what is written, or choose it.
  if (info.st_nlink != 1) return "it has " + std::to_string(info.st_nlink) + " names" + kOwnFileRule;
  return "";
}

}  // namespace

int hmdOpenOwnFile(const std::string& path, int flags, mode_t mode, std::string& why) {
  // Opened in the directory as resolved: the name given may lead through a
  // link that changes later.
  std::optional<std::string> directory = hmdOwnDirectory(directoryOf(path), why);
  if (!directory) return -1;
  std::string resolved = *directory + (directory->ends_with("/") ? "" : "/") + path.substr(path.rfind('/') + 1);
  int fd = open(resolved.c_str(), flags | kSafeOpenFlags, mode);
  struct stat info;
  if (fd < 0) {
    // A link, or a FIFO that no one reads, refuses the open itself, and the
    // system may refuse others' files in a sticky directory: what is there
    // says why, whichever refused it.
    int error = errno;
    why = lstat(resolved.c_str(), &info) == 0 ? notOwnFile(info) : "";
    if (why.empty()) why = std::strerror(error);
    return -1;
  }
  why = fstat(fd, &info) == 0 ? notOwnFile(info) : std::strerror(errno);
  if (!why.empty()) {
    close(fd);
    return -1;
  }
  // What is written to it may wait, as to any file.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

int hmdOpenTrustedFile(const std::string& path, int flags, const HmdTrust& trust, struct stat* info) {
  int fd = open(path.c_str(), flags | kSafeOpenFlags);
  if (fd < 0) return -1;
  struct stat own;
  struct stat* checked = info != nullptr ? info : &own;
  if (fstat(fd, checked) != 0 || !S_ISREG(checked->st_mode) ||
      (checked->st_uid != 0 && !contains(trust.users, checked->st_uid))) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

int hmdOpenPrivateFile(const std::string& path, int flags, struct stat* info) {
  // As hmdOpenTrustedFile with the user alone trusted, and without a list of
  // the trusted, which would allocate: a forked child of the threaded
  // launcher opens the cache's files this way. Root's file is no file of the
  // user's, in the user's own cache.
  int fd = open(path.c_str(), flags | kSafeOpenFlags);
  if (fd < 0) return -1;
  struct stat own;
  struct stat* checked = info != nullptr ? info : &own;
  if (fstat(fd, checked) != 0 || !S_ISREG(checked->st_mode) || checked->st_uid != geteuid()) {
    close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

std::optional<std::string> hmdReadPrivateFile(const std::string& path, std::size_t limit) {
  struct stat info;
  int fd = hmdOpenPrivateFile(path, O_RDONLY, &info);
  if (fd < 0) return std::nullopt;
  std::optional<std::string> content;
  if (static_cast<unsigned long long>(info.st_size) <= limit) {
    content.emplace();
    char block[4096];
    ssize_t n;
    while (content->size() <= limit && (n = read(fd, block, sizeof block)) > 0) {
      content->append(block, static_cast<std::size_t>(n));
    }
    if (n < 0 || content->size() > limit) content.reset();
  }
  close(fd);
  return content;
}

std::optional<std::string> hmdCreatePrivateFile(const std::string& prefix, const std::string& suffix) {
  std::string name = prefix + ".XXXXXX" + suffix;
  int fd = mkostemps(name.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  close(fd);
  return name;
}

bool hmdWriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string hmdPrivateFileTemporary(const std::string& path) { return path + ".XXXXXX.tmp"; }

bool hmdWritePrivateFileAt(std::string& temporary, const std::string& path, std::string_view text) {
  int fd = mkostemps(temporary.data(), 4, O_CLOEXEC);
  if (fd < 0) return false;
  bool written = hmdWriteAll(fd, text.data(), text.size());
  if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  return true;
}

bool hmdWritePrivateFile(const std::string& path, const std::string& text) {
  std::string temporary = hmdPrivateFileTemporary(path);
  return hmdWritePrivateFileAt(temporary, path, text);
}

std::optional<std::string> hmdReadRegularFile(const std::string& path, std::size_t limit, std::string& why) {
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  if (fd < 0) {
    why = std::strerror(errno);
    return std::nullopt;
  }
  why.clear();
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    why = "it is no regular file";
  } else if (static_cast<std::size_t>(info.st_size) > limit) {
    why = "it is larger than " + std::to_string(limit >> 20) + " MiB";
  }
  std::string bytes;
  if (why.empty()) {
    bytes.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
      ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    if (bytes.empty()) why = "it is empty";
  }
  close(fd);
  if (!why.empty()) return std::nullopt;
  return bytes;
}
