// Installing and running the built jlauncher as a user would.
#pragma once

#include <string>

#include "process.h"
#include "temp_dir.h"

/// The jlauncher executable under test.
std::string launcherBinary();
/// The JDK the build found (its headers, and the JVM the tests load).
std::string testJdkHome();
/// The directory holding that JDK's libjvm.so.
std::string testJvmLibraryDir();

/// What a launch prints when no Java installation can be found (no version
/// required) and no place was looked at in vain.
inline const std::string kNoJavaLines =
    "Unable to find a JDK or JRE.\n"
    "Check your installation and use +javahome to specify the JDK or JRE location\n";
/// The fix for a Java home named with option ("+javahome", "javahome in the
/// configuration"), which wins over JAVA_HOME and PATH.
inline std::string noJavaFixFor(const std::string& option) {
  return "Correct " + option + " to name a usable JDK or JRE, or remove it to let the launcher search JAVA_HOME, "
         "PATH and /usr/lib/jvm.\n";
}
inline const std::string kNoJavaFix =
    "Install a JDK or JRE (such as Debian's openjdk-17-jre-headless), set JAVA_HOME to one, or name it with javahome "
    "in the configuration.\n";
inline const std::string kNoJavaMsg = kNoJavaLines + kNoJavaFix;

/// A PATH without any Java installation on it.
inline const std::string kPathWithoutJava = "/nonexistent-bin";

/// The Java installations the tests run against, the build's JDK first, then
/// those of the list LAUNCHER_TEST_JDKS names (the environment's, else the
/// build's; /usr/lib/jvm by default): colon-separated Java homes, or
/// directories whose runtimes (not links) each count. Throws when an entry is
/// neither.
std::vector<std::string> installedJdks();

/// The jar of the Java test applications (package jltest).
std::string testAppsJar();
/// The class path of the Java test applications that use the companion
/// library (jlauncher.jar) itself: their jar, then the library.
std::string companionAppsPath();

/// Stand-ins for a JVM library: with both required invocation functions, and
/// without JNI_GetDefaultJavaVMInitArgs. They create no JVM.
std::string fakeJvmLibrary();
std::string fakeJvmLibraryWithoutDefaults();

/// The JNI library of jltest.Native (libjltestnative.so).
std::string jniTestLibrary();

/// Packs a single-file application at dir/relative: a copy of the launcher
/// with a copy of the archive appended, whose comment is the configuration.
std::string packApplication(const TempDir& dir, const std::string& relative, const std::string& archive,
                            const std::string& configuration);

/// Builds a Sun Java 2 home of the old layouts from files at dir/relative:
/// bin/java, bin/tnameserv (and bin/javac for a JDK), and jvm.cfg where the
/// layout (1 = v1.3, 2 = v1.4) keeps it. Libraries are the caller's.
std::string makeSunJavaHome(const TempDir& dir, const std::string& relative, bool jdk, int layout,
                            const std::string& jvmCfg);
/// The start of the ELF header of a shared library for another architecture
/// than the launcher's (32-bit x86; 64-bit x86 for a 32-bit x86 launcher):
/// enough for a libjvm.so that the launcher passes over unloaded.
std::string foreignElfHeader();
/// The directory of an old-layout home that holds the flavour directories.
std::string oldLayoutLibraryDir(const std::string& home, bool jdk);

/// A test name for a JDK parameter: its directory name, alphanumeric.
std::string jdkTestName(const std::string& jdk);
/// Whether a JDK's library exports its stack dump function (newer ones do not).
bool exportsStackDump(const std::string& jdk);

/// What jlauncher-pack said (its standard error) without the one line of
/// the warning that every pack with a launcher that is not portable gives,
/// as this machine's build of the launcher is not. launcher: as the packer
/// names it.
std::string withoutLauncherWarning(const std::string& err, const std::string& launcher = launcherBinary());

/// Installs a copy of the launcher at dir/relative (e.g. "app/bin/myapp").
std::string installLauncher(const TempDir& dir, const std::string& relative);

/// Runs program with the given argument vector (argv[0] included) from cwd.
ProcessResult runLauncher(const std::string& program, std::vector<std::string> argv,
                          std::map<std::string, std::optional<std::string>> env = {},
                          const std::string& cwd = "");
