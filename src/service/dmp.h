// dmp = dump, the launcher's natives: the native methods the launcher serves
// to its companion Java class (the stack dump that gave the module its name,
// the registry, the splash screen, the service manager's notices).
#pragma once

#include <jni.h>

#include "jvm/jmd.h"

/// Marks com/corvane/launcher/JavaLauncher as served by a native launcher and
/// registers its natives; an application without the class is not affected.
void dmpRegisterDumpFunction(JNIEnv* env, DumpAllStacks_t dumpFunction);
/// Serves later launches of a single instance on the listening fd, from a
/// launcher thread, for as long as the JVM runs: each request goes to the
/// companion class's activation handler, whose status the later launch ends
/// with (1 when the application lacks the class).
void dmpServeActivations(JNIEnv* env, int fd);
