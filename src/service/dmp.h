// The native methods the launcher serves to its companion Java class.
#pragma once

#include <jni.h>

#include "jvm/jmd.h"

/// Marks com/corvane/launcher/JavaLauncher as served by a native launcher and
/// registers its natives; an application without the class is not affected.
void dmpRegisterDumpFunction(JNIEnv* env, DumpAllStacks_t dumpFunction);
