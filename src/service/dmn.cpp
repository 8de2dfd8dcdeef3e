// Running as a daemon: the pid file, the log file, the restart history and
// the systemd unit.

#include "service/dmn.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "host/hmd.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kAlreadyRunningMsg = "Error: %s is already running (pid %ld).\n";
constexpr const char* kPidFileFailedMsg = "Error: Unable to write the pid file '%s': %s.\n";
constexpr const char* kLogFailedMsg = "Error: Unable to open the log file '%s': %s.\n";
constexpr const char* kRestartLimitMsg =
    "Not restarting the application, which ended with status %d: it was restarted %d times within %d seconds.\n";

// The restart history of the images before this one: the times of their
// restarts, comma-separated.
constexpr const char* kRestartsVariable = "JLAUNCHER_RESTARTS";
// What a pid file may hold: a number and a line end; anything longer names
// no process of ours.
constexpr std::size_t kPidFileLimit = 32;

struct DmnState {
  std::string pidFile;               ///< written by this process; removed at its end
  std::string logFile;               ///< where standard output and error go, "" when left alone
  std::vector<long long> restarts;   ///< the history handed on by the previous image
};

DmnState state;

std::string directoryOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string readLink(const std::string& path) {
  char target[kPathMax + 1];
  ssize_t length = readlink(path.c_str(), target, kPathMax);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

// True when the process runs the same executable file as this one: another
// instance of this launcher. A process of another user whose executable
// cannot be read counts as none.
bool runsThisLauncher(long pid) {
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
  std::string theirs = readLink("/proc/" + std::to_string(pid) + "/exe");
  return !theirs.empty() && theirs == readLink("/proc/self/exe");
}

// The process id a pid file names, or none when it names none. Only the
// user's own file, or root's, is believed: anyone else's could name any
// process they like.
std::optional<long> readPid(const std::string& path) {
  int fd = hmdOpenTrustedFile(path, O_RDONLY, hmdOwnTrust());
  if (fd < 0) return std::nullopt;
  char text[kPidFileLimit + 1];
  ssize_t length = read(fd, text, kPidFileLimit);
  close(fd);
  if (length <= 0) return std::nullopt;
  text[length] = '\0';
  char* end = nullptr;
  long pid = std::strtol(text, &end, 10);
  if (end == text || (*end != '\0' && *end != '\n') || pid <= 0) return std::nullopt;
  return pid;
}

long long monotonicMilliseconds() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// systemd expands specifiers (%n, %i) in every setting's value.
std::string specifiersEscaped(std::string_view text) {
  std::string escaped;
  for (char c : text) escaped += c == '%' ? std::string("%%") : std::string(1, c);
  return escaped;
}

void handOnHistory(const std::vector<long long>& history, std::vector<std::string>& environment) {
  std::string value;
  for (long long time : history) value += (value.empty() ? "" : ",") + std::to_string(time);
  utlSetInEnvironment(environment, kRestartsVariable, value.empty() ? std::nullopt : std::optional(value));
}

// Opens the log file for appending: the user's own regular file, in a
// directory nobody else can change.
int openLog(const std::string& path, std::string& why) {
  return hmdOpenOwnFile(path, O_WRONLY | O_CREAT | O_APPEND, 0640, why);
}

// Standard output and error become the file; the JVM and the application
// write to descriptors 1 and 2, so they follow without knowing.
void takeOver(int fd) {
  std::fflush(stdout);
  std::fflush(stderr);
  dup2(fd, STDOUT_FILENO);
  dup2(fd, STDERR_FILENO);
  close(fd);
}

// True when standard output or error is the journal stream systemd names.
bool writesToJournal() { return utlIsJournalStream(STDOUT_FILENO) || utlIsJournalStream(STDERR_FILENO); }

}  // namespace

void dmnInit() {
  state = DmnState{};
  if (const char* history = hmdGetEnvironmentValue(kRestartsVariable)) {
    for (const std::string& time : utlSplitList(history, ",")) {
      // A number out of range is taken as the nearest one there is
      // (strtoll saturates): the history only counts restarts.
      char* end = nullptr;
      long long value = std::strtoll(time.c_str(), &end, 10);
      if (end != time.c_str() && *end == '\0') state.restarts.push_back(value);
    }
    unsetenv(kRestartsVariable);
  }
}

void dmnTerm() { state = DmnState{}; }

bool dmnWritePidFile(const std::string& path, const char* name) {
  // Where others could rename or replace entries, they would choose what
  // the launcher overwrites, and what a later start believes. Everything
  // is done in the directory as resolved, to the end: a link on the way
  // that changes later leads nowhere else.
  std::string why;
  std::optional<std::string> directory = hmdOwnDirectory(directoryOf(path), why);
  if (!directory) {
    utlReport(kPidFileFailedMsg, path.c_str(), why.c_str());
    return false;
  }
  const std::string file = *directory + (directory->ends_with("/") ? "" : "/") + path.substr(path.rfind('/') + 1);
  std::string temporary = file + ".XXXXXX";
  int fd = mkostemp(temporary.data(), O_CLOEXEC);
  const std::string pidLine = std::to_string(getpid()) + "\n";
  bool written = fd >= 0 && fchmod(fd, 0644) == 0 && hmdWriteAll(fd, pidLine.data(), pidLine.size());
  int error = errno;
  if (fd >= 0 && close(fd) != 0 && written) {
    written = false;
    error = errno;
  }
  // A link takes the name only while no file holds it: of two instances
  // starting together, the second finds the first one's file. Where the
  // name is held (or links are not to be had), what the file names decides.
  if (written && link(temporary.c_str(), file.c_str()) == 0) {
    unlink(temporary.c_str());
  } else if (written) {
    if (std::optional<long> pid = readPid(file); pid && *pid != getpid()) {
      if (runsThisLauncher(*pid)) {
        unlink(temporary.c_str());
        utlReport(kAlreadyRunningMsg, name, *pid);
        return false;
      }
      ut_tproda("Replacing the pid file '%s' of process %ld, which is no instance of this launcher", path.c_str(),
                *pid);
    }
    if (rename(temporary.c_str(), file.c_str()) != 0) {
      written = false;
      error = errno;
    }
  }
  if (!written) {
    if (fd >= 0) unlink(temporary.c_str());
    utlReport(kPidFileFailedMsg, path.c_str(), std::strerror(error));
    return false;
  }
  state.pidFile = file;
  ut_tproda("Wrote the pid file '%s'", file.c_str());
  return true;
}

void dmnRemovePidFile() {
  if (state.pidFile.empty()) return;
  unlink(state.pidFile.c_str());
  state.pidFile.clear();
}

bool dmnRedirectOutput(const std::string& directory, const char* name) {
  if (writesToJournal()) {
    ut_tproda("Output left to the service manager's journal, which JOURNAL_STREAM names");
    return true;
  }
  std::string path = directory + "/" + name + ".log";
  std::string why;
  int fd = openLog(path, why);
  if (fd < 0) {
    utlReport(kLogFailedMsg, path.c_str(), why.c_str());
    return false;
  }
  ut_tproda("Output goes to '%s'", path.c_str());
  takeOver(fd);
  state.logFile = path;
  return true;
}

void dmnReopenLog() {
  if (state.logFile.empty()) {
    ut_tproda("No log file to reopen");
    return;
  }
  std::string why;
  int fd = openLog(state.logFile, why);
  // The old file, renamed, still takes the output: better than none.
  if (fd < 0) {
    utlReport(kLogFailedMsg, state.logFile.c_str(), why.c_str());
    return;
  }
  takeOver(fd);
  ut_tproda("Reopened '%s'", state.logFile.c_str());
}

RestartPlan dmnPlanRestart(const std::vector<long long>& history, long long now, int count, int seconds) {
  RestartPlan plan{false, {}};
  // Compared without a difference of the two, which a time from the far
  // past (the environment is anyone's) would overflow.
  const long long windowStart = now - static_cast<long long>(seconds) * 1000;
  for (long long time : history) {
    if (time > windowStart) plan.history.push_back(time);
  }
  plan.allowed = plan.history.size() < static_cast<std::size_t>(count);
  if (plan.allowed) plan.history.push_back(now);
  return plan;
}

bool dmnBeforeRestart(int status, int count, int seconds, std::vector<std::string>& environment) {
  RestartPlan plan = dmnPlanRestart(state.restarts, monotonicMilliseconds(), count, seconds);
  if (!plan.allowed) {
    utlReport(kRestartLimitMsg, status, count, seconds);
    return false;
  }
  handOnHistory(plan.history, environment);
  return true;
}

void dmnKeepHistory(std::vector<std::string>& environment) { handOnHistory(state.restarts, environment); }

std::string dmnSystemdWord(std::string_view word) {
  bool quote = word.empty() || word == ";";
  for (char c : word) {
    if (std::strchr(" \t\n\"'\\", c) != nullptr || static_cast<unsigned char>(c) < 0x20 || c == 0x7f) quote = true;
  }
  std::string text;
  if (quote) text += '"';
  for (char c : word) {
    if (c == '%' || c == '$') {
      text += std::string(2, c);
    } else if (quote && (c == '"' || c == '\\')) {
      text += std::string("\\") + c;
    } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", static_cast<unsigned char>(c));
      text += escaped;
    } else {
      text += c;
    }
  }
  if (quote) text += '"';
  return text;
}

namespace {

constexpr const char* kUserOption = "--user";
constexpr const char* kNoUserNameWhy = "--user needs the name of the user the service runs as";
constexpr const char* kControlWhy = "%s %s holds control characters, which a unit cannot hold";

// The comments of the unit, which say why a setting is there, or what to
// set in its place.
constexpr const char* kReadinessComment =
    "# Ready once main is called. A server that serves only once it listens\n"
    "# says so with \"readiness listening\" in its configuration.\n";
constexpr const char* kStopStatusComment = "# The status of a stop by SIGTERM, which is no failure.\n";
constexpr const char* kRestartComment =
    "# The launcher restarts the application itself on status %d (restartonexit),\n"
    "# up to restartlimit times, and systemd restarts the unit on top of that:\n"
    "# the counts multiply. To leave restarts to systemd, remove restartonexit.\n";
constexpr const char* kRootComment = "# Runs as root; +unit --user NAME runs it as that user.\n";
constexpr const char* kCacheComment = "# The start-up cache and what the application extracts ($CACHE_DIRECTORY).\n";
constexpr const char* kPidFileComment =
    "# systemd knows the main process without a pid file: this one is for other tools.\n";
constexpr const char* kPidFileElsewhereComment =
    "# A user other than root writes it in RuntimeDirectory=: \"pidfile /run/%s/%s\".\n";

bool hasControl(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

// A directory name systemd takes as it stands in CacheDirectory= and
// RuntimeDirectory=, which split at spaces and refuse "." and "..": the
// application's name with anything else made '_'.
std::string directoryName(std::string_view name) {
  std::string plain;
  for (char c : name) plain += std::isalnum(static_cast<unsigned char>(c)) || std::strchr("._-+@", c) ? c : '_';
  if (plain.empty() || plain[0] == '.') plain.insert(0, "_");
  return plain;
}

// The directory below /run that holds the pid file, as RuntimeDirectory=
// names it; none when the file lies elsewhere, or directly in /run.
std::optional<std::string> runtimeDirectoryOf(const std::string& pidFile) {
  const std::string directory = directoryOf(pidFile);
  for (std::string_view run : {"/run/", "/var/run/"}) {
    if (!directory.starts_with(run) || directory.size() == run.size()) continue;
    std::string below = directory.substr(run.size());
    for (const std::string& part : utlSplitList(below, "/")) {
      if (part != directoryName(part)) return std::nullopt;
    }
    return below;
  }
  return std::nullopt;
}

// The group a unit's Group= names for user: the user's primary group where
// this system knows the user, else the group of the same name that a
// system user is usually given with it.
std::string groupOf(const std::string& user) {
  if (const struct passwd* entry = getpwnam(user.c_str())) {
    if (const struct group* group = getgrgid(entry->pw_gid)) return group->gr_name;
  }
  return user;
}

// The words after +unit: "--user NAME" (or "--user=NAME") first, the
// service's command line after them. False with why when --user has no
// name.
bool takeUser(std::vector<std::string>& args, std::optional<std::string>& user, std::string& why) {
  const std::string equals = std::string(kUserOption) + "=";
  std::size_t words = 1;
  if (!args.empty() && args[0] == kUserOption) {
    user = args.size() > 1 ? args[1] : "";
    words = 2;
  } else if (!args.empty() && args[0].starts_with(equals)) {
    user = args[0].substr(equals.size());
  } else {
    return true;
  }
  if (user->empty()) {
    why = kNoUserNameWhy;
    return false;
  }
  args.erase(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(std::min(words, args.size())));
  return true;
}

}  // namespace

bool dmnUnit(const UnitRequest& request, std::string& unit, std::string& why) {
  std::vector<std::string> args = request.args;
  std::optional<std::string> user;
  if (!takeUser(args, user, why)) return false;
  // A line break would end the setting and start one the text chose
  // (ExecStartPre=, User=): the name, the user and the pid file are
  // refused, as no setting can hold them; the command's words are escaped.
  const std::string userName = user.value_or("");
  struct Named {
    const char* what;
    const std::string& text;
  } named[] = {{"the application name", request.name}, {"the user", userName}, {"the pid file", request.pidFile}};
  for (const Named& n : named) {
    if (hasControl(n.text)) {
      why = utlFormat(kControlWhy, n.what, dmnSystemdWord(n.text).c_str());
      return false;
    }
  }
  std::string command = dmnSystemdWord(request.launcher);
  for (const std::string& arg : args) command += " " + dmnSystemdWord(arg);
  const std::string directory = directoryName(request.name);

  unit = "[Unit]\nDescription=" + specifiersEscaped(request.name) + "\n\n[Service]\nType=notify\nNotifyAccess=main\n";
  if (!request.readinessSet) unit += kReadinessComment;
  unit += "ExecStart=" + command + "\n";
  // daemonsupport: a hang-up reopens the log, and ends nothing.
  if (request.reopensLog) unit += "ExecReload=/bin/kill -HUP $MAINPID\n";
  // The launcher stops the application in order on SIGTERM: KillMode=mixed
  // leaves the JVM's own children to it first.
  unit += "KillMode=mixed\nTimeoutStopSec=90\n#WatchdogSec=30\nRestart=on-failure\n";
  unit += std::string(kStopStatusComment) + "SuccessExitStatus=143\n";
  if (request.restartCode != 0) {
    unit += utlFormat(kRestartComment, request.restartCode) +
            "RestartForceExitStatus=" + std::to_string(request.restartCode) + "\n";
  }
  if (user) {
    unit += "User=" + specifiersEscaped(*user) + "\nGroup=" + specifiersEscaped(groupOf(*user)) + "\n";
  } else {
    unit += std::string(kRootComment) + "#User=" + directory + "\n";
  }
  if (request.caches) {
    unit += std::string(kCacheComment) + "CacheDirectory=" + directory + "\n";
  }
  if (!request.pidFile.empty()) {
    std::optional<std::string> runtime = runtimeDirectoryOf(request.pidFile);
    unit += kPidFileComment;
    if (!runtime) {
      const std::string file = request.pidFile.substr(request.pidFile.rfind('/') + 1);
      unit += utlFormat(kPidFileElsewhereComment, directory.c_str(), file.c_str());
    }
    unit += "RuntimeDirectory=" + runtime.value_or(directory) + "\nPIDFile=" + specifiersEscaped(request.pidFile) +
            "\n";
  }
  unit += "\n[Install]\nWantedBy=multi-user.target\n";
  return true;
}
