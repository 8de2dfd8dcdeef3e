#include "cmdline/opt.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>

#include "config/cfg.h"
#include "util/utrace.h"

namespace {

struct OptState {
  std::vector<char*> argv;                 ///< accepted launcher arguments (the process's strings)
  std::vector<std::string> appArgv;        ///< application arguments (owned copies)
  bool shellMode = false;
  bool jpdaEnabled = false;
};

OptState state;

bool equalsPrefixed(std::string_view arg, std::string_view name, bool caseInsensitive) {
  std::string expected = cfgGetCmdPrefix();
  expected += name;
  if (arg.size() != expected.size()) return false;
  if (caseInsensitive) return strncasecmp(arg.data(), expected.data(), arg.size()) == 0;
  return arg == expected;
}

}  // namespace

void optInit() {
  state.argv.clear();
  state.appArgv.clear();
}

void optTerm() {
  state.argv = {};
  state.appArgv = {};
}

// The launcher's option table comes with the command-line work; until then
// "+debug" is the one launcher option, and every other argument goes to the
// application in order.
bool optParseArgument(int* argc, char*** argv) {
  for (int i = 0; i < *argc; ++i) {
    char* arg = (*argv)[i];
    if (equalsPrefixed(arg, "+debug", true)) {
      optSetDebugOn(false, arg);
      optAddArgument(arg);
      ut_tproda("Processed <%s> arg", arg);
    } else {
      optAddApplicationArgument(arg);
      ut_tproda("Processed <%s> application arg", arg);
    }
  }
  *argc = 0;
  *argv = nullptr;
  return true;
}

// Will turn launcher options that the configuration does not enable back into
// application arguments; the interim parser accepts none of those options.
void optConvertDisabledArguments() {}

void optAddArgument(char* arg) { state.argv.push_back(arg); }

void optAddApplicationArgument(std::string_view arg) { state.appArgv.emplace_back(arg); }

void optInsertApplicationArgumentN(std::string_view text, int position) {
  int index = std::clamp(position - 1, 0, optGetApplicationArgCount());
  state.appArgv.emplace(state.appArgv.begin() + index, text);
}

void optInsertApplicationArgument(std::string_view text) { optInsertApplicationArgumentN(text, 1); }

std::optional<std::string> optRemoveApplicationArgumentN(int position) {
  if (position < 1 || position > optGetApplicationArgCount()) return std::nullopt;
  auto at = state.appArgv.begin() + (position - 1);
  std::string removed = std::move(*at);
  state.appArgv.erase(at);
  return removed;
}

int optGetApplicationArgCount() { return static_cast<int>(state.appArgv.size()); }

const std::vector<std::string>& optGetApplicationArgList() { return state.appArgv; }

bool optIsOptionOn(std::string_view name, bool caseInsensitive) {
  for (const char* arg : state.argv) {
    if (equalsPrefixed(arg, name, caseInsensitive)) return true;
  }
  return false;
}

bool optIsShellMode() { return state.shellMode; }

bool optIsJPDAEnabled() { return state.jpdaEnabled; }

void optPrintUsage() {
  // The listing of the launcher options comes with the option table.
  std::fputs(" <+options> <args>\n\nwhere options include:\n", stdout);
}

bool optSetDebugOn(bool /*clear*/, const char* /*arg*/) {
  if (!ut_tison()) ut_tprodon();
  return true;
}
