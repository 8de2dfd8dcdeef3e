#include "jvm/jev.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "cmdline/opt.h"
#include "config/cfg.h"
#include "config/fil.h"
#include "host/hmd.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kNoSupportedJvmMsg = "Unable to find a supported JDK or JRE version. %s\n";
constexpr const char* kNoJvmFoundMsg = "Unable to find a JDK or JRE.\n";
constexpr const char* kFixNamedHomeMsg =
    "Correct %s to name a usable JDK or JRE, or remove it to let the launcher search JAVA_HOME, PATH and "
    "/usr/lib/jvm.\n";
constexpr const char* kHowToFixMsg =
    "Install a JDK or JRE (such as Debian's openjdk-17-jre-headless), set JAVA_HOME to one, or name it with "
    "javahome in the configuration.\n";
constexpr const char* kUseJavaHomeMsg = "Check your installation and use %sjavahome to specify the JDK or JRE location\n";
constexpr const char* kJ2eeHomeMsg = "Sun's J2EE Reference Implementation found in %s.\n";
constexpr const char* kJ2seRequiredMsg = "Corvane Kestrix requires J2SE, not J2EE.\n";
constexpr const char* kNoJvmMsg = "Error: No JVM found in '%s'.\n";
constexpr const char* kNoSuitableJvmMsg = "Unable to find a suitable Java VM in %s\n";
constexpr const char* kNoXUsageIbmMsg = "Unable to get -X options list from this VM. Try 'java -X'.\n";
constexpr const char* kCantOpenMsg = "Can't open %s\n";
constexpr const char* kXUsageHintMsg = "The non-standard options of this Java VM are listed by '%s/bin/java -X'.\n";

// What discovery learns on its way to a choice, for the message that lists
// the places looked at.
struct JevState {
  InvocationFunctions ifn;
  bool modular = false;  ///< the loaded JVM is a modular runtime's
  std::vector<std::string> rejected;  ///< each place looked at in vain, and why, for the no-Java message
  std::string chosenFrom;             ///< where discovery found the Java home in use, as rejected names places
  bool chosenIsRejected = false;      ///< the home in use already has its line in rejected
};

JevState state;

bool exists(const std::string& path) { return utlFileExists(path); }

bool isExecutableFile(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH));
}

// ".../bin/java" names the home two levels up ("." when nothing is left).
std::string homeOfJava(std::string java) {
  for (int level = 0; level < 2; ++level) {
    std::size_t slash = java.rfind('/');
    if (slash == std::string::npos) return ".";
    java.resize(slash);
  }
  return java;
}

}  // namespace

std::optional<std::string> jevGetReleaseVersion(const std::string& home) {
  std::ifstream release(home + "/release");
  std::string line;
  while (std::getline(release, line)) {
    if (!line.starts_with("JAVA_VERSION=")) continue;
    std::string value = line.substr(std::strlen("JAVA_VERSION="));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return value;
  }
  return std::nullopt;
}

namespace {

// Where Debian installs its Java runtimes, each in a directory of its own.
constexpr const char* kInstalledRuntimes = "/usr/lib/jvm";
// Why a home whose JVM library the loader would refuse is passed over.
constexpr const char* kForeignArchitecture = "for another architecture";

// A version text as one comparable number: major, minor and micro groups.
long long versionRank(const std::string& version) {
  long long rank = 0;
  const char* text = version.c_str();
  for (int group = 0; group < 3; ++group) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    rank = rank * 100000 + (end != text && value > 0 ? std::min(value, 99999L) : 0);
    text = *end == '.' ? end + 1 : end;
  }
  return rank;
}

// True when the home holds JVM libraries and each of them, whichever flavour
// jvm.cfg would choose, is for another architecture than the launcher's.
bool onlyForeignLibraries(const std::string& home, VMInfo info) {
  bool any = false;
  for (int flavour : {kSubTypeClassic, kSubTypeClient, kSubTypeServer}) {
    info.jvmSubType = flavour;
    std::string library = jmdGetJVMSharedLib(home, info);
    if (!exists(library)) continue;
    if (!jmdIsForeignLibrary(library)) return false;
    any = true;
  }
  return any;
}

// Why a directory is no Java home the launcher can use; empty when it is
// one, and then info describes it.
std::string rejection(VMInfo& info, const std::string& home) {
  if (home.empty() || !exists(home)) return "missing";
  if (!jevBasicJDKJREChecks(info, home)) return "not a Java home";
  // A modular runtime names its flavours in jvm.cfg, but only these two
  // directories hold a library the launcher can load.
  if (info.jvmVersion == kLayoutModular && !exists(home + "/lib/server/libjvm.so") &&
      !exists(home + "/lib/client/libjvm.so")) {
    return "no JVM library";
  }
  // The loader would refuse it (a 64-bit Java on the PATH of a 32-bit
  // launcher): the search goes on to the next place instead.
  if (onlyForeignLibraries(home, info)) {
    ut_tproda("The JVM library of %s is for another architecture than the launcher's", home.c_str());
    return kForeignArchitecture;
  }
  return "";
}

std::string rejection(const std::string& home) {
  VMInfo info;
  return rejection(info, home);
}

// Why a usable home's runtime fails the version requirement; empty when it
// meets it or has no release file to tell (the JVM's own version is checked
// once it runs).
std::string versionRejection(const std::string& home) {
  std::optional<std::string> version = jevGetReleaseVersion(home);
  return version ? cfgWhyJVMVersionIsRefused(version->c_str()) : "";
}

// The newest installed runtime whose release version the configuration's
// version requirement accepts; none when there is none. Every other entry
// is listed as rejected, in name order, so the message reads the same on
// every run.
std::optional<std::string> newestAcceptableRuntime(const std::string& passedOver) {
  std::vector<std::string> homes;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(kInstalledRuntimes, error)) {
    if (entry.path().filename().string().starts_with(".")) continue;
    std::string home = std::filesystem::weakly_canonical(entry.path(), error).string();
    if (!error && home != passedOver && std::find(homes.begin(), homes.end(), home) == homes.end()) {
      homes.push_back(home);
    }
  }
  std::sort(homes.begin(), homes.end());
  std::optional<std::string> best;
  long long bestRank = -1;
  for (const std::string& home : homes) {
    std::string why = rejection(home);
    if (why.empty()) why = versionRejection(home);
    std::optional<std::string> version = jevGetReleaseVersion(home);
    if (why.empty() && !version) why = "no release file";
    if (!why.empty()) {
      state.rejected.push_back(home + ": " + why);
    } else if (versionRank(*version) > bestRank) {
      best = home;
      bestRank = versionRank(*version);
    }
  }
  return best;
}

// Java 9 and later have no architecture directory; they are recognised by
// their module image and release file instead.
bool modularChecks(VMInfo& info, const std::string& dir) {
  if (!exists(dir + "/bin/java") || !exists(dir + "/lib/modules") || !exists(dir + "/lib/jvm.cfg")) return false;
  std::optional<std::string> version = jevGetReleaseVersion(dir);
  if (!version) return false;
  info.jvmType = exists(dir + "/bin/javac") ? kJvmTypeJdk : kJvmTypeJre;
  info.jvmVendor = kVendorSun;
  info.jvmVersion = kLayoutModular;
  ut_tproda("JVM appears to be a modular Java runtime, version %s", version->c_str());
  return true;
}

int subTypeOfToken(const std::string& token) {
  static const struct {
    const char* token;
    int subType;
  } kTokens[] = {{"-client", kSubTypeClient}, {"-server", kSubTypeServer}, {"-hotspot", kSubTypeHotspot},
                 {"-classic", kSubTypeClassic}};
  for (const auto& entry : kTokens) {
    if (token == entry.token) return entry.subType;
  }
  return kSubTypeDefault;
}

// jvm.cfg grammar: one JVM per line, "-<flavour> [<status> ...]". A Java 2
// v1.3 line has the flavour alone; later layouts need a status of KNOWN,
// WARN or ALIASED_TO (an alias takes the flavour of its own first token).
bool acceptableLine(const std::vector<std::string>& tokens, int layout) {
  if (layout == kLayout13) return tokens.size() == 1;
  return tokens.size() >= 2 && (tokens[1] == "KNOWN" || tokens[1] == "WARN" || tokens[1] == "ALIASED_TO");
}

// Chooses the flavour: the first acceptable line of jvm.cfg whose library
// exists. False after a reported failure.
bool chooseFlavourFromJvmCfg(JavaChoice& java) {
  VMInfo& info = java.info;
  std::string path = jmdGetJVMConfigFile(java.home, info).value_or("");
  FILE* stream = filOpenFile(path.c_str(), "r", false);
  if (stream == nullptr) {
    if (!filInputRefused()) utlReport(kOpenErrorMsg, path.c_str());
    return false;
  }
  while (const char* read = filReadNextLineFromFile(stream)) {
    std::string line = read;
    std::vector<std::string> tokens = utlSplitList(line, " \t");
    info.jvmSubType = subTypeOfToken(tokens.front());
    if (info.jvmSubType != kSubTypeDefault && acceptableLine(tokens, info.jvmVersion) &&
        exists(jmdGetJVMSharedLib(java.home, info))) {
      ut_tproda("Processed <%s> from <%s>", line.c_str(), path.c_str());
      break;
    }
    info.jvmSubType = kSubTypeDefault;
    ut_tproda("Ignored <%s> from <%s>", line.c_str(), path.c_str());
  }
  bool ok = true;
  if (filInputRefused()) {
    ok = false;
  } else if (int error = std::ferror(stream)) {
    utlReport(kReadErrorMsg, path.c_str(), error);
    ok = false;
  } else if (info.jvmSubType == kSubTypeDefault) {
    utlReport(kNoJvmMsg, path.c_str());
    ok = false;
  }
  filCloseFile(stream);
  return ok;
}

}  // namespace

void jevTerm() {}

namespace {

// Takes home, found at place, as the Java home in use.
void useJavaHome(const std::string& place, const std::string& home) {
  state.chosenFrom = place;
  jopSetJavaHome(home);
}

// Takes home when it is usable and returns an empty text; otherwise lists it
// as passed over and returns why.
std::string tryJavaHome(const std::string& place, const std::string& home) {
  VMInfo info;
  std::string why = rejection(info, home);
  if (why.empty()) {
    useJavaHome(place, home);
  } else {
    state.rejected.push_back(place + ": " + why);
  }
  return why;
}

void discoverJavaHome() {
  // What every peer honours, after what the command line and the
  // configuration named. A set-ID launcher takes no installation from its
  // caller.
  const char* javaHome = hmdGetEnvironmentValue("JAVA_HOME");
  if (javaHome != nullptr && !utlIsSetIdMode()) {
    std::string place = "JAVA_HOME=" + std::string(javaHome);
    if (*javaHome == '\0') {
      state.rejected.push_back(place + ": empty");
    } else if (std::string home = utlMakeAbsPath(javaHome); tryJavaHome(place, home).empty()) {
      ut_tproda("Using the Java home %s named by JAVA_HOME", home.c_str());
      return;
    }
    ut_tproda("JAVA_HOME '%s' is no usable Java installation: skipped", javaHome);
  }
  const char* path = hmdGetEnvironmentValue("PATH");
  // A set-ID launcher's PATH is its caller's: the Java it named would run
  // with the launcher's privileges.
  if (utlIsSetIdMode() && path != nullptr) {
    ut_tproda("Not searching PATH for Java in a set-ID launcher");
    path = nullptr;
  }
  std::string foreignOnPath;
  if (cfgIsAllowJavaOnPathEnabled() && path != nullptr) {
    PathArray directories;
    utlPathStringToArray(directories, path);
    for (const std::string& directory : directories) {
      std::string java = directory.substr(0, kPathMax - 1) + "/java";
      // A link left behind when a Java was removed is a place the user may
      // think holds one.
      struct stat link;
      if (lstat(java.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && !exists(java)) {
        state.rejected.push_back("PATH " + java + ": broken link");
        continue;
      }
      if (!isExecutableFile(java)) continue;
      std::string home = homeOfJava(java);
      VMInfo info;
      // A java found through links (/usr/bin/java -> /etc/alternatives/...)
      // belongs to the installation its real path lies in.
      std::unique_ptr<char, decltype(&std::free)> real(realpath(java.c_str(), nullptr), &std::free);
      if (real && java != real.get() && !rejection(info, home).empty()) {
        ut_tproda("%s is a link to %s; trying the Java home %s", java.c_str(), real.get(),
                  homeOfJava(real.get()).c_str());
        home = homeOfJava(real.get());
      }
      std::string why = tryJavaHome("PATH " + java, home);
      if (why.empty()) {
        ut_tproda("Using the Java home %s of %s on PATH", home.c_str(), java.c_str());
        return;
      }
      if (why == kForeignArchitecture) foreignOnPath = home;
    }
  }
  // The java on PATH is the system's own (a 64-bit one for a 32-bit
  // launcher): a runtime for the launcher's architecture is one installed
  // beside it.
  if (!foreignOnPath.empty()) {
    if (std::optional<std::string> installed = newestAcceptableRuntime(foreignOnPath)) {
      ut_tproda("Using the Java home %s installed in %s", installed->c_str(), kInstalledRuntimes);
      useJavaHome(*installed, *installed);
      return;
    }
  }
  VMInfo info;
  std::string home;
  if (jmdIsThisJVMInstalled(info, home, kPathMax)) jopSetJavaHome(home);
}

// The place the no-Java message names for the Java home in use.
std::string chosenPlace() {
  if (!state.chosenFrom.empty()) return state.chosenFrom;
  const char* home = jopGetJavaHome();
  return (optIsOptionOn("+javahome", true) ? "+javahome " : "javahome ") + std::string(home ? home : "");
}

// Each place with its reason, then what would help: a home named with
// +javahome or javahome wins over JAVA_HOME, so only changing it does.
void reportPlacesLookedAt() {
  for (const std::string& line : state.rejected) utlReport("  %s\n", line.c_str());
  if (!state.chosenFrom.empty() || jopGetJavaHome() == nullptr) {
    utlReport("%s", kHowToFixMsg);
  } else {
    utlReport(kFixNamedHomeMsg, optIsOptionOn("+javahome", true) ? "+javahome" : "javahome in the configuration");
  }
}

}  // namespace

void jevConfigureDefaultJVM() {
  discoverJavaHome();
  // A runtime found rather than named that is too old (or too new) for the
  // configuration gives way, before any JVM is created, to the newest
  // installed one that fits.
  const char* home = jopGetJavaHome();
  std::string why = home ? versionRejection(home) : "";
  if (why.empty()) return;
  state.rejected.push_back(chosenPlace() + ": " + why);
  state.chosenIsRejected = true;
  std::optional<std::string> better = newestAcceptableRuntime(home);
  if (!better) return;
  ut_tproda("Java in %s does not meet the version requirement (%s); using %s", home, why.c_str(), better->c_str());
  jopSetJavaHome(*better);
}

void jevReportVersionRefused(const char* version) {
  if (!state.chosenIsRejected) state.rejected.push_back(chosenPlace() + ": " + cfgWhyJVMVersionIsRefused(version));
  reportPlacesLookedAt();
}

bool jevBasicJDKJREChecks(VMInfo& info, const std::string& dir) {
  // A module image with a release file is a modular runtime, whatever
  // old-layout files it also holds (JDK 9 and 10 still shipped tnameserv).
  if (exists(dir + "/lib/modules") && exists(dir + "/release")) return modularChecks(info, dir);
  info.jvmType = kJvmTypeJdk;
  if (jevBasicJVMChecks(info, dir)) return true;
  info.jvmType = kJvmTypeJre;
  if (jevBasicJVMChecks(info, dir)) return true;
  // A JDK's layout without its compiler: Debian's Java 8 runtime package
  // alone leaves bin/java and the runtime in jre/, and JAVA_HOME names the
  // directory above it. Its paths are a JDK's.
  if (!jevBasicJVMChecks(info, dir + "/jre")) return false;
  info.jvmType = kJvmTypeJdk;
  ut_tproda("JVM appears to be in the jre directory of %s", dir.c_str());
  return true;
}

bool jevBasicJVMChecks(VMInfo& info, const std::string& dir) {
  bool jdk = info.jvmType == kJvmTypeJdk;
  if (!exists(dir + (jdk ? "/bin/javac" : "/bin/java"))) return false;
  if (!exists(dir + "/bin/tnameserv")) return false;
  if (exists(dir + (jdk ? "/jre" : "") + "/bin/liborb.so")) {
    info.jvmVersion = kLayout13;
    info.jvmVendor = kVendorIbm;
    ut_tproda("JVM appears to be Java 2 - assuming it's IBM 1.3.1");
    return true;
  }
  info.jvmVendor = kVendorSun;
  info.jvmVersion = kLayout13;
  if (exists(jmdGetJVMConfigFile(dir, info).value_or(""))) {
    ut_tproda("JVM appears to be Sun Java 2 v1.3");
    return true;
  }
  info.jvmVersion = kLayout14;
  if (exists(jmdGetJVMConfigFile(dir, info).value_or(""))) {
    ut_tproda("JVM appears to be Sun Java 2 v1.4");
    return true;
  }
  return false;
}

bool jevDetermineJVMType(VMInfo& info, std::string& home, int size) {
  const char* javaHome = jopGetJavaHome();
  if (javaHome != nullptr && *javaHome != '\0' && home != javaHome) {
    ut_tproda("JavaHome has been reset to '%s'", javaHome);
    home = std::string(javaHome).substr(0, static_cast<std::size_t>(size));
    // A named home is checked as a found one is: a library the loader would
    // refuse is reported with the places looked at, not as a load failure.
    if (jevBasicJDKJREChecks(info, home) && !onlyForeignLibraries(home, info)) return true;
    home.clear();
  }
  if (!home.empty()) return true;
  // The built-in minimum is no requirement of the user's: naming it would
  // only mislead.
  std::string requirement;
  cfgIsJVMVersionAcceptable(nullptr, &requirement);
  if (cfgIsJVMVersionRequired()) {
    utlReport(kNoSupportedJvmMsg, requirement.c_str());
  } else {
    utlReport("%s", kNoJvmFoundMsg);
  }
  utlReport(kUseJavaHomeMsg, "+");
  // Named on the command line or in the configuration: nothing else was tried.
  if (javaHome != nullptr && *javaHome != '\0') state.rejected.push_back(chosenPlace() + ": " + rejection(javaHome));
  reportPlacesLookedAt();
  return false;
}

std::optional<JavaChoice> jevChooseJava(int subType) {
  JavaChoice java;
  java.info.jvmSubType = subType;
  if (!jevDetermineJVMType(java.info, java.home, kPathMax)) return std::nullopt;
  if (exists(java.home + "/lib/j2ee.jar") && hmdIsSafetyNetOn() && !cfgIsAllowRIEnabled()) {
    utlReport(kJ2eeHomeMsg, java.home.c_str());
    utlReport("%s", kJ2seRequiredMsg);
    return std::nullopt;
  }
  if (java.info.jvmSubType == kSubTypeDefault) {
    if (java.info.jvmVendor == kVendorIbm) {
      java.info.jvmSubType = kSubTypeClassic;
    } else if (!chooseFlavourFromJvmCfg(java)) {
      return std::nullopt;
    }
  }
  java.library = jmdGetJVMSharedLib(java.home, java.info);
  if (!exists(java.library)) {
    ut_tproda("No JVM shared library at %s", java.library.c_str());
    utlReport(kNoSuitableJvmMsg, java.home.c_str());
    return std::nullopt;
  }
  java.libraryDir = java.library.substr(0, java.library.rfind('/'));
  ut_tproda("JVM shared library dir is %s", java.libraryDir.c_str());
  return java;
}

bool jevPrintXUsage(const JavaChoice& java) {
  std::string path = java.libraryDir + "/Xusage.txt";
  FILE* usage = std::fopen(path.c_str(), "r");
  if (usage == nullptr) {
    if (java.info.jvmVendor == kVendorIbm) {
      utlReport("%s", kNoXUsageIbmMsg);
    } else {
      utlReport(kCantOpenMsg, path.c_str());
      if (java.modular()) utlReport(kXUsageHintMsg, java.home.c_str());
    }
    return false;
  }
  char block[128];
  while (std::size_t n = std::fread(block, 1, sizeof block, usage)) std::fwrite(block, 1, n, stdout);
  std::fclose(usage);
  return true;
}

bool jevInit(const JavaChoice& java) {
  state.modular = java.modular();
  bool loaded = jmdLoadJavaVM(java, &state.ifn);
  if (loaded && state.ifn.DumpAllStacks != nullptr) ut_tproda("JVM is 1.3.1_01 or later");
  return loaded;
}

InvocationFunctions* jevGetInvocationFunction() { return &state.ifn; }

bool jevCanDumpAllStacks() {
  return state.ifn.DumpAllStacks != nullptr || state.modular;
}

void jevReset() { state = JevState{}; }
