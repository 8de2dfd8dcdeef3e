// opt = options of the launcher's command line: the table of launcher
// options and parsing. The application's arguments it finds are added to the
// list the configuration owns (cfg…ApplicationArgument…), under opt's names.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// What an option takes besides its name.
enum class OptionArg {
  kNone,          ///< nothing
  kNextArgument,  ///< the next command-line argument, which must be there
  kConstant,      ///< nothing from the command line: the row's constant
};

/// What an option's handler receives besides the argument itself.
struct OptionValue {
  const char* text = nullptr;  ///< the next command-line argument (OptionArg::kNextArgument)
  int number = 0;              ///< the row's constant (OptionArg::kConstant)
};

/// An option handler: clear is false when the option is applied and true when
/// its effect is to be undone. Returns false when it refuses the argument.
using OptionHandler = bool (*)(bool clear, const char* arg, const OptionValue& value);

/// One row of the launcher option table, written with designated
/// initialisers: a field left out has its default.
struct LauncherOption {
  const char* name;                         ///< with its leading '+' or '-'
  bool prefixMatch = false;                 ///< an argument that begins with the name matches
  OptionHandler handler = nullptr;          ///< run when the option is met; may be null
  OptionArg arg = OptionArg::kNone;         ///< what the option takes besides its name
  int constant = 0;                         ///< handed to the handler when arg is kConstant
  bool stopsParsing = false;                ///< parsing ends after this option
  bool showInUsage = false;                 ///< listed by optPrintUsage (when available)
  bool (*availability)() = nullptr;         ///< whether the configuration enables the option; may be null
  bool caseInsensitive = false;             ///< the name is compared without regard to case
  const char* argDescription = "";          ///< printed after the name in the usage listing
  const char* helpText = "";                ///< printed below it
  /// Refused in set-ID mode: it chooses code or files the JVM uses, or shows
  /// the configuration, which the caller may not be allowed to read.
  bool refusedWhenSetId = false;
  /// The rest of the argument names a file whose words stand in its place,
  /// read as java reads an @file. Words from a file are not expanded again.
  bool readsArgumentFile = false;
};

/// The launcher options, in matching order.
extern const LauncherOption javaOptionsList[];
extern const int javaOptionsListCount;

/// Empties both argument lists and the option state.
void optInit();
/// Releases both argument lists.
void optTerm();
/// Splits the arguments into launcher options and application arguments.
/// On return argc/argv describe the arguments from an option that stops
/// parsing to the end (or 0 and null). False when an option lacks its value
/// or its handler refused it.
bool optParseArgument(int* argc, char*** argv);
/// True when the last parse stopped at an option that a set-ID launcher
/// refuses (already reported): the launch ends without the help text.
bool optWasOptionRefused();
/// Turns launcher options that the configuration does not enable into
/// application arguments, and drops the application-argument copies of those
/// it enables.
void optConvertDisabledArguments();

/// Records an accepted launcher argument (the process's own string).
void optAddArgument(char* arg);
/// Appends a copy of arg to the application arguments.
void optAddApplicationArgument(std::string_view arg);
/// Inserts a copy of text so that it becomes the argument at the 1-based
/// position: below 1 counts as 1, beyond the end appends.
void optInsertApplicationArgumentN(std::string_view text, int position);
/// Inserts a copy of text in front of the application arguments.
void optInsertApplicationArgument(std::string_view text);
/// Removes and returns the argument at the 1-based position (1 to the count);
/// none beyond the end.
std::optional<std::string> optRemoveApplicationArgumentN(int position);
int optGetApplicationArgCount();
const std::vector<std::string>& optGetApplicationArgList();
/// The recorded launcher arguments (options and their values).
const std::vector<char*>& optGetArgumentList();

/// Removes the first application argument matching name (exactly, or as a
/// prefix when prefixMatch is set) and hands it over. With a value place, the
/// argument after it is removed and handed over too; when the match is the
/// last argument, the caller gets a copy of it, no value, and the list stays.
void optRemoveApplicationArgument(std::string_view name, bool prefixMatch, std::optional<std::string>* arg,
                                  std::optional<std::string>* value);
/// The same on the recorded launcher arguments; the texts stay the
/// process's. When the match is last and a value is wanted, only the match is
/// removed.
void optRemoveArgument(std::string_view name, bool prefixMatch, const char** arg, const char** value);

/// True when a recorded launcher argument equals the command prefix followed
/// by name (ignoring case when caseInsensitive is set).
bool optIsOptionOn(std::string_view name, bool caseInsensitive);
bool optIsShellMode();
/// +check was given: the launch stops right before the entry call.
bool optIsCheck();
bool optIsJPDAEnabled();
/// The command line's start mode when it gave one, else the configuration's.
bool optIsJPDAStartPaused();
/// The command line's debugger address when it gave one, else the configuration's.
const char* optGetJPDAAddr();
const char* optGetServiceName();
/// The image of the command line's -splash:<image> (or +J-splash:<image>),
/// the last one given; none without one.
const std::optional<std::string>& optGetSplashImage();
/// Prints the option part of the usage text.
void optPrintUsage();

bool optSetDebugOn(bool clear, const char* arg, const OptionValue& value);
bool optSetConfigFile(bool clear, const char* arg, const OptionValue& value);
bool optSetShellMode(bool clear, const char* arg, const OptionValue& value);
bool optSetCheck(bool clear, const char* arg, const OptionValue& value);
bool optSetJavaHome(bool clear, const char* arg, const OptionValue& value);
bool optAddProp(bool clear, const char* arg, const OptionValue& value);
bool optAddParam(bool clear, const char* arg, const OptionValue& value);
bool optAddJvmOption(bool clear, const char* arg, const OptionValue& value);
bool optSetSplashImage(bool clear, const char* arg, const OptionValue& value);
bool optSetJVMSubType(bool clear, const char* arg, const OptionValue& value);
bool optSetCmdLineClassPath(bool clear, const char* arg, const OptionValue& value);
bool optSetJPDA(bool clear, const char* arg, const OptionValue& value);
bool optSetSig(bool clear, const char* arg, const OptionValue& value);
bool optSetServiceName(bool clear, const char* arg, const OptionValue& value);
