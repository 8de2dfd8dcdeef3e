// jlauncher-pack's options: one table drives getopt_long and the help text.

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "pack/pack.h"

namespace {

constexpr const char* kUsageHead =
    "Usage: jlauncher-pack -o OUTPUT [--main-class CLASS] [--config FILE] [--launcher FILE] [--arch ARCH]\n"
    "                      [--force] [--keep-jars | --flat] [--allow-external] [--verbose]\n"
    "                      [--runtime DIR | --jlink [--jdk DIR] [--add-modules MODULES] [--strip-debug]\n"
    "                      [--bind-services]] JAR [JAR...]\n"
    "       jlauncher-pack --deb | --rpm -o PACKAGE --name NAME --version VERSION [--maintainer MAINTAINER]\n"
    "                      --description TEXT [--depends LIST] [--man FILE] [the options above] JAR [JAR...]\n"
    "Makes OUTPUT a single-file Java application: a copy of the launcher followed by one archive that\n"
    "holds the jars, whose comment is the application's configuration. With --deb or --rpm, makes\n"
    "PACKAGE a Debian or RPM package that installs it as /usr/bin/NAME.\n"
    "\n";
constexpr const char* kUsageTail =
    "\n"
    "The jars, and the jars their manifests' Class-Path names, are merged into one archive when that\n"
    "changes nothing: files held by more than one jar are the same or of a format merged exactly\n"
    "(ServiceLoader lists, properties descriptors, Spring's files, licences); no jar is signed; no\n"
    "Class-Path names a file left outside. Otherwise the jars are stored whole, and the application\n"
    "extracts them on its first run into the user's cache ($XDG_CACHE_HOME/jlauncher, else\n"
    "$CACHE_DIRECTORY/jlauncher for a service, else ~/.cache/jlauncher). The merged manifest is the\n"
    "first jar's, with each later jar's package attributes as sections. With --flat, of a path that\n"
    "still differs the first jar's entry is kept.\n"
    "A packed runtime is extracted on the first launch into the same cache, which is always safe to\n"
    "remove, and is the Java home unless +javahome or javahome name another.\n"
    "A file from outside the given jars' directories (named by a Class-Path) or outside the runtime\n"
    "(named by its link) is packed only when every user can read it, and is listed; temporary files\n"
    "go to a work directory under TMPDIR (else /tmp), which only root and you may be able to change.\n";

constexpr const char* kSeeHelp = " (see jlauncher-pack --help)";
constexpr const char* kUnknownOptionMsg = "unknown option '%s'";
constexpr const char* kNeedsValueMsg = "option '%s' needs a value";
constexpr const char* kTakesNoValueMsg = "option '%s' takes no value";
constexpr const char* kNoOutputMsg = "no output given: name it with -o";
constexpr const char* kBothLayoutsMsg = "--keep-jars and --flat exclude each other";
constexpr const char* kBothPackagesMsg = "--deb and --rpm exclude each other";
constexpr const char* kPackageOnlyMsg = "%s goes with --deb or --rpm";
constexpr const char* kPackageNeedsMsg = "%s needs %s";
constexpr const char* kBadNameMsg =
    "'%s' cannot name a package: use lower-case letters, digits, '+', '-' and '.', at least two, first a letter or "
    "digit";
constexpr const char* kBadVersionMsg =
    "'%s' is no package version: begin with a digit, then letters, digits, '.', '+', '~' and one '-' (not last)";
constexpr const char* kBadMaintainerMsg = "'%s' is no maintainer: give 'Name <mail address>', a name without commas";
constexpr const char* kBadDescriptionMsg = "--description takes one line of text, not blank";
constexpr const char* kBadDependsMsg = "'%s' is no list of package relations: separate them with commas";

/// One option: how it is written, what --help says of it, and what it does,
/// which is exactly one of storing its value, adding its value to a list,
/// setting a flag or answering a command.
struct PackOption {
  const char* longName;
  char shortName = 0;                          ///< 0: none
  const char* argument = nullptr;              ///< the value's name in the help; null: the option takes none
  const char* help;
  std::string PackRequest::*value = nullptr;   ///< where the value goes
  std::vector<std::string> PackRequest::*list = nullptr;  ///< where the value is added, each time given
  bool PackRequest::*flag = nullptr;           ///< what the option sets
  PackCommand command = PackCommand::kPack;    ///< what the option asks for instead of a pack
  /// With --deb or --rpm, the option takes a value instead, stored here.
  std::string PackRequest::*packageValue = nullptr;
};

constexpr PackOption kOptions[] = {
    {.longName = "output", .shortName = 'o', .argument = "FILE", .help = "the executable to write",
     .value = &PackRequest::output},
    {.longName = "main-class", .argument = "CLASS",
     .help = "the class to run (default: the Main-Class of the first jar's manifest)",
     .value = &PackRequest::mainClass},
    {.longName = "config", .argument = "FILE",
     .help = "configuration lines for the application, after its mainclass line",
     .value = &PackRequest::configFile},
    {.longName = "launcher", .argument = "FILE",
     .help = "the launcher to copy (default: jlauncher beside jlauncher-pack, or for --arch\n"
             "ARCH the one installed in ../lib/jlauncher/ARCH/ beside it)",
     .value = &PackRequest::launcher},
    {.longName = "arch", .argument = "ARCH",
     .help = "pack for the architecture ARCH (x86-64, arm64 or i386) with the launcher\n"
             "built for it (default: the launcher's; see --launcher)",
     .value = &PackRequest::arch},
    {.longName = "force", .help = "replace OUTPUT when it exists", .flag = &PackRequest::force},
    {.longName = "keep-jars", .help = "store the jars whole, even where merging them would be exact",
     .flag = &PackRequest::keepJars},
    {.longName = "flat", .help = "merge the jars even where that is not exact, warning of what is lost",
     .flag = &PackRequest::flat},
    {.longName = "allow-external",
     .help = "keep Class-Path references to files left outside (the jars are then kept whole)",
     .flag = &PackRequest::allowExternal},
    {.longName = "verbose", .help = "tell the layout chosen and every reason for it",
     .flag = &PackRequest::verbose},
    {.longName = "runtime", .argument = "DIR",
     .help = "pack the Java runtime DIR (a JDK or a jlink image) as it is, so that OUTPUT\n"
             "runs where no Java is installed",
     .value = &PackRequest::runtime},
    {.longName = "jlink",
     .help = "pack a runtime that jlink makes with the modules jdeps finds in the jars,\n"
             "from the JDK --jdk names, else JAVA_HOME's, else the one whose jlink is on PATH",
     .flag = &PackRequest::jlink},
    {.longName = "jdk", .argument = "DIR",
     .help = "with --jlink, the JDK whose jdeps, jlink and modules make the runtime; one built\n"
             "for an older glibc makes a runtime that runs on more systems",
     .value = &PackRequest::jdk},
    {.longName = "add-modules", .argument = "MODULES",
     .help = "with --jlink, add these comma-separated modules too (may be repeated)",
     .list = &PackRequest::addModules},
    {.longName = "bind-services",
     .help = "with --jlink, add every module that provides a service the runtime's modules\n"
             "use (jlink's --bind-services), not only those of services the jars name",
     .flag = &PackRequest::bindServices},
    {.longName = "strip-debug", .help = "with --jlink, leave debug information out of the runtime",
     .flag = &PackRequest::stripDebug},
    {.longName = "deb", .help = "write a Debian package that installs the application as /usr/bin/NAME",
     .flag = &PackRequest::deb},
    {.longName = "rpm", .help = "write an RPM package that installs the application as /usr/bin/NAME",
     .flag = &PackRequest::rpm},
    {.longName = "name", .argument = "NAME", .help = "the package's name, and the installed command's",
     .value = &PackRequest::name},
    {.longName = "maintainer", .argument = "MAINTAINER",
     .help = "the package's maintainer, as 'Name <mail address>' (needed by --deb)",
     .value = &PackRequest::maintainer},
    {.longName = "description", .argument = "TEXT", .help = "what the package holds, in one line",
     .value = &PackRequest::description},
    {.longName = "depends", .argument = "LIST",
     .help = "comma-separated package relations added to those computed (may be repeated)",
     .list = &PackRequest::depends},
    {.longName = "man", .argument = "FILE", .help = "a manual page of section 1 installed as NAME(1)",
     .value = &PackRequest::man},
    {.longName = "help", .help = "print this help and exit", .command = PackCommand::kHelp},
    {.longName = "version",
     .help = "print the version and what the launcher needs, and exit; with --deb or --rpm,\n"
             "--version VERSION is the package's version",
     .command = PackCommand::kVersion, .packageValue = &PackRequest::version},
};
constexpr int kOptionCount = static_cast<int>(std::size(kOptions));

// What getopt_long returns for the option of row i: its letter, or a code
// past every character for an option without one.
int optionCode(int i) { return kOptions[i].shortName != 0 ? kOptions[i].shortName : 256 + i; }

// How an option is shown in the help's left column.
std::string optionSynopsis(const PackOption& option) {
  std::string synopsis;
  if (option.shortName != 0) synopsis = std::string("-") + option.shortName + ", ";
  synopsis += std::string("--") + option.longName;
  if (option.argument != nullptr) synopsis += std::string(" ") + option.argument;
  return synopsis;
}

// The row whose getopt_long code this is, or null.
const PackOption* findOption(int code) {
  for (int i = 0; i < kOptionCount; ++i) {
    if (optionCode(i) == code) return &kOptions[i];
  }
  return nullptr;
}

// Refuses the command line; the argument replaces the message's "%s", if
// it has one.
bool fail(std::string* error, std::string message, const std::string& argument = "") {
  if (std::size_t at = message.find("%s"); at != std::string::npos) message.replace(at, 2, argument);
  *error = message + kSeeHelp;
  return false;
}

}  // namespace

std::string packUsage() {
  std::size_t width = 0;
  for (const PackOption& option : kOptions) width = std::max(width, optionSynopsis(option).size());
  std::string usage = kUsageHead;
  for (const PackOption& option : kOptions) {
    std::string synopsis = optionSynopsis(option);
    // A help of more than one line goes on under its first.
    std::string help = option.help;
    for (std::size_t at = 0; (at = help.find('\n', at)) != std::string::npos; at += width + 6) {
      help.insert(at + 1, width + 5, ' ');
    }
    usage += "  " + synopsis + std::string(width + 3 - synopsis.size(), ' ') + help + "\n";
  }
  return usage + kUsageTail;
}

namespace {

// A package name as Debian's policy allows one, which RPM takes too.
bool isPackageName(const std::string& name) {
  return name.size() >= 2 && std::isalnum(static_cast<unsigned char>(name[0])) &&
         std::all_of(name.begin(), name.end(), [](char c) {
           return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
         });
}

// A version both formats read alike: no epoch, which RPM has no place for;
// the part after the last '-' is the Debian revision, or the RPM release.
// RPM's version itself has no '-': one at most, before the release.
bool isPackageVersion(const std::string& version) {
  return !version.empty() && std::isdigit(static_cast<unsigned char>(version[0])) && !version.ends_with("-") &&
         std::count(version.begin(), version.end(), '-') <= 1 &&
         std::all_of(version.begin(), version.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '+' || c == '~' || c == '-';
         });
}

bool hasControl(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

bool isMaintainer(const std::string& text) {
  std::size_t open = text.find(" <");
  // A comma in the name would make it two maintainers.
  return open != std::string::npos && open > 0 && text.find(',') == std::string::npos && text.ends_with(">") &&
         text.find('@', open) != std::string::npos &&
         text.find_first_of("<>", open + 2) == text.size() - 1 && !hasControl(text);
}

// The package options: given only with a package, complete and well formed.
bool checkPackage(const PackRequest& request, std::string* error) {
  const struct {
    const char* option;
    bool given;
  } packageOnly[] = {{"--name", !request.name.empty()},           {"--maintainer", !request.maintainer.empty()},
                     {"--description", !request.description.empty()}, {"--depends", !request.depends.empty()},
                     {"--man", !request.man.empty()}};
  if (request.deb && request.rpm) return fail(error, kBothPackagesMsg);
  if (!request.deb && !request.rpm) {
    for (const auto& option : packageOnly) {
      if (option.given) return fail(error, kPackageOnlyMsg, option.option);
    }
    return true;
  }
  const char* kind = request.deb ? "--deb" : "--rpm";
  const struct {
    bool missing;
    const char* what;
  } needed[] = {{request.name.empty(), "--name NAME"},
                {request.version.empty(), "--version VERSION"},
                {request.deb && request.maintainer.empty(), "--maintainer 'Name <mail address>'"},
                {request.description.empty(), "--description TEXT"}};
  for (const auto& need : needed) {
    if (need.missing) return fail(error, packFormat(kPackageNeedsMsg, kind, need.what));
  }
  if (!isPackageName(request.name)) return fail(error, kBadNameMsg, request.name);
  if (!isPackageVersion(request.version)) return fail(error, kBadVersionMsg, request.version);
  if (!request.maintainer.empty() && !isMaintainer(request.maintainer)) {
    return fail(error, kBadMaintainerMsg, request.maintainer);
  }
  if (hasControl(request.description) || request.description.find_first_not_of(' ') == std::string::npos) {
    return fail(error, kBadDescriptionMsg);
  }
  for (const std::string& list : request.depends) {
    bool empty = false;
    std::istringstream items(list + ",");
    for (std::string item; std::getline(items, item, ',');) {
      empty = empty || item.find_first_not_of(' ') == std::string::npos;
    }
    if (empty || hasControl(list)) return fail(error, kBadDependsMsg, list);
  }
  return true;
}

// Whether the command line asks for a package, which gives --version a
// value: --deb or --rpm before any "--".
bool asksForPackage(int argc, char* argv[]) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--") break;
    if (arg == "--deb" || arg == "--rpm") return true;
  }
  return false;
}

}  // namespace

bool packReadCommandLine(int argc, char* argv[], PackRequest* request, PackCommand* command, std::string* error) {
  bool package = asksForPackage(argc, argv);
  // '-': jars come back in order as code 1, so options may follow them
  // whatever POSIXLY_CORRECT says; ':': a missing value is told from an
  // unknown option.
  std::string shortOptions = "-:";
  std::vector<option> longOptions;
  for (int i = 0; i < kOptionCount; ++i) {
    const PackOption& row = kOptions[i];
    if (row.shortName != 0) shortOptions += std::string(1, row.shortName) + (row.argument ? ":" : "");
    bool valued = row.argument != nullptr || (package && row.packageValue != nullptr);
    longOptions.push_back({row.longName, valued ? required_argument : no_argument, nullptr, optionCode(i)});
  }
  longOptions.push_back({nullptr, 0, nullptr, 0});

  *command = PackCommand::kPack;
  // The messages are ours; 0 starts a fresh scan, as every call must.
  opterr = 0;
  optind = 0;
  for (int code; (code = getopt_long(argc, argv, shortOptions.c_str(), longOptions.data(), nullptr)) != -1;) {
    // The argument just read; a missing value can only be the last.
    const std::string read = argv[optind - 1];
    if (code == 1) {
      request->jars.emplace_back(optarg);
      continue;
    }
    if (code == ':') return fail(error, kNeedsValueMsg, read);
    // optopt is 0 for an unknown long option, the letter of an unknown short
    // one, and the code of an option without a value that was given one.
    if (code == '?' && optopt == 0) return fail(error, kUnknownOptionMsg, read);
    const PackOption* option = findOption(code == '?' ? optopt : code);
    if (option == nullptr) return fail(error, kUnknownOptionMsg, std::string{'-', static_cast<char>(optopt)});
    if (code == '?') return fail(error, kTakesNoValueMsg, read.substr(0, read.find('=')));
    if (package && option->packageValue != nullptr) {
      request->*option->packageValue = optarg;
    } else if (option->value != nullptr) {
      // -o=FILE names FILE, as it always has and as --output=FILE does.
      bool attached = optarg == argv[optind - 1] + 2;
      request->*option->value = attached && optarg[0] == '=' ? optarg + 1 : optarg;
    } else if (option->list != nullptr) {
      (request->*option->list).emplace_back(optarg);
    } else if (option->flag != nullptr) {
      request->*option->flag = true;
    } else {
      *command = option->command;
      return true;
    }
  }
  for (int i = optind; i < argc; ++i) request->jars.emplace_back(argv[i]);
  if (request->output.empty()) return fail(error, kNoOutputMsg);
  if (request->keepJars && request->flat) return fail(error, kBothLayoutsMsg);
  return checkPackage(*request, error);
}
