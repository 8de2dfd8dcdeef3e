// jop_javacmd: what a user of the java command already writes: argument files
// (@file) and the JDK_JAVA_OPTIONS variable, read by java's own rules so that
// moving from java to the launcher brings no surprise.
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
std::vector<std::string> jopSplitArgumentFile(std::string_view text);

/// The words of an argument file, or nullopt when it cannot be read.
std::optional<std::vector<std::string>> jopReadArgumentFile(const std::string& path);

/// java's message for an argument file it cannot read.
std::string jopArgumentFileOpenMessage(const std::string& path);

/// Where a version banner asked for in JDK_JAVA_OPTIONS is printed.
enum class VersionBanner {
  kNone,
  kStandardError,   ///< -showversion: java -version's text
  kStandardOutput,  ///< --show-version: java --version's text
};

/// What options written for the java command ask of a launch.
struct JavaCommandOptions {
  std::vector<std::string> jvmOptions;  ///< for the JVM, in order
  VersionBanner banner = VersionBanner::kNone;
  /// The image of -splash:<image> (the last one given): the launcher shows
  /// it before the JVM starts, as java does; it is no JVM option.
  std::optional<std::string> splash;
  std::string error;  ///< java's message (one line, no newline) when the options are refused
};

/// Options as the java command takes them on its command line, made what
/// the JVM takes: an option with a separate value (--add-opens X, -p X ...)
/// becomes the JVM's name=value form, the class path options (-cp X,
/// --class-path=X ...) the java.class.path property (wildcards expanded), a
/// version banner option the banner, -splash: the splash image; -client and -server have no effect;
/// every other word is the JVM's as it stands. An option without its value
/// is refused.
JavaCommandOptions jopTakeJavaCommandOptions(const std::vector<std::string>& words);

/// Reads a JDK_JAVA_OPTIONS value as java does: words split on white space
/// with '...' and "..." kept whole (no escapes), argument files expanded
/// (not those they name), options that take a separate value taken with it
/// and given to the JVM in its name=value form, the class path options as
/// the class path (wildcards expanded), the version banner options and the
/// splash image noted, and
/// java's refusals of a main class and of options that replace or end the
/// launch.
JavaCommandOptions jopReadJavaCommandOptions(std::string_view value);

/// The expansion of a class path as java gives it for -cp: an element "*" or
/// ending in "/*" stands for the .jar and .JAR files of its directory, in the
/// byte order of their names.
std::string jopExpandClassPathWildcards(std::string_view classPath);
