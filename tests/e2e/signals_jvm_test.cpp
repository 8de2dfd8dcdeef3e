// Signals while a Java application runs: orderly shutdown through the
// application's exit method, stack dumps, and the interrupts during JVM
// destruction.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "launcher.h"
#include "loopback.h"
#include "notify.h"

namespace {

void pause(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

// Waits until condition holds, with a deadline generous for a busy machine.
bool eventually(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pause(10);
  }
  return true;
}

// The trace line that ends the work of a signal, written once its handler
// is back: a signal sent after it is handled again.
std::string completed(int signal) { return "Completed handling of signal [" + std::to_string(signal) + "]\n"; }
// The trace line after which interrupts meet the JVM's destruction.
constexpr const char* kDestroying = "Destroying the JVM, which waits for the application's threads\n";

// True when every thread of the process is stopped (SIGSTOP).
bool allThreadsStopped(int pid) {
  std::error_code error;
  int threads = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::string stat = readFile(task.path() / "stat");
    std::size_t state = stat.rfind(')') + 2;
    if (state >= stat.size() || (stat[state] != 'T' && stat[state] != 't')) return false;
    ++threads;
  }
  return threads > 0;
}

constexpr const char* kWaitingLines =
    "Shutdown is waiting for all threads to complete. Patience is recommended.\n"
    "If you're sure it's safe to abort, another interrupt will force a process exit.\n";
constexpr const char* kForcingLines =
    "Forcing process exit before orderly shutdown is complete.\n"
    "Suggest you check carefully that all child processes have completed and all databases are consistent.\n";

class SignalTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    launcher = installLauncher(dir, "app/bin/myapp");
    dir.copyFile(testAppsJar(), "app/lib/jltest.jar");
  }
  std::unique_ptr<RunningProcess> start(const std::string& config, std::vector<std::string> args,
                                        std::map<std::string, std::optional<std::string>> env = {},
                                        std::vector<int> ignored = {}, std::vector<int> blocked = {}) {
    dir.writeFile("app/bin/myapp.config",
                  "javahome " + GetParam() + "\naddpath ../lib/jltest.jar\nmainclass jltest.Waiter\n" + config);
    ProcessCommand command;
    command.program = launcher;
    command.argv = {launcher};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    env.emplace("PATH", kPathWithoutJava);
    command.env = env;
    command.cwd = dir.path();
    command.ignoredSignals = ignored;
    command.blockedSignals = blocked;
    auto process = std::make_unique<RunningProcess>(command);
    EXPECT_TRUE(process->waitForOutput("ready\n")) << process->out();
    return process;
  }
  TempDir dir;
  std::string launcher;
};

TEST_P(SignalTest, TerminationSignalsCallTheExitMethodOncePerSignal) {
  auto process = start("options handleexit\n", {"3"});
  int sent = 0;
  for (int number : {SIGTERM, SIGINT, SIGHUP}) {
    process->signal(number);
    EXPECT_TRUE(process->waitForOutput("cleanup true\n", ++sent)) << process->out();
  }
  ProcessResult result = process->finish();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "ready\ncleanup true\ncleanup true\ncleanup true\nmain ends\n");
}

TEST_P(SignalTest, WithoutAnExitMethodSignalsEndTheApplicationAsTheJvmWould) {
  struct Case {
    int signal;
    std::string exitClass, why;
  } cases[] = {
      {SIGTERM, "jltest.Waiter.missing()", "No 'public static void missing(boolean)' method in jltest.Waiter"},
      {SIGINT, "jltest.Missing", "No exit class jltest.Missing"},
      {SIGHUP, "jltest.Waiter.missing()", "No 'public static void missing(boolean)' method in jltest.Waiter"},
  };
  for (const Case& c : cases) {
    auto process = start("options handleexit\nexitclass " + c.exitClass + "\n", {"1", "hook"}, {{"UTRACE", "-p"}});
    process->signal(c.signal);
    ProcessResult result = process->finish();
    EXPECT_EQ(result.status, 128 + c.signal) << result.err;
    std::string why = c.why + ": ending the application with status " + std::to_string(128 + c.signal) +
                      ", as the JVM does on signal " + std::to_string(c.signal) + "\n";
    EXPECT_NE(result.out.find(why), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("shutdown hook\n"), std::string::npos) << result.out;
  }
}

TEST_P(SignalTest, ConfiguredExitClassAndMethodAreCalled) {
  auto process = start("options handleexit\nexitclass jltest.Waiter.stop()\n", {"1"});
  process->signal(SIGTERM);
  ProcessResult result = process->finish();
  EXPECT_EQ(result.out, "ready\nstop true\nmain ends\n");
}

TEST_P(SignalTest, QuitDumpsTheJavaStacks) {
  auto process = start("options handleexit\n", {"1"}, {{"UTRACE", "-p"}});
  process->signal(SIGQUIT);
  // The main thread's frame in the dump (the trace names the class too).
  EXPECT_TRUE(process->waitForOutput("\tat jltest.Waiter.main(")) << process->out();
  EXPECT_TRUE(process->waitForOutput(completed(SIGQUIT))) << process->out();
  process->signal(SIGTERM);
  ProcessResult result = process->finish();
  EXPECT_EQ(result.status, 0);
  // Newer JVMs no longer export their stack dump: the diagnostic command
  // gives the same dump.
  std::string way = exportsStackDump(GetParam()) ? "JVM_DumpAllStacks" : "the diagnostic command Thread.print";
  EXPECT_NE(result.out.find("Dumping all Java Stacks\nThread dump through " + way + "\n"), std::string::npos)
      << result.out;
  EXPECT_NE(result.out.find("Full thread dump"), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("\"main\""), std::string::npos) << result.out;
}

TEST_P(SignalTest, ProcessToolsNameTheApplication) {
  if (!std::filesystem::exists(GetParam() + "/bin/jps")) GTEST_SKIP() << "a runtime without the JDK has no jps";
  auto process = start("options handleexit\n", {"1", "two words"});
  ProcessResult listed = runLauncher(GetParam() + "/bin/jps", {"jps", "-lm"});
  std::string pid = std::to_string(process->pid());
  process->signal(SIGTERM);
  process->finish();
  EXPECT_NE(listed.out.find(pid + " jltest.Waiter 1 two words\n"), std::string::npos)
      << listed.out;
}

TEST_P(SignalTest, InterruptsDuringDestructionExplainThenForce) {
  auto process = start("options handleexit\n", {"0", "linger"}, {{"UTRACE", "-p"}});
  ASSERT_TRUE(process->waitForOutput("Returned from main class with status 0\n"));
  ASSERT_TRUE(process->waitForOutput(kDestroying));
  process->signal(SIGINT);
  ASSERT_TRUE(process->waitForOutput(completed(SIGINT)));
  process->signal(SIGINT);
  ProcessResult result = process->finish();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, std::string(kWaitingLines) + kForcingLines);
}

TEST_P(SignalTest, StormsWhileRunningEndCleanly) {
  struct Storm {
    std::vector<int> signals;
    int rounds;
  } storms[] = {{{SIGINT}, 100}, {{SIGTERM, SIGINT, SIGHUP, SIGQUIT}, 40}};
  for (const Storm& storm : storms) {
    // The application ends only once the whole storm has been sent: on a busy
    // machine this process may be held up mid-storm for longer than a cleanup
    // takes, and signals that come after main has returned meet the JVM's
    // destruction, where interrupts force the exit.
    std::string over = dir.file("storm over");
    std::filesystem::remove(over);
    auto process = start("options handleexit\n", {"1", "until=" + over});
    for (int i = 0; i < storm.rounds; ++i) {
      for (int number : storm.signals) process->signal(number);
    }
    dir.writeFile("storm over", "");
    ProcessResult result = process->finish();
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_GE(occurrences(result.out, "cleanup true\n"), 1);
    EXPECT_NE(result.out.find("main ends\n"), std::string::npos);
    // The exit method never runs twice at once for one signal.
    if (storm.signals.size() == 1) {
      EXPECT_EQ(occurrences(result.out, "overlap"), 0) << result.out;
    }
  }
}

TEST_P(SignalTest, StormDuringDestructionForcesTheExitOnce) {
  auto process = start("options handleexit\n", {"0", "linger"}, {{"UTRACE", "-p"}});
  ASSERT_TRUE(process->waitForOutput("Returned from main class with status 0\n"));
  ASSERT_TRUE(process->waitForOutput(kDestroying));
  for (int i = 0; i < 20; ++i) {
    for (int number : {SIGINT, SIGTERM, SIGHUP}) process->signal(number);
  }
  ProcessResult result = process->finish();
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(occurrences(result.err, kWaitingLines), 1) << result.err;
  EXPECT_EQ(occurrences(result.err, kForcingLines), 1) << result.err;
}

// Sent together: a signal that was not ignored would call the exit method
// once more, and the application would say so.
TEST_P(SignalTest, NohupMakesInterruptsIgnored) {
  auto process = start("options handleexit\n", {"1"}, {}, {SIGHUP});
  process->signal(SIGINT);
  process->signal(SIGHUP);
  process->signal(SIGTERM);
  ProcessResult result = process->finish();
  EXPECT_EQ(result.out, "ready\ncleanup true\nmain ends\n");
}

TEST_P(SignalTest, IgnoredSignalOption) {
  auto process = start("options handleexit\n", {"+sig", "term", "1"});
  process->signal(SIGTERM);
  process->signal(SIGINT);
  ProcessResult result = process->finish();
  EXPECT_EQ(result.out, "ready\ncleanup true\nmain ends\n");
}

// A burst: each signal is sent again as soon as its last one's work is
// done, while the workers of the others still run. None is lost: every one
// is handled, and the application and the launcher say so as often.
TEST_P(SignalTest, BurstsWhileWorkersFinishLoseNoSignal) {
  constexpr int kRounds = 8;
  const int burst[] = {SIGQUIT, SIGTERM, SIGINT, SIGHUP};
  auto process = start("options handleexit\n", {"0", "until=" + dir.file("burst over")}, {{"UTRACE", "-p"}});
  for (int number : burst) process->signal(number);
  for (int round = 1; round <= kRounds; ++round) {
    for (int number : burst) {
      ASSERT_TRUE(process->waitForOutput(completed(number), round)) << number << " in round " << round;
      if (round < kRounds) process->signal(number);
    }
  }
  dir.writeFile("burst over", "");
  ProcessResult result = process->finish();
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(occurrences(result.out, "cleanup true\n"), 3 * kRounds);
  EXPECT_EQ(occurrences(result.out, "Dumping all Java Stacks\n"), kRounds);
  EXPECT_EQ(occurrences(result.out, "Full thread dump"), kRounds);
  EXPECT_NE(result.out.find("main ends\n"), std::string::npos);
}

TEST_P(SignalTest, BlockedSignalsOfTheParentAreUnblocked) {
  auto process = start("options handleexit\n", {"1"}, {{"UTRACE", "-p"}}, {}, {SIGTERM, SIGQUIT});
  process->signal(SIGTERM);
  ProcessResult result = process->finish();
  EXPECT_EQ(result.status, 0);
  EXPECT_NE(result.out.find("Unblocked the signals the parent process had blocked: quit,term\n"), std::string::npos);
  EXPECT_NE(result.out.find("cleanup true\n"), std::string::npos);
}

TEST_P(SignalTest, WithoutHandleExitTheJvmHandlesTermination) {
  auto process = start("", {"1"});
  process->signal(SIGTERM);
  ProcessResult result = process->finish();
  EXPECT_EQ(result.status, 143);
  EXPECT_EQ(result.out, "ready\n");
}

TEST_P(SignalTest, InstallationFollowsTheEnvironment) {
  struct Case {
    std::map<std::string, std::optional<std::string>> env;
    bool installedBefore, installedAfter, javaTold;
  } cases[] = {
      {{}, false, true, true},
      {{{"KRX_SET_NATIVE_HANDLER", "BEFORE"}}, true, false, true},
      {{{"KRX_SET_NATIVE_HANDLER", "After"}}, false, true, true},
      {{{"KRX_SET_NATIVE_HANDLER", "never"}}, false, false, true},
      {{{"KRX_SET_JAVA_HANDLER", ""}}, false, true, false},
  };
  for (Case& c : cases) {
    c.env.emplace("UTRACE", "-p");
    auto process = start("options handleexit\n", {"0"}, c.env);
    ProcessResult result = process->finish();
    std::size_t created = result.out.find("JVM created\n");
    std::size_t installed = result.out.find("Installed Signal Handler\n");
    ASSERT_NE(created, std::string::npos);
    EXPECT_EQ(installed != std::string::npos && installed < created, c.installedBefore);
    EXPECT_EQ(installed != std::string::npos && installed > created, c.installedAfter);
    EXPECT_EQ(result.out.find("Turn off Java Shutdown Hooks\n") != std::string::npos, c.javaTold);
  }
}

TEST_P(SignalTest, ServiceManagerHearsReadinessAndStopping) {
  int first = freeLoopbackPort(), second = freeLoopbackPort();
  while (second == first) second = freeLoopbackPort();
  std::string one = std::to_string(first), two = std::to_string(second);
  struct Case {
    std::string config;
    std::vector<std::string> args;
    bool abstract;
    std::vector<std::string> messages;
    std::vector<int> listening = {};  ///< ports that answer once READY=1 arrives
    const char* stopAfter = "";  ///< the trace line after which the service is stopped
    const char* watchdog = "60000000";
    bool extended = false;  ///< the manager was asked to wait longer before READY=1
  } cases[] = {
      {"options handleexit\n", {"1"}, true, {"READY=1", "STOPPING=1"}},
      {"options handleexit\n", {"1", "notify"}, false, {"READY=1", "STATUS=serving MAINPID=1 WATCHDOG=trigger", "READY=1", "STOPPING=1"}},
      {"options handleexit,notifyready\n", {"1", "notify"}, true, {"STATUS=serving MAINPID=1 WATCHDOG=trigger", "READY=1", "STOPPING=1"}},
      {"options handleexit\nreadiness application\n", {"1", "notify"}, false, {"STATUS=serving MAINPID=1 WATCHDOG=trigger", "READY=1", "STOPPING=1"}},
      {"options handleexit\nreadiness listening\n", {"1", "listen=" + one}, true,
       {"STATUS=waiting for a listening socket", "READY=1\nSTATUS=", "STOPPING=1"}, {first}},
      {"options handleexit\nreadiness listening:" + two + "," + one + "\n", {"1", "listen=" + one + "," + two}, false,
       {"STATUS=waiting for ports " + two + ", " + one, "READY=1\nSTATUS=", "STOPPING=1"}, {first, second}},
      // Ready once main has returned; stopped while the JVM waits for its threads.
      {"options handleexit\nreadiness mainreturned\n", {"0", "linger"}, true,
       {"STATUS=waiting for main to return", "READY=1\nSTATUS=", "STOPPING=1"}, {}, kDestroying},
      // A start longer than the watchdog's interval, kept alive by the JVM's answers.
      {"options handleexit\nreadiness listening\n", {"1", "listen=" + one, "slowlisten"}, true,
       {"STATUS=waiting for a listening socket", "READY=1\nSTATUS=", "STOPPING=1"}, {first}, "", "1000000", true},
  };
  for (const Case& c : cases) {
    NotifyListener manager(c.abstract, dir.path());
    auto process = start(c.config, c.args,
                         {{"NOTIFY_SOCKET", manager.address()}, {"WATCHDOG_USEC", c.watchdog}, {"UTRACE", "-p"}});
    ASSERT_TRUE(process->waitForOutput(c.stopAfter));
    auto ready = std::find_if(c.messages.begin(), c.messages.end(), [](auto& m) { return m.starts_with("READY=1"); });
    ASSERT_TRUE(manager.waitFor(*ready, 30000)) << c.config;
    for (int port : c.listening) {
      int fd = connectLoopback(port);
      EXPECT_GE(fd, 0) << c.config << port;
      if (fd >= 0) close(fd);
    }
    process->signal(SIGTERM);
    ProcessResult result = process->finish();
    EXPECT_EQ(result.status, 0) << result.err;
    // The watchdog's words come at any time; what they are is its own row.
    std::vector<std::string> heard = manager.messages(), told;
    auto extension = std::find(heard.begin(), heard.end(), "EXTEND_TIMEOUT_USEC=30000000");
    EXPECT_EQ(extension < std::find(heard.begin(), heard.end(), *ready), c.extended) << c.config;
    std::copy_if(heard.begin(), heard.end(), std::back_inserter(told),
                 [](auto& m) { return m != "WATCHDOG=1" && !m.starts_with("EXTEND_TIMEOUT_USEC="); });
    EXPECT_EQ(told, c.messages) << c.config;
    // The application speaks through the launcher; what it starts does not.
    bool notified = std::find(c.args.begin(), c.args.end(), "notify") != c.args.end();
    EXPECT_EQ(result.out.find("notified true true null null\n") != std::string::npos, notified);
  }
}

TEST_P(SignalTest, ServiceManagerStopsAJvmWaitingForItsThreads) {
  const std::string kWatchdogTrace = "Told the service manager WATCHDOG=1\n";
  struct Case {
    int signal;
    bool managed;
    std::string exitClass;
    int status;
    std::string err, out;
    std::vector<std::string> args = {"0", "linger", "hook"};
  } cases[] = {
      {SIGTERM, true, "exitclass jltest.Waiter.missing()\n", 143, "", "shutdown hook\n"},
      // The hook ends the last thread the JVM waits for, as a server's does:
      // the status is still the signal's, not that of a JVM whose threads ended.
      {SIGTERM, true, "exitclass jltest.Waiter.missing()\n", 143, "", "linger ends\nshutdown hook\n",
       {"0", "linger", "hook", "stoplinger"}},
      {SIGTERM, true, "", 0, "", "cleanup true\n"},
      {SIGINT, true, "", 1, std::string(kWaitingLines) + kForcingLines, "lingering\nmain ends\n"},
      {SIGTERM, false, "", 1, std::string(kWaitingLines) + kForcingLines, "lingering\nmain ends\n"},
  };
  for (const Case& c : cases) {
    std::map<std::string, std::optional<std::string>> env = {{"UTRACE", "-p"}};
    // As systemd runs a service: the watchdog's pings go on while the JVM ends.
    NotifyListener manager(true, dir.path());
    if (c.managed) {
      env.insert({{"INVOCATION_ID", "0123456789abcdef"}, {"NOTIFY_SOCKET", manager.address()},
                  {"WATCHDOG_USEC", "100000"}});
    }
    auto process = start("options handleexit\n" + c.exitClass, c.args, env);
    ASSERT_TRUE(process->waitForOutput("Returned from main class with status 0\n"));
    ASSERT_TRUE(process->waitForOutput(kDestroying));
    process->signal(c.signal);
    if (c.status == 1) {
      ASSERT_TRUE(process->waitForOutput(completed(c.signal)));
      process->signal(c.signal);
    }
    ProcessResult result = process->finish();
    EXPECT_EQ(result.status, c.status) << result.err;
    EXPECT_EQ(result.err, c.err);
    // The watchdog's trace lines come between the application's at any time.
    std::string out = result.out;
    for (std::size_t at; (at = out.find(kWatchdogTrace)) != std::string::npos;) out.erase(at, kWatchdogTrace.size());
    EXPECT_NE(out.find(c.out), std::string::npos) << result.out;
    EXPECT_EQ(out.find("shutdown hook\n") != std::string::npos, c.status != 1) << result.out;
  }
}

TEST_P(SignalTest, WatchdogPingsWhileTheJvmAnswers) {
  NotifyListener manager(true, dir.path());
  auto process = start("options handleexit\n", {"1"}, {{"NOTIFY_SOCKET", manager.address()}, {"WATCHDOG_USEC", "200000"}});
  // Twenty-five intervals: a generous wait for a busy machine.
  EXPECT_TRUE(manager.waitFor("WATCHDOG=1", 5000));
  // Stopped, the service says nothing; after a stall of many intervals the
  // pings come again. Once every thread is stopped, all that was sent has
  // arrived.
  process->signal(SIGSTOP);
  ASSERT_TRUE(eventually([&] { return allThreadsStopped(process->pid()); }));
  std::size_t heard = manager.messages().size();
  // The stall itself: five intervals.
  pause(1000);
  EXPECT_EQ(manager.messages().size(), heard);
  process->signal(SIGCONT);
  EXPECT_TRUE(eventually([&] { return manager.messages().size() > heard; }));
  EXPECT_GT(manager.messages().size(), heard);
  EXPECT_EQ(manager.messages().back(), "WATCHDOG=1");
  process->signal(SIGTERM);
  process->finish();
}

// The pid file names the launcher while it runs, whatever a file left
// behind named, and goes with it however it ends.
TEST_P(SignalTest, PidFileNamesTheRunningLauncher) {
  std::string pidFile = dir.file("run/myapp.pid");
  dir.makeDir("run");
  struct Case {
    const char* name;
    std::string before, config;
    int signal, status;
  } cases[] = {
      {"no file", "", "options handleexit\n", SIGTERM, 0},
      {"a process that is gone", "2147483647\n", "", SIGTERM, 143},
      {"another program", std::to_string(getpid()) + "\n", "options handleexit\n", SIGINT, 0},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(pidFile);
    if (!c.before.empty()) dir.writeFile("run/myapp.pid", c.before);
    auto process = start(c.config + "pidfile ../../run/myapp.pid\n", {"1"});
    std::string pid = std::to_string(process->pid());
    EXPECT_EQ(readFile(pidFile), pid + "\n") << c.name;
    EXPECT_EQ(std::filesystem::status(pidFile).permissions(), std::filesystem::perms(0644)) << c.name;
    ProcessResult second = runLauncher(launcher, {launcher, "1"}, {{"PATH", kPathWithoutJava}}, dir.path());
    EXPECT_EQ(second.status, 1) << c.name;
    EXPECT_EQ(second.err, "Error: myapp is already running (pid " + pid + ").\n") << c.name;
    EXPECT_EQ(second.out, "") << c.name;
    process->signal(c.signal);
    ProcessResult result = process->finish();
    EXPECT_EQ(result.status, c.status) << c.name << result.err;
    EXPECT_FALSE(std::filesystem::exists(pidFile)) << c.name;
  }
}

// A daemon's output goes to its log, which logrotate renames and then asks
// to be reopened with a hang-up; under a journal it stays where it was.
TEST_P(SignalTest, DaemonOutputGoesToALogReopenedOnHangUp) {
  std::string log = dir.file("logs/myapp.log");
  dir.makeDir("logs");
  dir.writeFile("app/bin/myapp.config", "javahome " + GetParam() +
                                            "\naddpath ../lib/jltest.jar\nmainclass jltest.Waiter\ndaemonsupport ../../logs\n");
  // The shell names the pipe it hands on as the journal stream, as systemd does.
  ProcessCommand journaled;
  journaled.program = "/bin/sh";
  journaled.argv = {"sh", "-c", "JOURNAL_STREAM=$(stat -L -c %d:%i /proc/$$/fd/1) exec \"$0\" \"$@\"", launcher, "1",
                    "hook"};
  journaled.env = {{"PATH", "/usr/bin:/bin"}};
  journaled.cwd = dir.path();
  RunningProcess underJournal(journaled);
  ASSERT_TRUE(underJournal.waitForOutput("ready\n"));
  underJournal.signal(SIGTERM);
  EXPECT_EQ(underJournal.finish().out, "ready\nshutdown hook\n");
  EXPECT_FALSE(std::filesystem::exists(log));

  // A journal stream that is not where the output goes counts for nothing.
  ProcessCommand command;
  command.program = launcher;
  command.argv = {launcher, "1", "hook"};
  command.env = {{"PATH", kPathWithoutJava}, {"UTRACE", "-p"}, {"JOURNAL_STREAM", "8:4242"}};
  command.cwd = dir.path();
  RunningProcess process(command);
  // The trace says when each file has taken the output.
  auto waitFor = [](const std::string& path, const std::string& text) {
    return eventually([&] { return readFile(path).find(text) != std::string::npos; });
  };
  ASSERT_TRUE(waitFor(log, "ready\n"));
  std::filesystem::rename(log, log + ".1");
  process.signal(SIGHUP);
  ASSERT_TRUE(waitFor(log, "Reopened '" + log + "'\n"));
  process.signal(SIGTERM);
  ProcessResult result = process.finish();
  EXPECT_EQ(result.status, 143);
  EXPECT_EQ(result.out.find("ready"), std::string::npos);
  EXPECT_NE(result.out.find("Output goes to '" + log + "'\n"), std::string::npos) << result.out;
  EXPECT_EQ(occurrences(readFile(log + ".1"), "ready\n"), 1);
  EXPECT_EQ(occurrences(readFile(log + ".1"), "shutdown hook\n"), 0);
  EXPECT_EQ(occurrences(readFile(log), "shutdown hook\n"), 1);
  EXPECT_EQ(std::filesystem::status(log).permissions(), std::filesystem::perms(0640));
}

INSTANTIATE_TEST_SUITE_P(Jdks, SignalTest, ::testing::ValuesIn(installedJdks()),
                         [](const auto& info) { return jdkTestName(info.param); });

}  // namespace
