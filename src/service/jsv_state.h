// The state of the JVM service, shared by its source files: the main thread
// writes it; signal threads read it during shutdown.
#pragma once

#include <jni.h>

#include <atomic>

struct JsvState {
  std::atomic<JavaVM*> jvm{nullptr};     ///< the created JVM; null before creation and after destruction
  JNIEnv* env = nullptr;                 ///< the main thread's JNI environment
  std::atomic<int> abortPhase{0};        ///< 0 normally, 1 while DestroyJavaVM runs, 2 while an interrupt
                                         ///< explains the wait, 3 once it has
  std::atomic<const char*> entryClass{nullptr};  ///< set while the entry class runs
  const char* mainMethod = nullptr;
  std::atomic<const char*> exitClass{nullptr};   ///< set while the entry class runs, when one is known
  std::atomic<const char*> exitMethod{nullptr};
  std::atomic<const char*> stopClass{nullptr};   ///< the exit class, kept until the JVM is destroyed
  std::atomic<bool> forcingExit{false};  ///< a forced exit is under way
  std::atomic<bool> creating{false};     ///< JNI_CreateJavaVM has not returned yet
  std::atomic<bool> entryCalled{false};  ///< the entry method was called: System.exit is the application's
  std::atomic<bool> applicationStatus{false};  ///< the entry method returned the application's status
};

JsvState& jsvState();
