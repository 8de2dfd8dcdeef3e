#include "config/cfg.h"

#include <optional>
#include <string>

namespace {

// The configuration engine's state. Reading configuration sources and the
// directives that fill this state come with the configuration work; until
// then a launch runs with the start values.
struct CfgState {
  std::optional<std::string> launcherConfigFileName;
  int configFileMode = 0;
  std::optional<std::string> mainClass;
  std::string mainMethod = "main";
  std::optional<std::string> versionClass, versionMethod;
  std::optional<std::string> usageClass, usageMethod;
  std::optional<std::string> exitClass, exitMethod;
  int restartCode = 0;
  int usageCode = 0;
  int socketPort = 0;
  bool jpdaSupportEnabled = false;
  std::string cmdPrefix;
};

CfgState state;

const char* cStr(const std::optional<std::string>& text) { return text ? text->c_str() : nullptr; }

}  // namespace

void cfgInit() { state = CfgState{}; }

// Releases what the module holds. The exit codes stay readable: the restart
// decision is made after the launch has ended.
void cfgTerm() {
  state.launcherConfigFileName.reset();
  state.mainClass.reset();
  state.versionClass.reset();
  state.versionMethod.reset();
  state.usageClass.reset();
  state.usageMethod.reset();
  state.exitClass.reset();
  state.exitMethod.reset();
}

// Will select the +config file, the default file beside the launcher or the
// archive comment, and process its directives. Until the directive language
// exists there is nothing to process, and a launch runs unconfigured.
bool cfgProcessConfig() { return true; }

const char* cfgGetCurrentConfigFile() { return cStr(state.launcherConfigFileName); }

void cfgSetCurrentConfigFile(const char* name) {
  state.launcherConfigFileName = name ? std::optional<std::string>(name) : std::nullopt;
}

int cfgGetConfigFileMode() { return state.configFileMode; }

const char* cfgGetMainClass() { return cStr(state.mainClass); }
const char* cfgGetMainMethod() { return state.mainMethod.c_str(); }
const char* cfgGetVersionClass() { return cStr(state.versionClass); }
const char* cfgGetVersionMethod() { return state.versionMethod ? state.versionMethod->c_str() : "main"; }
const char* cfgGetUsageClass() { return cStr(state.usageClass); }
const char* cfgGetUsageMethod() { return state.usageMethod ? state.usageMethod->c_str() : "main"; }
const char* cfgGetExitClass() { return state.exitClass ? state.exitClass->c_str() : cfgGetMainClass(); }
const char* cfgGetExitMethod() { return state.exitMethod ? state.exitMethod->c_str() : "cleanup"; }
int cfgGetRestartOnExitCode() { return state.restartCode; }
int cfgGetUsageOnExitCode() { return state.usageCode; }
int cfgGetSocketPort() { return state.socketPort; }
bool cfgIsJPDASupportEnabled() { return state.jpdaSupportEnabled; }
const char* cfgGetCmdPrefix() { return state.cmdPrefix.c_str(); }

// Will list the usage lines that "setfromoption" directives record.
void cfgPrintUsage() {}
