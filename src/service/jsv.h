// jsv = JVM service: the one JVM of the process, the entry class, the JVM
// checks and system properties, orderly shutdown and stack dumps.
#pragma once

#include <jni.h>

#include <atomic>
#include <string>
#include <vector>

#include "host/hmd.h"

/// True once the entry class supplied an exit status through getExitStatus.
/// Written by the main thread, read by the thread that calls System.exit:
/// the status is stored first.
extern std::atomic<bool> jsvIgnoreVMExitCode;
/// That exit status.
extern std::atomic<int> jsvInternalExitCode;

/// Creates the JVM from the final option list, checks it and registers the
/// launcher's natives, with the signal handling set up around the creation
/// from signalSetup (and the Java side told when the launcher answers the
/// signals); 0 on success, else the first failure's code.
int jsvCreateJVM(const HmdSignalSetup& signalSetup);
/// True while JNI_CreateJavaVM runs: a process ending then was refused its JVM.
bool jsvIsCreatingJVM();
/// Prints the -X usage of a modular runtime through the runtime's own usage
/// printer, in a JVM created for it and destroyed afterwards: 0 printed,
/// 1 after a reported failure, 2 when the runtime has no such printer.
int jsvPrintXUsage();
/// Prints the runtime's version as java -showversion (toStandardError: the
/// text of java -version) or --show-version (that of java --version) does,
/// in the JVM created for the launch.
void jsvPrintVersion(bool toStandardError);
/// True when an exit status is the application's own: a status through
/// System.exit (systemExit) once the entry method was called, else the
/// status of an entry method that returned (getExitStatus's value, if any).
/// Launcher failures and an exception escaping the entry method are not.
bool jsvIsApplicationStatus(bool systemExit);
/// Runs the static method of the entry class with the arguments; returns the
/// application's exit status, or 1 when it could not be run or an exception
/// escaped it. Just before the call it starts the watchdog and tells the
/// service manager what the configured readiness makes it (READY=1 for a
/// started service, else what is awaited); a service whose main returns is
/// ready then. When main fails before the service was ready, the JVM is
/// ended with status 1 instead of waiting for its threads.
int jsvRunService(const char* entryClass, const char* mainMethod, const char* exitClass, const char* exitMethod,
                  int argc, const std::vector<std::string>& argv);
/// What jsvRunService does before the entry call, and no more: looks up the
/// entry class (loading and initialising it, as a launch does) and its
/// static method, reporting what is missing as jsvRunService would; calls
/// nothing. 0 when both are found, else 1.
int jsvFindEntry(const char* entryClass, const char* mainMethod);
/// Hands the listening socket of a single instance to a thread that serves
/// later launches into the JVM created for the launch.
void jsvServeActivations(int fd);
/// Destroys the JVM (waiting for its non-daemon threads), then stops the watchdog.
int jsvDestroyJVM();
/// What looking up a static method found.
enum class MethodLookup {
  kFound,     ///< cls and method are set
  kNoClass,   ///< the class was not found or failed to load (reported)
  kNoMethod,  ///< the class has no such static method (not reported: the caller knows what was wanted)
};

/// Looks up a static method of a class named with '.' or '/'.
MethodLookup jsvGetStaticMethod(const char* className, const char* methodName, const char* signature, jclass* cls,
                                jmethodID* method);
/// Rewrites every '.' as '/', in place.
void jsvDotToSlash(std::string& text);

/// Checks the new JVM's version (and, strictly, its build); 0 when it may be used.
int jsvCheckJVM();

/// What a JVM says of itself through its system properties.
struct JvmIdentity {
  std::string vmInfo, vmVendor, vmVersion, vmName, runtimeName, runtimeVersion, osName, version;
};
/// The decision of jsvCheckJVM on the properties read: traces the identity,
/// reports a refusal; 0 when the JVM may be used.
int jsvJudgeJVM(const JvmIdentity& jvm);
/// The value of a system property, cut to capacity - 1 bytes (modified
/// UTF-8); value is left as it was when the property has none. 0 on
/// success, 1 after a reported failure.
int jsvGetSystemProperty(const char* name, std::string& value, std::size_t capacity = 256);
/// Sets a system property; 0 on success, 1 after a reported failure.
int jsvSetSystemProperty(const char* name, const char* value);

/// Orderly shutdown on a signal: tells the service manager on SIGTERM that
/// the service stops; calls the application's exit method while it runs
/// (without one, ends it as the JVM would on that signal); during JVM
/// destruction explains the wait, then forces the exit, except that a
/// service manager's SIGTERM then ends the JVM through System.exit (0 when
/// the exit method ran and returned normally, else 128 + the signal).
void jsvAbortService(bool flag, int signal);
/// Dumps the stacks of all Java threads (from a signal thread).
void jsvDumpAllStacks();
/// Prints a full thread dump on standard output on the calling thread, whose
/// JNI environment env is: through JVM_DumpAllStacks when the JVM exports it,
/// else through the runtime's thread-dump diagnostic command (modular
/// runtimes). False when neither could be used.
bool jsvPrintThreadDump(JNIEnv* env);
