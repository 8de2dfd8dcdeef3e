// Debian and RPM packages of a packed application. The single file is made
// as without a package, into a staging tree that holds what the package
// installs: the command, its manual page, and the desktop entry, icons, MIME
// types and splash image its configuration names. dpkg-deb or rpmbuild make
// the package of that tree; its dependencies are what the packed file needs
// of the system: the glibc and libraries of the launcher and a carried
// runtime, or else a Java runtime of the release the jars need.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host/dsk.h"
#include "host/hmd.h"
#include "pack/pack.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kNotSmallFileMsg = "cannot read '%s': %s";
constexpr const char* kNotImageMsg = "the splash image '%s' is no PNG, GIF or JPEG image";
constexpr const char* kCompressedManualMsg = "'%s' is compressed: give the manual page itself, which the package compresses";
constexpr const char* kRelativePathMsg =
    "'%s' of the configuration names a path relative to /usr/bin, where the package installs the command; the "
    "package does not install what it names";
constexpr const char* kMacroMsg =
    "'%s' of the configuration holds a macro, which jlauncher-pack does not expand: write out the file it names";
constexpr const char* kBadCategoriesMsg = "'%s' of the configuration is no list of desktop categories";
constexpr const char* kBadMimeTypeMsg = "'%s' of the configuration: %s";
constexpr const char* kBadSplashNameMsg =
    "the splash image '%s' cannot be installed under its name: use letters, digits, '.', '_', '+' and '-'";
constexpr const char* kCannotReadMsg = "cannot read '%s': %s";
constexpr const char* kNotManualMsg = "'%s' is no manual page of section 1: its .TH line names no section 1";
constexpr const char* kNoToolMsg = "%s is not installed: install the Debian package %s";
constexpr const char* kCannotStageMsg = "cannot write '%s': %s";
constexpr const char* kNotOwnedMsg =
    "no package of this system holds '%s', which the packed file needs: the package does not depend on it";
constexpr const char* kNoManualMsg =
    "the package has no manual page for /usr/bin/%s, which Debian's policy asks of every command: give one with --man";
constexpr const char* kNoArchitectureMsg = "the launcher '%s' is for %s, for which no package is made";
constexpr const char* kNoPackageMsg = "%s made no package";
constexpr const char* kOutputExistsMsg = "'%s' exists; use --force to replace it";
constexpr const char* kCannotCreateMsg = "cannot create a file beside '%s': %s";
constexpr const char* kCannotWriteMsg = "cannot write '%s': %s";

/// A tool the package is made with, and the Debian package that has it.
struct Tool {
  const char* name;
  const char* package;
};
constexpr Tool kGzip = {"gzip", "gzip"};
constexpr Tool kDpkg = {"dpkg", "dpkg"};
constexpr Tool kDpkgDeb = {"dpkg-deb", "dpkg"};
constexpr Tool kMd5sum = {"md5sum", "coreutils"};
constexpr Tool kRpmbuild = {"rpmbuild", "rpm"};

/// The package architectures of the launcher's, as --arch names it.
struct Architecture {
  const char* launcher;
  const char* deb;
  const char* rpm;
  const char* rpmLibrary;  ///< what RPM's library requirements add for it
  const char* triplet;     ///< Debian's directory of its libraries, under /lib and /usr/lib
};
// No packages for i386: what the packed file needs is read from 64-bit ELF
// files only, and a package that depends on too little installs where it
// cannot run.
constexpr Architecture kArchitectures[] = {
    {"x86-64", "amd64", "x86_64", "(64bit)", "x86_64-linux-gnu"},
    {"arm64", "arm64", "aarch64", "(64bit)", "aarch64-linux-gnu"},
};

// Lintian's tags that every packed file raises, as a launcher followed by an
// archive: stripping would cut the archive off, and the build flags are the
// launcher's, made once for every application.
constexpr const char* kLintianOverrides =
    "# The command is a launcher followed by a ZIP archive of the application: strip would\n"
    "# remove the archive, and the launcher is built once for every application.\n"
    "%s: unstripped-binary-or-object [usr/bin/%s]\n"
    "%s: hardening-no-fortify-functions [usr/bin/%s]\n"
    "# The portable launcher links zlib statically, to run with every glibc from 2.17 on.\n"
    "%s: embedded-library zlib [usr/bin/%s]\n"
    "# The package is the application's own, not an upload to Debian that closes its bugs.\n"
    "%s: initial-upload-closes-no-bugs\n";

constexpr const char* kCopyright =
    "%s, packed with jlauncher-pack into a single executable file.\n"
    "\n"
    "Copyright %s the authors of %s; packaged by %s.\n"
    "Its licence is that of the application, and of the libraries and runtime it carries.\n";

constexpr const char* kChangelog =
    "%s (%s) unstable; urgency=medium\n"
    "\n"
    "  * Packed with jlauncher-pack.\n"
    "\n"
    " -- %s  %s\n";

constexpr const char* kControl =
    "Package: %s\n"
    "Version: %s\n"
    "Architecture: %s\n"
    "Maintainer: %s\n"
    "Installed-Size: %llu\n"
    "Depends: %s\n"
    "Section: misc\n"
    "Priority: optional\n"
    "Description: %s\n"
    " %s is a Java application packed into a single executable file.\n";

// The RPM build does nothing but copy the staged tree: a strip or a debug
// package would cut the archive off the command.
constexpr const char* kRpmRecipe =
    "%%global __os_install_post %%{nil}\n"
    "%%global debug_package %%{nil}\n"
    "%%global _build_id_links none\n"
    "Name: %s\n"
    "Version: %s\n"
    "Release: %s\n"
    "Summary: %s\n"
    "License: NOASSERTION\n"
    "AutoReqProv: no\n"
    "%s"
    "%%description\n"
    "%s is a Java application packed into a single executable file.\n"
    "%%install\n"
    "cp -pR %s/. \"%%{buildroot}\"\n"
    "%%files\n"
    "%%defattr(-,root,root,-)\n"
    "%s";

// The directives the package installs files for, as the launcher reads
// them.
constexpr const char* kDesktopName = "desktopname";
constexpr const char* kDesktopIcon = "desktopicon";
constexpr const char* kDesktopCategories = "desktopcategories";
constexpr const char* kMimeType = "mimetype";
constexpr const char* kSplash = "splash";
// What a splash image's file name may hold: it is written unquoted in the
// configuration and in the RPM's file list.
constexpr const char* kFileNameCharacters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._+-";

bool fail(std::string* error, std::string message) {
  *error = std::move(message);
  return false;
}

// A configuration line as the launcher splits it: the text without the
// blanks around it, the directive word up to the first space, the value
// after the blanks that follow. Blank lines and comments give no word.
std::pair<std::string, std::string> directive(const std::string& line) {
  constexpr const char* kBlanks = " \t\r\n\v\f";
  std::size_t first = line.find_first_not_of(kBlanks);
  if (first == std::string::npos || line[first] == '#') return {};
  std::string text = line.substr(first, line.find_last_not_of(kBlanks) - first + 1);
  std::size_t space = text.find(' ');
  if (space == std::string::npos) return {text, ""};
  return {text.substr(0, space), text.substr(text.find_first_not_of(kBlanks, space))};
}

// The whole of a regular file of at most limit bytes; none with error.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit, std::string* error) {
  std::string why;
  std::optional<std::string> bytes = hmdReadRegularFile(path, limit, why);
  if (!bytes) fail(error, packFormat(kNotSmallFileMsg, path.c_str(), why.c_str()));
  return bytes;
}

// The directives whose values are paths, which a packed file resolves
// against its own directory: in a package, /usr/bin.
bool namesPaths(const std::string& word) {
  static constexpr std::string_view kWords[] = {"include", "includedir", "addpath", "addjars", "addbootpath",
                                                "addbootjars", "addskippath", "addlibpath", "dirmustexist", "cd",
                                                "vmparamsfile", "pidfile", "daemonsupport", "javahome", "javapath"};
  return std::find(std::begin(kWords), std::end(kWords), word) != std::end(kWords);
}

// Whether the text holds a macro as the launcher recognises one: '$', a
// kind's letters, '('. Its value is known only at launch.
bool hasMacro(const std::string& text) {
  for (std::size_t at = text.find('$'); at != std::string::npos; at = text.find('$', at + 1)) {
    std::size_t end = at + 1;
    while (end < text.size() && std::isalpha(static_cast<unsigned char>(text[end]))) ++end;
    if (end > at + 1 && end < text.size() && text[end] == '(') return true;
  }
  return false;
}

// Shell words in single quotes.
std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::string joined(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& item : items) out += (out.empty() ? "" : separator) + item;
  return out;
}

class PackageMaker {
 public:
  PackageMaker(const PackRequest& request, std::vector<std::string>& warnings, std::string& error,
               std::vector<std::string>& notes)
      : request_(request), warnings_(warnings), error_(error), notes_(notes) {}

  bool run() {
    struct stat existing;
    if (!request_.force && lstat(request_.output.c_str(), &existing) == 0) {
      return fail(&error_, packFormat(kOutputExistsMsg, request_.output.c_str()));
    }
    std::optional<std::string> arch = packElfArchitecture(request_.launcher);
    for (const Architecture& known : kArchitectures) {
      if (arch && *arch == known.launcher) arch_ = &known;
    }
    if (arch_ == nullptr) {
      return fail(&error_,
                  packFormat(kNoArchitectureMsg, request_.launcher.c_str(), arch.value_or("no ELF file").c_str()));
    }
    std::vector<Tool> tools = request_.deb ? std::vector<Tool>{kDpkgDeb, kDpkg, kGzip, kMd5sum}
                                           : std::vector<Tool>{kRpmbuild, kGzip};
    for (const Tool& tool : tools) {
      if (!findTool(tool)) return false;
    }
    std::string work;
    if (!checkManual() || !workDir_.get(&work, &error_) || !readConfiguration()) return false;
    root_ = work + "/root";
    command_ = "/usr/bin/" + request_.name;
    std::vector<std::string> dirs = {"", "/usr", "/usr/bin", "/usr/share"};
    for (const std::string& dir : dirs) {
      if (!makeDir(root_ + dir)) return false;
    }
    PackRequest packed = request_;
    packed.output = root_ + command_;
    packed.configFile = configFile_;
    packed.force = false;
    // A desktop application's runtime has AWT: its splash screen is shown
    // by the runtime's splash library, which only java.desktop brings.
    if (packed.jlink && graphical()) packed.addModules.push_back("java.desktop");
    if (!packApplication(packed, &warnings_, &error_, &notes_, &needs_)) return false;
    // The package says what the packer would otherwise warn of.
    if (needs_.fonts) std::erase_if(warnings_, [](const std::string& w) { return w.find("fontconfig") != w.npos; });
    if (chmod(packed.output.c_str(), 0755) != 0) {
      return fail(&error_, packFormat(kCannotStageMsg, command_.c_str(), std::strerror(errno)));
    }
    if (!stageDesktop() || !stageManual()) return false;
    std::string package;
    if (request_.deb ? !makeDeb(work, &package) : !makeRpm(work, &package)) return false;
    return deliver(package);
  }

 private:
  // The tool's path on PATH; false with *error telling what to install.
  bool findTool(const Tool& tool) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr && *path != '\0' ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');) {
      std::string candidate = (dir.empty() ? "." : dir) + "/" + tool.name;
      if (access(candidate.c_str(), X_OK) == 0) {
        tools_[tool.name] = candidate;
        return true;
      }
    }
    return fail(&error_, packFormat(kNoToolMsg, tool.name, tool.package));
  }

  bool makeDir(const std::string& path) {
    if ((mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) || chmod(path.c_str(), 0755) != 0) {
      return fail(&error_, packFormat(kCannotStageMsg, path.c_str(), std::strerror(errno)));
    }
    return true;
  }

  // Makes the file at path of the staging tree, with its directories;
  // its descriptor, or -1 with *error set.
  int createStaged(const std::string& path) {
    for (std::size_t at = root_.size() + 1; (at = path.find('/', at)) != std::string::npos; ++at) {
      if (!makeDir(path.substr(0, at))) return -1;
    }
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0 || fchmod(fd, 0644) != 0) {
      if (fd >= 0) close(fd);
      fail(&error_, packFormat(kCannotStageMsg, path.c_str(), std::strerror(errno)));
      return -1;
    }
    return fd;
  }

  bool writeStaged(const std::string& path, const std::string& text) {
    int fd = createStaged(path);
    return fd >= 0 && writeAll(fd, path, text);
  }

  // A new file of the work directory, which is the packer's alone.
  bool writeFile(const std::string& path, const std::string& text, mode_t mode) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return fail(&error_, packFormat(kCannotStageMsg, path.c_str(), std::strerror(errno)));
    return writeAll(fd, path, text);
  }

  // Writes text into fd and closes it.
  bool writeAll(int fd, const std::string& path, const std::string& text) {
    bool written = hmdWriteAll(fd, text.data(), text.size());
    if (close(fd) != 0 || !written) {
      return fail(&error_, packFormat(kCannotStageMsg, path.c_str(), std::strerror(errno)));
    }
    return true;
  }

  // gzip -9n of the file source into path of the staging tree: the way
  // Debian compresses manual pages and changelogs.
  bool gzipStaged(const std::string& source, const std::string& path) {
    int fd = createStaged(path);
    if (fd < 0) return false;
    bool ok = packRunTool({tools_[kGzip.name], "-9n", "-c", source}, workDir_, fd, nullptr, &error_);
    return close(fd) == 0 && ok;
  }

  // Finds the desktop lines of the configuration, and writes it out again
  // with the icons and the splash image named where the package installs
  // them. The lines of the files it includes are not read.
  bool readConfiguration() {
    if (request_.configFile.empty()) return true;
    std::ifstream in(request_.configFile, std::ios::binary);
    std::ostringstream bytes;
    if (in) bytes << in.rdbuf();
    if (!in || in.bad()) {
      return fail(&error_, packFormat(kCannotReadMsg, request_.configFile.c_str(), std::strerror(errno)));
    }
    std::string dir = fs::path(request_.configFile).parent_path().string();
    auto local = [&dir](const std::string& path) {
      return path.starts_with("/") || dir.empty() ? path : dir + "/" + path;
    };
    std::istringstream lines(bytes.str());
    std::vector<std::string> text;
    app_ = {.id = request_.name, .name = {}, .exec = "/usr/bin/" + request_.name, .icons = {}, .categories = {},
            .mimeTypes = {}};
    for (std::string line; std::getline(lines, line);) {
      text.push_back(line);
      auto [word, value] = directive(line);
      if (namesPaths(word) && !hasMacro(value)) {
        std::istringstream parts(value);
        for (std::string part; std::getline(parts, part, ':');) {
          if (!part.empty() && part[0] != '/') {
            warnings_.push_back(packFormat(kRelativePathMsg, (word + " " + value).c_str()));
            break;
          }
        }
      }
      bool desktop = word == kDesktopName || word == kDesktopIcon || word == kDesktopCategories || word == kMimeType ||
                     word == kSplash;
      if (!desktop || value.empty()) continue;
      if (hasMacro(value)) return fail(&error_, packFormat(kMacroMsg, (word + " " + value).c_str()));
      std::string why;
      if (word == kDesktopName) {
        app_.name = value;
      } else if (word == kDesktopIcon) {
        app_.icons.push_back(local(value));
        iconLines_.emplace(text.size() - 1, app_.icons.back());
      } else if (word == kDesktopCategories) {
        std::optional<std::vector<std::string>> categories = dskParseCategories(value);
        if (!categories) return fail(&error_, packFormat(kBadCategoriesMsg, (word + " " + value).c_str()));
        app_.categories = *categories;
      } else if (word == kMimeType) {
        std::optional<DskMimeType> mime = dskParseMimeType(value, why);
        if (!mime) return fail(&error_, packFormat(kBadMimeTypeMsg, (word + " " + value).c_str(), why.c_str()));
        app_.mimeTypes.push_back(*mime);
      } else {
        std::string name = fs::path(value).filename().string();
        if (name.empty() || name[0] == '.' || name.find_first_not_of(kFileNameCharacters) != std::string::npos) {
          return fail(&error_, packFormat(kBadSplashNameMsg, value.c_str()));
        }
        splash_ = {local(value), "/usr/share/" + request_.name + "/" + name};
        std::optional<std::string> image = readSmallFile(splash_.first, std::size_t{16} << 20, &error_);
        if (!image) return false;
        static constexpr std::string_view kSignatures[] = {"\x89PNG\r\n\x1a\n", "GIF87a", "GIF89a", "\xff\xd8\xff"};
        if (std::none_of(std::begin(kSignatures), std::end(kSignatures),
                         [&image](std::string_view s) { return image->starts_with(s); })) {
          return fail(&error_, packFormat(kNotImageMsg, splash_.first.c_str()));
        }
        splashBytes_ = std::move(*image);
        text.back() = std::string(kSplash) + " " + splash_.second;
      }
    }
    if (dskConfigured(app_)) {
      std::optional<std::vector<DskFile>> files = dskPlan(app_, false, error_);
      if (!files) return false;
      desktopFiles_ = *files;
    }
    // Each icon line names the file the icon is installed as.
    for (const auto& [index, icon] : iconLines_) {
      for (const DskFile& file : desktopFiles_) {
        if (file.source == icon) text[index] = std::string(kDesktopIcon) + " /usr/share/" + file.path;
      }
    }
    std::string work;
    if (!workDir_.get(&work, &error_)) return false;
    configFile_ = work + "/configuration";
    return writeFile(configFile_, joined(text, "\n") + "\n", 0600);
  }

  bool stageDesktop() {
    for (const DskFile& file : desktopFiles_) {
      std::string path = root_ + "/usr/share/" + file.path;
      // An icon's bytes were read once, when its size was read.
      if (!writeStaged(path, file.text)) return false;
      files_.push_back("/usr/share/" + file.path);
    }
    if (!splash_.first.empty()) {
      if (!writeStaged(root_ + splash_.second, splashBytes_)) return false;
      files_.push_back(splash_.second);
      ownDirs_.push_back("/usr/share/" + request_.name);
    }
    return true;
  }

  // A manual page of section 1, as its .TH (or mdoc's .Dt) line says (the
  // section may be quoted, as generators write it).
  bool checkManual() {
    if (request_.man.empty()) return true;
    std::optional<std::string> page = readSmallFile(request_.man, std::size_t{1} << 20, &error_);
    if (!page) return false;
    if (page->starts_with("\x1f\x8b")) return fail(&error_, packFormat(kCompressedManualMsg, request_.man.c_str()));
    std::istringstream in(*page);
    for (std::string line; std::getline(in, line);) {
      if (!line.starts_with(".TH ") && !line.starts_with(".Dt ")) continue;
      std::istringstream words(line);
      std::string macro, title, section;
      words >> macro >> title >> section;
      if (title.starts_with("\"") && !title.ends_with("\"")) {
        // A quoted title of several words: the section follows its end.
        std::size_t end = line.find('"', line.find('"') + 1);
        std::istringstream rest(end == std::string::npos ? "" : line.substr(end + 1));
        rest >> section;
      }
      if (section.starts_with("\"")) section.erase(0, 1);
      if (section.starts_with("1")) return true;
      break;
    }
    return fail(&error_, packFormat(kNotManualMsg, request_.man.c_str()));
  }

  bool stageManual() {
    if (request_.man.empty() && request_.deb) warnings_.push_back(packFormat(kNoManualMsg, request_.name.c_str()));
    if (request_.man.empty()) return true;
    std::string page = "/usr/share/man/man1/" + request_.name + ".1.gz";
    if (!gzipStaged(request_.man, root_ + page)) return false;
    files_.push_back(page);
    return true;
  }

  // The packages that hold the libraries the packed file needs, by what
  // this system's dpkg knows of their files in the directories a Debian
  // loader searches (not a cross toolchain's, nor another word size's
  // /usr/lib32): a library of another architecture than this system's is
  // found through the package of this one's, as a multiarch library's
  // package has the same name on each.
  std::vector<std::string> libraryPackages() {
    std::set<std::string> searched = {"/lib", "/usr/lib"};
    for (const Architecture& each : kArchitectures) {
      searched.insert(std::string("/lib/") + each.triplet);
      searched.insert(std::string("/usr/lib/") + each.triplet);
    }
    std::vector<std::string> packages;
    for (const std::string& library : needs_.libraries) {
      std::string output;
      std::string why;
      std::string package;
      if (packRunTool({tools_[kDpkg.name], "-S", "*/" + library}, workDir_, -1, &output, &why)) {
        // "zlib1g:amd64: /lib/x86_64-linux-gnu/libz.so.1", one or more
        // packages before the path.
        std::istringstream lines(output);
        for (std::string line; package.empty() && std::getline(lines, line);) {
          std::size_t path = line.find(": /");
          if (path == std::string::npos || line.starts_with("diversion ") ||
              !searched.contains(fs::path(line.substr(path + 2)).parent_path().string())) {
            continue;
          }
          package = line.substr(0, std::min(line.find_first_of(":,"), path));
        }
      }
      if (package.empty()) {
        warnings_.push_back(packFormat(kNotOwnedMsg, library.c_str()));
      } else if (package != "libc6" && std::find(packages.begin(), packages.end(), package) == packages.end()) {
        packages.push_back(package);
      }
    }
    return packages;
  }

  // Whether the application shows a window: the desktop starts it, or it
  // shows a splash image. Then it needs a runtime with a display's
  // libraries, not a headless one.
  bool graphical() const { return !desktopFiles_.empty() || !splash_.first.empty(); }

  std::vector<std::string> debDepends() {
    std::vector<std::string> depends = {needs_.glibc ? "libc6 (>= " + *needs_.glibc + ")" : "libc6"};
    for (const std::string& package : libraryPackages()) depends.push_back(package);
    if (needs_.fonts) depends.insert(depends.end(), {"fontconfig", "fonts-dejavu-core | fonts-freefont-ttf"});
    if (!needs_.runtime) {
      // Debian's default runtime of release N or later, else any runtime
      // that provides release N: a JDK's packages provide each release up
      // to their own (java17-runtime-headless, ...).
      int release = std::max(needs_.javaRelease, 2);
      std::string kind = graphical() ? "" : "-headless";
      depends.push_back("default-jre" + kind + " (>= 2:1." + std::to_string(release) + ") | java" +
                        std::to_string(release < 5 ? 2 : release) + "-runtime" + kind);
    }
    for (const std::string& list : request_.depends) depends.push_back(list);
    return depends;
  }

  std::vector<std::string> rpmRequires() {
    std::string bits = arch_->rpmLibrary;
    std::vector<std::string> requires_ = {"libc.so.6" + (needs_.glibc ? "(GLIBC_" + *needs_.glibc + ")" : "()") + bits};
    for (const std::string& library : needs_.libraries) {
      if (library != "libc.so.6") requires_.push_back(library + "()" + bits);
    }
    // Fedora's and openSUSE's fontconfig pulls in a font.
    if (needs_.fonts) requires_.push_back("fontconfig");
    if (!needs_.runtime) {
      // Every Java package of Fedora and openSUSE provides java-headless
      // with its release as the version (epoch 1), a full one java too.
      requires_.push_back(std::string(graphical() ? "java" : "java-headless") + " >= 1:" +
                          std::to_string(std::max(needs_.javaRelease, 2)));
    }
    for (const std::string& list : request_.depends) {
      std::istringstream items(list);
      for (std::string item; std::getline(items, item, ',');) {
        requires_.push_back(item.substr(item.find_first_not_of(' ')));
      }
    }
    return requires_;
  }

  // The size dpkg tells of an installed package: a KiB for each directory,
  // and each file's size in KiB, rounded up.
  unsigned long long installedSize() const {
    unsigned long long kib = 0;
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(root_, ec)) {
      if (entry.path().string().starts_with(root_ + "/DEBIAN")) continue;
      kib += entry.is_regular_file(ec) ? (entry.file_size(ec) + 1023) / 1024 : 1;
    }
    return kib;
  }

  // The packaging's time, as the changelog and the copyright year write
  // it: SOURCE_DATE_EPOCH's for a reproducible package, else now.
  std::string packagingTime(const char* format) const {
    const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
    std::time_t when = epoch != nullptr && *epoch != '\0' ? static_cast<std::time_t>(std::strtoll(epoch, nullptr, 10))
                                                          : std::time(nullptr);
    char date[64];
    struct tm utc;
    gmtime_r(&when, &utc);
    std::strftime(date, sizeof date, format, &utc);
    return date;
  }

  // DEBIAN/md5sums, which dpkg --verify checks the installed files with.
  bool writeSums() {
    std::vector<std::string> args = {tools_[kMd5sum.name], "--"};
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(root_, ec)) {
      if (entry.is_regular_file(ec) && !entry.path().string().starts_with(root_ + "/DEBIAN/")) {
        args.push_back(entry.path().string());
      }
    }
    std::sort(args.begin() + 2, args.end());
    std::string sums;
    if (!packRunTool(args, workDir_, -1, &sums, &error_)) return false;
    for (std::size_t at = 0; (at = sums.find("  " + root_ + "/", at)) != std::string::npos; at += 2) {
      sums.erase(at + 2, root_.size() + 1);
    }
    return writeStaged(root_ + "/DEBIAN/md5sums", sums);
  }

  bool makeDeb(const std::string& work, std::string* package) {
    const std::string& name = request_.name;
    std::string doc = root_ + "/usr/share/doc/" + name;
    // A version with a revision is no native package's: its changelog is
    // the packaging's, as Debian's policy names it.
    bool revision = request_.version.find('-') != std::string::npos;
    std::string changelog = doc + (revision ? "/changelog.Debian.gz" : "/changelog.gz");
    std::string changelogText = work + "/changelog";
    if (!writeFile(changelogText,
                   packFormat(kChangelog, name.c_str(), request_.version.c_str(), request_.maintainer.c_str(),
                              packagingTime("%a, %d %b %Y %H:%M:%S +0000").c_str()),
                   0644) ||
        !writeStaged(doc + "/copyright", packFormat(kCopyright, name.c_str(), packagingTime("%Y").c_str(), name.c_str(),
                                                    request_.maintainer.c_str())) ||
        !gzipStaged(changelogText, changelog) ||
        !writeStaged(root_ + "/usr/share/lintian/overrides/" + name,
                     packFormat(kLintianOverrides, name.c_str(), name.c_str(), name.c_str(), name.c_str(), name.c_str(), name.c_str(),
                                name.c_str())) ||
        !makeDir(root_ + "/DEBIAN") || !writeSums()) {
      return false;
    }
    std::string depends = joined(debDepends(), ", ");
    if (!writeStaged(root_ + "/DEBIAN/control",
                     packFormat(kControl, name.c_str(), request_.version.c_str(), arch_->deb,
                                request_.maintainer.c_str(),
                                installedSize(), depends.c_str(), request_.description.c_str(), name.c_str()))) {
      return false;
    }
    *package = work + "/package.deb";
    return packRunTool({tools_[kDpkgDeb.name], "--root-owner-group", "--build", root_, *package}, workDir_, -1, nullptr,
                       &error_);
  }

  bool makeRpm(const std::string& work, std::string* package) {
    std::string version = request_.version;
    std::string release = "1";
    if (std::size_t dash = version.rfind('-'); dash != std::string::npos) {
      release = version.substr(dash + 1);
      version.erase(dash);
    }
    // rpm expands macros everywhere in its build recipe: each '%' of the given text
    // is written twice to stay one.
    auto literal = [](std::string text) {
      for (std::size_t at = 0; (at = text.find('%', at)) != std::string::npos; at += 2) text.insert(at, "%");
      return text;
    };
    std::string requires_;
    for (const std::string& item : rpmRequires()) requires_ += "Requires: " + literal(item) + "\n";
    if (!request_.maintainer.empty()) requires_ += "Packager: " + literal(request_.maintainer) + "\n";
    std::string files = command_ + "\n";
    for (const std::string& file : files_) files += file + "\n";
    for (const std::string& dir : ownDirs_) files += "%dir " + dir + "\n";
    std::string recipe = work + "/" + request_.name + ".rpmbuild";
    std::string topdir = work + "/rpm";
    if (!writeFile(recipe,
                   packFormat(kRpmRecipe, request_.name.c_str(), version.c_str(), release.c_str(),
                              literal(request_.description).c_str(), requires_.c_str(), request_.name.c_str(),
                              literal(shellQuoted(root_)).c_str(), files.c_str()),
                   0644)) {
      return false;
    }
    // rpmbuild's scripts stay where it keeps them (/var/tmp), made and
    // removed by it: it runs them by a path it does not quote.
    if (!makeDir(topdir)) return false;
    if (!packRunTool({tools_[kRpmbuild.name], "-bb", "--nodeps", "--quiet", "--target", arch_->rpm, "--define",
                      "_topdir " + topdir, recipe},
                     workDir_, -1, nullptr, &error_)) {
      return false;
    }
    std::error_code ec;
    for (const auto& entry : fs::recursive_directory_iterator(topdir + "/RPMS", ec)) {
      if (entry.path().extension() == ".rpm") *package = entry.path().string();
    }
    return !package->empty() || fail(&error_, packFormat(kNoPackageMsg, kRpmbuild.name));
  }

  // The package, written beside the output and renamed into place.
  bool deliver(const std::string& package) {
    std::string temp = request_.output + ".XXXXXX";
    int fd = packCreateFile(&temp);
    if (fd < 0) return fail(&error_, packFormat(kCannotCreateMsg, request_.output.c_str(), std::strerror(errno)));
    std::ifstream in(package, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    std::string data = bytes.str();
    mode_t mask = umask(0);
    umask(mask);
    bool ok = in && hmdWriteAll(fd, data.data(), data.size()) && fchmod(fd, 0666 & ~mask) == 0;
    ok = close(fd) == 0 && ok;
    // Without --force, a file that appeared meanwhile is not replaced: a
    // second name fails where one exists.
    bool appeared = false;
    if (ok && !request_.force) {
      ok = link(temp.c_str(), request_.output.c_str()) == 0;
      appeared = !ok && errno == EEXIST;
      if (ok) {
        packRemove(temp);
      } else if (!appeared) {
        // A file system without hard links.
        ok = packRenameFile(temp, request_.output);
      }
    } else if (ok) {
      ok = packRenameFile(temp, request_.output);
    }
    if (!ok) {
      int saved = errno;
      packRemove(temp);
      if (appeared) return fail(&error_, packFormat(kOutputExistsMsg, request_.output.c_str()));
      return fail(&error_, packFormat(kCannotWriteMsg, request_.output.c_str(), std::strerror(saved)));
    }
    return true;
  }

  const PackRequest& request_;
  std::vector<std::string>& warnings_;
  std::string& error_;
  std::vector<std::string>& notes_;
  const Architecture* arch_ = nullptr;
  std::map<std::string, std::string> tools_;         ///< each tool's path
  PackWorkDir workDir_;                              ///< the staging tree, the package built, the tools' output
  std::string root_;                                 ///< the staging tree: what the package installs
  std::string command_;                              ///< /usr/bin/NAME
  std::string configFile_;                           ///< the configuration packed, as installed; empty: none
  DskApplication app_;
  std::vector<DskFile> desktopFiles_;
  std::map<std::size_t, std::string> iconLines_;     ///< the desktopicon lines' indexes, and their files
  std::pair<std::string, std::string> splash_;       ///< the splash image, and where it is installed
  std::string splashBytes_;                           ///< its content, read once
  std::vector<std::string> files_;                   ///< what is installed besides the command
  std::vector<std::string> ownDirs_;                 ///< directories that are the package's own
  PackSystemNeeds needs_;
};

}  // namespace

bool packPackage(const PackRequest& request, std::vector<std::string>* warnings, std::string* error,
                 std::vector<std::string>* notes) {
  return PackageMaker(request, *warnings, *error, *notes).run();
}
