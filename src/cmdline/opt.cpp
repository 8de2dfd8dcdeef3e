#include "cmdline/opt.h"

#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <deque>

#include "jvmoptions/jop_javacmd.h"
#include "config/cfg.h"
#include "host/hmd.h"
#include "jvmoptions/vminfo.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kRefusedWhenSetIdMsg =
    "Error: The option '%s' is not allowed: this launcher runs with set-user-ID or set-group-ID privileges.\n";
constexpr const char* kConfigNameEmptyMsg = "Error: The option '%s' needs a configuration file name.\n";
constexpr const char* kConfigNameTooLongMsg = "Error: The configuration file name given with %s is longer than %d characters.\n";

struct OptState {
  std::vector<char*> argv;            ///< accepted launcher options and their values (the process's strings)
  std::vector<char*> residual;        ///< what optParseArgument hands back, null-terminated
  std::deque<std::string> fileWords;  ///< the words of +@ files, where the arguments point
  bool shellMode = false;
  bool check = false;                 ///< +check: everything up to the entry call, which is not made
  bool jpdaEnabled = false;
  bool jpdaStartPaused = false;
  bool jpdaHadSuspendFlag = false;    ///< the command line said paused or running
  std::optional<std::string> jpdaAddr;
  std::optional<std::string> serviceName;
  std::optional<std::string> splashImage;  ///< -splash:<image>, the last one given
  bool refused = false;               ///< the parse stopped at an option refused in set-ID mode
};

OptState state;

bool usageClassConfigured() { return cfgGetUsageClass() != nullptr; }
bool versionClassConfigured() { return cfgGetVersionClass() != nullptr; }
bool jpdaConfigured() { return cfgIsJPDASupportEnabled(); }
bool jvmOptionsFromCommandLine() { return !cfgIsAppArgsEnabled(); }

constexpr const char* kSplashOption = "-splash:";
constexpr const char* kClassPathArg = " <directories and zip/jar files separated by path separators>";

}  // namespace

const LauncherOption javaOptionsList[] = {
    {.name = "+help", .stopsParsing = true, .showInUsage = true, .caseInsensitive = true,
     .helpText = "Prints this help message"},
    {.name = "+usage", .showInUsage = true, .availability = usageClassConfigured, .caseInsensitive = true,
     .helpText = "Prints a summary of command syntax and options"},
    {.name = "+version", .showInUsage = true, .availability = versionClassConfigured,
     .helpText = "Prints product copyright and version information"},
    {.name = "+debug", .handler = optSetDebugOn, .showInUsage = true, .caseInsensitive = true,
     .helpText = "Runs with debugging information enabled", .refusedWhenSetId = true},
    {.name = "+config", .handler = optSetConfigFile, .arg = OptionArg::kNextArgument, .showInUsage = true,
     .caseInsensitive = true, .argDescription = " <config filename>",
     .helpText = "Uses the specified configuration file instead of the default", .refusedWhenSetId = true},
    {.name = "+shell", .handler = optSetShellMode, .caseInsensitive = true},
    {.name = "+javacmd", .caseInsensitive = true, .refusedWhenSetId = true},
    {.name = "+javag", .caseInsensitive = true},
    {.name = "+unit", .stopsParsing = true, .caseInsensitive = true, .refusedWhenSetId = true},
    {.name = "+check", .handler = optSetCheck, .showInUsage = true, .caseInsensitive = true,
     .helpText = "Checks that the application would start, without running it", .refusedWhenSetId = true},
    {.name = "+cache", .stopsParsing = true, .showInUsage = true, .caseInsensitive = true, .argDescription = " [clear]",
     .helpText = "Lists the jars and Java runtimes extracted into the user's cache, or removes those not in use",
     .refusedWhenSetId = true},
    {.name = "+desktop", .stopsParsing = true, .showInUsage = true, .caseInsensitive = true,
     .argDescription = " {install|uninstall} [--prefix <dir>]",
     .helpText = "Installs or removes the application's desktop entry, icons and file types",
     .refusedWhenSetId = true},
    {.name = "+javahome", .handler = optSetJavaHome, .arg = OptionArg::kNextArgument, .showInUsage = true,
     .caseInsensitive = true, .argDescription = " <directory>",
     .helpText = "Specifies the installation directory of the Java VM", .refusedWhenSetId = true},
    {.name = "-D", .prefixMatch = true, .handler = optAddProp, .showInUsage = true,
     .availability = jvmOptionsFromCommandLine, .argDescription = "<name>=<value>",
     .helpText = "Sets a Java system property", .refusedWhenSetId = true},
    {.name = "-verbose", .prefixMatch = true, .handler = optAddParam, .showInUsage = true,
     .availability = jvmOptionsFromCommandLine, .argDescription = "[:{class|gc|jni}]",
     .helpText = "Enables verbose output from the Java VM", .refusedWhenSetId = true},
    {.name = "-splash:", .prefixMatch = true, .handler = optSetSplashImage, .showInUsage = true,
     .availability = jvmOptionsFromCommandLine, .argDescription = "<image>",
     .helpText = "Shows the image while the Java VM starts", .refusedWhenSetId = true},
    {.name = "-X", .stopsParsing = true, .showInUsage = true, .availability = jvmOptionsFromCommandLine,
     .helpText = "Prints a summary of non-standard command options"},
    {.name = "-X", .prefixMatch = true, .handler = optAddParam, .availability = jvmOptionsFromCommandLine,
     .refusedWhenSetId = true},
    {.name = "+classicvm", .handler = optSetJVMSubType, .arg = OptionArg::kConstant, .constant = kSubTypeClassic,
     .showInUsage = true, .caseInsensitive = true, .helpText = "Selects the Classic VM"},
    {.name = "+hotspotvm", .handler = optSetJVMSubType, .arg = OptionArg::kConstant, .constant = kSubTypeHotspot,
     .showInUsage = true, .caseInsensitive = true, .helpText = "Selects the HotSpot VM"},
    {.name = "+clientvm", .handler = optSetJVMSubType, .arg = OptionArg::kConstant, .constant = kSubTypeClient,
     .showInUsage = true, .caseInsensitive = true, .helpText = "Selects the HotSpot Client VM 2.0 [JDK 1.3]"},
    {.name = "+servervm", .handler = optSetJVMSubType, .arg = OptionArg::kConstant, .constant = kSubTypeServer,
     .showInUsage = true, .caseInsensitive = true, .helpText = "Selects the HotSpot Server VM 2.0 [JDK 1.3]"},
    {.name = "+classpath", .handler = optSetCmdLineClassPath, .arg = OptionArg::kNextArgument, .showInUsage = true,
     .caseInsensitive = true, .helpText = "Same as +classpath/a", .refusedWhenSetId = true},
    {.name = "+classpath/a", .handler = optSetCmdLineClassPath, .arg = OptionArg::kNextArgument,
     .showInUsage = true, .caseInsensitive = true, .argDescription = kClassPathArg,
     .helpText = "Appends to the classpath from the config file", .refusedWhenSetId = true},
    {.name = "+classpath/p", .handler = optSetCmdLineClassPath, .arg = OptionArg::kNextArgument,
     .showInUsage = true, .caseInsensitive = true, .argDescription = kClassPathArg,
     .helpText = "Prepends to the classpath from the config file", .refusedWhenSetId = true},
    {.name = "+classpath/r", .handler = optSetCmdLineClassPath, .arg = OptionArg::kNextArgument,
     .showInUsage = true, .caseInsensitive = true, .argDescription = kClassPathArg,
     .helpText = "Replaces the classpath from the config file", .refusedWhenSetId = true},
    {.name = "+jpda", .prefixMatch = true, .handler = optSetJPDA, .showInUsage = true, .availability = jpdaConfigured,
     .caseInsensitive = true, .argDescription = "[:[{paused|running}][,address=[<host>:]<port#>]]",
     .helpText = "Turns on JPDA to allow debugging from a JPDA debugger", .refusedWhenSetId = true},
    {.name = "+J", .prefixMatch = true, .handler = optAddJvmOption, .showInUsage = true, .argDescription = "<option>",
     .helpText = "Passes the option to the Java VM as it stands", .refusedWhenSetId = true},
    {.name = "+@", .prefixMatch = true, .showInUsage = true, .argDescription = "<file>",
     .helpText = "Reads options and arguments from the file, as java reads @file", .refusedWhenSetId = true,
     .readsArgumentFile = true},
    {.name = "+sig", .handler = optSetSig, .arg = OptionArg::kNextArgument, .caseInsensitive = true},
};
const int javaOptionsListCount = static_cast<int>(std::size(javaOptionsList));

namespace {

bool matches(const char* arg, const LauncherOption& row) {
  std::string name = std::string(cfgGetCmdPrefix()) + row.name;
  std::size_t length = std::strlen(arg);
  if (length < name.size() || (!row.prefixMatch && length != name.size())) return false;
  return row.caseInsensitive ? strncasecmp(arg, name.c_str(), name.size()) == 0
                             : std::strncmp(arg, name.c_str(), name.size()) == 0;
}

const LauncherOption* findOption(const char* arg) {
  for (const LauncherOption& row : javaOptionsList) {
    if (matches(arg, row)) return &row;
  }
  return nullptr;
}

// The removal rule: the entry begins with name (case counts), and unless a
// prefix match is asked for, it is exactly name.
bool entryMatches(std::string_view entry, std::string_view name, bool prefixMatch) {
  return entry.starts_with(name) && (prefixMatch || entry.size() == name.size());
}

}  // namespace

void optInit() {
  state = OptState{};
  cfgClearApplicationArguments();
}

void optTerm() {
  state.argv = {};
  state.residual = {};
  state.fileWords = {};
  state.serviceName.reset();
  cfgClearApplicationArguments();
}

bool optParseArgument(int* argc, char*** argv) {
  bool result = true;
  int residualStart = -1;
  std::vector<char*> args(*argv, *argv + *argc);
  int fileWordsEnd = 0;  // the arguments before it came from an argument file
  for (int i = 0; i < static_cast<int>(args.size()); ++i) {
    char* arg = args[i];
    const LauncherOption* row = findOption(arg);
    if (row != nullptr && row->readsArgumentFile && i < fileWordsEnd) row = nullptr;
    if (row == nullptr) {
      optAddApplicationArgument(arg);
      ut_tproda("Processed <%s> application arg", arg);
      continue;
    }
    // Through -XX:OnError=, -agentpath:, -Djava.library.path= or a class
    // path of their own, callers would run their code with the launcher's
    // privileges; through the trace or the printed command they would read
    // a configuration that may be closed to them.
    if (row->refusedWhenSetId && row->availability == nullptr && utlIsSetIdMode()) {
      utlReport(kRefusedWhenSetIdMsg, arg);
      state.refused = true;
      result = false;
      break;
    }
    if (row->readsArgumentFile) {
      std::string path = arg + std::strlen(row->name);
      std::optional<std::vector<std::string>> words = jopReadArgumentFile(path);
      if (!words) {
        utlReport("%s\n", jopArgumentFileOpenMessage(path).c_str());
        state.refused = true;
        result = false;
        break;
      }
      ut_tproda("Read %zu arguments from <%s>", words->size(), arg);
      std::vector<char*> inserted;
      for (std::string& word : *words) inserted.push_back(state.fileWords.emplace_back(std::move(word)).data());
      args.erase(args.begin() + i);
      args.insert(args.begin() + i, inserted.begin(), inserted.end());
      fileWordsEnd = i + static_cast<int>(inserted.size());
      --i;
      continue;
    }
    int optionIndex = i;
    OptionValue value;
    if (row->arg == OptionArg::kNextArgument) {
      if (i + 1 == static_cast<int>(args.size())) return false;
      value.text = args[++i];
    } else if (row->arg == OptionArg::kConstant) {
      value.number = row->constant;
    }
    if (row->handler != nullptr) result = row->handler(false, arg, value);
    if (result) {
      optAddArgument(arg);
      if (row->availability) optAddApplicationArgument(arg);
      if (row->arg == OptionArg::kNextArgument) {
        optAddArgument(const_cast<char*>(value.text));
        if (row->availability) optAddApplicationArgument(value.text);
        ut_tproda("Processed <%s %s> arg", arg, value.text);
      } else {
        ut_tproda("Processed <%s> arg", arg);
      }
      if (row->stopsParsing) residualStart = optionIndex;
    }
    if (!result || row->stopsParsing) break;
  }
  state.residual.clear();
  if (residualStart >= 0) {
    state.residual.assign(args.begin() + residualStart, args.end());
    state.residual.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - residualStart;
    *argv = state.residual.data();
  } else {
    *argc = 0;
    *argv = nullptr;
  }
  return result;
}

bool optWasOptionRefused() { return state.refused; }

void optConvertDisabledArguments() {
  for (const LauncherOption& row : javaOptionsList) {
    if (row.availability == nullptr) continue;
    bool takesValue = row.arg == OptionArg::kNextArgument;
    if (row.availability()) {
      // A launcher option after all: the application does not get its copy.
      // Every use of it on the command line is one, and a set-ID launcher
      // refuses those that choose code.
      for (const char* recorded : state.argv) {
        if (!entryMatches(recorded, row.name, row.prefixMatch)) continue;
        if (row.refusedWhenSetId && utlIsSetIdMode() && !state.refused) {
          utlReport(kRefusedWhenSetIdMsg, recorded);
          state.refused = true;
        }
        std::optional<std::string> arg, value;
        optRemoveApplicationArgument(recorded, false, &arg, takesValue ? &value : nullptr);
        if (!row.prefixMatch) break;
      }
      continue;
    }
    for (;;) {
      const char* arg = nullptr;
      const char* value = nullptr;
      optRemoveArgument(row.name, row.prefixMatch, &arg, takesValue ? &value : nullptr);
      if (arg == nullptr) break;
      if (takesValue) {
        ut_tproda("Converted disabled arg <%s %s> into an application arg", arg, value ? value : "");
      } else {
        ut_tproda("Converted disabled arg <%s> into an application arg", arg);
      }
      if (row.handler != nullptr) {
        OptionValue undo;
        undo.text = value;
        if (row.arg == OptionArg::kConstant) undo.number = row.constant;
        row.handler(true, arg, undo);
      }
    }
  }
}

void optAddArgument(char* arg) { state.argv.push_back(arg); }

// The configuration owns the application's arguments: it inserts, consumes
// and removes them as much as the command line adds them.
void optAddApplicationArgument(std::string_view arg) { cfgInsertApplicationArgument(arg, INT_MAX); }

void optInsertApplicationArgumentN(std::string_view text, int position) { cfgInsertApplicationArgument(text, position); }

void optInsertApplicationArgument(std::string_view text) { optInsertApplicationArgumentN(text, 1); }

std::optional<std::string> optRemoveApplicationArgumentN(int position) {
  return cfgRemoveApplicationArgument(position);
}

int optGetApplicationArgCount() { return static_cast<int>(cfgGetApplicationArguments().size()); }

const std::vector<std::string>& optGetApplicationArgList() { return cfgGetApplicationArguments(); }

const std::vector<char*>& optGetArgumentList() { return state.argv; }

void optRemoveApplicationArgument(std::string_view name, bool prefixMatch, std::optional<std::string>* arg,
                                  std::optional<std::string>* value) {
  cfgRemoveApplicationOption(name, prefixMatch, arg, value);
}

void optRemoveArgument(std::string_view name, bool prefixMatch, const char** arg, const char** value) {
  if (arg == nullptr) return;
  *arg = nullptr;
  if (value != nullptr) *value = nullptr;
  auto& list = state.argv;
  auto found =
      std::find_if(list.begin(), list.end(), [&](const char* entry) { return entryMatches(entry, name, prefixMatch); });
  if (found == list.end()) return;
  *arg = *found;
  if (value != nullptr && found + 1 != list.end()) {
    *value = *(found + 1);
    list.erase(found, found + 2);
  } else {
    list.erase(found);
  }
}

bool optIsOptionOn(std::string_view name, bool caseInsensitive) {
  std::string expected = std::string(cfgGetCmdPrefix()) + std::string(name);
  for (const char* arg : state.argv) {
    bool equal = caseInsensitive ? strcasecmp(arg, expected.c_str()) == 0 : expected == arg;
    if (equal) return true;
  }
  return false;
}

bool optIsShellMode() { return state.shellMode; }

bool optIsCheck() { return state.check; }

bool optIsJPDAEnabled() { return state.jpdaEnabled; }

bool optIsJPDAStartPaused() { return state.jpdaHadSuspendFlag ? state.jpdaStartPaused : cfgIsJPDAStartPaused(); }

const char* optGetJPDAAddr() { return state.jpdaAddr ? state.jpdaAddr->c_str() : cfgGetJPDAAddr(); }

const std::optional<std::string>& optGetSplashImage() { return state.splashImage; }
const char* optGetServiceName() { return state.serviceName ? state.serviceName->c_str() : nullptr; }

void optPrintUsage() {
  std::printf(" <+options> <args>\n\nwhere options include:\n");
  for (const LauncherOption& row : javaOptionsList) {
    if (!row.showInUsage || (row.availability && !row.availability())) continue;
    std::printf("    %s%s%s\n\t%s\n", cfgGetCmdPrefix(), row.name, row.argDescription, row.helpText);
  }
}

// --- Handlers -------------------------------------------------------------------

bool optSetDebugOn(bool, const char*, const OptionValue&) {
  // Level tracing, chosen through UTRACE, is not overridden from the command line.
  if (!ut_tison()) ut_tprodon();
  return true;
}

bool optSetConfigFile(bool, const char* arg, const OptionValue& value) {
  if (*value.text == '\0') {
    utlReport(kConfigNameEmptyMsg, arg);
    return false;
  }
  if (!cfgSetDefaultConfigFile(value.text)) {
    utlReport(kConfigNameTooLongMsg, arg, kPathMax - 1);
    return false;
  }
  return true;
}

bool optSetShellMode(bool, const char*, const OptionValue&) {
  state.shellMode = true;
  return true;
}

// Kept as a flag rather than looked up among the recorded options: a
// configuration's cmdprefix changes how those are looked up, and a check
// taken as absent would run the application it was to spare.
bool optSetCheck(bool, const char*, const OptionValue&) {
  state.check = true;
  return true;
}

bool optSetJavaHome(bool, const char*, const OptionValue& value) {
  if (jopGetJavaHome() == nullptr) {
    std::string home = value.text;
    jopSetJavaHome(utlFixDirSeparators(home));
  }
  return true;
}

bool optAddProp(bool clear, const char* arg, const OptionValue&) {
  clear ? jopRemoveOption(arg) : jopAddProp(arg, nullptr);
  return true;
}

bool optAddParam(bool clear, const char* arg, const OptionValue&) {
  clear ? jopRemoveOption(arg) : jopAddParam(arg, nullptr);
  return true;
}

// The JDK tools' -J: whatever follows goes to the JVM, with or without
// appargs.
bool optAddJvmOption(bool, const char* arg, const OptionValue&) {
  std::string_view option = std::string_view(arg).substr(std::strlen(cfgGetCmdPrefix()) + 2);
  if (option.empty()) return false;
  if (option.starts_with(kSplashOption)) {
    state.splashImage = option.substr(std::strlen(kSplashOption));
  } else {
    option.starts_with("-D") ? jopAddProp(option, nullptr) : jopAddParam(option, nullptr);
  }
  return true;
}

// The java command's own option, which no JVM takes: the launcher shows the
// image itself.
bool optSetSplashImage(bool clear, const char* arg, const OptionValue&) {
  std::string_view option = std::string_view(arg).substr(std::strlen(cfgGetCmdPrefix()));
  state.splashImage.reset();
  if (!clear) state.splashImage = option.substr(std::strlen(kSplashOption));
  return true;
}

bool optSetJVMSubType(bool, const char*, const OptionValue& value) {
  cfgSetJVMSubType(value.number);
  return true;
}

bool optSetCmdLineClassPath(bool, const char* arg, const OptionValue& value) {
  jopSetCmdLineClassPath(arg, value.text);
  return true;
}

// "+jpda" alone, or "+jpda:" followed by comma-separated items: paused,
// running, address=[host:]port. A later +jpda changes only what it names.
bool optSetJPDA(bool clear, const char* arg, const OptionValue&) {
  if (clear) {
    state.jpdaEnabled = false;
    return true;
  }
  std::string_view text = arg;
  if (text != "+jpda") {
    if (!text.starts_with("+jpda:")) {
      ut_tproda("Invalid +jpda argument <%s>", arg);
      return false;
    }
    std::optional<std::string> address;
    for (const std::string& item : utlSplitList(text.substr(text.find(':') + 1), ",")) {
      if (item == "paused" || item == "running") {
        state.jpdaStartPaused = item == "paused";
        state.jpdaHadSuspendFlag = true;
      } else if (item.starts_with("address=")) {
        address = item.substr(item.find('=') + 1);
      } else {
        ut_tproda("Unknown option in +jpda argument <%s>", item.c_str());
        return false;
      }
    }
    if (address) state.jpdaAddr = address;
  }
  state.jpdaEnabled = true;
  return true;
}

bool optSetSig(bool, const char*, const OptionValue& value) {
  for (const std::string& name : utlSplitList(value.text, ",")) {
    if (!hmdSetSignalIgnore(name.c_str())) return false;
  }
  return true;
}

bool optSetServiceName(bool clear, const char*, const OptionValue& value) {
  state.serviceName = clear || value.text == nullptr ? std::nullopt : std::optional<std::string>(value.text);
  return true;
}
