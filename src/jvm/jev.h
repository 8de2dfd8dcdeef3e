// jev = Java environment: which Java installation the launch uses (discovery,
// classification, the flavour from jvm.cfg), chosen once into one JavaChoice,
// and loading its JVM library. The platform's paths inside an installation
// are jmd's, which jev calls with values.
#pragma once

#include <optional>
#include <string>

#include "jvm/jmd.h"
#include "jvmoptions/vminfo.h"
#include "util/platform.h"

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
/// Classifies dir as a modular runtime, else a JDK, else a JRE (old layouts),
/// else as a JDK when its jre directory holds a JRE (a JDK's layout without
/// javac, as Debian's Java 8 runtime package leaves it).
bool jevBasicJDKJREChecks(VMInfo& info, const std::string& dir);
/// Classifies dir as a Java 2 installation of info's jvmType.
bool jevBasicJVMChecks(VMInfo& info, const std::string& dir);
/// Makes sure home holds an accepted Java home; reports when there is none.
bool jevDetermineJVMType(VMInfo& info, std::string& home, int size);
/// Chooses the Java the launch runs, once: the home named or found
/// (jopGetJavaHome) as classified, Sun's J2EE reference implementation
/// refused, the flavour subType asks for (else the first usable one of
/// jvm.cfg) and its library. None after a reported failure.
std::optional<JavaChoice> jevChooseJava(int subType);
/// Prints the JVM's list of non-standard options from its Xusage.txt; false
/// after a reported failure.
bool jevPrintXUsage(const JavaChoice& java);

/// Loads the chosen JVM library and resolves its invocation functions.
bool jevInit(const JavaChoice& java);
/// The invocation record filled by jevInit.
InvocationFunctions* jevGetInvocationFunction();
/// True when the launcher can dump all Java stacks itself: the JVM exports
/// JVM_DumpAllStacks, or it is a modular runtime, whose thread-dump
/// diagnostic command gives the same dump.
bool jevCanDumpAllStacks();
/// Forgets the classification and the loaded functions (for tests).
void jevReset();
