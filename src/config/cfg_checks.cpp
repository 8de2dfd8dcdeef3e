// Conditional and check directives: behaviour flags, JPDA, the required Java
// version, the command prefix, options turned into variables, required paths.

#include <cstdio>
#include <cstring>

#include "config/cfg.h"
#include "config/cfg_state.h"
#include "util/utrace.h"

namespace {

CfgState& s() { return cfgState(); }

// No requirement below the oldest Java the launcher was ever built for can
// be set.
constexpr int kMinimumVersion = 1003000;

struct Version {
  int major = 0, minor = 0, micro = 0;
  int value() const { return major * 1000000 + minor * 1000 + micro; }
};

// Three groups of 1 to 3 digits separated by '.'; *rest is what follows.
bool parseVersion(const char* text, Version& version, const char** rest) {
  int* parts[] = {&version.major, &version.minor, &version.micro};
  for (int i = 0; i < 3; ++i) {
    if (i > 0 && *text++ != '.') return false;
    int digits = 0;
    *parts[i] = 0;
    while (digits < 3 && *text >= '0' && *text <= '9') {
      *parts[i] = *parts[i] * 10 + (*text++ - '0');
      ++digits;
    }
    if (digits == 0) return false;
  }
  *rest = text;
  return true;
}

}  // namespace

// Version specifier: three numbers, then '+' (or higher), '-' (or lower) or
// nothing (exactly this version).
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

bool cfgIsJVMVersionAcceptable(const char* version, std::string* message) {
  if (message != nullptr) *message = s().requiredVMVersionMessage;
  Version found;
  const char* rest = nullptr;
  if (version == nullptr || !parseVersion(version, found, &rest)) return false;
  int required = s().requiredVMVersion;
  return found.value() == required || (s().VMVersionCanBeHigher && found.value() > required) ||
         (s().VMVersionCanBeLower && found.value() < required);
}

// The remaining directives of this group come with the command-line work,
// which they depend on; until then they refuse, with their row's message.
bool cfgOptionsCmd(std::string& /*param*/) { return false; }
bool cfgEnableJPDA(std::string& /*param*/) { return false; }
bool cfgCmdPrefixCmd(std::string& /*param*/) { return false; }
bool cfgSetFromOption(std::string& /*param*/) { return false; }
bool cfgEnsureDirExists(std::string& /*param*/) { return false; }

bool cfgIsStrictVMCheckEnabled() { return s().strictVMChecks; }
bool cfgIsHandleShutdownEnabled() { return s().handleShutdown; }
bool cfgIsAllowRIEnabled() { return s().allowri; }
bool cfgIsAllowJavaOnPathEnabled() { return s().allowJavaOnPath; }
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
