// The architecture a packed file is for: that of the launcher it starts
// with, which must be that of the runtime it carries. jlauncher-pack packs
// for another architecture than its own with the launcher built for it,
// which an install keeps under lib/jlauncher/<architecture>/.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "pack/pack.h"

namespace {

namespace fs = std::filesystem;

/// The architectures a launcher is built for: the name --arch takes, the
/// names other tools give it, the ELF machine of its files, and whether
/// files are packed for it (the Solaris builds pack nothing).
struct Architecture {
  const char* name;
  const char* aliases[2];
  unsigned machine;
  bool packed;
};
constexpr Architecture kArchitectures[] = {
    {"x86-64", {"x86_64", "amd64"}, 62, true}, {"arm64", {"aarch64", nullptr}, 183, true},
    {"i386", {"i686", nullptr}, 3, true},      {"sparc64", {nullptr, nullptr}, 43, false},
    {"sparc", {nullptr, nullptr}, 2, false},    {"sparc", {nullptr, nullptr}, 18, false},
};
/// What --arch accepts: a launcher is built for these on Linux.
constexpr const char* kPackedArchitectures = "x86-64, arm64 or i386";

constexpr const char* kUnknownArchMsg = "unknown architecture '%s': packed files are for %s";
constexpr const char* kLauncherArchMsg = "the launcher '%s' is for %s, not %s";
constexpr const char* kLauncherNoProgramMsg = "the launcher '%s' is no program for %s";
constexpr const char* kNoLauncherForArchMsg =
    "no launcher for %s: none at '%s'; install the one built for %s there, or name it with --launcher";
constexpr const char* kRuntimeArchMsg =
    "the runtime '%s' is for %s (%s) and the launcher '%s' for %s: the packed file would run on neither; %s";
constexpr const char* kJdkArchMsg =
    "--jlink makes the runtime from the JDK '%s', which is for %s (%s), and the launcher '%s' is for %s: %s";
/// What to do instead, the JDK's or runtime's architecture one that files
/// are packed for, or not.
constexpr const char* kPackForRuntimeAdvice = "pack with --arch %s, or a runtime for %s";
constexpr const char* kRuntimeAdvice = "pack a runtime for %s";
constexpr const char* kPackForJdkAdvice = "pack with --arch %s, or name a JDK for %s with --jdk";
constexpr const char* kJdkAdvice = "name a JDK for %s with --jdk";

const Architecture* byName(const std::string& name) {
  for (const Architecture& arch : kArchitectures) {
    if (!arch.packed) continue;
    if (name == arch.name) return &arch;
    for (const char* alias : arch.aliases) {
      if (alias != nullptr && name == alias) return &arch;
    }
  }
  return nullptr;
}

// The ELF machine of the file at path; none for a file that is no ELF file.
// Only a regular file is read: a fifo would never answer.
std::optional<unsigned> elfMachine(const std::string& path) {
  unsigned char header[20] = {};
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info;
  bool read = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header);
  close(fd);
  if (!read || std::memcmp(header, "\x7f" "ELF", 4) != 0) return std::nullopt;
  // The byte order is the file's own (EI_DATA 2: big-endian).
  return header[5] == 2 ? (header[18] << 8 | header[19]) : (header[18] | header[19] << 8);
}

// The JVM library of the runtime at dir: lib/<vm>/libjvm.so, as the
// launcher finds it.
std::optional<std::string> jvmLibrary(const std::string& dir) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir + "/lib", ec)) {
    std::string library = entry.path().string() + "/libjvm.so";
    if (fs::is_regular_file(library, ec)) return library;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> packElfArchitecture(const std::string& path) {
  std::optional<unsigned> machine = elfMachine(path);
  if (!machine) return std::nullopt;
  for (const Architecture& arch : kArchitectures) {
    if (arch.machine == *machine) return std::string(arch.name);
  }
  return "machine " + std::to_string(*machine);
}

bool packChooseLauncher(PackRequest* request, const std::string& packerDir, std::string* error) {
  std::string wanted;
  if (!request->arch.empty()) {
    const Architecture* arch = byName(request->arch);
    if (arch == nullptr) {
      *error = packFormat(kUnknownArchMsg, request->arch.c_str(), kPackedArchitectures);
      return false;
    }
    wanted = arch->name;
  }
  if (request->launcher.empty()) {
    std::string beside = packerDir + "/jlauncher";
    std::string installed = (fs::path(packerDir) / "../lib/jlauncher" / wanted / "jlauncher").lexically_normal();
    request->launcher = wanted.empty() || packElfArchitecture(beside) == wanted ? beside : installed;
    if (!wanted.empty() && !fs::exists(fs::symlink_status(request->launcher))) {
      *error = packFormat(kNoLauncherForArchMsg, wanted.c_str(), installed.c_str(), wanted.c_str());
      return false;
    }
  }
  std::optional<std::string> found = packElfArchitecture(request->launcher);
  if (!wanted.empty() && found != wanted) {
    *error = found ? packFormat(kLauncherArchMsg, request->launcher.c_str(), found->c_str(), wanted.c_str())
                   : packFormat(kLauncherNoProgramMsg, request->launcher.c_str(), wanted.c_str());
    return false;
  }
  return true;
}

std::optional<std::string> packRuntimeArchitecture(const std::string& dir) {
  std::optional<std::string> library = jvmLibrary(dir);
  return library ? packElfArchitecture(*library) : std::nullopt;
}

bool packCheckRuntimeArchitecture(const std::string& dir, bool jdk, const std::string& launcher,
                                  std::string* error) {
  std::optional<std::string> library = jvmLibrary(dir);
  std::optional<std::string> runtimeArch = library ? packElfArchitecture(*library) : std::nullopt;
  std::optional<std::string> launcherArch = packElfArchitecture(launcher);
  if (!runtimeArch || !launcherArch || *runtimeArch == *launcherArch) return true;
  const char* runtimeName = runtimeArch->c_str();
  const char* launcherName = launcherArch->c_str();
  // --arch is suggested only where files are packed for the runtime's.
  bool packable = byName(*runtimeArch) != nullptr;
  std::string advice = jdk ? (packable ? packFormat(kPackForJdkAdvice, runtimeName, launcherName)
                                       : packFormat(kJdkAdvice, launcherName))
                           : (packable ? packFormat(kPackForRuntimeAdvice, runtimeName, launcherName)
                                       : packFormat(kRuntimeAdvice, launcherName));
  *error = packFormat(jdk ? kJdkArchMsg : kRuntimeArchMsg, dir.c_str(), runtimeName, library->c_str(),
                      launcher.c_str(), launcherName, advice.c_str());
  return false;
}
