// Runs a program as a user would and captures what it prints.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct ProcessResult {
  int status = -1;  ///< exit status, or 128 + signal number when killed
  std::string out;  ///< standard output
  std::string err;  ///< standard error
};

struct ProcessSpec {
  std::string program;            ///< the file executed (execve's path)
  std::vector<std::string> argv;  ///< the full argument vector, argv[0] included
  /// Environment changes on top of the caller's environment, from which the
  /// launcher's own variables (UTRACE, LD_LIBRARY_PATH, LD_PRELOAD, KRX_*,
  /// JAVA_HOME) are always removed first. A nullopt value unsets the name.
  std::map<std::string, std::optional<std::string>> env;
  std::string cwd;          ///< working directory; the caller's when empty
  int timeoutSeconds = 120;  ///< killed with SIGKILL after this
};

ProcessResult runProcess(const ProcessSpec& spec);
