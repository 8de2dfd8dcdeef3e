// cfg = configuration: its sources, the directive language and the state the
// directives fill. One directive per line, a directive word and a parameter;
// every line is macro-expanded before its directive runs.
#pragma once

#include <jni.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/dsk.h"
#include "jvmoptions/jop.h"
#include "jvmoptions/jop_javacmd.h"
#include "jvmoptions/vminfo.h"
#include "util/utl.h"

// ---------------------------------------------------------------------------
// Sources and processing.

/// Brings the configuration module to its start state.
void cfgInit();
/// Releases everything the module holds. The exit codes stay readable, as the
/// restart decision is made after the launch has ended.
void cfgTerm();
/// Selects the configuration source (+config file, the default file beside
/// the launcher, or the comment of the archive appended to the executable)
/// and processes it; false after a fatal configuration error (reported).
/// After the application's own configuration (not one named with +config)
/// come the override files of the site (/etc/NAME.d/*.config) and of the
/// user (NAME/*.config in hmdUserConfigDirectory, never in set-ID mode),
/// NAME being the application's configuration file name without .config,
/// unless the application's own configuration says "options nooverrides".
bool cfgProcessConfig();
/// The configuration files read, in the order they were read (the
/// executable's name for its archive comment).
const std::vector<std::string>& cfgGetConfigurationsRead();
/// A configured JVM option and the line that gave it.
struct CfgOptionOrigin {
  std::string option;
  std::string file;
  int line = 0;
};
/// Every configured JVM parameter and property with its line, in the order
/// the lines were processed.
const std::vector<CfgOptionOrigin>& cfgGetOptionOrigins();
/// Processes one configuration file; reentrant for includes. The caller makes
/// path the current configuration file around the call.
bool cfgProcessConfigFile(const std::string& path);
/// name made absolute (unless paths are left relative), or the default file
/// name when name is none or empty.
std::string cfgGetConfigFileName(const char* name);

/// Stores the file named with +config; false when it does not fit the
/// platform's path buffer.
bool cfgSetDefaultConfigFile(std::string_view name);
/// The file named with +config ("" when there is none).
const std::string& cfgGetDefaultConfigFile();

/// The absolute name of the configuration file being processed, or null.
const char* cfgGetCurrentConfigFile();
/// Makes name (null for none) the configuration file being processed.
void cfgSetCurrentConfigFile(const char* name);
/// 1 when the configuration came from the executable's archive comment, else 0.
int cfgGetConfigFileMode();
/// The directory the configuration's relative paths are taken from: that of
/// the configuration file being processed, or the launcher's own when there
/// is none or the configuration came from the executable's archive comment
/// (read from a temporary copy, whose directory means nothing to the
/// application).
std::string cfgGetAnchorDirectory();

// ---------------------------------------------------------------------------
// Directive handlers. Each takes the expanded parameter (which it may change)
// and returns false when the directive failed.

using DirectiveHandler = bool (*)(std::string& param);

/// One row of the directive table, written with designated initialisers. Every
/// directive needs a non-empty parameter unless the row allows an empty one.
struct DirectiveEntry {
  const char* name;          ///< the directive word, matched exactly
  DirectiveHandler handler;  ///< performs the directive
  /// Message printed when the handler fails: null for the default message,
  /// kErrorReported when the handler printed its own, else a format with the
  /// expanded line, the line number and the file name.
  const char* errorFormat = nullptr;
  bool emptyAllowed = false;  ///< an empty parameter is allowed too (one a macro may empty)
};

/// errorFormat of a directive whose handler reports its own failure.
extern const char* const kErrorReported;
/// The directive table, in its fixed order.
extern const DirectiveEntry directiveList[];
extern const int directiveListCount;

bool cfgAddLibPath(std::string& param);
bool cfgSetJavaHome(std::string& param);
bool cfgSetJavaPath(std::string& param);
/// vmtype: the flavour, unless the command line or an earlier line chose one.
bool cfgSetVMType(std::string& param);
bool cfgSetMainClass(std::string& param);
bool cfgSetMainMethod(std::string& param);
bool cfgSetVersionClass(std::string& param);
bool cfgSetUsageClass(std::string& param);
bool cfgSetExitClass(std::string& param);
bool cfgSetRestartOnExitCode(std::string& param);
bool cfgSetUsageOnExitCode(std::string& param);
/// "<count>/<seconds>": restartonexit restarts at most count times within
/// seconds; false unless both are whole numbers from 1 (count up to 1000).
bool cfgSetRestartLimit(std::string& param);
bool cfgAddPath(std::string& param);
/// The .jar and .zip files of a directory, sorted by name; false, with the
/// input refused, for one that holds j2ee.jar while the safety net is on
/// and allowri off (addbootjars too).
bool cfgAddJars(std::string& param);
bool cfgSetVMParam(std::string& param);
/// The JVM options of the parameter, split into words as a shell splits them
/// (quotes and backslashes); each -D word is added as a property, every
/// other as a parameter, in order. Empty adds nothing; false for an unclosed
/// quote.
bool cfgSetVMParams(std::string& param);
/// The JVM options of a file, one for each word between blanks, tabs and
/// line ends (quotes and '#' are kept as written), added as cfgSetVMParams
/// adds them. A file that does not exist, or is no regular file, adds
/// nothing; false when it cannot be read or is refused (reported).
bool cfgSetVMParamsFile(std::string& param);
bool cfgSetVMProp(std::string& param);
bool cfgSetVMMemMin(std::string& param);
bool cfgSetVMMemMax(std::string& param);
/// nosplash: the application argument "-nosplash", and no splash screen
/// shown by the launcher.
bool cfgSetNoSplash(std::string& param);
/// splash: the image shown while the JVM starts, a path of the configuration.
bool cfgSetSplashImage(std::string& param);
bool cfgSetSocketPort(std::string& param);
/// singleinstance [id]: one running instance per user; later launches hand
/// their request to it. The id names the instance's socket, so it must be a
/// plain file name (letters, digits, '.', '_', '-', not starting with '.').
bool cfgSetSingleInstance(std::string& param);
/// True when text may name a single instance: 1 to 64 letters, digits, '.',
/// '_' or '-', not starting with '.'.
bool cfgIsInstanceId(std::string_view text);
bool cfgSetCopyEnv(std::string& param);
/// desktopname, desktopicon (one image per size, a path as other files'),
/// desktopcategories and mimetype: what +desktop install tells the desktop.
bool cfgSetDesktopName(std::string& param);
bool cfgAddDesktopIcon(std::string& param);
bool cfgSetDesktopCategories(std::string& param);
bool cfgAddMimeType(std::string& param);
bool cfgSetExportEnv(std::string& param);
/// True once exportenv asked for the environment dump.
bool cfgIsExportEnvEnabled();
/// When exportenv asked for it, writes the environment dump and adds the
/// property naming it; the file is removed when the launch ends. False when
/// no file could be written (reported).
bool cfgWriteExportEnv();
bool cfgSetCurrentDir(std::string& param);
bool cfgSetDaemonSupport(std::string& param);
/// The file the running launcher writes its process id to, relative to the
/// configuration file.
bool cfgSetPidFile(std::string& param);
/// "SHA256 NAME": a jar the executable's archive carries whole, to be
/// extracted under that name; false unless the hash is 64 lowercase hex
/// digits and the name a plain file name.
bool cfgAddPackedJar(std::string& param);
/// "SHA256" or "SHA256 glibc=VERSION": the executable's archive carries a
/// Java runtime, which needs that glibc or a later one; false unless the
/// hash is 64 lowercase hex digits and the version digits and dots.
bool cfgSetPackedRuntime(std::string& param);
bool cfgAddAppArg(std::string& param);
/// The application arguments of the parameter, split into words as a shell
/// splits them (so "" is an empty argument), inserted as cfgAddAppArg
/// inserts one. Empty adds nothing; false for an unclosed quote.
bool cfgAddAppArgs(std::string& param);
bool cfgAddBootPath(std::string& param);
bool cfgAddBootJars(std::string& param);
bool cfgAddSkipPath(std::string& param);
bool cfgInclude(std::string& param);
bool cfgIncludeDir(std::string& param);
bool cfgSet(std::string& param);
bool cfgExport(std::string& param);
bool cfgSetFromOption(std::string& param);
bool cfgEnsureDirExists(std::string& param);
bool cfgEnableJPDA(std::string& param);
bool cfgOptionsCmd(std::string& param);
bool cfgCmdPrefixCmd(std::string& param);
bool cfgVMVersionCmd(std::string& param);

/// Splits "class" or "class.method()" into class and method. Without "()"
/// the method keeps its value.
void cfgSplitClassIntoClassAndMethod(const std::string& text, std::optional<std::string>& className,
                                     std::optional<std::string>& method);

// ---------------------------------------------------------------------------
// Accessors.

/// The configured shared library directories.
const PathArray& cfgGetShLibPath();
/// The class path without the entries that are also on the boot class path
/// (those are dropped from the class path itself), or none when empty.
std::optional<std::string> cfgGetClassPath();
/// Each addpath entry that did not exist and was left out of the class path,
/// as "'<path>' (line N of '<file>')".
const std::vector<std::string>& cfgGetMissingClassPath();
/// Names each of them on standard error, once in a launch however often it
/// is asked; nothing in set-ID mode, whose caller may not read the
/// configuration.
void cfgReportMissingClassPath();
/// The boot class path, or none when empty.
std::optional<std::string> cfgGetBootClassPath();
const char* cfgGetCurrentDir();
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
bool cfgGetDaemonSupport();
const char* cfgGetDaemonLogDir();
/// The pid file's absolute path, or null when none is configured.
const char* cfgGetPidFile();
/// When a service is ready to a service manager ("readiness").
enum class Readiness {
  kStarted,       ///< when the entry method is called
  kListening,     ///< when the process listens on a TCP port (each of ports, when named)
  kMainReturned,  ///< when the entry method returns normally
  kApplication,   ///< when the application says so through its companion class
};
struct ReadinessSetting {
  Readiness kind = Readiness::kStarted;
  std::vector<int> ports;  ///< kListening: the ports that must all listen; none for any
  bool named = false;      ///< a readiness directive chose it, or options notifyready
};
/// "started", "listening", "listening:PORT[,PORT...]", "mainreturned" or
/// "application"; false for anything else, or a port outside 1 to 65535.
bool cfgSetReadiness(std::string& param);
/// The readiness configured; "options notifyready" is "application" unless
/// a readiness directive says otherwise.
ReadinessSetting cfgGetReadiness();
/// The restart limit: at most count restarts within seconds.
int cfgGetRestartLimitCount();
int cfgGetRestartLimitSeconds();
/// A jar carried whole in the executable's archive.
struct CfgPackedJar {
  std::string hash;  ///< the SHA-256 of its bytes
  std::string name;  ///< its file name once extracted
};
/// The carried jars, in class path order.
const std::vector<CfgPackedJar>& cfgGetPackedJars();
/// The SHA-256 that names the carried Java runtime, or null.
const char* cfgGetPackedRuntime();
/// The oldest glibc the carried Java runtime runs with ("2.34"), or null
/// when its line names none.
const char* cfgGetPackedRuntimeGlibc();

// ---------------------------------------------------------------------------
// Macros and variables.

/// The line with every macro expanded (bad macros are traced and left in
/// place); none once it grows past the line limit.
std::optional<std::string> cfgExpandMacros(std::string_view text);
/// A configuration variable, an application argument by position (negative
/// positions consume the argument), or the default; none when neither.
std::optional<std::string> cfgGetVar(std::string_view name, std::string_view defaultValue);
/// Sets a variable from "NAME=VALUE".
void cfgAddVar(std::string_view text);

// ---------------------------------------------------------------------------
// Behaviour flags, JPDA, version requirement, command prefix, usage lines.

bool cfgIsStrictVMCheckEnabled();
bool cfgIsHandleShutdownEnabled();
bool cfgIsAllowRIEnabled();
bool cfgIsAllowJavaOnPathEnabled();
/// True once "appargs" was given: -D..., -X... and -verbose... on the command
/// line are application arguments, not JVM options.
bool cfgIsAppArgsEnabled();
/// The version banner a -showversion or --show-version among the JVM
/// parameters (vmparams, vmparamsfile) asks for.
VersionBanner cfgGetVersionBanner();
/// The splash image the configuration names (splash, or -splash: among the
/// JVM parameters; the last line wins), none when it names none.
const std::optional<std::string>& cfgGetSplashImage();
/// True once "nosplash true" was given: no splash screen at all.
bool cfgIsNoSplash();
/// True once "startupcache" was given: the launcher keeps a class-data
/// archive of the application in the user's cache directory.
bool cfgIsStartupCacheEnabled();
/// True once "quickstart" was given: the start-up cache, and the JVM options
/// of a short-lived tool where the user's own options choose nothing else.
bool cfgIsQuickStartEnabled();
/// False once "leavepathsrelative" was given: configuration paths stay relative.
bool cfgIsMakePathsAbsolute();
bool cfgIsJPDASupportEnabled();
bool cfgIsJPDAStartPaused();
const char* cfgGetJPDAAddr();
/// The prefix put before every launcher option name ("" by default).
const char* cfgGetCmdPrefix();
/// Stores the requirement text in message (when given) and tells whether the
/// JVM version text meets the configured requirement.
bool cfgIsJVMVersionAcceptable(const char* version, std::string* message);
/// True when the configuration asks for a version other than the built-in
/// minimum (1.3.1 or higher), which every runtime meets.
bool cfgIsJVMVersionRequired();
/// Why a JVM version text fails the requirement ("version 11.0.2 is too
/// low"); empty when it meets it.
std::string cfgWhyJVMVersionIsRefused(const char* version);
/// Prints the usage lines that "setfromoption" directives recorded.
void cfgPrintUsage();

// ---------------------------------------------------------------------------
// The application's arguments: the command line adds them (opt…ApplicationArg…
// forward here), the configuration inserts, consumes and removes them.

/// Inserts a copy of text so that it becomes the argument at the 1-based
/// position: below 1 counts as 1, beyond the end appends.
void cfgInsertApplicationArgument(std::string_view text, int position);
/// Removes and returns the argument at the 1-based position; none beyond the end.
std::optional<std::string> cfgRemoveApplicationArgument(int position);
const std::vector<std::string>& cfgGetApplicationArguments();
/// Empties the list: a new command line begins (optInit, optTerm).
void cfgClearApplicationArguments();
/// Removes the first argument matching name (exactly, or as a prefix when
/// prefixMatch is set) and hands it over. With a value place, the argument
/// after it is removed and handed over too; when the match is the last
/// argument, the caller gets a copy of it, no value, and the list stays.
void cfgRemoveApplicationOption(std::string_view name, bool prefixMatch, std::optional<std::string>* arg,
                                std::optional<std::string>* value);
/// The JVM flavour asked for (a JvmSubType): the command line's, else the
/// first vmtype's; kSubTypeDefault lets jvm.cfg choose.
int cfgGetJVMSubType();
void cfgSetJVMSubType(int subType);

// ---------------------------------------------------------------------------
// Configured JVM parameters and properties.

void cfgAddParam(std::string_view text, void* extraInfo);
void cfgAddProp(std::string_view text, void* extraInfo);
bool cfgIsParamSet(std::string_view prefix);
bool cfgIsPropSet(std::string_view prefix);
/// Appends the properties to the parameters, once.
void cfgFinalizeJVMOptions();
void cfgMergeJVMOptions(const JavaVMOption* options, int count);
/// The parameters followed by the properties: null and 0 before finalization.
const JavaVMOption* cfgGetJavaVMOptions();
int cfgGetJavaVMOptionsCount();
/// Hands the finalized options over whole, without copying them; the
/// configuration keeps none.
JvmOptionList cfgTakeJavaVMOptions();
/// The command port of a running instance, 0 for none.
int cfgGetSocketPort();
/// The id singleinstance gave (empty: the application's name); none without it.
std::optional<std::string> cfgGetSingleInstance();
/// What the desktop directives configured (no id or exec: the caller's).
const DskApplication& cfgGetDesktop();
