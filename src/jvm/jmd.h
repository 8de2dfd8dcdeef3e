// The platform part of JVM loading: the library's file name and the loading
// of its invocation functions.
#pragma once

#include <jni.h>

using CreateJavaVM_t = jint(JNICALL*)(JavaVM** vm, void** env, void* args);
using GetDefaultJavaVMInitArgs_t = jint(JNICALL*)(void* args);
using DumpAllStacks_t = void(JNICALL*)(JNIEnv* env, jclass unused);

/// The JVM library's invocation functions, resolved once.
struct InvocationFunctions {
  CreateJavaVM_t CreateJavaVM = nullptr;                          ///< required
  GetDefaultJavaVMInitArgs_t GetDefaultJavaVMInitArgs = nullptr;  ///< required, never called
  DumpAllStacks_t DumpAllStacks = nullptr;  ///< JVM_DumpAllStacks, null when not exported
};

/// The JVM library's file name ("libjvm.so").
const char* getJVMSharedLib();
/// Loads the JVM library (the Java path when one is set, else the library
/// name searched along LD_LIBRARY_PATH) and resolves its three exports.
/// Prints its own message and returns false on failure.
bool jmdLoadJavaVM(InvocationFunctions* ifn);
