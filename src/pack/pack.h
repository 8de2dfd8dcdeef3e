// jlauncher-pack: makes a single-file application, a copy of the launcher
// followed by one ZIP archive that merges the application's jars and carries
// its configuration as the archive comment.
//
// The operations print nothing: they return false and fill an error text, and
// collect warnings, so that the program's one reporter writes them and tests
// compare them whole. Texts carry no "jlauncher-pack: error: " prefix nor a
// line end.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct zip;

/// What one run of jlauncher-pack is asked to make.
struct PackRequest {
  std::string output{};             ///< the executable to write
  std::string mainClass{};          ///< empty: the first jar's Main-Class
  std::string configFile{};         ///< empty: no configuration lines beyond mainclass
  std::string launcher{};           ///< the launcher executable to copy; empty: the caller's default
  bool force = false;               ///< replace an existing output
  std::vector<std::string> jars{};  ///< merged in order; the first wins a duplicate
  bool keepJars = false;            ///< store the jars whole, whatever merging would give
  bool flat = false;                ///< merge the jars even where the result is not exact
  bool allowExternal = false;       ///< let Class-Path references to files outside the output stay
  bool verbose = false;             ///< say which layout was chosen and every reason
  std::string runtime{};            ///< a Java runtime directory to pack as it is; empty: none
  bool jlink = false;               ///< pack a runtime that jlink makes for the jars
  std::vector<std::string> addModules{};  ///< modules jlink adds to those jdeps finds, comma-separated
  bool stripDebug = false;          ///< jlink leaves out debug information
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

/// printf's formatting into a string: the messages' arguments put in place.
std::string packFormat(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

/// The --help text.
std::string packUsage();

/// Writes the single-file application. Appends a line to *warnings for each
/// entry left out or reference dropped, and to *notes (when given) what is
/// said of the layout chosen; false with *error set on a failure. A failure,
/// or an exception thrown through it, leaves no output behind and an
/// existing one untouched.
bool packApplication(const PackRequest& request, std::vector<std::string>* warnings, std::string* error,
                     std::vector<std::string>* notes = nullptr);

/// How the archive holds the application: its jars merged into one class
/// path entry, or the jars stored whole for the launcher to extract.
enum class PackLayout { kFlat, kKeptJars };

/// One thing the scan of the jars found that a merge would not reproduce
/// exactly: a reason to keep the jars whole.
struct PackFinding {
  std::string reason;                       ///< why the jars are kept whole
  std::vector<std::string> flatWarnings{};  ///< what --flat warns of instead; empty: the reason
};

/// The layout chosen and what is said of it.
struct PackChoice {
  PackLayout layout = PackLayout::kFlat;
  std::vector<std::string> notes{};     ///< lines telling the choice (texts without prefix)
  std::vector<std::string> warnings{};  ///< what merging anyway loses
};

/// Chooses the layout from what the scan found: merged only when nothing
/// keeps the merge from being exact, unless --keep-jars or --flat decides.
PackChoice packChooseLayout(const std::vector<PackFinding>& findings, const PackRequest& request);

/// A manifest as the JVM reads it: the main section's attributes and the
/// per-entry sections, each a list of (name, value) with continuation lines
/// joined, in the order written.
struct PackManifest {
  using Attributes = std::vector<std::pair<std::string, std::string>>;
  Attributes main{};
  std::vector<std::pair<std::string, Attributes>> sections{};  ///< (the Name value, its attributes)
};

/// Reads a manifest's text. Lines end with CR LF, LF or CR.
PackManifest packParseManifest(const std::string& text);

/// The manifest's text: lines of at most 72 bytes continued with a space,
/// each ending with CR LF, a blank line after each section.
std::string packWriteManifest(const PackManifest& manifest);

/// The value of the attribute named name in any case; none when absent.
std::optional<std::string> packAttribute(const PackManifest::Attributes& attributes, const std::string& name);

/// What merging the copies of one file gives.
enum class PackMergeResult { kMerged, kConflict, kUnknown };

/// Merges the copies of the file at path that several jars hold, in jar
/// order, into *merged, when path is a file whose format is known (service
/// lists and descriptors, Spring's files, licence texts). kConflict when the
/// copies cannot be merged exactly, kUnknown when no format is known for
/// path.
PackMergeResult packMergeFile(const std::string& path, const std::vector<std::string>& copies, std::string* merged);

/// Whether packMergeFile knows the format of path.
bool packIsMergedFile(const std::string& path);

/// The Main-Class attribute of a manifest's main section, its name in any
/// case, its value with surrounding spaces removed; empty when it has none.
std::string packManifestMainClass(const PackManifest& manifest);

/// One entry of a packed runtime, in archive order.
struct PackRuntimeEntry {
  std::string name{};    ///< the archive entry's name, under jlauncher/runtime/; a directory's ends with '/'
  std::string path{};    ///< the file it is read from
  mode_t mode = 0;       ///< file type and permission bits, set-ID and sticky bits cleared
  std::string target{};  ///< a symbolic link's target
};

/// The Java runtime a single-file application carries: its entries and the
/// hash that names it, and the directory jlink made it in, removed with it.
class PackRuntime {
 public:
  PackRuntime() = default;
  PackRuntime(const PackRuntime&) = delete;
  PackRuntime& operator=(const PackRuntime&) = delete;
  ~PackRuntime();

  std::vector<PackRuntimeEntry> entries{};  ///< empty: no runtime is packed
  std::string sha256{};                     ///< over every entry's name, mode and data, in order
  std::string tempDir{};                    ///< removed with everything in it; empty: none
  std::vector<std::string> warnings{};      ///< what was left out of it
};

/// Makes ready the runtime --runtime names or --jlink makes (neither: none),
/// checks it against the vmversion lines of *comment, and puts its
/// "packedruntime SHA256" line after the packer's lines at the start of
/// *comment. False with *error set when the options conflict, the directory
/// is no Java runtime, holds what a runtime cannot (a link that leaves it, a
/// fifo, a socket, a device), the version is refused, or jdeps or jlink fail.
bool packPrepareRuntime(const PackRequest& request, PackRuntime* runtime, std::string* comment, std::string* error);

/// Adds the runtime's entries to the archive: directories, deflated files and
/// links, each with its Unix mode. False with *error set on a failure.
bool packAddRuntime(struct zip* out, const PackRuntime& runtime, std::string* error);
