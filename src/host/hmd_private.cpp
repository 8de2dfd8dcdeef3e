// Files that belong to the user alone, such as the start-up cache's: they are
// trusted the way ssh trusts ~/.ssh. A directory counts only when it and
// every directory above it belong to root or the user and no one else can
// change them, so that nobody else can put, replace or rename anything in
// it; its files are opened without following a link and without blocking,
// and only regular files of the user are read.

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "host/hmd.h"
#include "util/utl.h"

namespace {

// Symbolic links met on the way are resolved and the walk starts again on
// the target; a loop of them ends it.
constexpr int kMaxResolutions = 8;
constexpr int kPrivateFileFlags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

std::string systemError(const std::string& path, int error) {
  return "cannot write to '" + path + "' (" + std::strerror(error) + ")";
}

// Who may change what a directory holds: only root and the user, or others
// only for their own entries (a sticky directory such as /tmp), which the
// walk then checks one by one.
bool othersCanChange(const struct stat& info) {
  return (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (info.st_mode & S_ISVTX) == 0;
}

}  // namespace

std::optional<std::string> hmdPrivateDirectory(const std::string& path, bool create, std::string& why) {
  std::string wanted = path;
  for (int resolutions = 0; resolutions <= kMaxResolutions; ++resolutions) {
    std::vector<std::string> parts = utlSplitList(wanted, "/");
    std::string prefix;
    bool restarted = false;
    for (std::size_t i = 0; i < parts.size() && !restarted; ++i) {
      prefix += "/" + parts[i];
      bool last = i + 1 == parts.size();
      struct stat info;
      if (lstat(prefix.c_str(), &info) != 0) {
        if (errno != ENOENT || !create) {
          why = systemError(path, errno);
          return std::nullopt;
        }
        // Made for the user alone; made by someone else meanwhile, it fails
        // the owner check below.
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
          why = systemError(path, errno);
          return std::nullopt;
        }
        if (lstat(prefix.c_str(), &info) != 0) {
          why = systemError(path, errno);
          return std::nullopt;
        }
      }
      if (S_ISLNK(info.st_mode)) {
        // The link lies in a directory that only root or the user can
        // change; where it leads is checked from the top.
        char* target = realpath(prefix.c_str(), nullptr);
        if (target == nullptr) {
          why = systemError(path, errno);
          return std::nullopt;
        }
        wanted = target;
        std::free(target);
        for (std::size_t rest = i + 1; rest < parts.size(); ++rest) wanted += "/" + parts[rest];
        restarted = true;
        continue;
      }
      if (!S_ISDIR(info.st_mode)) {
        why = systemError(path, ENOTDIR);
        return std::nullopt;
      }
      bool ownerTrusted = info.st_uid == geteuid() || (!last && info.st_uid == 0);
      if (!ownerTrusted) {
        why = "'" + prefix + "' belongs to another user";
        return std::nullopt;
      }
      if (last ? (info.st_mode & (S_IWGRP | S_IWOTH)) != 0 : othersCanChange(info)) {
        why = "'" + prefix + "' can be changed by other users";
        return std::nullopt;
      }
    }
    if (restarted) continue;
    if (access(wanted.c_str(), W_OK | X_OK) != 0) {
      why = systemError(path, errno);
      return std::nullopt;
    }
    return wanted;
  }
  why = systemError(path, ELOOP);
  return std::nullopt;
}

int hmdOpenPrivateFile(const std::string& path, int flags, struct stat* info) {
  int fd = open(path.c_str(), flags | kPrivateFileFlags);
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

bool hmdWritePrivateFile(const std::string& path, const std::string& text) {
  std::string name = path + ".XXXXXX.tmp";
  int fd = mkostemps(name.data(), 4, O_CLOEXEC);
  if (fd < 0) return false;
  bool written = hmdWriteAll(fd, text.data(), text.size());
  if (close(fd) != 0 || !written || rename(name.c_str(), path.c_str()) != 0) {
    unlink(name.c_str());
    return false;
  }
  return true;
}
