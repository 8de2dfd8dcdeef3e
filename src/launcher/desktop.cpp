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
constexpr const char* kNothingConfiguredMsg =
    "Error: %s configures nothing for the desktop: give it a desktopname, desktopicon, desktopcategories or "
    "mimetype line.\n";
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
  if (words.empty()) {
    utlReport("%s", kUsageMsg);
    return std::nullopt;
  }
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
      utlReport(i > 0 && word.starts_with("--prefix") ? kPrefixMissingMsg : kUnknownWordMsg, word.c_str());
      return std::nullopt;
    }
  }
  return request;
}

void print(const char* format, const std::vector<std::string>& paths) {
  for (const std::string& path : paths) std::printf(format, path.c_str());
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
  const char* name = hmdGetApplicationName();
  // A prefix is a staging directory or a tree of its own: the desktop reads
  // no cache there.
  bool refresh = !request->prefix;
  std::vector<std::string> written;
  std::vector<std::string> removed;
  std::string error;
  bool ok = false;
  if (request->install) {
    DskApplication app = cfgGetDesktop();
    if (!dskConfigured(app)) {
      utlReport(kNothingConfiguredMsg, name);
      return 1;
    }
    app.id = name;
    // The name it was started by: through a link of another name, the
    // resolved file reads another configuration.
    app.exec = hmdGetInvokedLauncherPath();
    // AWT names its windows' class after the main class, dots as dashes.
    if (const char* mainClass = cfgGetMainClass()) {
      app.windowClass = mainClass;
      for (char& c : app.windowClass) c = c == '.' ? '-' : c;
    }
    std::optional<std::vector<DskFile>> files = dskPlan(app, true, error);
    ok = files && dskInstall(*files, *dataDir, refresh, written, removed, error);
  } else {
    ok = dskUninstall(name, *dataDir, refresh, removed, error);
  }
  print(kInstalledMsg, written);
  print(kRemovedMsg, removed);
  std::fflush(stdout);
  if (!ok) utlReport(kFailedMsg, request->install ? "install" : "uninstall", error.c_str());
  return ok ? 0 : 1;
}
