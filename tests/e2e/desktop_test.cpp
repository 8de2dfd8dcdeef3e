// +desktop as a user runs it: the entry, icon and file type a desktop finds,
// and removal of exactly what was written.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "launcher.h"

namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kAsNobody = {"/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
                                            "--clear-groups"};

// The start of a 48x48 PNG image: what the icon's size is read from.
const std::string kPng48 = std::string("\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\0\0\x30\0\0\0\x30\x08\x06\0\0\0", 29);

class DesktopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The install runs as another user when the tests run as root, who
    // would write into the machine's own directories.
    fs::permissions(dir.path(), fs::perms(0755));
    app = installLauncher(dir, "My Apps/jldemo");
    dir.writeFile("My Apps/icon.png", kPng48);
    dir.writeFile("My Apps/jldemo.config",
                  "mainclass demo.Main\ndesktopname Demo Viewer\ndesktopicon icon.png\ndesktopcategories Office\n"
                  "mimetype application/x-jldemo *.jldemo Demo document\n");
    data = dir.makeDir("data");
    if (geteuid() == 0) {
      EXPECT_EQ(chown(data.c_str(), 65534, 65534), 0);
    }
  }
  ProcessResult desktop(std::vector<std::string> words) {
    std::vector<std::string> argv = geteuid() == 0 ? kAsNobody : std::vector<std::string>{};
    argv.insert(argv.end(), {app, "+desktop"});
    argv.insert(argv.end(), words.begin(), words.end());
    return runLauncher(argv[0], argv, {{"XDG_DATA_HOME", data}, {"HOME", "/nonexistent"}}, dir.path());
  }
  ProcessResult xdgMime(const std::vector<std::string>& args) {
    std::vector<std::string> argv{"xdg-mime", "query"};
    argv.insert(argv.end(), args.begin(), args.end());
    return runLauncher("/usr/bin/xdg-mime", argv, {{"XDG_DATA_HOME", data}, {"XDG_DATA_DIRS", "/usr/share"}},
                       dir.path());
  }
  TempDir dir;
  std::string app;
  std::string data;
};

TEST_F(DesktopTest, InstallsWhatTheDesktopFindsAndRemovesExactlyThat) {
  std::string files[] = {data + "/icons/hicolor/48x48/apps/jldemo.png", data + "/mime/packages/jldemo.xml",
                               data + "/applications/jldemo.desktop"};
  ProcessResult installed = desktop({"install"});
  EXPECT_EQ(installed.err, "");
  EXPECT_EQ(installed.out, "Installed " + files[0] + "\nInstalled " + files[1] + "\nInstalled " + files[2] + "\n");
  EXPECT_EQ(installed.status, 0);
  EXPECT_EQ(readFile(files[0]), kPng48);
  EXPECT_NE(readFile(files[2]).find("\nExec=\"" + app + "\" %F\n"), std::string::npos) << readFile(files[2]);
  if (access("/usr/bin/desktop-file-validate", X_OK) == 0) {
    ProcessResult valid = runLauncher("/usr/bin/desktop-file-validate", {"desktop-file-validate", files[2]});
    EXPECT_EQ(valid.out + valid.err, "");
    EXPECT_EQ(valid.status, 0);
  }
  dir.writeFile("report.jldemo", "");
  if (access("/usr/bin/xdg-mime", X_OK) == 0) {
    EXPECT_EQ(xdgMime({"filetype", "report.jldemo"}).out, "application/x-jldemo\n");
    EXPECT_EQ(xdgMime({"default", "application/x-jldemo"}).out, "jldemo.desktop\n");
  }

  // Installed again with another icon, the first one's size is gone.
  std::string png = files[0];
  files[0] = data + "/icons/hicolor/scalable/apps/jldemo.svg";
  dir.writeFile("My Apps/icon.svg", "<svg xmlns=\"http://www.w3.org/2000/svg\"/>");
  std::string config = readFile(dir.file("My Apps/jldemo.config"));
  dir.writeFile("My Apps/jldemo.config", config.replace(config.find("icon.png"), 8, "icon.svg"));
  installed = desktop({"install"});
  EXPECT_EQ(installed.err, "");
  EXPECT_EQ(installed.out, "Installed " + files[0] + "\nInstalled " + files[1] + "\nInstalled " + files[2] +
                               "\nRemoved " + png + "\n");
  EXPECT_FALSE(fs::exists(png));

  // A record edited to name other files removes none of them.
  std::string entry = readFile(files[2]);
  std::string victim = dir.writeFile("data/victim.png", "kept");
  entry.insert(entry.find("X-Jlauncher-Files=") + 18, "icons/hicolor/48x48/apps/../../../../victim.png;../victim.png;");
  dir.writeFile("data/applications/jldemo.desktop", entry);
  if (geteuid() == 0) {
    EXPECT_EQ(chown(files[2].c_str(), 65534, 65534), 0);
  }
  ProcessResult removed = desktop({"uninstall"});
  EXPECT_EQ(removed.err, "");
  EXPECT_EQ(removed.out, "Removed " + files[0] + "\nRemoved " + files[1] + "\nRemoved " + files[2] + "\n");
  EXPECT_EQ(removed.status, 0);
  for (const std::string& file : files) EXPECT_FALSE(fs::exists(file)) << file;
  EXPECT_EQ(readFile(victim), "kept");
  if (access("/usr/bin/xdg-mime", X_OK) == 0) {
    EXPECT_NE(xdgMime({"filetype", "report.jldemo"}).out, "application/x-jldemo\n");
  }

  ProcessResult again = desktop({"uninstall"});
  EXPECT_EQ(again.err, "Error: +desktop uninstall: no desktop entry of 'jldemo' is installed in " + data + ".\n");
  EXPECT_EQ(again.status, 1);
}

TEST_F(DesktopTest, RefusesWhatItCannotDoAsAsked) {
  struct Row {
    std::vector<std::string> words;
    std::string config;  ///< replaces the application's configuration when given
    int dataMode;        ///< the data directory's mode
    std::string err;
  };
  const std::string configFile = dir.path() + "/My Apps/jldemo.config";
  const Row rows[] = {
      {{}, "", 0755, "Error: +desktop takes install or uninstall, then optionally --prefix <dir>.\n"},
      {{"remove"}, "", 0755,
       "Error: 'remove' is no word of +desktop, which takes install or uninstall, then optionally --prefix <dir>.\n"},
      {{"install", "--prefix"}, "", 0755, "Error: --prefix of +desktop needs a directory.\n"},
      // Anyone could replace what is written into a directory all may write.
      {{"install"}, "", 0777,
       "Error: +desktop install: cannot write into '" + data + "': every user can change '" + data +
           "'; the launcher writes only a regular file of its own with one name, in a directory that nobody but root "
           "and the user running it can change.\n"},
      {{"install"}, "mainclass demo.Main\n", 0755,
       "Error: jldemo configures nothing for the desktop: give it a desktopname, desktopicon, desktopcategories or "
       "mimetype line.\n"},
      {{"install"}, "mainclass demo.Main\nmimetype application/x-jldemo *.jldemo\n", 0755,
       "Error: Invalid file type in 'mimetype application/x-jldemo *.jldemo' at line 2 in configuration file '" +
           configFile +
           "'.\nA file type is a media type, a file name pattern and a description, as in mimetype "
           "application/x-demo *.demo Demo document.\n"},
  };
  for (const Row& row : rows) {
    if (!row.config.empty()) dir.writeFile("My Apps/jldemo.config", row.config);
    chmod(data.c_str(), static_cast<mode_t>(row.dataMode));
    ProcessResult result = desktop(row.words);
    EXPECT_EQ(result.err, row.err);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.status, 1) << row.err;
  }
}

}  // namespace
