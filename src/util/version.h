// Dotted version numbers, as glibc names its versions: the packer reads them
// from a runtime's files, the launcher from the system. Inline, since the
// packer links none of the launcher's utilities.
#pragma once

#include <charconv>
#include <cstddef>
#include <limits>
#include <string_view>

/// Whether version a is below b, its numbers compared one by one (2.17 <
/// 2.28 < 2.34), a missing number counting as 0.
inline bool utlVersionBelow(std::string_view a, std::string_view b) {
  auto next = [](std::string_view& text) {
    unsigned value = 0;
    std::from_chars_result read = std::from_chars(text.data(), text.data() + text.size(), value);
    if (read.ec == std::errc::result_out_of_range) value = std::numeric_limits<unsigned>::max();
    std::size_t used = static_cast<std::size_t>(read.ptr - text.data());
    text.remove_prefix(used < text.size() && text[used] == '.' ? used + 1 : text.size());
    return value;
  };
  while (!a.empty() || !b.empty()) {
    unsigned x = next(a), y = next(b);
    if (x != y) return x < y;
  }
  return false;
}
