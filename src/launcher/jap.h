// The launch driver: the fixed sequence of launch stages between the entry
// point and the JVM.
#pragma once

#include <jni.h>

#include <string>
#include <string_view>

/// The JVM exit hook: called by the JVM with the exit status instead of ending
/// the process itself.
using ExitHook = void(JNICALL*)(jint code);

/// What the entry point hands the launch driver.
struct LaunchRecord {
  const char* homeDir;  ///< the application home, owned by the entry point
  int argc;             ///< number of entries in argv
  char** argv;          ///< the arguments; in japStart2's record, those left after parsing
  ExitHook exitHook;    ///< given to the JVM as the "exit" option; may be null
  bool* restartFlag;    ///< set by environment preparation when a re-execution is due
};

/// Initialises the JVM-option, command-line and configuration modules.
void japInit();
/// Releases what japInit set up.
void japTerm();
/// Parses the command line, processes the configuration and runs the stages.
/// Returns the launch result (0 for success and the informational runs).
int japStart(LaunchRecord* record);
/// Runs the launch stages in their fixed order; returns the first failing
/// stage's result, or the application's.
int japStart2(LaunchRecord* record);
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
void japPrintJavaCmd(const char* entryClass);
/// text as one shell word: unchanged when plain, in double quotes when its
/// only special character is a space, else single-quoted.
std::string japQuoteSpaces(std::string_view text);
