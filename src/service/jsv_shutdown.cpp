// Orderly shutdown and stack dumps, called on signal threads while the main
// thread runs the entry class or waits in DestroyJavaVM.

#include "host/hmd.h"
#include "jvm/jev.h"
#include "service/jsv.h"
#include "service/jsv_state.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kWaitingMsg = "Shutdown is waiting for all threads to complete. Patience is recommended.\n";
constexpr const char* kAnotherInterruptMsg =
    "If you're sure it's safe to abort, another interrupt will force a process exit.\n";
constexpr const char* kForcingMsg = "Forcing process exit before orderly shutdown is complete.\n";
constexpr const char* kCheckChildrenMsg =
    "Suggest you check carefully that all child processes have completed and all databases are consistent.\n";

JNIEnv* attach(JavaVM* vm) {
  JNIEnv* env = nullptr;
  if (vm == nullptr || vm->AttachCurrentThread(reinterpret_cast<void**>(&env), nullptr) != JNI_OK) return nullptr;
  return env;
}

// Calls the application's exit method, "public static void <exitMethod>(boolean)".
void callExitMethod(const char* exitClass, bool flag) {
  JsvState& s = jsvState();
  const char* exitMethod = s.exitMethod.load();
  ut_tproda("Shutting down, trying to invoke \"public static void %s(boolean)\" of %s", exitMethod, exitClass);
  JavaVM* vm = s.jvm.load();
  JNIEnv* env = attach(vm);
  if (env == nullptr) return;
  std::string name = exitClass;
  jsvDotToSlash(name);
  if (jclass cls = env->FindClass(name.c_str())) {
    if (jmethodID method = env->GetStaticMethodID(cls, exitMethod, "(Z)V")) {
      env->CallStaticVoidMethod(cls, method, static_cast<jboolean>(flag));
      if (env->ExceptionOccurred() != nullptr) env->ExceptionDescribe();
    } else {
      env->ExceptionClear();  // an application without an exit method keeps running
    }
  } else if (env->ExceptionOccurred() != nullptr) {
    env->ExceptionDescribe();
  }
  vm->DetachCurrentThread();
}

}  // namespace

void jsvAbortService(bool flag) {
  JsvState& s = jsvState();
  if (const char* exitClass = s.exitClass.load()) {
    callExitMethod(exitClass, flag);
    return;
  }
  // During JVM destruction the first interrupt explains the wait and the next
  // forces the exit. Interrupts arriving together must not both take the
  // first turn, so the phase advances atomically.
  int phase = s.abortPhase.load();
  while (true) {
    if (phase == 0) {
      ut_tproda("Not running so skipping shutdown");
      return;
    }
    if (phase >= 2) break;
    if (s.abortPhase.compare_exchange_weak(phase, 2)) {
      utlReport("%s", kWaitingMsg);
      utlReport("%s", kAnotherInterruptMsg);
      return;
    }
  }
  // Different signals have workers of their own: only one of them may end
  // the process, as two threads in exit() at once crash it.
  if (s.forcingExit.exchange(true)) return;
  utlReport("%s", kForcingMsg);
  utlReport("%s", kCheckChildrenMsg);
  utlExitProcess(1);
}

void jsvDumpAllStacks() {
  DumpAllStacks_t dump = jevGetInvocationFunction()->DumpAllStacks;
  if (dump == nullptr) return;
  ut_tproda("Dumping all Java Stacks");
  JavaVM* vm = jsvState().jvm.load();
  if (JNIEnv* env = attach(vm)) {
    dump(env, nullptr);
    vm->DetachCurrentThread();
  }
}
