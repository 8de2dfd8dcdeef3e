// The archive comment search on any file. The first four bytes shape the
// file, so that small inputs reach the large files whose end record lies
// beyond the first window: bytes 0-1 (little endian) count pairs of zero
// bytes, inserted at the offset byte 2 gives (at most the rest's length);
// the low four bits of byte 3 say how many times that count is halved. The
// rest is the file's content. The search looks at every byte of the last
// 64 KiB, which in this instrumented build takes milliseconds, against a
// tenth of one for a small file: every other mutant that comes out large is
// made small (halved fifteen times), so that the fuzzer keeps exploring large
// files without spending most of its time on them.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "config/zip.h"
#include "fuzz_support.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace {

// More inserted zeros than an input holds bytes make a large file.
constexpr std::size_t kLargeZeros = 4096;

std::size_t zerosOf(const std::uint8_t* data) { return (2 * (data[0] | data[1] << 8)) >> (data[3] & 15); }

// The comment by the format's own rule, read from the whole file: that of
// the end record nearest the end whose comment ends the file exactly. The
// signature's first byte is found with memrchr: comparing at every offset
// would cost more than the search under test, as libFuzzer records each
// comparison.
std::optional<std::string> expectedComment(const std::string& file) {
  constexpr std::size_t kRecord = 22;
  if (file.size() < kRecord) return std::nullopt;
  for (std::size_t end = file.size() - kRecord + 1; end > 0;) {
    const void* found = memrchr(file.data(), 'P', end);
    if (found == nullptr) break;
    std::size_t p = static_cast<std::size_t>(static_cast<const char*>(found) - file.data());
    end = p;
    if (file[p + 1] != 'K' || file[p + 2] != 5 || file[p + 3] != 6) continue;
    std::size_t length = static_cast<unsigned char>(file[p + 20]) | static_cast<unsigned char>(file[p + 21]) << 8;
    if (p + kRecord + length == file.size()) return file.substr(p + kRecord);
  }
  return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  FuzzRun run;
  std::string_view rest = fuzzText(data + 4, size - 4);
  std::size_t zeros = zerosOf(data);
  std::size_t at = std::min<std::size_t>(data[2], rest.size());
  std::string file;
  file.reserve(rest.size() + zeros);
  file.append(rest.substr(0, at)).append(zeros, '\0').append(rest.substr(at));
  std::string path = run.workDir() + "/app.zip";
  fuzzWriteFile(path, file);

  std::optional<std::string> comment = zipGetZipComment(path.c_str());
  FUZZ_CHECK(comment == expectedComment(file));
  FUZZ_CHECK(zipHasArchive(path.c_str()) == comment.has_value());

  return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned int seed) {
  size = LLVMFuzzerMutate(data, size, maxSize);
  if (size >= 4 && zerosOf(data) > kLargeZeros && seed % 2 != 0) data[3] |= 15;
  return size;
}
