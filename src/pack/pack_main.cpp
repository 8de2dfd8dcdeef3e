// jlauncher-pack: reads the command line, packs, and reports.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "pack/pack.h"
#include "version.h"

namespace {

constexpr const char* kNotePrefix = "jlauncher-pack: ";
constexpr const char* kWarningPrefix = "jlauncher-pack: warning: ";
constexpr const char* kErrorPrefix = "jlauncher-pack: error: ";
constexpr const char* kOutOfMemoryMsg = "out of memory";

// The directory of this program, where the launcher is installed beside it
// (both go to the same bin); "." when unknown.
std::string packerDirectory() {
  char self[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return ".";
  std::string path(self, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

bool packMain(int argc, char** argv, std::vector<std::string>* notes, std::vector<std::string>* warnings,
              std::string* error) {
  PackRequest request;
  PackCommand command;
  if (!packReadCommandLine(argc, argv, &request, &command, error)) return false;
  if (command != PackCommand::kHelp && !packChooseLauncher(&request, packerDirectory(), error)) return false;
  switch (command) {
    case PackCommand::kHelp:
      std::fputs(packUsage().c_str(), stdout);
      return true;
    case PackCommand::kVersion:
      std::printf("jlauncher-pack %s\n%s\n", JLAUNCHER_VERSION, packDescribeLauncher(request.launcher).c_str());
      return true;
    case PackCommand::kPack:
      break;
  }
  if (request.deb || request.rpm) return packPackage(request, warnings, error, notes);
  return packApplication(request, warnings, error, notes);
}

// The one place jlauncher-pack's messages are written: what it says of the
// layout, the warnings, then the error that ended the run, if it failed.
void report(const std::vector<std::string>& notes, const std::vector<std::string>& warnings,
            const std::string* error) {
  for (const std::string& note : notes) std::fprintf(stderr, "%s%s\n", kNotePrefix, note.c_str());
  for (const std::string& warning : warnings) std::fprintf(stderr, "%s%s\n", kWarningPrefix, warning.c_str());
  if (error != nullptr) std::fprintf(stderr, "%s%s\n", kErrorPrefix, error->c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> notes;
  std::vector<std::string> warnings;
  std::string error;
  bool ok = false;
  // What the standard library throws, memory running out above all, ends the
  // run as any failure does; unwinding to here removes the temporary output.
  // A signal's answer removes it too, and ends the process by that signal,
  // saying nothing more.
  try {
    ok = packCatchSignals(&error) && packMain(argc, argv, &notes, &warnings, &error);
  } catch (const std::bad_alloc&) {
    error = kOutOfMemoryMsg;
  } catch (const std::exception& exception) {
    error = exception.what();
  }
  packEndRun();
  report(notes, warnings, ok ? nullptr : &error);
  return ok ? 0 : 1;
}
