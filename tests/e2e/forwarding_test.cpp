// Shell mode: the arguments go to an instance that is already running, over
// its command port, as absolute paths.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/fsuid.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "launcher.h"
#include "loopback.h"

namespace {

// A command port on 127.0.0.1 that accepts a number of connections and
// records what each carried.
class Listener {
 public:
  /// The socket is owner's (root may choose another user).
  explicit Listener(int connections, bool closeAtOnce = false, uid_t owner = geteuid()) {
    uid_t previous = setfsuid(owner);
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    setfsuid(previous);
    port_ = bindLoopback(fd_);
    listen(fd_, 8);
    received_ = std::async(std::launch::async, [this, connections, closeAtOnce] {
      std::vector<std::string> messages;
      for (int i = 0; i < connections; ++i) {
        int client = accept(fd_, nullptr, nullptr);
        if (client < 0) break;
        std::string message;
        char buffer[512];
        ssize_t n;
        while (!closeAtOnce && (n = read(client, buffer, sizeof buffer)) > 0) message.append(buffer, n);
        close(client);
        messages.push_back(message);
      }
      return messages;
    });
  }
  ~Listener() {
    shutdown(fd_, SHUT_RDWR);
    close(fd_);
  }
  int port() const { return port_; }
  std::vector<std::string> messages() { return received_.get(); }

 private:
  int fd_ = -1;
  int port_ = 0;
  std::future<std::vector<std::string>> received_;
};

class ForwardingTest : public ::testing::Test {
 protected:
  void SetUp() override { launcher = installLauncher(dir, "app/bin/myapp"); }
  ProcessResult run(std::vector<std::string> args, const std::string& cwd,
                    std::map<std::string, std::optional<std::string>> env = {}) {
    args.insert(args.begin(), launcher);
    env.emplace("PATH", kPathWithoutJava);
    return runLauncher(launcher, args, env, cwd);
  }
  // As systemd runs a service: standard error is the journal's stream,
  // which JOURNAL_STREAM names.
  ProcessResult runJournaled(std::vector<std::string> args, const std::string& cwd) {
    args.insert(args.begin(), {"sh", "-c",
                               "JOURNAL_STREAM=$(/usr/bin/stat -L -c %d:%i /proc/$$/fd/2) PATH=" + kPathWithoutJava +
                                   " exec \"$0\" \"$@\"",
                               launcher});
    return runLauncher("/bin/sh", args, {}, cwd);
  }
  TempDir dir;
  std::string launcher;
};

TEST_F(ForwardingTest, ArgumentsGoToTheRunningInstanceAsAbsolutePaths) {
  Listener listener(2);
  dir.writeFile("conf/app.config", "socket " + std::to_string(listener.port()) + "\n");
  std::string elsewhere = dir.makeDir("elsewhere");
  ProcessResult result = run({"+shell", "+config", "../../conf/app.config", "docs/./a.txt", "/abs/../b.txt"}, elsewhere);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(listener.messages(), (std::vector<std::string>{"open " + dir.file("conf/docs/a.txt"), "open /b.txt"}));
}

TEST_F(ForwardingTest, NoInstanceOrAnotherUsersListenerMeansANormalStart) {
  dir.writeFile("app/bin/myapp.config", "socket " + std::to_string(freeLoopbackPort()) + "\n");
  // A journal stream that is not standard error changes nothing.
  ProcessResult result = run({"+shell", "a.txt", "b.txt"}, dir.path(), {{"JOURNAL_STREAM", "8:4242"}});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Can't send message\n" + kNoJavaMsg);

  // Another user took the port first: the user's paths are not theirs.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
  Listener foreign(0, false, 65534);
  dir.writeFile("app/bin/myapp.config", "socket " + std::to_string(foreign.port()) + "\n");
  result = run({"+shell", "a.txt"}, dir.path());
  EXPECT_EQ(result.status, 1);
  const std::string warning = "Warning: 127.0.0.1:" + std::to_string(foreign.port()) +
                              " belongs to another user; the arguments are not forwarded to it.\n";
  EXPECT_EQ(result.err, warning + kNoJavaMsg);
  // In the journal, each line of the launcher's carries its priority.
  result = runJournaled({"+shell", "a.txt"}, dir.path());
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "<4>" + warning + "<3>Unable to find a JDK or JRE.\n<3>Check your installation and use "
                        "+javahome to specify the JDK or JRE location\n<3>" + kNoJavaFix);
}

TEST_F(ForwardingTest, NothingToForwardOrNoPortMeansANormalStart) {
  dir.writeFile("app/bin/myapp.config", "socket 1\n");
  EXPECT_EQ(run({"+shell"}, dir.path()).err, kNoJavaMsg);
  dir.writeFile("app/bin/myapp.config", "# no socket\n");
  EXPECT_EQ(run({"+shell", "a.txt"}, dir.path()).err, kNoJavaMsg);
}

TEST_F(ForwardingTest, InstanceThatClosesAtOnceDoesNotHurt) {
  Listener listener(1, true);
  dir.writeFile("app/bin/myapp.config", "socket " + std::to_string(listener.port()) + "\n");
  ProcessResult result = run({"+shell", "a.txt"}, dir.path());
  listener.messages();
  EXPECT_TRUE(result.status == 0 || result.err == "Can't send message\n" + kNoJavaMsg) << result.err;
}

}  // namespace
