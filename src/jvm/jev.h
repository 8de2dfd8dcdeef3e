// JVM discovery: which Java installation the launcher uses, and loading it.
#pragma once

#include "jvm/jmd.h"

/// JVM flavours (VMInfo's jvmSubType).
enum JvmSubType { kSubTypeDefault = 1, kSubTypeClassic = 2, kSubTypeHotspot = 3, kSubTypeClient = 4, kSubTypeServer = 5 };

/// The JVM flavour chosen so far (kSubTypeDefault until one is chosen).
int jevGetJVMSubType();
void jevSetJVMSubType(int subType);

/// Looks for a Java home when none is configured.
void jevConfigureDefaultJVM();
/// Loads the JVM library and resolves its invocation functions.
bool jevInit();
/// The invocation record filled by jevInit.
InvocationFunctions* jevGetInvocationFunction();
/// Prints the JVM's list of non-standard options.
void jevPrintXUsage();
/// Forgets the loaded invocation functions (for tests).
void jevResetInvocationFunction();
