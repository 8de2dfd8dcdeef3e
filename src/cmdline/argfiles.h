// What a user of the java command already writes: argument files (@file)
// and the JDK_JAVA_OPTIONS variable, read by java's own rules so that moving
// from java to the launcher brings no surprise.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The words of an argument file as java splits them: white space separates
/// words; '...' and "..." keep white space, and in them a backslash escapes
/// the next character (\n, \r, \t, \f as control characters) or, before the
/// end of a line, joins the next line without its leading white space; # out
/// of quotes comments out the rest of the line, with the word it began in;
/// the end of a line ends a word even in an open quote.
std::vector<std::string> argSplitArgumentFile(std::string_view text);

/// The words of an argument file, or nullopt when it cannot be read.
std::optional<std::vector<std::string>> argReadArgumentFile(const std::string& path);

/// java's message for an argument file it cannot read.
std::string argOpenFailureMessage(const std::string& path);

/// Where a version banner asked for in JDK_JAVA_OPTIONS is printed.
enum class VersionBanner {
  kNone,
  kStandardError,   ///< -showversion: java -version's text
  kStandardOutput,  ///< --show-version: java --version's text
};

/// What JDK_JAVA_OPTIONS asks of a launch.
struct JdkJavaOptions {
  std::vector<std::string> jvmOptions;  ///< for the JVM, in order, ahead of the command line's
  VersionBanner banner = VersionBanner::kNone;
  std::string error;  ///< java's message (one line, no newline) when the value is refused
};

/// Reads a JDK_JAVA_OPTIONS value as java does: words split on white space
/// with '...' and "..." kept whole (no escapes), argument files expanded
/// (not those they name), options that take a separate value taken with it
/// and given to the JVM in its name=value form, the class path options as
/// the class path (wildcards expanded), the version banner options noted, and
/// java's refusals of a main class and of options that replace or end the
/// launch.
JdkJavaOptions argReadJdkJavaOptions(std::string_view value);

/// The expansion of a class path as java gives it for -cp: an element "*" or
/// ending in "/*" stands for the .jar and .JAR files of its directory, in the
/// byte order of their names.
std::string argExpandClassPathWildcards(std::string_view classPath);
