// pkd = packed: what a single-file application carries whole in the archive
// appended to the executable: jars kept as they were, and a Java runtime.
// Neither can be used from inside the executable, so the first launch extracts
// them into the user's cache, under their content hash; later launches find
// them there by one look at each jar's stamp, and at each of the runtime's
// files as its stamp records them, and extract again what changed since. An
// extraction holds a lock for its hash, and first removes what one killed part
// way left. Removing the cache only makes the next launch extract again.
//
// The configuration names them ("packedjar SHA256 NAME", "packedruntime
// SHA256"); jlauncher-pack writes those lines into the archive comment.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

/// What a single-file application carries, made ready for the launch.
struct PkdPrepared {
  std::string classPath;                   ///< the extracted jars in class path order, joined with ':'
  std::optional<std::string> runtimeHome;  ///< the extracted runtime, which is to be the Java home
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
