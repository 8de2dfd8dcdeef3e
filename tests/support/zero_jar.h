// Jars for the packer's size limits, written with libzip by the tests that
// link it.
#pragma once

#include <gtest/gtest.h>
#include <zip.h>

#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"

/// A jar whose entries each hold size zero bytes, deflated at the fastest
/// level from a sparse file: small on disk, large once read.
inline std::string zeroJar(const TempDir& dir, const std::string& name, std::size_t size,
                           const std::vector<std::string>& entries) {
  std::string zeros = dir.writeFile("zeros", "");
  std::filesystem::resize_file(zeros, size);
  zip_t* jar = zip_open(dir.file(name).c_str(), ZIP_CREATE | ZIP_EXCL, nullptr);
  for (const std::string& entry : entries) {
    zip_int64_t index = zip_file_add(jar, entry.c_str(), zip_source_file(jar, zeros.c_str(), 0, -1), 0);
    zip_set_file_compression(jar, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 1);
  }
  EXPECT_EQ(zip_close(jar), 0) << zip_strerror(jar);
  std::filesystem::remove(zeros);
  return dir.file(name);
}
