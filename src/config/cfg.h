// The configuration: sources, directives and the state they fill.
#pragma once

/// Brings the configuration module to its start state.
void cfgInit();
/// Releases everything the module holds.
void cfgTerm();
/// Selects the configuration source and processes it; false after a fatal
/// configuration error (already reported).
bool cfgProcessConfig();

/// The absolute name of the configuration file being processed, or null.
const char* cfgGetCurrentConfigFile();
/// Makes name (null for none) the configuration file being processed.
void cfgSetCurrentConfigFile(const char* name);
/// 1 when the configuration came from the executable's archive comment, else 0.
int cfgGetConfigFileMode();

const char* cfgGetMainClass();
const char* cfgGetMainMethod();
const char* cfgGetVersionClass();
const char* cfgGetVersionMethod();
const char* cfgGetUsageClass();
const char* cfgGetUsageMethod();
const char* cfgGetExitClass();
const char* cfgGetExitMethod();
int cfgGetRestartOnExitCode();
int cfgGetUsageOnExitCode();
int cfgGetSocketPort();
bool cfgIsJPDASupportEnabled();
/// The prefix put before every launcher option name ("" by default).
const char* cfgGetCmdPrefix();
/// Prints the usage lines that the configuration added.
void cfgPrintUsage();
