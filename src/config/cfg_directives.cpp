// The directives that set paths, classes, exit codes, application arguments,
// nested files and variables, and the accessors of what they set.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <strings.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "config/cfg.h"
#include "config/cfg_state.h"
#include "config/fil.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kJ2eeFoundMsg = "Sun's J2EE Reference Implementation found in '%s/j2ee.jar'.\n";
constexpr const char* kJ2eeExclusiveMsg = "Corvane Kestrix and Sun's J2EE are mutually exclusive. Uninstall J2EE.\n";
constexpr const char* kMissingClassPathMsg = "The class path lacks %s, which does not exist.\n";

CfgState& s() { return cfgState(); }

std::string absolute(const std::string& path) { return utlMakeAbsPath(path, cfgPathAnchor()); }

// A directory entry names an archive when it has an extension (a leading dot
// alone does not count) and that is .jar or .zip in any case.
bool hasExtension(const char* name, const char* extension) {
  const char* dot = std::strrchr(name, '.');
  return dot != nullptr && dot != name && strcasecmp(dot, extension) == 0;
}

// Appends the archives of a directory, sorted by name without regard to case,
// after what the array already holds. A directory that holds Sun's J2EE
// Reference Implementation is refused: reported, and the configuration
// ends there, every file that includes this one too.
bool expandJars(PathArray& array, const std::string& param) {
  std::string directory = absolute(param);
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr) return true;
  std::size_t before = array.size();
  while (const dirent* entry = readdir(dir)) {
    const char* name = entry->d_name;
    if (strcasecmp(name, "j2ee.jar") == 0 && s().krxSaftyNet && !s().allowri) {
      closedir(dir);
      utlReport(kJ2eeFoundMsg, directory.c_str());
      utlReport("%s", kJ2eeExclusiveMsg);
      filRefuseInput();
      return false;
    }
    if (!hasExtension(name, ".jar") && !hasExtension(name, ".zip")) continue;
    std::string full = directory + "/" + name;
    if (s().skipPath && utlListGet(*s().skipPath, full) != nullptr) continue;
    utlAddPathUnique(array, full);
  }
  closedir(dir);
  array.sortFrom(before, [](const std::string& a, const std::string& b) { return strcasecmp(a.c_str(), b.c_str()) < 0; });
  return true;
}

// The whole parameter must be a decimal number within 32 bits.
bool parseExitCode(const std::string& param, int& code) {
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(param.c_str(), &end, 10);
  if (end == param.c_str() || *end != '\0' || errno == ERANGE || value < INT_MIN || value > INT_MAX) return false;
  code = static_cast<int>(value);
  return true;
}

void insertAppArg(std::string_view text) { cfgInsertApplicationArgument(text, s().firstCommandOptionAppArg++); }

const char* cStr(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

}  // namespace

// --- Paths -----------------------------------------------------------------

bool cfgAddLibPath(std::string& param) {
  utlPathStringToArray(s().shlibpath, param.c_str(), cfgPathAnchor());
  return true;
}

bool cfgAddPath(std::string& param) {
  utlPathStringToArray(s().classpath, param.c_str(), cfgPathAnchor());
  // A mistyped jar name is left out, and the class that should have come
  // from it is then missing with no word of why: the entry is kept to name.
  for (const std::string& element : utlSplitList(param, ":")) {
    std::string path = utlMakeAbsPath(element, cfgPathAnchor());
    if (utlFileExists(path)) continue;
    std::string file = s().launcherConfigFileName.value_or("");
    ut_tproda("The class path entry '%s' (line %d of '%s') does not exist: left out", path.c_str(),
              filGetCurrentLineNumber(), file.c_str());
    s().missingClassPath.push_back("'" + path + "' (line " + std::to_string(filGetCurrentLineNumber()) + " of '" +
                                   file + "')");
  }
  return true;
}

bool cfgAddBootPath(std::string& param) {
  utlPathStringToArray(s().bootclasspath, param.c_str(), cfgPathAnchor());
  utlRemoveFromPath(s().classpath, param);
  return true;
}

bool cfgAddJars(std::string& param) { return expandJars(s().classpath, param); }

bool cfgAddBootJars(std::string& param) { return expandJars(s().bootclasspath, param); }

bool cfgAddSkipPath(std::string& param) {
  std::string path = absolute(param);
  if (!s().skipPath) s().skipPath = utlListCreate();
  if (utlListGet(*s().skipPath, path) == nullptr) utlListAdd(*s().skipPath, path, path);
  utlRemoveFromPath(s().classpath, path);
  return true;
}

// --- Classes and exit codes -------------------------------------------------

void cfgSplitClassIntoClassAndMethod(const std::string& text, std::optional<std::string>& className,
                                     std::optional<std::string>& method) {
  className = text;
  if (text.size() < 3 || !text.ends_with("()")) return;
  std::string rest = text.substr(0, text.size() - 2);
  std::size_t dot = rest.rfind('.');
  if (dot == std::string::npos) {
    method = rest;
    className = "";
  } else {
    method = rest.substr(dot + 1);
    className = rest.substr(0, dot);
  }
}

bool cfgSetMainClass(std::string& param) {
  cfgSplitClassIntoClassAndMethod(param, s().mainClass, s().mainMethod);
  return true;
}

bool cfgSetMainMethod(std::string& param) {
  s().mainMethod = param;
  return true;
}

bool cfgSetVersionClass(std::string& param) {
  cfgSplitClassIntoClassAndMethod(param, s().versionClass, s().versionMethod);
  return true;
}

bool cfgSetUsageClass(std::string& param) {
  cfgSplitClassIntoClassAndMethod(param, s().usageClass, s().usageMethod);
  return true;
}

bool cfgSetExitClass(std::string& param) {
  cfgSplitClassIntoClassAndMethod(param, s().exitClass, s().exitMethod);
  return true;
}

// An exit status is a byte: a code outside 0 to 255 could never restart.
bool cfgSetRestartOnExitCode(std::string& param) {
  int code = 0;
  if (!parseExitCode(param, code) || code < 0 || code > 255) return false;
  s().restartCode = code;
  return true;
}

bool cfgSetUsageOnExitCode(std::string& param) { return parseExitCode(param, s().usageCode); }

// The history of restarts travels in the environment of the next image, one
// entry a restart: the count is bounded to keep it small.
bool cfgSetRestartLimit(std::string& param) {
  std::size_t slash = param.find('/');
  int count = 0;
  int seconds = 0;
  if (slash == std::string::npos || !parseExitCode(param.substr(0, slash), count) ||
      !parseExitCode(param.substr(slash + 1), seconds) || count < 1 || count > 1000 || seconds < 1) {
    return false;
  }
  s().restartLimitCount = count;
  s().restartLimitSeconds = seconds;
  return true;
}

// --- Java home, JVM library and flavour ---------------------------------------
// The command line is parsed first, so a value it gave wins; within the
// configuration the first value wins.

bool cfgSetJavaHome(std::string& param) {
  if (jopGetJavaHome() != nullptr) {
    ut_tproda("Javahome already set - not setting it to <%s>", param.c_str());
  } else {
    jopSetJavaHome(absolute(param));
  }
  return true;
}

bool cfgSetJavaPath(std::string& param) {
  if (jopGetJavaPath() != nullptr) {
    ut_tproda("Javapath already set - not setting it to <%s>", param.c_str());
    return true;
  }
  jopSetJavaPath(param);
  if (jopGetJavaHome() != nullptr) ut_tproda("Javapath will override your previously set Javahome");
  return true;
}

bool cfgSetVMType(std::string& param) {
  static const struct {
    const char* name;
    int subType;
  } kTypes[] = {{"classic", kSubTypeClassic}, {"hotspot", kSubTypeHotspot}, {"client", kSubTypeClient},
                {"server", kSubTypeServer}, {"jvmdefault", kSubTypeDefault}};
  if (s().jvmSubType != kSubTypeDefault) {
    ut_tproda("VMType already set - not setting it to <%s>", param.c_str());
    return true;
  }
  for (const auto& type : kTypes) {
    if (param == type.name) {
      s().jvmSubType = type.subType;
      return true;
    }
  }
  return false;
}

// --- Application arguments, working directory, daemon support --------------

namespace {

// The removal rule: the entry begins with name (case counts), and unless a
// prefix match is asked for, it is exactly name.
bool entryMatches(std::string_view entry, std::string_view name, bool prefixMatch) {
  return entry.starts_with(name) && (prefixMatch || entry.size() == name.size());
}

}  // namespace

void cfgInsertApplicationArgument(std::string_view text, int position) {
  std::vector<std::string>& list = s().appArgv;
  int index = std::clamp(position - 1, 0, static_cast<int>(list.size()));
  list.emplace(list.begin() + index, text);
}

std::optional<std::string> cfgRemoveApplicationArgument(int position) {
  std::vector<std::string>& list = s().appArgv;
  if (position < 1 || position > static_cast<int>(list.size())) return std::nullopt;
  auto at = list.begin() + (position - 1);
  std::string removed = std::move(*at);
  list.erase(at);
  return removed;
}

const std::vector<std::string>& cfgGetApplicationArguments() { return s().appArgv; }

void cfgClearApplicationArguments() { s().appArgv = {}; }

void cfgRemoveApplicationOption(std::string_view name, bool prefixMatch, std::optional<std::string>* arg,
                                std::optional<std::string>* value) {
  if (arg == nullptr) return;
  arg->reset();
  if (value != nullptr) value->reset();
  std::vector<std::string>& list = s().appArgv;
  auto found = std::find_if(list.begin(), list.end(),
                            [&](const std::string& entry) { return entryMatches(entry, name, prefixMatch); });
  if (found == list.end()) return;
  if (value == nullptr) {
    *arg = std::move(*found);
    list.erase(found);
  } else if (found + 1 != list.end()) {
    *arg = std::move(*found);
    *value = std::move(*(found + 1));
    list.erase(found, found + 2);
  } else {
    // The option without its value stays for the application, so that the
    // caller can report the missing value.
    *arg = *found;
  }
}

void cfgSetJVMSubType(int subType) { s().jvmSubType = subType; }

int cfgGetJVMSubType() { return s().jvmSubType; }

bool cfgAddAppArg(std::string& param) {
  insertAppArg(param);
  return true;
}

bool cfgAddAppArgs(std::string& param) {
  std::optional<std::vector<std::string>> words = utlSplitWords(param);
  if (!words) return false;
  for (const std::string& word : *words) insertAppArg(word);
  return true;
}

bool cfgSetNoSplash(std::string& param) {
  if (param.find("true") == std::string::npos) return false;
  insertAppArg("-nosplash");
  // The application was told to show no splash screen of its own; one
  // shown by the launcher in its place would contradict that.
  s().noSplash = true;
  return true;
}

bool cfgSetSplashImage(std::string& param) {
  s().splashImage = absolute(param);
  return true;
}

// The JVM would otherwise run with a user.dir that does not exist, and
// every relative file name of the application would fail.
bool cfgSetCurrentDir(std::string& param) {
  std::string directory = absolute(param);
  struct stat info;
  if (stat(directory.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) return false;
  s().currentDir = directory;
  return true;
}

bool cfgSetDaemonSupport(std::string& param) {
  s().daemonLogDir = absolute(param);
  s().daemonSupport = true;
  return true;
}

bool cfgSetPidFile(std::string& param) {
  s().pidFile = absolute(param);
  return true;
}

bool cfgSetReadiness(std::string& param) {
  static constexpr std::pair<std::string_view, Readiness> kinds[] = {{"started", Readiness::kStarted},
                                                                     {"listening", Readiness::kListening},
                                                                     {"mainreturned", Readiness::kMainReturned},
                                                                     {"application", Readiness::kApplication}};
  std::string_view text = param;
  std::string_view word = text.substr(0, text.find(':'));
  const auto* found = std::find_if(std::begin(kinds), std::end(kinds), [word](const auto& k) { return k.first == word; });
  if (found == std::end(kinds)) return false;
  ReadinessSetting setting{.kind = found->second, .ports = {}, .named = true};
  if (word.size() < text.size()) {
    // Only a listening service has ports to name, and then at least one.
    if (setting.kind != Readiness::kListening) return false;
    std::string_view list = text.substr(word.size() + 1);
    while (true) {
      std::string_view port = list.substr(0, list.find(','));
      if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) {
        return false;
      }
      int number = std::atoi(std::string(port).c_str());
      if (number < 1 || number > 65535) return false;
      setting.ports.push_back(number);
      if (port.size() == list.size()) break;
      list.remove_prefix(port.size() + 1);
    }
  }
  s().readiness = std::move(setting);
  return true;
}

ReadinessSetting cfgGetReadiness() {
  ReadinessSetting setting = s().readiness;
  if (!setting.named && s().notifyReady) setting = {.kind = Readiness::kApplication, .ports = {}, .named = true};
  return setting;
}

// The hash names a directory of the cache and the name a file in it: neither
// may reach anywhere else.
namespace {
bool isHash(std::string_view text) {
  return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}
}  // namespace

bool cfgAddPackedJar(std::string& param) {
  std::size_t space = param.find(' ');
  if (space == std::string::npos) return false;
  std::string hash = param.substr(0, space);
  std::string name = param.substr(space + 1);
  bool plain = !name.empty() && name.front() != '.' &&
               name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+-") ==
                   std::string::npos;
  if (!isHash(hash) || !plain) return false;
  s().packedJars.push_back({hash, name});
  return true;
}

bool cfgSetPackedRuntime(std::string& param) {
  std::string_view hash = std::string_view(param).substr(0, param.find(' '));
  std::string_view glibc;
  if (hash.size() < param.size()) {
    std::string_view field = std::string_view(param).substr(hash.size() + 1);
    if (!field.starts_with("glibc=")) return false;
    glibc = field.substr(std::strlen("glibc="));
    // A version the launcher compares number by number: "2.34".
    if (glibc.empty() || glibc.size() > 16 || !std::isdigit(static_cast<unsigned char>(glibc.front())) ||
        glibc.find_first_not_of("0123456789.") != std::string_view::npos) {
      return false;
    }
  }
  if (!isHash(hash)) return false;
  s().packedRuntime = std::string(hash);
  s().packedRuntimeGlibc = glibc.empty() ? std::nullopt : std::optional<std::string>(glibc);
  return true;
}

// --- Nested files -------------------------------------------------------------

bool cfgInclude(std::string& param) {
  std::optional<std::string> remembered = s().launcherConfigFileName;
  std::string name = cfgGetConfigFileName(param.c_str());
  s().launcherConfigFileName = name;
  bool result = cfgProcessConfigFile(name);
  s().launcherConfigFileName = remembered;
  return result;
}

// Each ".config" file of the directory, in the directory's order; a failing
// file stops only itself, unless its input was refused, which ends all
// processing.
bool cfgIncludeDir(std::string& param) {
  std::string directory = absolute(param);
  std::optional<std::string> remembered = s().launcherConfigFileName;
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  struct stat info;
  bool readable = fd >= 0 && fstat(fd, &info) == 0 && filIsFileAccessCorrect(directory.c_str(), info);
  DIR* dir = readable ? fdopendir(fd) : nullptr;
  if (dir == nullptr && fd >= 0) close(fd);
  // In the byte order of the names, not the order the file system lists
  // them in, so that 10-site.config comes before 90-local.config everywhere.
  std::vector<std::string> names;
  while (const dirent* entry = dir ? readdir(dir) : nullptr) {
    if (hasExtension(entry->d_name, ".config")) names.emplace_back(entry->d_name);
  }
  if (dir != nullptr) closedir(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& file : names) {
    std::string name = directory + "/" + file;
    s().launcherConfigFileName = name;
    if (!cfgProcessConfigFile(name) && filInputRefused()) break;
  }
  s().launcherConfigFileName = remembered;
  return !filInputRefused();
}

// --- Variables and environment ---------------------------------------------

bool cfgSet(std::string& param) {
  cfgAddVar(param);
  return true;
}

bool cfgExport(std::string& param) {
  utlPutEnv(param);
  return true;
}

// --- Accessors ----------------------------------------------------------------

const PathArray& cfgGetShLibPath() { return s().shlibpath; }

std::optional<std::string> cfgGetClassPath() {
  PathArray classPath = s().classpath;
  utlRemoveFromArray(classPath, s().bootclasspath);
  return utlPathArrayToString(classPath);
}

const std::vector<std::string>& cfgGetMissingClassPath() { return s().missingClassPath; }

void cfgReportMissingClassPath() {
  // A failed class lookup names them, and so does +check at its end: the
  // user needs to read them once.
  if (s().missingClassPathReported || utlIsSetIdMode()) return;
  s().missingClassPathReported = true;
  for (const std::string& missing : s().missingClassPath) utlReport(kMissingClassPathMsg, missing.c_str());
}

std::optional<std::string> cfgGetBootClassPath() { return utlPathArrayToString(s().bootclasspath); }

const char* cfgGetCurrentDir() { return cStr(s().currentDir); }
const std::optional<std::string>& cfgGetSplashImage() { return s().splashImage; }
bool cfgIsNoSplash() { return s().noSplash; }
const char* cfgGetMainClass() { return cStr(s().mainClass); }
const char* cfgGetMainMethod() { return s().mainMethod ? s().mainMethod->c_str() : "main"; }
const char* cfgGetVersionClass() { return cStr(s().versionClass); }
const char* cfgGetVersionMethod() { return s().versionMethod ? s().versionMethod->c_str() : "main"; }
const char* cfgGetUsageClass() { return cStr(s().usageClass); }
const char* cfgGetUsageMethod() { return s().usageMethod ? s().usageMethod->c_str() : "main"; }
const char* cfgGetExitClass() { return s().exitClass ? s().exitClass->c_str() : cfgGetMainClass(); }
const char* cfgGetExitMethod() { return s().exitMethod ? s().exitMethod->c_str() : "cleanup"; }
int cfgGetRestartOnExitCode() { return s().restartCode; }
int cfgGetUsageOnExitCode() { return s().usageCode; }
bool cfgGetDaemonSupport() { return s().daemonSupport; }
const char* cfgGetDaemonLogDir() { return cStr(s().daemonLogDir); }
const char* cfgGetPidFile() { return cStr(s().pidFile); }
int cfgGetRestartLimitCount() { return s().restartLimitCount; }
int cfgGetRestartLimitSeconds() { return s().restartLimitSeconds; }
const std::vector<CfgPackedJar>& cfgGetPackedJars() { return s().packedJars; }
const char* cfgGetPackedRuntime() { return cStr(s().packedRuntime); }
const char* cfgGetPackedRuntimeGlibc() { return cStr(s().packedRuntimeGlibc); }
