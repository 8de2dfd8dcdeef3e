// The application home and the launcher's own location, found from argv[0].

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "host/hmd.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

// Set once at start, before anything else of the launcher runs.
struct LocationState {
  std::optional<std::string> fullLauncherFileName;
  std::optional<std::string> fullLauncherPath;
  std::optional<std::string> appHome;
  std::optional<std::string> appName;
  std::optional<std::string> invokedPath;  ///< the launcher as started, absolute, links kept
};

LocationState location;

// The launcher's own directory below the user's cache directory.
constexpr const char* kCacheSubdirectory = "jlauncher";

std::string copyCut(const std::optional<std::string>& value, int size) {
  if (size <= 0 || !value) return {};
  return value->substr(0, static_cast<std::size_t>(size - 1));
}

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// The file the shell would have run for a bare name: the first PATH element
// holding something of that name (execute permission is not tested, as the
// shell's own lookup may have been done differently). Empty elements are
// skipped rather than meaning the current directory.
std::optional<std::string> findOnPath(const char* argv0) {
  const char* path = hmdGetEnvironmentValue("PATH");
  if (path == nullptr) return std::nullopt;
  for (const std::string& element : utlSplitList(path, ":")) {
    std::string candidate = element.substr(0, kPathMax - 1);
    candidate += '/';
    candidate += argv0;
    candidate.resize(std::min<std::size_t>(candidate.size(), kPathMax - 1));
    if (exists(candidate)) return candidate;
  }
  return std::nullopt;
}

std::optional<std::string> resolve(const std::string& candidate) {
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(candidate.c_str(), nullptr), &std::free);
  // A path the platform's buffers cannot hold counts as unresolvable.
  if (!resolved || std::strlen(resolved.get()) >= static_cast<std::size_t>(kPathMax)) return std::nullopt;
  return std::string(resolved.get());
}

// The launcher normally lies in the bin directory right below the
// application home; a "patches" directory below bin holds replacement
// launchers for the same home.
std::optional<std::string> homeOf(std::string directory) {
  std::size_t slash = directory.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  if (directory.compare(slash + 1, std::string::npos, "patches") == 0) {
    directory.resize(slash);
    slash = directory.rfind('/');
    if (slash == std::string::npos) return std::nullopt;
  }
  directory.resize(slash);
  return directory;
}

}  // namespace

bool hmdSetApplicationHome(const char* argv0, std::string& home, int size) {
  // An empty name would turn every PATH directory itself into a candidate.
  if (*argv0 == '\0') return false;
  std::optional<std::string> candidate;
  if (utlIsSetIdMode()) {
    // The caller chooses argv[0] and PATH: a forged name would make the
    // launcher take another directory for its own, with its configuration
    // and its programs.
    candidate = hmdSelfExecutable();
  } else if (std::strchr(argv0, '/') != nullptr) {
    candidate = argv0;
  } else {
    candidate = findOnPath(argv0);
  }
  if (!candidate) return false;
  char cwd[kPathMax];
  location.invokedPath = utlMakeAbsPath(*candidate, getcwd(cwd, sizeof cwd) != nullptr ? cwd : "/");

  std::optional<std::string> resolved = resolve(*candidate);
  if (!resolved) return false;
  hmdSetFullLauncherFileName(*resolved);

  std::string directory = resolved->substr(0, resolved->rfind('/'));
  hmdSetFullLauncherPath(directory);

  std::optional<std::string> appHome = homeOf(directory);
  if (!appHome) {
    home.clear();
    return false;
  }
  location.appHome = *appHome;
  home = copyCut(location.appHome, size);
  return true;
}

const char* hmdSelfExecutable() {
  // Solaris names it path/a.out. The solaris profile also runs its tests on
  // Linux, which has only exe.
  if (kSolaris && access("/proc/self/path/a.out", F_OK) == 0) return "/proc/self/path/a.out";
  return "/proc/self/exe";
}

void hmdSetFullLauncherFileName(const std::string& path) {
  if (path.empty()) return;
  location.fullLauncherFileName = path;
  ut_tproda("The full launcher filename and path is set = %s", location.fullLauncherFileName->c_str());
}

void hmdSetFullLauncherPath(const std::string& path) {
  if (path.empty()) return;
  location.fullLauncherPath = path;
  ut_tproda("The full launcher path is set = %s", location.fullLauncherPath->c_str());
}

void hmdSetApplicationName(const char* argv0) {
  // The name chooses the configuration beside the launcher; a set-ID
  // launcher goes by its file's own name, not by one its caller gave it.
  if (utlIsSetIdMode() && location.fullLauncherFileName) argv0 = location.fullLauncherFileName->c_str();
  const char* slash = std::strrchr(argv0, '/');
  location.appName = slash ? slash + 1 : argv0;
}

std::string hmdGetFullLauncherFileName(int size) { return copyCut(location.fullLauncherFileName, size); }
std::string hmdGetFullLauncherPath(int size) { return copyCut(location.fullLauncherPath, size); }
std::string hmdGetApplicationHome(int size) { return copyCut(location.appHome, size); }

std::string hmdGetInvokedLauncherPath() { return location.invokedPath.value_or(""); }

const char* hmdGetApplicationName() { return location.appName ? location.appName->c_str() : nullptr; }

std::optional<std::string> hmdUserCacheDirectory() {
  // A privileged launch would write what the caller chooses where the
  // caller chooses.
  if (utlIsSetIdMode()) return std::nullopt;
  const char* xdg = hmdGetEnvironmentValue("XDG_CACHE_HOME");
  const char* service = hmdGetEnvironmentValue("CACHE_DIRECTORY");
  const char* home = hmdGetEnvironmentValue("HOME");
  std::string base;
  const char* below = "";
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (service != nullptr && service[0] == '/') {
    base.assign(service, std::strcspn(service, ":"));
  } else if (home != nullptr && home[0] == '/') {
    base = home;
    below = "/.cache";
  } else {
    return std::nullopt;
  }
  while (base.ends_with('/')) base.pop_back();
  return base + below + "/" + kCacheSubdirectory;
}

std::optional<std::string> hmdUserConfigDirectory() {
  if (utlIsSetIdMode()) return std::nullopt;
  const char* xdg = hmdGetEnvironmentValue("XDG_CONFIG_HOME");
  const char* home = hmdGetEnvironmentValue("HOME");
  std::string base;
  if (xdg != nullptr && xdg[0] == '/') {
    base = xdg;
  } else if (home != nullptr && home[0] == '/') {
    base = std::string(home) + "/.config";
  } else {
    return std::nullopt;
  }
  while (base.size() > 1 && base.ends_with('/')) base.pop_back();
  return base;
}

std::optional<std::string> hmdGetNimbrelProperty(const char* /*name*/) { return std::nullopt; }

void hmdResetApplicationHome() { location = LocationState{}; }

HmdTrust hmdConfigurationTrust() {
  HmdTrust trust;
  const bool setId = utlIsSetIdMode();
  if (!setId) trust.users.push_back(static_cast<unsigned>(geteuid()));
  if (!location.fullLauncherFileName) return trust;
  struct stat launcher;
  if (stat(location.fullLauncherFileName->c_str(), &launcher) == 0) trust.users.push_back(launcher.st_uid);
  // A group that can replace the launcher, or rename a directory above it,
  // chooses what it runs anyway: an installation a group shares (an old
  // /usr/local of group staff), or a user's private group. Its write to a
  // set-ID file, which the system answers by clearing the set-ID bit, does
  // not.
  if (setId) return trust;
  for (std::string path = *location.fullLauncherFileName; !path.empty(); path.erase(path.rfind('/'))) {
    struct stat info;
    bool groupChanges = stat(path.c_str(), &info) == 0 && (info.st_mode & S_IWGRP) != 0 &&
                        !(S_ISDIR(info.st_mode) && (info.st_mode & S_ISVTX) != 0);
    if (groupChanges) trust.groups.push_back(info.st_gid);
  }
  return trust;
}

HmdTrust hmdProjectTrust() {
  HmdTrust trust = hmdConfigurationTrust();
  struct stat working;
  if (!utlIsSetIdMode() && stat(".", &working) == 0) trust.users.push_back(working.st_uid);
  return trust;
}
