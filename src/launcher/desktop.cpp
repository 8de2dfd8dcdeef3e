// +desktop: the application's desktop entry, icons and file types, written
// for the user (or, as root, for every user of the machine) or removed.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "config/cfg.h"
#include "host/dsk.h"
#include "host/hmd.h"
#include "launcher/jap.h"
#include "util/utl.h"

namespace {

constexpr const char* kUsageMsg = "Error: +desktop takes install or uninstall, then optionally --prefix <dir>.\n";
constexpr const char* kUnknownWordMsg =
    "Error: '%s' is no word of +desktop, which takes install or uninstall, then optionally --prefix <dir>.\n";
constexpr const char* kPrefixMissingMsg = "Error: --prefix of +desktop needs a directory.\n";
constexpr const char* kNoDataDirectoryMsg =
    "Error: No directory for desktop entries: set XDG_DATA_HOME or HOME, or give --prefix.\n";
constexpr const char* kFailedMsg = "Error: +desktop %s: %s.\n";
constexpr const char* kInstalledMsg = "Installed %s\n";
constexpr const char* kRemovedMsg = "Removed %s\n";

struct DesktopRequest {
  bool install = false;
  std::optional<std::string> prefix;
};

std::optional<DesktopRequest> readWords(const std::vector<std::string>& words) {
  DesktopRequest request;
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::string& word = words[i];
    if (i == 0 && (word == "install" || word == "uninstall")) {
      request.install = word == "install";
    } else if (i > 0 && word == "--prefix" && i + 1 < words.size() && !words[i + 1].empty()) {
      request.prefix = words[++i];
    } else if (i > 0 && word.starts_with("--prefix=") && word.size() > 9) {
      request.prefix = word.substr(9);
    } else {
      utlReport(word.starts_with("--prefix") ? kPrefixMissingMsg : kUnknownWordMsg, word.c_str());
      return std::nullopt;
    }
  }
  if (words.empty()) {
    utlReport("%s", kUsageMsg);
    return std::nullopt;
  }
  return request;
}

}  // namespace

int japDesktopCommand(const std::vector<std::string>& words) {
  std::optional<DesktopRequest> request = readWords(words);
  if (!request) return 1;
  std::optional<std::string> dataDir = dskDataDirectory(request->prefix);
  if (!dataDir) {
    utlReport("%s", kNoDataDirectoryMsg);
    return 1;
  }
  const char* verb = request->install ? "install" : "uninstall";
  const char* name = hmdGetApplicationName();
  std::vector<std::string> done;
  std::string error;
  bool ok = false;
  if (request->install) {
    // The option exists only where the configuration has desktop lines.
    DskApplication app = cfgGetDesktop();
    app.id = name;
    app.exec = hmdGetFullLauncherFileName();
    std::optional<std::vector<DskFile>> files = dskPlan(app, true, error);
    ok = files && dskInstall(*files, *dataDir, true, done, error);
  } else {
    ok = dskUninstall(name, *dataDir, done, error);
  }
  for (const std::string& path : done) std::printf(request->install ? kInstalledMsg : kRemovedMsg, path.c_str());
  std::fflush(stdout);
  if (!ok) utlReport(kFailedMsg, verb, error.c_str());
  return ok ? 0 : 1;
}
