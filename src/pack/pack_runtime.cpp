// The Java runtime a single-file application carries, so that it runs where
// no Java is installed: a runtime directory packed as it is, or one that the
// JDK's jlink makes with the modules jdeps finds in the jars.

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

#include "pack/pack.h"
#include "util/sha256.h"
#include "util/version.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

constexpr const char* kRuntimePrefix = "jlauncher/runtime/";

constexpr const char* kBothRuntimesMsg = "--runtime and --jlink both name a runtime; give one";
constexpr const char* kJlinkOnlyMsg = "%s goes with --jlink";
constexpr const char* kNotARuntimeMsg =
    "'%s' is not a Java runtime: it needs a release file and lib/server/libjvm.so (or lib/client/libjvm.so)";
constexpr const char* kCannotReadMsg = "cannot read '%s': %s";
constexpr const char* kLinkLeftOutMsg =
    "leaving out the symbolic link '%s' of the runtime: it leads outside the runtime to %s ('%s')";
constexpr const char* kLinkRefusedMsg =
    "the symbolic link '%s' of the runtime leads outside it to '%s', %s; replace the link with a copy of the file "
    "if it is meant to be packed, or remove it";
constexpr const char* kOutsideNote = "packing '%s' from outside the runtime: its link '%s' names it";
constexpr const char* kChangedMsg = "'%s' changed while it was packed";
constexpr const char* kSpecialFileMsg =
    "'%s' is a %s: a packed runtime holds only directories, files and symbolic links";
constexpr const char* kNoVersionMsg =
    "the runtime '%s' names no JAVA_VERSION in its release file, which 'vmversion %s' needs";
constexpr const char* kVersionRefusedMsg = "the runtime '%s' is Java %s, which 'vmversion %s' of the configuration refuses";
constexpr const char* kNoJdkMsg = "--jlink needs a JDK: set JAVA_HOME or put a JDK's jlink on PATH";
constexpr const char* kNoJlinkMsg = "--jlink needs a JDK: '%s' has no bin/jlink and bin/jdeps";
constexpr const char* kNoJmodsMsg =
    "--jlink makes a runtime for %s from the modules of '%s', which has no jmods/java.base.jmod: install the JDK's "
    "modules (Debian 12's openjdk-NN-jdk-headless has them)";
constexpr const char* kForeignNoVersionMsg =
    "--jlink makes a runtime for %s with this machine's jlink of the release of '%s', which names no JAVA_VERSION "
    "in its release file";
constexpr const char* kNoHostJdkMsg =
    "--jlink makes a runtime for %s from the modules of '%s' with the jlink of a Java %d JDK for %s, and there is "
    "none here: install one, or name it with JAVA_HOME";
constexpr const char* kCannotRunMsg = "cannot run '%s': %s";
constexpr const char* kToolFailedMsg = "%s failed (exit status %d): %s";
constexpr const char* kToolKilledMsg = "%s was ended by signal %d: %s";
constexpr const char* kCannotAddMsg = "cannot add '%s': %s";
constexpr const char* kProvidersAddedNote = "adding %s to the runtime: the jars use the service %s, which %s";
constexpr const char* kNoProviderNote =
    "the jars use services that no module of the JDK provides and no jar lists in META-INF/services, served as by "
    "the JDK itself (by their API's own default, or a provider the application finds at run time): %s";
constexpr const char* kFontsMsg =
    "the runtime has the module java.desktop: for AWT and Swing to draw text, the machines that run the packed file "
    "need fontconfig and a font (on Debian the packages fontconfig and fonts-dejavu-core)";
constexpr const char* kGlibcAboveLauncherMsg =
    "the runtime needs glibc %s (its %s), the launcher %s: the packed file runs only where glibc %s or later is "
    "installed; a runtime made from a JDK built for an older glibc (Temurin's need 2.17) runs wherever the launcher "
    "does";
constexpr const char* kGlibcAboveLauncherJdkMsg =
    "the runtime needs glibc %s (its %s), the launcher %s: the packed file runs only where glibc %s or later is "
    "installed; %s gives glibc %s: pack with %s %s";
constexpr const char* kLauncherNotPortableMsg =
    "the launcher '%s' needs %s: the packed file runs only on systems like this one; pack with the portable launcher "
    "(--launcher, or build it: see the README's Portable launcher)";

// The oldest glibc the portable launcher runs with, and the libraries every
// glibc since then has: a launcher that needs no more runs on any Linux of
// its architecture.
constexpr const char* kPortableGlibc = "2.17";
constexpr const char* kGlibcLibraries[] = {"libc.so.6",      "libm.so.6",      "libdl.so.2",
                                           "libpthread.so.0", "librt.so.1",     "libresolv.so.2",
                                           "libutil.so.1",    "ld-linux-x86-64.so.2", "ld-linux-aarch64.so.1"};
// Where Debian and most distributions install JDKs, each in a directory.
constexpr const char* kJvmDirectory = "/usr/lib/jvm";

bool fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

std::string trim(const std::string& text) {
  std::size_t first = text.find_first_not_of(" \t\r\n\v\f");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t\r\n\v\f") - first + 1);
}

bool readWhole(const std::string& path, std::string* data) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  if (in) bytes << in.rdbuf();
  if (!in || in.bad()) return false;
  *data = bytes.str();
  return true;
}

// ---- The version the configuration requires -------------------------------

/// What a vmversion line asks for.
struct Requirement {
  int version = 0;     ///< major * 1000000 + minor * 1000 + micro, as the launcher compares them
  char direction = 0;  ///< '+', '-' or 0 for exactly this version
  std::string text;    ///< as the line gives it
};

// Up to three groups of 1 to 3 digits separated by '.'; the number of groups
// read, *value their version, *rest what follows.
int readVersion(const std::string& text, int* value, std::size_t* rest) {
  int parts[3] = {0, 0, 0};
  int groups = 0;
  std::size_t at = 0;
  for (; groups < 3; ++groups) {
    std::size_t start = at;
    if (groups > 0 && (at >= text.size() || text[at++] != '.')) {
      at = start;
      break;
    }
    std::size_t digits = 0;
    while (digits < 3 && at < text.size() && text[at] >= '0' && text[at] <= '9') {
      parts[groups] = parts[groups] * 10 + (text[at++] - '0');
      ++digits;
    }
    if (digits == 0) {
      at = start;
      break;
    }
  }
  *value = parts[0] * 1000000 + parts[1] * 1000 + parts[2];
  *rest = at;
  return groups;
}

// The requirement of the last vmversion line the launcher would take, or
// none. A line with a macro in it is known only at launch, so it leaves the
// requirement unknown and nothing is checked; a line of the wrong form is
// passed over, as the launcher reports it and refuses to start anyway. Files
// the configuration includes are not read here.
std::optional<Requirement> configuredRequirement(const std::string& comment) {
  std::optional<Requirement> requirement;
  std::istringstream lines(comment);
  for (std::string line; std::getline(lines, line);) {
    line = trim(line);
    if (!line.starts_with("vmversion ")) continue;
    std::string param = trim(line.substr(std::strlen("vmversion")));
    if (param.find('$') != std::string::npos) {
      requirement.reset();
      continue;
    }
    int value = 0;
    std::size_t rest = 0;
    int groups = readVersion(param, &value, &rest);
    bool suffixOk = rest == param.size() || (rest + 1 == param.size() && (param[rest] == '+' || param[rest] == '-'));
    if ((groups != 1 && groups != 3) || !suffixOk || value <= 1003000) continue;
    requirement = Requirement{value, rest < param.size() ? param[rest] : char{0}, param};
  }
  return requirement;
}

// JAVA_VERSION of a runtime's release file, without its quotes; empty when
// it has none.
std::string releaseVersion(const std::string& home) {
  std::string release;
  if (!readWhole(home + "/release", &release)) return "";
  std::istringstream lines(release);
  for (std::string line; std::getline(lines, line);) {
    if (!line.starts_with("JAVA_VERSION=")) continue;
    std::string value = trim(line.substr(std::strlen("JAVA_VERSION=")));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    return value;
  }
  return "";
}

// A Java version as the launcher reads a JVM's: three groups, or from Java 9
// on the major version alone ("21" is 21.0.0).
std::optional<int> javaVersion(const std::string& text) {
  int value = 0;
  std::size_t rest = 0;
  int groups = readVersion(text, &value, &rest);
  if (groups == 3 || (groups >= 1 && value >= 9000000)) return value;
  return std::nullopt;
}

bool checkVersion(const std::string& home, const std::string& comment, std::string* error) {
  std::optional<Requirement> requirement = configuredRequirement(comment);
  if (!requirement) return true;
  std::string text = releaseVersion(home);
  std::optional<int> version = javaVersion(text);
  if (!version) return fail(error, packFormat(kNoVersionMsg, home.c_str(), requirement->text.c_str()));
  bool accepted = *version == requirement->version || (requirement->direction == '+' && *version > requirement->version) ||
                  (requirement->direction == '-' && *version < requirement->version);
  if (accepted) return true;
  return fail(error, packFormat(kVersionRefusedMsg, home.c_str(), text.c_str(), requirement->text.c_str()));
}

// ---- Reading a runtime directory ------------------------------------------

// A runtime is a Java home: the launcher finds the JVM library in it as in
// any other, and reads its version from the release file.
bool isRuntime(const std::string& dir) {
  struct stat st;
  if (stat((dir + "/release").c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir + "/lib", ec)) {
    if (stat((entry.path().string() + "/libjvm.so").c_str(), &st) == 0 && S_ISREG(st.st_mode)) return true;
  }
  return false;
}

const char* specialKind(mode_t mode) {
  if (S_ISFIFO(mode)) return "fifo";
  if (S_ISSOCK(mode)) return "socket";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "device";
  return "special file";
}

class RuntimeReader {
 public:
  RuntimeReader(const std::string& root, PackRuntime& runtime, std::string* error)
      : root_(root), runtime_(runtime), error_(error) {}

  /// The hash of every entry read, once they all are.
  std::string hash() { return hash_.hex(); }

  // Every entry below the root, each directory's in name order, a directory
  // before what it holds, so the same runtime always makes the same archive
  // and the same hash. Each is taken from its directory's descriptor and
  // none is opened through a link: another user who can change the runtime
  // (root packing theirs) cannot swap a directory on the way for a link to
  // one of root's.
  bool read(const std::string& relative, int dirFd) {
    std::string dir = relative.empty() ? root_ : root_ + "/" + relative;
    std::vector<std::string> names;
    int listFd = openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* stream = listFd >= 0 ? fdopendir(listFd) : nullptr;
    if (stream == nullptr) {
      int openError = errno;
      if (listFd >= 0) close(listFd);
      return fail(error_, packFormat(kCannotReadMsg, dir.c_str(), std::strerror(openError)));
    }
    errno = 0;
    while (dirent* entry = readdir(stream)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) names.push_back(entry->d_name);
    }
    int readError = errno;
    closedir(stream);
    if (readError != 0) return fail(error_, packFormat(kCannotReadMsg, dir.c_str(), std::strerror(readError)));
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
      if (!add(relative.empty() ? name : relative + "/" + name, dirFd, name)) return false;
    }
    return true;
  }

 private:
  bool add(const std::string& relative, int dirFd, const std::string& name) {
    std::string path = root_ + "/" + relative;
    struct stat st;
    if (fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      return fail(error_, packFormat(kCannotReadMsg, path.c_str(), std::strerror(errno)));
    }
    PackRuntimeEntry entry{.name = kRuntimePrefix + relative, .path = path,
                           .mode = st.st_mode & ~static_cast<mode_t>(S_ISUID | S_ISGID | S_ISVTX)};
    if (S_ISDIR(st.st_mode)) entry.name += "/";
    if (!S_ISDIR(st.st_mode) && !S_ISLNK(st.st_mode) && !S_ISREG(st.st_mode)) {
      return fail(error_, packFormat(kSpecialFileMsg, path.c_str(), specialKind(st.st_mode)));
    }
    int fd = -1;
    int subdir = -1;
    if (S_ISLNK(st.st_mode)) {
      Link link = readLink(path, dirFd, name, &entry, &fd);
      if (link == Link::kFailed) return false;
      if (link == Link::kLeftOut) return true;
    } else {
      // Taken as found: one that became something else meanwhile is not
      // followed anywhere.
      int flags = S_ISDIR(st.st_mode) ? O_RDONLY | O_DIRECTORY : O_RDONLY | O_NONBLOCK;
      int opened = openat(dirFd, name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC);
      struct stat now;
      if (opened >= 0 && (fstat(opened, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino)) {
        close(opened);
        return fail(error_, packFormat(kChangedMsg, path.c_str()));
      }
      if (opened < 0) return fail(error_, packFormat(kCannotReadMsg, path.c_str(), std::strerror(errno)));
      (S_ISDIR(st.st_mode) ? subdir : fd) = opened;
    }
    std::string mode = packFormat("%o", static_cast<unsigned>(entry.mode));
    hash_.update(entry.name.data(), entry.name.size());
    hash_.update("", 1);
    hash_.update(mode.data(), mode.size());
    hash_.update("", 1);
    hash_.update(entry.target.data(), entry.target.size());
    if (fd >= 0) {
      struct stat opened;
      bool hashed = fstat(fd, &opened) == 0 && packHashFile(fd, hash_);
      int readError = errno;
      close(fd);
      if (!hashed) return fail(error_, packFormat(kCannotReadMsg, entry.path.c_str(), std::strerror(readError)));
      entry.device = opened.st_dev;
      entry.inode = opened.st_ino;
      entry.size = opened.st_size;
      entry.mtime = opened.st_mtime;
    }
    runtime_.entries.push_back(entry);
    if (subdir < 0) return true;
    bool read = this->read(relative, subdir);
    close(subdir);
    return read;
  }

  /// What a link of the runtime becomes.
  enum class Link { kInside, kOutsideFile, kLeftOut, kFailed };

  // The launcher makes the links as they are when it extracts the runtime:
  // one that left the runtime's directory would reach into whatever lies
  // beside it in the cache, or anywhere at all. Distributions link a JDK's
  // configuration to /etc: such a file is packed in the link's place, as
  // the runtime reads it here, when every user could read it anyway (*fd
  // is then the file opened, and *entry describes it); run by root, the
  // packer would otherwise copy a private file, or one of the running
  // system's, into an output anyone can read. A link to a directory outside
  // or to nothing is left out, with a warning.
  Link readLink(const std::string& path, int dirFd, const std::string& name, PackRuntimeEntry* entry, int* fd) {
    std::string buffer(PATH_MAX, '\0');
    ssize_t n = readlinkat(dirFd, name.c_str(), buffer.data(), buffer.size());
    if (n < 0) {
      fail(error_, packFormat(kCannotReadMsg, path.c_str(), std::strerror(errno)));
      return Link::kFailed;
    }
    entry->target = buffer.substr(0, static_cast<std::size_t>(n));
    // Resolved through the links it passes, which are in the runtime and so
    // are resolved in the extracted copy the same way.
    std::error_code ec;
    std::string resolved = fs::weakly_canonical(fs::path(path).parent_path() / entry->target, ec).string();
    bool inside = !ec && !entry->target.starts_with("/") && (resolved == root_ || resolved.starts_with(root_ + "/"));
    if (inside) return Link::kInside;
    struct stat st;
    bool exists = stat(path.c_str(), &st) == 0;
    if (!exists || S_ISDIR(st.st_mode)) {
      runtime_.warnings.push_back(
          packFormat(kLinkLeftOutMsg, path.c_str(), exists ? "a directory" : "nothing", entry->target.c_str()));
      return Link::kLeftOut;
    }
    std::string why;
    *fd = packOpenPublicFile(path, &resolved, &why);
    if (*fd < 0) {
      fail(error_, packFormat(kLinkRefusedMsg, path.c_str(), resolved.c_str(), why.c_str()));
      return Link::kFailed;
    }
    struct stat opened;
    fstat(*fd, &opened);
    runtime_.notes.push_back(packFormat(kOutsideNote, resolved.c_str(), path.c_str()));
    entry->mode = S_IFREG | (opened.st_mode & 0777);
    entry->target.clear();
    entry->path = resolved;
    entry->outside = true;
    return Link::kOutsideFile;
  }

  Sha256 hash_;
  std::string root_;
  PackRuntime& runtime_;
  std::string* error_;
};

// Reads the runtime at dir, checked first against the configuration's
// vmversion requirement: reading it all takes a while.
bool readRuntime(const std::string& dir, const std::string& comment, PackRuntime* runtime, std::string* error) {
  char resolved[PATH_MAX];
  if (realpath(dir.c_str(), resolved) == nullptr || !isRuntime(resolved)) {
    return fail(error, packFormat(kNotARuntimeMsg, dir.c_str()));
  }
  if (!checkVersion(dir, comment, error)) return false;
  RuntimeReader reader(resolved, *runtime, error);
  int top = open(resolved, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (top < 0) return fail(error, packFormat(kCannotReadMsg, resolved, std::strerror(errno)));
  bool read = reader.read("", top);
  close(top);
  if (!read) return false;
  runtime->sha256 = reader.hash();
  return true;
}

// ---- Making a runtime with jlink -------------------------------------------

/// The JDK --jlink uses: its modules and version make the runtime, and the
/// jdeps and jlink of tools (the same JDK, unless that is for another
/// architecture) run.
struct JlinkJdk {
  std::string home;
  std::string tools;
  bool foreign = false;  ///< home is for another architecture than this machine
};

// A JDK with runnable jlink and jdeps.
bool hasTools(const std::string& home) {
  return access((home + "/bin/jlink").c_str(), X_OK) == 0 && access((home + "/bin/jdeps").c_str(), X_OK) == 0;
}

// The JDK of this machine whose jlink links the modules of a JDK for another
// architecture: jlink links jmods of any platform, but only those of its own
// release. JAVA_HOME's first, then those of /usr/lib/jvm.
bool findHostTools(const std::string& arch, const std::string& host, JlinkJdk* jdk, std::string* error) {
  if (access((jdk->home + "/jmods/java.base.jmod").c_str(), R_OK) != 0) {
    return fail(error, packFormat(kNoJmodsMsg, arch.c_str(), jdk->home.c_str()));
  }
  std::optional<int> version = javaVersion(releaseVersion(jdk->home));
  if (!version) return fail(error, packFormat(kForeignNoVersionMsg, arch.c_str(), jdk->home.c_str()));
  int feature = *version / 1000000;
  std::vector<std::string> homes;
  if (const char* javaHome = std::getenv("JAVA_HOME"); javaHome != nullptr && *javaHome != '\0') {
    homes.push_back(javaHome);
  }
  std::vector<std::string> installed;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kJvmDirectory, ec)) installed.push_back(entry.path().string());
  std::sort(installed.begin(), installed.end());
  homes.insert(homes.end(), installed.begin(), installed.end());
  for (const std::string& home : homes) {
    std::optional<int> own = javaVersion(releaseVersion(home));
    if (hasTools(home) && own && *own / 1000000 == feature && packRuntimeArchitecture(home) == host) {
      jdk->tools = home;
      jdk->foreign = true;
      return true;
    }
  }
  return fail(error, packFormat(kNoHostJdkMsg, arch.c_str(), jdk->home.c_str(), feature, host.c_str()));
}

// The JDK whose jdeps and jlink make the runtime: the one --jdk names, else
// JAVA_HOME's, as for every other Java tool, else the one whose jlink the
// PATH finds. It must be for the launcher's architecture; one for another
// than this machine's lends its modules to this machine's tools.
bool findJdk(const PackRequest& request, JlinkJdk* jdk, std::string* error) {
  const char* javaHome = std::getenv("JAVA_HOME");
  if (!request.jdk.empty()) {
    jdk->home = request.jdk;
  } else if (javaHome != nullptr && *javaHome != '\0') {
    jdk->home = javaHome;
  } else {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    for (std::string dir; jdk->home.empty() && std::getline(dirs, dir, ':');) {
      std::string jlink = (dir.empty() ? "." : dir) + "/jlink";
      char resolved[PATH_MAX];
      if (access(jlink.c_str(), X_OK) == 0 && realpath(jlink.c_str(), resolved) != nullptr) {
        jdk->home = fs::path(resolved).parent_path().parent_path().string();
      }
    }
    if (jdk->home.empty()) return fail(error, kNoJdkMsg);
  }
  jdk->tools = jdk->home;
  if (!packCheckRuntimeArchitecture(jdk->home, true, request.launcher, error)) return false;
  std::optional<std::string> arch = packRuntimeArchitecture(jdk->home);
  std::optional<std::string> host = packElfArchitecture("/proc/self/exe");
  if (arch && host && *arch != *host) return findHostTools(*arch, *host, jdk, error);
  if (!hasTools(jdk->home)) return fail(error, packFormat(kNoJlinkMsg, jdk->home.c_str()));
  return true;
}

// What a tool that failed said: its "Error:" lines when it has any, as
// jlink follows its message with the exception's stack; else all of it.
std::string toolMessage(const std::string& output) {
  std::string errors;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("Error:")) errors += (errors.empty() ? "" : " ") + trim(line);
  }
  return errors.empty() ? trim(output) : errors;
}

// The whole of a file the packer made, read through its descriptor.
std::string readBack(int fd) {
  std::string data;
  char block[4096];
  ssize_t n;
  for (off_t at = 0; (n = pread(fd, block, sizeof block, at)) > 0 || (n < 0 && errno == EINTR);) {
    if (n < 0) continue;
    data.append(block, static_cast<std::size_t>(n));
    at += n;
  }
  return data;
}

// What a tool printed: files of the work directory, made by the packer and
// handed to the tool as its standard output and error.
struct ToolOutput {
  ToolOutput() = default;
  ToolOutput(const ToolOutput&) = delete;
  ToolOutput& operator=(const ToolOutput&) = delete;
  ~ToolOutput() {
    if (out >= 0) close(out);
    if (err >= 0) close(err);
  }
  int out = -1;
  int err = -1;  ///< -1: the error output goes with the standard output
};

// Runs a tool without a shell, its output into *output. The tool is ended
// with the packer, on a signal. False with *error set, holding what it
// said, when it cannot run or fails.
bool runTool(const std::vector<std::string>& args, const ToolOutput& output, std::string* error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, output.out, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output.err >= 0 ? output.err : output.out, STDERR_FILENO);
  pid_t pid;
  int spawned = packSpawn(&pid, args[0], &actions, args);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return fail(error, packFormat(kCannotRunMsg, args[0].c_str(), std::strerror(spawned)));
  int status = 0;
  if (!packWait(pid, &status)) return fail(error, packFormat(kCannotRunMsg, args[0].c_str(), std::strerror(errno)));
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
  std::string said = readBack(output.err >= 0 ? output.err : output.out);
  if (output.err >= 0) said = trim(said + "\n" + readBack(output.out));
  std::string name = fs::path(args[0]).filename().string();
  if (WIFSIGNALED(status)) return fail(error, packFormat(kToolKilledMsg, name.c_str(), WTERMSIG(status), toolMessage(said).c_str()));
  return fail(error, packFormat(kToolFailedMsg, name.c_str(), WEXITSTATUS(status), toolMessage(said).c_str()));
}

// The jars joined as a class path, as jdeps reads one.
std::string jarClassPath(const PackRequest& request) {
  std::string classPath;
  for (const std::string& jar : request.jars) classPath += (classPath.empty() ? "" : ":") + jar;
  return classPath;
}

// A line's words, split at blanks.
std::vector<std::string> words(const std::string& line) {
  std::istringstream in(line);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// The modules the jars need, as jdeps finds them for the JDK's own release
// (so a multi-release jar is read as that Java would read it), with those
// --add-modules names, comma-separated.
bool moduleList(const std::string& jdk, int feature, const PackRequest& request, PackWorkDir& workDir,
                std::string* modules, std::string* error) {
  std::vector<std::string> args = {jdk + "/bin/jdeps", "--ignore-missing-deps", "--print-module-deps",
                                   "--multi-release", std::to_string(feature), "--class-path", jarClassPath(request)};
  args.insert(args.end(), request.jars.begin(), request.jars.end());
  ToolOutput output;
  if ((output.out = workDir.createFile("jdeps.out", error)) < 0) return false;
  if ((output.err = workDir.createFile("jdeps.err", error)) < 0) return false;
  if (!runTool(args, output, error)) return false;
  // The list is the last line; warnings may come before it.
  std::string last;
  std::istringstream lines(readBack(output.out));
  for (std::string line; std::getline(lines, line);) {
    if (!trim(line).empty()) last = trim(line);
  }
  *modules = last.empty() ? "java.base" : last;
  for (const std::string& more : request.addModules) {
    if (!more.empty()) *modules += "," + more;
  }
  return true;
}

// ---- Services the jars load from the JDK -----------------------------------

/// The JDK's services, as jlink tells them for every module it could link.
struct JdkServices {
  std::set<std::string> types;                              ///< every service type a module uses or provides
  std::map<std::string, std::set<std::string>> providers;  ///< a service type: the modules that provide it
};

// jlink --suggest-providers without a type lists each module with a
// "uses TYPE" line per service it uses, then a "MODULE provides TYPE used
// by MODULE" line per provider.
bool jdkServices(const std::string& jdk, PackWorkDir& workDir, JdkServices* services, std::string* error) {
  ToolOutput output;
  if ((output.out = workDir.createFile("providers.out", error)) < 0) return false;
  if (!runTool({jdk + "/bin/jlink", "--suggest-providers"}, output, error)) return false;
  std::istringstream lines(readBack(output.out));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> w = words(line);
    if (w.size() == 2 && w[0] == "uses") services->types.insert(w[1]);
    if (w.size() == 6 && w[1] == "provides" && w[3] == "used" && w[4] == "by") {
      services->types.insert(w[2]);
      services->providers[w[2]].insert(w[0]);
    }
  }
  return true;
}

// The service types the jars' classes refer to, which jdeps reads from
// their class files (a method's signature counts: a class that only calls
// ToolProvider.getSystemJavaCompiler() refers to JavaCompiler); it prints
// "CLASS -> TYPE MODULE" for each one its pattern matches.
bool usedServices(const std::string& jdk, int feature, const PackRequest& request, PackWorkDir& workDir,
                  const std::set<std::string>& types, std::set<std::string>* used, std::string* error) {
  std::string pattern;
  for (const std::string& type : types) {
    pattern += pattern.empty() ? "" : "|";
    for (char c : type) pattern += (c == '.' || c == '$') ? std::string("\\") + c : std::string(1, c);
  }
  std::vector<std::string> args = {jdk + "/bin/jdeps", "-verbose:class", "--multi-release", std::to_string(feature),
                                   "--class-path", jarClassPath(request), "-e", pattern};
  args.insert(args.end(), request.jars.begin(), request.jars.end());
  ToolOutput output;
  if ((output.out = workDir.createFile("services.out", error)) < 0) return false;
  if ((output.err = workDir.createFile("services.err", error)) < 0) return false;
  if (!runTool(args, output, error)) return false;
  std::istringstream lines(readBack(output.out));
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> w = words(line);
    if (w.size() >= 3 && w[1] == "->" && types.contains(w[2])) used->insert(w[2]);
  }
  return true;
}

// Whether one of the jars lists providers of the service type, as
// ServiceLoader finds them on the class path.
bool jarsProvide(const PackRequest& request, const std::string& type) {
  std::string list = "META-INF/services/" + type;
  for (const std::string& jar : request.jars) {
    int fd = open(jar.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    zip_error_t zipError;
    zip_error_init(&zipError);
    zip_t* archive = nullptr;
    if (zip_source_t* source = packArchiveSource({.readFd = fd}, &zipError)) {
      archive = zip_open_from_source(source, ZIP_RDONLY, &zipError);
      if (archive == nullptr) zip_source_free(source);
    }
    zip_error_fini(&zipError);
    bool listed = archive != nullptr && zip_name_locate(archive, list.c_str(), 0) >= 0;
    if (archive != nullptr) zip_discard(archive);
    close(fd);
    if (listed) return true;
  }
  return false;
}

// jdeps follows what classes name, never what they load by the name of a
// service: a runtime of its modules alone gives ServiceLoader nothing for
// javax.tools.JavaCompiler, and no compiler to ToolProvider. So the modules
// that provide the JDK's services the jars refer to are added, each said
// of; the services no module provides, and no jar lists, are warned of.
bool addServiceProviders(const std::string& jdk, int feature, const PackRequest& request, PackWorkDir& workDir,
                         std::string* modules, PackRuntime* runtime, std::string* error) {
  JdkServices services;
  std::set<std::string> used;
  if (!jdkServices(jdk, workDir, &services, error)) return false;
  if (services.types.empty()) return true;
  if (!usedServices(jdk, feature, request, workDir, services.types, &used, error)) return false;
  std::set<std::string> linked;
  std::istringstream list(*modules);
  for (std::string module; std::getline(list, module, ',');) linked.insert(module);
  std::string unserved;
  for (const std::string& type : used) {
    const std::set<std::string>& providers = services.providers[type];
    std::string added;
    for (const std::string& module : providers) {
      if (!linked.insert(module).second) continue;
      added += (added.empty() ? "" : ", ") + module;
      *modules += "," + module;
    }
    if (!added.empty()) {
      std::string which = providers.size() == 1 ? "it provides" : "they provide";
      runtime->notes.push_back(packFormat(kProvidersAddedNote, added.c_str(), type.c_str(), which.c_str()));
    } else if (providers.empty() && !jarsProvide(request, type)) {
      unserved += (unserved.empty() ? "" : ", ") + type;
    }
  }
  // Only a note: the runtime serves these as the JDK does (the XML parsers'
  // factories, say, each have a default of their own), so there is nothing
  // to act on, but --verbose tells why nothing was added for them.
  if (!unserved.empty()) runtime->notes.push_back(packFormat(kNoProviderNote, unserved.c_str()));
  return true;
}

bool linkRuntime(const PackRequest& request, const JlinkJdk& source, PackWorkDir& workDir, const std::string& comment,
                 PackRuntime* runtime, std::string* error) {
  // The image jlink makes is of the JDK's own version, so it is checked
  // before the slow part.
  if (!checkVersion(source.home, comment, error)) return false;
  const std::string& jdk = source.tools;
  std::optional<int> version = javaVersion(releaseVersion(source.home));
  int feature = version ? *version / 1000000 : 0;
  std::string modules;
  if (!moduleList(jdk, feature, request, workDir, &modules, error)) return false;
  // With --bind-services jlink adds every provider itself.
  if (!request.bindServices && !addServiceProviders(jdk, feature, request, workDir, &modules, runtime, error)) {
    return false;
  }
  std::string dir;
  if (!workDir.get(&dir, error)) return false;
  // jlink makes the image's directory itself, in the directory no one else
  // can change.
  std::string image = dir + "/runtime";
  // The image's own compression makes it smaller once extracted; Java 21
  // renamed the levels and warns of the old ones.
  std::vector<std::string> args = {jdk + "/bin/jlink", "--add-modules", modules, "--output", image,
                                   "--no-man-pages", "--no-header-files",
                                   feature >= 21 ? "--compress=zip-6" : "--compress=2"};
  // The class-data archive a JDK's own runtime has (lib/server/classes.jsa)
  // is what makes its JVM start fast, and what the start-up cache records
  // on top of; jlink makes one for the image from Java 17 on.
  // A runtime for another architecture links the modules of its own JDK, and
  // gets no archive: making one runs the image's java, which cannot run here.
  if (source.foreign) args.insert(args.end(), {"--module-path", source.home + "/jmods"});
  if (feature >= 17 && !source.foreign) args.push_back("--generate-cds-archive");
  if (request.bindServices) args.push_back("--bind-services");
  if (request.stripDebug) args.push_back("--strip-debug");
  ToolOutput output;
  if ((output.out = workDir.createFile("jlink.out", error)) < 0) return false;
  if (!runTool(args, output, error)) return false;
  // jlink also makes the archive for heaps of 32 GB and more, which run
  // without compressed pointers: as large again, in every packed file and
  // every extracted copy, for what few applications ask. Such a heap starts
  // without an archive instead.
  unlink((image + "/lib/server/classes_nocoops.jsa").c_str());
  return readRuntime(image, "", runtime, error);
}

// AWT draws text with the fonts fontconfig finds on the machine; a runtime
// carries neither, and without them Swing fails with a font error at the
// first label.
void warnAboutFonts(PackRuntime* runtime) {
  for (const PackRuntimeEntry& entry : runtime->entries) {
    if (fs::path(entry.name).filename() == "libfontmanager.so") {
      runtime->warnings.push_back(kFontsMsg);
      return;
    }
  }
}

// The packer's own lines lead the comment: mainclass, then any packedjar
// lines; the runtime's line follows them, before the user's configuration.
// Its glibc field lets the launcher refuse, before it extracts anything, a
// system whose glibc the runtime could not load on.
void addCommentLine(const std::string& sha256, const std::optional<std::string>& glibc, std::string* comment) {
  std::size_t at = 0;
  while (at < comment->size()) {
    bool packerLine = at == 0 || comment->compare(at, std::strlen("packedjar "), "packedjar ") == 0;
    if (!packerLine) break;
    std::size_t end = comment->find('\n', at);
    at = end == std::string::npos ? comment->size() : end + 1;
  }
  comment->insert(at, "packedruntime " + sha256 + (glibc ? " glibc=" + *glibc : "") + "\n");
}

// A runtime's file opened again when the archive is written, as it was
// when hashed: the same file, never through a link that took its place.
int openAsHashed(const PackRuntimeEntry& entry) {
  std::string resolved;
  std::string why;
  int fd = entry.outside ? packOpenPublicFile(entry.path, &resolved, &why)
                         : open(entry.path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat opened;
  if (fd >= 0 && (fstat(fd, &opened) != 0 || opened.st_dev != entry.device || opened.st_ino != entry.inode)) {
    close(fd);
    errno = ESTALE;
    return -1;
  }
  return fd;
}

// The launcher as the user named it, through its links (an installed one
// often is a link): the packer copies what they lead to.
std::string resolved(const std::string& path) {
  std::error_code error;
  std::filesystem::path real = std::filesystem::canonical(path, error);
  return error ? path : real.string();
}

// The newest glibc the runtime's ELF files need, and which file needs it;
// none when none needs one.
std::optional<std::pair<std::string, std::string>> runtimeGlibcFloor(const PackRuntime& runtime) {
  std::optional<std::pair<std::string, std::string>> newest;
  for (const PackRuntimeEntry& entry : runtime.entries) {
    if (!S_ISREG(entry.mode) || entry.outside) continue;
    std::optional<std::string> floor = packGlibcFloor(entry.path);
    if (floor && (!newest || utlVersionBelow(newest->first, *floor))) {
      newest.emplace(*floor, entry.name.substr(std::strlen(kRuntimePrefix)));
    }
  }
  return newest;
}

// Another installed JDK that would make a runtime needing an older glibc
// than floor, and that floor: of /usr/lib/jvm's directories and JAVA_HOME,
// one with jlink and jdeps, of at least the feature version of the one used
// (source) and accepted by the configuration's vmversion lines. The oldest
// floor wins; each JDK's files are read once, and only those of a JDK that
// could be used.
std::optional<std::pair<std::string, std::string>> olderGlibcJdk(const std::string& source, const std::string& comment,
                                                                 const std::string& floor) {
  std::vector<std::string> homes;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(kJvmDirectory, ec)) {
    // Debian's aliases (default-java, java-1.17.0-openjdk-amd64) name the
    // same JDKs as their directories.
    if (!entry.is_symlink(ec)) homes.push_back(entry.path().string());
  }
  std::sort(homes.begin(), homes.end());
  const char* javaHome = std::getenv("JAVA_HOME");
  if (javaHome != nullptr && *javaHome != '\0') homes.push_back(javaHome);
  std::optional<int> used = javaVersion(releaseVersion(source));
  std::vector<fs::path> seen = {fs::canonical(source, ec)};
  // A JDK of another architecture makes a runtime the launcher cannot load.
  std::optional<std::string> arch = packRuntimeArchitecture(source);
  std::optional<std::pair<std::string, std::string>> best;
  for (const std::string& home : homes) {
    fs::path real = fs::canonical(home, ec);
    if (ec || std::find(seen.begin(), seen.end(), real) != seen.end()) continue;
    seen.push_back(real);
    if (access((home + "/bin/jlink").c_str(), X_OK) != 0 || access((home + "/bin/jdeps").c_str(), X_OK) != 0 ||
        packRuntimeArchitecture(home) != arch) {
      continue;
    }
    std::optional<int> version = javaVersion(releaseVersion(home));
    std::string refused;
    if (!version || (used && *version / 1000000 < *used / 1000000) || !checkVersion(home, comment, &refused)) continue;
    std::optional<std::string> jdkFloor = packJdkGlibcFloor(home);
    if (jdkFloor && utlVersionBelow(*jdkFloor, best ? best->second : floor)) best.emplace(home, *jdkFloor);
  }
  return best;
}

// A runtime that needs a newer glibc than the launcher narrows where the
// packed file runs, which nothing else would tell until it fails there.
// needed is the runtime's floor and the file that sets it.
void warnAboutGlibc(const PackRequest& request, const std::string& source, const std::string& comment,
                    const std::pair<std::string, std::string>& needed, PackRuntime* runtime) {
  std::optional<std::string> launcher = packGlibcFloor(resolved(request.launcher));
  if (!launcher || !utlVersionBelow(*launcher, needed.first)) return;
  const char* floor = needed.first.c_str();
  if (std::optional<std::pair<std::string, std::string>> jdk = olderGlibcJdk(source, comment, needed.first)) {
    runtime->warnings.push_back(packFormat(kGlibcAboveLauncherJdkMsg, floor, needed.second.c_str(), launcher->c_str(),
                                           floor, jdk->first.c_str(), jdk->second.c_str(),
                                           request.jlink ? "--jdk" : "--jlink --jdk", jdk->first.c_str()));
    return;
  }
  runtime->warnings.push_back(
      packFormat(kGlibcAboveLauncherMsg, floor, needed.second.c_str(), launcher->c_str(), floor));
}

}  // namespace

std::optional<PackElfNeeds> packElfNeeds(const std::string& path) {
  // An ELF file of 64 bits, little-endian (this architecture's): its section
  // of needed symbol versions (SHT_GNU_verneed), its dynamic section
  // (SHT_DYNAMIC) and the strings they name. Only a regular file is read,
  // through no link: what the path names may have changed since the
  // runtime was read, and a fifo would never answer.
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat info;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* open) { close(*open); });
  auto read = [&](std::uint64_t offset, void* into, std::size_t size) {
    return pread(fd, into, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
  };
  auto number = [](const unsigned char* at, int bytes) {
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
  };
  unsigned char header[64];
  if (!read(0, header, sizeof header) || std::memcmp(header, "\x7f" "ELF", 4) != 0 || header[4] != 2 ||
      header[5] != 1) {
    return std::nullopt;
  }
  const std::uint64_t sections = number(header + 40, 8);
  const std::uint64_t entrySize = number(header + 58, 2), count = number(header + 60, 2);
  if (entrySize != 64 || count == 0 || count > 4096) return std::nullopt;
  std::vector<unsigned char> table(entrySize * count);
  if (!read(sections, table.data(), table.size())) return std::nullopt;
  // A section's bytes, of a size no real file comes near.
  // Its size is checked before anything is allocated for it: a damaged or
  // hostile header may claim exabytes.
  auto contents = [&](const unsigned char* section, auto* into) {
    const std::uint64_t size = number(section + 32, 8);
    if (size > (64u << 20)) return false;
    into->resize(size);
    return read(number(section + 24, 8), into->data(), into->size());
  };
  PackElfNeeds needs;
  for (std::uint64_t i = 0; i < count; ++i) {
    const unsigned char* section = table.data() + i * entrySize;
    const std::uint64_t type = number(section + 4, 4);
    if (type != 0x6ffffffe && type != 6) continue;  // SHT_GNU_verneed, SHT_DYNAMIC
    const std::uint64_t link = number(section + 40, 4);
    if (link >= count) return std::nullopt;
    std::string names;
    std::vector<unsigned char> data;
    if (!contents(table.data() + link * entrySize, &names) || !contents(section, &data)) return std::nullopt;
    if (type == 6) {
      // Entries of a tag and a value (16 bytes) up to DT_NULL; DT_NEEDED's
      // value names a library.
      for (std::size_t at = 0; at + 16 <= data.size() && number(data.data() + at, 8) != 0; at += 16) {
        std::uint64_t name = number(data.data() + at + 8, 8);
        if (number(data.data() + at, 8) == 1 && name < names.size()) needs.libraries.emplace_back(names.c_str() + name);
      }
      continue;
    }
    // Verneed entries (16 bytes) each lead to Vernaux entries (16 bytes).
    for (std::uint64_t need = 0, files = 0; need + 16 <= data.size() && files < 1024; ++files) {
      std::uint64_t aux = need + number(data.data() + need + 8, 4);
      for (std::uint64_t n = number(data.data() + need + 2, 2); n > 0 && aux + 16 <= data.size(); --n) {
        std::uint64_t name = number(data.data() + aux + 8, 4);
        if (name < names.size()) {
          std::string version = names.c_str() + name;
          // Only a version the launcher can compare, as it reads the
          // packedruntime line: GLIBC_PRIVATE and the like are no floor,
          // and anything else would make a line no launch accepts.
          bool glibc = version.starts_with("GLIBC_") && std::isdigit(static_cast<unsigned char>(version[6])) &&
                       version.size() <= 6 + 16 && version.find_first_not_of("0123456789.", 6) == std::string::npos;
          if (glibc && (!needs.glibc || utlVersionBelow(*needs.glibc, version.substr(6)))) {
            needs.glibc = version.substr(6);
          }
        }
        std::uint64_t next = number(data.data() + aux + 12, 4);
        if (next == 0) break;
        aux += next;
      }
      std::uint64_t next = number(data.data() + need + 12, 4);
      if (next == 0) break;
      need += next;
    }
  }
  return needs;
}

std::optional<std::string> packGlibcFloor(const std::string& path) {
  std::optional<PackElfNeeds> needs = packElfNeeds(path);
  return needs ? needs->glibc : std::nullopt;
}

std::optional<std::string> packJdkGlibcFloor(const std::string& home) {
  std::optional<std::string> newest;
  auto consider = [&newest](const fs::directory_entry& entry) {
    std::error_code ec;
    if (!entry.is_regular_file(ec) || entry.is_symlink(ec)) return;
    std::optional<std::string> floor = packGlibcFloor(entry.path().string());
    if (floor && (!newest || utlVersionBelow(*newest, *floor))) newest = floor;
  };
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(home + "/bin", ec)) consider(entry);
  for (fs::recursive_directory_iterator it(home + "/lib", fs::directory_options::skip_permission_denied, ec), end;
       !ec && it != end; it.increment(ec)) {
    if (it->path().extension() == ".so") consider(*it);
  }
  return newest;
}

std::optional<std::string> packLauncherWarning(const std::string& path) {
  std::optional<PackElfNeeds> needs = packElfNeeds(resolved(path));
  if (!needs) return std::nullopt;
  std::vector<std::string> missing;
  if (needs->glibc && utlVersionBelow(kPortableGlibc, *needs->glibc)) missing.push_back("glibc " + *needs->glibc);
  for (const std::string& library : needs->libraries) {
    if (std::find(std::begin(kGlibcLibraries), std::end(kGlibcLibraries), library) == std::end(kGlibcLibraries)) {
      missing.push_back(library);
    }
  }
  if (missing.empty()) return std::nullopt;
  std::string list = missing.front();
  for (std::size_t i = 1; i < missing.size(); ++i) list += (i + 1 == missing.size() ? " and " : ", ") + missing[i];
  return packFormat(kLauncherNotPortableMsg, path.c_str(), list.c_str());
}

std::string packDescribeLauncher(const std::string& path) {
  std::optional<std::string> arch = packElfArchitecture(path);
  if (!arch) return "launcher " + path + ": no ELF file";
  std::optional<std::string> floor = packGlibcFloor(resolved(path));
  return "launcher " + path + ": " + *arch + (floor ? ", glibc " + *floor + " or later" : "");
}

bool packPrepareRuntime(const PackRequest& request, PackWorkDir& workDir, PackRuntime* runtime, std::string* comment,
                        std::string* error) {
  if (!request.runtime.empty() && request.jlink) return fail(error, kBothRuntimesMsg);
  if (!request.jlink && !request.addModules.empty()) return fail(error, packFormat(kJlinkOnlyMsg, "--add-modules"));
  if (!request.jlink && request.stripDebug) return fail(error, packFormat(kJlinkOnlyMsg, "--strip-debug"));
  if (!request.jlink && request.bindServices) return fail(error, packFormat(kJlinkOnlyMsg, "--bind-services"));
  if (!request.jlink && !request.jdk.empty()) return fail(error, packFormat(kJlinkOnlyMsg, "--jdk"));
  std::string source;  // the JDK or the runtime directory it comes from
  if (request.jlink) {
    JlinkJdk jdk;
    if (!findJdk(request, &jdk, error) || !linkRuntime(request, jdk, workDir, *comment, runtime, error)) {
      return false;
    }
    source = jdk.home;
  } else if (!request.runtime.empty()) {
    source = request.runtime;
    if (!packCheckRuntimeArchitecture(source, false, request.launcher, error) ||
        !readRuntime(request.runtime, *comment, runtime, error)) {
      return false;
    }
  } else {
    return true;
  }
  std::optional<std::pair<std::string, std::string>> needed = runtimeGlibcFloor(*runtime);
  if (needed) warnAboutGlibc(request, source, *comment, *needed, runtime);
  warnAboutFonts(runtime);
  addCommentLine(runtime->sha256, needed ? std::optional<std::string>(needed->first) : std::nullopt, comment);
  return true;
}

bool packAddRuntime(zip_t* out, const PackRuntime& runtime, std::string* error) {
  for (const PackRuntimeEntry& entry : runtime.entries) {
    zip_int64_t index = -1;
    if (S_ISDIR(entry.mode)) {
      index = zip_dir_add(out, entry.name.c_str(), ZIP_FL_ENC_GUESS);
    } else {
      // A link's target is read from the entry, which outlives the archive;
      // a file is read when the archive is written, one at a time.
      zip_source_t* source = S_ISLNK(entry.mode)
                                 ? zip_source_buffer(out, entry.target.data(), entry.target.size(), 0)
                                 : packEntrySource(out, {.open = [&entry] { return openAsHashed(entry); },
                                                         .size = entry.size, .mtime = entry.mtime});
      index = source ? zip_file_add(out, entry.name.c_str(), source, ZIP_FL_ENC_GUESS) : -1;
      if (index < 0 && source) zip_source_free(source);
      if (index >= 0) {
        zip_int32_t method = S_ISLNK(entry.mode) ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
        if (zip_set_file_compression(out, static_cast<zip_uint64_t>(index), method, 0) != 0) index = -1;
      }
    }
    if (index < 0 || zip_file_set_external_attributes(out, static_cast<zip_uint64_t>(index), 0, ZIP_OPSYS_UNIX,
                                                      static_cast<zip_uint32_t>(entry.mode) << 16) != 0) {
      return fail(error, packFormat(kCannotAddMsg, entry.name.c_str(), zip_strerror(out)));
    }
  }
  return true;
}

void packSystemNeeds(const std::string& launcher, const PackRuntime& runtime, const std::string& comment,
                     PackSystemNeeds* needs) {
  std::set<std::string> libraries;
  auto add = [&](const std::string& path) {
    std::optional<PackElfNeeds> elf = packElfNeeds(path);
    if (!elf) return;
    if (elf->glibc && (!needs->glibc || utlVersionBelow(*needs->glibc, *elf->glibc))) needs->glibc = elf->glibc;
    libraries.insert(elf->libraries.begin(), elf->libraries.end());
  };
  add(resolved(launcher));
  // A library the runtime carries is found there, by $ORIGIN or by the
  // JVM's own path; only the others are the system's to provide.
  std::set<std::string> held;
  for (const PackRuntimeEntry& entry : runtime.entries) {
    held.insert(fs::path(entry.name).filename().string());
    if (S_ISREG(entry.mode) && !entry.outside) add(entry.path);
  }
  needs->libraries.clear();
  for (const std::string& library : libraries) {
    if (!held.contains(library)) needs->libraries.push_back(library);
  }
  needs->runtime = !runtime.entries.empty();
  needs->fonts = held.contains("libfontmanager.so");
  // A vmversion line that accepts this release or later names the least
  // Java an installed system must have; one that bounds it from above
  // leaves the choice to the classes.
  needs->javaRelease = 0;
  std::optional<Requirement> requirement = configuredRequirement(comment);
  if (requirement && requirement->direction != '-') {
    int major = requirement->version / 1000000;
    needs->javaRelease = major == 1 ? requirement->version / 1000 % 1000 : major;
  }
}

bool packRunTool(const std::vector<std::string>& args, PackWorkDir& workDir, int out, std::string* output,
                 std::string* error) {
  ToolOutput files;
  files.out = out >= 0 ? fcntl(out, F_DUPFD_CLOEXEC, 0) : workDir.createFile("out", error);
  if (files.out < 0) {
    if (out >= 0) fail(error, packFormat(kCannotRunMsg, args[0].c_str(), std::strerror(errno)));
    return false;
  }
  files.err = workDir.createFile("err", error);
  if (files.err < 0 || !runTool(args, files, error)) return false;
  if (output != nullptr) *output = readBack(files.out);
  return true;
}
