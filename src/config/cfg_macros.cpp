// Macro expansion of configuration lines and the configuration variables.
//
// Grammar of a macro, recognised wherever a '$' appears in a line:
//
//   macro   := '$' kind '(' name [ ':' default ] ')'
//   kind    := var | sys | file | findup | regThenEnv | envThenReg | env
//              | reg (compared ignoring case)
//   name    := the text after the '(' up to the first ':' or ')'; not empty
//   default := the text after that ':' up to the first ')'
//
// The macro ends at the first ')' after its '(', so macros do not nest:
// "$env($var(X))" asks for the environment variable "$var(X" and leaves the
// last ')' in the line. Inserted values are never scanned again. A malformed
// or unknown macro is traced and the rest of the line, from its '$' on, is
// kept as written; later macros of that line are not expanded.
//
// A line that grows past the line limit stops at once: a few lines that
// each double a variable would otherwise ask for more memory than any
// machine has.

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "config/cfg.h"
#include "config/cfg_state.h"
#include "config/fil.h"
#include "host/hmd.h"
#include "util/platform.h"
#include "jvmoptions/jop.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

/// Longest macro name and longest default. Longer texts are cut rather than
/// refused, so that a line never fails because of its macros.
constexpr std::size_t kMacroTextMax = 4096;
/// Capacity the output buffer starts with; most lines fit without growing.
constexpr std::size_t kLineBufferStart = 1024;

constexpr char kMalformedMacro[] = "Malformed macro <%s>";
constexpr char kUnrecognisedMacro[] = "Unrecognised macro <%s>";
constexpr char kUndefinedVariable[] = "Undefined variable <%s>";
constexpr char kUnknownValue[] = "<UNKNOWN>";
constexpr char kCallersEnvironment[] = "Taking the default of $env(%s): a set-ID launcher reads no caller's environment";
constexpr char kCallersDirectory[] =
    "Taking the default of $findup(%s): a set-ID launcher searches no caller's directory";

/// Parses the macro that text begins with (text starts at its '$').
/// Fills name and defaultValue, each cut to limit characters, and returns
/// the number of characters up to and including the macro's ')'. Returns 0
/// with an empty name when there is no '(' or no ')' after it; the name is
/// also empty when nothing stands between the '(' and the ':' or ')'.
std::size_t cfgGetMacroValueName(std::string_view text, std::string& name, std::string& defaultValue,
                                 std::size_t limit);
/// Appends the first n characters of text to the output buffer.
void cfgCopyNToLine(std::string_view text, std::size_t n);
/// Appends the environment variable name (an empty value counts), else the default.
void cfgExpandEnvMacro(const std::string& name, const std::string& defaultValue);
/// Appends the registry value name, else the default.
void cfgExpandRegMacro(const std::string& name, const std::string& defaultValue);
/// Appends the registry value, else the environment variable, else the default.
void cfgExpandRegThenEnvMacro(const std::string& name, const std::string& defaultValue);
/// Appends the environment variable, else the registry value, else the default.
void cfgExpandEnvThenRegMacro(const std::string& name, const std::string& defaultValue);
/// Appends a built-in value, an application argument or a configuration
/// variable; "<UNKNOWN>" (traced) when there is none.
void cfgExpandVarMacro(const std::string& name, const std::string& defaultValue);
/// Appends name with every backslash turned into '/'.
void cfgExpandFileMacro(const std::string& name);
/// Appends the nearest directory, from the working directory up to (not
/// including) the root, that holds a directory called name; else the
/// default, or the working directory when the default is empty.
void cfgExpandFindUpMacro(const std::string& name, const std::string& defaultValue);

using MacroHandler = void (*)(const std::string& name, const std::string& defaultValue);

/// One kind of macro: the text that starts it and what it inserts.
struct MacroKind {
  const char* prefix;   ///< "$kind(", matched ignoring case
  MacroHandler expand;  ///< appends the macro's value
  bool takesDefault;    ///< false: a non-empty default makes the macro malformed
};

// Every prefix ends with '(', so none is a prefix of another and the order
// only matters for reading.
const MacroKind kMacroKinds[] = {
    {"$var(", cfgExpandVarMacro, true},
    {"$sys(", cfgExpandVarMacro, true},
    {"$file(", [](const std::string& name, const std::string&) { cfgExpandFileMacro(name); }, false},
    {"$findup(", cfgExpandFindUpMacro, true},
    {"$regThenEnv(", cfgExpandRegThenEnvMacro, true},
    {"$envThenReg(", cfgExpandEnvThenRegMacro, true},
    {"$env(", cfgExpandEnvMacro, true},
    {"$reg(", cfgExpandRegMacro, true},
};

/// A built-in of $var( and $sys(. A value of none hands the name on to the
/// variable lookup.
struct BuiltInVar {
  const char* name;  ///< matched ignoring case
  std::optional<std::string> (*value)();
};

// A directory that cannot be named (removed, or too long) is "" rather
// than a half path.
std::string workingDirectory() {
  char buffer[kPathMax];
  return getcwd(buffer, sizeof buffer) ? buffer : "";
}

const BuiltInVar kBuiltInVars[] = {
    // Deliberately not normalised: configurations get exactly this text.
    {"installRoot", [] { return std::optional<std::string>(hmdGetFullLauncherPath() + "/.."); }},
    {"JDKHome",
     [] {
       const char* home = jopGetJavaHome();
       return home ? std::optional<std::string>(home) : std::nullopt;
     }},
    {"CWD", [] { return std::optional<std::string>(workingDirectory()); }},
    {"PID", [] { return std::optional<std::string>(std::to_string(getpid())); }},
    {"fileSep", [] { return std::optional<std::string>("/"); }},
    {"pathSep", [] { return std::optional<std::string>(":"); }},
};

const MacroKind* findMacroKind(std::string_view macro) {
  for (const MacroKind& kind : kMacroKinds) {
    const std::string_view prefix = kind.prefix;
    if (macro.size() >= prefix.size() && strncasecmp(macro.data(), prefix.data(), prefix.size()) == 0) return &kind;
  }
  return nullptr;
}

std::optional<std::string> environmentValue(const std::string& name) {
  // The caller of a set-ID launcher owns its environment: like sudo, the
  // launcher takes none of it, so that no caller chooses an option, a file
  // or a class path through a macro.
  if (utlIsSetIdMode()) {
    ut_tproda(kCallersEnvironment, name.c_str());
    return std::nullopt;
  }
  const char* value = hmdGetEnvironmentValue(name.c_str());
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void appendValue(const std::optional<std::string>& value, const std::string& defaultValue) {
  const std::string& text = value ? *value : defaultValue;
  cfgCopyNToLine(text, text.size());
}

/// The 1-based application argument position that name spells, when it is a
/// whole decimal integer (sign allowed) other than 0 within the argument count.
std::optional<int> argumentPosition(std::string_view name) {
  std::string_view digits = name;
  const bool negative = !digits.empty() && digits.front() == '-';
  if (!digits.empty() && (digits.front() == '-' || digits.front() == '+')) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  int magnitude = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
  // An overflowing number cannot be within the argument count anyway.
  if (error != std::errc{} || end != digits.data() + digits.size()) return std::nullopt;
  if (magnitude == 0 || magnitude > static_cast<int>(cfgGetApplicationArguments().size())) return std::nullopt;
  return negative ? -magnitude : magnitude;
}

std::size_t cfgGetMacroValueName(std::string_view text, std::string& name, std::string& defaultValue,
                                 std::size_t limit) {
  name.clear();
  defaultValue.clear();
  const std::size_t open = text.find('(');
  if (open == std::string_view::npos) return 0;
  const std::size_t close = text.find(')', open + 1);
  if (close == std::string_view::npos) return 0;

  const std::string_view inside = text.substr(open + 1, close - open - 1);
  const std::size_t colon = inside.find(':');
  name.assign(inside.substr(0, std::min(colon, limit)));
  if (colon != std::string_view::npos) {
    const std::string_view rest = inside.substr(colon + 1);
    defaultValue.assign(rest.substr(0, std::min(rest.size(), limit)));
  }
  return close + 1;
}

void cfgCopyNToLine(std::string_view text, std::size_t n) {
  CfgState& state = cfgState();
  n = std::min(n, text.size());
  if (state.lineTooLong || state.lineBuffer.size() + n > kMaxLineLength) {
    state.lineTooLong = true;
    return;
  }
  state.lineBuffer.append(text.substr(0, n));
}

void cfgExpandEnvMacro(const std::string& name, const std::string& defaultValue) {
  appendValue(environmentValue(name), defaultValue);
}

void cfgExpandRegMacro(const std::string& name, const std::string& defaultValue) {
  appendValue(hmdGetNimbrelProperty(name.c_str()), defaultValue);
}

void cfgExpandRegThenEnvMacro(const std::string& name, const std::string& defaultValue) {
  std::optional<std::string> value = hmdGetNimbrelProperty(name.c_str());
  if (!value) value = environmentValue(name);
  appendValue(value, defaultValue);
}

void cfgExpandEnvThenRegMacro(const std::string& name, const std::string& defaultValue) {
  std::optional<std::string> value = environmentValue(name);
  if (!value) value = hmdGetNimbrelProperty(name.c_str());
  appendValue(value, defaultValue);
}

void cfgExpandVarMacro(const std::string& name, const std::string& defaultValue) {
  for (const BuiltInVar& builtIn : kBuiltInVars) {
    if (strcasecmp(name.c_str(), builtIn.name) != 0) continue;
    if (std::optional<std::string> value = builtIn.value()) {
      appendValue(value, "");
      return;
    }
    break;  // JDKHome before a Java home is known: try the variables
  }
  std::optional<std::string> value = cfgGetVar(name, defaultValue);
  if (!value) {
    ut_tproda(kUndefinedVariable, name.c_str());
    value = kUnknownValue;
  }
  appendValue(value, "");
}

void cfgExpandFileMacro(const std::string& name) {
  std::string path = name;
  utlFixDirSeparators(path);
  cfgCopyNToLine(path, path.size());
}

// The search Maven's own mvn script makes for a project's .mvn directory,
// so that a recipe finds the directory mvn finds: the root is left out. The
// start is the working directory as $var(CWD) names it, links resolved.
void cfgExpandFindUpMacro(const std::string& name, const std::string& defaultValue) {
  // The working directory and the directories above it are the caller's: a
  // set-ID launcher that read a file found there would let the caller choose
  // its options.
  if (utlIsSetIdMode()) {
    ut_tproda(kCallersDirectory, name.c_str());
    appendValue(std::nullopt, defaultValue);
    return;
  }
  const std::string start = workingDirectory();
  for (std::string directory = start; directory.size() > 1;
       directory.erase(std::max<std::size_t>(directory.rfind('/'), 1))) {
    struct stat info;
    if (stat((directory + "/" + name).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      appendValue(directory, "");
      return;
    }
  }
  appendValue(std::nullopt, defaultValue.empty() ? start : defaultValue);
}

}  // namespace

std::optional<std::string> cfgExpandMacros(std::string_view text) {
  std::string& line = cfgState().lineBuffer;
  line.clear();
  cfgState().lineTooLong = false;
  if (line.capacity() < kLineBufferStart) line.reserve(kLineBufferStart);

  std::string name;
  std::string defaultValue;
  while (!text.empty()) {
    const std::size_t dollar = text.find('$');
    if (dollar == std::string_view::npos) break;
    cfgCopyNToLine(text, dollar);
    text.remove_prefix(dollar);

    const std::size_t length = cfgGetMacroValueName(text, name, defaultValue, kMacroTextMax);
    const MacroKind* kind = name.empty() ? nullptr : findMacroKind(text);
    if (name.empty() || (kind && !kind->takesDefault && !defaultValue.empty())) {
      ut_tproda(kMalformedMacro, std::string(text).c_str());
      break;
    }
    if (!kind) {
      ut_tproda(kUnrecognisedMacro, std::string(text).c_str());
      break;
    }
    kind->expand(name, defaultValue);
    if (cfgState().lineTooLong) return std::nullopt;
    text.remove_prefix(length);
  }
  // Whatever is left holds no macro to expand: plain text, or a bad macro
  // and everything after it.
  cfgCopyNToLine(text, text.size());
  if (cfgState().lineTooLong) return std::nullopt;
  return line;
}

std::optional<std::string> cfgGetVar(std::string_view name, std::string_view defaultValue) {
  if (std::optional<int> position = argumentPosition(name)) {
    // A negative position consumes the argument, so that a configuration can
    // take an argument for itself without passing it on to the application.
    if (*position < 0) return cfgRemoveApplicationArgument(-*position);
    return cfgGetApplicationArguments()[static_cast<std::size_t>(*position - 1)];
  }
  if (const char* value = utlListGet(cfgState().configVars, name)) return std::string(value);
  if (!defaultValue.empty()) return std::string(defaultValue);
  return std::nullopt;
}

void cfgAddVar(std::string_view text) { utlListAddNameEqualValue(cfgState().configVars, text); }
