#include "jvmoptions/jop.h"

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

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

}  // namespace

JvmOptionList::JvmOptionList(JvmOptionList&& other) noexcept
    : options_(std::exchange(other.options_, nullptr)),
      count_(std::exchange(other.count_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

JvmOptionList& JvmOptionList::operator=(JvmOptionList&& other) noexcept {
  if (this != &other) {
    clear();
    options_ = std::exchange(other.options_, nullptr);
    count_ = std::exchange(other.count_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

void JvmOptionList::add(std::string_view text, void* extraInfo) {
  if (count_ == capacity_) {
    int newCapacity = capacity_ == 0 ? 4 : capacity_ * 2;
    auto* grown = static_cast<JavaVMOption*>(std::malloc(sizeof(JavaVMOption) * newCapacity));
    if (grown == nullptr) std::abort();
    if (count_ > 0) std::memcpy(grown, options_, sizeof(JavaVMOption) * count_);
    std::free(options_);
    options_ = grown;
    capacity_ = newCapacity;
  }
  // The JVM reads option strings as C strings, so each is a malloc'd copy.
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) std::abort();
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  options_[count_].optionString = copy;
  options_[count_].extraInfo = extraInfo;
  ++count_;
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
}

void jopInit() {
  state = JopState{};
  state.krxSaftyNet = std::getenv("KRX_NO_SAFETY_NET") == nullptr;
}

void jopTerm() { state = JopState{}; }

void jopAddParam(std::string_view option, void* extraInfo) { state.params.add(option, extraInfo); }

void jopAddProp(std::string_view option, void* extraInfo) { state.props.add(option, extraInfo); }

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
  jopAddParam(property, nullptr);
}

JavaVMOption* jopGetJavaVMOptions() { return state.jopJVMOptionsFinalized ? state.params.data() : nullptr; }

int jopGetJavaVMOptionsCount() { return state.jopJVMOptionsFinalized ? state.params.count() : 0; }

// Will merge the configuration's options with the command line's and add the
// class path and the launcher's generated options. Until the configuration
// and class path work exist, the list is final as it stands.
void jopFinalizeJVMOptions() {
  if (state.jopJVMOptionsFinalized) return;
  jopMergeJVMOptions(state.props.data(), state.props.count());
  state.jopJVMOptionsFinalized = true;
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
  utlPathStringToArray(state.cmdLineCP, path, false);
}

const PathArray& jopGetCmdLineClassPath() { return state.cmdLineCP; }

int jopGetClassPathLocation() { return classPathLocation; }

bool jopIsSafetyNetOn() { return state.krxSaftyNet; }
