// The start-up cache: a class-data archive of one application, made by the
// Java runtime itself and kept in the user's cache directory, so that later
// launches map the application's classes already parsed and verified instead
// of loading them from its jars. The first launch records the archive while
// the application runs and publishes it once the JVM has ended normally;
// later launches use it. Whatever goes wrong leaves the launch as it would
// have been without the cache: the JVM is never handed an archive that was
// changed since it was published, and nothing of the cache reaches the
// user's terminal.
#pragma once

#include <optional>
#include <string>

/// Forgets what the last launch decided (for tests).
void cdsReset();
/// $XDG_CACHE_HOME/jlauncher, else $HOME/.cache/jlauncher; none when neither
/// variable holds an absolute path.
std::optional<std::string> cdsGetCacheDirectory();
/// With "options startupcache", once the final option list is built: puts
/// the options that map the application's archive at the front of the list,
/// or, when it has no usable archive yet, the options that record one. With
/// printOnly (+javacmd) nothing runs, so nothing is recorded either.
void cdsAddArchiveOptions(const char* entryClass, bool printOnly);
/// After JVM creation: an archive the JVM did not map is removed, and the
/// application is not recorded again until its class path changes.
void cdsCheckArchiveMapped();
/// When the JVM has ended normally (through its exit hook or its
/// destruction): makes what this launch recorded the application's archive.
void cdsFinishRecording();
/// When the process ends: removes what a recording left unpublished.
void cdsDiscardRecording();
