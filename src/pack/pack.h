// jlauncher-pack: makes a single-file application, a copy of the launcher
// followed by one ZIP archive that merges the application's jars and carries
// its configuration as the archive comment.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

/// What one run of jlauncher-pack is asked to make.
struct PackRequest {
  std::string output;               ///< the executable to write
  std::string mainClass;            ///< empty: the first jar's Main-Class
  std::string configFile;           ///< empty: no configuration lines beyond mainclass
  std::string launcher;             ///< the launcher executable to copy
  bool force = false;               ///< replace an existing output
  std::vector<std::string> jars;    ///< merged in order; the first wins a duplicate
};

/// The archive comment's limit, set by the ZIP format's 16-bit length field.
constexpr std::size_t kMaxCommentSize = 65535;

/// The most held in memory of an entry read whole: the first jar's manifest,
/// or a META-INF/services file joined across the jars. A few megabytes of
/// compressed data can declare gigabytes; more than this is refused.
constexpr std::size_t kMaxHeldEntrySize = std::size_t{16} << 20;

/// Writes the single-file application. Reports each warning and the failure,
/// if any, on standard error; returns the exit status (0 or 1). A failure, or
/// an exception thrown through it, leaves no output behind and an existing
/// one untouched.
int packApplication(const PackRequest& request);

/// The Main-Class attribute of a manifest's text; empty when it has none.
std::string packManifestMainClass(const std::string& manifest);
