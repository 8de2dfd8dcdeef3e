// The launcher's command line: launcher options and application arguments.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// Empties both argument lists.
void optInit();
/// Releases both argument lists.
void optTerm();
/// Splits the arguments into launcher options and application arguments.
/// On return argc/argv describe what is left after an option that stops
/// parsing (or 0 and null). False when an option lacks its value or its
/// handler refused it.
bool optParseArgument(int* argc, char*** argv);
/// Turns launcher options that the configuration does not enable into
/// application arguments.
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

/// True when a recorded launcher argument equals the command prefix followed
/// by name (ignoring case when caseInsensitive is set).
bool optIsOptionOn(std::string_view name, bool caseInsensitive);
bool optIsShellMode();
bool optIsJPDAEnabled();
/// Prints the option part of the usage text.
void optPrintUsage();

/// Handler of "+debug": switches production tracing on unless level tracing is on.
bool optSetDebugOn(bool clear, const char* arg);
