// Conditional and check directives: behaviour flags, JPDA, the required Java
// version, the command prefix, options turned into variables, required paths.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>


#include "config/cfg.h"
#include "config/cfg_state.h"
#include "util/utrace.h"

namespace {

CfgState& s() { return cfgState(); }

constexpr const char* kValueRequiredMsg = "Error: A value must be specified for option '%s'.\n";
constexpr const char* kCantFindMsg = "Error: Can't find '%s'.\n";

constexpr std::size_t kCmdPrefixMax = 20;

/// A behaviour flag named by the "options" directive.
struct OptionEntry {
  const char* name;
  bool CfgState::*flag;
};

const OptionEntry optionList[] = {
    {"strictvm", &CfgState::strictVMChecks},
    {"handleexit", &CfgState::handleShutdown},
    {"allowri", &CfgState::allowri},
    {"leavepathsrelative", &CfgState::makePathsAbsolute},
    {"allowjavaonpath", &CfgState::allowJavaOnPath},
    {"appargs", &CfgState::appArgs},
    {"startupcache", &CfgState::startupCache},
    {"quickstart", &CfgState::quickStart},
    {"notifyready", &CfgState::notifyReady},
    {"nooverrides", &CfgState::noOverrides},
};


// No requirement below the oldest Java the launcher was ever built for can
// be set.
constexpr int kMinimumVersion = 1003000;

struct Version {
  int major = 0, minor = 0, micro = 0;
  int value() const { return major * 1000000 + minor * 1000 + micro; }
};

// Up to three groups of 1 to 3 digits separated by '.'; returns how many
// were read, *rest is what follows them.
int parseVersionGroups(const char* text, Version& version, const char** rest) {
  int* parts[] = {&version.major, &version.minor, &version.micro};
  int groups = 0;
  for (; groups < 3; ++groups) {
    const char* start = text;
    if (groups > 0 && *text++ != '.') {
      text = start;
      break;
    }
    int digits = 0;
    int value = 0;
    while (digits < 3 && *text >= '0' && *text <= '9') {
      value = value * 10 + (*text++ - '0');
      ++digits;
    }
    if (digits == 0) {
      text = start;
      break;
    }
    *parts[groups] = value;
  }
  *rest = text;
  return groups;
}

// Three groups of 1 to 3 digits separated by '.', or the major version
// alone as today's Java numbers itself ("17" is 17.0.0); *rest is what
// follows.
bool parseVersion(const char* text, Version& version, const char** rest) {
  int groups = parseVersionGroups(text, version, rest);
  return groups == 3 || groups == 1;
}

// A JVM's version text. Java 9 and later leave out trailing zero groups
// ("21", "21.0.1"), so their major version alone is enough.
bool parseJvmVersion(const char* text, Version& version) {
  const char* rest = nullptr;
  int groups = parseVersionGroups(text, version, &rest);
  return groups == 3 || (groups >= 1 && version.major >= 9);
}

}  // namespace

// Version specifier: three numbers or one, then '+' (or higher), '-' (or
// lower) or nothing (exactly this version).
bool cfgVMVersionCmd(std::string& param) {
  Version version;
  const char* rest = nullptr;
  if (!parseVersion(param.c_str(), version, &rest)) return false;
  if (*rest != '\0' && ((*rest != '+' && *rest != '-') || rest[1] != '\0')) return false;
  if (version.value() <= kMinimumVersion) {
    ut_tproda("%d.%d.%d is less than built in minimum %d.%d.%d", version.major, version.minor, version.micro, 1, 3,
              1);
    return false;
  }
  s().requiredVMVersion = version.value();
  s().VMVersionCanBeHigher = *rest == '+';
  s().VMVersionCanBeLower = *rest == '-';
  char message[64];
  std::snprintf(message, sizeof message, "Version %d.%d.%d%s is required.", version.major, version.minor,
                version.micro, *rest == '+' ? " or higher" : *rest == '-' ? " or lower" : "");
  s().requiredVMVersionMessage = message;
  return true;
}

bool cfgIsJVMVersionRequired() {
  return s().requiredVMVersion != kMinimumVersion + 1 || !s().VMVersionCanBeHigher;
}

bool cfgIsJVMVersionAcceptable(const char* version, std::string* message) {
  if (message != nullptr) *message = s().requiredVMVersionMessage;
  Version found;
  if (version == nullptr || !parseJvmVersion(version, found)) return false;
  int required = s().requiredVMVersion;
  return found.value() == required || (s().VMVersionCanBeHigher && found.value() > required) ||
         (s().VMVersionCanBeLower && found.value() < required);
}

std::string cfgWhyJVMVersionIsRefused(const char* version) {
  if (cfgIsJVMVersionAcceptable(version, nullptr)) return "";
  Version found;
  if (version == nullptr || !parseJvmVersion(version, found)) return "version unknown";
  return std::string("version ") + version + (found.value() < s().requiredVMVersion ? " is too low" : " is too high");
}

// Each mention flips its flag, so naming an option twice restores it. Spaces
// are part of a name: "strictvm, allowri" names " allowri".
bool cfgOptionsCmd(std::string& param) {
  bool allKnown = true;
  for (const std::string& piece : utlSplitList(param, ",")) {
    const OptionEntry* option = std::find_if(std::begin(optionList), std::end(optionList),
                                             [&](const OptionEntry& entry) { return piece == entry.name; });
    if (option == std::end(optionList)) {
      ut_tproda("Unknown option in 'options' directive <%s>", piece.c_str());
      allKnown = false;
      continue;
    }
    s().*option->flag = !(s().*option->flag);
  }
  return allKnown;
}

// Declares that the program may be debugged; "+jpda" switches it on per run,
// and these settings are its defaults.
bool cfgEnableJPDA(std::string& param) {
  std::optional<std::string> address;
  for (const std::string& piece : utlSplitList(param, ",")) {
    if (piece == "paused" || piece == "running") {
      s().jpdaStartPaused = piece == "paused";
    } else if (piece.starts_with("address=")) {
      address = piece.substr(std::strlen("address="));
    } else {
      ut_tproda("Unknown option in jpda directive <%s>", piece.c_str());
      return false;
    }
  }
  if (address) s().jpdaAddr = address;
  s().jpdaSupportEnabled = true;
  return true;
}

bool cfgCmdPrefixCmd(std::string& param) {
  s().cmdPrefix = param.substr(0, kCmdPrefixMax);
  return true;
}

// VARIABLE=OPTION[:usage text]: the application argument following OPTION
// becomes the variable, and both leave the application's arguments.
bool cfgSetFromOption(std::string& param) {
  std::size_t equals = param.find('=');
  if (equals == std::string::npos || equals == 0) {
    ut_tproda("No variable name specified in <%s>", param.c_str());
    return true;
  }
  std::string name = param.substr(0, equals);
  std::string optionText = param.substr(equals + 1);
  if (optionText.empty() || optionText.front() == ':') {
    ut_tproda("No option name specified in <%s>", param.c_str());
    return true;
  }
  std::string option = optionText;
  if (std::size_t colon = optionText.find(':'); colon != std::string::npos) {
    option = optionText.substr(0, colon);
    std::size_t text = optionText.find_first_not_of(" \t\r\n\v\f", colon + 1);
    // Recorded before the command line is consulted, so that the help text
    // lists the option whether or not it was given.
    if (text != std::string::npos) utlListAdd(s().configuredUsage, option, optionText.substr(text));
  }
  std::optional<std::string> found, value;
  cfgRemoveApplicationOption(option, false, &found, &value);
  if (!found) {
    ut_tproda("Option <%s> not on command line", option.c_str());
    return true;
  }
  if (!value) {
    utlReport(kValueRequiredMsg, option.c_str());
    return false;
  }
  cfgAddVar(name + "=" + *value);
  return true;
}

bool cfgEnsureDirExists(std::string& param) {
  std::string path = utlMakeAbsPath(param, cfgPathAnchor());
  if (utlFileExists(path)) return true;
  utlReport(kCantFindMsg, path.c_str());
  return false;
}

bool cfgIsStrictVMCheckEnabled() { return s().strictVMChecks; }
bool cfgIsHandleShutdownEnabled() { return s().handleShutdown; }
bool cfgIsAllowRIEnabled() { return s().allowri; }
bool cfgIsAllowJavaOnPathEnabled() { return s().allowJavaOnPath; }
bool cfgIsAppArgsEnabled() { return s().appArgs; }

VersionBanner cfgGetVersionBanner() { return s().versionBanner; }
bool cfgIsStartupCacheEnabled() { return s().startupCache; }
bool cfgIsQuickStartEnabled() { return s().quickStart; }
bool cfgIsMakePathsAbsolute() { return s().makePathsAbsolute; }
bool cfgIsJPDASupportEnabled() { return s().jpdaSupportEnabled; }
bool cfgIsJPDAStartPaused() { return s().jpdaStartPaused; }
const char* cfgGetJPDAAddr() { return s().jpdaAddr ? s().jpdaAddr->c_str() : nullptr; }
const char* cfgGetCmdPrefix() { return s().cmdPrefix.c_str(); }

void cfgPrintUsage() {
  NameValueEnum usage = utlListEnumStart(s().configuredUsage);
  while (const NameValueEntry* entry = utlListEnumNext(usage)) {
    std::printf("    %s <value>\t%s\n", entry->name.c_str(), entry->value.c_str());
  }
}
