#include "service/ntf.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "notify.h"
#include "temp_dir.h"

namespace {

class NotifyTest : public ::testing::Test {
 protected:
  void SetUp() override { serve(manager); }
  // The launcher started as a service that listener manages.
  static void serve(const NotifyListener& listener) {
    setenv("NOTIFY_SOCKET", listener.address().c_str(), 1);
    setenv("WATCHDOG_USEC", "100000", 1);
    setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    ntfInit();
  }
  void TearDown() override {
    ntfTerm();
    for (const char* name : {"NOTIFY_SOCKET", "WATCHDOG_USEC", "WATCHDOG_PID"}) unsetenv(name);
  }
  TempDir dir;
  NotifyListener manager{false, dir.path()};
};

// Only a JVM that answers within the interval keeps the service alive.
TEST_F(NotifyTest, WatchdogPingsOnlyForTimelyAnswers) {
  struct Case {
    bool (*answers)();
    bool pinged;
  } cases[] = {
      {[] { return true; }, true},
      {[] { return false; }, false},
      {[] {
         std::this_thread::sleep_for(std::chrono::milliseconds(150));
         return true;
       },
       false},
  };
  for (const Case& c : cases) {
    NotifyListener listener(true, "");
    serve(listener);
    ntfStartWatchdog(c.answers);
    EXPECT_EQ(listener.waitFor("WATCHDOG=1", c.pinged ? 5000 : 1000), c.pinged);
    ntfStopWatchdog();
  }
}

// A restart executes the launcher again as the same service.
TEST_F(NotifyTest, RestartGetsTheVariablesBack) {
  ntfHideFromJvm();
  EXPECT_EQ(getenv("NOTIFY_SOCKET"), nullptr);
  EXPECT_EQ(getenv("WATCHDOG_USEC"), nullptr);
  EXPECT_TRUE(ntfSend("STATUS=hidden"));
  ntfRestoreEnvironment();
  EXPECT_EQ(std::string(getenv("NOTIFY_SOCKET")), manager.address());
  EXPECT_EQ(std::string(getenv("WATCHDOG_USEC")), "100000");
  EXPECT_EQ(manager.messages(), std::vector<std::string>{"STATUS=hidden"});
}

}  // namespace
