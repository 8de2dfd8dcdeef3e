// jlauncher-pack: makes a single-file application, a copy of the launcher
// followed by one ZIP archive that merges the application's jars and carries
// its configuration as the archive comment.
//
// The operations print nothing: they return false and fill an error text, and
// collect warnings, so that the program's one reporter writes them and tests
// compare them whole. Texts carry no "jlauncher-pack: error: " prefix nor a
// line end.
#pragma once

#include <spawn.h>
#include <sys/types.h>

#include <cstddef>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct zip;
struct zip_error;
struct zip_source;
class Sha256;
struct PackRuntime;
class PackWorkDir;

/// What one run of jlauncher-pack is asked to make.
struct PackRequest {
  std::string output{};             ///< the executable to write
  std::string mainClass{};          ///< empty: the first jar's Main-Class
  std::string configFile{};         ///< empty: no configuration lines beyond mainclass
  std::string launcher{};           ///< the launcher executable to copy; empty: the caller's default
  std::string arch{};               ///< the architecture packed for ("arm64"); empty: the launcher's
  bool force = false;               ///< replace an existing output
  std::vector<std::string> jars{};  ///< merged in order; the first wins a duplicate
  bool keepJars = false;            ///< store the jars whole, whatever merging would give
  bool flat = false;                ///< merge the jars even where the result is not exact
  bool allowExternal = false;       ///< let Class-Path references to files outside the output stay
  bool verbose = false;             ///< say which layout was chosen and every reason
  std::string runtime{};            ///< a Java runtime directory to pack as it is; empty: none
  bool jlink = false;               ///< pack a runtime that jlink makes for the jars
  std::vector<std::string> addModules{};  ///< modules jlink adds to those jdeps finds, comma-separated
  std::string jdk{};                ///< the JDK whose jdeps, jlink and modules --jlink uses; empty: found
  bool stripDebug = false;          ///< jlink leaves out debug information
  bool bindServices = false;        ///< jlink adds every module that provides a service the runtime's modules use
  bool deb = false;                 ///< output is a Debian package installing the packed file as /usr/bin/<name>
  bool rpm = false;                 ///< output is an RPM package, likewise
  std::string name{};               ///< the package's and the installed command's name
  std::string version{};            ///< the package's version
  std::string maintainer{};         ///< "Name <mail>"
  std::string description{};        ///< the package's one-line description
  std::vector<std::string> depends{};  ///< comma-separated relations added to those computed
  std::string man{};                ///< a manual page of section 1 to install; empty: none
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

/// What a packed file needs of the system it is installed on, as a package
/// states it in its dependencies.
struct PackSystemNeeds {
  std::optional<std::string> glibc{};    ///< the newest glibc the launcher or the runtime needs; none: none
  std::vector<std::string> libraries{};  ///< the other libraries they need (DT_NEEDED), sorted, none the runtime holds
  bool runtime = false;                  ///< a Java runtime is carried
  bool fonts = false;                    ///< it draws text (java.desktop): fontconfig and a font
  int javaRelease = 0;                   ///< without one: the Java release the jars' classes need; 0: unknown
};

/// Writes the single-file application. Appends a line to *warnings for each
/// entry left out or reference dropped, and to *notes (when given) what is
/// said of the layout chosen and each file packed from outside the jars'
/// directories or the runtime; false with *error set on a failure. A
/// failure, or an exception thrown through it, leaves no output behind and
/// an existing one untouched; the output is written to a temporary file
/// beside it, through the descriptor that made it, and renamed into place.
bool packApplication(const PackRequest& request, std::vector<std::string>* warnings, std::string* error,
                     std::vector<std::string>* notes = nullptr, PackSystemNeeds* needs = nullptr);

/// Fills *needs from the launcher at launcher (through its links), the
/// runtime's files, when it carries one, and the vmversion lines of the
/// configuration comment (javaRelease: the least release they accept).
void packSystemNeeds(const std::string& launcher, const PackRuntime& runtime, const std::string& comment,
                     PackSystemNeeds* needs);

/// Writes the Debian (request.deb) or RPM (request.rpm) package request.output
/// that installs the packed application as /usr/bin/<request.name>, with its
/// manual page, and the desktop entry, icons, MIME types and splash image the
/// configuration names; the dependencies are computed from what the packed
/// file needs. Warnings and notes as packApplication's; false with *error
/// set on a failure, which leaves no output behind.
bool packPackage(const PackRequest& request, std::vector<std::string>* warnings, std::string* error,
                 std::vector<std::string>* notes);

/// Runs a tool without a shell, its standard output into the file out (-1:
/// a file of workDir, whose text goes to *output when it is not null) and
/// its error output into workDir; ended with the packer on a signal. False
/// with *error set, holding what the tool said, when it cannot run or fails.
bool packRunTool(const std::vector<std::string>& args, PackWorkDir& workDir, int out, std::string* output,
                 std::string* error);

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
  std::string path{};    ///< the file it is read from: in the runtime, or the file outside that a link names
  mode_t mode = 0;       ///< file type and permission bits, set-ID and sticky bits cleared
  std::string target{};  ///< a symbolic link's target
  bool outside = false;  ///< path lies outside the runtime, and is opened as packOpenPublicFile opens it
  dev_t device = 0;      ///< a file's device and inode as hashed: it is packed only while path holds it
  ino_t inode = 0;
  off_t size = 0;
  std::time_t mtime = 0;
};

/// The Java runtime a single-file application carries: its entries and the
/// hash that names it.
struct PackRuntime {
  std::vector<PackRuntimeEntry> entries{};  ///< empty: no runtime is packed
  std::string sha256{};                     ///< over every entry's name, mode and data, in order
  std::vector<std::string> warnings{};      ///< what was left out of it
  std::vector<std::string> notes{};         ///< each file packed from outside it
};

class PackWorkDir;

/// Makes ready the runtime --runtime names or --jlink makes (neither: none),
/// checks it against the vmversion lines of *comment, and puts its
/// "packedruntime SHA256 glibc=VERSION" line (the oldest glibc its files
/// run with; without the field when none of them names one) after the
/// packer's lines at the start of *comment. Warns when the runtime needs a
/// newer glibc than the launcher, naming an installed JDK that would give
/// an older one. jlink works in workDir. False with *error set when the
/// options conflict, the directory is no Java runtime, holds what a runtime
/// cannot (a fifo, a socket, a device, a link outside to a file not every
/// user can read or to one of the running system's), the version is
/// refused, or jdeps or jlink fail.
bool packPrepareRuntime(const PackRequest& request, PackWorkDir& workDir, PackRuntime* runtime, std::string* comment,
                        std::string* error);

/// What an ELF file needs of the system that runs it.
struct PackElfNeeds {
  std::optional<std::string> glibc{};    ///< the newest glibc symbol version it needs ("2.34"); none: none
  std::vector<std::string> libraries{};  ///< the libraries its dynamic section names (DT_NEEDED), in order
};

/// What the ELF file at path needs, read from its section of needed symbol
/// versions and its dynamic section; none for a file that is no 64-bit
/// little-endian ELF file. Only a regular file is read, through no link.
std::optional<PackElfNeeds> packElfNeeds(const std::string& path);

/// The newest glibc symbol version ("2.34") the ELF file at path needs; none
/// for a file that is no 64-bit little-endian ELF file or needs none.
std::optional<std::string> packGlibcFloor(const std::string& path);


/// The newest glibc that the files of a Java home at home need: its
/// lib/**/*.so and bin/* files, each read once; none when none names one.
std::optional<std::string> packJdkGlibcFloor(const std::string& home);

/// What a pack with the launcher at path (through its links) warns of when
/// the launcher is not the portable one: it needs a glibc above 2.17, a
/// C++ runtime or another library that glibc does not provide, so every
/// file packed with it runs only on systems like this one. None for a
/// portable launcher or a file that is no 64-bit ELF file.
std::optional<std::string> packLauncherWarning(const std::string& path);

/// The architecture of the ELF file at path, by the name --arch takes
/// ("x86-64", "arm64", "i386"; "machine N" for another); none for a file
/// that is no ELF file.
std::optional<std::string> packElfArchitecture(const std::string& path);

/// Chooses the launcher to copy: the one --launcher names, which must be for
/// the architecture --arch names; else the jlauncher in packerDir when it
/// is for that architecture (or none is named); else the one an install
/// keeps for it, packerDir/../lib/jlauncher/<arch>/jlauncher. False with
/// *error set for an unknown architecture or no launcher for it.
bool packChooseLauncher(PackRequest* request, const std::string& packerDir, std::string* error);

/// The architecture of the Java runtime or JDK at dir, that of its JVM
/// library; none when it has none.
std::optional<std::string> packRuntimeArchitecture(const std::string& dir);

/// Refuses a runtime (or, jdk set, the JDK that --jlink makes it from) at
/// dir whose JVM library is for another architecture than the launcher:
/// the packed file would run nowhere. False with *error set then.
bool packCheckRuntimeArchitecture(const std::string& dir, bool jdk, const std::string& launcher, std::string* error);

/// What --version says of the launcher at path, which every packed file
/// carries: "launcher PATH: x86-64, glibc 2.17 or later" (its architecture,
/// and the oldest glibc it runs with).
std::string packDescribeLauncher(const std::string& path);

/// Adds the runtime's entries to the archive: directories, deflated files and
/// links, each with its Unix mode. False with *error set on a failure.
bool packAddRuntime(struct zip* out, const PackRuntime& runtime, std::string* error);

// ---------------------------------------------------------------------------
// Files from outside what the user named. A Class-Path reference, or a
// runtime's link out of the runtime, names a file the user may not have
// meant; run by root, the packer would copy whatever that is into an output
// everyone can read. Such a file is packed only when everyone could read it
// anyway, or (a Class-Path reference) when it belongs to whoever owns the
// jar that names it, who could read it anyway.

/// Opens the file at path, links resolved, for reading, when every user could
/// read it (a regular file readable by others, reached through directories
/// others may pass through) or when it is a regular file of user owner (-1:
/// nobody); never one under /proc, /sys or /dev, whose files describe the
/// running system. *resolved receives the path without links. -1 with *why
/// set otherwise: the end of a sentence naming the file.
int packOpenPublicFile(const std::string& path, std::string* resolved, std::string* why, int owner = -1);

// ---------------------------------------------------------------------------
// Reading and writing through descriptors. The packer writes nothing by
// name: libzip reads and writes through these sources, so that what a
// temporary name holds when someone else renames it matters to no byte.

/// What a source reads and writes.
struct PackZipFile {
  int readFd = -1;     ///< what is read: an archive, or an entry's bytes; -1: nothing (a new archive)
  /// Opens what is read when libzip first reads it, closed once it is read
  /// (for the many files of a runtime); -1 with errno set. Unset: readFd.
  std::function<int()> open{};
  off_t size = 0;      ///< with open: the size to report
  std::time_t mtime = 0;  ///< with open: the time to report
  int writeFd = -1;    ///< where a new archive is written; -1: none
  off_t start = 0;     ///< the bytes before the archive in writeFd, kept (the launcher's)
  bool sync = false;   ///< the archive is on disk before the commit returns
};

/// A source for zip_open_from_source: the archive in file.readFd, rewritten
/// into file.writeFd when it is closed. Null with *error set on a failure.
struct zip_source* packArchiveSource(const PackZipFile& file, struct zip_error* error);
/// A source for an entry of archive: the whole of file.readFd, or of what
/// file.open opens. Null on a failure.
struct zip_source* packEntrySource(struct zip* archive, const PackZipFile& file);
/// Adds the bytes of fd, read from its start, to digest; false when it
/// cannot be read.
bool packHashFile(int fd, Sha256& digest);

// ---------------------------------------------------------------------------
// Ending cleanly. What a run makes on the way (its temporary output, its work
// directory, the JDK tool it runs) is made and given up through these
// functions, which keep it on one list, so that nothing of it outlives the
// run however that ends: a failure or an exception gives it up on the way
// out, and a signal's answer ends the tool and removes what the list holds.

/// Takes hang-up, interrupt and terminate from their default action (those
/// ignored when the program started stay ignored, as nohup and a shell's
/// background jobs want them): blocked here, in the program's first thread
/// before any other starts, and waited for by a thread of their own, which
/// answers one by ending the tool running, removing what the run made and
/// still holds, and ending the process by the same signal. False with
/// *error set when that thread cannot start.
bool packCatchSignals(std::string* error);
/// Called once the run's work is done, before it reports: when a signal is
/// being answered, never returns (the answer ends the process); after it, a
/// signal ends the process at once.
void packEndRun();
/// mkostemps on the template *path (its XXXXXX followed by suffixLength
/// bytes), close-on-exec; the file is listed. -1 with errno set, EINTR once
/// a signal is being answered.
int packCreateFile(std::string* path, int suffixLength = 0);
/// mkdtemp on the template *path; the directory is listed. False with errno
/// set, EINTR once a signal is being answered.
bool packCreateDirectory(std::string* path);
/// Renames a listed file to to; it is no longer listed. False with errno
/// set, EINTR once a signal is being answered: the name to is then left as
/// it was.
bool packRenameFile(const std::string& path, const std::string& to);
/// Removes a listed file, or a directory with everything in it, never
/// following a link; it is no longer listed.
void packRemove(const std::string& path);
/// posix_spawn of a tool, whose process is listed: it starts with no signal
/// blocked and those the packer takes at their default action. 0 or an
/// error number, EINTR once a signal is being answered.
int packSpawn(pid_t* pid, const std::string& program, const posix_spawn_file_actions_t* actions,
              const std::vector<std::string>& args);
/// Waits for the end of a tool packSpawn started; false with errno set.
bool packWait(pid_t pid, int* status);

/// The run's private directory for what it makes on the way: jars rewritten
/// without their Class-Path, jdeps' and jlink's output. Made on first use
/// under TMPDIR, else /tmp, which nobody but root and the user running the
/// packer may be able to change; removed with everything in it when the
/// run ends.
class PackWorkDir {
 public:
  PackWorkDir() = default;
  PackWorkDir(const PackWorkDir&) = delete;
  PackWorkDir& operator=(const PackWorkDir&) = delete;
  ~PackWorkDir();

  /// The directory, made now when it is not yet; false with *error set
  /// when it cannot be made, or made safely.
  bool get(std::string* path, std::string* error);
  /// A new file of the directory for reading and writing, close-on-exec,
  /// named after name; -1 with *error set.
  int createFile(const std::string& name, std::string* error);

 private:
  std::string path_;
};
