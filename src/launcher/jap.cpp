#include "launcher/jap.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "jvmoptions/jop_javacmd.h"
#include "launcher/pkd.h"
#include "cmdline/opt.h"
#include "config/cfg.h"
#include "config/zip.h"
#include "host/hmd.h"
#include "host/sin.h"
#include "jvm/cds.h"
#include "jvm/jev.h"
#include "jvm/spl.h"
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
constexpr const char* kCheckReadMsg = "Read the configuration '%s'.\n";
constexpr const char* kCheckOptionMsg = "JVM option '%s' from line %d of '%s'.\n";
constexpr const char* kSingleInstanceSetIdMsg =
    "Error: singleinstance is refused in set-ID mode: a later launch by another user would reach an instance "
    "running with other rights.\n";
constexpr const char* kInstanceNameMsg =
    "Error: The application name '%s' cannot name its single instance; give singleinstance an id.\n";
constexpr const char* kUnitRefusedMsg = "Error: +unit prints no unit: %s.\n";

struct JapState {
  std::string appName;  ///< argv[0] as invoked, for the help text
  VersionBanner banner = VersionBanner::kNone;  ///< asked for in JDK_JAVA_OPTIONS
  std::optional<std::string> splash;            ///< -splash: in JDK_JAVA_OPTIONS
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
    std::string message = "open " + utlMakeAbsPath(arg, cfgGetAnchorDirectory());
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
bool pickUpJdkJavaOptions(const JavaChoice& java, const LaunchPlan& plan) {
  const char* value = hmdGetEnvironmentValue("JDK_JAVA_OPTIONS");
  if (value == nullptr || !java.modular() || plan.printJavaCommand) return true;
  utlReport(kPickedUpMsg, value);
  JavaCommandOptions options = jopReadJavaCommandOptions(value);
  if (!options.error.empty()) {
    utlReport("%s\n", options.error.c_str());
    return false;
  }
  jopPrependOptions(options.jvmOptions);
  state.banner = options.banner;
  state.splash = options.splash;
  return true;
}

// The splash image of a launch. java lets a later option win, and takes
// JDK_JAVA_OPTIONS ahead of its command line; the configuration, the
// application's own default, comes before both. nosplash, which told the
// application to show none, leaves none.
std::optional<std::string> splashImage() {
  if (cfgIsNoSplash()) return std::nullopt;
  std::optional<std::string> image = optGetSplashImage() ? optGetSplashImage() : state.splash;
  return image ? image : cfgGetSplashImage();
}

// The java launcher's flag for the chosen JVM flavour. A modular runtime's
// java accepts only -client and -server.
const char* variantFlag(const JavaChoice& java) {
  static const char* const kFlags[] = {nullptr, nullptr, " -classic", " -hotspot", " -client", " -server"};
  int subType = java.info.jvmSubType;
  const char* flag = subType >= 0 && subType <= kSubTypeServer ? kFlags[subType] : nullptr;
  if (flag != nullptr && java.modular() && subType != kSubTypeClient && subType != kSubTypeServer) {
    ut_tproda("Leaving out%s: the java launcher of a modular Java runtime does not accept it", flag);
    return nullptr;
  }
  return flag;
}

// A modular runtime prints its -X usage itself once a JVM exists; the old
// runtimes keep it in their Xusage.txt.
int printXUsage(const JavaChoice& java) {
  if (java.modular()) {
    int printed = jsvPrintXUsage();
    if (printed != 2) return printed;
  }
  return jevPrintXUsage(java) ? 0 : 1;
}

// The end of a +check, where a launch calls the entry method: the JVM that
// found the class goes without running anything. A configured class path
// entry that does not exist fails the check even when the class came from
// elsewhere: classes the application loads later may well have been in it,
// and a check is run to find a broken installation before it runs (java's
// own --dry-run, which has no configuration to blame, passes over them).
int endCheck(const JavaChoice& java, const char* entryClass, const char* entryMethod) {
  int result = jsvFindEntry(entryClass, entryMethod);
  int destroyed = jsvDestroyJVM();
  if (result == 0) result = destroyed;
  if (result == 0 && !cfgGetMissingClassPath().empty()) result = 1;
  if (result != 0) return result;
  // With override files beside the application's own, which line set an
  // option is the first question about a launch.
  for (const std::string& file : cfgGetConfigurationsRead()) std::printf(kCheckReadMsg, file.c_str());
  for (const CfgOptionOrigin& origin : cfgGetOptionOrigins()) {
    std::printf(kCheckOptionMsg, origin.option.c_str(), origin.line, origin.file.c_str());
  }
  std::printf(kCheckPassedMsg, entryClass, entryMethod, java.home.c_str());
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

Outcome done(int status) { return {status, Outcome::Next::kDone}; }

// Where a single instance listens: the launch that became it.
struct Instance {
  int fd = -1;
  std::string socketPath;
};

// With singleinstance, a launch that runs the application either hands its
// request to the instance already running, and ends with the status it
// answers, or becomes that instance. An outcome when the launch ends here.
std::optional<Outcome> claimSingleInstance(const LaunchPlan& plan, Instance& instance) {
  std::optional<std::string> id = cfgGetSingleInstance();
  if (!id || plan.action != LaunchAction::kRun || plan.check || plan.printJavaCommand) return std::nullopt;
  if (id->empty()) {
    const char* name = hmdGetApplicationName();
    if (name == nullptr || !cfgIsInstanceId(name)) {
      utlReport(kInstanceNameMsg, name != nullptr ? name : "");
      return done(1);
    }
    *id = name;
  }
  SinRequest request;
  request.args = optGetApplicationArgList();
  std::vector<char> cwd(kPathMax + 1);
  if (getcwd(cwd.data(), cwd.size()) != nullptr) request.workingDirectory = cwd.data();
  for (const char* variable : {"XDG_ACTIVATION_TOKEN", "DESKTOP_STARTUP_ID"}) {
    const char* token = hmdGetEnvironmentValue(variable);
    if (token != nullptr && *token != '\0' && request.activationToken.empty()) request.activationToken = token;
  }
  SinClaim claim = sinClaim(*id, request);
  switch (claim.kind) {
    case SinClaim::Kind::kAnswered:
      return done(claim.status);
    case SinClaim::Kind::kFailed:
      utlReport("%s", claim.error.c_str());
      return done(1);
    case SinClaim::Kind::kListening:
      instance = {claim.fd, claim.socketPath};
      return std::nullopt;
  }
  return std::nullopt;
}

// +unit: the unit runs the launcher as installed; what follows +unit is the
// service's command line.
int printUnit(const LaunchRecord& record) {
  // Nothing follows when +unit was taken as another option's value: parsing
  // then left no arguments at all.
  UnitRequest request{
      .name = hmdGetApplicationName(),
      .launcher = hmdGetFullLauncherFileName(),
      .args = {},
      .pidFile = cfgGetPidFile() != nullptr ? cfgGetPidFile() : "",
      // A packed application extracts the jars it keeps whole, and the
      // runtime it carries.
      .caches = cfgIsStartupCacheEnabled() || cfgIsQuickStartEnabled() || !cfgGetPackedJars().empty() ||
                cfgGetPackedRuntime() != nullptr,
      .reopensLog = cfgGetDaemonSupport(),
      .restartCode = cfgGetRestartOnExitCode(),
      .readinessSet = cfgGetReadiness().named,
  };
  if (record.argc > 1) request.args.assign(record.argv + 1, record.argv + record.argc);
  std::string unit, why;
  if (!dmnUnit(request, unit, why)) {
    utlReport(kUnitRefusedMsg, why.c_str());
    return 1;
  }
  std::fputs(unit.c_str(), stdout);
  return 0;
}

// The class and method an action starts; none after a reported error.
struct Entry {
  const char* className;
  const char* method;
};

std::optional<Entry> chooseEntry(LaunchAction action) {
  if (action == LaunchAction::kVersion || action == LaunchAction::kUsage) {
    bool version = action == LaunchAction::kVersion;
    const char* className = version ? cfgGetVersionClass() : cfgGetUsageClass();
    if (className == nullptr) {
      ut_tproda(version ? "Version class is undefined.\n" : "Usage class is undefined.\n");
      japPrintHelp();
      return std::nullopt;
    }
    return Entry{className, version ? cfgGetVersionMethod() : cfgGetUsageMethod()};
  }
  const char* className = japConfigureForSSL(cfgGetMainClass());
  if (className == nullptr) {
    utlReport("%s", kMainClassUndefinedMsg);
    return std::nullopt;
  }
  return Entry{className, cfgGetMainMethod()};
}

// The stages from the Java chosen to a final JVM option list. False after a
// reported error.
bool finalizeOptions(const JavaChoice& java, const LaunchPlan& plan, const std::string& carried) {
  if (!jevInit(java) || !pickUpJdkJavaOptions(java, plan)) return false;
  // The environment is the JVM's now. A printed java command runs later, in
  // an environment of its own, and a dump written for it would only be left
  // behind; a check runs no application to read one.
  if (!plan.printJavaCommand && !plan.check && !cfgWriteExportEnv()) return false;
  // A refused class path ends the launch at once: no help text, no report
  // of a check.
  if (!jopFinalizeJVMOptions(japFinalInputs(java, carried))) utlExitProcess(1);
  // What the JVM would look up in the working directory, the caller of a
  // set-ID launcher chooses.
  if (const char* relative = utlIsSetIdMode() ? jopFindRelativePath() : nullptr) {
    utlReport(kRelativePathMsg, relative);
    return false;
  }
  return true;
}

// The last stages: the JVM is created and runs the entry class (or, for a
// check, only finds it), then goes.
Outcome runJava(const LaunchRecord& record, const LaunchPlan& plan, const JavaChoice& java, const Entry& entry,
                const Instance& instance) {
  // Tools that list Java processes (jps, jcmd, monitoring agents) name the
  // application by this property, which the java launcher sets itself.
  if (java.modular()) {
    std::string command = std::string("-Dsun.java.command=") + entry.className;
    for (const std::string& arg : optGetApplicationArgList()) command += " " + arg;
    jopAddFinalOption(command, JopOrigin::kLauncherOnly);
  }
  // The JNI invocation convention for an exit hook: the option "exit" whose
  // extra information is the hook.
  if (record.exitHook != nullptr) {
    jopAddFinalOption("exit", JopOrigin::kLauncherOnly, reinterpret_cast<void*>(record.exitHook));
  }

  bool serving = plan.action == LaunchAction::kRun;
  if (serving && !plan.check && !startService()) return done(1);
  // Up before the JVM starts, which takes the longest.
  std::optional<std::string> image = serving && !plan.check ? splashImage() : std::nullopt;
  SplashScreen splash = image ? splShow(java, *image) : SplashScreen{};
  if (int created = jsvCreateJVM(signalSetup()); created != 0) {
    splClose(splash);
    return done(created);
  }
  if (plan.check) return done(endCheck(java, entry.className, entry.method));
  cdsCheckArchiveMapped();
  if (instance.fd >= 0) jsvServeActivations(instance.fd);
  // The configuration's banner option comes after the variable's, as the
  // command line's does for java.
  VersionBanner banner = cfgGetVersionBanner() != VersionBanner::kNone ? cfgGetVersionBanner() : state.banner;
  if (banner != VersionBanner::kNone) jsvPrintVersion(banner == VersionBanner::kStandardError);
  int ran = jsvRunService(entry.className, entry.method, cfgGetExitClass(), cfgGetExitMethod(),
                          optGetApplicationArgCount(), optGetApplicationArgList());
  cdsBeforeJvmEnds();
  int destroyed = jsvDestroyJVM();
  splClose(splash);
  // The socket is still listening, so no later launch has replaced it.
  if (!instance.socketPath.empty()) unlink(instance.socketPath.c_str());
  cdsFinishRecording();
  return done(ran != 0 ? ran : destroyed);
}

}  // namespace

LaunchRequest japReadRequest() {
  return {
      .unit = optIsOptionOn("+unit", true),
      .cache = optIsOptionOn("+cache", true),
      .desktop = optIsOptionOn("+desktop", true),
      .help = optIsOptionOn("+help", true),
      .xusage = optIsOptionOn("-X", false),
      .version = optIsOptionOn("+version", true),
      .usage = optIsOptionOn("+usage", true),
      .javaCommand = optIsOptionOn("+javacmd", true),
      .check = optIsCheck(),
      .debug = optIsJPDAEnabled(),
      .debugSupported = cfgIsJPDASupportEnabled(),
  };
}

LaunchPlan japDecide(const LaunchRequest& request) {
  LaunchPlan plan{.printJavaCommand = request.javaCommand, .check = request.check};
  if (request.unit) {
    plan.action = LaunchAction::kUnit;
  } else if (request.cache) {
    plan.action = LaunchAction::kCache;
  } else if (request.desktop) {
    plan.action = LaunchAction::kDesktop;
  } else if (request.help) {
    plan.action = LaunchAction::kHelp;
  } else if (request.xusage) {
    plan.action = LaunchAction::kXUsage;
  } else if (request.debug && !request.debugSupported) {
    plan.action = LaunchAction::kRefuseDebug;
  } else if (request.version) {
    plan.action = LaunchAction::kVersion;
  } else if (request.usage) {
    plan.action = LaunchAction::kUsage;
  }
  return plan;
}

void japInit() {
  cdsInit();
  jopInit();
  optInit();
  cfgInit();
}

void japTerm() {
  cfgTerm();
  optTerm();
  jopTerm();
}

Outcome japStart(const LaunchRecord& record) {
  japInit();
  state = JapState{};
  state.appName = record.argv[0];

  int argc = record.argc - 1;
  char** argv = record.argv + 1;
  bool parsed = optParseArgument(&argc, &argv);
  if (optWasOptionRefused()) {
    japTerm();
    return done(1);
  }

  // The configuration is processed even after a parse failure, so that a
  // configuration error wins over the help text.
  if (!cfgProcessConfig()) {
    japTerm();
    return done(1);
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
    return done(1);
  }

  // A command line that cannot be parsed gets the help text and fails.
  Outcome outcome = done(1);
  if (parsed) {
    outcome = japStart2(LaunchRecord{record.homeDir, argc, argv, record.exitHook});
    // Whatever failed the check, the entries are part of its report (+help
    // and -X, which win over it, have none); the image a re-execution starts
    // makes the report instead.
    if (optIsCheck() && outcome.status != 0 && outcome.next == Outcome::Next::kDone) cfgReportMissingClassPath();
  }
  if (!parsed || (outcome.status != 0 && outcome.status == cfgGetUsageOnExitCode())) japPrintHelp();
  japTerm();
  return outcome;
}

Outcome japStart2(const LaunchRecord& record) {
  const LaunchPlan plan = japDecide(japReadRequest());
  if (plan.action == LaunchAction::kUnit) return done(printUnit(record));
  // What follows +cache or +desktop is its own: the words after it.
  int first = std::min(record.argc, 1);
  std::vector<std::string> words(record.argv + first, record.argv + record.argc);
  if (plan.action == LaunchAction::kCache) return done(pkdCacheCommand(words));
  if (plan.action == LaunchAction::kDesktop) return done(japDesktopCommand(words));
  if (cfgGetSingleInstance() && utlIsSetIdMode()) {
    utlReport("%s", kSingleInstanceSetIdMsg);
    return done(1);
  }
  // A checked launch leaves a running instance alone, and a re-executed image
  // must not deliver the arguments a second time.
  if (optIsShellMode() && !plan.check && cfgGetSocketPort() != 0 && !hmdIsReexecutedImage() &&
      forwardToRunningInstance(cfgGetSocketPort())) {
    return done(0);
  }

  // What the executable carries whole is extracted before the Java home is
  // chosen: it may carry the runtime.
  std::optional<PkdPrepared> carried = pkdPrepare(jopGetJavaHome() != nullptr);
  if (!carried) return done(1);
  if (carried->runtimeHome) jopSetJavaHome(*carried->runtimeHome);
  if (jopGetJavaHome() == nullptr) jevConfigureDefaultJVM();
  std::optional<JavaChoice> java = jevChooseJava(cfgGetJVMSubType());
  if (!java) return done(1);

  LoaderEnvironment loader;
  jmdSetJavaEnvironment(*java, loader);
  for (const std::string& directory : cfgGetShLibPath()) loader.libraryPathBack.push_back(directory);
  bool reexecute = false;
  if (!hmdSetEnvironment(loader, &reexecute)) return done(1);
  if (reexecute) return {0, Outcome::Next::kReexecute};
  Instance instance;
  if (std::optional<Outcome> handedOver = claimSingleInstance(plan, instance)) return *handedOver;
  if (!finalizeOptions(*java, plan, carried->classPath)) return done(1);

  switch (plan.action) {
    case LaunchAction::kHelp:
      japPrintHelp();
      return done(0);
    case LaunchAction::kXUsage:
      return done(printXUsage(*java));
    case LaunchAction::kRefuseDebug:
      ut_tproda("-jpda support not configured for this program.");
      japPrintHelp();
      return done(1);
    default:
      break;
  }
  std::optional<Entry> entry = chooseEntry(plan.action);
  if (!entry) return done(1);
  // A check maps the application's archive as a launch would, and records
  // none: nothing runs for it to record.
  cdsAddArchiveOptions(*java, entry->className, plan.printJavaCommand || plan.check);
  if (plan.printJavaCommand) {
    japPrintJavaCmd(*java, entry->className);
    return done(0);
  }
  return runJava(record, plan, *java, *entry, instance);
}

JopFinalInputs japFinalInputs(const JavaChoice& java, const std::string& carried) {
  JopFinalInputs inputs;
  inputs.configured = cfgTakeJavaVMOptions();
  inputs.classPath = cfgGetClassPath();
  inputs.bootClassPath = cfgGetBootClassPath();
  inputs.carried = carried;
  std::string launcher = hmdGetFullLauncherFileName(kPathMax + 1);
  // A modular runtime that has the carried jars needs no look at the archive.
  inputs.launcherIsArchive =
      !launcher.empty() && (!java.modular() || carried.empty()) && zipHasArchive(launcher.c_str());
  inputs.java = java;
  inputs.allowReferenceImplementation = cfgIsAllowRIEnabled();
  if (const char* currentDir = cfgGetCurrentDir()) inputs.currentDir = currentDir;
  inputs.ownSignals = cfgIsHandleShutdownEnabled() && jevCanDumpAllStacks();
  if (optIsJPDAEnabled()) {
    inputs.debug.emplace();
    inputs.debug->startPaused = optIsJPDAStartPaused();
    if (const char* address = optGetJPDAAddr()) inputs.debug->address = address;
  }
  return inputs;
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

void japPrintJavaCmd(const JavaChoice& java, const char* entryClass) {
  if (cfgIsExportEnvEnabled()) std::printf("%s\n", kExportEnvCommentLine);
  if (const char* currentDir = cfgGetCurrentDir()) {
    std::printf("%s\n", kCdCommentLine);
    std::printf("cd %s\n\n", japQuoteSpaces(currentDir).c_str());
  }
  std::string command = java.home + "/bin/java" + (optIsOptionOn("+javag", true) ? "_g" : "");
  // Written word by word: a large configuration makes a command of many
  // megabytes, which need not be held whole.
  std::fputs(japQuoteSpaces(command).c_str(), stdout);
  if (const char* flag = variantFlag(java)) std::fputs(flag, stdout);
  auto word = [](const std::string& text) {
    std::fputc(' ', stdout);
    std::fputs(text.c_str(), stdout);
  };
  if (std::optional<std::string> image = splashImage()) word(japQuoteSpaces("-splash:" + *image));

  const JavaVMOption* options = jopGetJavaVMOptions();
  for (int i = 0; i < jopGetJavaVMOptionsCount(); ++i) {
    switch (jopGetFinalOptionOrigin(i)) {
      case JopOrigin::kUser:
      case JopOrigin::kLauncher:
        word(japQuoteSpaces(options[i].optionString));
        break;
      case JopOrigin::kProgram:
        word(japQuoteSpaces("-Dlauncher.program=" + command));
        break;
      case JopOrigin::kLauncherOnly:
        break;
    }
  }
  word(japQuoteSpaces(entryClass));
  for (const std::string& arg : optGetApplicationArgList()) word(japQuoteSpaces(arg));
  std::fputc('\n', stdout);
}
