// The configuration as a user writes it: a file beside the renamed launcher,
// or the comment of an archive appended to the launcher itself.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "launcher.h"
#include "util/utrace.h"

namespace {


class ConfigE2ETest : public ::testing::Test {
 protected:
  std::string install(const std::string& name = "myapp") { return launcher = installLauncher(dir, "app/bin/" + name); }

  // Appends a ZIP archive whose comment is the given text to the launcher.
  void appendArchive(const std::string& comment) {
    dir.writeFile("archive/payload.txt", "payload");
    dir.writeFile("archive/comment.txt", comment);
    std::string command = "cd '" + dir.file("archive") + "' && zip -q app.zip payload.txt && " +
                          (comment.empty() ? std::string("true") : "zip -q -z app.zip < comment.txt");
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::ofstream(launcher, std::ios::binary | std::ios::app) << readFile(dir.file("archive/app.zip"));
  }

  ProcessResult run(std::vector<std::string> args = {}, std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), launcher);
    // No Java on PATH: the launch ends right after the configuration.
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(launcher, args, env, dir.path());
  }

  TempDir dir;
  std::string launcher;
};

TEST_F(ConfigE2ETest, ConfigurationErrorEndsTheLaunchWithOne) {
  install();
  dir.writeFile("app/bin/myapp.config", "mainclass a.Main\n\nvmtype fast\n");
  ProcessResult result = run();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: Unrecognized VM type in 'vmtype fast' at line 3 in configuration file '" +
                            dir.file("app/bin/myapp.config") + "'.\n");
  EXPECT_EQ(result.out, "");
}

// Hostile configurations end at once (the process is killed after a few
// seconds otherwise), with their message and nothing of the archive comment.
TEST_F(ConfigE2ETest, HostileConfigurationsEndAtOnce) {
  install();
  appendArchive("mainclass from.Comment\n");
  std::string config = dir.file("app/bin/myapp.config");
  ASSERT_EQ(mkfifo(config.c_str(), 0644), 0);
  ProcessCommand command{launcher, {launcher}, {{"PATH", kPathWithoutJava}}, dir.path(), 5, {}, {}};
  ProcessResult result = runProcess(command);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: Configuration file '" + config + "' is not a regular file.\n");

  std::filesystem::remove(config);
  dir.writeFile("app/bin/myapp.config", "includedir .\nincludedir .\n");
  result = runProcess(command);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: Configuration file '" + config + "' is included again while it is read, at line 1 "
                        "in configuration file '" + config + "'.\n");
}

TEST_F(ConfigE2ETest, ProcessedLinesAreTraced) {
  install();
  dir.makeDir("app/lib");
  dir.writeFile("app/bin/myapp.config", "# the application\nset LIB=../lib\r\naddpath $var(LIB)\r\n");
  ProcessResult result = run({}, {{"UTRACE", "-p"}});
  EXPECT_NE(result.out.find("Look for Configuration file " + dir.file("app/bin/myapp.config") + "\n"
                            "Processed <set LIB=../lib> from <myapp.config>\n"
                            "Processed <addpath ../lib> from <myapp.config>\n"),
            std::string::npos)
      << result.out;
  EXPECT_EQ(result.err, kNoJavaMsg);

  // A line too long for the trace ends the launch where it is met.
  dir.writeFile("app/bin/myapp.config", "set LIB=../lib\nmainclass " + std::string(kTraceLineMax, 'a') + "\nbogus\n");
  result = run({}, {{"UTRACE", "-p"}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "UTRACE BUFFER OVERFLOW!!!!\n");
  EXPECT_TRUE(result.out.ends_with("Processed <set LIB=../lib> from <myapp.config>\nC runtime exit() was called\n"))
      << result.out.substr(0, 1000);
}

TEST_F(ConfigE2ETest, ArchiveCommentIsTheConfigurationWhenNoFileExists) {
  install();
  appendArchive("mainclass a.Main\naddpath lib\n");
  ProcessResult result = run({}, {{"UTRACE", "-p"}});
  // Read in memory, as the executable's own lines.
  EXPECT_NE(result.out.find("Processing the zipfile comment of <" + launcher + ">\n"
                            "Processed <mainclass a.Main> from <myapp>\n"),
            std::string::npos)
      << result.out;
  // Relative paths of the comment are relative to the launcher's directory.
  EXPECT_NE(result.out.find("Ignoring '" + dir.file("app/bin/lib") + "' - it does not exist\n"), std::string::npos);
  EXPECT_EQ(result.err, kNoJavaMsg);

  // Its errors name the file that carries it.
  install();
  appendArchive("mainclass a.Main\nbogus\n");
  result = run();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: Unrecognized directive 'bogus' at line 2 in configuration file '" + launcher + "'.\n");
}

TEST_F(ConfigE2ETest, DefaultFileWinsOverTheArchiveComment) {
  install();
  appendArchive("bogus directive\n");
  dir.writeFile("app/bin/myapp.config", "mainclass a.Main\n");
  EXPECT_EQ(run().err, kNoJavaMsg);
}

TEST_F(ConfigE2ETest, WithoutFileOrCommentTheDefaultFileIsMissing) {
  for (const char* comment : std::initializer_list<const char*>{"", nullptr}) {
    install();
    if (comment != nullptr) appendArchive(comment);
    ProcessResult result = run();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "Error: Unable to open configuration file '" + dir.file("app/bin/myapp.config") + "'.\n");
  }
}

TEST_F(ConfigE2ETest, CorruptArchiveCommentLengthMeansNoComment) {
  install();
  appendArchive("mainclass a.Main\n");
  // Make the recorded comment length point past the end of the file.
  std::string content = readFile(launcher);
  std::size_t record = content.rfind("PK\x05\x06");
  ASSERT_NE(record, std::string::npos);
  content[record + 20] = static_cast<char>(content[record + 20] + 1);
  dir.writeFile("app/bin/myapp", content, 0755);
  EXPECT_EQ(run().err, "Error: Unable to open configuration file '" + dir.file("app/bin/myapp.config") + "'.\n");
}

TEST_F(ConfigE2ETest, IncludedFileErrorsNameBothLines) {
  install();
  dir.writeFile("app/etc/common.config", "mainclass a.Main\n\nfoo bar\n");
  dir.writeFile("app/bin/myapp.config", "\n\n\n\n\n\ninclude ../etc/common.config\n");
  ProcessResult result = run();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: Unrecognized directive 'foo bar' at line 3 in configuration file '" +
                            dir.file("app/etc/common.config") +
                            "'.\nError: Unable to process 'include ../etc/common.config' at line 7 in configuration "
                            "file '" +
                            dir.file("app/bin/myapp.config") + "'.\n");
}

}  // namespace
