#include "host/ntf.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "loopback.h"
#include "notify.h"

namespace {

// The launcher as the service of a listener, with a watchdog of 100 ms for pid.
void serve(const NotifyListener& manager, const std::string& pid) {
  setenv("NOTIFY_SOCKET", manager.address().c_str(), 1);
  setenv("WATCHDOG_USEC", "100000", 1);
  setenv("WATCHDOG_PID", pid.c_str(), 1);
  ntfInit();
}

// Only a JVM that answers within the interval keeps the service alive, and
// only the process the watchdog is meant for pings; until the service is
// ready, the same answer asks the manager to wait longer for the start.
TEST(NotifyTest, WatchdogPingsOnlyForTimelyAnswers) {
  auto late = [] {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    return true;
  };
  const std::string self = std::to_string(getpid());
  struct Case {
    bool (*answers)();
    std::string pid;
    bool ready;
    bool pinged;
    bool extended;
  } cases[] = {{[] { return true; }, self, false, true, true},  {[] { return true; }, self, true, true, false},
               {[] { return false; }, self, false, false, false}, {late, self, false, false, false},
               {[] { return true; }, "1", false, false, false}};
  for (const Case& c : cases) {
    NotifyListener manager(true, "");
    serve(manager, c.pid);
    if (c.ready) ntfSendReady();
    ntfStartWatchdog(c.answers);
    EXPECT_EQ(manager.waitFor("WATCHDOG=1", c.pinged ? 5000 : 1000), c.pinged) << c.pid;
    EXPECT_EQ(manager.waitFor("EXTEND_TIMEOUT_USEC=30000000", c.extended ? 5000 : 10), c.extended) << c.pid;
    ntfTerm();
  }
  ntfHideFromJvm();
}

// The JVM does not see the variables; a restart, the same service again, does.
TEST(NotifyTest, RestartGetsTheVariablesBack) {
  NotifyListener manager(true, "");
  serve(manager, "1");
  ntfHideFromJvm();
  EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
  EXPECT_TRUE(ntfSend("STATUS=hidden"));
  // Into the new image's environment; the process's own stays as it is,
  // since JVM threads may read it.
  std::vector<std::string> environment = {"NOTIFY_SOCKET=elsewhere", "PATH=/bin"};
  ntfRestoreEnvironment(environment);
  EXPECT_EQ(environment, (std::vector<std::string>{"PATH=/bin", "NOTIFY_SOCKET=" + manager.address(),
                                                   "WATCHDOG_USEC=100000", "WATCHDOG_PID=1"}));
  EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
  EXPECT_EQ(manager.messages(), std::vector<std::string>{"STATUS=hidden"});
  ntfTerm();
  ntfHideFromJvm();
}

// Ready only once every named port listens, and then once; the status said
// what was awaited.
TEST(NotifyTest, ReadyOnceTheProcessListensOnEachPort) {
  NotifyListener manager(true, "");
  serve(manager, "1");
  int first = socket(AF_INET, SOCK_STREAM, 0), second = socket(AF_INET, SOCK_STREAM, 0);
  int firstPort = bindLoopback(first), secondPort = bindLoopback(second);
  ASSERT_EQ(listen(first, 1), 0);
  ntfAwaitListening({firstPort, secondPort});
  EXPECT_FALSE(manager.waitFor("READY=1\nSTATUS=", 500));
  EXPECT_TRUE(ntfIsStillStarting());
  ASSERT_EQ(listen(second, 1), 0);
  EXPECT_TRUE(manager.waitFor("READY=1\nSTATUS=", 5000));
  ntfStopAwaiting();
  EXPECT_FALSE(ntfIsStillStarting());
  EXPECT_EQ(manager.messages(), (std::vector<std::string>{"STATUS=waiting for ports " + std::to_string(firstPort) +
                                                              ", " + std::to_string(secondPort),
                                                          "READY=1\nSTATUS="}));
  close(first);
  close(second);
  ntfTerm();
  ntfHideFromJvm();
}

// Main failing before readiness stops the wait on its thread while the JVM's
// exit hook stops it on another: one of them stops it, and nothing is sent.
TEST(NotifyTest, TwoThreadsStopTheWaitForPortsAtOnce) {
  NotifyListener manager(true, "");
  serve(manager, "1");
  for (int round = 0; round < 100; ++round) {
    ntfAwaitListening({1});
    std::thread other(ntfStopAwaiting);
    ntfStopAwaiting();
    other.join();
    EXPECT_TRUE(ntfIsStillStarting());
    EXPECT_EQ(manager.messages().back(), "STATUS=waiting for port 1");
  }
  ntfTerm();
  ntfHideFromJvm();
}

}  // namespace
