// jlauncher-pack: makes a single-file application, a copy of the launcher
// followed by one ZIP archive that merges the application's jars and carries
// its configuration as the archive comment.
//
// The operations print nothing: they return false and fill an error text, and
// collect warnings, so that the program's one reporter writes them and tests
// compare them whole. Texts carry no "jlauncher-pack: error: " prefix nor a
// line end.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

/// What one run of jlauncher-pack is asked to make.
struct PackRequest {
  std::string output{};             ///< the executable to write
  std::string mainClass{};          ///< empty: the first jar's Main-Class
  std::string configFile{};         ///< empty: no configuration lines beyond mainclass
  std::string launcher{};           ///< the launcher executable to copy; empty: the caller's default
  bool force = false;               ///< replace an existing output
  std::vector<std::string> jars{};  ///< merged in order; the first wins a duplicate
};

/// What a command line asks jlauncher-pack to do.
enum class PackCommand { kPack, kHelp, kVersion };

/// The archive comment's limit, set by the ZIP format's 16-bit length field.
constexpr std::size_t kMaxCommentSize = 65535;

/// The most held in memory of an entry read whole: the first jar's manifest,
/// or a META-INF/services file joined across the jars. A few megabytes of
/// compressed data can declare gigabytes; more than this is refused.
constexpr std::size_t kMaxHeldEntrySize = std::size_t{16} << 20;

/// Reads jlauncher-pack's command line (argv[0] is the program's name) into
/// *request and *command with getopt_long, from the option table that also
/// makes packUsage. Options and jars may come in any order; after "--" every
/// argument is a jar, and so is a lone "-". Reading ends at --help or
/// --version, whatever follows. False, with *error set, for an unknown
/// option, a missing or unexpected value, or no output.
bool packReadCommandLine(int argc, char* argv[], PackRequest* request, PackCommand* command, std::string* error);

/// The --help text.
std::string packUsage();

/// Writes the single-file application. Appends a line to *warnings for each
/// entry left out; false with *error set on a failure. A failure, or an
/// exception thrown through it, leaves no output behind and an existing one
/// untouched.
bool packApplication(const PackRequest& request, std::vector<std::string>* warnings, std::string* error);

/// The Main-Class attribute of a manifest's main section, its name in any
/// case, its value with continuation lines joined and surrounding spaces
/// removed; empty when it has none. Lines end with CR LF, LF or CR.
std::string packManifestMainClass(const std::string& manifest);
