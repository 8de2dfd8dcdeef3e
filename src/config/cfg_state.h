// The configuration module's state, shared by its source files (the module
// is split by topic). Nothing outside src/config includes this header.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "config/cfg.h"
#include "host/sysinfo.h"
#include "jvmoptions/jop.h"
#include "jvmoptions/jop_javacmd.h"
#include "util/utl.h"

struct CfgState {
  // Sources.
  std::string defaultConfigFileStorage;                ///< the +config file, "" for none
  std::optional<std::string> launcherConfigFileName;   ///< file being processed
  int configFileMode = 0;                              ///< 1: from the archive comment
  std::vector<std::string> configurationsRead;         ///< every file opened for its lines, in order
  /// Where each configured JVM option came from; the first recordedParams
  /// parameters and recordedProps properties have theirs.
  std::vector<CfgOptionOrigin> optionOrigins;
  int recordedParams = 0, recordedProps = 0;

  // Paths and classes.
  PathArray shlibpath;
  PathArray classpath;
  /// addpath entries that did not exist, each with its line and file.
  std::vector<std::string> missingClassPath;
  bool missingClassPathReported = false;  ///< named on standard error in this launch
  PathArray bootclasspath;
  std::optional<NameValueList> skipPath;
  std::optional<std::string> currentDir;
  std::optional<std::string> mainClass;
  std::optional<std::string> mainMethod = std::string("main");
  std::optional<std::string> versionClass, versionMethod;
  std::optional<std::string> usageClass, usageMethod;
  std::optional<std::string> exitClass, exitMethod;
  int restartCode = 0;
  /// At most restartLimitCount restarts within restartLimitSeconds.
  int restartLimitCount = 5;
  int restartLimitSeconds = 10;
  int usageCode = 0;
  int firstCommandOptionAppArg = 1;
  std::vector<std::string> appArgv;  ///< the application's arguments
  int jvmSubType = kSubTypeDefault;  ///< the flavour asked for: +clientvm and the like, else vmtype
  bool daemonSupport = false;
  std::optional<std::string> daemonLogDir;
  std::optional<std::string> pidFile;
  ReadinessSetting readiness;
  std::vector<CfgPackedJar> packedJars;
  std::optional<std::string> packedRuntime;
  std::optional<std::string> packedRuntimeGlibc;  ///< the oldest glibc the carried runtime runs with
  bool krxSaftyNet = true;

  // Macros and variables.
  NameValueList configVars;
  std::string lineBuffer;  ///< expansion output, reused by every line
  bool lineTooLong = false;  ///< the line being expanded passed the line limit
  std::size_t expandedTotal = 0;  ///< bytes of every line expanded so far

  // Behaviour flags.
  bool strictVMChecks = false;
  bool handleShutdown = false;
  bool allowri = false;
  bool makePathsAbsolute = true;
  bool allowJavaOnPath = true;
  bool appArgs = false;  ///< -D, -X and -verbose on the command line are application arguments
  bool startupCache = false;  ///< keep a class-data archive of the application for faster start-up
  bool quickStart = false;    ///< the start-up cache and the JVM profile of short-lived tools
  bool noOverrides = false;  ///< the site's and the user's override files are not read
  bool notifyReady = false;  ///< the application tells the service manager itself when it is ready
  VersionBanner versionBanner = VersionBanner::kNone;  ///< -showversion among the JVM parameters
  std::optional<std::string> splashImage;  ///< splash, or -splash: among the JVM parameters: the last one
  bool noSplash = false;                   ///< nosplash: no splash screen whoever names one

  // JPDA.
  bool jpdaSupportEnabled = false;
  bool jpdaStartPaused = false;
  std::optional<std::string> jpdaAddr;

  // Version requirement.
  int requiredVMVersion = 0;
  bool VMVersionCanBeHigher = false;
  bool VMVersionCanBeLower = false;
  std::string requiredVMVersionMessage;

  std::string cmdPrefix;
  NameValueList configuredUsage;

  // Configured JVM parameters and properties.
  JvmOptionList params;
  JvmOptionList props;
  bool cfgJVMOptionsFinalized = false;
  int socketPort = 0;
  DskApplication desktop;                     ///< the desktop directives
  std::optional<std::string> singleInstance;  ///< singleinstance: its id, empty for the application's name
  bool exportEnv = false;  ///< exportenv asked for the environment dump
};

/// The one configuration state of the process.
CfgState& cfgState();
/// The anchor of the configuration's relative paths: cfgGetAnchorDirectory,
/// or none with leavepathsrelative.
std::string cfgPathAnchor();

/// The heap option ("-Xms"/"-Xmx" prefix) for a vmmemmin/vmmemmax parameter,
/// into option: a size as written, or a percentage of what memory() reports;
/// none for "auto" or when memory() reports 0. False for a negative
/// percentage or one whose heap size is beyond the range of int.
bool cfgHeapSizeOption(std::string_view prefix, const std::string& param, MemorySize (*memory)(),
                       std::optional<std::string>& option);
