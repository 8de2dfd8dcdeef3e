// The line reader of configuration files (and of a JVM's jvm.cfg).
#pragma once

#include <cstdio>

/// Prepares the shared line buffer; line counts start empty.
void filInit();
/// Releases the line buffer.
void filTerm();
/// Opens path with mode (after the access check when asked) and starts its
/// line count at 0; null when it cannot be opened.
FILE* filOpenFile(const char* path, const char* mode, bool checkAccess);
/// The access check hook: every file may be read.
bool filIsFileAccessCorrect(const char* path);
/// The next physical line without its newline, or null at end of file or on
/// a read error. Valid until the next read from any file.
const char* filReadLineFromFile(FILE* stream);
/// The next significant line (not blank, not a '#' comment), trimmed, or null.
const char* filReadNextLineFromFile(FILE* stream);
/// Number of physical lines read from the innermost open file.
int filGetCurrentLineNumber();
/// Closes the stream; the enclosing file's line count becomes current again.
int filCloseFile(FILE* stream);
/// Capacity of the line buffer (without its terminator).
int filGetBufferSize();
