// dsk = desktop integration: the desktop entry, icons and MIME types that
// make an application appear in a desktop's menus and open its files. This
// module decides the files and their text (for the launcher, which installs
// them for a user, and for the packer, which puts them into a package) and
// installs and removes them in a data directory.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The sizes the hicolor theme has directories for; an icon of another size
/// would be looked for nowhere.
inline constexpr std::array<int, 13> kDskIconSizes = {16, 22, 24, 32, 36, 48, 64, 72, 96, 128, 192, 256, 512};
/// An installed desktop entry lists the other files under this key, which
/// desktops ignore.
inline constexpr const char* kDskRecordKey = "X-Jlauncher-Files=";

/// A file type the application opens: mimetype <type> <glob> <description>.
struct DskMimeType {
  std::string type;         ///< "application/x-demo"
  std::string glob;         ///< "*.demo"
  std::string description;  ///< "Demo document"
};

/// What the desktop is told of an application.
struct DskApplication {
  std::string id;                       ///< names its files: <id>.desktop, the icon <id>, <id>.xml
  std::string name;                     ///< Name=; empty: the id
  std::string exec;                     ///< the absolute path that starts it
  std::vector<std::string> icons;       ///< PNG or SVG files, one per size
  std::vector<std::string> categories;  ///< Categories=, in order
  std::vector<DskMimeType> mimeTypes;   ///< repeated types gather their globs
  std::string windowClass{};            ///< StartupWMClass=, the class of its windows; empty: none
};

/// One file of the integration.
struct DskFile {
  std::string path;    ///< relative to the data directory: "applications/demo.desktop"
  std::string text;    ///< the content
  std::string source;  ///< the file an icon's content was read from, for messages; else empty
};

/// Whether id can name a desktop entry, its icon and its MIME package: a
/// file name of letters, digits, '.', '_' and '-', not first a digit, not
/// ending as a file name (".png", ".").
bool dskIsValidId(std::string_view id);
/// Whether an application has anything for the desktop: a name, an icon or
/// a file type configured.
bool dskConfigured(const DskApplication& app);
/// The words of a desktopcategories line ("Office;Viewer" or "Office Viewer");
/// none for a word that is no category name.
std::optional<std::vector<std::string>> dskParseCategories(const std::string& text);
/// The mimetype line's value; none, with why, when malformed.
std::optional<DskMimeType> dskParseMimeType(const std::string& text, std::string& why);
/// The Exec= value that runs path with the files opened ("%F"), quoted and
/// escaped as desktop entries require.
std::string dskExecValue(const std::string& path);
/// The files of the application's integration, in the order they are
/// written (the desktop entry last); with record, the desktop entry lists
/// the others, so that removing it later removes exactly those. None, with
/// error, for an id, icon or path that cannot be written as asked.
std::optional<std::vector<DskFile>> dskPlan(const DskApplication& app, bool record, std::string& error);

/// The data directory +desktop uses: prefix/share when a prefix is given,
/// /usr/local/share for root, else XDG_DATA_HOME or HOME/.local/share. None
/// when nothing names one.
std::optional<std::string> dskDataDirectory(const std::optional<std::string>& prefix);
/// Writes the files into dataDir (directories made as needed, each the
/// effective user's own, mode 0755; files 0644, each written whole before
/// it replaces an earlier one) and, with refresh, updates the desktop's
/// caches there. An earlier install's files that these do not replace are
/// removed; a file of the same name that no install wrote is not replaced.
/// Paths written go to written, those removed to removed. False, with
/// error, when a file cannot be written: what this install added is gone
/// again, and an earlier install stays as it was.
bool dskInstall(const std::vector<DskFile>& files, const std::string& dataDir, bool refresh,
                std::vector<std::string>& written, std::vector<std::string>& removed, std::string& error);
/// Removes what an install of id recorded in dataDir, the desktop entry
/// last, and, with refresh, updates the caches; each path removed goes to
/// done. False, with error, when none is installed or a file cannot be
/// removed.
bool dskUninstall(const std::string& id, const std::string& dataDir, bool refresh, std::vector<std::string>& done,
                  std::string& error);
