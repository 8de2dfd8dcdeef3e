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

/// Installs a copy of the launcher at dir/relative (e.g. "app/bin/myapp").
std::string installLauncher(const TempDir& dir, const std::string& relative);

/// Runs program with the given argument vector (argv[0] included) from cwd.
ProcessResult runLauncher(const std::string& program, std::vector<std::string> argv,
                          std::map<std::string, std::optional<std::string>> env = {},
                          const std::string& cwd = "");
