// The one place user messages and deliberate ends of the process go through.

#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "util/platform.h"
#include "util/utl.h"

std::size_t utlControlLength(std::string_view text, std::size_t at) {
  auto byte = static_cast<unsigned char>(text[at]);
  // A terminal in UTF-8 takes U+0080..U+009F as controls too (U+009B starts
  // an escape sequence).
  if (byte == 0xc2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) >= 0x80 &&
      static_cast<unsigned char>(text[at + 1]) <= 0x9f) {
    return 2;
  }
  return (byte < 0x20 && byte != '\n' && byte != '\t') || byte == 0x7f ? 1 : 0;
}

std::string utlEscapeControls(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    std::size_t control = utlControlLength(text, i);
    if (control == 0) {
      escaped += text[i++];
      continue;
    }
    for (; control > 0; --control, ++i) {
      char code[5];
      std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned char>(text[i]));
      escaped += code;
    }
  }
  return escaped;
}

namespace {

std::string formatArguments(const char* format, va_list args) {
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  std::string text(static_cast<std::size_t>(std::max(length, 0)), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

}  // namespace

std::string utlFormat(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatArguments(format, args);
  va_end(args);
  return text;
}

void utlReport(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = formatArguments(format, args);
  va_end(args);
  // Text a terminal would act upon (an escape sequence in a bad line, say)
  // is shown, not obeyed.
  std::string shown = utlEscapeControls(text);
  std::fwrite(shown.data(), 1, shown.size(), stderr);
}

bool utlIsSetIdMode() {
  if (getuid() != geteuid() || getgid() != getegid()) return true;
  // Secure mode also covers file capabilities, which give no other sign.
  if constexpr (!kSolaris) return getauxval(AT_SECURE) != 0;
  return false;
}
