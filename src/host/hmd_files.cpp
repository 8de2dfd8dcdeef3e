// Temporary files for the Java side (the environment dump, the archive
// comment) and the byte-range reads of the archive comment search.

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "host/hmd.h"
#include "util/utl.h"

extern "C" char** environ;

// The archive comment is read at the end of the executable, which may lie
// beyond 2 GiB: the build must give every profile 64-bit file offsets.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

namespace {

constexpr const char* kCannotCreateTempFile = "Unable to create temporary file.\n";
constexpr const char* kCannotWriteTempFile = "Failed to write to temporary file.\n";
constexpr const char* kNotEnoughMemory = "Not enough memory available\n";

/// The most read from a file in one go; a caller asking for more still gets
/// everything, without a buffer of the requested size made up front.
constexpr std::size_t kReadChunk = 65536;

struct FileCloser {
  void operator()(std::FILE* stream) const { std::fclose(stream); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// Temporary files that only this launch reads; see hmdRemoveAtEnd.
std::vector<std::string> launchFiles;

}  // namespace

void hmdRemoveAtEnd(const std::string& path) { launchFiles.push_back(path); }

void hmdRemoveLaunchFiles() {
  std::vector<std::string> files;
  files.swap(launchFiles);
  for (const std::string& path : files) unlink(path.c_str());
}

std::optional<std::string> hmdWriteTempFile(const std::string& text) {
  // Nothing to hand over: no file either, so no empty file is left behind.
  if (text.empty()) return std::nullopt;

  // mkstemp fills in the template in place, so every call starts from a fresh
  // copy and makes a new file.
  std::string name = tempFilename;
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    utlReport("%s", kCannotCreateTempFile);
    return std::nullopt;
  }
  std::FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    close(fd);
    utlReport("%s", kCannotWriteTempFile);
    return name;
  }
  const std::size_t written = std::fwrite(text.data(), 1, text.size(), stream);
  // The stream buffers, so a full disk may only show when it is flushed.
  const bool closed = std::fclose(stream) == 0;
  // The reader gets what made it into the file; the name is still useful.
  if (written != text.size() || !closed) utlReport("%s", kCannotWriteTempFile);
  return name;
}

std::optional<std::string> hmdWriteEnvironment() {
  std::string text;
  std::string escaped;
  try {
    std::size_t total = 0;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) total += std::strlen(*entry) + 1;
    if (total == 0) return std::nullopt;
    text.reserve(total);
    for (char** entry = environ; *entry != nullptr; ++entry) {
      text += *entry;
      text += '\n';
    }
    // The Java side that reads the dump takes a backslash as an escape:
    // single ones are doubled so that values arrive as they are here.
    escaped = utlDblBackSlash(text);
  } catch (const std::bad_alloc&) {
    utlReport("%s", kNotEnoughMemory);
    return std::nullopt;
  }
  return hmdWriteTempFile(escaped);
}

const char* hmdGetEnvironmentValue(const char* name) { return std::getenv(name); }

bool hmdIsSafetyNetOn() { return hmdGetEnvironmentValue("KRX_NO_SAFETY_NET") == nullptr; }

long long hmdGetFileSize(const char* path) {
  File stream(std::fopen(path, "rb"));
  if (!stream) return -1;
  if (fseeko(stream.get(), 0, SEEK_END) != 0) return -1;
  return static_cast<long long>(ftello(stream.get()));
}

std::optional<std::string> hmdCreateFileContent(const char* path, long long offset, long long length) {
  File stream(std::fopen(path, "rb"));
  if (!stream) return std::nullopt;
  std::string content;
  // A place before the start cannot be read from: nothing is read.
  if (length <= 0 || fseeko(stream.get(), static_cast<off_t>(offset), SEEK_SET) != 0) return content;

  const auto wanted = static_cast<unsigned long long>(length);
  std::vector<char> chunk(static_cast<std::size_t>(std::min<unsigned long long>(wanted, kReadChunk)));
  while (content.size() < wanted) {
    const auto request = static_cast<std::size_t>(std::min<unsigned long long>(wanted - content.size(), chunk.size()));
    const std::size_t got = std::fread(chunk.data(), 1, request, stream.get());
    content.append(chunk.data(), got);
    if (got < request) break;
  }
  return content;
}
