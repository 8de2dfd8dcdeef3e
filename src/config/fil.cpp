#include "config/fil.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "host/hmd.h"
#include "util/utl.h"
#include "util/utrace.h"

namespace {

constexpr const char* kNotRegularMsg = "Error: Configuration file '%s' is not a regular file.\n";
constexpr const char* kFileTooLargeMsg = "Error: Configuration file '%s' is larger than %d MiB.\n";
constexpr const char* kLineTooLongMsg = "Error: Line %d of configuration file '%s' is longer than %d MiB.\n";
constexpr const char* kIncludedAgainMsg =
    "Error: Configuration file '%s' is included again while it is read, at line %d in configuration file '%s'.\n";
constexpr const char* kUntrustedMsg =
    "Error: Configuration %s '%s' is not read: %s. A configuration is read only where nobody but root, the user "
    "running the launcher, the launcher's owner and a group that can change the launcher can change it or a "
    "directory above it.\n";
constexpr const char* kUntrustedProjectMsg =
    "Error: Configuration %s '%s' is not read: %s. A project's file is read only where nobody but root, the user "
    "running the launcher, the owner of the working directory, the launcher's owner and a group that can change the "
    "launcher can change it or a directory above it.\n";
constexpr const char* kUntrustedSetIdMsg =
    "Error: Configuration %s '%s' is not read: %s. A set-ID launcher reads only what nobody but root and the "
    "launcher's owner can change.\n";

// A configuration is a few kilobytes; these only keep hostile input from
// taking the memory of the machine.
constexpr int kFileLimitMiB = 64;
constexpr int kLineLimitMiB = static_cast<int>(kMaxLineLength / (1024 * 1024));
constexpr long long kMiB = 1024 * 1024;

struct OpenFile {
  std::string path;
  dev_t device;
  ino_t inode;
  int lines = 0;
  std::shared_ptr<const std::string> text;  ///< what a stream in memory reads
};

/// What was read from a stream ahead of the line being returned.
struct ReadAhead {
  std::vector<char> block;
  std::size_t position = 0;  ///< the next byte not yet returned
  std::size_t end = 0;       ///< the end of what the last read brought
};

struct FilState {
  std::unordered_map<FILE*, ReadAhead> readAhead;  ///< per open stream
  std::string fileBuffer;        ///< the last line read, shared by every open file
  int fileBufferSize = 0;        ///< its capacity without the terminator
  std::vector<OpenFile> open;    ///< every open file, innermost last
  bool refused = false;          ///< input was refused: processing must end
};

FilState state;

constexpr int kInitialBufferSize = 1024;
constexpr int kBufferGrowth = 512;
constexpr const char* kWhiteSpace = " \t\r\n\v\f";

// Marks the input refused once its message is out: processing must end.
bool refuse() {
  state.refused = true;
  return false;
}

/// Who must be the only ones able to change a file before it is read.
enum class Trust { kAnyone, kConfiguration, kProject };

// Someone who can change a configuration chooses what the application runs,
// with the rights of whoever runs it: only those who could change the
// launcher itself may (ssh treats its files so); a project's file also
// those who own the directory the user works in.
bool isTrusted(const char* path, const struct stat& info, Trust trust) {
  std::string why;
  bool project = trust == Trust::kProject && !utlIsSetIdMode();
  if (hmdIsTrustedFile(path, info, project ? hmdProjectTrust() : hmdConfigurationTrust(), why)) return true;
  // The message names the file already.
  const std::string named = "'" + std::string(path) + "'";
  if (std::size_t at = why.find(named); at != std::string::npos) why.replace(at, named.size(), "it");
  const char* message = utlIsSetIdMode() ? kUntrustedSetIdMsg : project ? kUntrustedProjectMsg : kUntrustedMsg;
  utlReport(message, S_ISDIR(info.st_mode) ? "directory" : "file", path, why.c_str());
  return refuse();
}

// The checks every file gets before a line is read: none of them blocks (a
// FIFO opened without a writer would), and none reads without bound.
bool isReadable(const char* path, const struct stat& info, Trust trust) {
  if (!S_ISREG(info.st_mode)) {
    utlReport(kNotRegularMsg, path);
    return refuse();
  }
  if (info.st_size > kFileLimitMiB * kMiB) {
    utlReport(kFileTooLargeMsg, path, kFileLimitMiB);
    return refuse();
  }
  if (trust != Trust::kAnyone && !isTrusted(path, info, trust)) return false;
  for (const OpenFile& file : state.open) {
    if (file.device == info.st_dev && file.inode == info.st_ino) {
      const OpenFile& includer = state.open.back();
      utlReport(kIncludedAgainMsg, path, includer.lines, includer.path.c_str());
      return refuse();
    }
  }
  return true;
}

}  // namespace

void filInit() {
  state = FilState{};
  state.fileBufferSize = kInitialBufferSize;
  state.fileBuffer.reserve(kInitialBufferSize + 1);
}

void filTerm() { state = FilState{}; }

namespace {

FILE* openChecked(const char* path, const char* mode, Trust trust) {
  // The descriptor stays non-blocking: a regular file reads the same, and
  // one that only looks like it (/proc/kmsg) fails instead of waiting.
  int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat info;
  FILE* stream = nullptr;
  if (fstat(fd, &info) == 0 && isReadable(path, info, trust)) {
    stream = fdopen(fd, mode);
  }
  if (stream == nullptr) {
    close(fd);
    return nullptr;
  }
  state.open.push_back({path, info.st_dev, info.st_ino, 0, nullptr});
  return stream;
}

// A read stream over text the stream keeps alive itself. fopencookie (glibc
// 2.2) rather than fmemopen (2.22): the portable launcher runs on glibc 2.17.
struct TextCookie {
  std::shared_ptr<const std::string> text;
  std::size_t position = 0;
};

ssize_t readText(void* cookie, char* buffer, size_t size) {
  auto* text = static_cast<TextCookie*>(cookie);
  std::size_t count = std::min(size, text->text->size() - text->position);
  std::memcpy(buffer, text->text->data() + text->position, count);
  text->position += count;
  return static_cast<ssize_t>(count);
}

int closeText(void* cookie) {
  delete static_cast<TextCookie*>(cookie);
  return 0;
}

FILE* openText(const std::shared_ptr<const std::string>& text) {
  auto* cookie = new TextCookie{text};
  FILE* stream = fopencookie(cookie, "r", cookie_io_functions_t{readText, nullptr, nullptr, closeText});
  if (stream == nullptr) delete cookie;
  return stream;
}

}  // namespace

FILE* filOpenFile(const char* path, const char* mode, bool checkAccess) {
  return openChecked(path, mode, checkAccess ? Trust::kConfiguration : Trust::kAnyone);
}

FILE* filOpenProjectFile(const char* path) { return openChecked(path, "r", Trust::kProject); }

FILE* filOpenText(const char* name, const std::string& text) {
  auto kept = std::make_shared<const std::string>(text);
  FILE* stream = openText(kept);
  if (stream == nullptr) return nullptr;
  // The text stands for the file of that name, which cannot include itself.
  struct stat info {};
  stat(name, &info);
  state.open.push_back({name, info.st_dev, info.st_ino, 0, kept});
  return stream;
}

bool filIsFileAccessCorrect(const char* path, const struct stat& info) {
  return isTrusted(path, info, Trust::kConfiguration);
}

bool filInputRefused() { return state.refused; }

void filRefuseInput() { refuse(); }

constexpr std::size_t kReadBlock = 64 * 1024;

// Reads up to the newline whatever the line's length (up to the limit), so
// that a long line is never split into two. The stream is read a block at a
// time; what follows the line waits for the next call.
const char* filReadLineFromFile(FILE* stream) {
  std::string& line = state.fileBuffer;
  line.clear();
  ReadAhead& ahead = state.readAhead[stream];
  bool readAny = false;
  for (;;) {
    if (ahead.position == ahead.end) {
      ahead.block.resize(kReadBlock);
      ahead.position = 0;
      ahead.end = std::fread(ahead.block.data(), 1, kReadBlock, stream);
      if (ahead.end == 0) break;
    }
    readAny = true;
    const char* start = ahead.block.data() + ahead.position;
    std::size_t available = ahead.end - ahead.position;
    const char* newline = static_cast<const char*>(std::memchr(start, '\n', available));
    std::size_t length = newline ? static_cast<std::size_t>(newline - start) : available;
    if (line.size() + length > kMaxLineLength) {
      const OpenFile* file = state.open.empty() ? nullptr : &state.open.back();
      utlReport(kLineTooLongMsg, file ? file->lines + 1 : 0, file ? file->path.c_str() : "", kLineLimitMiB);
      refuse();
      return nullptr;
    }
    line.append(start, length);
    ahead.position += length + (newline ? 1 : 0);
    if (newline) break;
  }
  if (!readAny || (ahead.end == 0 && std::ferror(stream))) return nullptr;
  while (state.fileBufferSize < static_cast<int>(line.size()) + 2) state.fileBufferSize += kBufferGrowth;
  if (!state.open.empty()) ++state.open.back().lines;
  // Configuration text is C text: a NUL byte ends the line's text.
  if (std::strlen(line.c_str()) != line.size()) {
    ut_tproda("Ignoring the text after a NUL byte on line %d", filGetCurrentLineNumber());
  }
  return line.c_str();
}

// A significant line: not empty, not only white space, and not a comment,
// which is a line whose first non-blank character is '#'. There are no
// end-of-line comments, quoting or continuation lines.
const char* filReadNextLineFromFile(FILE* stream) {
  while (const char* read = filReadLineFromFile(stream)) {
    std::string& line = state.fileBuffer;
    line.resize(std::strlen(read));
    std::size_t first = line.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos || line[first] == '#') continue;
    line.erase(line.find_last_not_of(kWhiteSpace) + 1);
    return line.c_str() + first;
  }
  return nullptr;
}

int filGetCurrentLineNumber() { return state.open.empty() ? 0 : state.open.back().lines; }

int filCloseFile(FILE* stream) {
  state.readAhead.erase(stream);
  if (!state.open.empty()) state.open.pop_back();
  return std::fclose(stream);
}

int filGetBufferSize() { return state.fileBufferSize; }
