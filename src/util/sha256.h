// sha256: SHA-256, the content hash that names what a single-file application
// extracts into the user's cache. The packer computes it when it packs and
// the launcher again while it extracts, so a damaged copy is never used.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

/// A digest computed in pieces: update with the bytes in order, then take
/// the hex text once.
class Sha256 {
 public:
  Sha256();
  /// Adds the next bytes.
  void update(const void* data, std::size_t size);
  /// Adds the bytes of the file at path, a block at a time (a runtime's
  /// lib/modules is a hundred megabytes and more); false when it cannot be
  /// read whole.
  bool updateFile(const std::string& path);
  /// The digest of everything added, as 64 lowercase hex digits.
  std::string hex();

 private:
  void block(const unsigned char* data);

  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, 64> pending_{};
  std::size_t pendingSize_ = 0;
  std::uint64_t total_ = 0;
};

/// The digest of text as 64 lowercase hex digits.
std::string sha256Hex(std::string_view text);
