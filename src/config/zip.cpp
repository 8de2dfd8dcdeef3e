// The comment of the ZIP archive appended to the launcher's executable. Only
// the end-of-central-directory record is looked at: it sits at the end of the
// file, followed by nothing but its own comment, so it is searched for from
// the end backwards, one window at a time, so that a large executable is not
// read whole.

#include "config/zip.h"

#include <algorithm>
#include <cstdio>

#include "host/hmd.h"

namespace {

constexpr std::uint32_t kEndRecordSignature = 0x06054b50;
/// The record without its comment; the comment length is its last field.
constexpr long long kEndRecordSize = 22;
constexpr std::size_t kCommentLengthOffset = 20;
/// The largest window read at once.
constexpr long long kWindowMax = 65536;
/// The longest comment the record's 16-bit length can announce.
constexpr long long kCommentMax = 65535;

constexpr const char* kFileTooSmall = "Zip file size is unreasonably small\n";

}  // namespace

std::uint16_t get2LE(const unsigned char* buffer, std::size_t offset) {
  return static_cast<std::uint16_t>(buffer[offset] | (buffer[offset + 1] << 8));
}

std::uint32_t get4LE(const unsigned char* buffer, std::size_t offset) {
  return static_cast<std::uint32_t>(get2LE(buffer, offset)) |
         (static_cast<std::uint32_t>(get2LE(buffer, offset + 2)) << 16);
}

std::optional<std::string> zipGetZipComment(const char* path) {
  const long long size = hmdGetFileSize(path);
  // A file that cannot be opened simply carries no comment.
  if (size < 0) return std::nullopt;
  if (size < kEndRecordSize) {
    // Standard output, not the error stream: this is a remark, not a failure.
    std::fputs(kFileTooSmall, stdout);
    std::fflush(stdout);
    return std::nullopt;
  }

  const long long windowSize = std::min(size, kWindowMax);
  long long windowEnd = size;
  for (;;) {
    const long long windowStart = std::max(0LL, windowEnd - windowSize);
    std::optional<std::string> window = hmdCreateFileContent(path, windowStart, windowEnd - windowStart);
    // A short read means the file shrank or failed under us: nothing found is
    // safer than a comment made of whatever came back.
    if (!window || static_cast<long long>(window->size()) != windowEnd - windowStart) return std::nullopt;
    const auto* bytes = reinterpret_cast<const unsigned char*>(window->data());

    for (long long p = windowEnd - windowStart - kEndRecordSize; p >= 0; --p) {
      const auto at = static_cast<std::size_t>(p);
      if (get4LE(bytes, at) != kEndRecordSignature) continue;
      const long long length = get2LE(bytes, at + kCommentLengthOffset);
      // A signature that happens to occur inside the archive's data is only
      // taken when its record and comment end exactly at the end of the file.
      if (windowStart + p + kEndRecordSize + length != size) continue;
      if (windowEnd == size) return window->substr(at + kEndRecordSize);
      // The record lies in an earlier window, so its comment runs past this
      // one into the windows already released: read it on its own.
      std::optional<std::string> comment = hmdCreateFileContent(path, size - length, length);
      if (!comment || static_cast<long long>(comment->size()) != length) return std::nullopt;
      return comment;
    }

    // A record further from the end than the longest comment allows cannot
    // end the file: once the windows reach that far, there is none.
    if (windowStart == 0 || windowStart <= size - kEndRecordSize - kCommentMax) return std::nullopt;
    // The next window overlaps this one by a record's size, so that a record
    // cut by the window's start is seen whole in the next one.
    windowEnd = windowStart + kEndRecordSize;
  }
}

bool zipHasArchive(const char* path) {
  // The record alone marks the archive: its comment may well be empty.
  return zipGetZipComment(path).has_value();
}
