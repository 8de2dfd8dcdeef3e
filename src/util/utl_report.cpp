// The one place user messages and deliberate ends of the process go through.

#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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

// sd-daemon(3) priorities, which the journal reads at the start of a line:
// the launcher's own messages are errors, but for its warnings and notes.
constexpr const char* kJournalError = "<3>";
constexpr const char* kJournalWarning = "<4>";
constexpr const char* kJournalNotice = "<5>";

struct ReportState {
  /// The last message ended inside a line, which the next one continues.
  std::atomic<bool> midLine{false};
};

ReportState reportState;

const char* journalPriority(std::string_view text) {
  if (text.starts_with("Warning: ")) return kJournalWarning;
  if (text.starts_with("NOTE: ")) return kJournalNotice;
  return kJournalError;
}

// Each line the message starts carries its priority; the application's
// own output, which the journal also takes, is none of the launcher's.
std::string withPriorities(std::string_view text) {
  const char* priority = journalPriority(text);
  std::string marked;
  bool lineStart = !reportState.midLine.load(std::memory_order_relaxed);
  for (char c : text) {
    if (lineStart) marked += priority;
    marked += c;
    lineStart = c == '\n';
  }
  return marked;
}

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
  if (shown.empty()) return;
  if (utlIsJournalStream(STDERR_FILENO)) shown = withPriorities(shown);
  reportState.midLine.store(shown.back() != '\n', std::memory_order_relaxed);
  std::fwrite(shown.data(), 1, shown.size(), stderr);
}

bool utlIsJournalStream(int fd) {
  // The caller of a set-ID launch sets the environment, and would name a
  // stream of their own.
  if (utlIsSetIdMode()) return false;
  const char* value = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0;
  unsigned long long inode = 0;
  char extra = 0;
  if (value == nullptr || std::sscanf(value, "%llu:%llu%c", &device, &inode, &extra) != 2) return false;
  struct stat status {};
  return fstat(fd, &status) == 0 && status.st_dev == device && status.st_ino == inode;
}

bool utlIsSetIdMode() {
  if (getuid() != geteuid() || getgid() != getegid()) return true;
  // Secure mode also covers file capabilities, which give no other sign.
  if constexpr (!kSolaris) return getauxval(AT_SECURE) != 0;
  return false;
}
