// jlauncher-pack's command line.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "pack/pack.h"
#include "version.h"

namespace {

constexpr const char* kUsage =
    "Usage: jlauncher-pack -o OUTPUT [--main-class CLASS] [--config FILE] [--launcher FILE] [--force]\n"
    "                      JAR [JAR...]\n"
    "Makes OUTPUT a single-file Java application: a copy of the launcher followed by one archive that\n"
    "merges the jars, whose comment is the application's configuration.\n"
    "\n"
    "  -o, --output FILE    the executable to write\n"
    "  --main-class CLASS   the class to run (default: the Main-Class of the first jar's manifest)\n"
    "  --config FILE        configuration lines for the application, after its mainclass line\n"
    "  --launcher FILE      the launcher to copy (default: jlauncher beside jlauncher-pack)\n"
    "  --force              replace OUTPUT when it exists\n"
    "  --help               print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "On a path held by more than one jar the first jar's entry is kept; META-INF/services files are\n"
    "joined, signature files are left out, and the manifest is the first jar's.\n";

// The launcher installed beside this program (both go to the same bin).
std::string defaultLauncher() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return "jlauncher";
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/') + 1) + "jlauncher";
}

struct OptionEntry {
  const char* longName;
  const char* shortName;  ///< nullptr when there is none
  std::string PackRequest::*value;  ///< nullptr for a flag
};

const OptionEntry kOptions[] = {
    {"--output", "-o", &PackRequest::output},
    {"--main-class", nullptr, &PackRequest::mainClass},
    {"--config", nullptr, &PackRequest::configFile},
    {"--launcher", nullptr, &PackRequest::launcher},
    {"--force", nullptr, nullptr},
};

int fail(const char* format, const char* argument) {
  std::fputs("jlauncher-pack: error: ", stderr);
  std::fprintf(stderr, format, argument);
  std::fputs(" (see jlauncher-pack --help)\n", stderr);
  return 1;
}

int packMain(int argc, char** argv) {
  PackRequest request;
  bool optionsEnded = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
      request.jars.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("jlauncher-pack %s\n", JLAUNCHER_VERSION);
      return 0;
    }
    std::string name = arg.substr(0, arg.find('='));
    const OptionEntry* option = nullptr;
    for (const OptionEntry& entry : kOptions) {
      if (name == entry.longName || (entry.shortName && name == entry.shortName)) option = &entry;
    }
    if (option == nullptr) return fail("unknown option '%s'", arg.c_str());
    if (option->value == nullptr) {
      if (name != arg) return fail("option '%s' takes no value", name.c_str());
      request.force = true;
    } else if (name != arg) {
      request.*option->value = arg.substr(name.size() + 1);
    } else if (i + 1 < argc) {
      request.*option->value = argv[++i];
    } else {
      return fail("option '%s' needs a value", arg.c_str());
    }
  }
  if (request.output.empty()) return fail("no output given%s: name it with -o", "");
  if (request.launcher.empty()) request.launcher = defaultLauncher();
  return packApplication(request);
}

}  // namespace

int main(int argc, char** argv) {
  // What the standard library throws, memory running out above all, ends the
  // run as any failure does; unwinding to here removes the temporary output.
  try {
    return packMain(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fputs("jlauncher-pack: error: out of memory\n", stderr);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "jlauncher-pack: error: %s\n", error.what());
  }
  return 1;
}
