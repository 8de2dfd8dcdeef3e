#include "launcher.h"

std::string launcherBinary() { return JLAUNCHER_PATH; }

std::string testJdkHome() { return TEST_JDK_HOME; }

std::string testJvmLibraryDir() { return testJdkHome() + "/lib/server"; }

std::string installLauncher(const TempDir& dir, const std::string& relative) {
  return dir.copyFile(launcherBinary(), relative);
}

ProcessResult runLauncher(const std::string& program, std::vector<std::string> argv,
                          std::map<std::string, std::optional<std::string>> env, const std::string& cwd) {
  ProcessSpec spec;
  spec.program = program;
  spec.argv = std::move(argv);
  spec.env = std::move(env);
  spec.cwd = cwd;
  return runProcess(spec);
}
