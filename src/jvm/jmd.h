// jmd = Java machine, the platform part: the paths inside a Java
// installation, loading its library, and what the dynamic loader's
// environment needs for it. Kept apart from jev, which decides which Java to
// use, because this part differs between the platform profiles; it takes
// jev's choice as a value and calls nothing of jev.
#pragma once

#include <jni.h>

#include <optional>
#include <string>

#include "host/hmd.h"
#include "jvmoptions/vminfo.h"

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
/// The full path of the JVM library of the installation at home.
std::string jmdGetJVMSharedLib(const std::string& home, const VMInfo& info);
/// The path of the installation's jvm.cfg; none for an IBM JVM, which has none.
std::optional<std::string> jmdGetJVMConfigFile(const std::string& home, const VMInfo& info);
/// True when the file at path is a shared library for another architecture
/// than the launcher's (another ELF class, byte order or machine), which the
/// loader would refuse. Anything that is not ELF is left to the loader.
bool jmdIsForeignLibrary(const std::string& path);
/// A system-wide default JVM; these platforms have none.
bool jmdIsThisJVMInstalled(VMInfo& info, std::string& home, int size);

/// Loads the JVM library (the Java path when one is set, else the library of
/// a modular runtime by its full path, else the library name searched along
/// LD_LIBRARY_PATH) and resolves its three exports.
/// Prints its own message and returns false on failure.
bool jmdLoadJavaVM(const JavaChoice& java, InvocationFunctions* ifn);
/// What the chosen JVM needs of the loader's environment: an old layout's
/// library directories in front of LD_LIBRARY_PATH (a modular runtime needs
/// none there), a preload library when J2SE_PREEMPTCLOSE asks for it, and
/// the library itself, which is never to be preloaded.
void jmdSetJavaEnvironment(const JavaChoice& java, LoaderEnvironment& loader);
