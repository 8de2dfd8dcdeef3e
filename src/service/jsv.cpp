// The one JVM of the process: its creation, the entry class, its checks and
// system properties, and its destruction.

#include "service/jsv.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "cmdline/opt.h"
#include "config/cfg.h"
#include "host/hmd.h"
#include "host/userid.h"
#include "jvm/jev.h"
#include "jvmoptions/jop.h"
#include "service/dmp.h"
#include "service/jsv_state.h"
#include "host/ntf.h"
#include "util/utl.h"
#include "util/utrace.h"

std::atomic<bool> jsvIgnoreVMExitCode{false};
std::atomic<int> jsvInternalExitCode{0};

namespace {

constexpr const char* kAwaitingMainStatus = "STATUS=waiting for main to return";
constexpr const char* kCreateFailedMsg = "Unable to create JVM.\n";
constexpr const char* kNoMainMethodMsg = "No 'static void %s(java.lang.String[])' method in %s.\n";
constexpr const char* kClassNotFoundMsg = "Failed to load class %s\n";
constexpr const char* kDetachFailedMsg = "Could not detach main thread.\n";
constexpr const char* kNoGetPropertyMsg =
    "No 'static java.lang.String getProperty(java.lang.String)' method in java.lang.System.\n";
constexpr const char* kNoSetPropertyMsg =
    "No 'static java.lang.String setProperty(java.lang.String, java.lang.String)' method in java.lang.System.\n";
constexpr const char* kGetPropertyFailedMsg = "Unable to get Java System Property '%s'\n.";
constexpr const char* kSetPropertyFailedMsg = "Unable to set Java System Property '%s=%s'\n.";

constexpr const char* UNSUP_JVM_MSG = "This Java VM release is unsupported by Corvane Kestrix (see the release notes)";
constexpr const char* CHECK_JAVAHOME_MSG =
    "Check your installation and use the javahome commandline switchto specify the JDK or JRE location";
constexpr const char* UNSUP_JVM_CONT_MSG = "Attempting to start server with workaround for Java VM issue";
constexpr const char* JVM_TOO_OLD_MSG = "Unable to find a supported JDK or JRE version.";

// Looked up once in java.lang.System; a failed lookup is tried again.
struct PropertyMethods {
  jclass javaLangSystemClass = nullptr;
  jmethodID getSystemPropertyMethod = nullptr;
  jmethodID setSystemPropertyMethod = nullptr;
  bool getSystemPropertyClassInit = false;
  bool setSystemPropertyClassInit = false;
};

PropertyMethods properties;
JavaVMInitArgs JVMInitArgs;

JNIEnv* mainEnv() { return jsvState().env; }

// Arguments are bytes in the platform's encoding, as the java launcher
// passes them: decoded by the JVM, not read as modified UTF-8. The platform
// encoding is the one the JVM uses for file names and arguments
// (sun.jnu.encoding); since Java 18 the default charset is UTF-8 whatever the
// locale, so String(byte[]) alone would decode differently from java.
jstring jsvNewPlatformString(JNIEnv* env, const std::string& text, jstring encoding) {
  jclass stringClass = env->FindClass("java/lang/String");
  if (stringClass == nullptr) return nullptr;
  jbyteArray bytes = env->NewByteArray(static_cast<jsize>(text.size()));
  if (bytes == nullptr) {
    env->DeleteLocalRef(stringClass);
    return nullptr;
  }
  env->SetByteArrayRegion(bytes, 0, static_cast<jsize>(text.size()), reinterpret_cast<const jbyte*>(text.data()));
  jstring result = nullptr;
  if (env->ExceptionOccurred() == nullptr && encoding != nullptr) {
    jmethodID withCharset = env->GetMethodID(stringClass, "<init>", "([BLjava/lang/String;)V");
    if (withCharset != nullptr) result = static_cast<jstring>(env->NewObject(stringClass, withCharset, bytes, encoding));
    if (result == nullptr) env->ExceptionClear();  // an encoding the JVM cannot name: its default then
  }
  if (result == nullptr && env->ExceptionOccurred() == nullptr) {
    jmethodID constructor = env->GetMethodID(stringClass, "<init>", "([B)V");
    if (constructor != nullptr) result = static_cast<jstring>(env->NewObject(stringClass, constructor, bytes));
  }
  env->DeleteLocalRef(bytes);
  env->DeleteLocalRef(stringClass);
  return result;
}

jobjectArray jsvMakeArgsArray(int argc, const std::vector<std::string>& argv) {
  JNIEnv* env = mainEnv();
  std::string encodingName;
  jstring encoding = nullptr;
  if (argc > 0 && jsvGetSystemProperty("sun.jnu.encoding", encodingName) == 0 && !encodingName.empty()) {
    encoding = env->NewStringUTF(encodingName.c_str());
  }
  jclass stringClass = env->FindClass("java/lang/String");
  jobjectArray array = env->NewObjectArray(argc, stringClass, nullptr);
  for (int i = 0; i < argc && array != nullptr; ++i) {
    jstring arg = jsvNewPlatformString(env, argv[static_cast<std::size_t>(i)], encoding);
    env->SetObjectArrayElement(array, i, arg);
    env->DeleteLocalRef(arg);
  }
  if (encoding != nullptr) env->DeleteLocalRef(encoding);
  env->DeleteLocalRef(stringClass);
  return array;
}

// Finds the entry class and its static method taking the arguments; 0, or 1
// after a reported failure.
int findEntryMethod(const char* entryClass, const char* mainMethod, jclass* cls, jmethodID* main) {
  switch (jsvGetStaticMethod(entryClass, mainMethod, "([Ljava/lang/String;)V", cls, main)) {
    case MethodLookup::kFound:
      return 0;
    case MethodLookup::kNoClass:
      return 1;
    case MethodLookup::kNoMethod:
      utlReport(kNoMainMethodMsg, mainMethod, entryClass);
      return 1;
  }
  return 1;
}

// The watchdog's question: does the JVM still run Java code? A JVM held at
// a safepoint or out of memory answers late or not at all. The thread is a
// daemon, so that it never keeps the JVM waiting at its end.
bool jvmAnswers() {
  JavaVM* vm = jsvState().jvm.load();
  JNIEnv* env = nullptr;
  if (vm == nullptr || vm->AttachCurrentThreadAsDaemon(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) {
    return false;
  }
  jclass system = env->FindClass("java/lang/System");
  jmethodID nanoTime = system ? env->GetStaticMethodID(system, "nanoTime", "()J") : nullptr;
  if (nanoTime != nullptr) env->CallStaticLongMethod(system, nanoTime);
  bool answered = nanoTime != nullptr && env->ExceptionOccurred() == nullptr;
  env->ExceptionClear();
  if (system != nullptr) env->DeleteLocalRef(system);
  vm->DetachCurrentThread();
  return answered;
}

// The launcher's part of the start is done: what the manager hears now
// depends on what readiness means for the service. A main that serves until
// it is stopped never returns, so a started service is ready now.
void announceReadiness(const ReadinessSetting& readiness) {
  switch (readiness.kind) {
    case Readiness::kStarted:
      ntfSend("READY=1");
      break;
    case Readiness::kListening:
      ntfAwaitListening(readiness.ports);
      break;
    case Readiness::kMainReturned:
      ntfSend(kAwaitingMainStatus);
      break;
    case Readiness::kApplication:
      break;
  }
}

// Ends the JVM after main failed before the service was ready, with the
// status of that failure, through System.exit so that shutdown hooks run.
// The status is the launcher's verdict, not one the application chose: it
// asks for no restart.
void endUnready(JNIEnv* env) {
  ut_tproda("main failed before the service was ready: ending the JVM");
  jsvState().entryCalled = false;
  jclass system = env->FindClass("java/lang/System");
  jmethodID exit = system ? env->GetStaticMethodID(system, "exit", "(I)V") : nullptr;
  if (exit != nullptr) env->CallStaticVoidMethod(system, exit, static_cast<jint>(1));
  // A security manager refused: the threads are waited for, as without a
  // service manager.
  if (env->ExceptionOccurred() != nullptr) env->ExceptionDescribe();
  jsvState().entryCalled = true;
}

int jsvInvokeMain(jobjectArray args) {
  JsvState& s = jsvState();
  JNIEnv* env = s.env;
  const char* entryClass = s.entryClass.load();
  jclass cls = nullptr;
  jmethodID main = nullptr;
  if (findEntryMethod(entryClass, s.mainMethod, &cls, &main) != 0) return 1;
  ut_tproda("Calling entry class 'static void %s.%s(java.lang.String[])'", entryClass, s.mainMethod);
  ut_tcommit();
  s.entryCalled = true;
  ReadinessSetting readiness = cfgGetReadiness();
  announceReadiness(readiness);
  ntfStartWatchdog(jvmAnswers);
  env->CallStaticVoidMethod(cls, main, args);

  // An exception escaping the entry method (or getExitStatus) is printed and
  // fails the run, as with java: status 1, which is no code the application
  // chose.
  int status = 1;
  bool chosen = false;
  if (env->ExceptionOccurred() != nullptr) {
    env->ExceptionDescribe();
    // A service that was never ready does not start: its threads are not
    // waited for, which would keep the manager waiting for a readiness that
    // main's failure made meaningless.
    ntfStopAwaiting();
    if (readiness.kind != Readiness::kStarted && ntfIsStillStarting()) endUnready(env);
  } else if (jmethodID getExitStatus = env->GetStaticMethodID(cls, "getExitStatus", "()I")) {
    ut_tproda("Calling exitStatus class 'static int %s.getExitStatus()'", entryClass);
    status = env->CallStaticIntMethod(cls, getExitStatus);
    chosen = env->ExceptionOccurred() == nullptr;
    if (!chosen) {
      env->ExceptionDescribe();
      status = 1;
    }
    jsvInternalExitCode = status;
    jsvIgnoreVMExitCode = true;
  } else {
    env->ExceptionClear();
    status = 0;
    chosen = true;
  }
  if (s.jvm.load()->DetachCurrentThread() != JNI_OK) {
    utlReport("%s", kDetachFailedMsg);
    return 1;
  }
  s.applicationStatus = chosen;
  if (readiness.kind == Readiness::kMainReturned && chosen) ntfSendReady();
  ut_tproda("Returned from main class with status %d", status);
  ut_tcommit();
  return status;
}

int jsvStartApp(int argc, const std::vector<std::string>& argv) {
  if (const char* directory = cfgGetCurrentDir()) {
    ut_tproda("Change current directory to %s", directory);
    (void)chdir(directory);
  }
  if (argc > 0) {
    ut_tproda("Arguments passed to java class are:");
    for (int i = 0; i < argc; ++i) ut_tproda("    %s", argv[static_cast<std::size_t>(i)].c_str());
  }
  return jsvInvokeMain(jsvMakeArgsArray(argc, argv));
}

// Looks up a static method of java.lang.System once; false after a reported
// failure, which the next call tries again. The class is kept for later
// calls, on whatever thread: as a global reference, since a local one is
// gone once the main thread leaves its frame or detaches.
bool lookUpSystemMethod(const char* name, const char* signature, jmethodID& method, bool& initialised,
                        const char* missingMessage) {
  if (initialised) return true;
  jclass system = nullptr;
  MethodLookup found = jsvGetStaticMethod("java/lang/System", name, signature, &system, &method);
  if (found == MethodLookup::kNoMethod) utlReport("%s", missingMessage);
  if (system != nullptr) {
    JNIEnv* env = mainEnv();
    if (properties.javaLangSystemClass == nullptr) {
      properties.javaLangSystemClass = static_cast<jclass>(env->NewGlobalRef(system));
    }
    env->DeleteLocalRef(system);
  }
  initialised = found == MethodLookup::kFound && properties.javaLangSystemClass != nullptr;
  return initialised;
}

}  // namespace

bool jsvIsCreatingJVM() { return jsvState().creating.load(); }

bool jsvIsApplicationStatus(bool systemExit) {
  return systemExit ? jsvState().entryCalled.load() : jsvState().applicationStatus.load();
}

JsvState& jsvState() {
  static JsvState state;
  return state;
}

void jsvDotToSlash(std::string& text) {
  for (char& c : text) {
    if (c == '.') c = '/';
  }
}

MethodLookup jsvGetStaticMethod(const char* className, const char* methodName, const char* signature, jclass* cls,
                                jmethodID* method) {
  JNIEnv* env = mainEnv();
  std::string slashed = className;
  jsvDotToSlash(slashed);
  *cls = env->FindClass(slashed.c_str());
  if (*cls == nullptr) {
    // The class may exist and still fail to load (compiled for a newer Java,
    // say): the JVM's description of the exception tells which.
    utlReport(kClassNotFoundMsg, className);
    cfgReportMissingClassPath();
    if (env->ExceptionOccurred() != nullptr) env->ExceptionDescribe();
    return MethodLookup::kNoClass;
  }
  *method = env->GetStaticMethodID(*cls, methodName, signature);
  return *method != nullptr ? MethodLookup::kFound : MethodLookup::kNoMethod;
}

namespace {

// Creates the JVM from the final option list, unless it exists already (one
// JVM per process); 0, or 1 after a reported failure.
int createJavaVM() {
  JsvState& s = jsvState();
  JVMInitArgs.version = JNI_VERSION_1_2;
  JVMInitArgs.options = jopGetJavaVMOptions();
  JVMInitArgs.nOptions = jopGetJavaVMOptionsCount();
  JVMInitArgs.ignoreUnrecognized = JNI_FALSE;

  ut_tproda("JavaVMInitArgs:");
  ut_tproda("    version 0x%08lx", static_cast<unsigned long>(JVMInitArgs.version));
  ut_tproda("    ignoreUnrecognized is %s", JVMInitArgs.ignoreUnrecognized ? "JNI_TRUE" : "JNI_FALSE");
  ut_tproda("    nOptions is %ld", static_cast<long>(JVMInitArgs.nOptions));
  for (int i = 0; i < JVMInitArgs.nOptions; ++i) {
    const char* option = JVMInitArgs.options[i].optionString;
    if (std::strcmp(option, "exit") == 0) {
      ut_tproda("    option[%2d] = 'exit' (JNI Invocation API JVM exit hook)", i);
    } else {
      ut_tproda("    option[%2d] = '%s'", i, option);
    }
  }
  if (optIsJPDAEnabled() && optIsJPDAStartPaused()) {
    ut_tproda("WARNING: Starting debugger in paused mode. You must issue a 'go' command before Java will run.");
  }

  // One JVM per process: a second call works on the existing one.
  if (s.jvm.load() == nullptr) {
    ntfHideFromJvm();
    JavaVM* vm = nullptr;
    s.creating = true;
    jint created = jevGetInvocationFunction()->CreateJavaVM(&vm, reinterpret_cast<void**>(&s.env), &JVMInitArgs);
    s.creating = false;
    if (created < 0) {
      utlReport("%s", kCreateFailedMsg);
      return 1;
    }
    s.jvm = vm;
  }
  ut_tproda("JVM created");
  return 0;
}

}  // namespace

int jsvCreateJVM(const HmdSignalSetup& signalSetup) {
  if (int failed = hmdBeforeCreateJVM(signalSetup)) return failed;
  if (int failed = createJavaVM()) return failed;
  int result = jsvCheckJVM();
  if (result == 0 && hmdAfterCreateJVM()) {
    jsvSetSystemProperty("launcher.signalhandler.installed", "true");
    ut_tproda("Turn off Java Shutdown Hooks");
  }
  dmpRegisterDumpFunction(jsvState().env, jevGetInvocationFunction()->DumpAllStacks);
  if constexpr (kSolaris) hmdRegisterUserIdNatives(jsvState().env);
  return result;
}

// A modular runtime keeps its -X usage text in its java launcher's helper
// class, which prints it once the JVM exists, as "java -X" does.
int jsvPrintXUsage() {
  if (int failed = createJavaVM()) return failed;
  JNIEnv* env = mainEnv();
  jclass helper = env->FindClass("sun/launcher/LauncherHelper");
  jmethodID print = helper ? env->GetStaticMethodID(helper, "printXUsageMessage", "(Z)V") : nullptr;
  int result = 2;
  if (print == nullptr) {
    env->ExceptionClear();
    ut_tproda("The Java runtime has no -X usage printer");
  } else {
    env->CallStaticVoidMethod(helper, print, JNI_FALSE);
    result = 0;
    if (env->ExceptionOccurred() != nullptr) {
      env->ExceptionDescribe();
      result = 1;
    }
  }
  if (helper != nullptr) env->DeleteLocalRef(helper);
  jsvDestroyJVM();
  return result;
}

void jsvPrintVersion(bool toStandardError) {
  JNIEnv* env = mainEnv();
  jclass props = env->FindClass("java/lang/VersionProps");
  jmethodID print = props ? env->GetStaticMethodID(props, "print", "(Z)V") : nullptr;
  if (print == nullptr) {
    env->ExceptionClear();
    ut_tproda("The Java runtime has no version printer");
  } else {
    env->CallStaticVoidMethod(props, print, toStandardError ? JNI_TRUE : JNI_FALSE);
    if (env->ExceptionOccurred() != nullptr) env->ExceptionDescribe();
  }
  if (props != nullptr) env->DeleteLocalRef(props);
}

void jsvServeActivations(int fd) { dmpServeActivations(mainEnv(), fd); }

int jsvRunService(const char* entryClass, const char* mainMethod, const char* exitClass, const char* exitMethod,
                  int argc, const std::vector<std::string>& argv) {
  JsvState& s = jsvState();
  // The shutdown path reads these from signal threads: the method names
  // first, the classes (its sign that the application runs) last.
  s.mainMethod = mainMethod;
  s.exitMethod = exitMethod;
  s.entryClass = entryClass;
  s.stopClass = exitClass;
  s.exitClass = exitClass;
  int result = jsvStartApp(argc, argv);
  s.exitClass = nullptr;
  s.entryClass = nullptr;
  return result;
}

int jsvFindEntry(const char* entryClass, const char* mainMethod) {
  jclass cls = nullptr;
  jmethodID main = nullptr;
  if (findEntryMethod(entryClass, mainMethod, &cls, &main) != 0) return 1;
  ut_tproda("Found entry class 'static void %s.%s(java.lang.String[])': not calling it", entryClass, mainMethod);
  return 0;
}

int jsvDestroyJVM() {
  JsvState& s = jsvState();
  if (JavaVM* vm = s.jvm.load()) {
    // Only a thread still attached may let go of the class; after the entry
    // method the main thread no longer is, and the JVM takes it along.
    JNIEnv* env = nullptr;
    if (properties.javaLangSystemClass != nullptr &&
        vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2) == JNI_OK) {
      env->DeleteGlobalRef(properties.javaLangSystemClass);
    }
    properties = PropertyMethods{};
    s.abortPhase = 1;
    // From here on an interrupt explains the wait, and the next one forces
    // the exit.
    ut_tproda("Destroying the JVM, which waits for the application's threads");
    vm->DestroyJavaVM();
    s.abortPhase = 0;
  }
  ntfStopWatchdog();
  ntfStopAwaiting();
  s.stopClass = nullptr;
  s.jvm = nullptr;
  s.env = nullptr;
  ut_tproda("JVM destroyed");
  return hmdAfterDestoryJVM();
}

int jsvGetSystemProperty(const char* name, std::string& value, std::size_t capacity) {
  if (!lookUpSystemMethod("getProperty", "(Ljava/lang/String;)Ljava/lang/String;", properties.getSystemPropertyMethod,
                          properties.getSystemPropertyClassInit, kNoGetPropertyMsg)) {
    return 1;
  }
  JNIEnv* env = mainEnv();
  if (jstring key = env->NewStringUTF(name)) {
    auto result = static_cast<jstring>(
        env->CallStaticObjectMethod(properties.javaLangSystemClass, properties.getSystemPropertyMethod, key));
    if (result != nullptr && env->ExceptionOccurred() == nullptr) {
      const char* chars = env->GetStringUTFChars(result, nullptr);
      if (chars != nullptr) {
        value.assign(chars, strnlen(chars, capacity - 1));
        env->ReleaseStringUTFChars(result, chars);
      }
      env->DeleteLocalRef(result);
    }
    env->DeleteLocalRef(key);
  }
  if (env->ExceptionOccurred() != nullptr) {
    env->ExceptionDescribe();
    utlReport(kGetPropertyFailedMsg, name);
    return 1;
  }
  return 0;
}

int jsvSetSystemProperty(const char* name, const char* value) {
  if (!lookUpSystemMethod("setProperty", "(Ljava/lang/String;Ljava/lang/String;)Ljava/lang/String;",
                          properties.setSystemPropertyMethod, properties.setSystemPropertyClassInit,
                          kNoSetPropertyMsg)) {
    return 1;
  }
  JNIEnv* env = mainEnv();
  jstring key = env->NewStringUTF(name);
  jstring text = key ? env->NewStringUTF(value) : nullptr;
  if (key != nullptr && text != nullptr) {
    jobject previous =
        env->CallStaticObjectMethod(properties.javaLangSystemClass, properties.setSystemPropertyMethod, key, text);
    if (previous != nullptr) env->DeleteLocalRef(previous);
  }
  if (text != nullptr) env->DeleteLocalRef(text);
  if (key != nullptr) env->DeleteLocalRef(key);
  if (env->ExceptionOccurred() != nullptr) {
    env->ExceptionDescribe();
    utlReport(kSetPropertyFailedMsg, name, value);
    return 1;
  }
  return 0;
}

int jsvCheckJVM() {
  JvmIdentity identity;
  struct {
    const char* name;
    std::size_t capacity;
    std::string* value;
  } read[] = {{"java.vm.info", 256, &identity.vmInfo},
              {"java.vm.vendor", 256, &identity.vmVendor},
              {"java.vm.version", 256, &identity.vmVersion},
              {"java.vm.name", 256, &identity.vmName},
              {"java.runtime.name", 256, &identity.runtimeName},
              {"java.runtime.version", 256, &identity.runtimeVersion},
              {"os.name", 256, &identity.osName},
              {"java.version", 128, &identity.version}};
  for (auto& property : read) {
    if (jsvGetSystemProperty(property.name, *property.value, property.capacity) != 0) {
      ut_tproda("Unable to get system properties.");
      return 1;
    }
  }
  return jsvJudgeJVM(identity);
}

int jsvJudgeJVM(const JvmIdentity& jvm) {
  ut_tproda("Java version \"%s\"", jvm.version.c_str());
  // The six bytes of "1.3.0" and its terminator, compared as unsigned bytes.
  unsigned char versionBytes[6] = {};
  std::memcpy(versionBytes, jvm.version.data(), std::min<std::size_t>(jvm.version.size(), 6));
  if (std::memcmp(versionBytes, "1.3.0", 6) < 0) {
    ut_tproda("%s (%s)", jvm.vmName.c_str(), jvm.vmInfo.c_str());
  } else {
    ut_tproda("%s (build %s)", jvm.runtimeName.c_str(), jvm.runtimeVersion.c_str());
    ut_tproda("%s (build %s, %s)", jvm.vmName.c_str(), jvm.vmVersion.c_str(), jvm.vmInfo.c_str());
  }
  ut_tproda("JVM vendor is \"%s\"", jvm.vmVendor.c_str());

  std::string requirement;
  if (!cfgIsJVMVersionAcceptable(jvm.version.c_str(), &requirement)) {
    utlReport("%s %s\n", JVM_TOO_OLD_MSG, requirement.c_str());
    utlReport("%s\n", CHECK_JAVAHOME_MSG);
    jevReportVersionRefused(jvm.version.c_str());
    return 1;
  }
  // One known JVM build is refused when strict checks are configured, unless
  // it runs with its fix or a security policy works around its fault.
  if (cfgIsStrictVMCheckEnabled() && jvm.vmVendor == "Sun Microsystems Inc." &&
      jvm.vmVersion.starts_with("1.3.1-b24") && hmdIsSafetyNetOn()) {
    if (jvm.vmInfo.starts_with("1.3.1-b24") || jopIsPropSet("-Djava.security.policy=") ||
        cfgIsPropSet("-Djava.security.policy=")) {
      utlReport("\n%s\n", UNSUP_JVM_MSG);
      utlReport("%s\n\n", UNSUP_JVM_CONT_MSG);
    } else {
      utlReport("%s\n", UNSUP_JVM_MSG);
      utlReport("%s\n", CHECK_JAVAHOME_MSG);
      return 1;
    }
  }
  return 0;
}
