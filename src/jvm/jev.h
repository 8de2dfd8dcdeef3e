// JVM discovery: which Java installation the launcher uses, what kind it is,
// where its library lies, and loading it.
#pragma once

#include <optional>
#include <string>

#include "util/platform.h"
#include "jvm/jmd.h"
#include "jvm/vminfo.h"

int jevGetJVMType();
int jevGetJVMSubType();
int jevGetJVMVendor();
/// The layout of the accepted installation.
int jevGetJVMVersion();
/// The Java home that passed the checks ("" until one did).
const char* jevGetJVMHome();
void jevSetJVMSubType(int subType);
void jevTerm();

/// Looks for a Java home through JAVA_HOME and PATH when none is configured,
/// and passes over one that fails the version requirement for the newest
/// installed runtime that meets it.
void jevConfigureDefaultJVM();
/// Ends the refusal of the running JVM's version with the places looked at
/// and how to fix it.
void jevReportVersionRefused(const char* version);
/// JAVA_VERSION="..." of the release file of the modular runtime at home
/// ("17.0.15"); none without one.
std::optional<std::string> jevGetReleaseVersion(const std::string& home);
/// Classifies dir as a JDK, else a JRE (old layouts), else a modular runtime.
bool jevBasicJDKJREChecks(VMInfo& info, const std::string& dir);
/// Classifies dir as a Java 2 installation of info's jvmType.
bool jevBasicJVMChecks(VMInfo& info, const std::string& dir);
/// Makes sure home holds an accepted Java home; reports when there is none.
bool jevDetermineJVMType(VMInfo& info, std::string& home, int size);
/// The directory of the JVM library (cut to size characters), choosing the
/// flavour from jvm.cfg when none was chosen; none after a reported failure.
std::optional<std::string> jevGetJavaVMLibDir(int size = kPathMax);
/// Prints the JVM's list of non-standard options from its Xusage.txt; false
/// after a reported failure.
bool jevPrintXUsage();

/// Loads the JVM library and resolves its invocation functions.
bool jevInit();
/// The invocation record filled by jevInit.
InvocationFunctions* jevGetInvocationFunction();
/// True when the launcher can dump all Java stacks itself: the JVM exports
/// JVM_DumpAllStacks, or it is a modular runtime, whose thread-dump
/// diagnostic command gives the same dump.
bool jevCanDumpAllStacks();
/// Forgets the classification and the loaded functions (for tests).
void jevReset();
