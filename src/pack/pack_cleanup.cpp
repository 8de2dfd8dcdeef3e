// What a run of jlauncher-pack makes on the way, and how nothing of it stays
// behind: one list of what was made and of the tool running, and a thread
// that answers hang-up, interrupt and terminate. The answer is work no
// signal handler may do (it takes a lock, allocates, removes a tree), so the
// signals are blocked and a thread takes them with sigwait instead; then it
// ends the process by the same signal, whose status a shell shows as 128+n.

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>

#include "host/hmd.h"
#include "pack/pack.h"
#include "util/condition.h"

extern char** environ;

namespace {

constexpr int kCaughtSignals[] = {SIGHUP, SIGINT, SIGTERM};
// How long a tool has to end after SIGTERM before it is killed: jlink's JVM
// ends in well under a second.
constexpr auto kToolGrace = std::chrono::seconds(5);
// The answering thread needs little; the default would be 8 MiB of address
// space, which a memory limit counts.
constexpr std::size_t kAnswerStackSize = std::size_t{256} << 10;

constexpr const char* kCannotWatchMsg = "cannot watch for signals: %s";
constexpr const char* kUnsafeWorkDirMsg =
    "cannot keep temporary files in '%s': %s; set TMPDIR to a directory that nobody but root and you can change";
constexpr const char* kCannotMakeWorkDirMsg = "cannot make a temporary directory in '%s': %s";
constexpr const char* kCannotCreateMsg = "cannot create a file in '%s': %s";

/// One thing the run made: a file, or a directory removed with everything in
/// it. A file is only ever unlinked: in a shared directory its name may have
/// come to hold someone else's directory.
struct Made {
  std::string path;
  bool directory;
};

struct CleanupState {
  std::mutex lock;
  MonotonicCondition toolEnded;
  sigset_t caught{};                 ///< the signals the answering thread takes
  int signal = 0;                    ///< the signal being answered; 0: none
  bool ended = false;                ///< the run is over: a signal ends the process at once
  std::vector<Made> made{};          ///< what to remove, in the order made
  pid_t tool = 0;                    ///< the tool running; 0: none
};

// Never destroyed: the answering thread may use it while the process exits.
CleanupState& state() {
  static CleanupState* const cleanup = new CleanupState;
  return *cleanup;
}

// A directory is removed as it is, links and all, never what a link names.
void remove(const Made& made) {
  std::error_code ignored;
  if (made.directory) {
    std::filesystem::remove_all(made.path, ignored);
  } else {
    unlink(made.path.c_str());
  }
}

bool under(const std::string& path, const std::string& directory) {
  return path == directory || path.starts_with(directory + "/");
}

[[noreturn]] void endBy(int number) {
  std::signal(number, SIG_DFL);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, number);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  raise(number);
  // Only a signal that does not end a process gets here.
  _exit(128 + number);
}

// The answer to a signal. The tool goes first, as it may still be writing
// into the work directory; what the run made goes next. Whatever the first
// thread does meanwhile, it makes nothing new and renames nothing into
// place: every such step asks the state first.
void* answerSignals(void*) {
  CleanupState& s = state();
  int number = 0;
  while (sigwait(&s.caught, &number) != 0) {
  }
  std::vector<Made> made;
  {
    std::unique_lock<std::mutex> guard(s.lock);
    s.signal = number;
    if (s.ended) endBy(number);
    if (s.tool > 0) {
      kill(s.tool, SIGTERM);
      if (!s.toolEnded.wait_for(guard, kToolGrace, [&s] { return s.tool == 0; })) {
        kill(s.tool, SIGKILL);
        s.toolEnded.wait(guard, [&s] { return s.tool == 0; });
      }
    }
    made = s.made;
  }
  for (auto each = made.rbegin(); each != made.rend(); ++each) remove(*each);
  endBy(number);
}

bool fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

}  // namespace

bool packCatchSignals(std::string* error) {
  CleanupState& s = state();
  sigemptyset(&s.caught);
  for (int number : kCaughtSignals) {
    struct sigaction current {};
    if (sigaction(number, nullptr, &current) == 0 && current.sa_handler != SIG_IGN) sigaddset(&s.caught, number);
  }
  pthread_sigmask(SIG_BLOCK, &s.caught, nullptr);
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kAnswerStackSize);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  int started = pthread_create(&thread, &attributes, answerSignals, nullptr);
  pthread_attr_destroy(&attributes);
  if (started == 0) return true;
  pthread_sigmask(SIG_UNBLOCK, &s.caught, nullptr);
  return fail(error, packFormat(kCannotWatchMsg, std::strerror(started)));
}

void packEndRun() {
  CleanupState& s = state();
  std::unique_lock<std::mutex> guard(s.lock);
  if (s.signal == 0) {
    s.ended = true;
    return;
  }
  guard.unlock();
  // The signals are blocked here: nothing but the answer's end wakes this.
  for (;;) pause();
}

int packCreateFile(std::string* path, int suffixLength) {
  CleanupState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.signal != 0) {
    errno = EINTR;
    return -1;
  }
  int fd = mkostemps(path->data(), suffixLength, O_CLOEXEC);
  if (fd >= 0) s.made.push_back({*path, false});
  return fd;
}

bool packCreateDirectory(std::string* path) {
  CleanupState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.signal != 0) {
    errno = EINTR;
    return false;
  }
  if (mkdtemp(path->data()) == nullptr) return false;
  s.made.push_back({*path, true});
  return true;
}

bool packRenameFile(const std::string& path, const std::string& to) {
  CleanupState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  if (s.signal != 0) {
    errno = EINTR;
    return false;
  }
  if (rename(path.c_str(), to.c_str()) != 0) return false;
  std::erase_if(s.made, [&path](const Made& made) { return made.path == path; });
  return true;
}

void packRemove(const std::string& path) {
  // Removed under the lock, so that an answer to a signal finds it either
  // still listed or gone.
  CleanupState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  auto listed = std::find_if(s.made.begin(), s.made.end(), [&path](const Made& made) { return made.path == path; });
  if (listed == s.made.end()) return;
  remove(*listed);
  std::erase_if(s.made, [&path](const Made& made) { return under(made.path, path); });
}

int packSpawn(pid_t* pid, const std::string& program, const posix_spawn_file_actions_t* actions,
              const std::vector<std::string>& args) {
  CleanupState& s = state();
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &s.caught);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  int spawned = EINTR;
  {
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.signal == 0) {
      spawned = posix_spawn(pid, program.c_str(), actions, &attributes, argv.data(), environ);
      if (spawned == 0) s.tool = *pid;
    }
  }
  posix_spawnattr_destroy(&attributes);
  return spawned;
}

bool packWait(pid_t pid, int* status) {
  // Waited for without reaping it first: until it is reaped, under the lock,
  // its number is no one else's, and the answer to a signal may kill it.
  siginfo_t info;
  while (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) return false;
  }
  CleanupState& s = state();
  std::lock_guard<std::mutex> guard(s.lock);
  pid_t waited = waitpid(pid, status, 0);
  if (s.tool == pid) s.tool = 0;
  s.toolEnded.notify_all();
  return waited == pid;
}

PackWorkDir::~PackWorkDir() {
  if (!path_.empty()) packRemove(path_);
}

bool PackWorkDir::get(std::string* path, std::string* error) {
  if (path_.empty()) {
    const char* tmpdir = std::getenv("TMPDIR");
    std::string base = tmpdir != nullptr && *tmpdir != '\0' ? tmpdir : "/tmp";
    std::error_code ec;
    if (!base.starts_with("/")) base = std::filesystem::absolute(base, ec).string();
    // Where others may rename or replace entries, they would choose what the
    // packer reads back and packs; the directory made in it is the packer's
    // alone.
    // It is used as resolved: a link on the way that changes later leads
    // nowhere else.
    std::string why;
    std::optional<std::string> resolved = hmdTrustedPath(base, hmdOwnTrust(), why);
    if (!resolved) return fail(error, packFormat(kUnsafeWorkDirMsg, base.c_str(), why.c_str()));
    std::string made = *resolved + (resolved->ends_with("/") ? "" : "/") + "jlauncher-pack-XXXXXX";
    if (!packCreateDirectory(&made)) {
      return fail(error, packFormat(kCannotMakeWorkDirMsg, base.c_str(), std::strerror(errno)));
    }
    path_ = made;
  }
  *path = path_;
  return true;
}

int PackWorkDir::createFile(const std::string& name, std::string* error) {
  std::string dir;
  if (!get(&dir, error)) return -1;
  std::string path = dir + "/" + name + ".XXXXXX";
  int fd = packCreateFile(&path);
  if (fd < 0) fail(error, packFormat(kCannotCreateMsg, dir.c_str(), std::strerror(errno)));
  return fd;
}
