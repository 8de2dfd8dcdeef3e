#include "temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::string pattern = (fs::temp_directory_path() / "jlauncher-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = fs::canonical(pattern).string();
}

TempDir::~TempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& relative) const { return path_ + "/" + relative; }

std::string TempDir::makeDir(const std::string& relative) const {
  fs::create_directories(file(relative));
  return file(relative);
}

std::string TempDir::writeFile(const std::string& relative, const std::string& content, int mode) const {
  std::string target = file(relative);
  fs::create_directories(fs::path(target).parent_path());
  std::ofstream(target, std::ios::binary | std::ios::trunc) << content;
  fs::permissions(target, static_cast<fs::perms>(mode));
  return target;
}

std::string TempDir::copyFile(const std::string& from, const std::string& relative) const {
  std::string target = file(relative);
  fs::create_directories(fs::path(target).parent_path());
  fs::copy_file(from, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, static_cast<fs::perms>(0755));
  return target;
}

std::string TempDir::symlink(const std::string& target, const std::string& relative) const {
  std::string link = file(relative);
  fs::create_directories(fs::path(link).parent_path());
  fs::create_symlink(target, link);
  return link;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}
