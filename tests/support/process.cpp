#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

// A test run by a service manager must not hand its notify socket on: the
// launcher would then behave as a service does. The list of Java homes to
// test is the test run's own.
bool isLauncherVariable(const std::string& name) {
  return name == "LAUNCHER_TEST_JDKS" || name == "UTRACE" || name == "LD_LIBRARY_PATH" || name == "LD_PRELOAD" ||
         name == "JAVA_HOME" || name == "JDK_JAVA_OPTIONS" || name.rfind("KRX_", 0) == 0 || name == "NOTIFY_SOCKET" ||
         name.rfind("WATCHDOG_", 0) == 0 || name == "INVOCATION_ID" || name == "JOURNAL_STREAM";
}

std::vector<std::string> buildEnvironment(const ProcessCommand& command) {
  std::map<std::string, std::string> variables;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::size_t equals = text.find('=');
    if (equals == std::string::npos) continue;
    std::string name = text.substr(0, equals);
    if (!isLauncherVariable(name)) variables[name] = text.substr(equals + 1);
  }
  // The user's configuration overrides of the machine running the tests
  // (~/.config/<name>/) are none of a test's business, unless it sets them.
  variables["XDG_CONFIG_HOME"] = "/nonexistent/jlauncher-test-config";
  for (const auto& [name, value] : command.env) {
    if (value) {
      variables[name] = *value;
    } else {
      variables.erase(name);
    }
  }
  std::vector<std::string> result;
  for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  for (std::string& s : strings) result.push_back(s.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

RunningProcess::RunningProcess(const ProcessCommand& command) {
  std::vector<std::string> argvStrings = command.argv;
  std::vector<std::string> envStrings = buildEnvironment(command);
  // An empty argument vector is a case worth running: argv[0] is null then.
  std::vector<char*> argv = pointers(argvStrings);
  std::vector<char*> envp = pointers(envStrings);

  int outPipe[2], errPipe[2];
  if (pipe(outPipe) != 0 || pipe(errPipe) != 0) throw std::runtime_error("pipe failed");
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    dup2(outPipe[1], 1);
    dup2(errPipe[1], 2);
    for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1]}) close(fd);
    int devnull = open("/dev/null", O_RDONLY);
    if (devnull >= 0) dup2(devnull, 0);
    // Only the three standard descriptors, as from a shell: tests count what
    // the launcher keeps open.
    close_range(3, ~0U, 0);
    for (int number : command.ignoredSignals) ::signal(number, SIG_IGN);
    sigset_t mask;
    sigemptyset(&mask);
    for (int number : command.blockedSignals) sigaddset(&mask, number);
    sigprocmask(SIG_SETMASK, &mask, nullptr);
    if (!command.cwd.empty() && chdir(command.cwd.c_str()) != 0) _exit(126);
    execve(command.program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  close(outPipe[1]);
  close(errPipe[1]);
  fds_[0] = outPipe[0];
  fds_[1] = errPipe[0];
}

RunningProcess::~RunningProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  for (int fd : fds_) {
    if (fd >= 0) close(fd);
  }
}

// Reads what is available within the time given; false once both pipes are closed.
bool RunningProcess::pump(int milliseconds) {
  pollfd fds[2] = {{fds_[0], POLLIN, 0}, {fds_[1], POLLIN, 0}};
  std::string* sinks[2] = {&result_.out, &result_.err};
  if (fds_[0] < 0 && fds_[1] < 0) return false;
  if (poll(fds, 2, milliseconds) <= 0) return true;
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      sinks[i]->append(buffer, static_cast<std::size_t>(n));
    } else {
      close(fds_[i]);
      fds_[i] = -1;
    }
  }
  return true;
}

bool RunningProcess::waitForOutput(const std::string& text, int count, int timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  auto seen = [&] {
    int n = 0;
    for (std::size_t at = result_.out.find(text); at != std::string::npos; at = result_.out.find(text, at + 1)) ++n;
    return n >= count;
  };
  while (!seen()) {
    if (std::chrono::steady_clock::now() > deadline || !pump(100)) return seen();
  }
  return true;
}

void RunningProcess::signal(int number) { kill(pid_, number); }

ProcessResult RunningProcess::finish(int timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSeconds);
  bool killed = false;
  while (pump(100)) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid_, SIGKILL);
      killed = true;
      break;
    }
  }
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  if (killed) result_.err += "\n[killed after timeout]";
  return result_;
}

ProcessResult runProcess(const ProcessCommand& command) { return RunningProcess(command).finish(command.timeoutSeconds); }

int occurrences(const std::string& text, const std::string& part) {
  int n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}
