#include "launcher.h"

#include <dlfcn.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "util/platform.h"

std::string launcherBinary() { return JLAUNCHER_PATH; }

std::string testJdkHome() { return TEST_JDK_HOME; }

std::string testJvmLibraryDir() { return testJdkHome() + "/lib/server"; }

namespace {

bool isJavaHome(const std::filesystem::path& home) { return std::filesystem::exists(home / "bin/java"); }

}  // namespace

std::vector<std::string> installedJdks() {
  namespace fs = std::filesystem;
  std::vector<std::string> jdks{fs::canonical(testJdkHome()).string()};
  auto add = [&jdks](const fs::path& home) {
    std::string real = fs::canonical(home).string();
    if (std::find(jdks.begin(), jdks.end(), real) == jdks.end()) jdks.push_back(real);
  };
  // The list a run names wins over the one the build was configured with.
  const char* listed = std::getenv("LAUNCHER_TEST_JDKS");
  std::string list = listed != nullptr ? listed : TEST_JDKS;
  const bool named = !list.empty();
  if (!named) list = "/usr/lib/jvm";
  std::stringstream entries(list);
  for (std::string entry; std::getline(entries, entry, ':');) {
    if (entry.empty()) continue;
    if (isJavaHome(entry)) {
      add(entry);
      continue;
    }
    // A directory of installations, such as /usr/lib/jvm: each runtime in it,
    // not the links Debian keeps beside them, nor an old layout's leftovers.
    std::error_code error;
    fs::directory_iterator directory(entry, error);
    // A place named that holds no Java would make the runs it was meant for
    // vanish without a word.
    if (error && named) {
      throw std::runtime_error("LAUNCHER_TEST_JDKS: " + entry + " is no Java home nor a directory of them");
    }
    for (const fs::directory_entry& home : directory) {
      if (!home.is_symlink() && isJavaHome(home.path()) && fs::exists(home.path() / "lib/modules")) add(home.path());
    }
  }
  return jdks;
}

std::string withoutLauncherWarning(const std::string& err, const std::string& launcher) {
  // What the packer needs of the launcher is told exactly by its own tests.
  const std::string start = "jlauncher-pack: warning: the launcher '" + launcher + "' needs ";
  const std::string end = ": the packed file runs only on systems like this one; pack with the portable launcher "
                          "(--launcher, or build it: see the README's Portable launcher)\n";
  std::size_t at = err.find(start);
  std::size_t past = at == std::string::npos ? at : err.find(end, at);
  if (past == std::string::npos || err.find('\n', at) != past + end.size() - 1) return err;
  return err.substr(0, at) + err.substr(past + end.size());
}

std::string installLauncher(const TempDir& dir, const std::string& relative) {
  return dir.copyFile(launcherBinary(), relative);
}

ProcessResult runLauncher(const std::string& program, std::vector<std::string> argv,
                          std::map<std::string, std::optional<std::string>> env, const std::string& cwd) {
  ProcessCommand command;
  command.program = program;
  command.argv = std::move(argv);
  command.env = std::move(env);
  command.cwd = cwd;
  return runProcess(command);
}

std::string testAppsJar() { return TEST_APPS_JAR; }
std::string companionAppsPath() { return COMPANION_APPS_PATH; }

std::string fakeJvmLibrary() { return FAKE_JVM_PATH; }

std::string fakeJvmLibraryWithoutDefaults() { return FAKE_JVM_NODEFAULTS_PATH; }

std::string jniTestLibrary() { return JNI_TEST_LIBRARY_PATH; }

std::string packApplication(const TempDir& dir, const std::string& relative, const std::string& archive,
                            const std::string& configuration) {
  std::string zip = dir.copyFile(archive, relative + ".zip");
  std::string comment = dir.writeFile(relative + ".comment", configuration);
  if (runLauncher("/bin/sh", {"sh", "-c", "zip -q -z \"$0\" < \"$1\"", zip, comment}).status != 0) {
    throw std::runtime_error("zip -z failed for " + zip);
  }
  std::string packed = dir.file(relative);
  {
    std::ofstream out(packed, std::ios::binary | std::ios::trunc);
    out << readFile(launcherBinary()) << readFile(zip);
  }
  std::filesystem::permissions(packed, std::filesystem::perms(0755));
  std::filesystem::remove(zip);
  std::filesystem::remove(comment);
  return packed;
}

std::string foreignElfHeader() {
  // e_ident (the magic, ELFCLASS32 or 64, little-endian, version 1), e_type
  // (a shared object) and e_machine (EM_386, or EM_X86_64 for i386).
  const bool i386 = std::string(kArchDir) == "i386";
  std::string header = {'\x7f', 'E', 'L', 'F', i386 ? '\2' : '\1', 1, 1};
  header.resize(16, '\0');
  return header + std::string{3, 0, i386 ? '\x3e' : '\3', 0};
}

std::string oldLayoutLibraryDir(const std::string& home, bool jdk) {
  return home + (jdk ? "/jre/lib/" : "/lib/") + kArchDir;
}

std::string makeSunJavaHome(const TempDir& dir, const std::string& relative, bool jdk, int layout,
                            const std::string& jvmCfg) {
  std::string home = dir.makeDir(relative);
  dir.writeFile(relative + "/bin/java", "", 0755);
  dir.writeFile(relative + "/bin/tnameserv", "", 0755);
  if (jdk) dir.writeFile(relative + "/bin/javac", "", 0755);
  std::string libDir = jdk ? "/jre/lib" : "/lib";
  std::string cfgDir = layout == 1 ? libDir : libDir + "/" + kArchDir;
  dir.writeFile(relative + cfgDir + "/jvm.cfg", jvmCfg);
  return home;
}

std::string jdkTestName(const std::string& jdk) {
  std::string name = std::filesystem::path(jdk).filename().string();
  for (char& c : name) {
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  }
  return name;
}

bool exportsStackDump(const std::string& jdk) {
  void* library = dlopen((jdk + "/lib/server/libjvm.so").c_str(), RTLD_LAZY | RTLD_LOCAL);
  return library != nullptr && dlsym(library, "JVM_DumpAllStacks") != nullptr;
}
