// The start-up cache on the real JDKs: the first launch records the
// application's class-data archive and later launches map it, as the JVM's
// own class loading log tells; an archive that was damaged, went stale or
// that the JVM refuses is recorded again without a word on the terminal; a
// cache directory the launcher cannot write means running without it. On
// Java 25 the cache is made after the launcher has ended, by a process of
// its own, which the tests wait for.

#include <dirent.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "launcher.h"
#include "notify.h"

namespace {

namespace fs = std::filesystem;

class StartupCacheTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    if (javaMajor() < 13) GTEST_SKIP() << "Java before 13 records no archive of an application's classes";
    launcher = installLauncher(dir, "app/bin/myapp");
    jar = dir.copyFile(testAppsJar(), "app/lib/jltest.jar");
    log = dir.file("classes.log");
    dir.writeFile("app/bin/myapp.config", "javahome " + GetParam() +
                                              "\naddpath ../lib/jltest.jar\nmainclass jltest.Status\n"
                                              "vmparam -Xlog:class+load=info:file=" + log +
                                              "\noptions startupcache\n");
    cache = dir.file("cache/jlauncher");
  }
  ProcessCommand command(std::vector<std::string> args, std::map<std::string, std::optional<std::string>> env = {}) {
    ProcessCommand command;
    command.program = launcher;
    command.argv = {launcher};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    command.env = std::move(env);
    command.env.emplace("PATH", kPathWithoutJava);
    command.env.emplace("XDG_CACHE_HOME", dir.file("cache"));
    command.cwd = dir.path();
    return command;
  }
  // Runs the application as a user would; true when the JVM took the main
  // class from the archive.
  bool runMapped() { return runMapped(command({"status", "0"})); }
  bool runMapped(const ProcessCommand& launch) {
    ProcessResult result = runProcess(launch);
    cacheFiles();
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "main returns\nstatus 0\n");
    EXPECT_EQ(result.err, "");
    return readFile(log).find("jltest.Status source: shared objects file") != std::string::npos;
  }
  // The files of the cache once no launch records or creates anything in
  // it (a recording holds a lock file, a write goes through a temporary).
  std::vector<std::string> cacheFiles() const {
    auto busy = [](const std::string& name) { return name.ends_with(".lock") || name.ends_with(".tmp"); };
    std::vector<std::string> names;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);;) {
      names.clear();
      if (fs::is_directory(cache)) {
        for (const auto& entry : fs::directory_iterator(cache)) names.push_back(entry.path().filename());
      }
      if (std::none_of(names.begin(), names.end(), busy) || std::chrono::steady_clock::now() > deadline) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  int javaMajor() const {
    std::string release = readFile(GetParam() + "/release");
    std::size_t version = release.find("JAVA_VERSION=\"");
    return version == std::string::npos ? 0 : std::stoi(release.substr(version + 14));
  }
  // The archive and its stamp, the only files of the cache.
  std::pair<std::string, std::string> archiveAndStamp() const {
    std::vector<std::string> names = cacheFiles();
    EXPECT_EQ(names.size(), 2u) << ::testing::PrintToString(names);
    if (names.size() != 2u) return {};
    EXPECT_TRUE(names[0].ends_with(".aot") || names[0].ends_with(".jsa")) << names[0];
    EXPECT_EQ(names[1], names[0].substr(0, names[0].size() - 4) + ".stamp");
    return {cache + "/" + names[0], cache + "/" + names[1]};
  }
  TempDir dir;
  std::string launcher, jar, log, cache;
};

TEST_P(StartupCacheTest, FirstLaunchesRecordAndLaterOnesMap) {
  // Two first launches at once, one ending through System.exit: one records
  // while the other runs without the cache, and what ends up published is
  // whole.
  RunningProcess exiting(command({"exit", "4"}));
  RunningProcess returning(command({"status", "0"}));
  ProcessResult exited = exiting.finish();
  ProcessResult returned = returning.finish();
  EXPECT_EQ(exited.status, 4);
  EXPECT_EQ(exited.out + exited.err, "");
  EXPECT_EQ(returned.status, 0);
  EXPECT_EQ(returned.out, "main returns\nstatus 0\n");
  EXPECT_EQ(returned.err, "");
  archiveAndStamp();
  EXPECT_TRUE(runMapped()) << readFile(log);
  EXPECT_TRUE(runMapped());
  EXPECT_EQ(cacheFiles().size(), 2u);
}

// Which archives are stale is the planner's (its unit test has the rows);
// what is left for a real JVM is an archive damaged behind an unchanged size,
// and one the JVM itself refuses.
TEST_P(StartupCacheTest, DamagedOrRefusedArchivesAreRecordedAgainSilently) {
  ASSERT_FALSE(runMapped());
  ASSERT_TRUE(runMapped());
  auto overwrite = [](const std::string& path, std::streamoff at, const std::string& bytes) {
    fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(at);
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  };
  struct Case {
    const char* name;
    std::function<void(const std::string& archive, const std::string& stamp)> damage;
    int launches;  ///< until the JVM maps the archive again
  } cases[] = {
      {"bytes changed", [&](const std::string& archive, const std::string&) {
         overwrite(archive, static_cast<std::streamoff>(fs::file_size(archive) / 2), std::string(4096, '\xff'));
       }, 2},
      // Behind a stamp that matches it: the JVM itself refuses the file,
      // which is removed, and the next launch records again.
      {"refused by the JVM", [&](const std::string& archive, const std::string& stamp) {
         overwrite(archive, 0, std::string(4096, '\0'));
         std::istringstream published(readFile(stamp));
         std::string format, size, seconds, nanoseconds, classPath;
         std::getline(published, format);
         published >> size >> seconds >> nanoseconds >> classPath;
         struct stat st;
         ASSERT_EQ(stat(archive.c_str(), &st), 0);
         std::ofstream(stamp) << format << "\n" << st.st_size << " " << st.st_mtim.tv_sec << " " << st.st_mtim.tv_nsec
                              << " " << classPath << "\n";
       }, 3},
  };
  for (const Case& c : cases) {
    auto [archive, stamp] = archiveAndStamp();
    c.damage(archive, stamp);
    int launches = 1;
    while (!runMapped() && launches < 4) ++launches;
    EXPECT_EQ(launches, c.launches) << c.name;
  }
  archiveAndStamp();
}

TEST_P(StartupCacheTest, PrintedCommandUsesTheArchive) {
  ProcessResult printed = runProcess(command({"+javacmd", "status", "0"}));
  // Nothing is recorded for a command that is only printed, nor for a check.
  EXPECT_EQ(printed.out.find("*=off"), std::string::npos) << printed.out;
  EXPECT_EQ(runProcess(command({"+check", "status", "0"})).status, 0);
  ASSERT_FALSE(runMapped());
  auto [archive, stamp] = archiveAndStamp();
  printed = runProcess(command({"+javacmd", "status", "0"}));
  ASSERT_EQ(printed.status, 0) << printed.err;
  std::string option = (archive.ends_with(".aot") ? " -XX:AOTCache=" : " -XX:SharedArchiveFile=") + archive + " ";
  EXPECT_NE(printed.out.find(option), std::string::npos) << printed.out;

  ProcessCommand shell;
  shell.program = "/bin/sh";
  shell.argv = {"sh", "-c", printed.out};
  ProcessResult ran = runProcess(shell);
  EXPECT_EQ(ran.out, "main returns\n");
  EXPECT_EQ(ran.err, "");
  EXPECT_NE(readFile(log).find("jltest.Status source: shared objects file"), std::string::npos);
}

// A service of systemd's with CacheDirectory= may have neither HOME nor
// XDG_CACHE_HOME (a root service), or a HOME it cannot write (User=,
// DynamicUser=): the cache is in the first directory the manager made.
TEST_P(StartupCacheTest, ServicesCacheDirectoryHoldsTheCache) {
  if (GetParam() != testJdkHome()) GTEST_SKIP() << "the directory does not depend on the runtime";
  std::string service = dir.makeDir("service");
  cache = service + "/jlauncher";
  ProcessCommand bare = command({});
  bare.program = "/usr/bin/env";
  bare.argv = {"env", "-i", "CACHE_DIRECTORY=" + service + ":" + dir.file("logs"),
               "PATH=" + std::string(kPathWithoutJava), launcher, "status", "0"};
  EXPECT_FALSE(runMapped(bare));
  archiveAndStamp();
  EXPECT_TRUE(runMapped(bare)) << readFile(log);
  EXPECT_FALSE(fs::exists(dir.file("cache")));

  // A DynamicUser= service: a user of its own without a home, and the
  // directory reached through the link systemd makes to it.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to run as another user";
  fs::permissions(dir.path(), fs::perms(0755));
  std::string owned = dir.makeDir("var/cache/private/myapp");
  std::string logs = dir.makeDir("logs");
  for (const std::string& mine : {owned, logs}) ASSERT_EQ(chown(mine.c_str(), 65534, 65534), 0);
  dir.symlink("private/myapp", "var/cache/myapp");
  std::string config = readFile(dir.file("app/bin/myapp.config"));
  config.replace(config.find(log), log.size(), logs + "/classes.log");
  dir.writeFile("app/bin/myapp.config", config);
  log = logs + "/classes.log";
  cache = owned + "/jlauncher";
  bare.argv = {"env", "-i", "CACHE_DIRECTORY=" + dir.file("var/cache/myapp"), "HOME=/nonexistent",
               "PATH=" + std::string(kPathWithoutJava), "/usr/bin/setpriv", "--reuid=nobody", "--regid=nogroup",
               "--clear-groups", launcher, "status", "0"};
  EXPECT_FALSE(runMapped(bare));
  archiveAndStamp();
  EXPECT_TRUE(runMapped(bare)) << readFile(log);
}

TEST_P(StartupCacheTest, UnwritableCacheDirectoryMeansRunningWithout) {
  std::string file = dir.writeFile("cache", "a file where the directory belongs\n");
  ProcessResult result = runProcess(command({"status", "0"}, {{"UTRACE", "-p"}}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find("Start-up cache: cannot write to '" + file + "/jlauncher' (Not a directory): running "
                            "without it\n"),
            std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("\nmain returns\n"), std::string::npos);
  EXPECT_EQ(readFile(file), "a file where the directory belongs\n");
}

// Trusted as ssh trusts ~/.ssh: a cache another user could have written, or
// files that are not what they seem, never reach the JVM, and the launch
// runs as it would without the cache.
TEST_P(StartupCacheTest, CacheOthersCanChangeIsNotUsed) {
  if (GetParam() != testJdkHome()) GTEST_SKIP() << "the rules do not depend on the runtime";
  std::string secret = dir.writeFile("secret", "the user's own\n", 0600);
  auto replaceArchiveAndStamp = [&](auto replace) {
    ASSERT_FALSE(runMapped());
    auto [archive, stamp] = archiveAndStamp();
    for (const std::string& file : {archive, stamp}) {
      fs::remove(file);
      replace(file);
    }
  };
  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::string trace;  ///< why the cache is not used, when it is not
  } cases[] = {
      {"another user's directory",
       [&] { ASSERT_EQ(chown(dir.makeDir("cache/jlauncher").c_str(), 65534, 65534), 0); },
       "'" + cache + "' belongs to user 'nobody'"},
      {"a directory all can write", [&] { fs::permissions(dir.makeDir("cache/jlauncher"), fs::perms(0777)); },
       "every user can change '" + cache + "'"},
      {"in a directory all can write", [&] { fs::permissions(dir.makeDir("cache"), fs::perms(0777)); },
       "every user can change '" + dir.file("cache") + "'"},
      {"links to the user's files",
       [&] { replaceArchiveAndStamp([&](const std::string& file) { fs::create_symlink(secret, file); }); }, ""},
      {"a FIFO", [&] { replaceArchiveAndStamp([](const std::string& file) { mkfifo(file.c_str(), 0600); }); }, ""},
      {"links to a device",
       [&] { replaceArchiveAndStamp([](const std::string& file) { fs::create_symlink("/dev/zero", file); }); }, ""},
  };
  for (const Case& c : cases) {
    if (c.name == std::string("another user's directory") && geteuid() != 0) continue;
    fs::remove_all(dir.file("cache"));
    c.prepare();
    ProcessCommand traced = command({"status", "0"}, {{"UTRACE", "-p"}});
    traced.timeoutSeconds = 30;
    ProcessResult result = runProcess(traced);
    EXPECT_EQ(result.status, 0) << c.name;
    EXPECT_EQ(result.err, "") << c.name;
    EXPECT_NE(result.out.find("\nmain returns\n"), std::string::npos) << c.name << result.out;
    EXPECT_EQ(readFile(secret), "the user's own\n") << c.name;
    if (c.trace.empty()) {
      // Recorded again, as regular files of the user's.
      auto [archive, stamp] = archiveAndStamp();
      EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(archive)) && fs::is_regular_file(fs::symlink_status(stamp)))
          << c.name;
    } else {
      EXPECT_NE(result.out.find("Start-up cache: " + c.trace + ": running without it\n"), std::string::npos)
          << c.name << result.out;
      EXPECT_EQ(cacheFiles(), std::vector<std::string>{}) << c.name;
    }
  }
}

TEST_P(StartupCacheTest, FailedRecordingIsNotRepeated) {
  // A runtime whose cache a second JVM makes (Java 25 and later) with a java
  // that fails in its place.
  std::string release = readFile(GetParam() + "/release");
  std::size_t version = release.find("JAVA_VERSION=\"");
  if (version == std::string::npos || std::stoi(release.substr(version + 14)) < 25) {
    GTEST_SKIP() << "Java before 25 records its archive in the application's own JVM";
  }
  std::string home = dir.makeDir("jdk");
  dir.writeFile("jdk/release", release);
  dir.symlink(GetParam() + "/lib", "jdk/lib");
  dir.writeFile("jdk/bin/java", "#!/bin/sh\nexit 1\n", 0755);
  std::string config = readFile(dir.file("app/bin/myapp.config"));
  dir.writeFile("app/bin/myapp.config", "javahome " + home + "\n" + config.substr(config.find('\n') + 1));

  EXPECT_FALSE(runMapped());
  std::vector<std::string> files = cacheFiles();
  ASSERT_EQ(files.size(), 1u) << ::testing::PrintToString(files);
  EXPECT_TRUE(files[0].ends_with(".failed")) << files[0];
  ProcessResult result = runProcess(command({"status", "0"}, {{"UTRACE", "-p"}}));
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_NE(result.out.find(".aot failed before: running without it\n"), std::string::npos) << result.out;
  EXPECT_EQ(cacheFiles(), files);
}

// The quick profile: the archive, as with the start-up cache, and the JIT's
// first tier alone, as the JVM's own compilation log tells. Compilations
// finish before the method that asked for them goes on: on a busy machine
// the short application would otherwise end before any had.
TEST_P(StartupCacheTest, QuickStartMapsTheArchiveWithTheFirstTierAlone) {
  std::string jit = dir.file("jit.log");
  std::string config = readFile(dir.file("app/bin/myapp.config"));
  dir.writeFile("app/bin/myapp.config", config.substr(0, config.find("options startupcache")) +
                                            "vmparam -Xlog:jit+compilation=debug:file=" + jit +
                                            "\nvmparam -XX:-BackgroundCompilation\noptions quickstart\n");
  EXPECT_FALSE(runMapped());
  EXPECT_TRUE(runMapped()) << readFile(log);
  // "<id> <attributes> <tier> <method> ...", tier 0 for native wrappers.
  std::regex compiled(R"(\]\s+\d+[%sbn! ]*([1-4])\s+\S+::)");
  std::string compilations = readFile(jit);
  std::set<std::string> tiers;
  for (std::sregex_iterator it(compilations.begin(), compilations.end(), compiled), end; it != end; ++it) {
    tiers.insert((*it)[1]);
  }
  EXPECT_EQ(tiers, std::set<std::string>{"1"}) << readFile(jit);
}

// The first launch does not wait for the ahead-of-time cache: a process of
// its own makes it afterwards, in a session of its own, without a terminal,
// at the lowest priority, with /dev/null for its standard files and nothing
// else of the launcher's open but its lock.
TEST_P(StartupCacheTest, CacheIsCreatedAfterTheLaunchHasEnded) {
  if (javaMajor() < 25) GTEST_SKIP() << "Java before 25 records its archive in the application's own JVM";
  ProcessResult result = runProcess(command({"exit", "4"}));
  EXPECT_EQ(result.status, 4);
  EXPECT_EQ(result.out + result.err, "");
  auto openFiles = [](const fs::path& process) {
    std::error_code error;
    std::vector<std::string> open;
    for (const auto& fd : fs::directory_iterator(process / "fd", error)) open.push_back(fs::read_symlink(fd, error));
    std::sort(open.begin(), open.end());
    return open;
  };
  for (const auto& process : fs::directory_iterator("/proc")) {
    std::vector<std::string> open = openFiles(process.path());
    auto isLock = [this](const std::string& file) { return file.starts_with(cache) && file.ends_with(".lock"); };
    if (std::none_of(open.begin(), open.end(), isLock)) continue;
    // After the command's name: state, parent, group, session, terminal,
    // ... and the niceness, which the process sets once detached.
    std::vector<std::string> field;
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
         std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(10))) {
      std::string stat = readFile(process.path() / "stat");
      std::istringstream fields(stat.substr(std::min(stat.size(), stat.rfind(')') + 2)));
      field.assign(std::istream_iterator<std::string>(fields), {});
      if (field.size() <= 16 || field[16] == "19") break;
    }
    if (field.size() <= 16) continue;  // it has ended
    EXPECT_EQ(field[16], "19");
    EXPECT_NE(std::stol(field[3]), static_cast<long>(getsid(0)));
    EXPECT_EQ(field[4], "0");
    open = openFiles(process.path());
    EXPECT_LE(open.size(), 4u) << ::testing::PrintToString(open);
    for (const std::string& file : open) EXPECT_TRUE(file == "/dev/null" || isLock(file)) << file;
  }
  archiveAndStamp();
  EXPECT_TRUE(runMapped()) << readFile(log);
}

// Under a service manager, a recording launch asks for more time first: the
// cache is made before it ends, within the start or stop timeout. A stop
// asks again at once, before the JVM writes what it recorded.
TEST_P(StartupCacheTest, RecordingUnderAServiceManagerAsksForTime) {
  NotifyListener manager(true, "");
  ProcessResult result = runProcess(command({"status", "0"}, {{"NOTIFY_SOCKET", manager.address()}}));
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(manager.waitFor("EXTEND_TIMEOUT_USEC=60000000", 1000)) << ::testing::PrintToString(manager.messages());
  auto [archive, stamp] = archiveAndStamp();

  // A recording stopped before it ended left its temporary files: the next
  // recording removes them, however young.
  std::string base = archive.substr(0, archive.size() - 4);
  fs::remove(archive);
  fs::remove(stamp);
  for (const std::string& leftover : {base + ".Ab12Cd.jsa.tmp", archive + ".Ab12Cd.tmp", stamp + ".Ab12Cd.tmp"}) {
    std::ofstream{leftover};
  }
  EXPECT_FALSE(runMapped());
  archiveAndStamp();

  fs::remove_all(cache);
  dir.writeFile("app/bin/myapp.config", readFile(dir.file("app/bin/myapp.config")) +
                                            "options handleexit\nmainclass jltest.Waiter\n");
  NotifyListener stopping(true, "");
  std::string until = dir.file("until");
  RunningProcess process(command({"1", "until=" + until}, {{"NOTIFY_SOCKET", stopping.address()}}));
  ASSERT_TRUE(process.waitForOutput("ready\n"));
  process.signal(SIGTERM);
  ASSERT_TRUE(stopping.waitFor("STOPPING=1", 30000));
  // The JVM still runs, held by its main, and has written nothing yet.
  for (int waits = 0; waits < 100 && stopping.messages().size() < 4; ++waits) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(stopping.messages(), (std::vector<std::string>{"EXTEND_TIMEOUT_USEC=60000000", "READY=1", "STOPPING=1",
                                                           "EXTEND_TIMEOUT_USEC=60000000"}));
  std::ofstream{until};
  EXPECT_EQ(process.finish().status, 0);
  archiveAndStamp();
}

INSTANTIATE_TEST_SUITE_P(Jdks, StartupCacheTest, ::testing::ValuesIn(installedJdks()),
                         [](const auto& info) { return jdkTestName(info.param); });

}  // namespace
