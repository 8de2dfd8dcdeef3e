// Choosing the configuration source, the directive table and the processing
// loop, and the module's life cycle.

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "config/cfg.h"
#include "config/cfg_state.h"
#include "config/fil.h"
#include "config/zip.h"
#include "host/hmd.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kUnrecognizedDirectiveMsg =
    "Error: Unrecognized directive '%s' at line %d in configuration file '%s'.\n";
constexpr const char* kParamRequiredMsg = "Error: Parameter required for '%s' at line %d in configuration file '%s'.\n";
constexpr const char* kDefaultErrorFormat = "Error: Unable to process '%s' at line %d in configuration file '%s'.";
constexpr const char* kExpandedTooLongMsg =
    "Error: Line %d of configuration file '%s' is longer than %d MiB once its macros are expanded.\n";
constexpr const char* kExpandedTooMuchMsg =
    "Error: The configuration is longer than %d MiB once its macros are expanded, at line %d of configuration file "
    "'%s'.\n";
constexpr const char* kNestedTooDeepMsg =
    "Error: Configuration files are nested more than %d deep at '%s'.\n";

constexpr const char* kInvalidNumberFormat = "Error: Invalid number in '%s' at line %d in configuration file '%s'.";
// What is wrong with a heap size is most often its forgotten unit.
constexpr const char* kInvalidHeapSizeFormat =
    "Error: Invalid number in '%s' at line %d in configuration file '%s'.\n"
    "A heap size takes a unit (64m, 2g), a share of the memory (50%%) or auto; a number alone counts bytes, which "
    "the JVM takes only as a multiple of 1024 of at least 2 MB.";
constexpr const char* kUnrecognizedVMTypeFormat =
    "Error: Unrecognized VM type in '%s' at line %d in configuration file '%s'.";
constexpr const char* kInvalidOptionFormat = "Error: Invalid option in '%s' at line %d in configuration file '%s'.";
constexpr const char* kInvalidReadinessFormat =
    "Error: Invalid readiness in '%s' at line %d in configuration file '%s'.\n"
    "A service is ready when it has started, when it is listening (on any TCP port, or listening:PORT[,PORT...] on "
    "each of those), when its main method has returned (mainreturned), or when the application says so "
    "(application).";
constexpr const char* kInvalidMimeTypeFormat =
    "Error: Invalid file type in '%s' at line %d in configuration file '%s'.\n"
    "A file type is a media type, a file name pattern and a description, as in "
    "mimetype application/x-demo *.demo Demo document.";
constexpr const char* kInvalidCategoriesFormat =
    "Error: Invalid desktop categories in '%s' at line %d in configuration file '%s'.\n"
    "Categories are names of letters, digits, '-' and '_', separated by ';' or blanks, as in "
    "desktopcategories Office;Viewer.";
constexpr const char* kInvalidVersionFormat =
    "Error: Invalid version specifier in '%s' at line %d in configuration file '%s'.";

// A file that includes itself would otherwise recurse until the stack runs
// out, long before the system refuses to open more files.
constexpr int kMaxNesting = 64;

// Every line is bounded, but a large file of lines that each copy a long
// variable would still fill the memory: the expanded lines of a whole
// configuration are bounded too, well above what a real one holds.
constexpr int kExpandedLimitMiB = 256;

// The directive word is at most this long; longer words match no directive.
constexpr std::size_t kMaxDirectiveWord = 50;

const char kErrorReportedTag[] = "";

CfgState state;
int nesting = 0;

// Processes every line of an open stream (none: it could not be opened).
bool processStream(FILE* stream, const std::string& path);
bool processFile(const std::string& path, bool checkAccess);
bool processOverrides(const std::string& ownFile);

// Every line looks its directive up: through a hash index of the table.
const DirectiveEntry* findDirective(std::string_view word) {
  static const std::unordered_map<std::string_view, const DirectiveEntry*> index = [] {
    std::unordered_map<std::string_view, const DirectiveEntry*> byName;
    for (int i = 0; i < directiveListCount; ++i) byName.emplace(directiveList[i].name, &directiveList[i]);
    return byName;
  }();
  auto found = index.find(word);
  return found == index.end() ? nullptr : found->second;
}

// The options a line added, with the line; an include line adds none of
// its own, the lines of the included file have recorded theirs already.
void recordOrigins(const std::string& path, int lineNumber) {
  for (; state.recordedParams < state.params.count(); ++state.recordedParams) {
    state.optionOrigins.push_back({state.params.data()[state.recordedParams].optionString, path, lineNumber});
  }
  for (; state.recordedProps < state.props.count(); ++state.recordedProps) {
    state.optionOrigins.push_back({state.props.data()[state.recordedProps].optionString, path, lineNumber});
  }
}

// One directive line: find the directive, expand the macros, check the
// parameter and run the handler. Prints the line's error and returns false
// when the file must stop.
bool processLine(const std::string& line, const std::string& path) {
  std::string_view word = std::string_view(line).substr(0, kMaxDirectiveWord);
  word = word.substr(0, word.find(' '));
  const DirectiveEntry* entry = findDirective(word);
  int lineNumber = filGetCurrentLineNumber();
  if (entry == nullptr) {
    utlReport(kUnrecognizedDirectiveMsg, line.c_str(), lineNumber, path.c_str());
    return false;
  }

  std::optional<std::string> expansion = cfgExpandMacros(line);
  if (expansion) state.expandedTotal += expansion->size();
  if (!expansion || state.expandedTotal > static_cast<std::size_t>(kExpandedLimitMiB) * 1024 * 1024) {
    if (expansion) {
      utlReport(kExpandedTooMuchMsg, kExpandedLimitMiB, lineNumber, path.c_str());
    } else {
      utlReport(kExpandedTooLongMsg, lineNumber, path.c_str(), static_cast<int>(kMaxLineLength / (1024 * 1024)));
    }
    filRefuseInput();
    return false;
  }
  std::string& expanded = *expansion;
  std::size_t start = std::min(word.size(), expanded.size());
  while (start < expanded.size() && std::isspace(static_cast<unsigned char>(expanded[start]))) ++start;
  std::string param = expanded.substr(start);

  if (param.empty() && !entry->emptyAllowed) {
    utlReport(kParamRequiredMsg, expanded.c_str(), lineNumber, path.c_str());
    return false;
  }
  if (entry->handler(param)) {
    recordOrigins(path, lineNumber);
    const char* slash = std::strrchr(path.c_str(), '/');
    ut_tproda("Processed <%s> from <%s>", expanded.c_str(), slash ? slash + 1 : path.c_str());
    return true;
  }
  // Refused input was reported where it was met, and ends every file.
  if (entry->errorFormat != kErrorReported && !filInputRefused()) {
    utlReport(entry->errorFormat ? entry->errorFormat : kDefaultErrorFormat, expanded.c_str(), lineNumber,
              path.c_str());
    utlReport("\n");
  }
  return false;
}

}  // namespace

const char* const kErrorReported = kErrorReportedTag;

const DirectiveEntry directiveList[] = {
    {.name = "addlibpath", .handler = cfgAddLibPath},
    {.name = "javahome", .handler = cfgSetJavaHome},
    {.name = "javapath", .handler = cfgSetJavaPath},
    {.name = "vmtype", .handler = cfgSetVMType, .errorFormat = kUnrecognizedVMTypeFormat},
    {.name = "mainclass", .handler = cfgSetMainClass},
    {.name = "mainmethod", .handler = cfgSetMainMethod},
    {.name = "versionclass", .handler = cfgSetVersionClass},
    {.name = "usageclass", .handler = cfgSetUsageClass},
    {.name = "exitclass", .handler = cfgSetExitClass},
    {.name = "restartonexit", .handler = cfgSetRestartOnExitCode, .errorFormat = kInvalidNumberFormat},
    {.name = "restartlimit", .handler = cfgSetRestartLimit, .errorFormat = kInvalidNumberFormat},
    {.name = "usageonexit", .handler = cfgSetUsageOnExitCode, .errorFormat = kInvalidNumberFormat},
    {.name = "addpath", .handler = cfgAddPath},
    {.name = "addjars", .handler = cfgAddJars, .errorFormat = kErrorReported},
    {.name = "vmparam", .handler = cfgSetVMParam},
    {.name = "vmparams", .handler = cfgSetVMParams, .emptyAllowed = true},
    {.name = "vmparamsfile", .handler = cfgSetVMParamsFile},
    {.name = "vmprop", .handler = cfgSetVMProp},
    {.name = "vmmemmin", .handler = cfgSetVMMemMin, .errorFormat = kInvalidHeapSizeFormat},
    {.name = "vmmemmax", .handler = cfgSetVMMemMax, .errorFormat = kInvalidHeapSizeFormat},
    {.name = "nosplash", .handler = cfgSetNoSplash},
    {.name = "splash", .handler = cfgSetSplashImage},
    {.name = "socket", .handler = cfgSetSocketPort},
    {.name = "singleinstance", .handler = cfgSetSingleInstance, .emptyAllowed = true},
    {.name = "desktopname", .handler = cfgSetDesktopName},
    {.name = "desktopicon", .handler = cfgAddDesktopIcon},
    {.name = "desktopcategories", .handler = cfgSetDesktopCategories, .errorFormat = kInvalidCategoriesFormat},
    {.name = "mimetype", .handler = cfgAddMimeType, .errorFormat = kInvalidMimeTypeFormat},
    {.name = "copyenv", .handler = cfgSetCopyEnv},
    {.name = "exportenv", .handler = cfgSetExportEnv},
    {.name = "cd", .handler = cfgSetCurrentDir},
    {.name = "daemonsupport", .handler = cfgSetDaemonSupport},
    {.name = "pidfile", .handler = cfgSetPidFile},
    {.name = "readiness", .handler = cfgSetReadiness, .errorFormat = kInvalidReadinessFormat},
    {.name = "packedjar", .handler = cfgAddPackedJar},
    {.name = "packedruntime", .handler = cfgSetPackedRuntime},
    {.name = "apparg", .handler = cfgAddAppArg},
    {.name = "addparam", .handler = cfgAddAppArg},
    {.name = "addparams", .handler = cfgAddAppArgs, .emptyAllowed = true},
    {.name = "addbootpath", .handler = cfgAddBootPath},
    {.name = "addbootjars", .handler = cfgAddBootJars, .errorFormat = kErrorReported},
    {.name = "addskippath", .handler = cfgAddSkipPath},
    {.name = "include", .handler = cfgInclude},
    {.name = "includedir", .handler = cfgIncludeDir},
    {.name = "set", .handler = cfgSet},
    {.name = "export", .handler = cfgExport},
    {.name = "setfromoption", .handler = cfgSetFromOption, .errorFormat = kErrorReported},
    {.name = "dirmustexist", .handler = cfgEnsureDirExists, .errorFormat = kErrorReported},
    {.name = "jpda", .handler = cfgEnableJPDA, .errorFormat = kInvalidOptionFormat},
    {.name = "options", .handler = cfgOptionsCmd, .errorFormat = kInvalidOptionFormat},
    {.name = "cmdprefix", .handler = cfgCmdPrefixCmd},
    {.name = "vmversion", .handler = cfgVMVersionCmd, .errorFormat = kInvalidVersionFormat},
};
const int directiveListCount = static_cast<int>(std::size(directiveList));

CfgState& cfgState() { return state; }

void cfgInit() {
  state = CfgState{};
  state.krxSaftyNet = hmdIsSafetyNetOn();
  std::string minimum = "1.3.1+";
  cfgVMVersionCmd(minimum);
  state.configVars = utlListCreate();
  state.configuredUsage = utlListCreate();
  state.allowJavaOnPath = true;
  filInit();
}

void cfgTerm() {
  filTerm();
  CfgState released;
  released.restartCode = state.restartCode;
  released.usageCode = state.usageCode;
  released.restartLimitCount = state.restartLimitCount;
  released.restartLimitSeconds = state.restartLimitSeconds;
  state = std::move(released);
}

bool cfgProcessConfig() {
  std::optional<std::string> remembered = state.launcherConfigFileName;
  std::optional<std::string> inMemory;  // the archive comment
  std::string ownFile;                  // the application's own file name, which names its overrides
  if (state.defaultConfigFileStorage.empty()) {
    state.launcherConfigFileName = cfgGetConfigFileName(nullptr);
    ownFile = *state.launcherConfigFileName;
    if (FILE* probe = filOpenFile(state.launcherConfigFileName->c_str(), "r", true)) {
      filCloseFile(probe);
    } else if (filInputRefused()) {
      return false;
    } else {
      // The comment is read in memory, under the executable's name: its
      // errors name the file that carries it, and there is no copy that
      // anyone could change before it is read.
      std::string launcher = hmdGetFullLauncherFileName(kPathMax + 1);
      inMemory = zipGetZipComment(launcher.c_str());
      if (inMemory && !inMemory->empty()) {
        state.launcherConfigFileName = launcher;
        state.configFileMode = 1;
        ut_tproda("Processing the zipfile comment of <%s>", launcher.c_str());
      } else {
        inMemory.reset();
      }
    }
  } else {
    state.launcherConfigFileName = cfgGetConfigFileName(state.defaultConfigFileStorage.c_str());
  }

  // A file the user names with +config is theirs to choose, as any file they
  // hand a program; what it includes is checked as every other file is.
  std::string file = *state.launcherConfigFileName;
  bool named = !state.defaultConfigFileStorage.empty();
  bool result = inMemory ? processStream(filOpenText(file.c_str(), *inMemory), file) : processFile(file, !named);
  // Decided by the application's own lines alone: an override can neither
  // turn overrides off for those after it nor back on.
  if (result && !named && !state.noOverrides) result = processOverrides(ownFile);
  if (remembered) state.launcherConfigFileName = remembered;
  return result;
}

bool cfgProcessConfigFile(const std::string& path) { return processFile(path, true); }

const std::vector<std::string>& cfgGetConfigurationsRead() { return state.configurationsRead; }

const std::vector<CfgOptionOrigin>& cfgGetOptionOrigins() { return state.optionOrigins; }

namespace {

// An installed application's administrator and user add JVM options (a
// heap size, a proxy) without editing files the next version replaces: the
// site's, then the user's, each directory read as includedir reads one, so
// that a missing directory is nothing and an unsafe file is refused. A
// set-ID launch reads nothing its caller can write.
bool processOverrides(const std::string& ownFile) {
  std::string name = ownFile.substr(ownFile.rfind('/') + 1);
  if (name.ends_with(".config")) name.resize(name.size() - std::strlen(".config"));
  std::vector<std::string> directories = {"/etc/" + name + ".d"};
  if (std::optional<std::string> user = hmdUserConfigDirectory()) directories.push_back(*user + "/" + name);
  for (std::string& directory : directories) {
    if (!cfgIncludeDir(directory)) return false;
  }
  return true;
}

bool processFile(const std::string& path, bool checkAccess) {
  if (nesting >= kMaxNesting) {
    utlReport(kNestedTooDeepMsg, kMaxNesting, path.c_str());
    return false;
  }
  FILE* stream = filOpenFile(path.c_str(), "r", checkAccess);
  if (stream == nullptr && filInputRefused()) return false;
  return processStream(stream, path);
}

bool processStream(FILE* stream, const std::string& path) {
  if (stream == nullptr) {
    utlReport(kOpenErrorMsg, path.c_str());
    return false;
  }
  state.configurationsRead.push_back(path);
  ++nesting;
  bool result = true;
  while (const char* read = filReadNextLineFromFile(stream)) {
    // The line buffer is shared with nested files, so keep a copy.
    std::string line = read;
    if (!processLine(line, path)) {
      result = false;
      break;
    }
  }
  if (filInputRefused()) {
    result = false;
  } else if (int error = std::ferror(stream)) {
    utlReport(kReadErrorMsg, path.c_str(), error);
    result = false;
  }
  --nesting;
  filCloseFile(stream);
  return result;
}

}  // namespace

std::string cfgGetConfigFileName(const char* name) {
  std::string result;
  if (name != nullptr && *name != '\0') {
    result = utlMakeAbsPath(name, cfgPathAnchor());
  } else {
    // Named after the application, beside the launcher. A launcher whose
    // name ends in 'w' (the windowless variant) shares the configuration of
    // the one without it when that exists.
    const char* appName = hmdGetApplicationName();
    result = utlMakeAbsPath(appName ? appName : "", cfgGetAnchorDirectory());
    char last = result.empty() ? '\0' : result.back();
    if (last == 'w' || last == 'W') {
      std::string withoutW = result.substr(0, result.size() - 1) + ".config";
      result = utlFileExists(withoutW) ? withoutW : result + ".config";
    } else {
      result += ".config";
    }
  }
  ut_tproda("Look for Configuration file %s", result.c_str());
  return result;
}

bool cfgSetDefaultConfigFile(std::string_view name) {
  if (name.size() > static_cast<std::size_t>(kPathMax - 1)) return false;
  state.defaultConfigFileStorage = name;
  return true;
}

const std::string& cfgGetDefaultConfigFile() { return state.defaultConfigFileStorage; }

const char* cfgGetCurrentConfigFile() {
  return state.launcherConfigFileName ? state.launcherConfigFileName->c_str() : nullptr;
}

void cfgSetCurrentConfigFile(const char* name) {
  state.launcherConfigFileName = name ? std::optional<std::string>(name) : std::nullopt;
}

int cfgGetConfigFileMode() { return state.configFileMode; }

std::string cfgGetAnchorDirectory() {
  if (state.launcherConfigFileName && state.configFileMode != 1) {
    const std::string& name = *state.launcherConfigFileName;
    std::size_t slash = name.rfind('/');
    // A file in the root directory is anchored there, not left without an
    // anchor: its relative paths would then name files in the working
    // directory.
    return slash == std::string::npos ? "." : name.substr(0, std::max<std::size_t>(slash, 1));
  }
  return hmdGetFullLauncherPath(kPathMax);
}

std::string cfgPathAnchor() { return state.makePathsAbsolute ? cfgGetAnchorDirectory() : std::string(); }
