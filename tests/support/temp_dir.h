// A fresh temporary directory per test, removed with everything in it.
#pragma once

#include <string>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  /// The directory's absolute, resolved path.
  const std::string& path() const { return path_; }
  /// path() + "/" + relative.
  std::string file(const std::string& relative) const;
  /// Creates relative (and its parents) as a directory; returns its path.
  std::string makeDir(const std::string& relative) const;
  /// Writes content to relative (parents created) with the given mode.
  std::string writeFile(const std::string& relative, const std::string& content, int mode = 0644) const;
  /// Copies an existing file to relative, keeping it executable.
  std::string copyFile(const std::string& from, const std::string& relative) const;
  /// Creates a symbolic link at relative pointing to target.
  std::string symlink(const std::string& target, const std::string& relative) const;

 private:
  std::string path_;
};

/// The whole content of a file ("" when it cannot be read).
std::string readFile(const std::string& path);
