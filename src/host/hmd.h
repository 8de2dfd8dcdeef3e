// hmd = host machine dependent, the host services: the application home and the
// launcher's own location, the environment the dynamic loader needs, files
// others may control, and signals. host stands on util alone.
#pragma once

#include <semaphore.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/platform.h"

// ---------------------------------------------------------------------------
// Application home and launcher location. Set once at start from argv[0],
// before anything else of the launcher runs; afterwards only read.

/// Finds the launcher executable from argv0 (through PATH when argv0 holds no
/// '/'; in set-ID mode it is always the running executable), resolves it,
/// and records its file name, its directory and the application home (the
/// directory's parent, or its grandparent when the directory is named
/// "patches"). On success home receives the application home cut to size - 1
/// characters. On failure home is emptied when the
/// executable was already found and resolved, and left untouched otherwise.
bool hmdSetApplicationHome(const char* argv0, std::string& home, int size);
/// The running executable itself, whatever name it was started by, as the
/// system's /proc names it.
const char* hmdSelfExecutable();
/// Stores a non-empty path as the launcher's full file name (traced).
void hmdSetFullLauncherFileName(const std::string& path);
/// Stores a non-empty path as the launcher's directory (traced).
void hmdSetFullLauncherPath(const std::string& path);
/// Records the last component of argv0 as typed, without resolving links (in
/// set-ID mode, of the launcher's resolved file name).
void hmdSetApplicationName(const char* argv0);

/// The recorded values, cut to size - 1 characters; empty when never set or
/// when size is 0.
std::string hmdGetFullLauncherFileName(int size = kPathMax);
std::string hmdGetFullLauncherPath(int size = kPathMax);
std::string hmdGetApplicationHome(int size = kPathMax);
/// The launcher as it was started (argv[0], or what PATH found for it),
/// absolute but with its links kept: the name that starts this application
/// again, where the resolved file may be another application's launcher.
std::string hmdGetInvokedLauncherPath();
/// The application name, or null before it was set.
const char* hmdGetApplicationName();

/// The launcher's directory in the user's cache, where the start-up cache
/// and what single-file applications extract live: jlauncher in
/// XDG_CACHE_HOME, else in the first of the directories a service manager
/// made for the service (CACHE_DIRECTORY, systemd's CacheDirectory=, which
/// may list several separated by ':'), else HOME/.cache/jlauncher. Only an
/// absolute name counts. None when nothing names one, and in set-ID mode,
/// whose caller sets all three. The name is not yet trusted: users take it
/// through hmdPrivateDirectory.
std::optional<std::string> hmdUserCacheDirectory();
/// The user's configuration directory: XDG_CONFIG_HOME, else HOME/.config.
/// Only an absolute name counts. None when neither names one, and in set-ID
/// mode, where the caller would choose what a privileged launch reads.
std::optional<std::string> hmdUserConfigDirectory();

/// The registry lookup behind the configuration's registry macros. Unix hosts
/// have no registry, so there is never a value.
std::optional<std::string> hmdGetNimbrelProperty(const char* name);

/// Forgets the recorded locations, so that each test starts from a process
/// that has not determined them yet.
void hmdResetApplicationHome();

// ---------------------------------------------------------------------------
// Files and environment values.

/// Template of the launcher's temporary files.
inline constexpr const char* tempFilename = "/tmp/corvane-envdump-XXXXXX";

/// Writes text into a new temporary file and returns its name; none for an
/// empty text or when no file could be made (reported).
std::optional<std::string> hmdWriteTempFile(const std::string& text);
/// Marks a temporary file as read by this launch only, to be removed when
/// the launch ends (hmdRemoveLaunchFiles).
void hmdRemoveAtEnd(const std::string& path);
/// Removes the marked files: when the launcher ends, and before it replaces
/// its image for a restart, which writes its own.
void hmdRemoveLaunchFiles();
/// Writes the whole environment, one name=value per line with single
/// backslashes doubled, into a new temporary file; returns its name or none.
std::optional<std::string> hmdWriteEnvironment();
/// The value of an environment variable, or null.
const char* hmdGetEnvironmentValue(const char* name);
/// True unless KRX_NO_SAFETY_NET is set, to any value, empty too. While it is
/// on, the launcher refuses Sun's J2EE Reference Implementation (in a jar
/// directory, on the class path, in the Java home) and a JVM build with a
/// known fault under strict checks.
bool hmdIsSafetyNetOn();
/// The size of a file in bytes, or -1 when it cannot be opened.
long long hmdGetFileSize(const char* path);
/// At most length bytes of the file from offset; none when it cannot be opened.
std::optional<std::string> hmdCreateFileContent(const char* path, long long offset, long long length);

// ---------------------------------------------------------------------------
// Files others may control. Every file the launcher or the packer reads as
// configuration, creates, appends to or replaces, in a place that someone
// other than the effective user and root could change, goes through these
// functions; no feature opens such a file its own way. A place is trusted
// when it and every directory above it, links resolved from the top, belong
// to root or a trusted user and nobody else can change them: neither others
// nor a group that is not trusted can write to them. In a sticky directory
// (/tmp) others change only their own entries, so it counts, and the next
// step checks whose the entry is.
//
//   what                                      trusted (hmdTrust of)
//   configuration beside the launcher, its    root, the user running the
//     includes and includedir, the home's     launcher and the launcher's owner;
//     adm/security/keys                       groups that can change the
//     (hmdConfigurationTrust); a file named   launcher or a directory above it.
//     with +config is the user's choice       In set-ID mode root and the owner.
//   a vmparamsfile, of the project one works  the same, and the owner of the
//     in (hmdProjectTrust)                    working directory
//   the trace file (UTRACE -f)                as the pid file
//   pid file, daemonsupport log               the effective user (root above):
//     (hmdOpenOwnFile)                        a regular file of theirs with one
//                                             name, never a link or a FIFO
//   the user's cache: start-up cache,         the effective user alone, the
//     extraction (hmdPrivateDirectory)        directory not even sticky
//   the packer's work directory and output    the effective user (hmdOwnTrust)
//
// Files are opened with O_NOFOLLOW|O_NONBLOCK|O_CLOEXEC and checked by fstat
// on the descriptor; what is written goes through that descriptor and the
// file is never opened again by name.

/// Who may have made or changed what a trusted place holds: root always,
/// and these users; a group's write access counts only for these groups.
struct HmdTrust {
  std::vector<unsigned> users;
  std::vector<unsigned> groups;
};

/// The effective user alone.
HmdTrust hmdOwnTrust();
/// The trust of configuration: the user running the launcher, the owner of
/// the launcher's file, and the groups that can change that file or a
/// directory above it (they could change the launcher itself). In set-ID
/// mode only the owner: the caller, and a group's write to a set-ID file,
/// choose nothing of a privileged launch.
HmdTrust hmdConfigurationTrust();
/// The trust of a file of the project the user works in (a vmparamsfile):
/// that of configuration, and the owner of the working directory, whom the
/// user chose by working there (not in set-ID mode).
HmdTrust hmdProjectTrust();
/// The names between the slashes of a path, empty ones left out.
std::vector<std::string> hmdPathComponents(const std::string& path);
/// A user or group as messages name it: 'name', or the number.
std::string hmdUserName(unsigned uid);
std::string hmdGroupName(unsigned gid);

/// The path, links resolved, when it and every directory above it pass
/// trust; info (when given) receives what lstat tells of the path. None
/// otherwise, with why naming the place and who could change it.
std::optional<std::string> hmdTrustedPath(const std::string& path, const HmdTrust& trust, std::string& why,
                                          struct stat* info = nullptr);
/// True when the file opened by name at path (opened, as fstat told) is
/// what hmdTrustedPath finds there; false with why otherwise.
bool hmdIsTrustedFile(const std::string& path, const struct stat& opened, const HmdTrust& trust, std::string& why);
/// The directory path, links resolved, when it passes hmdOwnTrust and the
/// effective ids may write to it; none otherwise, with why.
std::optional<std::string> hmdOwnDirectory(const std::string& path, std::string& why);
/// Opens path with flags, never through a link and without blocking,
/// close-on-exec; -1 unless it is a regular file of root or a trusted
/// user. info receives what fstat tells of it.
int hmdOpenTrustedFile(const std::string& path, int flags, const HmdTrust& trust, struct stat* info = nullptr);
/// Opens path with flags and mode, for writing the effective user's own
/// file: its directory must pass hmdOwnTrust and be writable with the
/// effective ids, and what is opened there, in the directory as resolved,
/// must be a regular file of the effective user with one name. -1 with why
/// otherwise; never blocks.
int hmdOpenOwnFile(const std::string& path, int flags, mode_t mode, std::string& why);

/// The directory path, links resolved, when it belongs to the effective user,
/// no one else can write to it, and every directory above it belongs to root
/// or that user and can be changed by no one else (a sticky directory, such
/// as /tmp, only in others' own entries). With create, missing directories
/// are made for the user alone. None otherwise, with why saying what is wrong.
std::optional<std::string> hmdPrivateDirectory(const std::string& path, bool create, std::string& why);
/// Opens a file of a private directory with flags, never through a link and
/// without blocking, close-on-exec; -1 unless it is a regular file of the
/// effective user. info receives what fstat tells of it.
int hmdOpenPrivateFile(const std::string& path, int flags, struct stat* info = nullptr);
/// The whole of a private file of at most limit bytes; none otherwise.
std::optional<std::string> hmdReadPrivateFile(const std::string& path, std::size_t limit);
/// The whole of a regular file of at most limit bytes (an image, a manual
/// page a user names), opened without waiting: a FIFO would block the read
/// forever. None otherwise, with why: the system's error, "it is no regular
/// file", "it is larger than N MiB" or "it is empty".
std::optional<std::string> hmdReadRegularFile(const std::string& path, std::size_t limit, std::string& why);
/// Creates a new empty file named prefix, a unique part and suffix, for the
/// user alone, and returns its name; none when it cannot.
std::optional<std::string> hmdCreatePrivateFile(const std::string& prefix, const std::string& suffix);
/// Writes all size bytes of data to fd, again after an interruption or a
/// short write; false when the file takes no more.
bool hmdWriteAll(int fd, const char* data, std::size_t size);
/// Replaces path with a file holding text, written whole under a unique
/// temporary name first; false when it cannot.
bool hmdWritePrivateFile(const std::string& path, const std::string& text);
/// The template of that temporary name, for hmdWritePrivateFileAt.
std::string hmdPrivateFileTemporary(const std::string& path);
/// hmdWritePrivateFile for a forked child of the threaded launcher, which
/// must not allocate: temporary, made by hmdPrivateFileTemporary before the
/// fork, becomes the unique name (once).
bool hmdWritePrivateFileAt(std::string& temporary, const std::string& path, std::string_view text);

// ---------------------------------------------------------------------------
// Environment preparation.

/// Remembers LD_LIBRARY_PATH and LD_PRELOAD as the process started with
/// them, before the configuration can export either, and whether this image
/// is the launcher's re-execution for the loader; takes the launcher's own
/// marks out of the environment. In set-ID mode it also takes out the
/// variables through which the caller would give the JVM options
/// (JAVA_TOOL_OPTIONS, _JAVA_OPTIONS, JDK_JAVA_OPTIONS) or change the
/// launcher's ways (KRX_*).
void hmdRememberStartEnvironment();
/// True when this image is the launcher's re-execution for the loader.
bool hmdIsReexecutedImage();
/// What the JVM about to be loaded, and the configuration, need of the
/// dynamic loader's environment.
struct LoaderEnvironment {
  std::vector<std::string> libraryPathFront;  ///< each put in front of LD_LIBRARY_PATH unless there, in order
  std::vector<std::string> libraryPathBack;   ///< each appended to LD_LIBRARY_PATH unless there (shlibpath)
  std::vector<std::string> preloadFront;      ///< each put in front of LD_PRELOAD unless there
  std::string library;                        ///< the JVM library, never to be preloaded
};
/// Makes sure LD_LIBRARY_PATH and LD_PRELOAD hold what loader asks for,
/// setting restartFlag when the launcher must re-execute itself first: when
/// directories were added, or LD_LIBRARY_PATH or LD_PRELOAD now differs from
/// what the process started with.
/// Returns false when the launch must stop.
bool hmdSetEnvironment(const LoaderEnvironment& loader, bool* restartFlag);
/// Marks every descriptor from 3 up close-on-exec, so that a new image of
/// the launcher starts with none of this one's files and sockets.
void hmdCloseDescriptorsOnExec();
/// Adds to `actions` the closing of every descriptor from 3 up, so that the
/// spawned program gets none of the launcher's files and sockets.
void hmdSpawnClosesDescriptors(posix_spawn_file_actions_t* actions);

// ---------------------------------------------------------------------------
// Signals. While the JVM runs, hang-up, interrupt and terminate lead to an
// orderly shutdown of the application, and quit to a dump of all Java stacks.

using SignalDisposition = void (*)(int);

/// One signal the launcher answers while the JVM runs.
struct SignalEntry {
  int number;                     ///< the signal number
  SignalDisposition handler;      ///< what the launcher installs: its handler, or SIG_IGN
  SignalDisposition oldHandler;   ///< the disposition in force before; restored at the end
  const char* name;               ///< short name, as "+sig" takes it
};

/// SIGHUP, SIGINT, SIGQUIT and SIGTERM, in this order.
extern SignalEntry signals[];
extern const int numSignals;

/// What the signal handling takes from the launch: the facts it decides by,
/// and the work its worker threads do, which lies above the host. Kept from
/// hmdBeforeCreateJVM on, for the handlers and their threads.
struct HmdSignalSetup {
  bool daemonSupport = false;          ///< a hang-up reopens a daemon's log, even under nohup
  bool handleShutdown = false;         ///< handleexit: the launcher installs its handlers
  bool canDumpStacks = false;          ///< the JVM dumps its stacks for the launcher; else a quit is
                                       ///< passed on to the handler in force before
  void (*stop)(int signal) = nullptr;  ///< hang-up, interrupt and terminate: the orderly shutdown
  void (*dumpStacks)() = nullptr;      ///< quit: the dump of all Java stacks
};

/// Marks the signal of that name (any case) to be ignored once the launcher
/// installs its handlers; false for an unknown name.
bool hmdSetSignalIgnore(const char* name);
/// Before JVM creation: keeps setup, propagates hang-up immunity to
/// interrupts, starts the signal dispatch, and installs the handlers when
/// asked to do so early; 0, or 1 after a reported failure.
int hmdBeforeCreateJVM(const HmdSignalSetup& setup);
/// After JVM creation and its checks: installs the handlers (unless asked
/// early or never). True when the Java side is to be told that the launcher
/// answers the signals (the system property
/// "launcher.signalhandler.installed"), which the caller does.
bool hmdAfterCreateJVM();
/// After JVM destruction: the previous dispositions are back; 0.
int hmdAfterDestoryJVM();
/// The handler the launcher installs for the four signals. It only marks
/// its signal and wakes a thread: it neither allocates nor formats.
void hmdSignalHandler(int signal);

/// Installs every row's handler, remembering what was in force before.
void hmdInstallSignalHandlers();
/// Installs one row's handler again once its signal has been handled.
void hmdReinstallSignalHandler(int index);
/// The row of a signal number, or -1.
int hmdSignalIndex(int signal);
/// hmdSignalReceived's answer when the handler did all there was to do and
/// left a note for the trace: the dispatching thread should wake to write it.
inline constexpr int kSignalNoted = -2;
/// The part of the handler both signal designs share: ignores the signal while
/// it is handled, and passes a quit on to the disposition in force before
/// when the JVM has no stack dump of its own. Returns the signal's row when
/// work remains to be done, kSignalNoted when a note awaits the trace, -1
/// when nothing remains.
int hmdSignalReceived(int signal);
/// Writes the trace lines of what handlers did since the last call; called
/// by the thread a handler wakes, since a handler must not format.
void hmdTraceSignalNotes();
/// In the handler, when posting the semaphore for the row's signal failed
/// with posted: says so on standard error, put together without allocation,
/// and installs the row's handler again, so that the next delivery is
/// handled.
void hmdSignalPostFailed(int index, int posted);
/// The launch's orderly shutdown for a hang-up, interrupt or terminate, on
/// a worker thread.
void hmdSignalStop(int signal);
/// The launch's dump of all Java stacks for a quit, on a worker thread.
void hmdSignalDumpStacks();
/// Makes the semaphore a handler posts, once per process, and starts the
/// detached thread running body, which waits on it; false after a reported
/// failure.
bool hmdStartSignalThread(sem_t** semaphore, void* (*body)(void*));
/// Starts a detached thread running body(argument); 0 or pthread_create's error.
int hmdStartDetachedThread(void* (*body)(void*), void* argument);
/// Starts the platform's signal dispatch once per process: the semaphore
/// the handler posts and the thread that waits on it; 0, or 1 after a
/// reported failure.
int hmdStartSignalDispatch();
/// Puts the table back in its start state (for tests).
void hmdResetSignals();
