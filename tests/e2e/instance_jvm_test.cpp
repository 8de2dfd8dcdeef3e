// singleinstance: the first launch of an application by a user listens on a
// private Unix socket, later ones hand it their request there and end with
// its answer, and nobody else's client is served.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "launcher.h"

namespace {

namespace fs = std::filesystem;

int unixSocketTo(const std::string& path, bool bindIt) {
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  auto* any = reinterpret_cast<sockaddr*>(&address);
  if ((bindIt ? bind(fd, any, sizeof address) : connect(fd, any, sizeof address)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// What a client of user 65534 gets from the socket for a well-formed
// request: -1 when it could not connect, else the number of bytes answered.
int answerToNobody(const std::string& path) {
  pid_t child = fork();
  if (child == 0) {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(255);
    int fd = unixSocketTo(path, false);
    if (fd < 0) _exit(255);
    static const char kRequest[] = "jlauncher-activate 1\n/\0\0nobody's\0";
    (void)!write(fd, kRequest, sizeof kRequest - 1);
    shutdown(fd, SHUT_WR);
    char answer[16];
    ssize_t n = read(fd, answer, sizeof answer);
    // Closed unread, the connection may also be reset: no answer either.
    _exit(n > 0 ? static_cast<int>(n) : 0);
  }
  int status = 0;
  waitpid(child, &status, 0);
  int code = WEXITSTATUS(status);
  return code == 255 ? -1 : code;
}

class SingleInstanceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    launcher = installLauncher(dir, "app/bin/myapp");
    dir.writeFile("app/bin/myapp.config", "javahome " + testJdkHome() + "\naddpath " + companionAppsPath() +
                                              "\nmainclass jltest.Activations\nsingleinstance\n");
    runtime = dir.makeDir("run");
    fs::permissions(runtime, fs::perms(0700));
  }
  ProcessCommand command(const std::vector<std::string>& args, const std::string& cwd,
                         std::map<std::string, std::optional<std::string>> env = {}) {
    ProcessCommand c;
    c.program = launcher;
    c.argv = {launcher};
    c.env = std::move(env);
    c.cwd = cwd;
    c.argv.insert(c.argv.end(), args.begin(), args.end());
    c.env.emplace("PATH", kPathWithoutJava);
    c.env.emplace("XDG_RUNTIME_DIR", runtime);
    c.env.emplace("XDG_ACTIVATION_TOKEN", std::nullopt);
    c.env.emplace("DESKTOP_STARTUP_ID", std::nullopt);
    return c;
  }
  TempDir dir;
  std::string launcher, runtime;
};

TEST_F(SingleInstanceTest, LaterLaunchesOfTheSameUserReachTheFirst) {
  // An instance that was killed left its socket behind, with nobody listening.
  fs::create_directory(runtime + "/jlauncher");
  fs::permissions(runtime + "/jlauncher", fs::perms(0700));
  std::string socketPath = runtime + "/jlauncher/myapp.socket";
  close(unixSocketTo(socketPath, true));
  ASSERT_TRUE(fs::is_socket(socketPath));

  std::string stop = dir.file("stop");
  RunningProcess first(command({stop}, dir.path()));
  // A client that connects and sends nothing is passed over.
  int probe = -1;
  for (int tries = 0; tries < 3000 && probe < 0; ++tries) {
    probe = unixSocketTo(socketPath, false);
    if (probe < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_GE(probe, 0);
  close(probe);

  // The first request comes before the application set its handler: queued.
  std::string elsewhere = dir.makeDir("elsewhere");
  ProcessResult later = runProcess(
      command({"docs/a.txt", "two words"}, elsewhere, {{"DESKTOP_STARTUP_ID", "startup-1"}}));
  EXPECT_EQ(later.status, 0);
  EXPECT_EQ(later.out, "");
  EXPECT_EQ(later.err, "");
  ASSERT_TRUE(first.waitForOutput("handler set"));
  later = runProcess(command({}, dir.path(), {{"XDG_ACTIVATION_TOKEN", "token-2"}, {"DESKTOP_STARTUP_ID", "no"}}));
  EXPECT_EQ(later.status, 0);
  EXPECT_EQ(later.err, "");

  // Another user reaches the socket once its directory is opened, and is
  // answered nothing.
  if (geteuid() == 0) {
    for (const std::string& path : {dir.path(), runtime, runtime + "/jlauncher"}) chmod(path.c_str(), 0711);
    chmod(socketPath.c_str(), 0777);
    EXPECT_EQ(answerToNobody(socketPath), 0);
  }

  dir.writeFile("stop", "");
  ProcessResult result = first.finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "activate [docs/a.txt, two words] in " + elsewhere + " token startup-1\nhandler set\n"
                        "activate [] in " + dir.path() + " token token-2\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(fs::exists(socketPath));
}

TEST_F(SingleInstanceTest, OnlyAPrivateDirectoryAndAPlainIdServe) {
  fs::create_directory_symlink(dir.makeDir("shared"), runtime + "/jlauncher");
  ProcessResult result = runProcess(command({}, dir.path()));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: '" + runtime + "/jlauncher' is not a private directory of this user (a symbolic "
                        "link); the application's single instance cannot listen there.\n");
  dir.writeFile("app/bin/myapp.config", "singleinstance ../x\n");
  result = runProcess(command({}, dir.path()));
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Error: Unable to process 'singleinstance ../x' at line 1 in configuration file '" +
                        dir.file("app/bin/myapp.config") + "'.\n");
}

}  // namespace
