// Orderly shutdown and stack dumps, called on signal threads while the main
// thread runs the entry class or waits in DestroyJavaVM.

#include <signal.h>

#include <chrono>
#include <thread>

#include "config/cfg.h"
#include "host/hmd.h"
#include "jvm/cds.h"
#include "jvm/jev.h"
#include "service/jsv.h"
#include "service/jsv_state.h"
#include "host/ntf.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

/// How many milliseconds a forced exit waits for the explanation of the wait
/// to be written.
constexpr int kExplanationWaits = 1000;

// Each message is one text, written at once: workers of different signals
// may report at the same time, and their lines must not interleave.
constexpr const char* kWaitingMsg =
    "Shutdown is waiting for all threads to complete. Patience is recommended.\n"
    "If you're sure it's safe to abort, another interrupt will force a process exit.\n";
constexpr const char* kForcingMsg =
    "Forcing process exit before orderly shutdown is complete.\n"
    "Suggest you check carefully that all child processes have completed and all databases are consistent.\n";

JNIEnv* attach(JavaVM* vm) {
  JNIEnv* env = nullptr;
  if (vm == nullptr || vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) return nullptr;
  return env;
}

// Ends the application through System.exit(status), so that shutdown hooks
// run; returns only when that was refused.
void systemExit(JNIEnv* env, int status) {
  env->ExceptionClear();
  jclass system = env->FindClass("java/lang/System");
  jmethodID exit = system ? env->GetStaticMethodID(system, "exit", "(I)V") : nullptr;
  if (exit != nullptr) env->CallStaticVoidMethod(system, exit, static_cast<jint>(status));
  if (env->ExceptionOccurred() != nullptr) env->ExceptionDescribe();  // a security manager refused
}

// Without an exit method to call, the signal must still end the
// application: as the JVM's own handlers would have (the launcher's replaced
// them), through System.exit with 128 + the signal number.
void exitAsTheJvmWould(JNIEnv* env, const char* why, int signal) {
  int status = 128 + signal;
  ut_tproda("%s: ending the application with status %d, as the JVM does on signal %d", why, status, signal);
  systemExit(env, status);
}

// Calls the application's exit method, "public static void <exitMethod>(boolean)";
// true when it ran and returned normally.
bool callExitMethod(const char* exitClass, bool flag, int signal) {
  JsvState& s = jsvState();
  const char* exitMethod = s.exitMethod.load();
  ut_tproda("Shutting down, trying to invoke \"public static void %s(boolean)\" of %s", exitMethod, exitClass);
  JavaVM* vm = s.jvm.load();
  JNIEnv* env = attach(vm);
  if (env == nullptr) return false;
  std::string name = exitClass;
  jsvDotToSlash(name);
  jclass cls = env->FindClass(name.c_str());
  jmethodID method = cls ? env->GetStaticMethodID(cls, exitMethod, "(Z)V") : nullptr;
  bool returned = false;
  if (method != nullptr) {
    env->CallStaticVoidMethod(cls, method, static_cast<jboolean>(flag));
    returned = env->ExceptionOccurred() == nullptr;
    if (!returned) env->ExceptionDescribe();
  } else if (cls == nullptr) {
    exitAsTheJvmWould(env, (std::string("No exit class ") + exitClass).c_str(), signal);
  } else {
    std::string why = std::string("No 'public static void ") + exitMethod + "(boolean)' method in " + exitClass;
    exitAsTheJvmWould(env, why.c_str(), signal);
  }
  vm->DetachCurrentThread();
  return returned;
}

// A service manager's SIGTERM is an order to stop within its timeout, not an
// interrupt a user repeats: once main has returned, waiting for the
// application's threads would end only in the manager's SIGKILL, with no
// shutdown hook run. The JVM is asked to exit instead, as it would on that
// signal; an exit method that returns normally has stopped the application
// in order, and the status says so.
void exitForServiceManager(bool flag, int signal) {
  JsvState& s = jsvState();
  int status = 128 + signal;
  if (const char* exitClass = s.stopClass.load(); exitClass != nullptr && callExitMethod(exitClass, flag, signal)) {
    status = 0;
  }
  JavaVM* vm = s.jvm.load();
  JNIEnv* env = attach(vm);
  if (env == nullptr) return;
  ut_tproda("Stopped by the service manager while the JVM waits for its threads: ending it with status %d", status);
  systemExit(env, status);
  vm->DetachCurrentThread();
}

// A runtime without JVM_DumpAllStacks still dumps its threads as jstack
// shows them: through its diagnostic command Thread.print, reached like any
// monitoring tool reaches it, as the platform MBean server's
// DiagnosticCommand bean. The text is printed through System.out, so it
// keeps its characters and its place among the application's output. False
// when a step failed; the caller's local frame releases the references.
bool printDiagnosticThreadDump(JNIEnv* env) {
  jclass factory = env->FindClass("java/lang/management/ManagementFactory");
  if (factory == nullptr) return false;
  jmethodID getServer = env->GetStaticMethodID(factory, "getPlatformMBeanServer", "()Ljavax/management/MBeanServer;");
  jobject server = getServer ? env->CallStaticObjectMethod(factory, getServer) : nullptr;
  jclass serverClass = server ? env->FindClass("javax/management/MBeanServer") : nullptr;
  jclass nameClass = serverClass ? env->FindClass("javax/management/ObjectName") : nullptr;
  jmethodID newName = nameClass ? env->GetMethodID(nameClass, "<init>", "(Ljava/lang/String;)V") : nullptr;
  jstring beanName = newName ? env->NewStringUTF("com.sun.management:type=DiagnosticCommand") : nullptr;
  jobject name = beanName ? env->NewObject(nameClass, newName, beanName) : nullptr;
  jmethodID invoke = name ? env->GetMethodID(serverClass, "invoke",
                                             "(Ljavax/management/ObjectName;Ljava/lang/String;[Ljava/lang/Object;"
                                             "[Ljava/lang/String;)Ljava/lang/Object;")
                          : nullptr;
  if (invoke == nullptr) return false;

  // threadPrint(String[] arguments), called with no arguments.
  jclass stringClass = env->FindClass("java/lang/String");
  jclass objectClass = stringClass ? env->FindClass("java/lang/Object") : nullptr;
  jobjectArray noArguments = objectClass ? env->NewObjectArray(0, stringClass, nullptr) : nullptr;
  jobjectArray params = noArguments ? env->NewObjectArray(1, objectClass, noArguments) : nullptr;
  jstring paramType = params ? env->NewStringUTF("[Ljava.lang.String;") : nullptr;
  jobjectArray signature = paramType ? env->NewObjectArray(1, stringClass, paramType) : nullptr;
  jstring operation = signature ? env->NewStringUTF("threadPrint") : nullptr;
  jobject dump = operation ? env->CallObjectMethod(server, invoke, name, operation, params, signature) : nullptr;
  if (dump == nullptr || env->ExceptionOccurred() != nullptr) return false;

  jclass systemClass = env->FindClass("java/lang/System");
  jfieldID outField = systemClass ? env->GetStaticFieldID(systemClass, "out", "Ljava/io/PrintStream;") : nullptr;
  jobject out = outField ? env->GetStaticObjectField(systemClass, outField) : nullptr;
  jclass streamClass = out ? env->FindClass("java/io/PrintStream") : nullptr;
  jmethodID print = streamClass ? env->GetMethodID(streamClass, "print", "(Ljava/lang/Object;)V") : nullptr;
  jmethodID flush = print ? env->GetMethodID(streamClass, "flush", "()V") : nullptr;
  if (flush == nullptr) return false;
  env->CallVoidMethod(out, print, dump);
  if (env->ExceptionOccurred() == nullptr) env->CallVoidMethod(out, flush);
  return env->ExceptionOccurred() == nullptr;
}

}  // namespace

void jsvAbortService(bool flag, int signal) {
  JsvState& s = jsvState();
  if (signal == SIGTERM) {
    ntfSend("STOPPING=1");
    // The exit that follows writes a recorded archive before anything else
    // of the launcher runs again.
    cdsBeforeJvmEnds();
  }
  if (const char* exitClass = s.exitClass.load()) {
    callExitMethod(exitClass, flag, signal);
    return;
  }
  if (signal == SIGTERM && s.abortPhase.load() != 0 && (ntfIsUnderServiceManager() || cfgGetDaemonSupport())) {
    exitForServiceManager(flag, signal);
    return;
  }
  // During JVM destruction the first interrupt explains the wait and the next
  // forces the exit. Interrupts arriving together must not both take the
  // first turn, nor may the next end the process before the first has said
  // why: the phase advances atomically from destroying (1) to explaining (2)
  // to explained (3), and a forced exit waits a little for the explanation.
  int phase = s.abortPhase.load();
  for (int waits = 0; phase != 3 && waits < kExplanationWaits;) {
    if (phase == 0) {
      ut_tproda("Not running so skipping shutdown");
      return;
    }
    if (phase == 1) {
      if (!s.abortPhase.compare_exchange_weak(phase, 2)) continue;
      utlReport("%s", kWaitingMsg);
      // Destruction may have ended meanwhile, and with it the phase.
      int explaining = 2;
      s.abortPhase.compare_exchange_strong(explaining, 3);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++waits;
    phase = s.abortPhase.load();
  }
  // Different signals have workers of their own: only one of them may end
  // the process, as two threads in exit() at once crash it.
  if (s.forcingExit.exchange(true)) return;
  utlReport("%s", kForcingMsg);
  utlExitProcess(1);
}

void jsvDumpAllStacks() {
  ut_tproda("Dumping all Java Stacks");
  JavaVM* vm = jsvState().jvm.load();
  if (JNIEnv* env = attach(vm)) {
    jsvPrintThreadDump(env);
    vm->DetachCurrentThread();
  }
}

bool jsvPrintThreadDump(JNIEnv* env) {
  if (DumpAllStacks_t dump = jevGetInvocationFunction()->DumpAllStacks) {
    ut_tproda("Thread dump through JVM_DumpAllStacks");
    dump(env, nullptr);
    return true;
  }
  if (!jevCanDumpAllStacks()) return false;
  ut_tproda("Thread dump through the diagnostic command Thread.print");
  if (env->PushLocalFrame(32) != JNI_OK) return false;
  bool printed = printDiagnosticThreadDump(env);
  // A runtime linked without the management modules has no such command;
  // that is no fault of the application, which must not see the exception.
  if (!printed) {
    env->ExceptionClear();
    ut_tproda("The diagnostic command Thread.print is not available");
  }
  env->PopLocalFrame(nullptr);
  return printed;
}
