// jap = Java application launch: the launch driver. It decides what the
// command line asks for (japDecide, a pure function), then runs the fixed
// sequence of stages between the entry point and the JVM, each taking the
// values the ones before it made:
//   parse the command line and the configuration          japStart
//   decide what to do                                     japDecide
//   make ready what the executable carries                pkdPrepare
//   choose the Java, once                                 jevChooseJava
//   prepare the loader's environment (or re-execute)      hmdSetEnvironment
//   hand over to a running single instance, or become it  sinClaim
//   load the JVM library                                  jevInit
//   finalize the JVM options                              jopFinalizeJVMOptions
//   the start-up cache's amendments                       cdsAddArchiveOptions
//   create the JVM, run the entry class, destroy the JVM  jsvCreateJVM, jsvRunService
// and hands back an Outcome, which the entry point finishes.
#pragma once

#include <jni.h>

#include <string>
#include <string_view>

#include "jvmoptions/jop.h"

/// The JVM exit hook: called by the JVM with the exit status instead of ending
/// the process itself.
using ExitHook = void(JNICALL*)(jint code);

/// What the entry point hands the launch driver.
struct LaunchRecord {
  const char* homeDir;  ///< the application home, owned by the entry point
  int argc;             ///< number of entries in argv
  char** argv;          ///< the arguments; in japStart2's record, those left after parsing
  ExitHook exitHook;    ///< given to the JVM as the "exit" option; may be null
};

/// How a launch ended: its status, and what the process is to do next.
struct Outcome {
  enum class Next {
    kDone,       ///< end with status
    kReexecute,  ///< run the launcher again: the loader's environment changed
    kRestart,    ///< run the launcher again: the application asked for it (restartonexit)
  };
  int status = 0;
  Next next = Next::kDone;
};

/// What a launch does, decided before any stage runs.
enum class LaunchAction {
  kUnit,         ///< +unit: print a service unit
  kCache,        ///< +cache: list or clear the extraction cache
  kDesktop,      ///< +desktop: install or remove the desktop entry
  kHelp,         ///< +help
  kXUsage,       ///< -X: the JVM's non-standard options
  kRefuseDebug,  ///< -jpda without jpda support configured: the help text, failing
  kVersion,      ///< +version: run the version class
  kUsage,        ///< +usage: run the usage class
  kRun,          ///< run the main class
};

/// The command line's requests, as japDecide reads them.
struct LaunchRequest {
  bool unit = false, cache = false, desktop = false, help = false, xusage = false, version = false, usage = false;
  bool javaCommand = false;      ///< +javacmd
  bool check = false;            ///< +check
  bool debug = false;            ///< -jpda
  bool debugSupported = false;   ///< jpda support configured
};

/// The decision: an action, and how an entry class is started.
struct LaunchPlan {
  LaunchAction action = LaunchAction::kRun;
  bool printJavaCommand = false;  ///< print the java command instead of creating the JVM
  bool check = false;             ///< create the JVM and find the entry class, run nothing
};

/// The command line's requests, once the configuration said which of its
/// options are enabled.
LaunchRequest japReadRequest();
/// What the launch does for request: +unit wins over everything, then
/// +cache, +desktop, +help, -X, an unsupported -jpda, +version, +usage; otherwise the main
/// class runs. +javacmd and +check say how an entry class is started.
LaunchPlan japDecide(const LaunchRequest& request);

/// Initialises the JVM-option, command-line and configuration modules.
void japInit();
/// Releases what japInit set up.
void japTerm();
/// Parses the command line, processes the configuration and runs the stages.
/// Status 0 for success and the informational runs.
Outcome japStart(const LaunchRecord& record);
/// Runs the launch stages in their fixed order: the first failing stage's
/// status, a re-execution, or the application's status.
Outcome japStart2(const LaunchRecord& record);
/// The values the final JVM option list is built from: the configuration's
/// options and class paths, the command line's debugger, the Java chosen and
/// the class path of the jars the executable carries.
JopFinalInputs japFinalInputs(const JavaChoice& java, const std::string& carried);
/// +desktop's words (install or uninstall, then --prefix DIR): writes or
/// removes the configured desktop entry, icons and file types; the status.
int japDesktopCommand(const std::vector<std::string>& words);
/// The class to run for mainClass: the login bootstrap class when the
/// application home holds security keys, else mainClass; null for null.
const char* japConfigureForSSL(const char* mainClass);
/// Orderly shutdown of the running application on a signal (signal handling
/// passes true for flag); with daemonsupport, a hang-up reopens the log instead.
void japStop(bool flag, int signal);
/// Dumps the stacks of all Java threads.
void japDumpAllStacks();

/// Prints the usage text: "Usage: <argv[0]>", the launcher options and the
/// usage lines the configuration added.
void japPrintHelp();
/// Prints the shell command that runs the same application with plain java.
void japPrintJavaCmd(const JavaChoice& java, const char* entryClass);
/// text as one shell word: unchanged when plain, in double quotes when its
/// only special character is a space, else single-quoted.
std::string japQuoteSpaces(std::string_view text);
