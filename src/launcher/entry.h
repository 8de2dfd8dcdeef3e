// entry: the process entry point, and the one end of every launch (from main
// or the JVM's exit hook): exiting, re-executing or restarting.
#pragma once

#include <jni.h>

#include <string>

#include "launcher/jap.h"

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
/// runs the launch and finishes it (finishLaunch).
int launcherMain(int argc, char** argv);
/// The one end of every launch, from main and from the JVM's exit hook: a
/// due re-execution or restart replaces the process image (checkForRestart);
/// otherwise the launch's files and threads go and the status is returned,
/// for main to return or the hook to exit with.
int finishLaunch(Outcome outcome, bool applicationCode);
/// Registered with atexit, for exits that do not come through finishLaunch:
/// the same clean-up, and the trace of such an exit.
void atExitHandler();
/// Returns the outcome's status, or re-executes the launcher when it asks
/// for a re-execution or a restart, unless the application was restarted as
/// often as the restart limit allows (reported).
int checkForRestart(const Outcome& outcome);
/// The JVM exit hook given to the JVM as the "exit" option.
void JNICALL JVMExitHandler(jint code);
