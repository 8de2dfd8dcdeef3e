// The archive comment search on any file. The first three bytes shape the
// file, so that small inputs reach the large files whose end record lies
// beyond the first window: bytes 0-1 (little endian) count pairs of zero
// bytes inserted at the offset byte 2 gives (at most the rest's length).
// The rest is the file's content.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "config/zip.h"
#include "fuzz_support.h"

namespace {

// The comment by the format's own rule, read from the whole file: that of
// the end record nearest the end whose comment ends the file exactly.
std::optional<std::string> expectedComment(const std::string& file) {
  constexpr std::size_t kRecord = 22;
  if (file.size() < kRecord) return std::nullopt;
  for (std::size_t p = file.size() - kRecord + 1; p-- > 0;) {
    if (std::memcmp(file.data() + p, "PK\5\6", 4) != 0) continue;
    std::size_t length = static_cast<unsigned char>(file[p + 20]) | static_cast<unsigned char>(file[p + 21]) << 8;
    if (p + kRecord + length == file.size()) return file.substr(p + kRecord);
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  FuzzRun run;
  std::string_view rest = fuzzText(data + 3, size - 3);
  std::size_t zeros = 2 * (data[0] | data[1] << 8);
  std::size_t at = std::min<std::size_t>(data[2], rest.size());
  std::string file = std::string(rest.substr(0, at)) + std::string(zeros, '\0') + std::string(rest.substr(at));
  std::string path = run.workDir() + "/app.zip";
  fuzzWriteFile(path, file);

  std::optional<std::string> comment = zipGetZipComment(path.c_str());
  FUZZ_CHECK(comment == expectedComment(file));
  FUZZ_CHECK(zipHasArchive(path.c_str()) == comment.has_value());

  return 0;
}
