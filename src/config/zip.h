// zip: the comment of a ZIP archive appended to a file: only the
// end-of-central- directory record is read.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

/// The comment of the archive that ends the file at path, or none.
std::optional<std::string> zipGetZipComment(const char* path);
/// True when the file ends with a ZIP archive (its end record is found).
bool zipHasArchive(const char* path);
/// Little-endian values read byte by byte, the same on every host.
std::uint16_t get2LE(const unsigned char* buffer, std::size_t offset);
std::uint32_t get4LE(const unsigned char* buffer, std::size_t offset);
