// ut_t… = utrace, the launcher's diagnostic trace. Every module reports its
// decisions through ut_tproda; nothing is printed unless tracing was switched
// on by "+debug" or by the UTRACE environment variable, which is read once, at
// the first trace call of the process.
#pragma once

#include <string>

/// Opens the trace file a setting names for writing: a descriptor, or -1 with
/// why. The trace goes where it is named, often /tmp, so the launcher hands
/// in the host's opener of files others may control (hmdOpenOwnFile).
using UtFileOpener = int (*)(const std::string& path, int flags, unsigned mode, std::string& why);

/// The process-wide trace state, statically initialised.
struct UtTraceData {
  int initPending = 1;  ///< UTRACE not read yet; the next trace call reads it
  int commit = 0;       ///< call ut_tcommit after every line (letter c)
  int fd = 1;           ///< where lines go; -1 discards them
  int production = 0;   ///< production tracing on: only then are lines written
  int level = 0;        ///< level tracing level; non-zero means level tracing is on
  UtFileOpener openFile = nullptr;  ///< opens a named trace file; none: no file is written
};

extern UtTraceData ut_TraceData;

/// Longest formatted trace line; a longer one is not written (see
/// ut_tonoverflow).
inline constexpr int kTraceLineMax = 32767;
/// Size of the buffer the UTRACE value is copied into.
inline constexpr int kTraceSettingSize = 512;

/// Writes one trace line (printf format, no trailing newline) when tracing is on.
void ut_tproda(const char* format, ...) __attribute__((format(printf, 1, 2)));

/// Sets how a trace file is opened, and has the next trace call read UTRACE
/// again; until then a setting that names a file traces nowhere.
void ut_tsetfileopener(UtFileOpener opener);
/// Switches production tracing on (and level tracing off).
void ut_tprodon();
/// Switches level tracing on at the given level (and production tracing off).
void ut_ton(int level);
/// 1 when level tracing is on, else 0.
int ut_tison();
/// Copies UTRACE into buffer (at most size - 1 characters); null when unset.
char* GetTraceSetting(char* buffer, int size);
/// Resets the trace state and applies a setting string; null only resets.
void ut_treset(const char* setting);
/// The commit hook: lines are written unbuffered, so there is nothing to flush.
void ut_tcommit();
/// What follows a line longer than kTraceLineMax, once "UTRACE BUFFER
/// OVERFLOW!!!!" is out on standard error: the launch registers the end of
/// the process (status 1); without a handler the line is dropped. The
/// handler may run on any thread that traces, a signal handler's too.
void ut_tonoverflow(void (*handler)());
