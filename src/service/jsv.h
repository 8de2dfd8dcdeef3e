// The JVM service: the one JVM of the process, the entry class, shutdown.
#pragma once

#include <string>
#include <vector>

/// True once the entry class supplied an exit status through getExitStatus.
extern bool jsvIgnoreVMExitCode;
/// That exit status.
extern int jsvInternalExitCode;

/// Creates the JVM from the final option list; 0 on success.
int jsvCreateJVM();
/// Runs the static method of the entry class with the arguments; returns the
/// application's exit status.
int jsvRunService(const char* entryClass, const char* mainMethod, const char* exitClass,
                  const char* exitMethod, int argc, const std::vector<std::string>& argv);
/// Destroys the JVM.
int jsvDestroyJVM();
/// Orderly shutdown: calls the application's exit method while it runs.
void jsvAbortService(bool flag);
/// Dumps the stacks of all Java threads.
void jsvDumpAllStacks();
