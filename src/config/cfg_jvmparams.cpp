// The configuration's own JVM parameters and system properties, and the
// directives that add them.

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "config/cfg.h"
#include "config/cfg_state.h"
#include "config/fil.h"
#include "host/hmd.h"
#include "host/sysinfo.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

CfgState& s() { return cfgState(); }

constexpr MemorySize kHeapUnit = 100000000;
// The cap was made for 32-bit JVMs, whose heap cannot grow much beyond it.
constexpr long long kHeapCap32 = 1048;

// The memory the JVM may use: the physical memory, or the limit of the
// control group the launcher runs in when that is lower.
MemorySize availableMemory() {
  MemorySize total = getTotalPhysMem();
  if (total == 0) return 0;
  if (auto limit = getProcessCgroupMemoryLimit(); limit && limit->bytes < static_cast<std::uint64_t>(total)) {
    ut_tproda("Using the memory limit of the control group (%s): %llu bytes", limit->file.c_str(),
              static_cast<unsigned long long>(limit->bytes));
    total = static_cast<MemorySize>(limit->bytes);
  }
  return total;
}

// Words written for the java command, as the JVM takes them (--add-opens X
// as one option, -showversion as the banner, -splash: as the splash image):
// each -D option is a property, every other a parameter, in order. False
// when an option lacks its value.
bool addOptions(const std::vector<std::string>& words) {
  JavaCommandOptions options = jopTakeJavaCommandOptions(words);
  if (!options.error.empty()) {
    ut_tproda("%s", options.error.c_str());
    return false;
  }
  for (const std::string& option : options.jvmOptions) {
    if (option.starts_with("-D")) {
      cfgAddProp(option, nullptr);
    } else {
      cfgAddParam(option, nullptr);
    }
  }
  if (options.banner != VersionBanner::kNone) s().versionBanner = options.banner;
  // As java takes it: a relative image is the working directory's.
  if (options.splash) s().splashImage = options.splash;
  return true;
}

bool setHeapSize(std::string_view prefix, const std::string& param) {
  std::optional<std::string> option;
  if (!cfgHeapSizeOption(prefix, param, availableMemory, option)) return false;
  if (!option) return true;
  ut_tproda("We passed the following memory parameter to the VM: %s", option->c_str());
  cfgAddParam(*option, nullptr);
  return true;
}

}  // namespace

bool cfgHeapSizeOption(std::string_view prefix, const std::string& param, MemorySize (*memory)(),
                       std::optional<std::string>& option) {
  option.reset();
  if (param.find("auto") != std::string::npos) return true;
  // A number without a unit is bytes; below 1024 no JVM takes it, and it is
  // almost always a size in megabytes whose "m" was forgotten.
  if (!param.empty() && param.size() <= 4 && param.find_first_not_of("0123456789") == std::string::npos &&
      std::stoi(param) < 1024) {
    return false;
  }
  if (param.empty() || param.back() != '%') {
    option = std::string(prefix) + param;
    return true;
  }
  errno = 0;
  char* end = nullptr;
  long long percent = std::strtoll(param.c_str(), &end, 10);
  // Digits, then the '%': "abc%" or "50.5%" is no share of the memory.
  if (errno == ERANGE || percent < 0 || end == param.c_str() || end != &param.back()) return false;
  MemorySize total = memory();
  if (total == 0) {
    ut_tproda("Cannot detect total memory in the system, leaving it up to the VM");
    return true;
  }
  // Whole units of 100000000 bytes first, then the percentage: the result
  // counts (roughly) megabytes, and must be a heap size the JVM can read.
  long long megabytes = 0;
  if (__builtin_mul_overflow(static_cast<long long>(total / kHeapUnit), percent, &megabytes) ||
      megabytes > INT_MAX) {
    return false;
  }
  if constexpr (sizeof(void*) == 4) megabytes = std::min(megabytes, kHeapCap32);
  option = std::string(prefix) + std::to_string(megabytes) + "m";
  return true;
}

void cfgAddParam(std::string_view text, void* extraInfo) { s().params.add(text, extraInfo); }

void cfgAddProp(std::string_view text, void* extraInfo) { s().props.add(text, extraInfo); }

bool cfgIsParamSet(std::string_view prefix) { return s().params.hasPrefix(prefix); }

bool cfgIsPropSet(std::string_view prefix) { return s().props.hasPrefix(prefix); }

void cfgFinalizeJVMOptions() {
  if (s().cfgJVMOptionsFinalized) return;
  cfgMergeJVMOptions(s().props.data(), s().props.count());
  s().cfgJVMOptionsFinalized = true;
}

void cfgMergeJVMOptions(const JavaVMOption* options, int count) {
  for (int i = 0; i < count; ++i) cfgAddParam(options[i].optionString, options[i].extraInfo);
}

const JavaVMOption* cfgGetJavaVMOptions() { return s().cfgJVMOptionsFinalized ? s().params.data() : nullptr; }

JvmOptionList cfgTakeJavaVMOptions() {
  cfgFinalizeJVMOptions();
  // Moving leaves the configuration's list empty.
  return std::move(s().params);
}

int cfgGetJavaVMOptionsCount() { return s().cfgJVMOptionsFinalized ? s().params.count() : 0; }

int cfgGetSocketPort() { return s().socketPort; }

bool cfgSetVMParam(std::string& param) {
  cfgAddParam(param, nullptr);
  return true;
}

bool cfgSetVMParams(std::string& param) {
  std::optional<std::vector<std::string>> words = utlSplitWords(param);
  return words && addOptions(*words);
}

// The words are taken as Maven's mvn takes .mvn/jvm.config: line ends
// become blanks and the text is split at blanks, with no quotes and no
// comments. Most projects have no such file, so a missing one (or a
// directory of that name) adds nothing; one that is there but cannot be
// read fails, rather than run without the options the project asks for. A
// set-ID launcher reads it only under the ownership rule of its
// configuration files.
bool cfgSetVMParamsFile(std::string& param) {
  std::string path = utlMakeAbsPath(param, cfgPathAnchor());
  struct stat info;
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
    ut_tproda("No JVM options file <%s>: nothing added", path.c_str());
    return true;
  }
  // The file belongs to the project the user works in (a Maven project's
  // .mvn/jvm.config, found with $findup): whoever owns the working
  // directory may have written it, as root building a user's checkout
  // expects; nobody else (a /tmp/.mvn above /tmp/work) may.
  FILE* stream = filOpenProjectFile(path.c_str());
  if (stream == nullptr) {
    if (!filInputRefused()) utlReport(kOpenErrorMsg, path.c_str());
    return false;
  }
  std::vector<std::string> words;
  while (const char* line = filReadLineFromFile(stream)) {
    for (std::string& word : utlSplitList(line, " \t\r")) words.push_back(std::move(word));
  }
  bool complete = !filInputRefused();
  if (int error = std::ferror(stream); complete && error) {
    utlReport(kReadErrorMsg, path.c_str(), error);
    complete = false;
  }
  filCloseFile(stream);
  return complete && addOptions(words);
}

bool cfgSetVMProp(std::string& param) {
  cfgAddProp("-D" + param, nullptr);
  return true;
}

bool cfgSetVMMemMin(std::string& param) { return setHeapSize("-Xms", param); }

bool cfgSetVMMemMax(std::string& param) { return setHeapSize("-Xmx", param); }

// The port is the number the parameter starts with. Port 0 means none, and
// anything outside the TCP port range could never be reached.
bool cfgSetSocketPort(std::string& param) {
  long port = std::strtol(param.c_str(), nullptr, 10);
  if (port <= 0 || port > 65535) return false;
  cfgAddProp("-Dcorvane.socket=" + std::to_string(port), nullptr);
  s().socketPort = static_cast<int>(port);
  return true;
}

bool cfgIsInstanceId(std::string_view text) {
  if (text.empty() || text.size() > 64 || text[0] == '.') return false;
  return std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
  });
}

bool cfgSetSingleInstance(std::string& param) {
  if (!param.empty() && !cfgIsInstanceId(param)) return false;
  s().singleInstance = param;
  return true;
}

std::optional<std::string> cfgGetSingleInstance() { return s().singleInstance; }

bool cfgSetDesktopName(std::string& param) {
  s().desktop.name = param;
  return true;
}

// The images are read only by +desktop install, which says what is wrong
// with one: a launch never needs them.
bool cfgAddDesktopIcon(std::string& param) {
  s().desktop.icons.push_back(utlMakeAbsPath(param, cfgPathAnchor()));
  return true;
}

bool cfgSetDesktopCategories(std::string& param) {
  std::optional<std::vector<std::string>> categories = dskParseCategories(param);
  if (!categories) return false;
  s().desktop.categories = std::move(*categories);
  return true;
}

bool cfgAddMimeType(std::string& param) {
  std::string why;
  std::optional<DskMimeType> mime = dskParseMimeType(param, why);
  if (!mime) return false;
  s().desktop.mimeTypes.push_back(std::move(*mime));
  return true;
}

const DskApplication& cfgGetDesktop() { return s().desktop; }

bool cfgSetCopyEnv(std::string& param) {
  if (const char* value = hmdGetEnvironmentValue(param.c_str())) {
    cfgAddProp("-Dcorvane.copyenv." + param + "=" + value, nullptr);
  }
  return true;
}

// The dump is written later (cfgWriteExportEnv), once this image knows it is
// the one that creates the JVM and the environment is the JVM's.
bool cfgSetExportEnv(std::string& param) {
  if (param.find("true") == std::string::npos) return false;
  s().exportEnv = true;
  return true;
}

bool cfgIsExportEnvEnabled() { return s().exportEnv; }

bool cfgWriteExportEnv() {
  if (!s().exportEnv) return true;
  std::optional<std::string> file = hmdWriteEnvironment();
  if (!file) return false;
  hmdRemoveAtEnd(*file);
  cfgAddProp("-Dcorvane.exportenv=" + *file, nullptr);
  ut_tproda("Set corvane.exportenv to <%s>", file->c_str());
  return true;
}
