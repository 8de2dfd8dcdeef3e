// cds = class-data sharing, the start-up cache: a class-data archive of one
// application, made by the Java runtime itself and kept in the user's cache
// directory, so that later launches map the application's classes already
// parsed and verified instead of loading them from its jars. The first launch
// records the archive while the application runs and publishes it once the JVM
// has ended normally (an ahead-of-time cache is made from the recording
// afterwards, by a detached process that nobody waits for); later launches use
// it. Whatever goes wrong leaves the launch as it would have been without the
// cache: the JVM is never handed an archive that was changed since it was
// published, and nothing of the cache reaches the user's terminal.
//
// The module decides in one place and acts in another. cdsPlan is a pure
// function of the launch and of the file facts it asks for; the executor
// (cdsAddArchiveOptions and the functions after it) gathers those facts,
// does the file and process work the plan names, and amends the final JVM
// option list with the plan's options.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "jvmoptions/vminfo.h"

// ---------------------------------------------------------------------------
// The planner.

/// What the runtime makes: a dynamic archive on top of its own (Java 13 and
/// later), or an ahead-of-time cache, which also keeps what the application
/// linked and profiled (Java 25 and later).
enum class CdsKind { kDynamic, kAot };

/// What a launch does with the cache.
enum class CdsMode {
  kOff,     ///< runs without it
  kUse,     ///< maps the application's archive
  kRecord,  ///< records the archive while the application runs
};

/// A file as the cache tells its versions apart.
struct CdsFileStamp {
  std::uint64_t size = 0;
  std::int64_t seconds = 0;      ///< modification time
  std::int64_t nanoseconds = 0;  ///< within the second
};

/// The launch as the cache sees it, from memory alone.
struct CdsLaunch {
  bool printOnly = false;            ///< +javacmd or +check: nothing is made or recorded
  bool setId = false;                ///< set-user-ID or set-group-ID privileges
  bool modularFromHome = false;      ///< a modular runtime loaded from its home
  bool quickStart = false;           ///< "options quickstart": the quick profile too
  std::string entryClass;            ///< the class the launch runs
  std::string applicationName;       ///< the name the launcher was run by
  std::vector<std::string> options;  ///< the final JVM options
  /// The launcher's directory in the user's cache as the host names it
  /// (hmdUserCacheDirectory), not yet trusted; none when nothing names one.
  std::optional<std::string> cacheDirectory;
  /// Environment variables (none when unset): the options the JVM takes as
  /// if they were among its own.
  std::optional<std::string> javaToolOptions, javaOptions;
};

/// The file facts the planner asks for, as it needs them. The executor
/// answers from the file system, tests from a table.
class CdsFacts {
 public:
  virtual ~CdsFacts() = default;
  /// JAVA_VERSION of the runtime's release file.
  virtual std::optional<std::string> releaseVersion() = 0;
  /// The whole release file ("" when it cannot be read).
  virtual std::string release() = 0;
  /// The JVM library as the loader opened it ("" when unknown).
  virtual std::string library() = 0;
  /// The runtime's own archive lies beside library.
  virtual bool hasBaseArchive(const std::string& library) = 0;
  /// path, followed through links, when it is a regular file.
  virtual std::optional<CdsFileStamp> regularFile(const std::string& path) = 0;
  /// The cache directory as the launch may use it, made when it is missing
  /// and the launch is no printOnly one; none with why when it is not to be
  /// trusted.
  virtual std::optional<std::string> trustedDirectory(const std::string& directory, std::string& why) = 0;
  /// Something, of any kind, is at path.
  virtual bool exists(const std::string& path) = 0;
  /// path when it is a regular file of the user's, never through a link.
  virtual std::optional<CdsFileStamp> privateFile(const std::string& path) = 0;
  /// The text of a small private file ("" when there is none).
  virtual std::string smallFile(const std::string& path) = 0;
};

/// What the launch does with the cache, and every name it needs for that.
struct CdsPlan {
  CdsMode mode = CdsMode::kOff;
  CdsKind kind = CdsKind::kDynamic;
  /// What the trace tells of the decisions, in order, without its
  /// "Start-up cache: " prefix.
  std::vector<std::string> notes;
  std::string directory;       ///< the trusted cache directory
  std::string base;            ///< the application's files without their suffix
  std::string archive;         ///< the application's archive
  std::string stamp;           ///< what the archive was when it was published
  std::string failed;          ///< the class path a recording failed for
  std::string classPathPrint;  ///< the class path's files, as one hash
  /// An archive that is no longer the one published is removed.
  bool removeStale = false;
  /// kUse: the options at the front of the final list that map the archive.
  std::vector<std::string> front;
  /// The quick profile's options the user's own leave to it, for the end
  /// of the final list; the archive is named with them.
  std::vector<std::string> profile;
};

/// Decides what the launch does with the cache ("options startupcache" or
/// "options quickstart" is on), and which options of the quick profile it
/// adds. Asks facts only what the decision needs, in the order it needs it.
CdsPlan cdsPlan(const CdsLaunch& launch, CdsFacts& facts);

/// The options of a recording launch, and of the second run that makes the
/// ahead-of-time cache from what the first recorded.
struct CdsRecording {
  std::vector<std::string> front;    ///< at the front of the final list
  std::vector<std::string> back;     ///< at its end
  std::vector<std::string> creation; ///< the creation run's options (kAot)
};

/// The options that record the plan's archive into recording; an AOT cache
/// is then created into created.
CdsRecording cdsRecordingOptions(const CdsPlan& plan, const std::vector<std::string>& options,
                                 const std::string& recording, const std::string& created);

/// What the stamp of an archive of this file and class path holds.
std::string cdsStampText(const CdsFileStamp& archive, const std::string& classPathPrint);
/// The same text written into text, which has room for
/// cdsStampTextSize(classPathPrint) bytes; returns its length. It allocates
/// nothing and takes no lock: a forked child of the threaded launcher
/// writes the stamp of the cache it created.
std::size_t cdsWriteStampText(char* text, const CdsFileStamp& archive, std::string_view classPathPrint);
/// The room cdsWriteStampText needs for a class path of that print.
std::size_t cdsStampTextSize(std::string_view classPathPrint);

/// The failure mark of the plan's class path: "refused" once the JVM did not
/// map its archive, "failed" when recording failed or the JVM refused the
/// archive recorded again.
std::string cdsFailureMark(const CdsPlan& plan, const char* what);

// ---------------------------------------------------------------------------
// The executor.

/// Forgets what an earlier launch decided.
void cdsInit();
/// When the process ends: removes what a recording left unpublished, and
/// forgets the launch.
void cdsTerm();
/// With "options quickstart", once the final option list is built: appends
/// the quick profile's options the user's leave to it. With it or with
/// "options startupcache": puts the options that map the application's
/// archive at the front of the list, or, when it has no usable archive yet,
/// the options that record one. With printOnly (+javacmd, +check) no
/// application runs, so nothing is recorded either.
void cdsAddArchiveOptions(const JavaChoice& java, const char* entryClass, bool printOnly);
/// After JVM creation: an archive the JVM did not map is removed, and the
/// application is not recorded again until its class path changes.
void cdsCheckArchiveMapped();
/// Before the JVM ends (its destruction, or at once on a stop signal), when
/// a recording JVM writes its dynamic archive or its AOT configuration: a
/// service manager is asked for the time that takes.
void cdsBeforeJvmEnds();
/// When the JVM has ended normally (through its exit hook or its
/// destruction): makes what this launch recorded the application's archive.
void cdsFinishRecording();
