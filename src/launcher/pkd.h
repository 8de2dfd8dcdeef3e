// pkd = packed: what a single-file application carries whole in the archive
// appended to the executable: jars kept as they were, and a Java runtime.
// Neither can be used from inside the executable, so the first launch extracts
// them into the user's cache, under their content hash; later launches find
// them there by one look at each jar's stamp, and at each of the runtime's
// files as its stamp records them, and extract again what changed since. An
// extraction holds a lock for its hash, and first removes what one killed part
// way left. Removing the cache only makes the next launch extract again.
// A launch holds each copy it uses, so that nothing removes it under the
// application; copies no launch used for 30 days go, once a day, and
// +cache lists the copies or removes those no launch holds.
//
// The configuration names them ("packedjar SHA256 NAME", "packedruntime
// SHA256"); jlauncher-pack writes those lines into the archive comment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// The runtime's stamp file: its modification time tells the copy is as
/// extracted, its access time when a launch last used it.
inline constexpr const char* kPkdRuntimeStamp = ".jlauncher-stamp";

/// One entry of the executable's archive, as extraction reads it.
struct PkdEntry {
  std::string name;
  std::uint32_t mode = 0;  ///< the Unix mode the archive records, 0 when none
};

/// The archive appended to the executable. The launcher reads it with
/// libzip; tests hand extraction archives of their own.
class PkdArchive {
 public:
  /// Receives an entry's bytes a block at a time; false stops the reading.
  using Sink = std::function<bool(const char* data, std::size_t size)>;

  virtual ~PkdArchive() = default;
  /// The entries whose names start with prefix, in the archive's order.
  virtual std::vector<PkdEntry> entries(std::string_view prefix) = 0;
  /// Hands the bytes of the entry called name to sink, checked against the
  /// archive's checksum; false with *error set when they cannot be read
  /// whole or are damaged.
  virtual bool read(const std::string& name, const Sink& sink, std::string* error) = 0;
};

/// The archive at the end of the file at path; null with *error set when
/// there is none this build can read.
std::unique_ptr<PkdArchive> pkdOpenArchive(const std::string& path, std::string* error);

/// The copies a launch uses, each held (a shared lock on its directory)
/// until the launch ends, so that no prune or +cache clear removes it.
class PkdHolds {
 public:
  PkdHolds() = default;
  PkdHolds(PkdHolds&& other) noexcept : fds_(std::move(other.fds_)) { other.fds_.clear(); }
  PkdHolds& operator=(PkdHolds&&) = delete;
  PkdHolds(const PkdHolds&) = delete;
  ~PkdHolds();
  /// Keeps fd, holding its lock, until the end.
  void keep(int fd) { fds_.push_back(fd); }

 private:
  std::vector<int> fds_;
};

/// What a single-file application carries, made ready for the launch.
struct PkdPrepared {
  std::string classPath;                   ///< the extracted jars in class path order, joined with ':'
  std::optional<std::string> runtimeHome;  ///< the extracted runtime, which is to be the Java home
  PkdHolds holds;                          ///< the copies used, held while this lives
};

/// Before the Java home is chosen: makes sure the jars and the runtime the
/// configuration names are extracted into the user's cache, extracting
/// what is missing or damaged (the runtime only when no Java home was
/// named). None after a reported error: a set-ID launch, no usable cache
/// directory, or a failed extraction.
std::optional<PkdPrepared> pkdPrepare(bool javaHomeNamed);

/// Extracts the jar called name ("jlauncher/jars/NAME" in the archive) to
/// directory/name, unless a copy is there already. The copy is checked
/// against hash and published under its name only when whole. The caller
/// holds the directory's lock: the temporaries of name an interrupted
/// extraction left there are removed first. False with *error set when it
/// fails.
bool pkdExtractJar(PkdArchive& archive, const std::string& hash, const std::string& name,
                   const std::string& directory, std::string* error);

/// Extracts the runtime (the entries under "jlauncher/runtime/") into
/// directory, replacing what is there: into a temporary directory beside
/// it, each file streamed, checked against hash, its links followed inside
/// it, stamped with a record of every entry, then renamed. The caller holds
/// the lock of hash: the temporaries of hash an interrupted extraction left
/// beside directory are removed first. Entries that would leave the
/// directory, links that lead out of it (through other links too), a link
/// target longer than the system takes and special files are refused.
/// False with *error set when it fails; nothing is left behind then.
bool pkdExtractRuntime(PkdArchive& archive, const std::string& hash, const std::string& directory,
                       std::string* error);

/// True when the runtime extracted into directory is as its extraction left
/// it: its stamp is untouched and every entry it records still has the
/// type, mode, size and modification time it had (one lstat each, no
/// reading). False for a stamp of an earlier launcher, which records none.
bool pkdRuntimeIntact(const std::string& directory);

// ---------------------------------------------------------------------------
// The extraction cache as a whole: jars/<hash>/ (its .lock inside) and
// runtime/<hash>/ (its <hash>.lock beside), under the user's cache
// directory. A copy's lock is held while it is extracted; its directory is
// held, shared, by every launch that uses it. Removing a copy takes both
// without waiting and passes over a copy either of which is busy. Nothing
// here follows a link: every name is opened below a directory descriptor.

/// One copy of the cache, as +cache lists it.
struct PkdCopy {
  enum class Kind { kJar, kRuntime };
  Kind kind = Kind::kJar;
  std::string hash;
  std::vector<std::string> names;  ///< a jar's file names (applications may name one jar differently)
  long long bytes = 0;             ///< the disk space it takes
  time_t lastUse = 0;              ///< its stamp's access time
  bool inUse = false;              ///< a launch holds it, or extracts it
};

/// The copies extracted under base (the user's cache directory), jars
/// first, each kind in the order of its hashes.
std::vector<PkdCopy> pkdListCache(const std::string& base);

/// What a removal did.
struct PkdRemoval {
  std::vector<PkdCopy> removed;
  std::vector<PkdCopy> kept;        ///< busy: held by a launch, or being extracted
  std::vector<std::string> errors;  ///< what could not be removed, and why
};

/// Removes from base every copy whose last use is before unusedSince and
/// that no launch holds or extracts, and every lock file left without its
/// copy.
PkdRemoval pkdRemoveCopies(const std::string& base, time_t unusedSince);

/// After a launch has prepared its own copies: at most once a day per
/// cache (the time of base/.pruned says when it last ran), removes the
/// copies no launch has used for 30 days. True when it ran.
bool pkdPruneCache(const std::string& base, time_t now);

/// +cache: with no word, lists the copies and their total on standard
/// output; with "clear", removes every copy no launch holds and names
/// those it keeps. The status: 0, or 1 after a reported error.
int pkdCacheCommand(const std::vector<std::string>& words);
