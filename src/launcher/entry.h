// entry: the process entry point, and the one end of every launch (from main
// or the JVM's exit hook): exiting, re-executing or restarting.
#pragma once

#include <jni.h>

#include <string>

/// The argument count and the very vector the process received; a restart
/// passes them on unchanged.
extern int original_argc;
extern char** original_argv;
/// The working directory at start (empty when it could not be read).
extern std::string original_workingdir;
/// False until the entry point is about to return.
extern bool returned_thru_main;

/// Status when the application home cannot be determined: exit(-1).
inline constexpr int kNoHomeStatus = -1;

/// The body of main: records the start state, finds the application home,
/// runs the launch and passes its result through checkForRestart.
int launcherMain(int argc, char** argv);
/// Registered with atexit: traces exits that did not come back through main.
void atExitHandler();
/// Returns code, or re-executes the launcher when a restart is due: code 0
/// with a restart request, or the configured restart code when the
/// application produced it (applicationCode), unless the application was
/// restarted as often as the restart limit allows (reported).
int checkForRestart(int code, bool restartRequest, bool applicationCode);
/// The JVM exit hook given to the JVM as the "exit" option.
void JNICALL JVMExitHandler(jint code);
