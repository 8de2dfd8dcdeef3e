#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host/dsk.h"
#include "host/hmd.h"
#include "util/utl.h"
#include "util/utrace.h"

extern char** environ;

namespace {

constexpr std::size_t kMaxEntrySize = 64 * 1024;

// The files an install of id may have written besides its desktop entry:
// anything else in a record is not removed.
bool isRecordablePath(const std::string& path, const std::string& id) {
  if (path == "mime/packages/" + id + ".xml") return true;
  static constexpr std::string_view kIcons = "icons/hicolor/";
  if (!path.starts_with(kIcons)) return false;
  std::string_view rest = std::string_view(path).substr(kIcons.size());
  std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return false;
  std::string_view size = rest.substr(0, slash);
  std::string_view file = rest.substr(slash);
  if (size == "scalable") return file == "/apps/" + id + ".svg";
  bool listed = std::any_of(kDskIconSizes.begin(), kDskIconSizes.end(), [size](int n) {
    return size == std::to_string(n) + "x" + std::to_string(n);
  });
  return listed && file == "/apps/" + id + ".png";
}

// Runs a cache tool of the desktop when it is installed; the desktop finds
// the files without it, only later. Taken from the system's own directory,
// whatever PATH says, since root runs it too, and with the usual umask, so
// that every user can read the caches it writes.
void runTool(const std::string& tool, const std::vector<std::string>& args) {
  if (access(tool.c_str(), X_OK) != 0) return;
  std::vector<char*> argv{const_cast<char*>(tool.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  hmdSpawnClosesDescriptors(&actions);
  pid_t pid = -1;
  mode_t mask = umask(022);
  int spawned = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), environ);
  umask(mask);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ut_tproda("%s not run: %s", tool.c_str(), std::strerror(spawned));
    return;
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ut_tproda("%s ended with status %d", tool.c_str(), status);
}

void refresh(const std::string& dataDir, bool mime) {
  struct stat info;
  if (stat((dataDir + "/applications").c_str(), &info) == 0) {
    runTool("/usr/bin/update-desktop-database", {"-q", dataDir + "/applications"});
  }
  if (mime) runTool("/usr/bin/update-mime-database", {dataDir + "/mime"});
}

// Makes each missing directory of dataDir/relative for the effective user,
// mode 0755 whatever the umask (a machine-wide install is for every user),
// each only inside a directory that passed the own-directory rule; the
// resolved directory, or none with error.
std::optional<std::string> makeDirectories(const std::string& dataDir, const std::string& relative,
                                           std::string& error) {
  std::string path = dataDir + "/" + relative;
  std::string why;
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string directory = path.substr(0, slash);
    struct stat info;
    if (lstat(directory.c_str(), &info) != 0) {
      std::string parent = directory.substr(0, directory.rfind('/'));
      if (!hmdOwnDirectory(parent.empty() ? "/" : parent, why)) {
        error = "cannot write into '" + parent + "': " + why;
        return std::nullopt;
      }
      if ((mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) || chmod(directory.c_str(), 0755) != 0) {
        error = "cannot make the directory '" + directory + "': " + std::strerror(errno);
        return std::nullopt;
      }
    }
    if (slash == std::string::npos) break;
  }
  std::optional<std::string> own = hmdOwnDirectory(path, why);
  if (!own) error = "cannot write into '" + path + "': " + why;
  return own;
}

// The directory of dataDir/path, resolved and passing the own-directory
// rule, and the full name there; none with error.
std::optional<std::string> ownPlace(const std::string& dataDir, const std::string& path, std::string& error) {
  std::size_t slash = path.rfind('/');
  std::string why;
  std::optional<std::string> directory = hmdOwnDirectory(dataDir + "/" + path.substr(0, slash), why);
  if (!directory) {
    error = "cannot change '" + dataDir + "/" + path + "': " + why;
    return std::nullopt;
  }
  return *directory + path.substr(slash);
}

// Writes the file whole under a temporary name and renames it into place,
// so that a failed write leaves an earlier file as it was.
bool writeFile(const std::string& dataDir, const DskFile& file, std::string& written, std::string& error) {
  std::size_t slash = file.path.rfind('/');
  std::optional<std::string> directory = makeDirectories(dataDir, file.path.substr(0, slash), error);
  if (!directory) return false;
  written = *directory + file.path.substr(slash);
  std::string temporary = written + ".jlauncher-new";
  std::string why;
  unlink(temporary.c_str());
  int fd = hmdOpenOwnFile(temporary, O_WRONLY | O_CREAT | O_EXCL, 0644, why);
  if (fd < 0) {
    error = "cannot write '" + written + "': " + why;
    return false;
  }
  bool ok = hmdWriteAll(fd, file.text.data(), file.text.size()) && fchmod(fd, 0644) == 0;
  int saved = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    saved = errno;
  }
  if (ok && rename(temporary.c_str(), written.c_str()) != 0) {
    ok = false;
    saved = errno;
  }
  if (!ok) {
    unlink(temporary.c_str());
    error = "cannot write '" + written + "': " + std::strerror(saved);
  }
  return ok;
}

// The files an earlier install of id recorded in its entry (relative to
// dataDir, only those it may have written, the entry last); an empty list
// when there is no entry. None, with error, for an entry that is not the
// user's own or that +desktop did not write.
std::optional<std::vector<std::string>> readRecord(const std::string& id, const std::string& dataDir,
                                                   std::string& error) {
  std::string entry = dataDir + "/applications/" + id + ".desktop";
  struct stat info;
  if (lstat(entry.c_str(), &info) != 0 && (errno == ENOENT || errno == ENOTDIR)) return std::vector<std::string>{};
  std::string why;
  int fd = hmdOpenOwnFile(entry, O_RDONLY, 0, why);
  if (fd < 0) {
    error = "cannot read '" + entry + "': " + why;
    return std::nullopt;
  }
  std::string text(kMaxEntrySize, '\0');
  ssize_t got = read(fd, text.data(), text.size());
  close(fd);
  text.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  std::size_t key = text.find(std::string("\n") + kDskRecordKey);
  if (key == std::string::npos) {
    error = "'" + entry + "' was not written by +desktop install; it is left as it is";
    return std::nullopt;
  }
  std::size_t start = key + 1 + std::strlen(kDskRecordKey);
  std::string list = text.substr(start, text.find('\n', start) - start);
  std::vector<std::string> paths;
  for (std::size_t at = 0; at < list.size();) {
    std::size_t end = list.find(';', at);
    if (end == std::string::npos) end = list.size();
    std::string path = list.substr(at, end - at);
    at = end + 1;
    if (isRecordablePath(path, id)) paths.push_back(path);
  }
  paths.push_back("applications/" + id + ".desktop");
  return paths;
}

// Removes dataDir/path, a regular file of the user's in a directory that
// passes the own-directory rule; one that is gone already is no error.
bool removeFile(const std::string& dataDir, const std::string& path, std::vector<std::string>& done,
                std::string& error) {
  std::string full = dataDir + "/" + path;
  struct stat info;
  if (lstat(full.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return true;
    error = "cannot remove '" + full + "': " + std::strerror(errno);
    return false;
  }
  std::optional<std::string> resolved = ownPlace(dataDir, path, error);
  if (!resolved) return false;
  if (lstat(resolved->c_str(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    error = "cannot remove '" + full + "': it is no regular file of the user's";
    return false;
  }
  if (unlink(resolved->c_str()) != 0) {
    error = "cannot remove '" + full + "': " + std::strerror(errno);
    return false;
  }
  done.push_back(full);
  return true;
}

}  // namespace

std::optional<std::string> dskDataDirectory(const std::optional<std::string>& prefix) {
  std::string base;
  if (prefix) {
    char cwd[4096];
    std::string anchor = getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/";
    base = utlMakeAbsPath(*prefix, anchor);
    base += base.ends_with('/') ? "share" : "/share";
  } else if (geteuid() == 0) {
    base = "/usr/local/share";
  } else if (const char* xdg = hmdGetEnvironmentValue("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (const char* home = hmdGetEnvironmentValue("HOME"); home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.local/share";
  } else {
    return std::nullopt;
  }
  while (base.size() > 1 && base.ends_with('/')) base.pop_back();
  return base;
}

bool dskInstall(const std::vector<DskFile>& files, const std::string& dataDir, bool refresh,
                std::vector<std::string>& written, std::vector<std::string>& removed, std::string& error) {
  if (files.empty()) return true;
  std::string entry = files.back().path;
  std::string id = entry.substr(entry.rfind('/') + 1);
  id.resize(id.size() - std::strlen(".desktop"));
  std::optional<std::vector<std::string>> earlier = readRecord(id, dataDir, error);
  if (!earlier) return false;
  // A file of that name that no install of this application wrote (a
  // package's, the user's own) is not replaced.
  for (const DskFile& file : files) {
    struct stat info;
    bool recorded = std::find(earlier->begin(), earlier->end(), file.path) != earlier->end();
    if (!recorded && lstat((dataDir + "/" + file.path).c_str(), &info) == 0) {
      error = "'" + dataDir + "/" + file.path + "' exists and was not written by +desktop install; it is left as it is";
      return false;
    }
  }
  bool mime = false;
  for (const DskFile& file : files) {
    std::string path;
    if (!writeFile(dataDir, file, path, error)) {
      // What this install added goes again; the earlier install's files
      // and entry stay as they were.
      std::vector<std::string> ignored;
      std::string unused;
      for (const DskFile& made : files) {
        if (&made == &file) break;
        if (std::find(earlier->begin(), earlier->end(), made.path) == earlier->end()) {
          removeFile(dataDir, made.path, ignored, unused);
        }
      }
      return false;
    }
    written.push_back(dataDir + "/" + file.path);
    mime = mime || file.path.starts_with("mime/");
    std::erase(*earlier, file.path);
  }
  // An install over an earlier one removes what that wrote and this does
  // not (an icon size no longer given).
  for (const std::string& path : *earlier) {
    if (!removeFile(dataDir, path, removed, error)) return false;
    mime = mime || path.starts_with("mime/");
  }
  if (refresh) ::refresh(dataDir, mime);
  return true;
}

bool dskUninstall(const std::string& id, const std::string& dataDir, bool refresh, std::vector<std::string>& done,
                  std::string& error) {
  if (!dskIsValidId(id)) {
    error = "'" + id + "' cannot name a desktop entry";
    return false;
  }
  std::optional<std::vector<std::string>> recorded = readRecord(id, dataDir, error);
  if (!recorded) return false;
  if (recorded->empty()) {
    error = "no desktop entry of '" + id + "' is installed in " + dataDir;
    return false;
  }
  bool mime = false;
  for (const std::string& path : *recorded) {
    if (!removeFile(dataDir, path, done, error)) return false;
    mime = mime || path.starts_with("mime/");
  }
  if (refresh) ::refresh(dataDir, mime);
  return true;
}
