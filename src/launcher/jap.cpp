#include "launcher/jap.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>
#include <signal.h>
#include <sys/stat.h>

#include "jvmoptions/jop_javacmd.h"
#include "launcher/pkd.h"
#include "cmdline/opt.h"
#include "config/cfg.h"
#include "host/hmd.h"
#include "jvm/cds.h"
#include "jvm/jev.h"
#include "jvmoptions/jop.h"
#include "launcher/sockets.h"
#include "service/dmn.h"
#include "service/jsv.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kMainClassUndefinedMsg = "Main class is undefined.\n";
constexpr const char* kLoginClass = "com.ostrave.security.bootstrap.Login";
constexpr const char* kAuthClearClass = "com.ostrave.security.bootstrap.AuthClear";
constexpr const char* kCommandHost = "127.0.0.1";
constexpr const char* kRelativePathMsg =
    "Error: The JVM option '%s' names a path in the working directory, which the caller of a set-ID launcher "
    "chooses.\n";
constexpr const char* kForeignListenerMsg =
    "Warning: %s:%d belongs to another user; the arguments are not forwarded to it.\n";
constexpr const char* kExportEnvCommentLine =
    "# exportenv: the application gets no environment dump (corvane.exportenv) from this command";
constexpr const char* kCdCommentLine = "# All paths passed to the launcher command must be absolute for this cd to be valid";
constexpr const char* kCheckPassedMsg = "Would run %s.%s with the Java in '%s'.\n";
constexpr const char* kUnitRefusedMsg = "Error: +unit prints no unit: %s.\n";

struct JapState {
  std::string appName;  ///< argv[0] as invoked, for the help text
  VersionBanner banner = VersionBanner::kNone;  ///< asked for in JDK_JAVA_OPTIONS
};

JapState state;

// Hands each application argument, as an absolute path, to an instance that
// is already running. True only when every argument was delivered. The
// paths are the user's: another user who took the port first gets nothing.
bool forwardToRunningInstance(int port) {
  if (findLoopbackListener(port) == Listener::kForeign) {
    utlReport(kForeignListenerMsg, kCommandHost, port);
    return false;
  }
  bool sent = false;
  for (const std::string& arg : optGetApplicationArgList()) {
    std::string message = "open " + utlMakeAbsPath(arg, true);
    sent = sendCommand(kCommandHost, port, message.c_str());
    if (!sent) break;
  }
  return sent;
}

constexpr const char* kPickedUpMsg = "NOTE: Picked up JDK_JAVA_OPTIONS: %s\n";

// A modular runtime's java takes JVM options from JDK_JAVA_OPTIONS, ahead of
// its command line's, and says so; users expect the same of a launcher in its
// place, read by the same rules. A printed java command picks them up itself
// when it runs. False after a reported error.
bool pickUpJdkJavaOptions() {
  const char* value = hmdGetEnvironmentValue("JDK_JAVA_OPTIONS");
  if (value == nullptr || jevGetJVMVersion() != kLayoutModular || optIsOptionOn("+javacmd", true)) return true;
  utlReport(kPickedUpMsg, value);
  JavaCommandOptions options = jopReadJavaCommandOptions(value);
  if (!options.error.empty()) {
    utlReport("%s\n", options.error.c_str());
    return false;
  }
  jopPrependOptions(options.jvmOptions);
  state.banner = options.banner;
  return true;
}

// The java launcher's flag for the chosen JVM flavour. A modular runtime's
// java accepts only -client and -server.
const char* variantFlag() {
  static const char* const kFlags[] = {nullptr, nullptr, " -classic", " -hotspot", " -client", " -server"};
  int subType = jevGetJVMSubType();
  const char* flag = subType >= 0 && subType <= kSubTypeServer ? kFlags[subType] : nullptr;
  if (flag != nullptr && jevGetJVMVersion() == kLayoutModular && subType != kSubTypeClient &&
      subType != kSubTypeServer) {
    ut_tproda("Leaving out%s: the java launcher of a modular Java runtime does not accept it", flag);
    return nullptr;
  }
  return flag;
}

// A modular runtime prints its -X usage itself once a JVM exists; the old
// runtimes keep it in their Xusage.txt.
int printXUsage() {
  if (jevGetJVMVersion() == kLayoutModular) {
    int printed = jsvPrintXUsage();
    if (printed != 2) return printed;
  }
  return jevPrintXUsage() ? 0 : 1;
}

// The end of a +check, where a launch calls the entry method: the JVM that
// found the class goes without running anything. A configured class path
// entry that does not exist fails the check even when the class came from
// elsewhere: classes the application loads later may well have been in it,
// and a check is run to find a broken installation before it runs (java's
// own --dry-run, which has no configuration to blame, passes over them).
int endCheck(const char* entryClass, const char* entryMethod) {
  int result = jsvFindEntry(entryClass, entryMethod);
  int destroyed = jsvDestroyJVM();
  if (result == 0) result = destroyed;
  if (result == 0 && !cfgGetMissingClassPath().empty()) result = 1;
  if (result == 0) std::printf(kCheckPassedMsg, entryClass, entryMethod, jevGetJVMHome());
  return result;
}

// A service's files, made just before the JVM: the pid file names the
// process that is about to run the application (a second instance is told
// so on the terminal), and the log receives all that the JVM and the
// application print. False after a reported error.
bool startService() {
  const char* name = hmdGetApplicationName();
  if (const char* pidFile = cfgGetPidFile(); pidFile != nullptr && !dmnWritePidFile(pidFile, name)) return false;
  const char* logDir = cfgGetDaemonLogDir();
  return logDir == nullptr || dmnRedirectOutput(logDir, name);
}

// What the signal handling of the host decides by, and the launch's work for
// the signals it answers, which its worker threads call.
HmdSignalSetup signalSetup() {
  return {.daemonSupport = cfgGetDaemonSupport(),
          .handleShutdown = cfgIsHandleShutdownEnabled(),
          .canDumpStacks = jevCanDumpAllStacks(),
          .stop = [](int signal) { japStop(true, signal); },
          .dumpStacks = japDumpAllStacks};
}

}  // namespace

void japInit() {
  cdsInit();
  jopInit();
  optInit();
  cfgInit();
  pkdInit();
}

void japTerm() {
  pkdTerm();
  cfgTerm();
  optTerm();
  jopTerm();
}

int japStart(LaunchRecord* record) {
  japInit();
  state = JapState{};
  state.appName = record->argv[0];

  int argc = record->argc - 1;
  char** argv = record->argv + 1;
  bool parsed = optParseArgument(&argc, &argv);
  if (optWasOptionRefused()) {
    japTerm();
    return 1;
  }

  // The configuration is processed even after a parse failure, so that a
  // configuration error wins over the help text.
  if (!cfgProcessConfig()) {
    japTerm();
    return 1;
  }
  optConvertDisabledArguments();
  // With appargs, a lone -X is the application's too (mvn -X): parsing goes
  // on after it.
  while (parsed && cfgIsAppArgsEnabled() && argc > 0 && std::string_view(argv[0]) == "-X") {
    --argc;
    ++argv;
    parsed = optParseArgument(&argc, &argv);
    optConvertDisabledArguments();
  }
  if (optWasOptionRefused()) {
    japTerm();
    return 1;
  }

  // A command line that cannot be parsed gets the help text and fails.
  int result = 1;
  if (parsed) {
    LaunchRecord stages{record->homeDir, argc, argv, record->exitHook, record->restartFlag};
    result = japStart2(&stages);
    // Whatever failed the check, the entries are part of its report (+help
    // and -X, which win over it, have none); the image a re-execution starts
    // makes the report instead.
    if (optIsCheck() && result != 0 && !*record->restartFlag) cfgReportMissingClassPath();
  }
  if (!parsed || (result != 0 && result == cfgGetUsageOnExitCode())) japPrintHelp();
  japTerm();
  return result;
}

int japStart2(LaunchRecord* record) {
  // The unit runs the launcher as installed; what follows +unit is the
  // service's command line.
  if (optIsOptionOn("+unit", true)) {
    std::vector<std::string> args(record->argv + 1, record->argv + record->argc);
    std::string unit, why;
    if (!dmnUnit(hmdGetApplicationName(), hmdGetFullLauncherFileName(), args, cfgGetPidFile(), unit, why)) {
      utlReport(kUnitRefusedMsg, why.c_str());
      return 1;
    }
    std::fputs(unit.c_str(), stdout);
    return 0;
  }
  // A checked launch leaves a running instance alone, and a re-executed image
  // must not deliver the arguments a second time.
  bool checking = optIsCheck();
  if (optIsShellMode() && !checking && cfgGetSocketPort() != 0 && !hmdIsReexecutedImage() &&
      forwardToRunningInstance(cfgGetSocketPort())) {
    return 0;
  }

  // What the executable carries whole is extracted before the Java home is
  // chosen: it may carry the runtime.
  if (!pkdPrepare()) return 1;
  if (jopGetJavaHome() == nullptr) jevConfigureDefaultJVM();

  const char* mainClass = cfgGetMainClass();
  const char* versionClass = cfgGetVersionClass();
  const char* usageClass = cfgGetUsageClass();

  if (!hmdSetEnvironment(record->restartFlag)) return 1;
  if (*record->restartFlag) return 0;
  if (!jevInit() || !pickUpJdkJavaOptions()) return 1;
  // The environment is the JVM's now. A printed java command runs later, in
  // an environment of its own, and a dump written for it would only be left
  // behind; a check runs no application to read one.
  bool printOnly = optIsOptionOn("+javacmd", true);
  if (!printOnly && !checking && !cfgWriteExportEnv()) return 1;
  jopFinalizeJVMOptions();
  // What the JVM would look up in the working directory, the caller of a
  // set-ID launcher chooses.
  if (const char* relative = utlIsSetIdMode() ? jopFindRelativePath() : nullptr) {
    utlReport(kRelativePathMsg, relative);
    return 1;
  }

  if (optIsOptionOn("+help", true)) {
    japPrintHelp();
    return 0;
  }
  if (optIsOptionOn("-X", false)) return printXUsage();
  if (optIsJPDAEnabled() && !cfgIsJPDASupportEnabled()) {
    ut_tproda("-jpda support not configured for this program.");
    japPrintHelp();
    return 1;
  }

  const char* entryClass;
  const char* entryMethod;
  bool serving = false;
  if (optIsOptionOn("+version", true)) {
    if (versionClass == nullptr) {
      ut_tproda("Version class is undefined.\n");
      japPrintHelp();
      return 1;
    }
    entryClass = versionClass;
    entryMethod = cfgGetVersionMethod();
  } else if (optIsOptionOn("+usage", true)) {
    if (usageClass == nullptr) {
      ut_tproda("Usage class is undefined.\n");
      japPrintHelp();
      return 1;
    }
    entryClass = usageClass;
    entryMethod = cfgGetUsageMethod();
  } else {
    entryClass = japConfigureForSSL(mainClass);
    if (entryClass == nullptr) {
      utlReport("%s", kMainClassUndefinedMsg);
      return 1;
    }
    entryMethod = cfgGetMainMethod();
    serving = true;
  }

  // A check maps the application's archive as a launch would, and records
  // none: nothing runs for it to record.
  cdsAddArchiveOptions(entryClass, printOnly || checking);
  if (printOnly) {
    japPrintJavaCmd(entryClass);
    return 0;
  }

  // Tools that list Java processes (jps, jcmd, monitoring agents) name the
  // application by this property, which the java launcher sets itself.
  if (jevGetJVMVersion() == kLayoutModular) {
    std::string command = std::string("-Dsun.java.command=") + entryClass;
    for (const std::string& arg : optGetApplicationArgList()) command += " " + arg;
    jopAddFinalOption(command, JopOrigin::kLauncherOnly);
  }
  // The JNI invocation convention for an exit hook: the option "exit" whose
  // extra information is the hook.
  if (record->exitHook != nullptr) {
    jopAddFinalOption("exit", JopOrigin::kLauncherOnly, reinterpret_cast<void*>(record->exitHook));
  }

  if (serving && !checking && !startService()) return 1;
  int created = jsvCreateJVM(signalSetup());
  if (created != 0) return created;
  if (checking) return endCheck(entryClass, entryMethod);
  cdsCheckArchiveMapped();
  // The configuration's banner option comes after the variable's, as the
  // command line's does for java.
  VersionBanner banner = cfgGetVersionBanner() != VersionBanner::kNone ? cfgGetVersionBanner() : state.banner;
  if (banner != VersionBanner::kNone) jsvPrintVersion(banner == VersionBanner::kStandardError);
  int ran = jsvRunService(entryClass, entryMethod, cfgGetExitClass(), cfgGetExitMethod(),
                          optGetApplicationArgCount(), optGetApplicationArgList());
  cdsBeforeJvmEnds();
  int destroyed = jsvDestroyJVM();
  cdsFinishRecording();
  return ran != 0 ? ran : destroyed;
}

const char* japConfigureForSSL(const char* mainClass) {
  if (mainClass == nullptr) return nullptr;
  // The doubled slash is how installed applications have always been probed.
  std::string keys = hmdGetApplicationHome(kPathMax + 1) + "//adm/security/keys";
  struct stat st;
  if (stat(keys.c_str(), &st) != 0) return mainClass;
  // It switches the class that runs: only those who may configure the
  // application may put it there (a home in a shared directory is open to
  // anyone's adm).
  std::string why;
  if (!hmdTrustedPath(keys, hmdConfigurationTrust(), why)) {
    ut_tproda("Not switching to the login bootstrap for <%s>: %s", keys.c_str(), why.c_str());
    return mainClass;
  }
  optInsertApplicationArgument(mainClass);
  optInsertApplicationArgument(kAuthClearClass);
  return kLoginClass;
}

void japStop(bool flag, int signal) {
  // A daemon's hang-up is logrotate's request to reopen the log it renamed.
  if (signal == SIGHUP && cfgGetDaemonSupport()) {
    dmnReopenLog();
    return;
  }
  jsvAbortService(flag, signal);
}

void japDumpAllStacks() { jsvDumpAllStacks(); }

void japPrintHelp() {
  std::printf("Usage: %s", state.appName.c_str());
  optPrintUsage();
  cfgPrintUsage();
}

// Every printed word reaches a POSIX shell as one word, unexpanded. A word
// whose only special character is a space keeps the familiar "..." form;
// any other shell syntax is single-quoted, which passes everything through.
std::string japQuoteSpaces(std::string_view text) {
  // Characters a shell takes as they are, in a table: a large command has
  // millions of them.
  static const auto kPlain = [] {
    std::array<bool, 256> table{};
    for (int c = 0; c < 256; ++c) table[c] = std::isalnum(c) || (c != 0 && std::strchr("_-./:,+=@%", c));
    return table;
  }();
  auto plain = [](char c) { return kPlain[static_cast<unsigned char>(c)]; };
  bool spaces = false;
  bool special = text.empty();
  for (char c : text) {
    if (c == ' ') {
      spaces = true;
    } else if (!plain(c)) {
      special = true;
    }
  }
  if (!spaces && !special) return std::string(text);
  if (!special) return "\"" + std::string(text) + "\"";
  if (text.empty()) return "\"\"";
  // Single quotes pass everything through but a quote, which is written
  // outside them, and control characters, which a terminal would act upon
  // when the command is shown: printf makes those when the command runs, in
  // every POSIX shell (dash has no $'...').
  std::string quoted;
  bool open = false;
  auto quote = [&](bool inside) {
    if (open != inside) quoted += '\'';
    open = inside;
  };
  for (std::size_t i = 0; i < text.size();) {
    if (std::size_t control = utlControlLength(text, i)) {
      quote(false);
      quoted += "\"$(printf '";
      for (; control > 0; --control, ++i) {
        char octal[8];
        std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(text[i]));
        quoted += octal;
      }
      quoted += "')\"";
    } else if (text[i] == '\'') {
      quote(false);
      quoted += "\\'";
      ++i;
    } else {
      quote(true);
      quoted += text[i++];
    }
  }
  quote(false);
  return quoted;
}

void japPrintJavaCmd(const char* entryClass) {
  if (cfgIsExportEnvEnabled()) std::printf("%s\n", kExportEnvCommentLine);
  if (const char* currentDir = cfgGetCurrentDir()) {
    std::printf("%s\n", kCdCommentLine);
    std::printf("cd %s\n\n", japQuoteSpaces(currentDir).c_str());
  }
  std::string java = std::string(jopGetJavaHome() ? jopGetJavaHome() : "") + "/bin/java" +
                     (optIsOptionOn("+javag", true) ? "_g" : "");
  // Written word by word: a large configuration makes a command of many
  // megabytes, which need not be held whole.
  std::fputs(japQuoteSpaces(java).c_str(), stdout);
  if (const char* flag = variantFlag()) std::fputs(flag, stdout);
  auto word = [](const std::string& text) {
    std::fputc(' ', stdout);
    std::fputs(text.c_str(), stdout);
  };

  const JavaVMOption* options = jopGetJavaVMOptions();
  for (int i = 0; i < jopGetJavaVMOptionsCount(); ++i) {
    switch (jopGetFinalOptionOrigin(i)) {
      case JopOrigin::kUser:
      case JopOrigin::kLauncher:
        word(japQuoteSpaces(options[i].optionString));
        break;
      case JopOrigin::kProgram:
        word(japQuoteSpaces("-Dlauncher.program=" + java));
        break;
      case JopOrigin::kLauncherOnly:
        break;
    }
  }
  word(japQuoteSpaces(entryClass));
  for (const std::string& arg : optGetApplicationArgList()) word(japQuoteSpaces(arg));
  std::fputc('\n', stdout);
}
