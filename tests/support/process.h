// Runs a program as a user would and captures what it prints.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
  int status = -1;  ///< exit status, or 128 + signal number when killed
  std::string out;  ///< standard output
  std::string err;  ///< standard error
};

struct ProcessCommand {
  std::string program;            ///< the file executed (execve's path)
  std::vector<std::string> argv;  ///< the full argument vector, argv[0] included
  /// Environment changes on top of the caller's environment, from which the
  /// launcher's own variables (UTRACE, LD_LIBRARY_PATH, LD_PRELOAD, KRX_*,
  /// JAVA_HOME, JDK_JAVA_OPTIONS, and a service manager's NOTIFY_SOCKET,
  /// WATCHDOG_*, INVOCATION_ID and JOURNAL_STREAM) are always removed first. A nullopt value
  /// unsets the name.
  std::map<std::string, std::optional<std::string>> env;
  std::string cwd;          ///< working directory; the caller's when empty
  int timeoutSeconds = 120;  ///< killed with SIGKILL after this
  std::vector<int> ignoredSignals;  ///< set to SIG_IGN in the child, as nohup does
  std::vector<int> blockedSignals;  ///< blocked in the child's signal mask
};

/// How often part occurs in text (overlapping occurrences count).
int occurrences(const std::string& text, const std::string& part);

/// Runs to the end and returns what it printed.
ProcessResult runProcess(const ProcessCommand& command);

/// A process started in the background, for tests that talk to it while it
/// runs (signals).
class RunningProcess {
 public:
  explicit RunningProcess(const ProcessCommand& command);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  /// Waits until standard output holds text (count times); false on timeout
  /// or when the process ended first.
  bool waitForOutput(const std::string& text, int count = 1, int timeoutSeconds = 30);
  /// Sends a signal to the process.
  void signal(int number);
  /// Waits for the end (killed after timeoutSeconds) and returns the result.
  ProcessResult finish(int timeoutSeconds = 120);
  /// Standard output so far.
  const std::string& out() const { return result_.out; }
  /// The process id.
  int pid() const { return pid_; }

 private:
  bool pump(int milliseconds);
  int pid_ = -1;
  int fds_[2] = {-1, -1};
  ProcessResult result_;
};
