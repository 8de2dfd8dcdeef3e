// What the libFuzzer harnesses share: a private temporary directory, a fresh
// launcher state for every input, and a sandbox that keeps the code under
// test inside that directory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

/// The harness's private directory (resolved, under $TMPDIR, else /dev/shm
/// where it can be written, else /tmp), made on first use and removed when the
/// process ends normally.
const std::string& fuzzTempDir();

/// Writes bytes to path, replacing the file, parents made as needed.
void fuzzWriteFile(const std::string& path, std::string_view bytes);

/// One input's run, from a launcher that has processed nothing to one whose
/// modules are released again. While it lives:
/// - the launcher's modules are freshly initialised, the launcher "lies" in
///   workDir()/bin/app, and tracing is off (a trace switched on writes to
///   /dev/null), so that UTRACE or an exported value cannot open a trace file;
/// - workDir() holds bin/app and the files the harness writes there (made
///   anew after an input created anything in it);
/// - the sandbox is on: opening (open, openat, and fopen for reading) and
///   mkdir are refused (EACCES) for paths outside fuzzTempDir(), and symbolic
///   links are not made at all, so that the input can neither create anything
///   elsewhere (CI runs as root) nor make the launcher read a device or a
///   /proc file that never ends or blocks.
/// Its end checks that no file descriptor was left open, releases the
/// modules and puts the process environment back as the harness started
/// with it (`export` changes it; what it exported is released).
class FuzzRun {
 public:
  FuzzRun();
  ~FuzzRun();
  FuzzRun(const FuzzRun&) = delete;
  FuzzRun& operator=(const FuzzRun&) = delete;

  const std::string& workDir() const { return workDir_; }

 private:
  std::string workDir_;
  int firstFreeDescriptor_;
};

/// The input as text, bytes as they are.
inline std::string_view fuzzText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

/// Stops with a crash that libFuzzer reports (and saves the input of) when a
/// property the harness checks does not hold; unlike assert, whatever the
/// build type.
#define FUZZ_CHECK(condition)                                                             \
  do {                                                                                    \
    if (!(condition)) {                                                                   \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                       \
    }                                                                                     \
  } while (false)
