#include "launcher/entry.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "config/cfg.h"
#include "host/hmd.h"
#include "util/platform.h"
#include "jvm/cds.h"
#include "jvmoptions/jop.h"
#include "launcher/jap.h"
#include "service/dmn.h"
#include "service/jsv.h"
#include "host/ntf.h"
#include "util/utl.h"
#include "util/utrace.h"
#include "version.h"

int original_argc = 0;
char** original_argv = nullptr;
std::string original_workingdir;
bool returned_thru_main = false;

namespace {

constexpr const char* kAtExitWarningMsg = "Warning: Failed to register atexit() handler\n";
constexpr const char* kNoHomeMsg = "Can't get home directory\n";
constexpr const char* kReExecFailedMsg = "Unable to re-exec self [error=%d]\n";
constexpr const char* kTraceVariable = "UTRACE";
constexpr const char* kTraceRefusedMsg =
    "Error: The environment variable '%s' is not allowed: this launcher runs with set-user-ID or set-group-ID "
    "privileges.\n";

// A trace file is opened as every file the launcher writes is: a link or a
// FIFO someone else put where it is named is neither followed nor waited on.
int openTraceFile(const std::string& path, int flags, unsigned mode, std::string& why) {
  return hmdOpenOwnFile(path, flags, static_cast<mode_t>(mode), why);
}

// A trace line too long for the trace's buffer ends the launch.
[[noreturn]] void traceOverflowed() { utlExitProcess(1); }

std::string currentDirectory() {
  std::vector<char> buffer(kPathMax);
  return getcwd(buffer.data(), buffer.size()) ? std::string(buffer.data()) : std::string();
}

}  // namespace

int launcherMain(int argc, char** argv) {
  std::string home;
  ut_tonoverflow(traceOverflowed);
  if (std::atexit(atExitHandler) != 0) std::fputs(kAtExitWarningMsg, stdout);
  utlInit();
  ut_tsetfileopener(openTraceFile);
  ut_tproda("jlauncher %s", JLAUNCHER_VERSION);
  hmdRememberStartEnvironment();
  dmnInit();
  ntfInit();
  // The trace shows the configuration, which the caller of a set-ID
  // launcher may not be allowed to read.
  if (const char* trace = hmdGetEnvironmentValue(kTraceVariable); trace && *trace && utlIsSetIdMode()) {
    utlReport(kTraceRefusedMsg, kTraceVariable);
    utlExitProcess(1);
  }

  original_argc = argc;
  original_argv = argv;
  original_workingdir = currentDirectory();

  // A process started with an empty argument vector has no name to find
  // itself by.
  if (argc < 1 || argv[0] == nullptr || !hmdSetApplicationHome(argv[0], home, kPathMax)) {
    utlReport("%s", kNoHomeMsg);
    utlExitProcess(kNoHomeStatus);
  }
  hmdSetApplicationName(argv[0]);

  Outcome outcome;
  {
    // The strings stay the process's; only the pointer array is copied.
    std::vector<char*> args(argv, argv + argc + 1);
    outcome = japStart(LaunchRecord{home.c_str(), argc, args.data(), JVMExitHandler});
  }
  utlTerm();
  returned_thru_main = true;
  int status = finishLaunch(outcome, jsvIsApplicationStatus(false));
  // Not from the JVM's exit hook, where a native method may still read it.
  ntfTerm();
  return status;
}

namespace {

// What a launch leaves behind: the watchdog thread and the one waiting for
// listening sockets (which, still running when the process ends, would end
// it with std::terminate instead), the temporary files, the pid file, an
// unpublished recording. Each part is
// released once, whichever end comes first.
void releaseLaunch() {
  ntfStopWatchdog();
  ntfStopAwaiting();
  hmdRemoveLaunchFiles();
  dmnRemovePidFile();
  cdsTerm();
}

}  // namespace

int finishLaunch(Outcome outcome, bool applicationCode) {
  // Only the application's own status asks for a restart: one of the
  // launcher's failures would only fail the same way again, without end.
  if (outcome.next == Outcome::Next::kDone && outcome.status != 0 && applicationCode &&
      outcome.status == cfgGetRestartOnExitCode()) {
    outcome.next = Outcome::Next::kRestart;
  }
  int status = checkForRestart(outcome);
  releaseLaunch();
  return status;
}

void atExitHandler() {
  releaseLaunch();
  if (returned_thru_main) return;
  ut_tproda("C runtime exit() was called");
  // A part of the JVM that ends the process while the JVM is being created
  // has refused to start it (the debug agent does so, with status 2, for a
  // bad address): that is the launcher's failure to create the JVM, status
  // 1. Only a shared archive dump ends creation by design. This handler was
  // registered first, so it runs after all others.
  if (jsvIsCreatingJVM() && !jopIsParamSet("-Xshare:dump")) {
    std::fflush(nullptr);
    _exit(1);
  }
}

int checkForRestart(const Outcome& outcome) {
  const int code = outcome.status;
  if (outcome.next == Outcome::Next::kDone) return code;
  const bool reexecution = outcome.next == Outcome::Next::kReexecute;
  // The new image's environment is made apart and handed to exec: this path
  // runs in the JVM's exit hook too, while JVM threads that read the
  // process's environment still run, and setenv would change it under them.
  std::vector<std::string> environment = utlCopyEnvironment();
  // An application that fails at once would otherwise be restarted without
  // end, as fast as a JVM starts.
  if (reexecution) {
    dmnKeepHistory(environment);
  } else if (!dmnBeforeRestart(code, cfgGetRestartLimitCount(), cfgGetRestartLimitSeconds(), environment)) {
    return code;
  }
  ntfRestoreEnvironment(environment);

  ut_tproda("Reset CWD to '%s'", original_workingdir.c_str());
  if (!original_workingdir.empty()) (void)chdir(original_workingdir.c_str());
  ut_tproda("Exec'ing '%s' to restart server.....", original_argv[0]);
  // Whatever the launch printed must not be lost with this process image.
  std::fflush(stdout);
  // The new image starts afresh: the files and sockets this one opened (an
  // application's command port among them) must not live on in it, and it
  // writes its own temporary files.
  hmdRemoveLaunchFiles();
  hmdCloseDescriptorsOnExec();
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  // A set-ID launcher runs its own file again, never what a caller-chosen
  // argv[0] or PATH names; any other is found as the shell found it.
  if (utlIsSetIdMode()) {
    execve(hmdSelfExecutable(), original_argv, envp.data());
  } else {
    execvpe(original_argv[0], original_argv, envp.data());
  }
  int error = errno;
  utlReport(kReExecFailedMsg, error);
  return error;
}

void JNICALL JVMExitHandler(jint code) {
  ut_tproda("VM exited with java.lang.System.exit(%d)", static_cast<int>(code));
  // The JVM has written what it recorded before it calls this hook.
  cdsFinishRecording();
  if (jsvIgnoreVMExitCode.load()) {
    code = jsvInternalExitCode.load();
    ut_tproda("Using return code (%d) from main class to determine restart", static_cast<int>(code));
  }
  utlExitProcess(finishLaunch(Outcome{code, Outcome::Next::kDone}, jsvIsApplicationStatus(true)));
}
