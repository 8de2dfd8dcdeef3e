#include "jvmoptions/jop.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "host/hmd.h"
#include "util/utrace.h"

namespace {

struct JopState {
  JvmOptionList params;  ///< JVM options in the order appended
  JvmOptionList props;   ///< system properties from the command line
  std::optional<std::string> javaHome;
  std::optional<std::string> javaPath;
  bool krxSaftyNet = true;
  bool jopJVMOptionsFinalized = false;
  PathArray cmdLineCP;  ///< from the "+classpath" options
};

JopState state;

// Kept across jopInit, unlike the rest of the state: the placement belongs to
// the process's command line.
int classPathLocation = kClassPathUnset;

constexpr const char* kJ2eeOnClassPathMsg = "Sun's J2EE Reference Implementation found on classpath.\n";
constexpr const char* kJ2eeExclusiveMsg = "Corvane Kestrix and Sun's J2EE are mutually exclusive.\n";
constexpr const char* kJ2eeRemoveMsg = "Remove '%s' from the classpath before running any Corvane Kestrix command.\n";

// An option the launcher adds to the list it finalizes.
void addOwn(std::string_view option, JopOrigin origin = JopOrigin::kLauncher) {
  state.params.add(option, nullptr, origin);
}

// Java 9 and later refuse to prepend to their boot class path; they are
// given the same paths to append.
std::string bootClassPathOption(const JavaChoice& java) {
  if (!java.modular()) return "-Xbootclasspath/p:";
  ut_tproda("The modular Java runtime takes the boot class path appended (-Xbootclasspath/a:)");
  return "-Xbootclasspath/a:";
}

// False after the refusal is reported.
bool refuseReferenceImplementation(const std::string& element, bool allowed) {
  std::string name = element.substr(element.rfind('/') + 1);
  if (strcasecmp(name.c_str(), "j2ee.jar") != 0 || !state.krxSaftyNet || allowed) return true;
  utlReport("%s", kJ2eeOnClassPathMsg);
  utlReport("%s", kJ2eeExclusiveMsg);
  utlReport(kJ2eeRemoveMsg, element.c_str());
  return false;
}

// The debugger agent listens when it has no host to connect to. A modular
// runtime takes the agent library form: JDK 25 refuses -Xnoagent, and
// -Xdebug and -Djava.compiler= have long been obsolete there.
void addDebugOptions(const JopDebug& debug, const JavaChoice& java) {
  const std::optional<std::string>& address = debug.address;
  std::string settings = "transport=dt_socket,server=";
  settings += address && address->find(':') != std::string::npos ? "n" : "y";
  settings += debug.startPaused ? ",suspend=y" : ",suspend=n";
  if (address) settings += ",address=" + *address;
  if (java.modular()) {
    addOwn("-agentlib:jdwp=" + settings);
    return;
  }
  addOwn("-Xdebug");
  addOwn("-Xnoagent");
  int subType = java.info.jvmSubType;
  if (subType == kSubTypeDefault || subType == kSubTypeClassic) addOwn("-Djava.compiler=");
  addOwn("-Xrunjdwp:" + settings);
}

// The old runtimes always had the executable first on their boot class path
// and, like every boot class path entry, off the configured class path.
void putLauncherOnTheBootClassPath(const std::string& launcher, std::optional<std::string>& boot,
                                   std::optional<std::string>& configured) {
  PathArray bootPath;
  utlPathStringToArray(bootPath, launcher.c_str());
  utlPathStringToArray(bootPath, boot ? boot->c_str() : nullptr);
  boot = utlPathArrayToString(bootPath);
  if (!configured) return;
  PathArray classPath;
  utlPathStringToArray(classPath, configured->c_str());
  utlRemoveFromPath(classPath, launcher);
  configured = utlPathArrayToString(classPath);
}

// The class path options, from the configured and command-line paths and
// what the executable carries. False after a reported refusal.
bool finalizeClassPath(const JopFinalInputs& inputs) {
  std::optional<std::string> configured = inputs.classPath;
  std::optional<std::string> boot = inputs.bootClassPath;
  std::optional<std::string> commandLine = utlPathArrayToString(state.cmdLineCP);
  // The executable carries the application when an archive is appended to
  // it. A modular runtime finds it first on the application class path, so
  // that the application has its own class loader and class path as under
  // "java -cp"; on the boot class path it would also turn off the archived
  // module graph. Without an archive it goes on no path. Jars the archive
  // carries whole were extracted, and stand first in its place.
  std::string launcher = hmdGetFullLauncherFileName(kPathMax + 1);
  std::string archive = inputs.carried;
  // An old runtime takes the executable on its boot class path only when it
  // holds an archive: Java 8 refuses to start with one that holds none.
  if (!inputs.java.modular()) {
    if (inputs.launcherIsArchive) putLauncherOnTheBootClassPath(launcher, boot, configured);
  } else if (archive.empty() && !launcher.empty() && inputs.launcherIsArchive) {
    archive = launcher;
  }

  if (configured) addOwn("-Dlauncher.config.classpath=" + *configured, JopOrigin::kLauncherOnly);
  if (commandLine) addOwn("-Dlauncher.commandline.classpath=" + *commandLine, JopOrigin::kLauncherOnly);
  if (boot) {
    ut_tproda("Final validation of bootclasspath");
    if (const char* secure = utlEnsurePathIsSecure(boot->c_str())) {
      addOwn(std::string("-Dlauncher.config.bootclasspath=") + secure, JopOrigin::kLauncherOnly);
      addOwn(bootClassPathOption(inputs.java) + secure);
    }
  }
  const char* secureConfigured = nullptr;
  const char* secureCommandLine = nullptr;
  if (configured || commandLine) {
    ut_tproda("Final validation of classpath");
    secureConfigured = configured ? utlEnsurePathIsSecure(configured->c_str()) : nullptr;
    secureCommandLine = commandLine ? utlEnsurePathIsSecure(commandLine->c_str()) : nullptr;
  }

  const char* first = secureConfigured;
  const char* second = secureCommandLine;
  if (classPathLocation == kClassPathPrepend) {
    std::swap(first, second);
  } else if (classPathLocation == kClassPathReplace) {
    first = secureCommandLine;
    second = nullptr;
  }
  // Each part was normalized and checked when it was built: joining them
  // only drops what a later part repeats.
  PathArray classPath;
  utlJoinPathList(classPath, archive.c_str());
  utlJoinPathList(classPath, first);
  utlJoinPathList(classPath, second);
  for (const std::string& element : classPath) {
    if (!refuseReferenceImplementation(element, inputs.allowReferenceImplementation)) return false;
  }
  // No class path, or one whose every element was dropped, leaves the JVM's
  // default: the working directory, as also for an empty one. A set-ID
  // launch must not run what its caller put there, and names a file that
  // holds no classes instead.
  if (std::optional<std::string> joined = utlPathArrayToString(classPath)) {
    addOwn("-Djava.class.path=" + *joined);
  } else if (utlIsSetIdMode()) {
    ut_tproda("No class path: %s instead of the working directory", kNoClassPath);
    addOwn(std::string("-Djava.class.path=") + kNoClassPath);
  }
  return true;
}

}  // namespace

JvmOptionList::JvmOptionList(JvmOptionList&& other) noexcept
    : options_(std::exchange(other.options_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      capacity_(std::exchange(other.capacity_, 0)),
      origins_(std::exchange(other.origins_, {})) {}

JvmOptionList& JvmOptionList::operator=(JvmOptionList&& other) noexcept {
  if (this != &other) {
    clear();
    options_ = std::exchange(other.options_, nullptr);
    count_ = std::exchange(other.count_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    origins_ = std::exchange(other.origins_, {});
  }
  return *this;
}

void JvmOptionList::add(std::string_view text, void* extraInfo, JopOrigin origin) {
  if (count_ == capacity_) {
    int newCapacity = capacity_ == 0 ? 4 : capacity_ * 2;
    auto* grown = static_cast<JavaVMOption*>(std::malloc(sizeof(JavaVMOption) * newCapacity));
    if (grown == nullptr) throw std::bad_alloc();
    if (count_ > 0) std::memcpy(grown, options_, sizeof(JavaVMOption) * count_);
    std::free(options_);
    options_ = grown;
    capacity_ = newCapacity;
  }
  // The JVM reads option strings as C strings, so each is a malloc'd copy.
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) throw std::bad_alloc();
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  options_[count_].optionString = copy;
  options_[count_].extraInfo = extraInfo;
  origins_.push_back(origin);
  ++count_;
}

void JvmOptionList::insert(int index, std::string_view text, void* extraInfo, JopOrigin origin) {
  add(text, extraInfo, origin);
  JavaVMOption added = options_[count_ - 1];
  std::memmove(options_ + index + 1, options_ + index, sizeof(JavaVMOption) * (count_ - 1 - index));
  options_[index] = added;
  std::rotate(origins_.begin() + index, origins_.end() - 1, origins_.end());
}

bool JvmOptionList::remove(std::string_view text) {
  for (int i = count_ - 1; i >= 0; --i) {
    if (text != options_[i].optionString) continue;
    std::free(options_[i].optionString);
    std::memmove(options_ + i, options_ + i + 1, sizeof(JavaVMOption) * (count_ - i - 1));
    origins_.erase(origins_.begin() + i);
    --count_;
    return true;
  }
  return false;
}

bool JvmOptionList::hasPrefix(std::string_view prefix) const {
  for (int i = 0; i < count_; ++i) {
    if (std::string_view(options_[i].optionString).starts_with(prefix)) return true;
  }
  return false;
}

void JvmOptionList::clear() {
  for (int i = 0; i < count_; ++i) std::free(options_[i].optionString);
  std::free(options_);
  options_ = nullptr;
  count_ = 0;
  capacity_ = 0;
  origins_.clear();
}

void jopInit() {
  state = JopState{};
  state.krxSaftyNet = hmdIsSafetyNetOn();
}

void jopTerm() { state = JopState{}; }

void jopAddParam(std::string_view option, void* extraInfo) { state.params.add(option, extraInfo); }

void jopAddProp(std::string_view option, void* extraInfo) { state.props.add(option, extraInfo); }

void jopPrependOptions(const std::vector<std::string>& options) {
  int params = 0, props = 0;
  for (const std::string& option : options) {
    if (option.starts_with("-D")) {
      state.props.insert(props++, option, nullptr);
    } else {
      state.params.insert(params++, option, nullptr);
    }
  }
}

void jopRemoveOption(std::string_view option) {
  if (!state.props.remove(option)) state.params.remove(option);
}

bool jopIsParamSet(std::string_view name) { return state.params.hasPrefix(name); }

bool jopIsPropSet(std::string_view name) { return state.props.hasPrefix(name); }

void jopMergeJVMOptions(const JavaVMOption* options, int count) {
  for (int i = 0; i < count; ++i) jopAddParam(options[i].optionString, options[i].extraInfo);
}

void jopConsolidateParams(std::string_view key, const JavaVMOption* options, int count) {
  if (count <= 0) return;
  std::string property = "-D";
  property += key;
  property += '=';
  for (int i = 0; i < count; ++i) {
    if (i > 0) property += '\n';
    property += options[i].optionString;
  }
  state.params.add(property, nullptr, JopOrigin::kLauncherOnly);
}

JavaVMOption* jopGetJavaVMOptions() { return state.jopJVMOptionsFinalized ? state.params.data() : nullptr; }

int jopGetJavaVMOptionsCount() { return state.jopJVMOptionsFinalized ? state.params.count() : 0; }

JopOrigin jopGetFinalOptionOrigin(int index) { return state.params.origin(index); }

// The configuration's options reach the JVM first and the command line's
// after them, so that the command line has the last word; then the class
// path and the properties through which the Java side learns how it was
// launched.
bool jopFinalizeJVMOptions(JopFinalInputs inputs) {
  if (state.jopJVMOptionsFinalized) return true;
  jopMergeJVMOptions(state.props.data(), state.props.count());
  jopConsolidateParams("launcher.commandline.params", state.params.data(), state.params.count());
  jopConsolidateParams("launcher.config.params", inputs.configured.data(), inputs.configured.count());

  // The configuration's options are taken over, not copied: a large
  // configuration has hundreds of thousands.
  JvmOptionList commandLine = std::move(state.params);
  state.params = std::move(inputs.configured);
  for (int i = 0; i < commandLine.count(); ++i) {
    state.params.add(commandLine.data()[i].optionString, commandLine.data()[i].extraInfo, commandLine.origin(i));
  }

  if (!finalizeClassPath(inputs)) return false;
  const JavaChoice& java = inputs.java;
  if (java.info.jvmType == kJvmTypeJdk) addOwn("-Dlauncher.jdk.home=" + java.home);
  std::string launcher = hmdGetFullLauncherFileName(kPathMax + 1);
  addOwn("-Dlauncher.program=" + launcher, JopOrigin::kProgram);
  addOwn("-Dcorvane.executable.path=" + launcher);
  if (inputs.currentDir) addOwn("-Duser.dir=" + *inputs.currentDir, JopOrigin::kLauncherOnly);
  // The launcher answers the signals itself only when it can also dump the
  // stacks, since the JVM then no longer does.
  if (inputs.ownSignals) addOwn("-Xrs", JopOrigin::kLauncherOnly);
  if (inputs.debug) addDebugOptions(*inputs.debug, java);
  state.jopJVMOptionsFinalized = true;
  return true;
}

void jopAmendFinalOptions(const std::vector<std::string>& front, const std::vector<std::string>& back) {
  int index = 0;
  for (const std::string& option : front) state.params.insert(index++, option, nullptr, JopOrigin::kLauncher);
  for (const std::string& option : back) addOwn(option);
}

void jopAddFinalOption(std::string_view option, JopOrigin origin, void* extraInfo) {
  state.params.add(option, extraInfo, origin);
}


void jopSetJavaHome(std::string_view directory) { state.javaHome = std::string(directory); }

const char* jopGetJavaHome() { return state.javaHome ? state.javaHome->c_str() : nullptr; }

void jopSetJavaPath(std::string_view path) { state.javaPath = std::string(path); }

const char* jopGetJavaPath() { return state.javaPath ? state.javaPath->c_str() : nullptr; }

void jopSetCmdLineClassPath(const char* arg, const char* path) {
  static const struct {
    const char* suffix;
    int location;
  } kPlacements[] = {{"", kClassPathAppend}, {"/p", kClassPathPrepend}, {"/a", kClassPathAppend}, {"/r", kClassPathReplace}};
  const char* suffix = std::strlen(arg) >= 10 ? arg + 10 : "";
  for (const auto& placement : kPlacements) {
    if (std::strcmp(suffix, placement.suffix) == 0) classPathLocation = placement.location;
  }
  state.cmdLineCP.clear();
  utlPathStringToArray(state.cmdLineCP, path);
}

const PathArray& jopGetCmdLineClassPath() { return state.cmdLineCP; }

int jopGetClassPathLocation() { return classPathLocation; }

const char* jopFindRelativePath() {
  // The options through which the JVM loads classes, libraries or agents
  // from a path: a list of them, or one before the agent's own options.
  struct PathOption {
    std::string_view prefix;
    bool list;
  };
  static constexpr PathOption kPathOptions[] = {
      {"-Djava.class.path=", true},   {"-Xbootclasspath/a:", true}, {"-Xbootclasspath/p:", true},
      {"-Djava.library.path=", true}, {"-agentpath:", false},      {"-javaagent:", false},
  };
  for (int i = 0; i < jopGetJavaVMOptionsCount(); ++i) {
    std::string_view option = jopGetJavaVMOptions()[i].optionString;
    for (const PathOption& kind : kPathOptions) {
      if (!option.starts_with(kind.prefix)) continue;
      std::string_view value = option.substr(kind.prefix.size());
      if (!kind.list) value = value.substr(0, value.find('='));
      // Every element, an empty one too, which is the working directory.
      for (std::size_t start = 0; start != std::string_view::npos;) {
        std::size_t end = kind.list ? value.find(':', start) : std::string_view::npos;
        if (!value.substr(start, end - start).starts_with('/')) return jopGetJavaVMOptions()[i].optionString;
        start = end == std::string_view::npos ? end : end + 1;
      }
    }
  }
  return nullptr;
}
