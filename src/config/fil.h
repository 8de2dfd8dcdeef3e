// fil = file: the line reader of configuration files (and of a JVM's
// jvm.cfg), which opens only files nobody untrusted can change.
#pragma once

#include <sys/stat.h>

#include <cstdio>
#include <string>

/// The longest line a configuration may hold, as read and once its macros
/// are expanded.
inline constexpr std::size_t kMaxLineLength = 1024 * 1024;

/// What a reader of such a file reports when it cannot open it (the path)
/// and when the stream's error indicator is set after the last line (the
/// path and the indicator); a configuration file and a jvm.cfg alike.
inline constexpr const char* kOpenErrorMsg = "Error: Unable to open configuration file '%s'.\n";
inline constexpr const char* kReadErrorMsg = "Error: Unable to read configuration file '%s' - error %d.\n";

/// Prepares the shared line buffer; line counts start empty.
void filInit();
/// Releases the line buffer.
void filTerm();
/// Opens path with mode (a reading mode) and starts its line count at 0; null
/// when it cannot be opened or is refused. Refused, with a message naming the
/// file, are: anything but a regular file, a file larger than 64 MiB, a file
/// that is open already (included again while it is read) and, when asked,
/// one that fails the access check.
FILE* filOpenFile(const char* path, const char* mode, bool checkAccess);
/// Opens a file of the project the user works in for reading, as
/// filOpenFile does with the access check, where the owner of the working
/// directory counts as one who may change it too (outside set-ID mode).
FILE* filOpenProjectFile(const char* path);
/// Opens a non-empty text in memory as the file of that name, with its own
/// line count; null when it cannot.
FILE* filOpenText(const char* name, const std::string& text);
/// The access check of configuration files and directories: only what the
/// trust of configuration covers (hmdConfigurationTrust) may be read, the
/// directories above it included; a refusal is reported.
bool filIsFileAccessCorrect(const char* path, const struct stat& info);
/// True once input was refused (by filOpenFile, or a line longer than 1 MiB
/// by the reader): the message is out, and processing must end at once.
bool filInputRefused();
/// Marks the input refused after the caller reported why.
void filRefuseInput();
/// The next physical line without its newline, or null at end of file, on a
/// read error or for a line longer than 1 MiB (refused). Valid until the next
/// read from any file.
const char* filReadLineFromFile(FILE* stream);
/// The next significant line (not blank, not a '#' comment), trimmed, or null.
const char* filReadNextLineFromFile(FILE* stream);
/// Number of physical lines read from the innermost open file.
int filGetCurrentLineNumber();
/// Closes the stream; the enclosing file's line count becomes current again.
int filCloseFile(FILE* stream);
/// Capacity of the line buffer (without its terminator).
int filGetBufferSize();
